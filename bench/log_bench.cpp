// The cost of one durable log line: tarnkernl's process log against spdlog and glog, side by
// side, with the ratios. Every line of each log is handed to the system before the call returns.
// Beside them, the limit of such a line: the same stamp and message formatted and handed to the
// kernel with one write, and nothing else.
//
// Usage: tools/bench.sh [Google Benchmark options], or from a fresh, empty working directory:
//   cd "$(mktemp -d)" && /path/to/build/bench-linux/bin/log_bench
// The process log writes below the working directory (LOG/<day>/log_bench.log), the peers into
// spdlog/, glog/ and write/ beside it.
#include "tarnkernl/log.h"
#include "tarnkernl/tarnrt.h"

#include <benchmark/benchmark.h>
#include <glog/logging.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>

namespace {

// A log line as an application of the family writes one: its own variadic wrapper of voutlog.
TARN_PRINTF(1, 2) bool LogLine(const char* format, ...) {
    va_list args;
    va_start(args, format);
    bool result = voutlog(format, args, nullptr, nullptr);
    va_end(args);
    return result;
}

// The two messages, each with one integer argument, in the forms of the three logs.
struct ShortText {
    static constexpr char printf[] = "opened file no. %d";
    static constexpr char fmt[] = "opened file no. {}";
    static constexpr char stream[] = "opened file no. ";
};
struct LongText {
    static constexpr char printf[] =
        "settings read from the program's INI file, section PROGRAM, "
        "all eleven keys present, entry %d";
    static constexpr char fmt[] =
        "settings read from the program's INI file, section PROGRAM, "
        "all eleven keys present, entry {}";
    static constexpr char stream[] =
        "settings read from the program's INI file, section PROGRAM, "
        "all eleven keys present, entry ";
};

std::shared_ptr<spdlog::logger> gSpdlog;
int gWriteFile = -1;

// The one-write limit of a durable line: a stamp of the milliseconds since the start, the
// message, the line end, one write of the whole, into a file written at its position as the
// process log writes its own (not opened for appending).
TARN_PRINTF(1, 2) bool WriteLine(const char* format, ...) {
    static const auto start = std::chrono::steady_clock::now();
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    char line[1024];
    int length = TICKS2MMSS(line, 62, static_cast<unsigned long>(elapsed.count()), 1);
    line[length++] = ' ';
    va_list args;
    va_start(args, format);
    int n = vsnprintf(line + length, sizeof line - length - 2, format, args);
    va_end(args);
    length += n;
    line[length++] = '\r';
    line[length++] = '\n';
    return write(gWriteFile, line, length) == length;
}

template <class Text>
void OneWrite(benchmark::State& state) {
    int n = 100000 * state.thread_index();
    for (auto _ : state)
        benchmark::DoNotOptimize(WriteLine(Text::printf, ++n));
    state.SetItemsProcessed(state.iterations());
}

template <class Text>
void Tarnkernl(benchmark::State& state) {
    int n = 100000 * state.thread_index();
    for (auto _ : state)
        benchmark::DoNotOptimize(LogLine(Text::printf, ++n));
    state.SetItemsProcessed(state.iterations());
}

template <class Text>
void Spdlog(benchmark::State& state) {
    int n = 100000 * state.thread_index();
    for (auto _ : state)
        gSpdlog->info(Text::fmt, ++n);
    state.SetItemsProcessed(state.iterations());
}

template <class Text>
void Glog(benchmark::State& state) {
    int n = 100000 * state.thread_index();
    for (auto _ : state)
        LOG(INFO) << Text::stream << ++n;
    state.SetItemsProcessed(state.iterations());
}

template <class Text>
void Register(const char* text) {
    struct Peer {
        const char* name;
        void (*function)(benchmark::State&);
    };
    for (Peer peer : {Peer{"tarnkernl", Tarnkernl<Text>}, Peer{"spdlog", Spdlog<Text>},
                      Peer{"glog", Glog<Text>}, Peer{"write", OneWrite<Text>}}) {
        std::string name = std::string(peer.name) + "/" + text;
        benchmark::RegisterBenchmark(name.c_str(), peer.function)
            ->Threads(1)
            ->Threads(4)
            ->UseRealTime();
    }
}

// Google Benchmark's table, and the lines per second of every benchmark kept for the summary:
// the median when the runs were repeated.
class Collector : public benchmark::ConsoleReporter {
public:
    explicit Collector(bool colour) : ConsoleReporter(colour ? OO_ColorTabular : OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            auto rate = run.counters.find("items_per_second");
            if (run.error_occurred || rate == run.counters.end())
                continue;
            bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (median || run.run_type == Run::RT_Iteration)
                rates[run.run_name.str()] = rate->second.value;
        }
        ConsoleReporter::ReportRuns(runs);
    }

    std::map<std::string, double> rates;
};

double Rate(const Collector& collector, const std::string& peer, const char* text, int threads) {
    auto found =
        collector.rates.find(peer + "/" + text + "/real_time/threads:" + std::to_string(threads));
    return found == collector.rates.end() ? 0 : found->second;
}

