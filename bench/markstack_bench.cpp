// The cost of the call-stack marker: a marked call against the same call unmarked and against
// the same call making two empty calls into a shared library (what any mark of a library costs
// before it does anything), and a ten-frame walk of the frame chain against glibc's backtrace(),
// side by side with the ratios.
//
// Usage: tools/bench.sh [Google Benchmark options], or from a fresh, empty working directory:
//   cd "$(mktemp -d)" && /path/to/build/bench-linux/bin/markstack_bench
#include "log/markstack.h"
#include "platform/win32.h"
#include "tarnkernl/log.h"

#include "bench/collector.h"
#include "bench/emptymark.h"

#include <benchmark/benchmark.h>
#include <execinfo.h>
#include <unistd.h>

#include <cstdio>

namespace {

using tarn::bench::Collector;

constexpr int kFrames = 10;

// The work of the call: small, so that what the mark adds shows.
[[gnu::noinline]] int Unmarked(int value) {
    benchmark::DoNotOptimize(value);
    return value + 1;
}

[[gnu::noinline]] int Marked(int value) {
    MarkStack mark(TARN_FRAME);
    benchmark::DoNotOptimize(value);
    return value + 1;
}

[[gnu::noinline]] int EmptyMarked(int value) {
    EmptyMark mark(TARN_FRAME);
    benchmark::DoNotOptimize(value);
    return value + 1;
}

// The measured loop, with the call as a constant so that it stays a direct call.
template <int (*Call)(int)>
void Calls(benchmark::State& state) {
    int n = 0;
    for (auto _ : state)
        n = Call(n);
    benchmark::DoNotOptimize(n);
}

void UnmarkedCall(benchmark::State& state) { Calls<Unmarked>(state); }

void EmptyMarkedCall(benchmark::State& state) { Calls<EmptyMarked>(state); }

void MarkedCall(benchmark::State& state) {
    // Marks are kept on the main thread only; elsewhere the mark would cost less than it does.
    if (GetCurrentThreadId() != GetProcess().mainThreadId)
        state.SkipWithError("not on the main thread: marks would not be recorded");
    Calls<Marked>(state);
}

using Walk = int (*)(uintptr_t* out);

int WalkChain(uintptr_t* out) { return tarn::WalkFrames(out, kFrames, 0, 0); }

int Backtrace(uintptr_t* out) { return backtrace(reinterpret_cast<void**>(out), kFrames); }

// Runs the measured walks `depth` calls deep, so that each finds ten frames of its own program.
[[gnu::noinline]] void Deep(benchmark::State& state, Walk walk, int depth) {
    if (depth > 0) {
        Deep(state, walk, depth - 1);
        benchmark::ClobberMemory();
        return;
    }
    uintptr_t out[kFrames];
    if (walk(out) != kFrames)
        state.SkipWithError("the walk found fewer than ten frames");
    for (auto _ : state) {
        benchmark::DoNotOptimize(walk(out));
        benchmark::ClobberMemory();
    }
}

void WalkFrames10(benchmark::State& state) { Deep(state, &WalkChain, kFrames); }

void Backtrace10(benchmark::State& state) { Deep(state, &Backtrace, kFrames); }

void PrintSummary(const Collector& collector) {
    const double marked = collector.Nanoseconds("MarkedCall");
    const double unmarked = collector.Nanoseconds("UnmarkedCall");
    const double empty = collector.Nanoseconds("EmptyMarkedCall");
    const double walk = collector.Nanoseconds("WalkFrames10");
    const double backtrace = collector.Nanoseconds("Backtrace10");
    std::printf("\n");
    if (marked > 0 && unmarked > 0) {
        const double added = marked - unmarked;
        std::printf(
            "Processor time: the mark adds %.2f ns to a call of %.2f ns (goal: at most "
            "5 ns) %s\n",
            added, unmarked, added <= 5 ? "" : "HIGH");
    }
    if (empty > 0 && unmarked > 0 && marked > 0)
        std::printf(
            "The same two calls into a library that does nothing add %.2f ns: the marker's own "
            "work is %.2f ns\n",
            empty - unmarked, marked - empty);
    if (walk > 0 && backtrace > 0) {
        const double ratio = backtrace / walk;
        std::printf(
            "Ten frames: WalkFrames %.1f ns, backtrace() %.1f ns: %.1f times faster "
            "(goal: at least 20) %s\n",
            walk, backtrace, ratio, ratio >= 20 ? "" : "LOW");
    }
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RegisterBenchmark("UnmarkedCall", UnmarkedCall);
    benchmark::RegisterBenchmark("EmptyMarkedCall", EmptyMarkedCall);
    benchmark::RegisterBenchmark("MarkedCall", MarkedCall);
    benchmark::RegisterBenchmark("WalkFrames10", WalkFrames10);
    benchmark::RegisterBenchmark("Backtrace10", Backtrace10);
    Collector collector(isatty(STDOUT_FILENO));
    benchmark::RunSpecifiedBenchmarks(&collector);
    PrintSummary(collector);
    benchmark::Shutdown();
    return 0;
}
