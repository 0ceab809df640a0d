#!/usr/bin/env bash
# The full-length runs of the reliability tests that CI runs short, with their figures:
#   tools/sweep.sh kills [COUNT]     the helper program killed COUNT times (default 200) at
#                                    random moments while four threads log and record history;
#                                    then the runs, lines acknowledged, lines and records found,
#                                    torn lines. TARN_KILL_SEED=N repeats the moments of a seed.
#   tools/sweep.sh stress [SECONDS]  the allocator's stress program for SECONDS (default 120),
#                                    eight threads handing blocks of every size to one another;
#                                    then blocks per class, handoffs, damaged blocks, and the
#                                    memory report checked.
set -euo pipefail
case "${1:-}" in
  kills) count=TARN_KILL_RUNS default=200 test=ProcessLog.EveryLineThatReturnedBeforeAKillIsThereWhole ;;
  stress) count=TARN_STRESS_SECONDS default=120 test=MemoryReport.BlocksHandedBetweenThreadsStayWholeAndOnlyTheKeptOnesAreListed ;;
  *) echo "usage: tools/sweep.sh kills [COUNT] | stress [SECONDS]" >&2; exit 2 ;;
esac
cd "$(dirname "$0")/.."
tools/setup.sh native
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}"
cmake --preset linux >/dev/null
cmake --build --preset linux --target process_tests >/dev/null
env "$count=${2:-$default}" build/linux/bin/process_tests --gtest_filter="$test"
