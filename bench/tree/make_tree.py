#!/usr/bin/env python3
"""Generates the benchmark tree: a folder shaped like an installed application.

Full size: about 20,000 files in about 500 directories, about 700 MB; mostly
1-64 KiB files, some of 64 KiB-2 MiB, a few of 20-50 MB; one directory of
about 3,000 files; empty files and empty directories. --quick makes a tenth
of it (about 2,000 files, 70 MB).

File contents are slices of real program files and texts of this machine
(Windows DLLs of Wine and mingw, Linux shared objects, headers, documents), so
that the tree compresses like software. The choice of every name, size, time
and slice comes from one seeded generator: the same seed on the same machine
gives the same tree.

Windows attributes cannot be set from here (hidden and system live in Wine's
own extended attribute): the script writes a list of them (--attributes FILE,
one "FLAGS<TAB>relative\\path" line each, FLAGS of R, H, S) for tree_attrib.exe
to apply under Wine.
"""
import argparse
import os
import random
import sys

KIB = 1024
MIB = 1024 * KIB

BINARY_ROOTS = [
    "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows",
    "/usr/lib/wine/x86_64-windows",
    "/usr/lib/gcc/x86_64-w64-mingw32",
    "/usr/x86_64-w64-mingw32/lib",
    "/usr/lib/x86_64-linux-gnu",
]
TEXT_ROOTS = [
    "/usr/share/doc",
    "/usr/share/common-licenses",
    "/usr/share/mingw-w64/include",
    "/usr/include",
]
# Already compressed data would make the tree compress unlike software.
PACKED_SUFFIXES = (".gz", ".xz", ".bz2", ".zst", ".zip", ".png", ".jpg", ".jpeg", ".gif", ".lz4", ".br")

BINARY_EXTENSIONS = [".dll", ".exe", ".dat", ".bin", ".pak", ".sys", ".ocx", ".res", ".cab", ".db"]
TEXT_EXTENSIONS = [".txt", ".xml", ".ini", ".h", ".js", ".html", ".css", ".json", ".cfg", ".inf", ".lng", ".md"]
TOP_DIRECTORIES = ["bin", "lib", "plugins", "resources", "share", "docs", "drivers", "data",
                   "locale", "modules", "tools", "sdk", "config", "help"]
SYLLABLES = ["core", "net", "ui", "gfx", "io", "sys", "data", "util", "win", "ext", "font", "img",
             "snd", "vid", "web", "sql", "xml", "crypt", "zip", "log", "rpc", "job", "key", "map",
             "app", "run", "gen", "cfg", "doc", "res", "lang", "help", "tool", "test", "base", "main"]


def collect_pool(roots, limit, binary):
    """Regular files of at least 4 KiB under the roots, sorted, thinned to `limit`."""
    found = []
    for root in roots:
        if not os.path.isdir(root):
            continue
        for directory, subdirs, files in os.walk(root):
            subdirs.sort()
            for name in sorted(files):
                if name.lower().endswith(PACKED_SUFFIXES):
                    continue
                if binary and not (name.endswith((".dll", ".exe", ".a", ".o")) or ".so" in name):
                    continue
                path = os.path.join(directory, name)
                try:
                    if os.path.islink(path) or not os.path.isfile(path):
                        continue
                    size = os.path.getsize(path)
                except OSError:
                    continue
                if size >= 4 * KIB:
                    found.append((path, size))
    found.sort()
    if len(found) > limit:
        step = len(found) / limit
        found = [found[int(i * step)] for i in range(limit)]
    return found


class Content:
    """Slices of pool files, read on demand."""

    def __init__(self, rng, binaries, texts):
        self.rng = rng
        self.pools = {True: binaries, False: texts}

    def make(self, size, binary):
        pool = self.pools[binary] or self.pools[not binary]
        parts = []
        left = size
        # Large files are many pieces of many files, small ones one slice.
        piece_limit = 1 * MIB if size > 4 * MIB else size
        while left > 0:
            path, length = pool[self.rng.randrange(len(pool))]
            want = min(left, piece_limit, length)
            start = self.rng.randrange(0, length - want + 1) & ~511 if length > want else 0
            with open(path, "rb") as source:
                source.seek(start)
                data = source.read(want)
            if not data:
                continue
            parts.append(data)
            left -= len(data)
        return b"".join(parts)


def unique_name(rng, taken, extension):
    while True:
        count = rng.choice([1, 1, 2, 2, 3])
        stem = "".join(rng.choice(SYLLABLES) for _ in range(count))
        if rng.random() < 0.4:
            stem += str(rng.randrange(1, 100))
        if rng.random() < 0.3:
            stem = stem.capitalize()
        name = stem + extension
        # Windows names compare without case.
        if name.lower() not in taken:
            taken.add(name.lower())
            return name


