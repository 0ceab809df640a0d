// The allocation workloads that alloc_bench runs under every allocator: one program, built plain,
// linked with tarnkernl, and with AddressSanitizer, and run as well under LD_PRELOAD and valgrind.
//
// Usage: alloc_workload small|threads|peak [seconds [warm-up pairs [calloc]]]
//   small    one thread replaces random blocks of 16 to 1024 bytes among 4,096 live ones
//   threads  the same on two threads that trade their sets of blocks each round, so that most
//            blocks are released by the thread that did not allocate them
//   peak     1,000,000 live blocks of 64 bytes, then all released
// Prints one line of name=value pairs: ops (malloc+free pairs, or single calls for peak),
// seconds, rate, the peak resident memory, the resident memory before the workload, and the
// number of blocks whose contents had changed when they were released (0 unless the allocator
// is broken).
// The sequence of sizes and slots comes from a fixed seed, the same under every allocator; the
// timed workloads run the warm-up pairs (default none), then as many as fit in the given time
// (default 0.3 s), and so cover a prefix of it. With "calloc" the blocks are taken zeroed, with
// calloc, as tarnkernl's pool hands out every block.
#include <sys/resource.h>

#include <atomic>
#include <barrier>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr uint64_t kSeed = 0x7A3C5E11D00DFEEDull;
constexpr int kLiveBlocks = 4096;
constexpr size_t kSmallest = 16;
constexpr size_t kLargest = 1024;
constexpr int kThreads = 2;
// Pairs between two looks at the clock on one thread; pairs each of two threads makes between two
// trades of their sets.
constexpr int kBatch = 1024;
constexpr int kRound = 8192;
constexpr int kPeakBlocks = 1000000;
constexpr size_t kPeakSize = 64;

bool gZeroed = false;

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

