#!/bin/sh
# check-implib.sh READOBJ LIB ARCH DLL NAME...
# Fails unless the import library LIB (llvm-readobj's "Arch:" ARCH, i386 or
# x86_64) is made of short import members, the form every MSVC-style linker
# takes (also with /SAFESEH), that import exactly the given names from DLL,
# undecorated, as the loader looks them up in DLL's exports.
set -eu
readobj=$1
lib=$2
arch=$3
dll=$4
shift 4
fail() { echo "$lib: $*" >&2; exit 1; }

dump=$("$readobj" "$lib") || fail "cannot be read"

# The members that are objects (the import descriptor and its ends) are of the arch.
archs=$(printf '%s\n' "$dump" | awk '/^Arch:/{print $2}' | sort -u)
[ "$archs" = "$arch" ] || fail "objects of arch '$archs', expected '$arch'"

# One block per short import member: File (the DLL), Name type, Symbol lines;
# the imported name is the symbol without __imp_, less its prefix for the
# name types that drop it (i386's leading underscore).
names=$(printf '%s\n' "$dump" | awk -v dll="$dll" '
  /^File: / { file = $2; next }
  /^Format: COFF-import-file/ { inimport = 1; next }
  inimport && /^Name type: / { type = $3; next }
  inimport && /^Symbol: / && $2 !~ /^__imp_/ {
    name = $2
    if (type != "name") sub(/^_/, "", name)
    if (type == "undecorate") sub(/@[0-9]+$/, "", name)
    if (file != dll) { print "FROM:" file ":" name; inimport = 0; next }
    print name
    inimport = 0
  }' | sort)
expected=$(printf '%s\n' "$@" | sort)
if [ "$names" != "$expected" ]; then
  echo "expected:" >&2; echo "$expected" >&2
  echo "actual:" >&2; echo "$names" >&2
  fail "imported names differ (short import members from $dll)"
fi
