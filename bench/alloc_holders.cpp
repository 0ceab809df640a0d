// Free and Get through the process's memory interface, once while the pool's largest class has
// one holder and once while it has 2,000: what finding a block's holder costs as holders grow.
// Run by alloc_bench; prints one line of name=value pairs (times in nanoseconds per call).
#include "memory/lowfrag.h"
#include "tarnkernl/tarnrt.h"

#include <cxxabi.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <typeinfo>
#include <vector>

namespace {

using tarn::LowFragPool;

constexpr int kHolders = 2000;
// The largest class: its holders take the fewest blocks, and the least memory, to fill. Its
// smallest request zeroes the fewest bytes in Get.
constexpr int kClass = tarn::kClasses - 1;
constexpr size_t kRequest = tarn::LargestRequest(kClass - 1) + 1;
constexpr int kPerHolder = int(tarn::kHolderArray / tarn::ElementSize(kClass));
constexpr size_t kMaxRounds = 100000;
constexpr uint64_t kSeed = 0x7A3C5E11D00DFEEDull;

using Clock = std::chrono::steady_clock;

// The class of the interface without its namespaces, which may hold blanks.
std::string ClassName(const ICppMemIface& iface) {
    const char* mangled = typeid(iface).name();
    int status;
    char* readable = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
    std::string name = status == 0 ? readable : mangled;
    std::free(readable);
    return name.substr(name.rfind(':') + 1);
}

// The holders of the class in the pool's table; -1 when the interface is not the pool.
int HolderCount(const ICppMemIface& iface) {
    auto* pool = dynamic_cast<const LowFragPool*>(&iface);
    if (!pool)
        return -1;
    using tarn::Holder;
    using tarn::LowFragPoolForTesting;
    Holder* const* tableEnd = LowFragPoolForTesting::Table(*pool) + LowFragPool::kTableSize;
    int count = 0;
    for (Holder* const* entry = LowFragPoolForTesting::Cursor(*pool, kClass);
         entry && entry < tableEnd && *entry && (*entry)->elementSize == tarn::ElementSize(kClass);
         ++entry)
        ++count;
    return count;
}

struct Times {
    double free, get;  // nanoseconds per call
};

class Holders {
public:
    // The lists take their room at once: grown on the way, they would take blocks of the measured
    // class too.
    explicit Holders(ICppMemIface& iface) : iface(iface) {
        blocks.reserve(size_t(kHolders) * kPerHolder);
    }

    ~Holders() {
        for (void* block : blocks)
            iface.Free(block);
    }

    // Takes blocks until the class has `count` holders, every one full.
    void Grow(int count) {
        while (blocks.size() < size_t(count) * kPerHolder)
            blocks.push_back(Get());
    }

    // Rounds of releasing all but one block of the holder filled last, in random order, and
    // taking as many again, which fill the places just freed (no other holder has room). The
    // blocks touched and their cache state are thus the same however many holders stand in
    // front; a holder that never empties is never given back. Each half of a round is timed
    // on its own, and the median round counts: on a shared machine a round now and then waits
    // for the processor.
    Times Measure(double budget) {
        std::vector<size_t> order;
        for (size_t i = blocks.size() - kPerHolder + 1; i < blocks.size(); ++i)
            order.push_back(i);
        std::vector<double> freeing, getting;
        freeing.reserve(kMaxRounds);
        getting.reserve(kMaxRounds);
        Clock::time_point start = Clock::now();
        while (Clock::now() - start < std::chrono::duration<double>(budget) &&
               freeing.size() < kMaxRounds) {
            std::shuffle(order.begin(), order.end(), random);
            Clock::time_point begin = Clock::now();
            for (size_t i : order)
                iface.Free(blocks[i]);
            Clock::time_point middle = Clock::now();
            for (size_t i : order)
                blocks[i] = Get();
            getting.push_back(Nanoseconds(Clock::now() - middle));
            freeing.push_back(Nanoseconds(middle - begin));
        }
        double calls = double(order.size());
        return {Median(freeing) / calls, Median(getting) / calls};
    }

private:
    static double Nanoseconds(Clock::duration duration) {
        return std::chrono::duration<double, std::nano>(duration).count();
    }

    static double Median(std::vector<double> values) {
        std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
        return values[values.size() / 2];
    }

    void* Get() {
        void* block = iface.Get(kRequest);
        if (!block) {
            std::fprintf(stderr, "Get(%zu) failed after %zu blocks\n", kRequest, blocks.size());
            std::exit(2);
        }
        return block;
    }

    ICppMemIface& iface;
    std::vector<void*> blocks;
    std::mt19937_64 random{kSeed};
};

// Whether malloc goes to the interface: then the workload linked with tarnkernl measures it.
bool ServesMalloc(ICppMemIface& iface) {
    void* block = std::malloc(24);
    bool routed = iface.GetSize(block) != 0;
    std::free(block);
    return routed;
}

}  // namespace

int main(int argc, char** argv) {
    double budget = argc > 1 ? std::atof(argv[1]) : 0.3;
    ICppMemIface* iface = tarnrtl_GetMemIface();
    Times one, many;
    int holdersOne, holdersMany;
    {
        Holders holders(*iface);
        holders.Grow(1);
        one = holders.Measure(budget);
        holdersOne = HolderCount(*iface);
        holders.Grow(kHolders);
        many = holders.Measure(budget);
        holdersMany = HolderCount(*iface);
    }
    std::printf(
        "iface=%s routed=%d request=%zu holders_one=%d free_ns_one=%.1f get_ns_one=%.1f "
        "holders_many=%d free_ns_many=%.1f get_ns_many=%.1f\n",
        ClassName(*iface).c_str(), ServesMalloc(*iface), kRequest, holdersOne, one.free, one.get,
        holdersMany, many.free, many.get);
    return 0;
}
