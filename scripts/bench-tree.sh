#!/bin/sh
# The tree benchmark (scripts/bench.sh --tree [--quick]); runs as root.
#
# Builds the x86_64 Windows library and the tree programs (Release, in
# build/bench-win64), makes a fresh ext4 image without a journal, mounts it
# and gives it the drive letter T: in the build's Wine prefix, generates the
# application-shaped tree T:\app on it (bench/tree/make_tree.py, attributes
# through tree_attrib.exe), then runs interleaved rounds and keeps each task's
# best time:
#   vskAPIBackup of T:\app     tar -cf      tar -czf      the packer floor
#   vskAPIRestore of it        tar -xf + sync             the unpacker floor
# Every task works on the same file system. The restore puts the tree back
# over the unchanged tree: every file exists and is replaced in place (as
# after an installation that overwrote the folder), so the extracting anchors
# get the same start: tar -xf --overwrite and the unpacker write over a
# complete copy of the tree made before the rounds. The backup of each round
# is the one its restore uses; the backup root is emptied before each backup.
# No task deletes many files, so the image needs no remount between rounds.
#
# --fresh: the extracting tasks start from nothing instead: before each of
# them its target (for the restore the tree itself) is deleted and the image
# remounted (creating files right after many deletions is slow on ext4
# without a journal until then). This shows the cost of creating every file
# and folder, including the lookups of names that do not exist yet. When a
# restore fails there, the tree is put back with the unpacker (not timed).
#
# After every successful restore the tree is compared with the unpacker's
# verified copy (contents, times, attributes); a difference counts as failed.
#
# Times: the Win32 programs measure their own work (Wine start-up excluded),
# tar is timed from the shell. Every task starts after a sync. Exit code 0
# when every run succeeded, 1 when any failed (a failed export is shown as
# FAILED with its result).
set -eu
cd "$(dirname "$0")/.."
repo=$PWD

quick=0
fresh=0
for arg in "$@"; do
  case $arg in
  --tree) ;;
  --quick) quick=1 ;;
  --fresh) fresh=1 ;;
  *)
    echo "usage: scripts/bench.sh --tree [--quick] [--fresh]" >&2
    exit 2
    ;;
  esac
done
if [ "$(id -u)" != 0 ]; then
  echo "bench --tree: must run as root (it mounts a file system image)" >&2
  exit 2
fi

WINE=/usr/lib/wine/wine64
SERVER=/usr/lib/wine/wineserver
rounds=3
if [ $quick = 1 ]; then image_mb=1200; else image_mb=7000; fi

# --- Build ---------------------------------------------------------------------
build=$repo/build/bench-win64
cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake -DCMAKE_BUILD_TYPE=Release \
  -DBK_BUILD_TESTS=OFF --no-warn-unused-cli >/dev/null
cmake --build "$build" -j "$(nproc)" --target bkrestore tree_pack tree_unpack tree_attrib tree_driver

export WINEPREFIX="$build/wineprefix"
export WINEDEBUG=-all

