#!/usr/bin/env python3
"""bkrtool --json: every command, on success and on each kind of failure,
prints exactly one JSON object on standard output, strict JSON in UTF-8,
whose "exitCode" is the process's exit code and which has "error" (a text)
exactly when that is not 0. The client's folders and files lie below a
folder named "Café", whose name Windows programs see in the ANSI code page,
so every path and log text must come out converted to UTF-8.

  bkrtool_json_test.py BUILD_DIR SCRATCH_DIR ARCH EMULATOR...
"""
import os
import shutil
import struct
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from wine_run import Wine, strict_json, win_path  # noqa: E402

CAFE = "Café"


def has_cafe(text):
    return isinstance(text, str) and CAFE in text


def list_record(path, size=0, kind=1):
    """One 277-byte list record; the path in the ANSI code page (1252)."""
    record = bytearray(277)
    encoded = path.encode("cp1252")
    record[0:len(encoded)] = encoded
    record[260:264] = struct.pack(">I", size)
    record[264:268] = struct.pack(">I", 0x20240502)
    record[268:272] = struct.pack(">I", 0x00101500)
    record[272] = kind
    return bytes(record)


class Setup:
    """The client of the test: registry values, folders, files."""

    def __init__(self, wine, scratch):
        self.wine = wine
        self.root = os.path.join(scratch, CAFE)
        shutil.rmtree(scratch, ignore_errors=True)
        self.client = os.path.join(self.root, "client")
        self.work = os.path.join(self.client, "CLIENT", "WORK")
        self.backup = os.path.join(self.root, "backup")
        self.app = os.path.join(self.root, "app")
        self.files = os.path.join(self.root, "files")
        for folder in (os.path.join(self.client, "LOG"), self.work, os.path.join(self.app, "data"), self.files,
                       os.path.join(self.client, "CLIENT", "RESOURCE", "HOST0000"),
                       os.path.join(self.client, "MASTER", "DB")):
            os.makedirs(folder)
        with open(os.path.join(self.app, "readme.txt"), "w") as f:
            f.write("version 1\n")
        with open(os.path.join(self.app, "data", CAFE + ".txt"), "w") as f:
            f.write("contents\n")
        with open(self.file("plain.txt"), "w") as f:
            f.write("not an encoded file\n")
        with open(self.file("list.lst"), "wb") as f:
            f.write(list_record("C:\\App\\" + CAFE + "\\menu.txt", 1000) + list_record("C:\\App\\empty", 0, 0))
        wine.delete_client_key()
        wine.set_client_value("PathName", win_path(self.client))
        wine.set_client_value("RestoreBackupPath", win_path(self.backup))

    def change_readme(self):
        path = os.path.join(self.app, "readme.txt")
        stat = os.stat(path)
        with open(path, "w") as f:
            f.write("version 2\n")
        os.utime(path, (stat.st_atime, stat.st_mtime))

    def file(self, name):
        return os.path.join(self.files, name)

    def cut(self, source, target):
        """target: source without its last byte (an encoded file that does not decode)."""
        with open(source, "rb") as f:
            data = f.read()
        with open(target, "wb") as f:
            f.write(data[:-1])

    def hostsys(self, data):
        with open(self.file("HOSTSYS"), "wb") as f:
            f.write(data)

    def resource(self, archive):
        """C0000000 names the archive RSC00001 for APP 1.0 1; the server is 10.0.0.1, HOST0000."""
        record = bytearray(944)
        record[171:174] = b"APP"
        record[215:218] = b"1.0"
        record[223:224] = b"1"
        record[320:328] = b"RSC00001"
        with open(os.path.join(self.work, "C0000000"), "wb") as f:
            f.write(bytes(record))
        ctr = bytearray(276)
        ctr[0:8] = b"10.0.0.1"
        ctr[260:266] = b"orlavs"
        with open(os.path.join(self.work, "C0.ctr"), "wb") as f:
            f.write(bytes(ctr))
        host = bytearray(320)
        host[0:8] = b"10.0.0.1"
        host[260] = 1
        host[261:269] = b"HOST0000"
        with open(os.path.join(self.client, "MASTER", "DB", "HOSTSYS"), "wb") as f:
            f.write(bytes(host))
        shutil.copyfile(archive, os.path.join(self.client, "CLIENT", "RESOURCE", "HOST0000", "RSC00001"))


