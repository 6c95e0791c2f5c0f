#!/bin/sh
# Installs every package the build and the tests need on a Debian 12 machine.
# The i686 tests run under Wine's 32-bit loader (wine32:i386, beside wine64),
# which needs a kernel that runs 32-bit code: setup probes that first. Where it
# does not, it says so in one line and installs the rest; the i686 product is
# still built.
set -eu
cd "$(dirname "$0")/.."
packages="cmake ninja-build g++ binutils clang libclang-rt-14-dev llvm googletest zlib1g-dev
  wine64 g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix binutils-mingw-w64
  libz-mingw-w64-dev python3 lld"

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
export DEBIAN_FRONTEND=noninteractive
updated=""
apt_install() {
  [ -n "$updated" ] || { $sudo apt-get update -q; updated=1; }
  $sudo apt-get install -y -q --no-install-recommends "$@"
}

missing=""
for p in $packages; do
  installed "$p" || missing="$missing $p"
done
[ -z "$missing" ] || apt_install $missing

# The probe is built with binutils, which the packages above bring.
probe=0
cmake/probe-ia32.sh || probe=$?
case $probe in
0)
  if ! installed wine32:i386; then
    dpkg --print-foreign-architectures | grep -qx i386 || { $sudo dpkg --add-architecture i386; updated=""; }
    apt_install wine32:i386
  fi
  ;;
1) echo "i686 tests skipped: this machine runs no 32-bit code" ;;
*) echo "setup: the 32-bit probe could not be built (binutils' as and ld)" >&2; exit 1 ;;
esac
