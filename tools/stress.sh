#!/usr/bin/env bash
# Runs the allocator's stress program for SECONDS, eight threads handing blocks of every size
# to one another, then checks its memory report and prints its figures (blocks allocated and
# released per class, handoffs, damaged blocks).
#   tools/stress.sh [SECONDS]   default 120
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup.sh native
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}"
cmake --preset linux >/dev/null
cmake --build --preset linux --target process_tests >/dev/null
TARN_STRESS_SECONDS="${1:-120}" build/linux/bin/process_tests \
  --gtest_filter=MemoryReport.BlocksHandedBetweenThreadsStayWholeAndOnlyTheKeptOnesAreListed