def host_record(host, kind, directory):
    record = bytearray(320)
    record[0:len(host)] = host.encode("cp1252")
    record[260] = kind
    record[261:261 + len(directory)] = directory.encode()
    return bytes(record)


def cases(s):
    """(arguments, exit code, check of the object, preparation) in the order they run."""
    w = win_path
    backrsc = os.path.join(s.backup, "UPI_AAAA", "BACKRSC")
    kept = os.path.join(s.files, "backrsc.copy")
    return [
        (["help"], 0, lambda o: len(o["commands"]) > 10, None),
        (["--version"], 0, lambda o: o["version"].count(".") == 2, None),
        (["no-such-command"], 2, None, None),
        (["scramble-password", "s3cret"], 0, lambda o: len(o["stored"]) >= 4, None),
        (["unscramble-password", "x"], 2, None, None),
        (["backups"], 2, lambda o: "bkrtool backups --init" in o["error"], None),
        (["backup", "APP", "1.0", "1", w(s.app)], 1, None, None),
        (["backups", "--init"], 0, lambda o: has_cafe(o["created"]), None),
        (["backups", "--init"], 2, lambda o: has_cafe(o["error"]), None),
        (["backup", "APP", "1.0", "1", w(s.app)], 0,
         lambda o: has_cafe(o["directory"]) and o["archive"]["files"] == 2, None),
        (["backup", "APP", "1.0", "1", w(s.app)], 1, None, None),  # the key has a backup
        (["backups"], 0, lambda o: has_cafe(o["root"]) and has_cafe(o["records"][0]["directoryPath"]), None),
        (["verify", "APP", "1.0", "1"], 0, lambda o: o["sound"] and has_cafe(o["file"]), None),
        (["verify", "OTHER", "1", "1"], 2, None, None),
        (["diff", "APP", "1.0", "1"], 0, lambda o: o["changes"] == 0 and has_cafe(o["directory"]), None),
        (["diff", "APP", "1.0", "1"], 1, lambda o: any(p["path"].endswith("readme.txt") and has_cafe(p["path"]) and p["differs"] == ["content"]
                      for p in o["paths"]),
         lambda: s.change_readme()),
        (["diff", "OTHER", "1", "1"], 2, None, None),
        (["check"], 0, lambda o: has_cafe(o["root"]) and o["findingCount"] == 0 and o["backups"][0]["sound"], None),
        (["check", "--root", w(s.file("missing"))], 2, lambda o: has_cafe(o["error"]), None),
        (["list", w(backrsc)], 0, lambda o: any(has_cafe(e["path"]) for e in o["entries"]),
         lambda: shutil.copyfile(backrsc, kept)),
        (["list", w(s.file("list.lst"))], 0, lambda o: has_cafe(o["records"][0]["path"]), None),
        (["list", w(s.file("plain.txt"))], 2, None, None),
        (["info", w(backrsc)], 0, lambda o: o["encoded"] and o["decodeResult"] == 1, None),
        (["info", w(s.file("plain.txt"))], 1, lambda o: not o["encoded"], None),
        (["info", w(s.file("missing"))], 2, lambda o: has_cafe(o["error"]), None),
        (["encode", w(s.file("plain.txt")), w(s.file("plain.ecd"))], 0, lambda o: has_cafe(o["output"]), None),
        (["decode", w(s.file("plain.ecd")), w(s.file("plain.dec"))], 0, lambda o: o["result"] == 1, None),
        (["info", w(s.file("cut.ecd"))], 1, lambda o: o["encoded"] and o["decodeResult"] != 1,
         lambda: s.cut(s.file("plain.ecd"), s.file("cut.ecd"))),
        (["decode", w(s.file("plain.txt")), w(s.file("x"))], 2, None, None),
        (["tree", w(s.app)], 0, lambda o: has_cafe(o["root"]) and any(has_cafe(e["path"]) for e in o["entries"]),
         None),
        (["tree", w(s.file("missing"))], 2, None, None),
        (["hosts", "--file", w(s.file("HOSTSYS"))], 0, lambda o: o["hosts"][0]["host"] == CAFE + ".example",
         lambda: s.hostsys(host_record(CAFE + ".example", 1, "HOST0000"))),
        (["hosts", "--file", w(s.file("HOSTSYS"))], 1, lambda o: o["leftover"] == 2,
         lambda: s.hostsys(host_record("10.0.0.1", 1, "HOST0000") + b"xx")),
        (["hosts", "--file", w(s.file("missing"))], 2, None, None),
        (["files", "APP", "1.0", "1", w(s.file("app.lst"))], 1, lambda o: o["list"] is None, None),
        (["files", "APP", "1.0", "1", w(s.file("app.lst"))], 0,
         lambda o: any(has_cafe(r["path"]) for r in o["list"]["records"]), lambda: s.resource(kept)),
        (["restore", "APP", "1.0", "1"], 0, lambda o: o["result"] == 0, None),
        (["restore", "APP", "1.0", "1"], 1, None, None),
        (["restore", "APP", "1.0"], 2, None, None),
        (["delete-backup", "APP", "1.0", "1"], 10, None, None),
        (["log", "CLIENT.LOG"], 0, lambda o: any(has_cafe(r["text"]) for r in o["records"]), None),
        (["log", "NOSUCH.LOG"], 2, None, None),
    ]


