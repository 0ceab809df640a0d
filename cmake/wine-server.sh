#!/bin/sh
# start PREFIX: make the prefix if needed and leave a persistent wineserver running for it.
# stop PREFIX: end that wineserver.
set -e
export WINEPREFIX="$2" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
server=/usr/lib/wine/wineserver
case "$1" in
  start)
    "$(dirname "$0")/wine-prefix.sh" "$WINEPREFIX"
    $server -k </dev/null >/dev/null 2>&1 || true
    $server -p </dev/null >/dev/null 2>&1
    # Wine's own services start with the first program and outlive it: start them here, away
    # from the pipes through which CTest reads each test's output.
    /usr/lib/wine/wine64 wineboot </dev/null >/dev/null 2>&1 || true
    ;;
  stop)
    $server -k </dev/null >/dev/null 2>&1 || true
    ;;
esac
