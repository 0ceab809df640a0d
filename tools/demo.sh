#!/usr/bin/env bash
# Builds the demo application natively and runs it twice in a fresh working directory, then
# shows the files it left there: the log and history of the day, and its settings.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup.sh native

export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}"
cmake --preset linux >/dev/null
cmake --build build/linux --target demo >/dev/null

work=$(mktemp -d "${TMPDIR:-/tmp}/tarn-demo.XXXXXX")
repo=$(pwd)
for run in 1 2; do
  echo "=== Running the demo in $work (run $run)"
  (cd "$work" && "$repo/build/linux/demo/demo")
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
for file in "$work"/LOG/*/demo.log "$work"/LOG/*/demo.hst "$work"/LOG/*/demo.exc "$work"/demo.ini; do
  [ -f "$file" ] && show "$file"
done
