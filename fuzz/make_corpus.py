#!/usr/bin/env python3
"""Writes the plain seed files of the fuzz corpora (small archives in both
layouts, the documented encoded examples). Encoded seeds of the other kinds
are made from these with bkrtool (see make_corpus.sh)."""
import os
import struct
import sys

out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "corpus")


def write(target, name, data):
    os.makedirs(os.path.join(out, target), exist_ok=True)
    with open(os.path.join(out, target, name), "wb") as f:
        f.write(data)


def archive(entries, comp=b"H", drive=b"C", base=b"/"):
    """Current layout. entries: (path, kind, content, short, security)."""
    names = []
    reuse = {}

    def add(name, reusable=False):
        if reusable and name in reuse:
            return reuse[name]
        names.append(name)
        if reusable:
            reuse[name] = len(names)
        return len(names)

    pending = []
    drive_no = add(drive)
    path_no = add(base)
    header_block = drive + b"\0" + base + b"\0"
    body = b""
    for path, kind, content, short, security in entries:
        start = len(names)
        name_no = add(path)
        short_no = add(short, True) if short else 0
        owner = add(b"root", True)
        group = add(b"sys", True)
        block = b"".join(n + b"\0" for n in names[start:])
        assoc = b""
        if security:
            assoc = struct.pack(">HI", 5, len(security)) + security
        entry = struct.pack(">IIIIIIIHHHHBB6sI8sII", 64, 0, len(content), 0x20100701, 0x00060916,
                            0x20100701, 0x00060916, name_no, short_no, owner, group, kind, 7,
                            b"", len(content), b"", len(assoc), len(block))
        assert len(entry) == 64
        body += entry + assoc + block + content
    name_max = max(len(n) for n in names)
    total = 42 + len(header_block) + len(body)
    header = struct.pack(">IIIBBHHHHB11sII", 0, total, 42, 1, 0, drive_no, path_no, len(names),
                         name_max, comp[0], b"", 0, len(header_block))
    assert len(header) == 42
    return header + header_block + body


def legacy():
    names = b"C\0\\base\0dir\0dir\\f.txt\0"
    entries = struct.pack("<IIIIIIhhI20sII", 60, 0, 229, 120000, 229, 120000, 2, 0, 0x10, b"", 0, 0)
    entries += struct.pack("<IIIIIIhhI20sII", 60, 0, 991231, 235959, 991231, 235959, 3, 0, 0x20, b"", 4, 0) + b"data"
    names_start = 60 + len(entries)
    header = struct.pack("<II2shhhI40s", names_start + len(names), 60, b"NN", 0, 1, 0, names_start, b"")
    assert len(header) == 60
    return header + entries + names


sample = archive([
    (b".", 0x10, b"", b"", b""),
    (b"readme long name.txt", 0x09, b"hello", b"README~1.TXT", b""),
    (b"sub", 0x10, b"", b"", b""),
    (b"sub/data.bin", 0x01, b"\x01\x02\x03", b"", b"\x01\x00\x04\x80"),
])
write("archive", "current.bin", sample)
write("archive", "header_only.bin", archive([], comp=b"N", drive=b"D"))
write("archive", "legacy.bin", legacy())
write("plain", "sample_archive.bin", sample)
write("plain", "aaab.txt", b"aaab")
write("plain", "text.txt", (b"Before a software package is installed, the client saves the files. " * 40))

# The documented encoded examples (magic number of the time 1000000000).
magic = bytes.fromhex("0000953B000018B7000038700000 6A40".replace(" ", ""))
options = bytes.fromhex("000102018000812082 01FF00".replace(" ", ""))
write("container", "aaab_kind1.ecd", magic + options + bytes.fromhex("00040003988C3C"))
write("container", "aaaa_kind1.ecd", magic + options + bytes.fromhex("000400023080"))
write("container", "empty_kind1.ecd", magic + options)
stored = bytes.fromhex("000002018002812082 01FF00".replace(" ", ""))
write("container", "aaab_passthrough.ecd", magic + stored + b"aaab")
write("block", "aaab.blk", bytes.fromhex("00040003988C3C"))

# The documented BACKSUM examples: the sums of docs/archive.md's archive, and
# of a backup without an archive.
write("sums", "two_entries.bin", bytes.fromhex(
    "4241434b53554d00 0001 0001 00000002 000000c4 634fe405 82759348 092947b7 c1da1664 993d7847".replace(" ", "")))
write("sums", "no_archive.bin", bytes.fromhex("4241434b53554d00 0001 0000".replace(" ", "") + "00" * 16 + "c755c4c5"))
write("block", "aaaa.blk", bytes.fromhex("000400023080"))

# The client's control files: HOSTSYS records (a sound pair, one whose
# directory leads out of its folder), C0000000 records with a plain and a
# hostile archive name, and C0.ctr.
def hostsys(host, kind, directory):
    r = bytearray(320)
    r[0:len(host)] = host
    r[260] = kind
    r[261:261 + len(directory)] = directory
    return bytes(r)


write("hostsys", "two_servers.bin", hostsys(b"10.0.0.1", 1, b"HOST0000") + hostsys(b"srv2.example", 2, b"HOST0001"))
write("hostsys", "leaves_folder.bin", hostsys(b"10.0.0.1", 1, b"..\\..\\..") + hostsys(b"10.0.0.1", 1, b""))


def rcf(archive_name):
    r = bytearray(b"\x01" * 944)
    r[171:227] = bytes(56)
    r[171:174] = b"APP"
    r[215:217] = b"V1"
    r[223:225] = b"G1"
    r[320:328] = bytes(8)
    r[320:320 + len(archive_name)] = archive_name
    return bytes(r) + b"APP"


write("rcf", "plain_name.bin", rcf(b"RSC00001"))
write("rcf", "parent_name.bin", rcf(b"..\\..\\R1"))
write("rcf", "device_name.bin", rcf(b"NUL.txt"))
ctr = bytearray(276)
ctr[0:8] = b"10.0.0.1"
ctr[260:266] = b"orlavs"
ctr[268:276] = struct.pack("<II", 2, 1)
write("ctr", "server.bin", bytes(ctr))

# BACKMNG with a sound record and one whose directory leads out of the root;
# a pair of installed-software entries of one package and its key.
record = bytearray(895)
record[0:3], record[44:46], record[52:54] = b"APP", b"V1", b"G1"
record[56:64], record[64:72] = b"UPI_AAAA", b"20261231"
leaving = bytearray(record)
leaving[56:64] = b"..\\..\\XX"
write("backmng", "two_records.bin", struct.pack("<h", 2) + bytes(record) + bytes(leaving))
entry = bytearray(823)
entry[257:266] = b"a.b.APP.x"  # package name
stored_entry = bytearray(entry)
stored_entry[1:4] = b"C:\\"  # install location
write("uplistd", "pair.bin", bytes(entry) + bytes(stored_entry) + b"APP")