# --- File system, Wine session, clean-up ------------------------------------------
work=$(mktemp -d "${TMPDIR:-/tmp}/bktree.XXXXXX")
mnt=$work/mnt
drive=$WINEPREFIX/dosdevices/t:
mounted=0
session=0
cleanup() {
  set +e
  if [ $session = 1 ]; then "$SERVER" -k </dev/null >/dev/null 2>&1; "$SERVER" -w </dev/null >/dev/null 2>&1; fi
  [ -L "$drive" ] && rm -f "$drive"
  if [ $mounted = 1 ]; then umount "$mnt" || { sleep 1; umount "$mnt"; }; fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

mkdir -p "$mnt"
truncate -s "${image_mb}M" "$work/tree.img"
mkfs.ext4 -q -F -O ^has_journal "$work/tree.img"
mount -o loop "$work/tree.img" "$mnt"
mounted=1
mkdir -p "$mnt/out" "$mnt/untar"

session=1
sh cmake/wine-session.sh start "$WINEPREFIX"
ln -sfn "$mnt" "$drive"

log=$work/wine.log
# Unmounts and mounts the image again. The wineserver holds no file of it
# between programs; should it, the session is restarted around the remount.
remount() {
  sync
  if ! umount "$mnt" 2>/dev/null; then
    "$SERVER" -k </dev/null >/dev/null 2>&1 || true
    "$SERVER" -w </dev/null >/dev/null 2>&1 || true
    umount "$mnt"
    mount -o loop "$work/tree.img" "$mnt"
    sh cmake/wine-session.sh start "$WINEPREFIX"
    return
  fi
  mount -o loop "$work/tree.img" "$mnt"
}
empty_target() {  # --fresh only: deletes DIR, then remounts
  if [ $fresh = 1 ]; then
    rm -rf "$1"
    remount
  fi
}
# run_win PROGRAM ARGS...: runs a program of the build under Wine; its output
# lands in $work/out.txt (carriage returns removed), the exit code in $rc.
run_win() {
  program=$1
  shift
  set +e
  "$WINE" "$build/$program" "$@" </dev/null >"$work/out.raw" 2>>"$log"
  rc=$?
  set -e
  tr -d '\r' <"$work/out.raw" >"$work/out.txt"
}
seconds_of() { sed -n 's/.* seconds=\([0-9.]*\).*/\1/p' "$work/out.txt"; }
now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", b - a }'; }
fail() {
  echo "bench --tree: $*" >&2
  [ -s "$log" ] && tail -n 20 "$log" >&2
  exit 1
}

# --- The tree ------------------------------------------------------------------------
quick_flag=
[ $quick = 1 ] && quick_flag=--quick
python3 bench/tree/make_tree.py "$mnt/app" $quick_flag --attributes "$mnt/out/attributes.txt"
run_win tree_attrib.exe 'T:\out\attributes.txt' 'T:\app'
[ $rc = 0 ] || fail "setting the tree's attributes failed: $(cat "$work/out.txt")"
tree_files=$(find "$mnt/app" -type f | wc -l)
tree_bytes=$(find "$mnt/app" -type f -printf '%s\n' | awk '{ s += $1 } END { printf "%.0f", s }')

# The client's configuration and the extracting anchors' starting copies.
run_win tree_driver.exe setup 'T:\client' 'T:\bkroot'
[ $rc = 0 ] || fail "client set-up failed: $(cat "$work/out.txt")"
run_win tree_pack.exe 'T:\app' 'T:\out\app.pack'
[ $rc = 0 ] || fail "packer failed"
run_win tree_unpack.exe 'T:\out\app.pack' 'T:\unpack'
[ $rc = 0 ] || fail "unpacker failed"
tar -cf "$mnt/out/app.tar" -C "$mnt" app
tar -xf "$mnt/out/app.tar" -C "$mnt/untar"
# The unpacker must reproduce the tree: contents, times (directories too) and
# attributes. Its copy is then the reference for the restored tree.
same_tree() {
  diff -r "$1" "$2" >/dev/null &&
    [ "$(python3 bench/tree/list_tree.py "$1")" = "$(python3 bench/tree/list_tree.py "$2")" ]
}
same_tree "$mnt/app" "$mnt/unpack" || fail "the unpacker's copy differs from the tree"
sync

# --- Rounds ----------------------------------------------------------------------------
# Results per task: best seconds of the successful runs, failures and the last
# failing result.
tasks="backup tarc tarcz pack restore tarx unpack"
for task in $tasks; do
  eval "best_$task=; failed_$task=0; result_$task=; last_$task="
done
# Per-round ratios (subject / anchor of the same round), for the spread.
round_ratios_backup=
round_ratios_restore=
round_ratio() {  # round_ratio LIST A B: appends A / B of this round when both ran
  eval "a=\${last_$2}; b=\${last_$3}"
  [ -n "$a" ] && [ -n "$b" ] || return 0
  r=$(awk -v a="$a" -v b="$b" 'BEGIN { printf "%.3f", a / b }')
  eval "$1=\"\${$1} \$r\""
}
# spread LIST: min median max of the numbers
spread() {
  echo "$1" | tr ' ' '\n' | sed '/^$/d' | sort -n |
    awk '{ v[NR] = $1 } END { if (NR == 0) { print "n/a"; exit }
      m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
      printf "min %.2f median %.2f max %.2f over %d rounds", v[1], m, v[NR], NR }'
}
peak_backup=
peak_restore=
record() {  # record TASK SECONDS-or-empty RESULT
  eval "last_$1=\$2"
  if [ -z "$2" ]; then
    eval "failed_$1=\$((failed_$1 + 1)); result_$1=\$3"
    return
  fi
  eval "current=\${best_$1}"
  if [ -z "$current" ] || awk -v a="$2" -v b="$current" 'BEGIN { exit !(a < b) }'; then eval "best_$1=\$2"; fi
}
reset_backup_root() {
  rm -rf "$mnt"/bkroot/UPI_* "$mnt/bkroot/INSLIST" "$mnt/bkroot/BACKMNGW"
  printf '\000\000' >"$mnt/bkroot/BACKMNG"
}
run_export() {  # run_export TASK DRIVER-ARGS...
  task=$1
  shift
  sync
  run_win tree_driver.exe "$@"
  if [ $rc = 0 ]; then record "$task" "$(seconds_of)" 0; else record "$task" "" "$rc"; fi
  peak=$(sed -n 's/.* peak_ws_mib=\([0-9.]*\).*/\1/p' "$work/out.txt")
  eval "current=\${peak_$task}"
  if [ -n "$peak" ] && { [ -z "$current" ] || awk -v a="$peak" -v b="$current" 'BEGIN { exit !(a > b) }'; }; then
    eval "peak_$task=\$peak"
  fi
  printf '  %-8s %s\n' "$task" "$(cat "$work/out.txt")"
}
run_floor() {  # run_floor TASK PROGRAM ARGS...
  task=$1
  shift
  sync
  run_win "$@"
  [ $rc = 0 ] || fail "$1 failed: $(cat "$work/out.txt")"
  record "$task" "$(seconds_of)" 0
  printf '  %-8s %s\n' "$task" "$(cat "$work/out.txt")"
}
run_tar() {  # run_tar TASK TAR-ARGS... (sync after extraction is part of the time)
  task=$1
  shift
  sync
  start=$(now)
  tar "$@" || fail "tar $* failed"
  [ "$task" = tarx ] && sync
  record "$task" "$(elapsed "$start" "$(now)")" 0
}

