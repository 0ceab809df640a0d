#!/bin/sh
# Makes the Wine prefix PREFIX once, before any program runs in it: booted, and with the null
# graphics driver so that programs can make windows without a display. Safe to run at once
# from several processes; every Wine process started here gets /dev/null for its standard
# streams, so a server or service that outlives it holds no caller's pipe open.
prefix="$1"
[ -f "$prefix/.tarn-ready" ] && exit 0
mkdir -p "$(dirname "$prefix")"
waited=0
until mkdir "$prefix.lock" 2>/dev/null; do
  # A lock older than two minutes was left by a process that died while making the prefix.
  waited=$((waited + 1)); [ $waited -lt 600 ] || rmdir "$prefix.lock" 2>/dev/null
  sleep 0.2
done
if [ ! -f "$prefix/.tarn-ready" ]; then
  export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  /usr/lib/wine/wine64 wineboot -i </dev/null >/dev/null 2>&1
  /usr/lib/wine/wine64 reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f \
    </dev/null >/dev/null 2>&1
  /usr/lib/wine/wineserver -k </dev/null >/dev/null 2>&1
  /usr/lib/wine/wineserver -w </dev/null >/dev/null 2>&1
  touch "$prefix/.tarn-ready"
fi
rmdir "$prefix.lock"
