#!/usr/bin/env python3
"""Lists a tree as Windows sees it under Wine, one sorted line per entry:
relative path, kind (d or f), modification time in whole seconds and the
Windows attributes R (no write bit), H and S (Wine's user.DOSATTRIB). Two
trees with the same listing (and the same contents) are the same to a
restore. With --summary: counts only."""
import os
import sys

HIDDEN, SYSTEM = 0x2, 0x4


def dos_attributes(path):
    try:
        value = os.getxattr(path, "user.DOSATTRIB", follow_symlinks=False)
    except OSError:
        return 0
    try:
        return int(value.split(b"\0")[0].decode(), 0)
    except ValueError:
        return 0


def entries(root):
    for directory, subdirs, files in os.walk(root):
        for name in subdirs + files:
            path = os.path.join(directory, name)
            st = os.lstat(path)
            kind = "d" if os.path.isdir(path) else "f"
            flags = dos_attributes(path)
            marks = ("R" if not st.st_mode & 0o200 else "-") + ("H" if flags & HIDDEN else "-") + \
                    ("S" if flags & SYSTEM else "-")
            yield os.path.relpath(path, root), kind, int(st.st_mtime), marks


def main():
    summary = sys.argv[1] == "--summary"
    root = sys.argv[-1]
    lines = sorted(entries(root))
    if summary:
        count = lambda mark: sum(1 for e in lines if mark in e[3])
        print(f"{sum(1 for e in lines if e[1] == 'f')} files, {sum(1 for e in lines if e[1] == 'd')} "
              f"directories, {count('R')} read-only, {count('H')} hidden, {count('S')} system")
        return
    for path, kind, mtime, marks in lines:
        print(path, kind, mtime, marks)


if __name__ == "__main__":
    main()
