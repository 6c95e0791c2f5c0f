#!/usr/bin/env python3
"""bkrtool's progress on the console: backup, restore, diff, check and
verify show it when standard error is a terminal (here a pseudo-terminal),
and print nothing extra when their output goes to a pipe or --json is
given.

  bkrtool_progress_test.py BUILD_DIR SCRATCH_DIR ARCH EMULATOR...
"""
import os
import pty
import re
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from wine_run import Wine, win_path  # noqa: E402


def run_on_terminal(wine, program, args):
    """Runs a program with its standard streams on a pseudo-terminal; (exit code, everything it wrote)."""
    leader, follower = pty.openpty()
    done = subprocess.Popen(wine.emulator + [program] + list(args), stdin=follower, stdout=follower, stderr=follower,
                            env=wine.env, close_fds=True)
    os.close(follower)
    output = b""
    while True:
        try:
            chunk = os.read(leader, 65536)
        except OSError:
            break
        if not chunk:
            break
        output += chunk
    code = done.wait(timeout=120)
    os.close(leader)
    return code, screen_text(output.decode("cp1252", errors="replace"))


def screen_text(text):
    """The characters the console wrote, without its control sequences (a cursor move forward is blanks)."""
    text = re.sub(r"\x1b\[K\x1b\[(\d*)C", lambda m: " " * int(m.group(1) or 1), text)
    return re.sub(r"\x1b\[[?0-9;]*[A-Za-z]", "", text)


def main():
    build, scratch, arch = sys.argv[1:4]
    wine = Wine(sys.argv[4:], arch)
    tool = os.path.join(build, "bkrtool.exe")
    shutil.rmtree(scratch, ignore_errors=True)
    client, backup, app = (os.path.join(scratch, n) for n in ("client", "backup", "app"))
    for folder in (os.path.join(client, "LOG"), os.path.join(client, "CLIENT", "WORK"), os.path.join(app, "data")):
        os.makedirs(folder)
    for i in range(40):
        with open(os.path.join(app, "data", "f%02d.bin" % i), "wb") as f:
            f.write(os.urandom(50000))
    wine.delete_client_key()
    wine.set_client_value("PathName", win_path(client))
    wine.set_client_value("RestoreBackupPath", win_path(backup))
    problems = []
    key = ["APP", "1.0", "1"]
    # (arguments, what the progress line starts with)
    # The backup of the terminal run comes last, so that the others find it.
    steps = [(["backup"] + key + [win_path(app)], "backup: working"),
             (["verify"] + key, "verify: "), (["diff"] + key, "diff: "), (["check"], "check: "),
             (["restore"] + key, "restore: working")]
    try:
        code, out, err = wine.run(tool, ["backups", "--init"])
        if code != 0:
            problems.append("backups --init: %d %r" % (code, err))
        for arguments, progress in steps:
            what = "bkrtool " + arguments[0]
            for mode in ("piped", "json", "terminal"):
                run = list(arguments)
                if arguments[0] == "backup" and mode != "terminal":
                    run[1] = "APP_" + mode  # a key of its own each time
                if arguments[0] == "restore":
                    wine.run(tool, ["backup"] + key + [win_path(app)])
                if mode == "piped":
                    code, out, err = wine.run(tool, run)
                    shown = (out + err).decode("cp1252", errors="replace")
                    if progress in shown or "\r" in shown.replace("\r\n", ""):
                        problems.append("%s piped printed progress: %r" % (what, shown[:300]))
                elif mode == "json":
                    code, shown = run_on_terminal(wine, tool, run + ["--json"])
                    if progress in shown:
                        problems.append("%s --json on a terminal printed progress: %r" % (what, shown[:300]))
                else:
                    code, shown = run_on_terminal(wine, tool, run)
                    if progress not in shown or (" files" not in shown and "working, " not in shown):
                        problems.append("%s on a terminal showed no progress: %r" % (what, shown[:300]))
                if code != 0:
                    problems.append("%s %s: exit code %d: %r" % (what, mode, code, shown[-300:]))
    finally:
        wine.delete_client_key()
        shutil.rmtree(scratch, ignore_errors=True)
    for p in problems:
        print("FAIL: " + p)
    if not problems:
        print("progress shown on a terminal by %d commands, never when piped or with --json" % len(steps))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
