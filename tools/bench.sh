#!/usr/bin/env bash
# Builds the benchmarks natively and runs them in a fresh working directory: the cost of one
# durable log line of tarnkernl's process log against spdlog, glog and the one-write-per-line
# limit (the same stamp and text handed to the kernel with one write per line), side by side;
# the cost of a call-stack mark beside two empty calls into a library, and of a ten-frame walk
# against glibc's backtrace(); event hooks against Boost.Signals2 and the file-link registry
# against std::set; language texts by number against glibc's gettext (the benchmark makes its
# catalogues and uses glibc's C.UTF-8 locale); then tarnkernl's allocator against glibc,
# mimalloc, jemalloc, tcmalloc and the debugging allocators (AddressSanitizer, jemalloc
# profiling, tcmalloc's debug library, valgrind).
#   tools/bench.sh [benchmark options]   e.g. --benchmark_filter=short --benchmark_repetitions=1
#   tools/bench.sh --windows [pairs]     one million malloc/free pairs on the pool beside msvcrt's
#                                        own allocator, under Wine (Windows x86-64)
# The options go to the Google Benchmark programs (the first four). Each of those benchmarks runs
# five times, the runs of all of a program's benchmarks in a random order (a peer that ran first
# would write while the files and the page cache are small), and the summary takes the median:
# the lines/s of a shared machine vary by some ten percent from run to run, and the median of
# three still moved by some five percent; the allocator benchmark takes medians of its own.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${1:-}" = --windows ]; then
  tools/setup.sh windows
  build=build/bench-mingw-x64
  cmake --preset mingw-x64 -B "$build" -DTARN_BUILD_BENCH=ON -DTARN_BUILD_TESTS=OFF >/dev/null
  cmake --build "$build" --target malloc_pairs >/dev/null
  work=$(mktemp -d "${TMPDIR:-/tmp}/tarn-bench.XXXXXX")
  trap 'rm -rf "$work"' EXIT
  repo=$(pwd)
  (cd "$work" && "$repo/cmake/wine-run.sh" "$repo/$build/bin/malloc_pairs.exe" "${@:2}")
  exit 0
fi
tools/setup.sh native

peers=(libbenchmark-dev libspdlog-dev libgoogle-glog-dev libboost-dev
       libmimalloc-dev libjemalloc-dev libgoogle-perftools-dev valgrind)
missing=()
for package in "${peers[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed' || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

build=build/bench-linux
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}"
cmake --preset linux -B "$build" -DTARN_BUILD_BENCH=ON -DTARN_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target log_bench markstack_bench modules_bench mui_bench alloc_bench \
  >/dev/null

# The process log goes below the working directory, the peers' files beside it.
work=$(mktemp -d "${TMPDIR:-/tmp}/tarn-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
repo=$(pwd)
for bench in log_bench markstack_bench modules_bench mui_bench; do
  (cd "$work" && "$repo/$build/bin/$bench" \
    --benchmark_repetitions=5 --benchmark_enable_random_interleaving=true \
    --benchmark_report_aggregates_only=true "$@")
done
echo
(cd "$work" && "$repo/$build/bin/alloc_bench")
