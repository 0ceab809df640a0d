// The guarded block pool: every block lies between two marks that record its size, its owner,
// the allocating stack, a time stamp and the kind of request; the marks of the live blocks form
// two lists, checked cheaply at each allocation and release and in full on demand.
#pragma once

#include "platform/win32.h"
#include "tarnkernl/memory.h"

#include <cstddef>
#include <cstdint>

namespace tarn {

class MarkPool;

// A guard record; a block has one in front of its data (the up mark) and one right behind it
// (the down mark). Down marks sit at any address: x86 reads them unaligned, and no field asks
// for more than 8-byte alignment, so the compiler never emits an access that needs more.
struct Mark {
    Mark* pred;     // toward the head of the same list; null at the head
    Mark* next;     // toward the tail; null at the tail
    Mark* other;    // the block's other mark
    uint32_t size;  // user bytes
    MarkPool* owner;
    uintptr_t allocatorIP;  // the first entry of the allocating stack
    uint64_t timeStamp;     // time-stamp counter at allocation
    char kind;              // one of the block kinds below
    char reserved[7];       // never written
};

// Block kinds. A block made in the start-up phase is a start-up block whatever was asked.
inline constexpr char kMallocBlock = 'g';
inline constexpr char kNewBlock = 'n';
inline constexpr char kNewArrayBlock = 'a';
inline constexpr char kStartupBlock = 'k';
// The report's label of a kind: "malloc()", "new()", "new[]", "'C' startup code".
TARN_API const char* KindLabel(char kind);

// A block of n user bytes is one raw block of n + kBlockOverhead bytes: the up mark, the data,
// the down mark, the number of stack entries (32-bit) and the allocating stack.
inline constexpr int kStackEntries = 10;
inline constexpr size_t kMarkSize = sizeof(Mark);
inline constexpr size_t kStackSize = sizeof(uint32_t) + kStackEntries * sizeof(uintptr_t);
inline constexpr size_t kBlockOverhead = 2 * kMarkSize + kStackSize;
// The size field is 32 bits wide on every target.
inline constexpr size_t kMaxMarkedSize = UINT32_MAX - kBlockOverhead;

static_assert(sizeof(void*) != 4 || kMarkSize == 40, "the 32-bit layout");
static_assert(sizeof(void*) != 4 || kBlockOverhead == 124, "the 32-bit layout");
static_assert(sizeof(void*) != 4 || offsetof(Mark, size) == 12);
static_assert(sizeof(void*) != 4 || offsetof(Mark, owner) == 16);
static_assert(sizeof(void*) != 4 || offsetof(Mark, allocatorIP) == 20);
static_assert(sizeof(void*) != 4 || offsetof(Mark, timeStamp) == 24);
static_assert(sizeof(void*) != 4 || offsetof(Mark, kind) == 32);
// The runtime's blocks are 16-aligned: so is the data behind the up mark on 64-bit targets.
static_assert(sizeof(void*) != 8 || kMarkSize % 16 == 0, "user data aligned to 16 bytes");

// Up head, up tail, down head, down tail: the pool's lists, or the part of them a full check has
// still to walk.
struct MarkRange {
    Mark* UpBeg;
    Mark* UpEnd;
    Mark* DwBeg;
    Mark* DwEnd;
};

// Adding counts toward the total and the peak; removing lowers only the current value. The
// listed word belongs to the memory report. Arithmetic wraps, as 32-bit counters do.
struct MarkCounter {
    int32_t current;
    int32_t total;
    int32_t peak;
    int32_t listed;

    void Add(uint32_t v) {
        current = static_cast<int32_t>(static_cast<uint32_t>(current) + v);
        total = static_cast<int32_t>(static_cast<uint32_t>(total) + v);
        if (current > peak)
            peak = current;
    }
    void Remove(uint32_t v) { current = static_cast<int32_t>(static_cast<uint32_t>(current) - v); }
};

// The pool has no lock of its own: one thread at a time (the low-fragmentation pool calls it
// under its lock). Its raw memory comes from its DirectMem operations, under the memory lock.
class TARN_API MarkPool : public StackedMem {
public:
    // Empty, not installed.
    explicit MarkPool(const char* name);
    // Writes the memory report of the blocks never released, then says the pool is closed.
    ~MarkPool() override;

