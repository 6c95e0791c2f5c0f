#!/bin/sh
# consumer test: installs the build tree into a temporary prefix outside the
# source tree, configures and builds the integrator's program in
# tests/consumer/project against it with the mingw toolchain, and runs it
# under Wine with the loader of the build's arch.
#   run.sh BUILD_DIR SOURCE_DIR TOOLCHAIN_FILE WINEPREFIX WINE_LOADER
set -eu
build=$1
source=$2
toolchain=$3
export WINEPREFIX=$4
wine=$5
export WINEDEBUG=-all

work=$(mktemp -d "${TMPDIR:-/tmp}/bkrestore-consumer.XXXXXX")
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/install" >"$work/install.log" 2>&1 ||
  { cat "$work/install.log" >&2; exit 1; }

# The install tree holds the release and nothing of the test build.
for f in bin/bkrestore.dll bin/objcore.dll bin/bkrtool.exe bin/libstdc++-6.dll bin/libwinpthread-1.dll \
         lib/libbkrestore.dll.a lib/libobjcore.dll.a lib/bkrestore.lib \
         include/bkrestore/bkrestore.h include/objcore/objcore.h \
         lib/cmake/bkrestore/bkrestoreConfig.cmake lib/cmake/bkrestore/bkrestoreConfigVersion.cmake \
         share/doc/bkrestore/README.md; do
  [ -f "$work/install/$f" ] || { echo "install tree lacks $f" >&2; exit 1; }
done
if find "$work/install" -iname 'vscltm*' -o -iname 'vsusrlog*' -o -iname 'vskdlg*' | grep -q .; then
  echo "install tree holds a stand-in" >&2; exit 1
fi

cp -R "$source/tests/consumer/project" "$work/src"
cmake -S "$work/src" -B "$work/build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
  -Dbkrestore_DIR="$work/install/lib/cmake/bkrestore" >"$work/configure.log" 2>&1 ||
  { cat "$work/configure.log" >&2; exit 1; }
cmake --build "$work/build" >"$work/build.log" 2>&1 || { cat "$work/build.log" >&2; exit 1; }

# The client's log manager is there on a client machine; here its stand-in.
cp "$build/vscltmng.dll" "$work/build/"
out=$("$wine" "$work/build/consumer.exe" </dev/null 2>&1) || {
  echo "consumer.exe failed: $out" >&2; exit 1; }
echo "$out"
[ "$out" = "consumer ok" ] || [ "$(printf '%s' "$out" | tr -d '\r')" = "consumer ok" ]
