// tarnkernl's allocator against glibc (malloc, and calloc, which zeroes every block as the pool
// does), mimalloc, jemalloc and tcmalloc, and against the debugging
// allocators (AddressSanitizer, jemalloc profiling every allocation, tcmalloc's debug library,
// valgrind memcheck): runs alloc_workload under each, then alloc_holders, and prints one table
// with the ratios. It measures and prints; it asserts nothing.
//
// Usage: tools/bench.sh, or from a fresh, empty working directory (the program linked with
// tarnkernl writes its process log below it):
//   cd "$(mktemp -d)" && /path/to/build/bench-linux/bin/alloc_bench [seconds per timed run]
// The peers' libraries and valgrind are the ones CMake found; a peer that is missing is shown so.
#include <gnu/libc-version.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

extern char** environ;

namespace {

using Values = std::map<std::string, std::string>;

// The runs of each timed workload under one allocator; the table shows their median, as the
// rates of a shared machine vary from run to run.
constexpr int kRuns = 3;
// Pairs before the clock starts: each of the 4,096 blocks replaced some sixteen times.
constexpr long long kWarmUp = 65536;

constexpr char kJemallocProfiled[] = "jemalloc prof:true,lg_prof_sample:0";
constexpr char kGlibcCalloc[] = "glibc calloc";

struct Variant {
    std::string name;
    std::string program;  // a file beside this one
    std::string preload;  // LD_PRELOAD, or empty
    std::string config;   // MALLOC_CONF, or empty
    bool available = true;
    bool valgrind = false;
    bool zeroed = false;  // blocks taken with calloc
    int runs = kRuns;
    long long warmUp = kWarmUp;
    bool peak = true;  // whether the million blocks are measured

    std::vector<double> small, threads;  // malloc+free pairs per second, one per run
    double peakMegabytes = 0;            // resident memory that the million blocks added
    bool failed = false;
};

double Median(std::vector<double> values) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

std::string GlibcName() { return std::string("glibc ") + gnu_get_libc_version(); }

std::string Directory() {
    char path[4096];
    ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0)
        return ".";
    std::string self(path, size_t(length));
    return self.substr(0, self.find_last_of('/'));
}

// The environment of a run: this process's, with the allocator settings replaced.
std::vector<std::string> Environment(const Variant& variant) {
    std::vector<std::string> result;
    for (char** entry = environ; *entry; ++entry)
        if (std::strncmp(*entry, "LD_PRELOAD=", 11) != 0 &&
            std::strncmp(*entry, "MALLOC_CONF=", 12) != 0)
            result.emplace_back(*entry);
    if (!variant.preload.empty())
        result.push_back("LD_PRELOAD=" + variant.preload);
    if (!variant.config.empty())
        result.push_back("MALLOC_CONF=" + variant.config);
    return result;
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
    std::vector<char*> result;
    for (std::string& text : texts)
        result.push_back(text.data());
    result.push_back(nullptr);
    return result;
}

Values ParseValues(const std::string& output) {
    Values values;
    size_t position = 0;
    while (position < output.size()) {
        size_t end = output.find_first_of(" \n", position);
        if (end == std::string::npos)
            end = output.size();
        std::string pair = output.substr(position, end - position);
        size_t equals = pair.find('=');
        if (equals != std::string::npos)
            values[pair.substr(0, equals)] = pair.substr(equals + 1);
        position = end + 1;
    }
    return values;
}

// Runs the program and reads the name=value pairs of its standard output; its standard error
// passes through. Empty when it could not run or did not succeed.
Values Run(std::vector<std::string> arguments, std::vector<std::string> environment) {
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0)
        return {};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipeEnds[0]);
    posix_spawn_file_actions_addclose(&actions, pipeEnds[1]);
    std::vector<char*> argv = Pointers(arguments);
    std::vector<char*> envp = Pointers(environment);
    pid_t child;
    int error = posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(pipeEnds[1]);
    std::string output;
    char buffer[4096];
    ssize_t got;
    while ((got = read(pipeEnds[0], buffer, sizeof buffer)) > 0)
        output.append(buffer, size_t(got));
    close(pipeEnds[0]);
    if (error != 0) {
        std::fprintf(stderr, "cannot run %s: %s\n", argv[0], std::strerror(error));
        return {};
    }
    int status;
    waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "%s failed (wait status 0x%x)\n", argv[0], unsigned(status));
        return {};
    }
    Values values = ParseValues(output);
    auto damaged = values.find("damaged");
    if (damaged != values.end() && damaged->second != "0") {
        std::fprintf(stderr, "%s: %s blocks had changed when they were released\n", argv[0],
                     damaged->second.c_str());
        return {};
    }
    return values;
}

