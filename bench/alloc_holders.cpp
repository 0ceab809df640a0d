// Free+Get pairs through the process's memory interface, once while one class of the pool has
// one holder and once while it has 2,000: what finding a block's holder costs as holders grow.
// Run by alloc_bench; prints one line of name=value pairs.
#include "tarnkernl/tarnrt.h"

#include <cxxabi.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <typeinfo>
#include <vector>

namespace {

constexpr int kHolders = 2000;
// A request of the largest class and the elements of one holder of it (1 MB of 32 KB elements):
// the class whose holders take the fewest blocks, and the least memory, to fill.
constexpr size_t kRequest = 20000;
constexpr int kPerHolder = 32;
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

class Holders {
public:
    explicit Holders(ICppMemIface& iface) : iface(iface) {}

    ~Holders() {
        for (void* block : blocks)
            iface.Free(block);
    }

    // Fills holders until the class has `count` of them, every one full.
    void Grow(int count) {
        while (blocks.size() < size_t(count) * kPerHolder)
            blocks.push_back(Get());
    }

    // Nanoseconds of one Free+Get pair. The pairs release random blocks of the holder filled
    // last and take the place each frees, so that the blocks touched and their cache state are
    // the same however many holders stand before it.
    double PairNanoseconds(double budget) {
        size_t first = blocks.size() - kPerHolder;
        long long pairs = 0;
        Clock::time_point start = Clock::now();
        double seconds;
        do {
            for (int i = 0; i < 256; ++i) {
                void*& block = blocks[first + Next() % kPerHolder];
                iface.Free(block);
                block = Get();
            }
            pairs += 256;
        } while ((seconds = std::chrono::duration<double>(Clock::now() - start).count()) <
                 budget);
        return seconds * 1e9 / double(pairs);
    }

private:
    void* Get() {
        void* block = iface.Get(kRequest);
        if (!block) {
            std::fprintf(stderr, "Get(%zu) failed after %zu blocks\n", kRequest, blocks.size());
            std::exit(2);
        }
        return block;
    }

    uint64_t Next() {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return state >> 33;
    }

    ICppMemIface& iface;
    std::vector<void*> blocks;
    uint64_t state = kSeed;
};

bool RuntimeServesMalloc() {
    void* block = std::malloc(24);
    bool routed = tarnrtl_GetSize(block) != 0;
    std::free(block);
    return routed;
}

}  // namespace

int main(int argc, char** argv) {
    double budget = argc > 1 ? std::atof(argv[1]) : 0.3;
    ICppMemIface* iface = tarnrtl_GetMemIface();
    double one, many;
    {
        Holders holders(*iface);
        holders.Grow(1);
        one = holders.PairNanoseconds(budget);
        holders.Grow(kHolders);
        many = holders.PairNanoseconds(budget);
    }
    std::printf("iface=%s routed=%d holders=%d pair_ns_one=%.1f pair_ns_many=%.1f\n",
                ClassName(*iface).c_str(), RuntimeServesMalloc(), kHolders, one, many);
    return 0;
}
