#!/bin/sh
# Builds the benchmarks in a Release build without sanitizers (build/bench),
# programs linked statically as the shipped tool is, and runs them: the
# whole-process codec rounds (scripts/bench-codec.sh: a Release bkrtool
# against gzip -6 and gunzip), then the in-process codec benchmark
# (ecd_bench). --quick for a short run.
# With --tree: the tree benchmark of the backup and restore exports instead
# (scripts/bench-tree.sh; as root).
set -eu
cd "$(dirname "$0")/.."
for arg in "$@"; do
  if [ "$arg" = --tree ]; then exec sh scripts/bench-tree.sh "$@"; fi
done
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_COMPILER=clang \
  -DCMAKE_CXX_COMPILER=clang++ -DBK_SANITIZE=OFF -DBK_FUZZ=OFF -DBK_BUILD_TESTS=OFF \
  -DCMAKE_EXE_LINKER_FLAGS=-static -DZLIB_USE_STATIC_LIBS=ON -UZLIB_LIBRARY_RELEASE -UZLIB_LIBRARY >/dev/null
cmake --build build/bench -j "$(nproc)" --target ecd_bench bkrtool
bash scripts/bench-codec.sh build/bench "$@"
echo
build/bench/ecd_bench "$@"
