#!/bin/sh
# The main job, end to end on a fresh machine: installs what is needed, builds,
# and runs the administrator's tool on a sample.
set -eu
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build/native -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build build/native --target bkrtool >/dev/null
tool=build/native/bkrtool
echo "== stored form of a dial-up password, and back"
stored=$($tool scramble-password "dial-up secret")
echo "$stored"
$tool unscramble-password "$stored"