printf 'tree T:\\app on a fresh ext4 image: %s bytes, %s\n' "$tree_bytes" \
  "$(python3 bench/tree/list_tree.py --summary "$mnt/app")"
round=1
while [ $round -le $rounds ]; do
  echo "round $round of $rounds"
  reset_backup_root
  run_export backup backup BENCHTREE 1 1 'T:\app'
  run_tar tarc -cf "$mnt/out/app.tar" -C "$mnt" app
  run_tar tarcz -czf "$mnt/out/app.tar.gz" -C "$mnt" app
  run_floor pack tree_pack.exe 'T:\app' 'T:\out\app.pack'
  empty_target "$mnt/app"
  previous_best=$best_restore
  run_export restore restore BENCHTREE 1 1
  restored=$rc
  if [ $restored = 0 ] && ! same_tree "$mnt/unpack" "$mnt/app"; then
    best_restore=$previous_best
    record restore "" "0, but the restored tree differs"
    echo "  restore  the restored tree differs from the original"
    restored=1
  fi
  # The next round needs the tree as it was.
  if [ $restored != 0 ] && ! { [ -d "$mnt/app" ] && same_tree "$mnt/unpack" "$mnt/app"; }; then
    run_win tree_unpack.exe 'T:\out\app.pack' 'T:\app'
    [ $rc = 0 ] || fail "putting the tree back failed"
  fi
  empty_target "$mnt/untar"
  mkdir -p "$mnt/untar"
  run_tar tarx -xf "$mnt/out/app.tar" --overwrite -C "$mnt/untar"
  empty_target "$mnt/unpack"
  run_floor unpack tree_unpack.exe 'T:\out\app.pack' 'T:\unpack'
  round_ratio round_ratios_backup backup pack
  round_ratio round_ratios_restore restore unpack
  round=$((round + 1))
