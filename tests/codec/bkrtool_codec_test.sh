#!/bin/sh
# bkrtool's encode, decode, info, list and (Windows) verify commands, end to end.
#   bkrtool_codec_test.sh CORPUS_DIR SCRATCH_DIR BKRTOOL [EMULATOR ...]
# The tool runs as "EMULATOR... BKRTOOL" (Wine for the Windows build).
set -u
corpus=$1 scratch=$2 tool=$3
shift 3
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
emulator="$*"
t() { $emulator "$tool" "$@"; }

rm -rf "$scratch" && mkdir -p "$scratch"
cp "$corpus/archive/current.bin" "$scratch/plain.bin"

for kind in 0 1 5; do
  t encode --kind $kind "$scratch/plain.bin" "$scratch/k$kind.ecd" >"$scratch/out" 2>&1 || fail "encode kind $kind: $(cat "$scratch/out")"
  t decode "$scratch/k$kind.ecd" "$scratch/k$kind.dec" >"$scratch/out" 2>&1
  rc=$?
  if [ $kind = 0 ]; then
    [ $rc = 2 ] || fail "kind 0 decodes with exit $rc, expected 2 (no pass-through)"
  else
    [ $rc = 0 ] || fail "decode kind $kind exit $rc"
    cmp -s "$scratch/plain.bin" "$scratch/k$kind.dec" || fail "kind $kind round trip differs"
  fi
  t list "$scratch/k$kind.ecd" >"$scratch/list" 2>&1
  if [ $kind != 0 ]; then
    grep -q "sub/data.bin" "$scratch/list" || fail "list of kind $kind: $(cat "$scratch/list")"
  fi
done

t info "$scratch/k1.ecd" >"$scratch/info" || fail "info exit"
grep -q "compression:   control codec (kind 1)" "$scratch/info" || fail "info text: $(cat "$scratch/info")"
grep -q "plain size:    382" "$scratch/info" || fail "info plain size"
t info --json "$scratch/k5.ecd" | python3 -c 'import json,sys; d=json.load(sys.stdin); assert d["encoded"] and d["kind"]==5 and d["plainSize"]==382, d' \
  || fail "info --json"
t list --json "$corpus/archive/legacy.bin" | python3 -c 'import json,sys; d=json.load(sys.stdin); assert d["layout"]=="legacy" and d["entries"][0]["date"]=="2000-02-29", d' \
  || fail "list --json legacy"
t list --verbose "$scratch/plain.bin" | grep -q "nameCount: 9" || fail "list --verbose"

# Clear one-line errors.
t list "$scratch/missing" >"$scratch/out" 2>&1
[ $? = 2 ] && grep -q "^bkrtool: cannot open" "$scratch/out" || fail "missing file: $(cat "$scratch/out")"
t decode "$scratch/plain.bin" "$scratch/x" >"$scratch/out" 2>&1
[ $? = 2 ] && grep -q "is not an encoded file" "$scratch/out" || fail "not encoded: $(cat "$scratch/out")"
printf 'not an archive at all, just text' >"$scratch/text.bin"
t list "$scratch/text.bin" >"$scratch/out" 2>&1
[ $? = 2 ] && grep -q "defective archive header (Resource Error 1" "$scratch/out" || fail "defective: $(cat "$scratch/out")"
head -c 300 "$scratch/plain.bin" >"$scratch/cut.bin"
t list "$scratch/cut.bin" >"$scratch/out" 2>&1
[ $? = 2 ] && grep -q "defective archive" "$scratch/out" || fail "cut archive: $(cat "$scratch/out")"
# A damaged encoded archive is reported, and the file is left as it was.
cp "$scratch/k1.ecd" "$scratch/bad.ecd"
printf '\000\000' | dd of="$scratch/bad.ecd" bs=1 seek=28 conv=notrunc 2>/dev/null
cp "$scratch/bad.ecd" "$scratch/bad.copy"
t list "$scratch/bad.ecd" >"$scratch/out" 2>&1
[ $? = 2 ] && grep -q "cannot be decoded (result -4)" "$scratch/out" || fail "bad block: $(cat "$scratch/out")"
cmp -s "$scratch/bad.ecd" "$scratch/bad.copy" || fail "list changed the encoded file"
t decode "$scratch/bad.ecd" "$scratch/bad.out" >/dev/null 2>&1
[ $? = 4 ] || fail "decode of a bad block: exit code not 4"

