#!/bin/sh
# Runs a Windows program of the build under wine64, in the build tree's own prefix (made on
# first use). The test step keeps a persistent wineserver for that prefix (wine-server.sh).
program_dir=$(cd "$(dirname "$1")" && pwd)
: "${WINEPREFIX:=$(dirname "$program_dir")/wineprefix}"
export WINEPREFIX
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
"$(dirname "$0")/wine-prefix.sh" "$WINEPREFIX"
exec /usr/lib/wine/wine64 "$@"