done

# --- Report ------------------------------------------------------------------------------
label() {
  case $1 in
  backup) echo "vskAPIBackup" ;; tarc) echo "tar -cf" ;; tarcz) echo "tar -czf" ;; pack) echo "packer floor" ;;
  restore) echo "vskAPIRestore" ;; tarx) echo "tar -xf + sync" ;; unpack) echo "unpacker floor" ;;
  esac
}
any_failed=0
echo
echo "best of $rounds rounds; $tree_files files, $tree_bytes bytes"
printf '%-16s %9s %9s %10s\n' task seconds MB/s files/s
for task in $tasks; do
  eval "best=\${best_$task}; failed=\${failed_$task}; result=\${result_$task}"
  if [ "$failed" -gt 0 ]; then
    any_failed=1
    note="FAILED in $failed of $rounds rounds (result $result)"
  else
    note=
  fi
  if [ -n "$best" ]; then
    awk -v n="$(label $task)" -v s="$best" -v b="$tree_bytes" -v f="$tree_files" -v note="$note" \
      'BEGIN { printf "%-16s %9.3f %9.1f %10.0f  %s\n", n, s, b / 1e6 / s, f / s, note }'
  else
    printf '%-16s %9s %9s %10s  %s\n' "$(label $task)" - - - "$note"
  fi
done
ratio() {  # ratio NAME A B TARGET: A / B
  eval "a=\${best_$2}; b=\${best_$3}; fa=\${failed_$2}; fb=\${failed_$3}"
  if [ -z "$a" ] || [ -z "$b" ] || [ "$fa" -gt 0 ] || [ "$fb" -gt 0 ]; then
    printf '%-24s %9s  target %s  (a run failed)\n' "$1" n/a "$4"
  else
    awk -v n="$1" -v a="$a" -v b="$b" -v t="$4" 'BEGIN { printf "%-24s %9.2f  target %s\n", n, a / b, t }'
  fi
}
# BK_BENCH_LOG=1: what the service traced in the rounds, most frequent first
# (a trace per file would be a cost of its own).
if [ -n "${BK_BENCH_LOG:-}" ]; then
  client_log=$(find "$mnt/client/LOG" -maxdepth 1 -iname client.log | head -n 1)
  [ -n "$client_log" ] && strings -n 6 "$client_log" | sed 's/^.*| //' | cut -c1-60 | sort | uniq -c | sort -rn | head -n 12
fi
echo
ratio "backup / packer" backup pack "<= 1.3"
ratio "tar -czf / backup" tarcz backup ">= 8"
ratio "restore / unpacker" restore unpack "<= 0.8"
ratio "tar -cf / packer" tarc pack "(anchor)"
ratio "tar -xf+sync / unpacker" tarx unpack "(anchor)"
echo
echo "per round, each against the anchor of its own round:"
printf '  %-22s %s\n' "backup / packer" "$(spread "$round_ratios_backup")"
printf '  %-22s %s\n' "restore / unpacker" "$(spread "$round_ratios_restore")"
printf '  %-22s %s MiB\n' "peak working set" "backup ${peak_backup:-n/a}, restore ${peak_restore:-n/a}"
if [ $any_failed = 1 ]; then
  echo
  echo "Some runs FAILED."
  client_log=$(find "$mnt/client/LOG" -maxdepth 1 -iname client.log | head -n 1)
  if [ -n "$client_log" ]; then
    echo "Last lines of the service's CLIENT.log:"
    strings -n 6 "$client_log" | tail -n 8
  else
    echo "The service wrote no CLIENT.log."
  fi
  exit 1
fi