# verify (Windows builds): sound archives in every form, damaged ones, files unchanged.
if t help 2>&1 | grep -q "verify"; then
  for f in plain.bin k1.ecd k5.ecd; do
    t verify "$scratch/$f" >"$scratch/out" 2>&1 && grep -q ": sound" "$scratch/out" || fail "verify $f: $(cat "$scratch/out")"
  done
  t verify --json "$corpus/archive/legacy.bin" | python3 -c 'import json,sys; d=json.load(sys.stdin); assert d["sound"] and d["layout"]=="legacy", d' \
    || fail "verify --json legacy"
  t verify "$scratch/bad.ecd" >"$scratch/out" 2>&1
  [ $? = 1 ] && grep -q "defective (result -4)" "$scratch/out" || fail "verify bad block: $(cat "$scratch/out")"
  cmp -s "$scratch/bad.ecd" "$scratch/bad.copy" || fail "verify changed the encoded file"
  t verify "$scratch/cut.bin" >"$scratch/out" 2>&1
  [ $? = 1 ] || fail "verify cut archive: $(cat "$scratch/out")"
fi

# A failed decode leaves an existing output as it was, and no partial file.
printf 'keep me' >"$scratch/existing.out"
t decode "$scratch/bad.ecd" "$scratch/existing.out" >/dev/null 2>&1
[ $? = 4 ] || fail "decode of a bad block over an existing output: exit code not 4"
[ "$(cat "$scratch/existing.out")" = "keep me" ] || fail "a failed decode changed the existing output"
[ "$(ls "$scratch" | grep -c existing)" = 1 ] || fail "a failed decode left a file beside the output: $(ls "$scratch")"
t decode "$scratch/k1.ecd" "$scratch/existing.out" >/dev/null 2>&1 || fail "decode over an existing output"
cmp -s "$scratch/plain.bin" "$scratch/existing.out" || fail "decode over an existing output: content differs"

# 20000 blocks of 32767 equal bytes: 120 KB coded, 655 MB plain. info counts
# them without keeping them; list refuses to decode that much in memory.
python3 - "$scratch/huge.ecd" <<'PY'
import sys
head = bytes.fromhex("0000953B000018B700003870 00006A40".replace(" ", ""))
head += bytes.fromhex("000102018000812082 01FF00".replace(" ", ""))
blocks = bytes.fromhex("800000023080") * 19999 + bytes.fromhex("7FFF00023080")
open(sys.argv[1], "wb").write(head + blocks)
PY
t info "$scratch/huge.ecd" >"$scratch/out" 2>&1 || fail "info of a huge plain size: $(cat "$scratch/out")"
grep -q "plain size:    655340000" "$scratch/out" || fail "info of a huge plain size: $(cat "$scratch/out")"
t list "$scratch/huge.ecd" >"$scratch/out" 2>&1
[ $? = 2 ] && grep -q "the decoded archive would hold 655340000 bytes, more than the 268435456" "$scratch/out" \
  || fail "list of a huge encoded archive: $(cat "$scratch/out")"

# Legacy dates and times no calendar holds are shown as invalid.
python3 - "$scratch/baddate.bin" <<'PY'
import struct, sys
names = b"C\0\\base\0dir\0"
entries = struct.pack("<IIIIIIhhI20sII", 60, 0, 967295, 967295, 967295, 967295, 2, 0, 0x10, b"", 0, 0)
names_start = 60 + len(entries)
header = struct.pack("<II2shhhI40s", names_start + len(names), 60, b"NN", 0, 1, 0, names_start, b"")
open(sys.argv[1], "wb").write(header + entries + names)
PY
t list "$scratch/baddate.bin" >"$scratch/out" 2>&1 || fail "list of impossible legacy dates: $(cat "$scratch/out")"
grep -q "invalid(967295) invalid(967295)" "$scratch/out" || fail "impossible legacy dates: $(cat "$scratch/out")"
grep -q "1996-72-95" "$scratch/out" && fail "impossible legacy date shown as a date: $(cat "$scratch/out")"

rm -rf "$scratch"
[ $failures = 0 ] && echo "all bkrtool checks passed"
exit $failures
