#!/bin/sh
# Installs what is needed, builds every target (i686 and x86_64 Windows, native)
# and runs every test: native unit tests under sanitizers, short fuzzer runs,
# the object runtime's tests under ThreadSanitizer, and the Windows tests of
# both arches under Wine (x86_64 with the 64-bit loader, i686 with the 32-bit
# one). Where the kernel runs no 32-bit code the i686 build and its tests are
# still built, and one line says that its tests did not run.
set -eu
cd "$(dirname "$0")/.."
started=$(date +%s)
# One line per step with the minutes taken so far, so that CI's time limit can be watched.
step() { echo "== $1 ($(( ($(date +%s) - started) / 60 )) min so far)"; }
step setup
scripts/setup.sh
jobs=$(nproc)

step "native build"
cmake -S . -B build/native -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DBK_SANITIZE=ON -DBK_FUZZ=ON
cmake --build build/native -j "$jobs"
for arch in x86_64 i686; do
  step "$arch build"
  cmake -S . -B build/$arch -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-$arch.cmake -DBK_BUILD_TESTS=ON
  cmake --build build/$arch -j "$jobs"
done

# ThreadSanitizer cannot share a build with AddressSanitizer: the object
# runtime's race tests and the codecs' two-thread batches get a small build
# of their own.
step "ThreadSanitizer build"
cmake -S . -B build/tsan -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_C_FLAGS=-fsanitize=thread -DCMAKE_CXX_FLAGS=-fsanitize=thread \
  -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread -DCMAKE_SHARED_LINKER_FLAGS=-fsanitize=thread
cmake --build build/tsan -j "$jobs" --target objcore_test ecd_batch_test ecd_stream_encode_test

step "native tests"
ctest --test-dir build/native -j "$jobs" --output-on-failure
step "ThreadSanitizer tests"
ctest --test-dir build/tsan -R '^(objcore_test|ecd_batch_test|ecd_stream_encode_test)$' --output-on-failure
step "x86_64 tests"
ctest --test-dir build/x86_64 -j "$jobs" --output-on-failure
if cmake/probe-ia32.sh; then
  step "i686 tests"
  ctest --test-dir build/i686 -j "$jobs" --output-on-failure
  step done
  echo "all tests passed"
else
  echo "i686 tests skipped: this machine runs no 32-bit code"
  step done
  echo "all tests passed (i686 tests not run)"
fi