long MaxResidentKilobytes() {
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// splitmix64: cheap next to any allocator, and the same numbers everywhere.
class Random {
public:
    explicit Random(uint64_t seed) : state(seed) {}

    uint64_t Next() {
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }

    size_t Size() { return kSmallest + Next() % (kLargest - kSmallest + 1); }
    int Slot() { return int(Next() % kLiveBlocks); }

private:
    uint64_t state;
};

// A set of live blocks. Each block's first and last byte are written when it is made and checked
// when it goes: no allocation can be optimised away, every allocator pays for touching its
// memory, and one that hands out a block twice or damages one is caught.
class BlockSet {
public:
    BlockSet() : blocks(kLiveBlocks), sizes(kLiveBlocks) {}

    void Fill(Random& random) {
        for (int slot = 0; slot < kLiveBlocks; ++slot)
            Make(slot, random.Size());
    }

    void Replace(Random& random) {
        int slot = random.Slot();
        Drop(slot);
        Make(slot, random.Size());
    }

    void Clear() {
        for (int slot = 0; slot < kLiveBlocks; ++slot)
            Drop(slot);
    }

    long long damaged = 0;

private:
    void Make(int slot, size_t size) {
        auto* block =
            static_cast<unsigned char*>(gZeroed ? std::calloc(1, size) : std::malloc(size));
        if (!block) {
            std::fprintf(stderr, "malloc(%zu) failed\n", size);
            std::exit(2);
        }
        block[0] = static_cast<unsigned char>(size);
        block[size - 1] = static_cast<unsigned char>(slot);
        blocks[slot] = block;
        sizes[slot] = size;
    }

    void Drop(int slot) {
        unsigned char* block = blocks[slot];
        size_t size = sizes[slot];
        damaged += block[0] != static_cast<unsigned char>(size) ||
                   block[size - 1] != static_cast<unsigned char>(slot);
        std::free(block);
    }

    std::vector<unsigned char*> blocks;
    std::vector<size_t> sizes;
};

struct Result {
    long long ops;
    double seconds;
    long long damaged;
};

// The clock starts after `warmUp` pairs: a debugging allocator keeps released blocks in a queue
// for a while, and its steady state begins when the queue is full.
Result Small(double budget, long long warmUp) {
    Random random(kSeed);
    BlockSet set;
    set.Fill(random);
    for (long long i = 0; i < warmUp; ++i)
        set.Replace(random);
    long long ops = 0;
    Clock::time_point start = Clock::now();
    double seconds;
    do {
        for (int i = 0; i < kBatch; ++i)
            set.Replace(random);
        ops += kBatch;
    } while ((seconds = SecondsSince(start)) < budget);
    set.Clear();
    return {ops, seconds, set.damaged};
}

// In round r thread t works on set (t + r) % kThreads: the blocks it releases were mostly made
// by the other thread in the round before. The clock is read once per round, between rounds,
// and starts when the rounds that make up `warmUp` pairs have passed.
Result Threads(double budget, long long warmUp) {
    std::vector<BlockSet> sets(kThreads);
    const long long warmRounds = warmUp / (kThreads * kRound);
    long long rounds = -1;  // the first phase fills the sets
    Clock::time_point start;
    double seconds = 0;
    bool stop = false;
    std::atomic<long long> ops{0};
    std::barrier roundEnd(kThreads, [&]() noexcept {
        if (++rounds == warmRounds) {
            ops = 0;
            start = Clock::now();
        } else if (rounds > warmRounds && (seconds = SecondsSince(start)) >= budget) {
            stop = true;
        }
    });
    auto work = [&](int thread) {
        Random random(kSeed + thread);
        sets[thread].Fill(random);
        roundEnd.arrive_and_wait();
        for (int round = 0; !stop; ++round) {
            BlockSet& set = sets[(thread + round) % kThreads];
            for (int i = 0; i < kRound; ++i)
                set.Replace(random);
            ops += kRound;
            roundEnd.arrive_and_wait();
        }
    };
    std::vector<std::thread> threads;
    for (int thread = 0; thread < kThreads; ++thread)
        threads.emplace_back(work, thread);
    for (std::thread& thread : threads)
        thread.join();
    long long damaged = 0;
    for (BlockSet& set : sets) {
        set.Clear();
        damaged += set.damaged;
    }
    return {ops.load(), seconds, damaged};
}

// The blocks are written whole: every page they lie on is resident, whatever the allocator
// keeps beside them.
Result Peak(long& peakKilobytes) {
    std::vector<unsigned char*> blocks(kPeakBlocks);
    Clock::time_point start = Clock::now();
    for (int i = 0; i < kPeakBlocks; ++i) {
        blocks[i] = static_cast<unsigned char*>(std::malloc(kPeakSize));
        if (!blocks[i]) {
            std::fprintf(stderr, "malloc(%zu) failed after %d blocks\n", kPeakSize, i);
            std::exit(2);
        }
        std::memset(blocks[i], i & 0xFF, kPeakSize);
    }
    peakKilobytes = MaxResidentKilobytes();
    long long damaged = 0;
    for (int i = 0; i < kPeakBlocks; ++i) {
        damaged += blocks[i][0] != (i & 0xFF) || blocks[i][kPeakSize - 1] != (i & 0xFF);
        std::free(blocks[i]);
    }
    return {2LL * kPeakBlocks, SecondsSince(start), damaged};
}

}  // namespace

int main(int argc, char** argv) {
    std::string workload = argc > 1 ? argv[1] : "";
    double budget = argc > 2 ? std::atof(argv[2]) : 0.3;
    long long warmUp = argc > 3 ? std::atoll(argv[3]) : 0;
    gZeroed = argc > 4 && std::string(argv[4]) == "calloc";
    long before = MaxResidentKilobytes();
    long peak = 0;
    Result result{};
    if (workload == "small")
        result = Small(budget, warmUp);
    else if (workload == "threads")
        result = Threads(budget, warmUp);
    else if (workload == "peak")
        result = Peak(peak);
    else {
        std::fprintf(stderr, "usage: %s small|threads|peak [seconds [warm-up pairs [calloc]]]\n",
                     argv[0]);
        return 1;
    }
    if (workload != "peak")
        peak = MaxResidentKilobytes();
    std::printf(
        "workload=%s ops=%lld seconds=%.6f rate=%.0f peak_kb=%ld before_kb=%ld "
        "damaged=%lld\n",
        workload.c_str(), result.ops, result.seconds, result.ops / result.seconds, peak, before,
        result.damaged);
    return 0;
}
