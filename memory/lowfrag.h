// The low-fragmentation pool: the process's allocator. Small requests take a fixed-size element
// of one of ten size classes, cut from 1 MB arrays; every element carries its size, signatures
// on both sides of the data and the allocating stack. Large requests and foreign pointers go to
// the guarded pool "App memory" behind it.
#pragma once

#include "memory/holdermap.h"
#include "platform/win32.h"
#include "tarnkernl/tarnrt.h"

#include <bit>
#include <cstddef>
#include <cstdint>

namespace tarn {

// --- Element layout: the head (size word, then the signature right in front of the data), the
// data, the trailer signature, and the allocating stack in the element's last bytes. On 64-bit
// targets the head grows to 16 bytes so that the data is 16-aligned, and the stack entries are
// pointer-sized.
inline constexpr uint32_t kSignature = 0x55AA33CC;
inline constexpr uint32_t kStartupSignature = 0x55AACC33;
inline constexpr uint32_t kReportedSignature = 0xAA5533CC;
inline constexpr int kElementStack = 10;
inline constexpr size_t kElementHead = 2 * sizeof(uintptr_t);
inline constexpr size_t kElementStackBytes = kElementStack * sizeof(uintptr_t);
inline constexpr size_t kElementOverhead = kElementHead + sizeof(uint32_t) + kElementStackBytes;

// --- Classes: class c has elements of 64 << c bytes, 1 MB / element size per holder.
inline constexpr int kClasses = 10;
inline constexpr size_t kHolderArray = 1048576;
inline constexpr size_t ElementSize(int cls) { return size_t(64) << cls; }
// The largest request a class serves: its data, overhead and one byte more fit the element.
inline constexpr size_t LargestRequest(int cls) { return ElementSize(cls) - kElementOverhead - 1; }
// The smallest request that goes to the backing pool.
inline constexpr size_t kLargeRequest = LargestRequest(kClasses - 1) + 1;
// The class of a request of `size` bytes (1 to kLargeRequest - 1): the smallest element that
// holds more than the data and its overhead.
inline constexpr int ClassOf(size_t size) {
    return std::bit_width((size + kElementOverhead) >> 5) - 1;
}

static_assert(kElementHead % 16 == 0 || sizeof(void*) == 4, "user data aligned to 16 bytes");
static_assert(sizeof(void*) != 4 || kElementOverhead == 52, "the 32-bit layout");
static_assert(sizeof(void*) != 4 || (LargestRequest(0) == 11 && LargestRequest(1) == 75 &&
                                     LargestRequest(2) == 203 && LargestRequest(3) == 459 &&
                                     LargestRequest(4) == 971 && LargestRequest(5) == 1995 &&
                                     LargestRequest(6) == 4043 && LargestRequest(7) == 8139 &&
                                     LargestRequest(8) == 16331 && LargestRequest(9) == 32715),
              "the 32-bit class table");
static_assert(ClassOf(1) == (kElementOverhead < 63 ? 0 : 1) && ClassOf(LargestRequest(9)) == 9 &&
              ClassOf(kLargeRequest) == kClasses);

struct Holder;

// The class's operations, one implementation per class. A release is not handled when the
// element lies outside the holder's array; a misaligned or not allocated one is reported.
enum class Released { Outside, Misaligned, Done };
using ClassAllocate = uintptr_t (*)(Holder* holder);
using ClassRelease = Released (*)(Holder* holder, uintptr_t element);
// Adds to `bytes` what the callback answers for each used element and to `count` each time
// that answer is not 0.
struct WalkTotal {
    uint32_t count;
    uint32_t bytes;
};
using ElementCallback = uint32_t (*)(void* context, uintptr_t element, uint32_t elementSize);
using ClassWalk = void (*)(WalkTotal& total, Holder* holder, ElementCallback callback,
                           void* context);

// A holder block: one 1 MB array of equal elements and the bitmap of the free ones (bit b of
// word w stands for element 32w + b; 1 is free). The record is taken with the bitmap behind it.
struct Holder {
    uint32_t elementSize;
    uint32_t hint;   // the bitmap word of the last allocation
    uint32_t count;  // elements in use
    uintptr_t array;
    ClassAllocate allocate;
    ClassRelease release;
    ClassWalk walk;
    uint32_t bitmap[];  // capacity / 32 words

