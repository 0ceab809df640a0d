// The runtime's raw heap: blocks of the system's allocator behind a 16-byte header, and a radix
// map of bitmaps that tells the runtime's blocks from any other address without reading there.
#include "runtime/heap.h"

#include "tarnkernl/tarnrt.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdint>
#include <cstring>

namespace tarn {
namespace {

// Right before the user pointer. The signature mixes the other fields with the block's address,
// so a header that was overwritten, or copied to another place, does not pass.
struct BlockHeader {
    uint64_t size;    // as requested
    uint32_t offset;  // from the system's allocation to the user pointer
    uint32_t signature;
};
static_assert(sizeof(BlockHeader) == kBlockAlignment);

constexpr size_t kMaxSize = PTRDIFF_MAX;

uint32_t Signature(uintptr_t user, uint64_t size, uint32_t offset) {
    uint64_t x = 0x5EA1ED0B10C4F00Dull ^ (uint64_t(user) >> 4) ^ (size * 0x9E3779B97F4A7C15ull) ^
                 (uint64_t(offset) << 32);
    x ^= x >> 31;
    x *= 0xBF58476D1CE4E5B9ull;
    x ^= x >> 29;
    return uint32_t(x);
}

BlockHeader* HeaderOf(uintptr_t user) {
    return reinterpret_cast<BlockHeader*>(user - sizeof(BlockHeader));
}

void* RawOf(uintptr_t user, const BlockHeader& header) {
    return reinterpret_cast<void*>(user - header.offset);
}

void Seal(BlockHeader* header, uintptr_t user, uint64_t size, uint32_t offset) {
    header->size = size;
    header->offset = offset;
    header->signature = Signature(user, size, offset);
}

bool Sound(const BlockHeader& header, uintptr_t user) {
    return header.signature == Signature(user, header.size, header.offset) &&
           header.offset >= sizeof(BlockHeader) &&
           header.offset < kMaxAlignment + sizeof(BlockHeader) && header.size <= kMaxSize;
}

// --- The map: one bit per 16-byte granule of the address space, set for each user pointer of
// a live block. Three levels: a static top array, then middle and leaf nodes taken zeroed from
// the system, installed by compare-and-swap and never freed, so a node once seen stays valid.

using Word = uintptr_t;
constexpr unsigned kWordBits = sizeof(Word) * 8;
constexpr unsigned kGranuleBits = std::countr_zero(kBlockAlignment);
constexpr unsigned kAddressBits = sizeof(void*) == 8 ? 48 : 32;
constexpr unsigned kLeafBits = 19;  // granules per leaf: 8 MB of addresses in a 64 KB bitmap
constexpr unsigned kMidBits = sizeof(void*) == 8 ? 12 : 4;
constexpr unsigned kTopBits = kAddressBits - kGranuleBits - kLeafBits - kMidBits;

struct Leaf {
    Word words[(size_t(1) << kLeafBits) / kWordBits];
};
struct Mid {
    Leaf* leaves[size_t(1) << kMidBits];
};
constinit Mid* gTop[size_t(1) << kTopBits] = {};

template <class T>
std::atomic_ref<T> Atomic(T& value) {
    return std::atomic_ref<T>(value);
}

template <class Node>
Node* Child(Node*& slot, bool create) {
    Node* node = Atomic(slot).load(std::memory_order_acquire);
    if (node || !create)
        return node;
    Node* fresh = static_cast<Node*>(ReserveZeroed(sizeof(Node)));
    if (!fresh)
        return nullptr;
    if (Atomic(slot).compare_exchange_strong(node, fresh, std::memory_order_acq_rel,
                                             std::memory_order_acquire))
        return fresh;
    ReleaseReserved(fresh, sizeof(Node));
    return node;
}

struct MapBit {
    Word* word;
    Word mask;
};

// The bit of `address`; false when the address cannot be a user pointer or, unless `create`,
// when no node covers it.
bool Locate(uintptr_t address, bool create, MapBit& bit) {
    if (address % kBlockAlignment != 0)
        return false;
    if constexpr (kAddressBits < sizeof(uintptr_t) * 8) {
        if (address >> kAddressBits)
            return false;
    }
    uintptr_t granule = address >> kGranuleBits;
    Mid* mid = Child(gTop[granule >> (kLeafBits + kMidBits)], create);
    if (!mid)
        return false;
    Leaf* leaf = Child(mid->leaves[(granule >> kLeafBits) & ((size_t(1) << kMidBits) - 1)], create);
    if (!leaf)
        return false;
    size_t index = granule & ((size_t(1) << kLeafBits) - 1);
    bit = {&leaf->words[index / kWordBits], Word(1) << (index % kWordBits)};
    return true;
}

bool IsListed(uintptr_t user) {
    MapBit bit;
    return Locate(user, false, bit) &&
           (Atomic(*bit.word).load(std::memory_order_acquire) & bit.mask) != 0;
}

// Lists a block whose header is written. False when no map node could be had.
bool List(uintptr_t user) {
    MapBit bit;
    if (!Locate(user, true, bit))
        return false;
    Atomic(*bit.word).fetch_or(bit.mask, std::memory_order_release);
    return true;
}

// Takes a block off the map; false when it was not listed (never a block, or released). Of
// two threads releasing the same block, exactly one succeeds.
bool Unlist(uintptr_t user) {
    MapBit bit;
    return Locate(user, false, bit) &&
           (Atomic(*bit.word).fetch_and(~bit.mask, std::memory_order_acq_rel) & bit.mask) != 0;
}

// The header of a live block, or null for any other pointer: memory at `user` is read only
// when the map lists it.
BlockHeader* FindBlock(const void* block) {
    uintptr_t user = reinterpret_cast<uintptr_t>(block);
    if (!IsListed(user))
        return nullptr;
    BlockHeader* header = HeaderOf(user);
    return Sound(*header, user) ? header : nullptr;
}

void* NewBlock(size_t alignment, size_t size) {
    size_t overhead =
        sizeof(BlockHeader) + (alignment > kRawAlignment ? alignment - kRawAlignment : 0);
    if (size > kMaxSize - overhead) {
        SetHeapError(HeapError::NotEnoughMemory);
        return nullptr;
    }
    void* raw = RawAlloc(size + overhead);
    if (!raw) {
        SetHeapError(HeapError::NotEnoughMemory);
        return nullptr;
    }
    uintptr_t user = (reinterpret_cast<uintptr_t>(raw) + sizeof(BlockHeader) + alignment - 1) &
                     ~uintptr_t(alignment - 1);
    Seal(HeaderOf(user), user, size, uint32_t(user - reinterpret_cast<uintptr_t>(raw)));
    if (!List(user)) {
        RawFree(raw);
        SetHeapError(HeapError::NotEnoughMemory);
        return nullptr;
    }
    return reinterpret_cast<void*>(user);
}

// Gives a live block `size` bytes without moving it; false when its system block cannot.
bool ResizeInPlace(BlockHeader* header, uintptr_t user, size_t size) {
    if (size > kMaxSize - header->offset)
        return false;
    if (!RawResizeInPlace(RawOf(user, *header), header->offset + size) && size > header->size)
        return false;
    Seal(header, user, size, header->offset);
    return true;
}

// A listed block passes the heap check when its header is sound and the system block holds
// it. A block released or resized by another thread while it is read is not damage: it is
// read again once.
bool CheckBlock(uintptr_t user) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!IsListed(user))
            return true;
        const BlockHeader& header = *HeaderOf(user);
        if (Sound(header, user)) {
            size_t usable = RawUsableSize(RawOf(user, header));
            if (usable == 0 || usable >= header.offset + header.size)
                return true;
        }
    }
    return false;
}

}  // namespace