def build(args):
    rng = random.Random(args.seed)
    scale = 10 if args.quick else 1
    file_count = 20000 // scale
    directory_count = 500 // scale
    big_directory_files = 3000 // scale
    mid_count = 420 // scale
    large_count = 1 if args.quick else 5
    empty_files = 200 // scale
    empty_directories = 20 // scale

    binaries = collect_pool(BINARY_ROOTS, 4000, True)
    texts = collect_pool(TEXT_ROOTS, 4000, False)
    if not binaries and not texts:
        sys.exit("make_tree: no source files found under /usr")
    content = Content(rng, binaries, texts)

    root = args.root
    os.makedirs(root, exist_ok=False)

    # Directories: the top level, then children added at random places, the
    # shallow ones more often. Each entry: relative path parts.
    directories = [[name] for name in TOP_DIRECTORIES[:max(4, min(len(TOP_DIRECTORIES), directory_count // 8))]]
    taken = {(): {d[0].lower() for d in directories}}
    while len(directories) < directory_count - empty_directories:
        parent = rng.choice(directories)
        if len(parent) >= 6 or rng.random() < len(parent) * 0.12:
            continue
        names = taken.setdefault(tuple(parent), set())
        directories.append(parent + [unique_name(rng, names, "")])
    big_directory = directories[TOP_DIRECTORIES.index("resources")] + ["strings"]
    taken.setdefault(tuple(big_directory[:-1]), set()).add("strings")
    directories.append(big_directory)
    empties = []
    for _ in range(empty_directories):
        parent = rng.choice(directories)
        names = taken.setdefault(tuple(parent), set())
        empties.append(parent + [unique_name(rng, names, "")])
    for parts in directories + empties:
        os.makedirs(os.path.join(root, *parts), exist_ok=True)

    # Sizes: mostly 1-64 KiB, some 64 KiB-2 MiB, a few 20-50 MB, some empty
    # (log-uniform within each band).
    def log_uniform(low, high):
        return int(low * (high / low) ** rng.random())

    sizes = [rng.randrange(20 * 1000 * 1000, 50 * 1000 * 1000) for _ in range(large_count)]
    sizes += [log_uniform(64 * KIB, 2 * MIB) for _ in range(mid_count)]
    sizes += [0] * empty_files
    sizes += [log_uniform(1 * KIB, 64 * KIB) for _ in range(file_count - len(sizes))]

    # Places: the big directory gets its share of small files, the rest go to
    # the other directories with uneven weights (a few crowded folders).
    weights = [rng.paretovariate(1.2) for _ in directories]
    weights[directories.index(big_directory)] = 0
    small_start = large_count + mid_count + empty_files
    placements = []
    for index, size in enumerate(sizes):
        if index >= small_start and index - small_start < big_directory_files:
            placements.append(big_directory)
        else:
            placements.append(rng.choices(directories, weights)[0])

    attributes = []
    total = 0
    base_time = 1546300800  # 2019-01-01
    for index, (size, parts) in enumerate(zip(sizes, placements)):
        # Program files carry most of the bytes of an installation.
        binary = size >= 2 * MIB or rng.random() < (0.8 if size >= 64 * KIB else 0.45)
        extension = rng.choice(BINARY_EXTENSIONS if binary else TEXT_EXTENSIONS)
        if parts is big_directory:
            extension = ".lng" if rng.random() < 0.5 else ".res"
        name = unique_name(rng, taken.setdefault(tuple(parts), set()), extension)
        path = os.path.join(root, *parts, name)
        with open(path, "wb") as out:
            if size:
                out.write(content.make(size, binary))
        stamp = base_time + rng.randrange(5 * 365 * 86400)
        os.utime(path, (stamp, stamp))
        total += size
        draw = rng.random()
        flags = ""
        if draw < 0.04:
            flags = "R"
        elif draw < 0.055:
            flags = "H"
        elif draw < 0.06:
            flags = "HS"
        elif draw < 0.065:
            flags = "HR"
        if flags:
            attributes.append((flags, "\\".join(parts + [name])))

    # A few directories with attributes of their own.
    marked = rng.sample(directories[len(TOP_DIRECTORIES):], 3)
    for parts, flags in zip(marked, ["H", "H", "HR"]):
        attributes.append((flags, "\\".join(parts)))

    # Directory times last, deepest first, so that creating the files does
    # not move them again.
    for parts in sorted(directories + empties, key=len, reverse=True):
        stamp = base_time + rng.randrange(5 * 365 * 86400)
        os.utime(os.path.join(root, *parts), (stamp, stamp))

    if args.attributes:
        with open(args.attributes, "w", newline="\r\n") as out:
            for flags, relative in attributes:
                out.write(f"{flags}\t{relative}\n")
    print(f"make_tree: {len(sizes)} files, {len(directories) + len(empties)} directories, "
          f"{total} bytes, {len(attributes)} with attributes, "
          f"largest directory {sum(1 for p in placements if p is big_directory)} files")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("root", help="folder to create (must not exist)")
    parser.add_argument("--quick", action="store_true", help="a tenth of the full size")
    parser.add_argument("--seed", type=int, default=20261210)
    parser.add_argument("--attributes", help="write the attribute list for tree_attrib.exe here")
    build(parser.parse_args())


if __name__ == "__main__":
    main()
