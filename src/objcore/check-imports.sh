#!/bin/sh
# check-imports.sh OBJDUMP DLL NAME...
# Fails unless the DLL imports exactly the given DLLs (case-insensitive).
set -eu
objdump=$1
dll=$2
shift 2
expected=$(printf '%s\n' "$@" | tr 'A-Z' 'a-z' | sort)
actual=$("$objdump" -p "$dll" | awk '/^\tDLL Name: /{print $3}' | tr 'A-Z' 'a-z' | sort)
if [ "$expected" != "$actual" ]; then
  echo "$dll imports differ from the expected list" >&2
  echo "expected:" >&2; echo "$expected" >&2
  echo "actual:" >&2; echo "$actual" >&2
  exit 1
fi