void PrintSummary(const Collector& collector) {
    struct Column {
        const char* text;
        int threads;
    };
    const Column columns[] = {{"short", 1}, {"long", 1}, {"short", 4}, {"long", 4}};
    // The numbers run to six or seven digits.
    std::printf("\nLines per second (messages of about %zu and %zu bytes)\n",
                sizeof ShortText::stream + 5, sizeof LongText::stream + 5);
    std::printf("%-24s", "");
    for (const Column& column : columns)
        std::printf("%11s %d thr", column.text, column.threads);
    std::printf("\n");
    for (const char* peer : {"tarnkernl", "spdlog", "glog", "write"}) {
        std::printf("%-24s", peer);
        for (const Column& column : columns)
            std::printf("%17.0f", Rate(collector, peer, column.text, column.threads));
        std::printf("\n");
    }
    struct Goal {
        const char* peer;
        double least;
    };
    for (Goal goal : {Goal{"write", 0.9}, Goal{"spdlog", 1.1}, Goal{"glog", 3.0}}) {
        std::printf("tarnkernl/%-8s (>=%.1f)", goal.peer, goal.least);
        for (const Column& column : columns) {
            double theirs = Rate(collector, goal.peer, column.text, column.threads);
            double ours = Rate(collector, "tarnkernl", column.text, column.threads);
            if (theirs > 0 && ours > 0)
                std::printf("%12.2f %-4s", ours / theirs, ours / theirs >= goal.least ? "" : "LOW");
            else
                std::printf("%17s", "-");
        }
        std::printf("\n");
    }
}

const char* LogName() {
    const char* name = GetProcess().logName.p;
    return name ? name : "";
}

// The bytes of the regular files directly in `directory`, which may be written with the family's
// backslashes.
long long WrittenBelow(std::string directory) {
    for (char& c : directory)
        if (c == '\\')
            c = '/';
    long long total = 0;
    if (DIR* listing = opendir(directory.c_str())) {
        while (dirent* entry = readdir(listing)) {
            struct stat info;
            std::string name = directory + "/" + entry->d_name;
            if (lstat(name.c_str(), &info) == 0 && S_ISREG(info.st_mode))
                total += info.st_size;
        }
        closedir(listing);
    }
    return total;
}

// Whether the runtime serves this process's malloc and operator new, as in every program of the
// family: then the peers allocate from it too.
bool RuntimeIsAllocator() {
    void* block = std::malloc(24);
    auto object = std::make_unique<std::string>(40, 'x');
    ICppMemIface* current = tarnrtl_GetMemIface();
    bool both = current->GetSize(block) != 0 && current->GetSize(object.get()) != 0;
    std::free(block);
    return both;
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;

    mkdir("spdlog", 0777);
    gSpdlog = spdlog::basic_logger_mt("bench", "spdlog/bench.log", true);
    gSpdlog->set_level(spdlog::level::trace);
    gSpdlog->flush_on(spdlog::level::trace);

    mkdir("glog", 0777);
    FLAGS_log_dir = "glog";
    FLAGS_logbuflevel = -1;
    FLAGS_logtostderr = false;
    FLAGS_alsologtostderr = false;
    google::InitGoogleLogging(argv[0]);

    mkdir("write", 0777);
    gWriteFile = open("write/bench.log", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (gWriteFile < 0) {
        std::perror("write/bench.log");
        return 1;
    }

    std::printf(
        "One durable log line: each line reaches the system (a write call) before the "
        "call returns.\n"
        "  tarnkernl: voutlog through a variadic wrapper, into %s\n"
        "  spdlog %d.%d.%d: basic file sink, flush_on(trace), into spdlog/\n"
        "  glog: FLAGS_logbuflevel = -1 (no buffering), into glog/\n"
        "  write: the limit, the same stamp and message and one write(2) per line, into "
        "write/\n"
        "The program is linked as every program of the family: %s\n\n",
        LogName(), SPDLOG_VER_MAJOR, SPDLOG_VER_MINOR, SPDLOG_VER_PATCH,
        RuntimeIsAllocator()
            ? "tarnkernl's runtime is the allocator of the whole process, peers included."
            : "the system's allocator serves the process (the runtime does not route "
              "malloc in this build).");

    Register<ShortText>("short");
    Register<LongText>("long");
    Collector collector(isatty(STDOUT_FILENO));
    benchmark::RunSpecifiedBenchmarks(&collector);
    PrintSummary(collector);

    gSpdlog->flush();
    google::FlushLogFiles(google::GLOG_INFO);
    std::string logDirectory = LogName();
    logDirectory.resize(logDirectory.find_last_of("\\/") + 1);
    std::printf(
        "\nWritten: tarnkernl %lld bytes (with its history file), spdlog %lld bytes, "
        "glog %lld bytes, write %lld bytes\n",
        WrittenBelow(logDirectory), WrittenBelow("spdlog"), WrittenBelow("glog"),
        WrittenBelow("write"));
    google::ShutdownGoogleLogging();
    benchmark::Shutdown();
    return 0;
}
