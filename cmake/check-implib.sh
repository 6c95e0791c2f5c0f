#!/bin/sh
# check-implib.sh OBJDUMP LIB FORMAT DLL [NAME...]
# Fails unless the import library LIB (object FORMAT such as pe-i386) names
# DLL and, when names are given, imports exactly those names, undecorated: the
# names in its hint and name entries (.idata$6) are what the loader looks up
# in DLL's exports.
set -eu
objdump=$1
lib=$2
format=$3
dll=$4
shift 4
fail() { echo "$lib: $*" >&2; exit 1; }

formats=$("$objdump" -f "$lib" | awk '/file format/{print $NF}' | sort -u)
[ "$formats" = "$format" ] || fail "object format '$formats', expected '$format'"

# The DLL name (.idata$7 of the library's tail member).
"$objdump" -s -j '.idata$7' "$lib" | awk '/^ [0-9a-f]+ /{printf "%s", substr($0, 44)} END{print ""}' |
  grep -q "$dll" || fail "does not name $dll"
[ $# -gt 0 ] || exit 0

# The ASCII column of each member's .idata$6 (hint, name, NUL), joined per
# member: "..vskAPIBackup." gives vskAPIBackup.
names=$("$objdump" -s -j '.idata$6' "$lib" | awk '
  /file format/ { if (s != "") print s; s = ""; next }
  /^ [0-9a-f]+ / { s = s substr($0, 44) }
  END { if (s != "") print s }' | sed -n 's/^..\([^.]*\)\..*/\1/p' | sort)
expected=$(printf '%s\n' "$@" | sort)
if [ "$names" != "$expected" ]; then
  echo "expected:" >&2; echo "$expected" >&2
  echo "actual:" >&2; echo "$names" >&2
  fail "imported names differ"
fi