def check(wine, tool, arguments, expected_exit, check_object):
    """Problems of one run; empty when it is as it should be."""
    code, out, err = wine.run(tool, arguments + ["--json"])
    what = "bkrtool %s --json" % " ".join(arguments)
    try:
        value = strict_json(out)
    except ValueError as e:
        return ["%s: output is not one strict JSON value (%s): %r" % (what, e, out[:400])]
    problems = []
    if not isinstance(value, dict):
        return ["%s: not an object: %r" % (what, value)]
    if code != expected_exit:
        problems.append("%s: exit code %d, expected %d (stderr %r)" % (what, code, expected_exit, err[:300]))
    if value.get("exitCode") != code:
        problems.append("%s: exitCode %r, the process exited with %d" % (what, value.get("exitCode"), code))
    has_error = isinstance(value.get("error"), str) and value["error"] != ""
    if has_error != (code != 0) or (code == 0 and "error" in value):
        problems.append("%s: error %r with exit code %d" % (what, value.get("error"), code))
    try:
        if check_object is not None and not check_object(value):
            problems.append("%s: unexpected object %r" % (what, value))
    except (KeyError, IndexError, TypeError) as e:
        problems.append("%s: object lacks %s: %r" % (what, e, value))
    return problems


def main():
    build, scratch, arch = sys.argv[1:4]
    wine = Wine(sys.argv[4:], arch)
    tool = os.path.join(build, "bkrtool.exe")
    setup = Setup(wine, scratch)
    problems = []
    try:
        table = cases(setup)
        for arguments, expected_exit, check_object, prepare in table:
            if prepare is not None:
                prepare()
            problems += check(wine, tool, arguments, expected_exit, check_object)
        # Every command of the help is among the cases.
        _, out, _ = wine.run(tool, ["help", "--json"])
        commands = {c["name"] for c in strict_json(out)["commands"]}
        covered = {arguments[0] for arguments, _, _, _ in table}
        problems += ["command %s has no case" % c for c in sorted(commands - covered)]
        # -h is help too.
        code, out, _ = wine.run(tool, ["-h"])
        if code != 0 or not out.startswith(b"usage: bkrtool"):
            problems.append("bkrtool -h: exit code %d, %r" % (code, out[:80]))
    finally:
        wine.delete_client_key()
    for p in problems:
        print("FAIL: " + p)
    if not problems:
        shutil.rmtree(scratch, ignore_errors=True)
        print("all %d cases parse" % len(table))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
