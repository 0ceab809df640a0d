#!/bin/sh
# Runs a Windows program of the build under wine64, in the build tree's own prefix.
# The test step keeps a persistent wineserver for that prefix (wine-server.sh).
: "${WINEPREFIX:=$(dirname "$(dirname "$1")")/wineprefix}"
export WINEPREFIX
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
exec /usr/lib/wine/wine64 "$@"
