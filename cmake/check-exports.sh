#!/bin/sh
# check-exports.sh OBJDUMP DLL NAME...
# Fails unless the DLL's export table holds exactly the given names.
set -eu
objdump=$1
dll=$2
shift 2
expected=$(printf '%s\n' "$@" | sort)
actual=$("$objdump" -p "$dll" | awk '/\[Ordinal\/Name Pointer\] Table/{on=1; next} on && /^\t\[/{print $NF; next} on{on=0}' | sort)
if [ "$expected" != "$actual" ]; then
  echo "$dll exports differ from the expected list" >&2
  echo "expected:" >&2; echo "$expected" >&2
  echo "actual:" >&2; echo "$actual" >&2
  exit 1
fi
