#!/bin/sh
# start PREFIX: make the prefix if needed and leave a persistent wineserver running for it.
# stop PREFIX: end that wineserver.
# Every Wine process started here gets /dev/null for its standard streams: a persistent server
# (or a service it starts) that inherits CTest's pipes would keep the test step waiting.
set -e
export WINEPREFIX="$2" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
server=/usr/lib/wine/wineserver
case "$1" in
  start)
    $server -k </dev/null >/dev/null 2>&1 || true
    $server -p </dev/null >/dev/null 2>&1
    /usr/lib/wine/wine64 wineboot </dev/null >/dev/null 2>&1 || true
    # Without a display Wine makes windows only with its null graphics driver.
    /usr/lib/wine/wine64 reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f \
      </dev/null >/dev/null 2>&1 || true
    ;;
  stop)
    $server -k </dev/null >/dev/null 2>&1 || true
    ;;
esac