    void* Get(size_t size) override;
    bool Free(void* block) override;
    // Growth reads as zeros.
    void* Realloc(void* block, size_t size) override;
    void* Expand(void* block, size_t size) override;
    // Releases every block that is not a start-up block.
    bool FreeAll() override;
    size_t GetSize(const void* block) override;
    bool CheckForBugs() override;
    void* New(size_t size) override;
    bool Delete(void* block) override;
    // Lets exceptions pass to its caller.
    void* NewV(size_t size) override;
    bool DeleteV(void* block) override;

    // The full check: walks both lists of `range` from both ends, moves every pair it accepts
    // into the pool's lists (in a new order), reports damaged pairs and tries to repair one
    // link around the place where the walks stopped. True when every pair was accepted.
    bool AllMarkOk(MarkRange& range);
    bool AllMarkOk() { return AllMarkOk(lists); }

    // The memory report of the blocks still allocated and the summary, into the log.
    void dump();

    // Both marks around `block` readable and consistent with each other.
    static bool IsMarkedBlock(const void* block);
    // Every check of a mark: readable, and agreeing with its other mark and its neighbours.
    // Writes what failed to the log.
    static bool valid(const Mark* mark);

    MarkCounter blocks;
    MarkCounter bytes;
    MarkRange lists;

private:
    void* Allocate(size_t size, char kind, const char* failure);
    void* MarkBlock(void* raw, size_t size, char kind);
    void* SubMark(void* block, size_t* oldSize);
    bool FreeMarked(void* block, char kind);
    void* Resized(void* raw, size_t oldSize, size_t size);
    bool NeighboursValid(const Mark* up, const Mark* down);
    bool ListEndsValid();
    bool Listed(const Mark* up) const;
    void Unlink(Mark* up, Mark* down);
    void Push(Mark* up, Mark* down);
    void Take(Mark*& up, Mark*& down, Mark* Mark::*step);
    bool DownRepair(MarkRange& range, Mark* up, Mark* down);
    bool UpRepair(MarkRange& range, Mark* up, Mark* down);
    void Destroy();
};

static_assert(sizeof(void*) != 4 || sizeof(MarkPool) == 60, "the 32-bit layout");

// The up mark in front of a block's data, and the down mark behind its `size` bytes.
inline Mark* UpMarkOf(const void* block) {
    return reinterpret_cast<Mark*>(reinterpret_cast<uintptr_t>(block) - kMarkSize);
}
inline Mark* DownMarkOf(const Mark* up, size_t size) {
    return reinterpret_cast<Mark*>(reinterpret_cast<uintptr_t>(up) + kMarkSize + size);
}
inline void* DataOf(const Mark* up) {
    return reinterpret_cast<void*>(reinterpret_cast<uintptr_t>(up) + kMarkSize);
}
// Stack entry `index` of the block whose down mark is `down`.
TARN_API uintptr_t StackEntry(const Mark* down, int index);

// Diagnostics of the pool's checks: int3call, then the text into the log.
void Diagnose(const char* text);
// `what`, then "bounds[begin,down), size=up=down, allocator ID=up=down" as a crash record; -1
// for the facts of a mark that cannot be read.
void ReportBounds(const char* what, const void* begin, const Mark* up, const Mark* down);
// A text of the memory report into the log. The report may come after the process log was shut
// down: where the write fails, the log is started again for today and the text written once more.
void WriteReopening(const char* text);
// True when the whole mark (`size` bytes) can be read.
inline bool Readable(const void* p, size_t size = kMarkSize) { return !IsBadReadPtr(p, size); }

}  // namespace tarn
