#!/bin/sh
# Starts or stops the Wine session that the Windows tests run in.
#   wine-session.sh start PREFIX   create the prefix on first use, start a
#                                  persistent wineserver, apply test settings
#   wine-session.sh stop PREFIX    shut the wineserver down
# Every descriptor of the server goes to /dev/null: it would otherwise keep the
# caller's pipes open and ctest would wait for it.
set -eu
action=$1
export WINEPREFIX=$2
export WINEDEBUG=-all
WINE=/usr/lib/wine/wine64
SERVER=/usr/lib/wine/wineserver

case $action in
start)
  mkdir -p "$WINEPREFIX"
  $SERVER -p </dev/null >/dev/null 2>&1
  $WINE wineboot -i </dev/null >/dev/null 2>&1
  # Windows can be created and closed without a display. The desktop process
  # that wineboot starts reads the driver setting once, so a prefix that did
  # not have it yet is started again.
  if ! grep -q '"Graphics"="null"' "$WINEPREFIX/user.reg" 2>/dev/null; then
    $WINE reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f </dev/null >/dev/null 2>&1
    $SERVER -k </dev/null >/dev/null 2>&1 || true
    $SERVER -w </dev/null >/dev/null 2>&1 || true
    $SERVER -p </dev/null >/dev/null 2>&1
    $WINE wineboot </dev/null >/dev/null 2>&1
  fi
  # Programs that must see an older Windows version (name.exe=version pairs).
  for pair in ${BK_WINE_APP_VERSIONS:-}; do
    app=${pair%%=*}
    version=${pair#*=}
    $WINE reg add "HKCU\\Software\\Wine\\AppDefaults\\$app" /v Version /d "$version" /f \
      </dev/null >/dev/null 2>&1
  done
  ;;
stop)
  $SERVER -k </dev/null >/dev/null 2>&1 || true
  ;;
*)
  echo "usage: $0 start|stop PREFIX" >&2
  exit 2
  ;;
esac
