#!/bin/sh
# MSVC-style link test: installs the build tree into a temporary prefix, links
# msvc/program.c with clang and lld-link through the installed bkrestore.lib
# (with /SAFESEH on i686, as Visual C++ links 32-bit Release builds), sets the
# client up as the guide says (registry key in the DLL's registry view, LOG
# folder, BACKMNG through bkrtool backups --init, the log manager's stand-in
# from testing/ beside the program) and runs it under Wine: a backup and a
# restore of a folder.
#   msvc_run.sh BUILD_DIR SOURCE_DIR ARCH WINEPREFIX EMULATOR...
set -eu
build=$1
source=$2
arch=$3
export WINEPREFIX=$4
export WINEDEBUG=-all
shift 4
emulator="$*"

work=$(mktemp -d "${TMPDIR:-/tmp}/bkrestore-msvc.XXXXXX")
key='HKLM\Software\VELMORA\ORLA/VS/K'
if [ "$arch" = i686 ]; then
  machine=i386 target=i686-pc-windows-msvc safeseh=/safeseh view=/reg:32 kill=-k
else
  machine=i386:x86-64 target=x86_64-pc-windows-msvc safeseh= view=/reg:64 kill=
fi
cleanup() {
  $emulator reg delete "$key" $view /f >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
winpath() { printf 'Z:%s' "$1" | tr / '\\'; }

cmake --install "$build" --prefix "$work/package" >"$work/install.log" 2>&1 || { cat "$work/install.log" >&2; exit 1; }
package=$work/package

# kernel32.lib of short import members too; for x86_64 without the argument sizes.
if [ -n "$kill" ]; then
  cp "$source/tests/consumer/msvc/kernel32.def" "$work/kernel32.def"
else
  sed 's/@[0-9]*$//' "$source/tests/consumer/msvc/kernel32.def" >"$work/kernel32.def"
fi
llvm-dlltool -m $machine $kill -d "$work/kernel32.def" -l "$work/kernel32.lib"
mkdir "$work/run"
clang --target=$target -ffreestanding -fno-builtin -fno-stack-protector -mno-stack-arg-probe -O0 \
  -I"$package/include" -c "$source/tests/consumer/msvc/program.c" -o "$work/program.obj"
lld-link /nologo /entry:Start /subsystem:console /nodefaultlib $safeseh /out:"$work/run/program.exe" \
  "$work/program.obj" "$package/lib/bkrestore.lib" "$work/kernel32.lib" >"$work/link.log" 2>&1 ||
  { cat "$work/link.log" >&2; fail "lld-link refused the program"; }

# The client's setup on a test machine.
mkdir -p "$work/client/LOG" "$work/app"
printf 'kept\r\n' >"$work/app/keep.txt"
$emulator reg add "$key" $view /v PathName /d "$(winpath "$work/client")" /f >/dev/null
$emulator reg add "$key" $view /v RestoreBackupPath /d "$(winpath "$work/backup")" /f >/dev/null
cp "$package/bin/bkrestore.dll" "$package/testing/vscltmng.dll" "$work/run/"
WINEPATH="$(winpath "$package/testing")" $emulator "$package/bin/bkrtool.exe" backups --init </dev/null >/dev/null ||
  fail "bkrtool backups --init"

status=0
BK_APP=$(winpath "$work/app") $emulator "$work/run/program.exe" </dev/null || status=$?
[ "$status" = 0 ] || fail "program.exe failed check $status (CLIENT.LOG: $(tr -d '\r' <"$work/client/LOG/CLIENT.LOG" 2>/dev/null | tail -c 2000))"
[ "$(cat "$work/app/keep.txt")" = "$(printf 'kept\r\n')" ] || fail "keep.txt not restored"
echo "msvc link ok ($arch)"
