#!/bin/sh
# start PREFIX: make the prefix if needed and leave a persistent wineserver running for it.
# stop PREFIX: end that wineserver.
set -e
export WINEPREFIX="$2" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
case "$1" in
  start)
    /usr/lib/wine/wineserver -k 2>/dev/null || true
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1 || true
      /usr/lib/wine/wineserver -w
    fi
    /usr/lib/wine/wineserver -p
    ;;
  stop)
    /usr/lib/wine/wineserver -k 2>/dev/null || true
    ;;
esac
