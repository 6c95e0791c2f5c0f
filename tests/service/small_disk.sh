#!/bin/sh
# A small file system for the tests of a full disk: a tmpfs of SIZE mounted
# at DIR/mnt, reached from the test programs as drive LETTER of the prefix.
#   small_disk.sh mount DIR PREFIX LETTER SIZE
#   small_disk.sh unmount DIR PREFIX LETTER
# A tmpfs that cannot be mounted (no privilege) is no failure here: the
# reason goes to DIR/reason, and the test skips with it, loudly.
set -u
action=$1
dir=$2
link="$3/dosdevices/$4:"

unmount() {
  rm -f "$link"
  if mountpoint -q "$dir/mnt" 2>/dev/null; then
    umount "$dir/mnt" 2>/dev/null || umount -l "$dir/mnt"
  fi
  rm -rf "$dir"
}

case $action in
mount)
  unmount
  mkdir -p "$dir/mnt" "$3/dosdevices"
  if out=$(mount -t tmpfs -o "size=$5,mode=0777" bk_small_disk "$dir/mnt" 2>&1); then
    ln -sfn "$dir/mnt" "$link"
  else
    echo "cannot mount a $5 tmpfs at $dir/mnt: $out" >"$dir/reason"
  fi
  ;;
unmount)
  unmount
  ;;
*)
  echo "usage: $0 mount|unmount DIR PREFIX LETTER [SIZE]" >&2
  exit 2
  ;;
esac
exit 0
