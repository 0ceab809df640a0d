// One million malloc/free pairs of a program of the family, whose malloc the library's pool
// serves, beside the same pairs on the system C runtime's own allocator (Windows: msvcrt's
// malloc and free, taken from the system module). It prints the times and their ratio and
// asserts nothing. Built for Windows; tools/bench.sh --windows runs it under Wine.
//   malloc_pairs [pairs]
#include "platform/win32.h"
#include "tarnkernl/tarnkernl.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace {

using Allocate = void* (*)(size_t);
using Release = void (*)(void*);

// Blocks of 16 to 1,000 bytes, each written and kept in one of 64 slots until its slot is
// taken again: every allocation and every store is seen by a later release.
double NanosecondsPerPair(Allocate allocate, Release release, long pairs) {
    void* volatile slots[64] = {};
    const auto start = std::chrono::steady_clock::now();
    for (long i = 0; i < pairs; ++i) {
        const size_t size = 16 + (size_t(i) * 7919) % 985;
        char* block = static_cast<char*>(allocate(size));
        block[0] = char(i);
        block[size - 1] = char(i);
        void* old = slots[i % 64];
        slots[i % 64] = block;
        release(old);
    }
    const auto end = std::chrono::steady_clock::now();
    for (void* block : slots)
        release(block);
    return std::chrono::duration<double, std::nano>(end - start).count() / double(pairs);
}

}  // namespace

int main(int argc, char** argv) {
    const long pairs = argc > 1 ? atol(argv[1]) : 1000000;
    HMODULE system = GetModuleHandleA("msvcrt.dll");
    auto systemMalloc =
        reinterpret_cast<Allocate>(reinterpret_cast<void (*)()>(GetProcAddress(system, "malloc")));
    auto systemFree =
        reinterpret_cast<Release>(reinterpret_cast<void (*)()>(GetProcAddress(system, "free")));
    if (!systemMalloc || !systemFree) {
        fprintf(stderr, "the system's malloc and free are not found\n");
        return 1;
    }
    const double pool = NanosecondsPerPair(malloc, free, pairs);
    const double peer = NanosecondsPerPair(systemMalloc, systemFree, pairs);
    printf("%ld malloc/free pairs of 16 to 1000 bytes\n", pairs);
    printf("  %-28s %8.1f ns/pair  %6.2f s\n", "tarnkernl pool (malloc)", pool, pool * pairs / 1e9);
    printf("  %-28s %8.1f ns/pair  %6.2f s\n", "msvcrt malloc", peer, peer * pairs / 1e9);
    printf("  ratio pool / msvcrt        %8.2f\n", pool / peer);
    return 0;
}