void* GetAligned(size_t alignment, size_t size) {
    if (alignment > kMaxAlignment || !std::has_single_bit(alignment)) {
        SetHeapError(HeapError::InvalidParameter);
        return nullptr;
    }
    return NewBlock(std::max(alignment, kBlockAlignment), size);
}

}  // namespace tarn

using namespace tarn;

extern "C" void* tarnrtl_Get(size_t size) { return NewBlock(kBlockAlignment, size); }

extern "C" bool tarnrtl_Free(void* block) {
    if (!block)
        return true;
    uintptr_t user = reinterpret_cast<uintptr_t>(block);
    if (!Unlist(user))
        return false;
    const BlockHeader& header = *HeaderOf(user);
    if (!Sound(header, user)) {
        List(user);  // damaged: it stays listed, so that the heap check finds it
        return false;
    }
    RawFree(RawOf(user, header));
    return true;
}

extern "C" size_t tarnrtl_GetSize(const void* block) {
    const BlockHeader* header = FindBlock(block);
    return header ? size_t(header->size) : 0;
}

// A block keeps its place while it stays at least half as large as it was (and its system block
// can hold it); otherwise it moves, so that a large block cut down gives its memory back. A
// moved block is aligned to 16 bytes, whatever alignment it had.
extern "C" void* tarnrtl_Realloc(void* block, size_t size) {
    if (!block)
        return tarnrtl_Get(size);
    BlockHeader* header = FindBlock(block);
    if (!header) {
        SetHeapError(HeapError::InvalidParameter);
        return nullptr;
    }
    uintptr_t user = reinterpret_cast<uintptr_t>(block);
    size_t old = size_t(header->size);
    if (size >= old / 2 && ResizeInPlace(header, user, size))
        return block;
    void* moved = NewBlock(kBlockAlignment, size);
    if (!moved)
        return nullptr;
    memcpy(moved, block, std::min(old, size));
    if (Unlist(user))
        RawFree(RawOf(user, *header));
    return moved;
}

// Grows or shrinks within what the system block holds (on Windows the system heap may also
// grow the block into free memory behind it); never moves.
extern "C" void* tarnrtl_Expand(void* block, size_t size) {
    BlockHeader* header = FindBlock(block);
    if (!header) {
        SetHeapError(HeapError::InvalidParameter);
        return nullptr;
    }
    if (!ResizeInPlace(header, reinterpret_cast<uintptr_t>(block), size)) {
        SetHeapError(HeapError::NotEnoughMemory);
        return nullptr;
    }
    return block;
}

// Walks every listed block. Meant for quiet moments: a block released by another thread while
// the walk reads it is told apart from damage, but its memory may already be gone.
extern "C" bool tarnrtl_CheckForBugs() {
    bool sound = true;
    for (size_t t = 0; t < std::size(gTop); ++t) {
        Mid* mid = Atomic(gTop[t]).load(std::memory_order_acquire);
        if (!mid)
            continue;
        for (size_t m = 0; m < std::size(mid->leaves); ++m) {
            Leaf* leaf = Atomic(mid->leaves[m]).load(std::memory_order_acquire);
            if (!leaf)
                continue;
            for (size_t w = 0; w < std::size(leaf->words); ++w) {
                Word bits = Atomic(leaf->words[w]).load(std::memory_order_acquire);
                while (bits) {
                    uintptr_t granule = (((uintptr_t(t) << kMidBits) | m) << kLeafBits) |
                                        (w * kWordBits + std::countr_zero(bits));
                    bits &= bits - 1;
                    if (!CheckBlock(granule << kGranuleBits))
                        sound = false;
                }
            }
        }
    }
    return sound;
}
