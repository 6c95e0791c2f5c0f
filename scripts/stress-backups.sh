#!/bin/sh
# The concurrency tests of making, restoring and deleting backups, run for
# many more rounds than CI runs them (tests/service/concurrent_backup_test):
#   - 4 processes back up 4 folders at once, then restore them at once;
#   - 8 processes at once: 2 back up and restore, 2 back up and delete, 2
#     back up and keep, 2 update installed-software entries (5 each);
# after every round BACKMNG, UPLISTD.BON and the folders must be exactly
# what the calls made. Uses the x86_64 test build (build/x86_64) and its
# Wine prefix.
#   scripts/stress-backups.sh [ROUNDS]    (default 40)
# Prints, per test, the rounds, the calls made, the failures and the time.
set -eu
cd "$(dirname "$0")/.."
rounds=${1:-40}
build=build/x86_64
cmake -S . -B $build -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake -DBK_BUILD_TESTS=ON >/dev/null
cmake --build $build -j2 --target concurrent_backup_test bkrestore bkrtool >/dev/null

prefix=$PWD/$build/wineprefix
cmake/wine-session.sh start "$prefix"
trap 'cmake/wine-session.sh stop "$prefix"' EXIT INT TERM
log=$(mktemp "${TMPDIR:-/tmp}/bkstress.XXXXXX")
status=0
BK_STRESS_ROUNDS=$rounds WINEPREFIX=$prefix WINEDEBUG=-all /usr/lib/wine/wine64 \
  $build/concurrent_backup_test.exe --gtest_color=no >"$log" 2>&1 </dev/null || status=$?

# Calls per round: 4 backups + 4 restores; 6 backups + 2 restores + 2
# deletions + 10 updates.
awk -v rounds="$rounds" '
  /^\[       OK \]|^\[  FAILED  \]/ && /Concurrent\..* ms\)/ {
    ok = ($0 ~ /OK/); name = $4; ms = $5; gsub(/[()]/, "", ms)
    calls = (name ~ /Parallel/) ? 8 : 20
    printf "%-80s %s  %d rounds, %d processes per round, %d calls, %.1f s (%.2f s per round)\n",
           name, ok ? "passed" : "FAILED", rounds, (name ~ /Parallel/) ? 4 : 8, calls * rounds, ms / 1000,
           ms / 1000 / rounds
  }
  /step failed/ { failures++ }
  END { printf "failed steps: %d\n", failures + 0 }
' "$log"
if [ $status != 0 ]; then
  echo "stress run FAILED (exit $status); the test output is in $log" >&2
  exit 1
fi
rm -f "$log"
echo "stress run passed"
