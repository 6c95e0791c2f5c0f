#!/bin/sh
# Runs every fuzz target of the native build for MINUTES each, at most two at
# once and at low priority. The new inputs that reach new code are kept in
# the corpus folders (fuzz/corpus/<target>), findings (crash-*, leak-*,
# timeout-*, oom-*) in build/native/fuzz-findings/<target>. At the end one
# line per target: executions, coverage and features, the inputs it added to
# its corpus, and the findings.
#   scripts/fuzz.sh MINUTES
set -eu
cd "$(dirname "$0")/.."
minutes=${1:?usage: scripts/fuzz.sh MINUTES}
case $minutes in *[!0-9]* | '') echo "MINUTES must be a whole number" >&2; exit 2 ;; esac
build=build/native
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DBK_SANITIZE=ON -DBK_FUZZ=ON >/dev/null
fi
targets=$(sed -n 's/^foreach(target \(.*\))$/\1/p' fuzz/CMakeLists.txt)
[ -n "$targets" ] || { echo "no fuzz targets found in fuzz/CMakeLists.txt" >&2; exit 1; }
for t in $targets; do set -- "$@" "fuzz_$t"; done
shift  # MINUTES
cmake --build "$build" -j 2 --target "$@"

logs=$build/fuzz-logs
mkdir -p "$logs"
max_len() { sed -n "s/^set(_max_len_$1 \([0-9]*\))$/\1/p" fuzz/CMakeLists.txt; }
run() {
  t=$1
  findings=$build/fuzz-findings/$t
  found=$build/fuzz-new/$t
  rm -rf "$found"
  mkdir -p "$findings" "$found" "fuzz/corpus/$t"
  len=$(max_len "$t")
  # New inputs go to a folder of the build first; of them, the corpus keeps
  # those that reach something its inputs do not.
  nice -n 10 "$build/fuzz_$t" "$found" "fuzz/corpus/$t" -max_total_time=$((minutes * 60)) \
    ${len:+-max_len=$len} -timeout=20 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$findings/" >"$logs/$t.log" 2>&1 || true
  nice -n 10 "$build/fuzz_$t" -merge=1 ${len:+-max_len=$len} -timeout=20 -rss_limit_mb=2048 \
    -artifact_prefix="$findings/" "fuzz/corpus/$t" "$found" >"$logs/$t.merge.log" 2>&1 || true
}

# Two at a time: each pair runs side by side.
set -- $targets
while [ $# -gt 0 ]; do
  run "$1" &
  first=$!
  if [ $# -gt 1 ]; then
    run "$2" &
    second=$!
    wait "$second"
    shift
  fi
  wait "$first"
  shift
done

failed=0
printf '%-10s %14s %8s %8s %6s  %s\n' target executions cov ft added findings
for t in $targets; do
  log=$logs/$t.log
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -n 1 | cut -d' ' -f2)
  ft=$(grep -o 'ft: [0-9]*' "$log" | tail -n 1 | cut -d' ' -f2)
  added=$(sed -n 's/^MERGE-OUTER: \([0-9]*\) new files.*/\1/p' "$logs/$t.merge.log" | tail -n 1)
  found=$(ls "$build/fuzz-findings/$t" 2>/dev/null | tr '\n' ' ')
  [ -z "$found" ] || failed=1
  printf '%-10s %14s %8s %8s %6s  %s\n' "$t" "${execs:-?}" "${cov:-?}" "${ft:-?}" "${added:-?}" "${found:-none}"
done
[ "$failed" -eq 0 ] || echo "findings: see $build/fuzz-findings and $logs" >&2
exit "$failed"