    uint32_t Capacity() const { return uint32_t(kHolderArray >> std::countr_zero(elementSize)); }
    bool Contains(uintptr_t p) const { return p - array < kHolderArray; }
};

inline constexpr size_t kHolderHead = offsetof(Holder, bitmap);
static_assert(sizeof(void*) != 4 || kHolderHead == 28, "the 32-bit layout");
inline constexpr size_t HolderRecordSize(int cls) {
    return kHolderHead + kHolderArray / ElementSize(cls) / 32 * sizeof(uint32_t);
}
static_assert(sizeof(void*) != 4 || (HolderRecordSize(0) == 2076 && HolderRecordSize(9) == 32));

// The pool. Every operation but FreeAll holds the pool's lock for its whole run (re-entrant:
// the reports it writes may allocate again); the pool's lock is taken before the memory lock.
// The backing pool, which has no lock of its own, is called only under it.
class TARN_API LowFragPool final : public ICppMemIface {
public:
    static constexpr int kTableSize = 16384;

    // Creates the backing pool "App memory"; no holder exists until a class's first request.
    LowFragPool();
    LowFragPool(const LowFragPool&) = delete;
    LowFragPool& operator=(const LowFragPool&) = delete;

    void* Get(size_t size) override;
    bool Free(void* block) override;
    void* Realloc(void* block, size_t size) override;
    void* Expand(void* block, size_t size) override;
    bool FreeAll() override;
    size_t GetSize(const void* block) override;
    bool CheckForBugs() override;
    // The final check and the memory report, then the backing pool's release, the destruction
    // of this pool and the release of the interface it replaced. Holder memory is never given
    // back: pointers into it may still be released late, and must then find readable memory.
    void Release() override;
    void* New(size_t size) override;
    bool Delete(void* block) override;
    void* NewV(size_t size) override;
    bool DeleteV(void* block) override;

    // Makes the pool the current interface, once.
    void Install();

    // The pool's lock around a fork: taken before it, left after it in both processes, so that
    // the child finds the pool whole.
    void EnterForFork();
    void LeaveAfterFork();

    // CheckBlock: false for a damaged element, which is reported once (its signature then says
    // so). `block` is the user address of an element of `elementSize` bytes.
    static bool CheckBlock(uintptr_t block, uint32_t elementSize);

private:
    friend class LowFragPoolForTesting;

    Holder* table[kTableSize];  // the holders, by element size, then in creation order
    Holder** cursor[kClasses];  // the first entry of each class; null while it has none
    // On cache lines of its own: a thread that waits reads it over and over, while the owner
    // works on the fields around it.
    alignas(64) CRITICAL_SECTION lock;
    alignas(64) ICppMemIface* backing;  // "App memory"; null once released
    ICppMemIface* replaced;             // what Install replaced; null before

    // Where a holder stands: its array's first address and its table entry, sorted by address.
    struct Place {
        uintptr_t array;
        Holder* holder;
        uint32_t entry;
    };

    ~LowFragPool();
    void* Obtain(size_t size);
    ICppMemIface& Large();
    const Place& PlaceOf(const Holder* holder) const;
    Holder** AddHolder(int cls);
    void* Allocate(int cls, size_t size, const uintptr_t* stack);
    void Shift(Holder** from, int by);
    void ReleaseIfEmpty(Holder* holder);
    void ReleaseElement(Holder* holder, uintptr_t block);
    void NoteRoom(const Holder* holder);
    bool Inspect(const Holder* holder, uintptr_t block, const char* operation);
    void WriteReport();

    int holders;  // entries in use
    int places;
    Holder** roomFrom[kClasses];  // no holder of the class in front of it has a free element
    Place placeOf[kTableSize];
    HolderMap map;  // the holder of a pointer
};

// What the tests and the benchmarks read of a pool: its holder table, the first entry of a
// class, and the interface it replaced.
class LowFragPoolForTesting {
public:
    static Holder* const* Table(const LowFragPool& pool) { return pool.table; }
    static Holder* const* Cursor(const LowFragPool& pool, int cls) { return pool.cursor[cls]; }
    static const ICppMemIface* Replaced(const LowFragPool& pool) { return pool.replaced; }
};

}  // namespace tarn
