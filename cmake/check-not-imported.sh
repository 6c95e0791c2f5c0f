#!/bin/sh
# check-not-imported.sh OBJDUMP DLL FUNCTION...
# Fails when the DLL imports any of the functions: those are looked up at run
# time, because some systems the library runs on lack them.
set -eu
objdump=$1
dll=$2
shift 2
imports=$("$objdump" -p "$dll" | awk '/^\tDLL Name: /{inside=1; next} inside && NF >= 3 && $1 ~ /^[0-9a-f]+$/ {print $3}')
status=0
for name in "$@"; do
  if printf '%s\n' "$imports" | grep -qx "$name"; then
    echo "$dll imports $name, which must be looked up at run time" >&2
    status=1
  fi
done
[ $status = 0 ] && echo "none of $* imported by $dll"
exit $status
