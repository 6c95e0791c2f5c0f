#!/usr/bin/env python3
"""The integrator's guide, checked against the installed package and the
real DLL under Wine:

- every relative link of the shipped documents (and its #anchor) resolves
  inside the install tree;
- the example programs of the guide ("```c file=NAME") are built by the
  guide's own mingw-w64 command line ("```sh file=build-mingw.sh") against
  the installed include/ and lib/;
- the sessions ("```session": "C:\\> " command lines, each followed by the
  output it prints) run one after the other, page by page in the order of
  the guide's index, in one Wine cmd, and print what the guide shows. The
  guide's folders are scratch folders here: C:\\bkrestore the installed
  package, C:\\ORLAVSK the client, C:\\App the application, the current
  folder the built examples; the registry view is the build's arch's.

An expected output line "..." stands for any lines; "..." inside a line for
any text.

The scratch folders lie in a fresh folder below /tmp, so that the paths
stay as short as on a client machine (the log records cut long messages).

  guide_test.py BUILD_DIR ARCH C_COMPILER EMULATOR...
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from wine_run import Wine, install_tree, win_path  # noqa: E402

DOC = os.path.join("share", "doc", "bkrestore")
PROMPT = "C:\\> "


def fenced_blocks(path):
    """(info string, lines) of each fenced block of a markdown file."""
    blocks, info, lines = [], None, []
    with open(path, encoding="utf-8") as f:
        for line in f.read().splitlines():
            if info is None and line.startswith("```"):
                info, lines = line[3:].strip(), []
            elif info is not None and line.startswith("```"):
                blocks.append((info, lines))
                info = None
            elif info is not None:
                lines.append(line)
    return blocks


def anchor(heading):
    """The anchor of a heading as markdown renderers make it."""
    text = re.sub(r"[^\w\- ]", "", heading.strip().lower())
    return text.replace(" ", "-")


def link_problems(package):
    problems = []
    docs = os.path.join(package, DOC)
    for folder, _, names in os.walk(docs):
        for name in names:
            if not name.endswith(".md"):
                continue
            page = os.path.join(folder, name)
            with open(page, encoding="utf-8") as f:
                text = f.read()
            for target in re.findall(r"\]\(([^)\s]+)\)", text):
                if re.match(r"[a-z]+:", target):
                    continue
                file_part, _, fragment = target.partition("#")
                linked = os.path.normpath(os.path.join(folder, file_part)) if file_part else page
                where = os.path.relpath(page, package)
                if not os.path.exists(linked):
                    problems.append("%s: link %s names no file of the package" % (where, target))
                elif fragment:
                    with open(linked, encoding="utf-8") as f:
                        anchors = {anchor(l.lstrip("#")) for l in f if l.startswith("#")}
                    if fragment not in anchors:
                        problems.append("%s: link %s names no heading" % (where, target))
    return problems


def guide_pages(package):
    """The guide's pages in the order of its index, the index first."""
    guide = os.path.join(package, DOC, "docs", "guide")
    order = ["README.md"]
    with open(os.path.join(guide, "README.md"), encoding="utf-8") as f:
        for target in re.findall(r"^\d+\. \[[^\]]+\]\(([^)#]+)\)", f.read(), re.M):
            order.append(target)
    return [os.path.join(guide, page) for page in order]


def build_examples(pages, package, work, compiler):
    """Writes the guide's C files into work and runs its mingw command line."""
    script = None
    for page in pages:
        for info, lines in fenced_blocks(page):
            words = info.split()
            name = next((w[5:] for w in words if w.startswith("file=")), None)
            if name is None:
                continue
            if words[0] == "c":
                with open(os.path.join(work, name), "w") as f:
                    f.write("\n".join(lines) + "\n")
            elif words[0] == "sh" and name == "build-mingw.sh":
                script = "\n".join(lines)
    if script is None:
        return ["the guide has no build-mingw.sh command line"]
    script = script.replace("i686-w64-mingw32-gcc", compiler)
    done = subprocess.run(["sh", "-euc", script], cwd=work, env=dict(os.environ, PACKAGE=package),
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    if done.returncode != 0:
        return ["the guide's mingw command line fails:\n" + done.stdout.decode(errors="replace")]
    return []


def sessions(pages):
    """[(page, command, expected lines)] of every session, in order."""
    steps = []
    for page in pages:
        for info, lines in fenced_blocks(page):
            if info != "session":
                continue
            for line in lines:
                if line.startswith(PROMPT):
                    steps.append((os.path.basename(page), line[len(PROMPT):], []))
                elif steps:
                    steps[-1][2].append(line)
    return steps


def matches(expected, actual):
    """Whether the actual lines are the expected ones ("..." as wildcards)."""
    if not expected:
        return not actual
    if expected[0] == "...":
        return any(matches(expected[1:], actual[i:]) for i in range(len(actual) + 1))
    if not actual:
        return False
    pattern = ".*".join(re.escape(part) for part in expected[0].split("..."))
    return re.fullmatch(pattern, actual[0]) is not None and matches(expected[1:], actual[1:])


def run_sessions(wine, steps, places, work, arch):
    def local(text):
        for guide_path, real in places:
            text = text.replace(guide_path, real)
        return text.replace("/reg:32", wine.view)

    marker = "@@@@ step "
    batch = ["@echo off", "cd /d " + win_path(work)]
    for number, (_, command, _) in enumerate(steps):
        batch += ["echo " + marker + str(number), local(command)]
    batch_file = os.path.join(work, "guide.cmd")
    with open(batch_file, "w", encoding="cp1252", newline="\r\n") as f:
        f.write("\n".join(batch) + "\n")
    done = subprocess.run(wine.emulator + ["cmd", "/c", win_path(batch_file)], stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=wine.env, timeout=300)
    outputs, current = {}, None
    for line in done.stdout.decode("cp1252", errors="replace").replace("\r", "").split("\n"):
        if line.startswith(marker):
            current = int(line[len(marker):])
            outputs[current] = []
        elif current is not None:
            outputs[current].append(line.rstrip())
    problems = []
    for number, (page, command, expected) in enumerate(steps):
        actual = outputs.get(number, [])
        while actual and actual[-1] == "":
            actual.pop()
        wanted = [local(line).rstrip() for line in expected]
        if not matches(wanted, actual):
            problems.append("%s: %s\n  expected: %r\n  printed:  %r" % (page, command, wanted, actual))
            break  # the later steps build on this one
    return problems


def check_guide(wine, build, scratch, arch, compiler):
    package, work = os.path.join(scratch, "package"), os.path.join(scratch, "work")
    os.makedirs(work)
    install_tree(build, package)
    places = [("C:\\bkrestore", win_path(package)), ("C:\\ORLAVSK", win_path(os.path.join(scratch, "ORLAVSK"))),
              ("C:\\App", win_path(os.path.join(scratch, "App")))]
    pages = guide_pages(package)
    problems = link_problems(package) + build_examples(pages, package, work, compiler)
    steps = sessions(pages)
    if not steps:
        problems.append("the guide has no session")
    if problems:
        return problems, steps
    wine.delete_client_key()
    try:
        return run_sessions(wine, steps, places, work, arch), steps
    finally:
        wine.delete_client_key()


def main():
    build, arch, compiler = sys.argv[1:4]
    wine = Wine(sys.argv[4:], arch)
    scratch = tempfile.mkdtemp(prefix="bkg-", dir="/tmp")
    try:
        problems, steps = check_guide(wine, build, scratch, arch, compiler)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    for p in problems:
        print("FAIL: " + p)
    if not problems:
        print("the guide's links, examples and %d session commands hold" % len(steps))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