double Number(const Values& values, const char* name) {
    auto found = values.find(name);
    return found == values.end() ? 0 : std::atof(found->second.c_str());
}

std::string Text(const Values& values, const char* name) {
    auto found = values.find(name);
    return found == values.end() ? "?" : found->second;
}

class Bench {
public:
    Bench(std::string directory, double seconds)
        : directory(std::move(directory)), seconds(seconds), progress(isatty(STDERR_FILENO)) {}

    void Add(Variant variant) { variants.push_back(std::move(variant)); }

    // The runs of all allocators alternate, so that a busy moment of the machine does not fall
    // on one allocator's runs alone.
    void RunAll() {
        for (int run = 0; run < kRuns; ++run)
            for (Variant& variant : variants)
                if (Usable(variant) && run < variant.runs) {
                    Progress("run " + std::to_string(run + 1) + ": " + variant.name);
                    Timed(variant, "small", variant.small);
                    Timed(variant, "threads", variant.threads);
                }
        for (Variant& variant : variants)
            if (Usable(variant) && variant.peak) {
                Progress("1,000,000 blocks: " + variant.name);
                Values values = Workload(variant, "peak", 0);
                variant.failed = values.empty();
                variant.peakMegabytes =
                    (Number(values, "peak_kb") - Number(values, "before_kb")) / 1024;
            }
        Progress("the pool's holders");
        holders =
            Run({directory + "/alloc_holders", std::to_string(seconds)}, Environment(Variant{}));
        Progress("");
    }

    void Print() const {
        std::printf(
            "Allocators side by side: malloc and free of random sizes from 16 to 1024 "
            "bytes, the same sequence under every allocator\n");
        // Two threads on two shared cores are only as fast as the machine lets them be.
        double load[1];
        if (getloadavg(load, 1) == 1)
            std::printf("(load average %.1f on %ld processors when the runs ended)\n", load[0],
                        sysconf(_SC_NPROCESSORS_ONLN));
        std::printf("\n");
        std::printf("%-38s %24s %24s %22s\n", "", "1 thread, 4,096 live", "2 threads, 4,096 each",
                    "1,000,000 x 64 bytes");
        std::printf("%-38s %14s %9s %14s %9s %12s %9s\n", "", "M pairs/s", "x glibc", "M pairs/s",
                    "x glibc", "MB", "x glibc");
        const Variant& glibc = variants.front();
        for (const Variant& variant : variants) {
            std::printf("%-38s", variant.name.c_str());
            if (!Usable(variant)) {
                std::printf(" %14s\n", variant.available ? "failed" : "not installed");
                continue;
            }
            PrintColumn(Median(variant.small), Median(glibc.small));
            PrintColumn(Median(variant.threads), Median(glibc.threads));
            if (variant.peak) {
                std::printf(" %12.1f", variant.peakMegabytes);
                PrintRatio(variant.peakMegabytes, glibc.peakMegabytes, 9);
            } else {
                std::printf(" %22s", "not run");
            }
            std::printf("\n");
        }
        std::printf(
            "\nM pairs/s: millions of malloc+free pairs per second, the median of %d runs of "
            "%.2g s after %lld pairs;\n"
            "  the debugging allocators: one run (AddressSanitizer after 600,000 pairs, when its "
            "quarantine of released blocks is full).\n"
            "MB: resident memory that the live blocks added. Not run under the two slowest "
            "debugging allocators: 35 to 45 s,\n"
            "  and jemalloc's profile of a million blocks takes 4 GB.\n",
            kRuns, seconds, kWarmUp);
        PrintGoals();
    }

private:
    static bool Usable(const Variant& variant) { return variant.available && !variant.failed; }

