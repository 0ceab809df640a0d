#!/usr/bin/env bash
# Builds the demo application and runs it twice in a fresh working directory, then shows the
# files it left there: the log and history of the day, its exception file and its settings;
# then the exception file and the log's memory report once more with every code address
# resolved by tarnsym, the symbolizer of the native build, from the module map beside them.
#   tools/demo.sh             the native (Linux x86-64) demo
#   tools/demo.sh --windows   the Windows x86-64 demo, run under Wine
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)

if [ "${1:-}" = --windows ]; then
  tools/setup.sh windows
  preset=mingw-x64
  run=("$repo/cmake/wine-run.sh" "$repo/build/$preset/demo/demo.exe")
else
  tools/setup.sh native
  preset=linux
  run=("$repo/build/$preset/demo/demo")
fi

export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}"
cmake --preset "$preset" >/dev/null
cmake --build "build/$preset" --target demo >/dev/null
symbolize=("$repo/build/linux/bin/tarnsym")
if [ "$preset" = mingw-x64 ]; then
  cmake --preset linux >/dev/null
  # The drives of the Windows paths other than Z: are the ones of the prefix the demo ran in.
  symbolize+=(--wine-prefix "$repo/build/$preset/wineprefix")
fi
cmake --build build/linux --target tarnsym >/dev/null

work=$(mktemp -d "${TMPDIR:-/tmp}/tarn-demo.XXXXXX")
if [ "$preset" = mingw-x64 ]; then
  # Under Wine nobody closes the box that "/gpfshow" shows for the first fault: the program's
  # INI file gives the other default switches.
  printf '[PROGRAM]\r\nCommandLine=" /mem /stack"\r\n' >"$work/demo.ini"
fi
for round in 1 2; do
  echo "=== Running the demo in $work (run $round)"
  (cd "$work" && "${run[@]}")
  echo
done

show() {
  echo "=== $1"
  tr -d '\r' <"$1"
  echo
}
echo "=== The demo left these files in $work:"
(cd "$work" && find . -type f | sort)
echo
for file in "$work"/LOG/*/demo.log "$work"/LOG/*/demo.hst "$work"/LOG/*/demo.exc "$work"/LOG/*/demo.map \
  "$work"/demo.ini; do
  [ -f "$file" ] && show "$file"
done

# The module map lists the modules of each run; the symbolizer resolves every address of the
# exception file and of the memory report at the end of the log.
for file in "$work"/LOG/*/demo.exc "$work"/LOG/*/demo.log; do
  [ -f "$file" ] || continue
  echo "=== $file, symbolized"
  if [ "${file##*.}" = log ]; then
    "${symbolize[@]}" "$file" | tr -d '\r' | sed -n '/^\[End log\]/,/^Max space/p'
  else
    "${symbolize[@]}" "$file" | tr -d '\r'
  fi
  echo
done
