#!/usr/bin/env bash
# Kills the helper program COUNT times at random moments while four threads log and record
# history, in one working directory, then checks the log and history files it left and prints
# the figures (runs, lines acknowledged, lines and records found, torn lines).
#   tools/killruns.sh [COUNT]   default 200; TARN_KILL_SEED=N repeats the moments of a seed
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup.sh native
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}"
cmake --preset linux >/dev/null
cmake --build --preset linux --target process_tests >/dev/null
TARN_KILL_RUNS="${1:-200}" build/linux/bin/process_tests \
  --gtest_filter=ProcessLog.EveryLineThatReturnedBeforeAKillIsThereWhole