    void Progress(const std::string& text) const {
        if (progress)
            std::fprintf(stderr, "\r  %-60s%s", text.c_str(), text.empty() ? "\r" : "");
    }

    void Timed(Variant& variant, const char* workload, std::vector<double>& rates) {
        Values values = Workload(variant, workload, variant.warmUp);
        variant.failed = values.empty();
        if (!variant.failed)
            rates.push_back(Number(values, "rate"));
    }

    Values Workload(const Variant& variant, const char* workload, long long warmUp) const {
        std::vector<std::string> arguments;
        if (variant.valgrind)
            arguments = {TARN_VALGRIND, "--tool=memcheck", "-q", "--error-exitcode=3"};
        arguments.push_back(directory + "/" + variant.program);
        arguments.push_back(workload);
        arguments.push_back(std::to_string(seconds));
        arguments.push_back(std::to_string(warmUp));
        if (variant.zeroed)
            arguments.push_back("calloc");
        return Run(arguments, Environment(variant));
    }

    static void PrintRatio(double ours, double theirs, int width) {
        if (ours > 0 && theirs > 0)
            std::printf(" %*.2f", width, ours / theirs);
        else
            std::printf(" %*s", width, "-");
    }

    static void PrintColumn(double rate, double glibc) {
        std::printf(" %14.2f", rate / 1e6);
        PrintRatio(rate, glibc, 9);
    }

    const Variant* Find(const std::string& name) const {
        for (const Variant& variant : variants)
            if (variant.name == name && Usable(variant))
                return &variant;
        return nullptr;
    }

    // One ratio of tarnkernl's figure to another, and the bound it should keep (none when 0).
    static void PrintGoal(const std::string& text, double ours, double theirs, double bound,
                          bool atLeast) {
        std::printf("  %-66s", text.c_str());
        if (ours <= 0 || theirs <= 0) {
            std::printf("%8s\n", "-");
            return;
        }
        double ratio = ours / theirs;
        std::printf("%8.2f", ratio);
        if (bound > 0) {
            bool kept = atLeast ? ratio >= bound : ratio <= bound;
            std::printf("   (goal: %s %.2f) %s", atLeast ? "at least" : "at most", bound,
                        kept      ? ""
                        : atLeast ? "LOW"
                                  : "HIGH");
        }
        std::printf("\n");
    }

    // Times of the pool with many holders of a class against one: `what` is the time of the
    // calls named.
    void PrintHolders(const char* what, double many, double one, double bound) const {
        char text[128];
        std::snprintf(text, sizeof text, "%s, time: %s holders / %s (%.0f / %.0f ns)", what,
                      Text(holders, "holders_many").c_str(),
                      Text(holders, "holders_one") == "1"
                          ? "1 holder"
                          : (Text(holders, "holders_one") + " holders").c_str(),
                      many, one);
        PrintGoal(text, many, one, bound, false);
    }

