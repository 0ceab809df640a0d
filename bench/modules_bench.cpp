// Event hooks against Boost.Signals2 and a plain loop over std::function, with 1, 8 and 64
// trivial handlers; the file-link registry's membership test against std::set::find with
// 10,000 live links. Everything allocates from the process's own allocator (the library's
// pools stand behind malloc and operator new of a program of the family).
//
// Usage: tools/bench.sh [Google Benchmark options], or from a fresh, empty working directory:
//   cd "$(mktemp -d)" && /path/to/build/bench-linux/bin/modules_bench
#include "tarnkernl/modules.h"

#include "bench/collector.h"

#include <benchmark/benchmark.h>
#include <boost/signals2.hpp>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace {

using tarn::bench::Collector;

const int kHandlerCounts[] = {1, 8, 64};
constexpr int kLinks = 10000;

void Count(void* user, uintptr_t, EvParam parameter, const void*) {
    *static_cast<uintptr_t*>(user) += parameter.value;
}

void EventHookCall(benchmark::State& state) {
    uintptr_t counter = 0;
    EventHook hook;
    for (int i = 0; i < state.range(0); ++i)
        hook.Add(Count, &counter);
    for (auto _ : state)
        hook._Call(1, EvParam(1), nullptr);
    benchmark::DoNotOptimize(counter);
}

void Signals2Call(benchmark::State& state) {
    uintptr_t counter = 0;
    boost::signals2::signal<void(uintptr_t)> signal;
    for (int i = 0; i < state.range(0); ++i)
        signal.connect([&counter](uintptr_t value) { counter += value; });
    for (auto _ : state)
        signal(1);
    benchmark::DoNotOptimize(counter);
}

void FunctionLoopCall(benchmark::State& state) {
    uintptr_t counter = 0;
    std::vector<std::function<void(uintptr_t)>> handlers;
    for (int i = 0; i < state.range(0); ++i)
        handlers.push_back([&counter](uintptr_t value) { counter += value; });
    for (auto _ : state) {
        for (auto& handler : handlers)
            handler(1);
    }
    benchmark::DoNotOptimize(counter);
}

// Live links in allocation order, and the addresses asked about in a shuffled order.
struct Links {
    std::vector<std::unique_ptr<FileLink>> links;
    std::vector<const void*> queries;

    Links() {
        for (int i = 0; i < kLinks; ++i) {
            std::string name = "C:\\data\\file" + std::to_string(i) + ".dat";
            links.push_back(std::make_unique<FileLink>(name.c_str(), this, nullptr));
            queries.push_back(links.back().get());
        }
        std::shuffle(queries.begin(), queries.end(), std::mt19937(42));
    }
};

void FileLinkIs(benchmark::State& state) {
    Links links;
    size_t i = 0, found = 0;
    for (auto _ : state) {
        found += FileLink::pIs(links.queries[i]) != nullptr;
        i = (i + 1) % links.queries.size();
    }
    benchmark::DoNotOptimize(found);
}

void SetFind(benchmark::State& state) {
    Links links;
    std::set<const void*> set(links.queries.begin(), links.queries.end());
    size_t i = 0, found = 0;
    for (auto _ : state) {
        found += set.find(links.queries[i]) != set.end();
        i = (i + 1) % links.queries.size();
    }
    benchmark::DoNotOptimize(found);
}

void PrintSummary(const Collector& collector) {
    std::printf("\n");
    for (int handlers : kHandlerCounts) {
        const std::string suffix = "/" + std::to_string(handlers);
        const double hook = collector.Nanoseconds(("EventHookCall" + suffix).c_str());
        const double signals = collector.Nanoseconds(("Signals2Call" + suffix).c_str());
        const double loop = collector.Nanoseconds(("FunctionLoopCall" + suffix).c_str());
        if (hook <= 0 || signals <= 0 || loop <= 0)
            continue;
        const bool goal = handlers < 8 || hook <= signals;
        std::printf(
            "%2d handlers: EventHook::_Call %.1f ns, Boost.Signals2 %.1f ns (%.2f times "
            "as fast), std::function loop %.1f ns (%.2f times its time)%s\n",
            handlers, hook, signals, signals / hook, loop, hook / loop,
            goal ? "" : " SLOWER than Signals2");
    }
    const double is = collector.Nanoseconds("FileLinkIs");
    const double find = collector.Nanoseconds("SetFind");
    if (is > 0 && find > 0) {
        std::printf(
            "%d links: FileLink::pIs %.1f ns, std::set::find %.1f ns: %.2f times its "
            "time (goal: at most 1.5) %s\n",
            kLinks, is, find, is / find, is <= 1.5 * find ? "" : "HIGH");
    }
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    for (int handlers : kHandlerCounts) {
        benchmark::RegisterBenchmark("EventHookCall", EventHookCall)->Arg(handlers);
        benchmark::RegisterBenchmark("Signals2Call", Signals2Call)->Arg(handlers);
        benchmark::RegisterBenchmark("FunctionLoopCall", FunctionLoopCall)->Arg(handlers);
    }
    benchmark::RegisterBenchmark("FileLinkIs", FileLinkIs);
    benchmark::RegisterBenchmark("SetFind", SetFind);
    Collector collector(isatty(STDOUT_FILENO));
    benchmark::RunSpecifiedBenchmarks(&collector);
    PrintSummary(collector);
    benchmark::Shutdown();
    return 0;
}
