// The system side of the raw heap on Windows: a heap of the runtime's own, and virtual memory
// for the block map. Every 64 KB granule of address space that a live block of that heap
// touches is counted, so that a block of the system's C runtime, which lives in another heap
// and so in other granules, is told from the runtime's at once and without touching it.
#include "runtime/allocator.h"

#include <windows.h>

#include <malloc.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>

namespace tarn {

// 16 bytes on x86-64, 8 on x86.
const size_t kRawAlignment = MEMORY_ALLOCATION_ALIGNMENT;

void* ReserveZeroed(size_t size) {
    return VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void ReleaseReserved(void* memory, size_t) { VirtualFree(memory, 0, MEM_RELEASE); }

namespace {

// Granules of 64 KB (the system's allocation granularity: no two heaps share one), counted in
// leaves of 2^16 granules (4 GB of address space each), for the 128 TB of a 64-bit process or
// the 4 GB of a 32-bit one. A granule holds at most 4096 blocks: 16 bits count them.
constexpr unsigned kGranuleBits = 16;
constexpr unsigned kLeafBits = 16;
constexpr unsigned kAddressBits = sizeof(void*) == 8 ? 47 : 32;
constexpr size_t kLeaves = size_t(1) << (kAddressBits - kGranuleBits - kLeafBits);
using Leaf = std::atomic<uint16_t>[size_t(1) << kLeafBits];

constinit std::atomic<Leaf*> gLeaves[kLeaves] = {};
constinit std::atomic<HANDLE> gHeap{nullptr};

HANDLE Heap() {
    HANDLE heap = gHeap.load(std::memory_order_acquire);
    if (heap)
        return heap;
    HANDLE made = HeapCreate(0, 0, 0);
    if (!gHeap.compare_exchange_strong(heap, made, std::memory_order_acq_rel)) {
        HeapDestroy(made);
        return heap;
    }
    return made;
}

std::atomic<uint16_t>* Counter(uintptr_t granule, bool make) {
    const size_t leafIndex = granule >> kLeafBits;
    if (leafIndex >= kLeaves)
        return nullptr;
    Leaf* leaf = gLeaves[leafIndex].load(std::memory_order_acquire);
    if (!leaf && make) {
        Leaf* made = static_cast<Leaf*>(ReserveZeroed(sizeof(Leaf)));
        if (!made)
            return nullptr;
        if (gLeaves[leafIndex].compare_exchange_strong(leaf, made, std::memory_order_acq_rel))
            leaf = made;
        else
            ReleaseReserved(made, sizeof(Leaf));
    }
    return leaf ? &(*leaf)[granule & ((uintptr_t(1) << kLeafBits) - 1)] : nullptr;
}

// Adds `delta` to the count of every granule of [begin, begin + size). A granule whose leaf
// cannot be had stays uncounted: its blocks are then taken for the system's, which leaks them
// rather than breaking the pools.
void Count(const void* begin, size_t size, int delta) {
    const uintptr_t first = reinterpret_cast<uintptr_t>(begin) >> kGranuleBits;
    const uintptr_t last =
        (reinterpret_cast<uintptr_t>(begin) + (size ? size - 1 : 0)) >> kGranuleBits;
    for (uintptr_t granule = first; granule <= last; ++granule)
        if (std::atomic<uint16_t>* counter = Counter(granule, delta > 0))
            counter->fetch_add(uint16_t(delta), std::memory_order_relaxed);
}

}  // namespace

void* RawAlloc(size_t size) {
    void* raw = HeapAlloc(Heap(), 0, size);
    if (raw)
        Count(raw, HeapSize(Heap(), 0, raw), +1);
    return raw;
}

void RawFree(void* raw) {
    Count(raw, HeapSize(Heap(), 0, raw), -1);
    HeapFree(Heap(), 0, raw);
}

size_t RawUsableSize(void* raw) {
    SIZE_T size = HeapSize(Heap(), 0, raw);
    return size == SIZE_T(-1) ? 0 : size;
}

// The heap grows a block into free memory behind it, and gives back the tail when it shrinks.
// Nothing points into the new tail before this returns, so the counts may follow afterwards.
bool RawResizeInPlace(void* raw, size_t size) {
    const size_t before = HeapSize(Heap(), 0, raw);
    if (!HeapReAlloc(Heap(), HEAP_REALLOC_IN_PLACE_ONLY, raw, size))
        return false;
    Count(raw, HeapSize(Heap(), 0, raw), +1);
    Count(raw, before, -1);
    return true;
}

void SetHeapError(HeapError error) {
    SetLastError(error == HeapError::NotEnoughMemory ? ERROR_NOT_ENOUGH_MEMORY
                                                     : ERROR_INVALID_PARAMETER);
}

bool SystemBlock(const void* block) {
    const std::atomic<uint16_t>* counter =
        Counter(reinterpret_cast<uintptr_t>(block) >> kGranuleBits, false);
    return !counter || counter->load(std::memory_order_relaxed) == 0;
}

// Inside the runtime the C names are the system C runtime's own.
void SystemFree(void* block) { free(block); }

void* SystemRealloc(void* block, size_t size) { return realloc(block, size); }

size_t SystemSize(void* block) { return _msize(block); }

void SystemAlignedFree(void* block) { _aligned_free(block); }

}  // namespace tarn
