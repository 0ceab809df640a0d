#!/usr/bin/env bash
# Builds the demo application natively and runs it in a fresh working directory.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup.sh native

export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}"
cmake --preset linux >/dev/null
cmake --build build/linux --target demo >/dev/null

work=$(mktemp -d "${TMPDIR:-/tmp}/tarn-demo.XXXXXX")
echo "Running the demo in $work"
repo=$(pwd)
(cd "$work" && "$repo/build/linux/bin/demo")
echo
echo "The demo ran in $work"
