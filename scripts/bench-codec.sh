#!/bin/bash
# Whole-process codec benchmark (run by scripts/bench.sh; --quick for a short
# run): a Release bkrtool encodes and decodes a 48 MB mixed corpus of
# application files (ecd_bench --write-corpus) file to file, against gzip -6
# and gunzip on the same corpus, in interleaved rounds whose order rotates.
# Every process is timed whole, start-up and I/O included; each round gives
# one ratio per pair, and the median, lowest and highest of the rounds are
# printed, for the wall-clock time and for the processor time. The decoded file is compared with the corpus.
#
# As root the files live on a fresh ext4 image without a journal, loop-
# mounted for the run; otherwise in a temporary folder.
#
#   scripts/bench-codec.sh BUILD_DIR [--quick]
set -eu
build=$1
shift
rounds=${BK_BENCH_ROUNDS:-9}
megabytes=48
for arg in "$@"; do
  case $arg in
  --quick) rounds=3 megabytes=16 ;;
  esac
done

work=$(mktemp -d "${TMPDIR:-/tmp}/bkcodec.XXXXXX")
mounted=0
cleanup() {
  set +e
  if [ $mounted = 1 ]; then umount "$work/mnt" || { sleep 1; umount "$work/mnt"; }; fi
  rm -rf "$work"
}
trap cleanup EXIT INT TERM
dir=$work
if [ "$(id -u)" = 0 ] && command -v mkfs.ext4 >/dev/null; then
  truncate -s $((megabytes * 8))M "$work/image"
  mkfs.ext4 -q -F -O ^has_journal "$work/image"
  mkdir "$work/mnt"
  mount -o loop "$work/image" "$work/mnt"
  mounted=1
  dir=$work/mnt
fi

"$build/ecd_bench" --write-corpus "$dir/corpus" "$megabytes" >/dev/null
tool=$build/bkrtool
"$tool" encode "$dir/corpus" "$dir/corpus.ecd" >/dev/null
gzip -6 -c "$dir/corpus" >"$dir/corpus.gz"

# Each task removes its output first and starts after a sync; the shell's
# own `time` takes its wall-clock and processor seconds (user + system, all
# threads), with no timing process of its own. Prints "wall cpu".
TIMEFORMAT='%R %U %S'
measure() {
  local t
  t=$( { time "$@" >/dev/null 2>&1; } 2>&1 )
  echo "$t" | awk '{ printf "%.3f %.3f", $1, $2 + $3 }'
}
encode() { rm -f "$dir/out.ecd"; sync; measure "$tool" encode "$dir/corpus" "$dir/out.ecd"; }
gzip6() { rm -f "$dir/out.gz"; sync; measure sh -c "exec gzip -6 -c '$dir/corpus' >'$dir/out.gz'"; }
decode() { rm -f "$dir/out"; sync; measure "$tool" decode "$dir/corpus.ecd" "$dir/out"; }
gunzip1() { rm -f "$dir/out.gunzip"; sync; measure sh -c "exec gunzip -c '$dir/corpus.gz' >'$dir/out.gunzip'"; }

results=$work/rounds
: >"$results"
r=0
while [ $r -lt $rounds ]; do
  # The order rotates from round to round, so that no task always runs first.
  case $((r % 4)) in
  0) e=$(encode); g=$(gzip6); d=$(decode); u=$(gunzip1) ;;
  1) g=$(gzip6); d=$(decode); u=$(gunzip1); e=$(encode) ;;
  2) d=$(decode); u=$(gunzip1); e=$(encode); g=$(gzip6) ;;
  *) u=$(gunzip1); e=$(encode); g=$(gzip6); d=$(decode) ;;
  esac
  echo "$e $g $d $u" >>"$results"  # wall and processor seconds of each
  r=$((r + 1))
done
if ! cmp -s "$dir/corpus" "$dir/out"; then
  echo "bench codec: the decoded file differs from the corpus" >&2
  exit 1
fi

echo "whole process, file to file, ${megabytes} MB mixed corpus, $rounds interleaved rounds:"
awk -v mb="$megabytes" '
  function sort(a, n,   i, j, t) { for (i = 2; i <= n; i++) for (j = i; j > 1 && a[j-1] > a[j]; j--) { t = a[j]; a[j] = a[j-1]; a[j-1] = t } }
  function median(a, n) { return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2 }
  {
    n++; enc[n] = $1; gz[n] = $3; dec[n] = $5; gun[n] = $7
    re[n] = $3 / $1; rd[n] = $7 / $5; ce[n] = $4 / $2; cd[n] = $8 / $6
  }
  END {
    sort(enc, n); sort(gz, n); sort(dec, n); sort(gun, n); sort(re, n); sort(rd, n); sort(ce, n); sort(cd, n)
    printf "  bkrtool encode  median %.3f s (%.0f MB/s)   gzip -6  median %.3f s\n", median(enc, n), mb / median(enc, n), median(gz, n)
    printf "  bkrtool decode  median %.3f s (%.0f MB/s)   gunzip   median %.3f s\n", median(dec, n), mb / median(dec, n), median(gun, n)
    printf "  encode / gzip -6: %.1fx (rounds %.1f-%.1fx)   target >= 25x\n", median(re, n), re[1], re[n]
    printf "  decode / gunzip:  %.2fx (rounds %.2f-%.2fx)   target >= 3x\n", median(rd, n), rd[1], rd[n]
    printf "  processor time (user + system) of the same runs: encode %.1fx gzip -6 (rounds %.1f-%.1fx), decode %.2fx gunzip (rounds %.2f-%.2fx)\n", median(ce, n), ce[1], ce[n], median(cd, n), cd[1], cd[n]
  }' "$results"
