#!/bin/sh
# Makes the release packages of both Windows arches from fresh build folders:
# dist/bkrestore-<version>-i686.zip and dist/bkrestore-<version>-x86_64.zip.
# Each build folder (build/package-<arch>) is removed first, so nothing of an
# earlier or a test build gets in; tests are not built. The build type is the
# one the tests run (RelWithDebInfo); the install rules strip the debug
# information from every PE file that goes into the package.
set -eu
cd "$(dirname "$0")/.."
jobs=$(nproc)
mkdir -p dist
for arch in i686 x86_64; do
  dir=build/package-$arch
  rm -rf "$dir"
  cmake -S . -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-$arch.cmake \
    -DBK_BUILD_TESTS=OFF
  cmake --build "$dir" -j "$jobs"
  (cd "$dir" && cpack -G ZIP)
  cp "$dir"/dist/bkrestore-*-$arch.zip dist/
done
ls -l dist/*.zip
