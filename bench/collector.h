// What the benchmark programs share: the table as Google Benchmark prints it, and the
// processor time of every benchmark for the summaries that compare them.
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

namespace tarn::bench {

// Google Benchmark's table, and the processor time per iteration of every benchmark for the
// summary (the median when the runs were repeated): on a shared machine the wall-clock time also
// counts the time other processes had the processor.
class Collector : public benchmark::ConsoleReporter {
public:
    explicit Collector(bool colour) : ConsoleReporter(colour ? OO_ColorTabular : OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.error_occurred)
                continue;
            bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (median || run.run_type == Run::RT_Iteration)
                nanoseconds[run.run_name.str()] = run.GetAdjustedCPUTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }

    double Nanoseconds(const char* name) const {
        auto found = nanoseconds.find(name);
        return found == nanoseconds.end() ? 0 : found->second;
    }

private:
    std::map<std::string, double> nanoseconds;
};

}  // namespace tarn::bench
