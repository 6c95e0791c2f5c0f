#!/bin/sh
# The main job, end to end on a fresh machine: installs what is needed, builds
# the administrator's tool and runs it on sample files: encodes them with both
# codecs, shows the encoded file's fields, decodes and compares, and lists a
# stored resource archive.
set -eu
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build/native -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build build/native --target bkrtool >/dev/null
tool=$PWD/build/native/bkrtool
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cp README.md "$work/sample.txt"
cp "$tool" "$work/sample.bin"
for kind in 1 5; do
  for sample in sample.txt sample.bin; do
    echo "== $sample, kind $kind"
    $tool encode --kind $kind "$work/$sample" "$work/$sample.ecd"
    $tool info "$work/$sample.ecd"
    $tool decode "$work/$sample.ecd" "$work/$sample.out"
    cmp "$work/$sample" "$work/$sample.out"
    echo "sizes: $(wc -c <"$work/$sample") plain, $(wc -c <"$work/$sample.ecd") encoded; decoded copy identical"
  done
done

echo "== a stored resource archive (encoded with the control codec)"
$tool list --verbose fuzz/corpus/archive/archive_kind1.ecd
