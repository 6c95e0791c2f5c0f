#!/bin/sh
# The main job, end to end on a fresh machine: installs what is needed, builds
# the service (bkrestore.dll) and the administrator's tool for Windows, and
# under Wine backs up a sample application folder through the DLL, changes it
# as an installation would, restores it through the DLL and shows, file by
# file, that the folder is back as it was. Also shows the log lines of the two
# calls and the management file before and after.
#   scripts/demo.sh [--arch i686|x86_64]
# It runs the shipped build, i686, where the machine runs 32-bit code, and the
# x86_64 build otherwise (saying so); --arch chooses.
set -eu
cd "$(dirname "$0")/.."
arch=""
case "${1:-}" in
--arch) arch=${2:?"--arch needs i686 or x86_64"} ;;
"") ;;
*) echo "usage: $0 [--arch i686|x86_64]" >&2; exit 2 ;;
esac
scripts/setup.sh
runs32=yes
cmake/probe-ia32.sh || runs32=no
if [ -z "$arch" ]; then
  if [ $runs32 = yes ]; then
    arch=i686
  else
    arch=x86_64
    echo "this machine runs no 32-bit code: the demo runs the x86_64 build, not the shipped i686 one"
  fi
fi
case $arch in
i686)
  [ $runs32 = yes ] || { echo "this machine runs no 32-bit code: the i686 build cannot run here" >&2; exit 1; }
  # A 32-bit program in a 64-bit prefix, as on 64-bit Windows.
  WINE=/usr/lib/wine/wine ;;
x86_64) WINE=/usr/lib/wine/wine64 ;;
*) echo "unknown arch $arch (i686 or x86_64)" >&2; exit 2 ;;
esac
echo "demo of the $arch build"
build=build/$arch
cmake -S . -B $build -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-$arch.cmake >/dev/null
cmake --build $build --target bkrtool vscltmng >/dev/null

prefix=$PWD/build/demo-wineprefix
export WINEPREFIX="$prefix" WINEDEBUG=-all
cmake/wine-session.sh start "$prefix"
trap 'cmake/wine-session.sh stop "$prefix"' EXIT
tool() { $WINE "$PWD/$build/bkrtool.exe" "$@" </dev/null; }

# A client installation of our own in the prefix: install path, backup root.
drive_c=$prefix/drive_c
client=$drive_c/ORLAVSK
rm -rf "$client" "$drive_c/DemoApp"
mkdir -p "$client/LOG" "$client/BACKUP"
# Written with the reg program of the DLL's arch: a 32-bit program reads
# HKLM\Software through the 32-bit registry view.
key='HKLM\SoftWare\VELMORA\ORLA/VS/K'
$WINE reg delete "$key" /f </dev/null >/dev/null 2>&1 || true
$WINE reg add "$key" /v PathName /d 'C:\ORLAVSK' /f </dev/null >/dev/null 2>&1
$WINE reg add "$key" /v RestoreBackupPath /d 'C:\ORLAVSK\BACKUP' /f </dev/null >/dev/null 2>&1
$WINE reg add "$key" /v FUNCLOGSize /d 400 /f </dev/null >/dev/null 2>&1

# The sample application, with the kinds of entries an installation meets.
app=$drive_c/DemoApp
mkdir -p "$app/bin/plugins" "$app/data/empty" "$app/docs"
cp "$build/bkrestore.dll" "$app/bin/core.dll"
cp "$build/bkrtool.exe" "$app/bin/app.exe"
cp README.md "$app/docs/README.txt"
printf 'lang=en\ntheme=dark\n' >"$app/settings.ini"
: >"$app/data/empty.log"
printf 'plugin one\n' >"$app/bin/plugins/one.dll"
printf 'do not touch\n' >"$app/data/locked.cfg"
touch -d '2021-03-04 05:06:07' "$app/docs/README.txt"
touch -d '2020-01-02 03:04:05' "$app/settings.ini" "$app/data/locked.cfg"
chmod a-w "$app/data/locked.cfg"   # read-only under Wine
winapp='C:\DemoApp'
$WINE attrib +h 'C:\DemoApp\data\empty.log' </dev/null >/dev/null 2>&1 || true

section() { printf '\n== %s\n' "$1"; }
work=$(mktemp -d)
trap 'cmake/wine-session.sh stop "$prefix"; rm -rf "$work"' EXIT

section "a fresh backup root gets its empty management file"
tool backups --init
tool backups

section "the sample application before the installation"
tool tree "$winapp" | tee "$work/before.txt"

section "vskAPIBackup DEMOAPP 0100 0001 $winapp"
tool backup DEMOAPP 0100 0001 "$winapp"
tool verify DEMOAPP 0100 0001
section "the management file after the backup"
tool backups

section "the installation: modifies, deletes and adds files and folders, changes a read-only file"
printf 'lang=de\ntheme=light\nnew=1\n' >"$app/settings.ini"
rm -f "$app/bin/plugins/one.dll"
rm -rf "$app/data/empty"
mkdir -p "$app/bin/plugins/extra"
printf 'extra plugin\n' >"$app/bin/plugins/extra/two.dll"
printf 'added by the installation\n' >"$app/docs/CHANGES.txt"
chmod u+w "$app/data/locked.cfg"
printf 'touched anyway\n' >"$app/data/locked.cfg"
tool tree "$winapp" | tee "$work/installed.txt"
section "what the installation changed"
diff "$work/before.txt" "$work/installed.txt" || true

section "vskAPIRestore DEMOAPP 0100 0001"
tool restore DEMOAPP 0100 0001
tool tree "$winapp" | tee "$work/after.txt"

section "the folder after the restore, compared with before the installation"
if diff "$work/before.txt" "$work/after.txt"; then
  echo "identical: every file and folder is back with its content, times and attributes;"
  echo "the files and folders the installation added are gone"
else
  echo "DIFFERENT: the restore did not put the folder back" >&2
  exit 1
fi

section "the management file after the restore"
tool backups

section "CLIENT.LOG: the lines of the two calls"
if tool help | grep -q '^  log '; then
  tool log CLIENT.LOG --dir 'C:\ORLAVSK\LOG'
else
  # Fixed-length records: show their printable text, one per line.
  tr -c '[:print:]' '\n' <"$client/LOG/CLIENT.LOG" | grep -v '^ *$' | grep -v '^DATA COUNT'
fi
