#!/bin/sh
# consumer test: installs the build tree into a temporary prefix outside the
# source tree, checks what it holds (the release, its documents and
# licences, no debug information in any PE file), configures and builds the
# integrator's program in tests/consumer/project against it with the mingw
# toolchain, and runs it under Wine with the installed, stripped DLLs.
#   run.sh BUILD_DIR SOURCE_DIR TOOLCHAIN_FILE WINEPREFIX OBJDUMP EMULATOR...
set -eu
build=$1
source=$2
toolchain=$3
export WINEPREFIX=$4
export WINEDEBUG=-all
objdump=$5
shift 5
emulator="$*"

work=$(mktemp -d "${TMPDIR:-/tmp}/bkrestore-consumer.XXXXXX")
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/install" >"$work/install.log" 2>&1 ||
  { cat "$work/install.log" >&2; exit 1; }

# The install tree holds the release and nothing of the test build.
for f in bin/bkrestore.dll bin/objcore.dll bin/bkrtool.exe bin/libstdc++-6.dll bin/libwinpthread-1.dll \
         lib/libbkrestore.dll.a lib/libobjcore.dll.a lib/bkrestore.lib \
         include/bkrestore/bkrestore.h include/objcore/objcore.h \
         lib/cmake/bkrestore/bkrestoreConfig.cmake lib/cmake/bkrestore/bkrestoreConfigVersion.cmake \
         share/doc/bkrestore/README.md share/doc/bkrestore/NOTICE.txt \
         share/doc/bkrestore/licenses/gcc-runtime.txt share/doc/bkrestore/licenses/GPL-3.txt \
         share/doc/bkrestore/licenses/mingw-w64.txt share/doc/bkrestore/licenses/zlib.txt \
         share/doc/bkrestore/docs/guide/README.md share/doc/bkrestore/docs/guide/setup.md \
         share/doc/bkrestore/docs/backup-root.md \
         testing/vscltmng.dll testing/vscltmng.h testing/README.txt; do
  [ -f "$work/install/$f" ] || { echo "install tree lacks $f" >&2; exit 1; }
done
# The log manager's stand-in only in testing/; no other stand-in anywhere.
if find "$work/install" \( -iname 'vscltm*' -o -iname 'vsusrlog*' -o -iname 'vskdlg*' \) ! -path "$work/install/testing/*" |
   grep -q .; then
  echo "install tree holds a stand-in outside testing/" >&2; exit 1
fi
# No PE file ships with debug information (DWARF or stabs sections).
for f in $(find "$work/install" -iname '*.dll' -o -iname '*.exe'); do
  sections=$("$objdump" -h "$f" | awk '$1 ~ /^[0-9]+$/ {print $2}')
  [ -n "$sections" ] || { echo "cannot read the sections of $f" >&2; exit 1; }
  if printf '%s\n' "$sections" | grep -E -q '^\.(z?debug|stab)'; then
    echo "${f#$work/install/} carries debug sections:" $(printf '%s\n' "$sections" | grep -E '^\.(z?debug|stab)') >&2
    exit 1
  fi
done

cp -R "$source/tests/consumer/project" "$work/src"
cmake -S "$work/src" -B "$work/build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
  -Dbkrestore_DIR="$work/install/lib/cmake/bkrestore" >"$work/configure.log" 2>&1 ||
  { cat "$work/configure.log" >&2; exit 1; }
cmake --build "$work/build" >"$work/build.log" 2>&1 || { cat "$work/build.log" >&2; exit 1; }

# The client's log manager is there on a client machine; here the shipped stand-in.
cp "$work/install/testing/vscltmng.dll" "$work/build/"
out=$($emulator "$work/build/consumer.exe" </dev/null 2>&1) || {
  echo "consumer.exe failed: $out" >&2; exit 1; }
echo "$out"
[ "$out" = "consumer ok" ] || [ "$(printf '%s' "$out" | tr -d '\r')" = "consumer ok" ]