    void PrintGoals() const {
        const Variant* tarnkernl = Find("tarnkernl");
        const Variant* glibc = Find(GlibcName());
        auto small = [](const Variant* variant) { return variant ? Median(variant->small) : 0; };
        auto threads = [](const Variant* variant) {
            return variant ? Median(variant->threads) : 0;
        };
        auto peak = [](const Variant* variant) { return variant ? variant->peakMegabytes : 0; };
        std::printf("\ntarnkernl against its peers:\n");
        PrintGoal("1 thread, pairs/s: tarnkernl / glibc", small(tarnkernl), small(glibc), 0.35,
                  true);
        PrintGoal("1 thread, pairs/s: tarnkernl / glibc calloc", small(tarnkernl),
                  small(Find(kGlibcCalloc)), 0, true);
        PrintGoal("1 thread, pairs/s: tarnkernl / AddressSanitizer", small(tarnkernl),
                  small(Find("AddressSanitizer")), 5, true);
        PrintGoal("1 thread, pairs/s: tarnkernl / jemalloc profiling every block", small(tarnkernl),
                  small(Find(kJemallocProfiled)), 10, true);
        PrintGoal("2 threads, pairs/s: tarnkernl / glibc", threads(tarnkernl), threads(glibc), 0.25,
                  true);
        PrintGoal("1,000,000 x 64 bytes, memory: tarnkernl / glibc", peak(tarnkernl), peak(glibc),
                  4, false);
        if (holders.empty()) {
            std::printf("  the pool with many holders: no result\n");
            return;
        }
        double freeOne = Number(holders, "free_ns_one");
        double freeMany = Number(holders, "free_ns_many");
        PrintHolders("Free", freeMany, freeOne, 1.25);
        PrintHolders("Free+Get", freeMany + Number(holders, "get_ns_many"),
                     freeOne + Number(holders, "get_ns_one"), 0);
        std::printf(
            "  (through the process's memory interface, a %s, which %s malloc; requests "
            "of %s bytes, the largest class)\n",
            Text(holders, "iface").c_str(),
            Text(holders, "routed") == "1" ? "serves" : "does not serve",
            Text(holders, "request").c_str());
    }

    std::string directory;
    double seconds;
    bool progress;
    std::vector<Variant> variants;
    Values holders;
};

// A variant that runs the plain workload program with a peer's library preloaded; not available
// when CMake did not find the library.
Variant Preloaded(std::string name, const char* library, std::string config = "") {
    Variant variant;
    variant.name = std::move(name);
    variant.program = "alloc_workload";
    variant.preload = library;
    variant.config = std::move(config);
    variant.available = library[0] != '\0';
    return variant;
}

Variant Built(std::string name, std::string program) {
    Variant variant;
    variant.name = std::move(name);
    variant.program = std::move(program);
    return variant;
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = argc > 1 ? std::atof(argv[1]) : 0.3;
    if (seconds <= 0) {
        std::fprintf(stderr, "usage: %s [seconds per timed run]\n", argv[0]);
        return 1;
    }
    auto start = std::chrono::steady_clock::now();
    Bench bench(Directory(), seconds);
    bench.Add(Built(GlibcName(), "alloc_workload"));
    bench.Add(Built("tarnkernl", "alloc_workload_tarn"));
    // What zeroing every block, as the pool's Get does, costs glibc on the same sequence: the
    // blocks' lines were last touched a block's lifetime ago and are out of the cache by then.
    Variant zeroed = Built(kGlibcCalloc, "alloc_workload");
    zeroed.zeroed = true;
    zeroed.peak = false;
    bench.Add(zeroed);
    bench.Add(Preloaded("mimalloc", TARN_MIMALLOC));
    bench.Add(Preloaded("jemalloc", TARN_JEMALLOC));
    bench.Add(Preloaded("tcmalloc", TARN_TCMALLOC));

    // The debugging allocators. AddressSanitizer's steady state begins when its 256 MB quarantine
    // of released blocks is full, some 480,000 pairs in; before, every block is fresh memory.
    // They run once each.
    Variant asan = Built("AddressSanitizer", "alloc_workload_asan");
    asan.runs = 1;
    asan.warmUp = 600000;
    bench.Add(asan);
    Variant profiled = Preloaded(kJemallocProfiled, TARN_JEMALLOC, "prof:true,lg_prof_sample:0");
    profiled.runs = 1;
    profiled.peak = false;
    bench.Add(profiled);
    // Some 20,000 pairs a second: a short warm-up fills its 10 MB queue of released blocks.
    Variant tcmallocDebug = Preloaded("tcmalloc debug library", TARN_TCMALLOC_DEBUG);
    tcmallocDebug.runs = 1;
    tcmallocDebug.warmUp = 16384;
    tcmallocDebug.peak = false;
    bench.Add(tcmallocDebug);
    Variant valgrind = Built("valgrind memcheck", "alloc_workload");
    valgrind.available = TARN_VALGRIND[0] != '\0';
    valgrind.valgrind = true;
    valgrind.runs = 1;
    bench.Add(valgrind);

    bench.RunAll();
    bench.Print();
    std::printf("\n(%.0f s)\n",
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    return 0;
}
