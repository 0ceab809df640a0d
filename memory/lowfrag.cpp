// The low-fragmentation pool: the class operations on holder blocks, stamping and checking of
// elements, the pool's slots, its installation at attach and its release with the small-block
// half of the memory report.
#include "memory/lowfrag.h"

#include "log/markstack.h"
#include "log/modulemap.h"
#include "log/startorder.h"
#include "memory/companion.h"
#include "memory/markpool.h"
#include "platform/check.h"
#include "platform/fork.h"
#include "tarnkernl/log.h"

#include <algorithm>
#include <array>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <utility>

namespace tarn {
namespace {

// --- An element, by its user address `block`. The trailer and, behind a head of 8 bytes on
// 32-bit targets, nothing else is aligned for more than its own width.

uint32_t* SizeWord(uintptr_t block) { return reinterpret_cast<uint32_t*>(block - 8); }

uint32_t* SignatureWord(uintptr_t block) { return reinterpret_cast<uint32_t*>(block - 4); }

uint32_t Trailer(uintptr_t block, uint32_t size) {
    uint32_t trailer;
    memcpy(&trailer, reinterpret_cast<const void*>(block + size), sizeof trailer);
    return trailer;
}

const uintptr_t* StackOf(uintptr_t element, uint32_t elementSize) {
    return reinterpret_cast<const uintptr_t*>(element + elementSize - kElementStackBytes);
}

bool SizeFits(uint32_t size, uint32_t elementSize) {
    return uint64_t(size) + kElementOverhead <= elementSize;
}

// The data length a resize keeps and GetSize answers: the recorded size, or for a damaged
// element E - n, and nothing once n reaches the element's end.
uint32_t RecordedLength(uintptr_t block, uint32_t elementSize) {
    uint32_t size = *SizeWord(block);
    if (SizeFits(size, elementSize))
        return size;
    return size < elementSize ? elementSize - size : 0;
}

// Stamps an element for `size` bytes with the stack its allocator captured; returns the user
// address.
uintptr_t Stamp(uintptr_t element, size_t size, uint32_t elementSize, const uintptr_t* stack) {
    uintptr_t block = element + kElementHead;
    *SizeWord(block) = uint32_t(size);
    *SignatureWord(block) = StartupPhase() ? kStartupSignature : kSignature;
    memcpy(reinterpret_cast<void*>(block + size), &kSignature, sizeof kSignature);
    memcpy(reinterpret_cast<void*>(element + elementSize - kElementStackBytes), stack,
           kElementStackBytes);
    return block;
}

// The allocating stack: the callers above the runtime's entry. `slot` is the frame of the pool's
// slot that the runtime called (the file is built without sibling calls); the walk starts there
// and passes over its return address, into the runtime's entry, so the first address is the
// caller of malloc or new.
[[gnu::always_inline]] inline void CallerStack(uintptr_t* stack, const void* slot) {
    WalkFrames(stack, kElementStack, reinterpret_cast<uintptr_t>(slot), 1);
}

// The element that the holder's next allocation will most likely take: the next free one in the
// hint word or the word after it; 0 when neither has one.
uintptr_t NextLikely(const Holder* holder) {
    uint32_t word = holder->hint;
    uint32_t free = holder->bitmap[word];
    if (!free && word + 1 < holder->Capacity() / 32)
        free = holder->bitmap[++word];
    if (!free)
        return 0;
    return holder->array + (uintptr_t(32) * word + std::countr_zero(free)) * holder->elementSize;
}

// That element is brought into the cache, up to its first 2 KB and its stack, outside the lock:
// it was released long ago, and Get writes its head, trailer and stack under the lock, where a
// miss holds every other thread up, and zeroes its data right after.
void Prefetch(uintptr_t element, size_t elementSize) {
    constexpr size_t kPrefetched = 2048;
    constexpr size_t kCacheLine = 64;
    for (size_t line = 0; line < std::min(elementSize, kPrefetched); line += kCacheLine)
        __builtin_prefetch(reinterpret_cast<const void*>(element + line), 1);
    if (elementSize > kPrefetched) {
        const uintptr_t stack = element + elementSize - kElementStackBytes;
        __builtin_prefetch(reinterpret_cast<const void*>(stack), 1);
        __builtin_prefetch(reinterpret_cast<const void*>(element + elementSize - 1), 1);
    }
}

// Text composed in a fixed buffer, so that composing a report never allocates.
class FixedText {
public:
    FixedText(char* data, size_t capacity) : data_(data), capacity_(capacity) { data_[0] = 0; }

    // Appends, or leaves the text as it was when the whole does not fit.
    TARN_PRINTF(2, 3) bool Append(const char* format, ...) {
        va_list args;
        va_start(args, format);
        int length = vsnprintf(data_ + used_, capacity_ - used_, format, args);
        va_end(args);
        if (length < 0 || size_t(length) >= capacity_ - used_) {
            data_[used_] = 0;
            return false;
        }
        used_ += size_t(length);
        return true;
    }
    // "Allocator STACK: " and the element's ten stack entries, as far as they fit.
    void AppendStack(uintptr_t element, uint32_t elementSize) {
        if (!Append("Allocator STACK: "))
            return;
        const uintptr_t* stack = StackOf(element, elementSize);
        for (int i = 0; i < kElementStack; ++i) {
            if (!Append("0x%.8" PRIXPTR " ", stack[i]))
                return;
        }
        Append("\r\n");
    }
    bool Empty() const { return used_ == 0; }
    const char* Data() const { return data_; }

private:
    char* data_;
    size_t capacity_;
    size_t used_ = 0;
};

// "Attempt to <operation> <fault> memory block ptr: ..." for a pointer the holder cannot take:
// one between elements ("invalid") or one of an element not in use ("not allocated").
void ReportAttempt(const char* operation, const char* fault, uintptr_t address,
                   const Holder* holder) {
    exceptout("Attempt to %s %s memory block ptr: 0x%" PRIXPTR
              "; Holder block size: %d; "
              "Holder internal array: 0x%" PRIXPTR,
              operation, fault, address, int(holder->elementSize), holder->array);
}

// Whether the bitmap shows the element at `element` (an element's start) as taken.
bool InUse(const Holder* holder, uintptr_t element) {
    const uintptr_t index = (element - holder->array) / holder->elementSize;
    return (holder->bitmap[index / 32] & (uint32_t(1) << (index % 32))) == 0;
}

// --- The class operations.

template <int cls>
constexpr uint32_t kCapacity = uint32_t(kHolderArray / ElementSize(cls));
template <int cls>
constexpr uint32_t kWords = kCapacity<cls> / 32;

// The lowest free element, searched from the hint word to the end, then from the start.
template <int cls>
uintptr_t AllocateIn(Holder* holder) {
    if (holder->count >= kCapacity<cls>)
        return 0;
    uint32_t* bitmap = holder->bitmap;
    uint32_t word = holder->hint;
    while (word < kWords<cls> && !bitmap[word])
        ++word;
    if (word == kWords<cls>) {
        for (word = 0; word < holder->hint && !bitmap[word];)
            ++word;
        if (word == holder->hint)
            return 0;
    }
    const int bit = std::countr_zero(bitmap[word]);
    bitmap[word] &= ~(uint32_t(1) << bit);
    ++holder->count;
    holder->hint = word;
    return holder->array + (uintptr_t(32) * word + bit) * ElementSize(cls);
}

template <int cls>
Released ReleaseIn(Holder* holder, uintptr_t element) {
    if (!holder->Contains(element + kElementHead))
        return Released::Outside;
    const uintptr_t offset = element - holder->array;
    if (offset % ElementSize(cls) != 0) {
        ReportAttempt("free", "invalid", element, holder);
        return Released::Misaligned;
    }
    const uintptr_t index = offset / ElementSize(cls);
    uint32_t& word = holder->bitmap[index / 32];
    const uint32_t bit = uint32_t(1) << (index % 32);
    if (word & bit) {
        ReportAttempt("free", "not allocated", element, holder);
    } else {
        word |= bit;
        --holder->count;
    }
    return Released::Done;
}

// A word is read once: a callback's report may allocate in the same holder meanwhile.
template <int cls>
void WalkIn(WalkTotal& total, Holder* holder, ElementCallback callback, void* context) {
    for (uint32_t word = 0; word < kWords<cls>; ++word) {
        for (uint32_t used = ~holder->bitmap[word]; used; used &= used - 1) {
            const uintptr_t index = uintptr_t(32) * word + std::countr_zero(used);
            uint32_t result = callback(context, holder->array + index * ElementSize(cls),
                                       uint32_t(ElementSize(cls)));
            total.bytes += result;
            total.count += result != 0;
        }
    }
}

struct ClassOps {
    ClassAllocate allocate;
    ClassRelease release;
    ClassWalk walk;
};

template <size_t... cls>
constexpr std::array<ClassOps, kClasses> MakeClassOps(std::index_sequence<cls...>) {
    return {{{&AllocateIn<cls>, &ReleaseIn<cls>, &WalkIn<cls>}...}};
}
constexpr std::array<ClassOps, kClasses> kClassOps =
    MakeClassOps(std::make_index_sequence<kClasses>());

uint32_t FailedCheck(void*, uintptr_t element, uint32_t elementSize) {
    return LowFragPool::CheckBlock(element + kElementHead, elementSize) ? 0 : elementSize;
}

// The report's line of an element still in use; start-up elements are counted, not listed.
uint32_t ListUnfreed(void*, uintptr_t element, uint32_t elementSize) {
    const uintptr_t block = element + kElementHead;
    LowFragPool::CheckBlock(block, elementSize);
    if (*SignatureWord(block) == kStartupSignature)
        return 0;
    const uint32_t size = *SizeWord(block);
    char buffer[1024];
    FixedText text(buffer, sizeof buffer);
    text.Append("Unfreed=0x%08" PRIXPTR "[%u]; Native block size=%u\r\n", block, size, elementSize);
    text.AppendStack(element, elementSize);
    WriteReopening(text.Data());
    return size;
}

// Every operation holds the lock for a short while: a thread that finds it taken spins rather
// than sleeps and wakes again.
constexpr DWORD kLockSpin = 4000;

class Locked {
public:
    explicit Locked(CRITICAL_SECTION& section) : section_(section) {
        EnterCriticalSection(&section_);
    }
    ~Locked() { LeaveCriticalSection(&section_); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

private:
    CRITICAL_SECTION& section_;
};

// The process's pool, unless the companion module keeps it out. The runtime releases it after
// every other static destructor of the process. A forked child finds it with its lock free and
// its tables whole: the lock is held across the fork.
constinit LowFragPool* gProcessPool = nullptr;

struct ProcessPoolInstaller {
    ProcessPoolInstaller() {
        if (CompanionLoaded())
            return;
        gProcessPool = new LowFragPool;
        gProcessPool->Install();
        AroundFork(
            [] {
                if (gProcessPool)
                    gProcessPool->EnterForFork();
            },
            [] {
                if (gProcessPool)
                    gProcessPool->LeaveAfterFork();
            });
    }
} gProcessPoolInstaller TARN_START(LowFragPool);

}  // namespace

// The table is cleared; the address index and the room marks are written as holders come.
LowFragPool::LowFragPool()
    : cursor{}, backing(nullptr), replaced(nullptr), holders(0), places(0), roomFrom{} {
    InitializeCriticalSectionAndSpinCount(&lock, kLockSpin);
    Locked guard(lock);
    std::fill(std::begin(table), std::end(table), nullptr);
    backing = new MarkPool("App memory");
}

LowFragPool::~LowFragPool() { DeleteCriticalSection(&lock); }

void LowFragPool::EnterForFork() { EnterCriticalSection(&lock); }

void LowFragPool::LeaveAfterFork() { LeaveCriticalSection(&lock); }

void LowFragPool::Install() {
    Locked guard(lock);
    if (!replaced && tarnrtl_GetMemIface() != this)
        replaced = tarnrtl_SetMemIface(this);
}

// While the pool is released, after "App memory" went, what still comes (the backing pool's
// own destruction among it) goes to the interface the pool replaced.
ICppMemIface& LowFragPool::Large() { return backing ? *backing : *replaced; }

// The index entry of a holder of the pool. A missing or stale one would have the table and the
// index close up over another holder.
const LowFragPool::Place& LowFragPool::PlaceOf(const Holder* holder) const {
    const Place* end = placeOf + places;
    const Place* place = std::lower_bound(placeOf, end, holder->array,
                                          [](const Place& p, uintptr_t a) { return p.array < a; });
    TARN_RAW_CHECK(place != end && place->holder == holder && table[place->entry] == holder,
                   "a holder of the pool has its index entry");
    return *place;
}

// Cursors, room marks and index entries at or behind `from` move by `by` entries.
void LowFragPool::Shift(Holder** from, int by) {
    for (int cls = 0; cls < kClasses; ++cls) {
        if (cursor[cls] && cursor[cls] >= from)
            cursor[cls] += by;
        if (roomFrom[cls] && roomFrom[cls] >= from)
            roomFrom[cls] += by;
    }
    const uint32_t entry = uint32_t(from - table);
    for (int i = 0; i < places; ++i) {
        if (placeOf[i].entry >= entry)
            placeOf[i].entry += by;
    }
}

// A new holder behind the others of its class; null when no memory or no entry is left.
Holder** LowFragPool::AddHolder(int cls) {
    TARN_DCHECK(places == holders);
    if (holders == kTableSize)
        return nullptr;
    Holder* holder = static_cast<Holder*>(tarnrtl_Get(HolderRecordSize(cls)));
    void* array = holder ? tarnrtl_Get(kHolderArray) : nullptr;
    if (!array) {
        tarnrtl_Free(holder);
        return nullptr;
    }
    holder->elementSize = uint32_t(ElementSize(cls));
    holder->hint = 0;
    holder->count = 0;
    holder->array = reinterpret_cast<uintptr_t>(array);
    holder->allocate = kClassOps[cls].allocate;
    holder->release = kClassOps[cls].release;
    holder->walk = kClassOps[cls].walk;
    memset(holder->bitmap, 0xFF, HolderRecordSize(cls) - kHolderHead);
    if (!map.Add(holder)) {
        tarnrtl_Free(array);
        tarnrtl_Free(holder);
        return nullptr;
    }

    Holder** at = table + holders;
    for (int larger = cls + 1; larger < kClasses; ++larger) {
        if (cursor[larger]) {
            at = cursor[larger];
            break;
        }
    }
    Shift(at, 1);
    memmove(at + 1, at, size_t(table + holders - at) * sizeof *at);
    *at = holder;
    ++holders;
    if (!cursor[cls])
        cursor[cls] = at;

    Place* place =
        std::upper_bound(placeOf, placeOf + places, holder->array,
                         [](uintptr_t address, const Place& p) { return address < p.array; });
    memmove(place + 1, place, size_t(placeOf + places - place) * sizeof *place);
    *place = {holder->array, holder, uint32_t(at - table)};
    ++places;
    return at;
}

// The first element of the class that is free, from the first holder of the class that may
// have one; the data is zeroed outside the lock, as the element is the caller's by then.
void* LowFragPool::Allocate(int cls, size_t size, const uintptr_t* stack) {
    const uint32_t elementSize = uint32_t(ElementSize(cls));
    uintptr_t block;
    uintptr_t next;
    {
        Locked guard(lock);
        uintptr_t element = 0;
        Holder** at = roomFrom[cls];
        if (at) {
            for (Holder** end = table + holders; at < end && (*at)->elementSize == elementSize;
                 ++at) {
                if ((element = (*at)->allocate(*at)))
                    break;
            }
        }
        if (!element) {
            if (!(at = AddHolder(cls)) || !(element = (*at)->allocate(*at)))
                return nullptr;
        }
        TARN_DCHECK((*at)->Contains(element + kElementHead));
        if (roomFrom[cls] != at)
            roomFrom[cls] = at;
        block = Stamp(element, size, elementSize, stack);
        next = NextLikely(*at);
    }
    if (next)
        Prefetch(next, elementSize);
    memset(reinterpret_cast<void*>(block), 0, size);
    return reinterpret_cast<void*>(block);
}

// Only a class's later holders go, and only when empty: the table closes up behind them.
void LowFragPool::ReleaseIfEmpty(Holder* holder) {
    if (holder->count != 0)
        return;
    const Place& place = PlaceOf(holder);
    const uint32_t entry = place.entry;
    if (entry == 0 || table[entry - 1]->elementSize != holder->elementSize)
        return;
    map.Remove(holder);
    void* array = reinterpret_cast<void*>(holder->array);
    holder->elementSize = holder->hint = holder->count = 0;
    holder->array = 0;
    tarnrtl_Free(array);
    tarnrtl_Free(holder);

    const size_t index = size_t(&place - placeOf);
    memmove(placeOf + index, placeOf + index + 1, (places - index - 1) * sizeof *placeOf);
    --places;
    Holder** at = table + entry;
    memmove(at, at + 1, size_t(table + holders - at - 1) * sizeof *at);
    table[--holders] = nullptr;
    Shift(at + 1, -1);
}

// A full holder that gets an element back is where its class's next allocation looks first,
// when it stands in front of the holder that had room.
void LowFragPool::NoteRoom(const Holder* holder) {
    const int cls = std::countr_zero(holder->elementSize) - std::countr_zero(ElementSize(0));
    Holder** at = table + PlaceOf(holder).entry;
    if (!roomFrom[cls] || at < roomFrom[cls])
        roomFrom[cls] = at;
}

// A release that was aligned is checked too; the check of a freed element marks it before it
// reports, so an allocation made by the report may take it without harm.
void LowFragPool::ReleaseElement(Holder* holder, uintptr_t block) {
    const uint32_t capacity = holder->Capacity();
    const bool wasFull = holder->count == capacity;
    if (holder->release(holder, block - kElementHead) != Released::Misaligned)
        CheckBlock(block, holder->elementSize);
    if (wasFull && holder->count < capacity)
        NoteRoom(holder);
    ReleaseIfEmpty(holder);
}

// The element that a resize or a size query names: a pointer between elements, or one of an
// element already released, is reported as an attempt to <operation> and refused (a resize in
// place would stamp a free element, which the next allocation hands out again); an element in
// use is checked before the operation goes on.
bool LowFragPool::Inspect(const Holder* holder, uintptr_t block, const char* operation) {
    if (((block - kElementHead - holder->array) & (holder->elementSize - 1)) != 0) {
        ReportAttempt(operation, "invalid", block, holder);
        return false;
    }
    if (!InUse(holder, block - kElementHead)) {
        ReportAttempt(operation, "not allocated", block, holder);
        return false;
    }
    CheckBlock(block, holder->elementSize);
    return true;
}

bool LowFragPool::CheckBlock(uintptr_t block, uint32_t elementSize) {
    const uint32_t signature = *SignatureWord(block);
    if (signature == kReportedSignature)
        return false;
    const uint32_t size = *SizeWord(block);
    const bool sizeFault = !SizeFits(size, elementSize);
    const bool upper = !sizeFault && Trailer(block, size) != kSignature;
    const bool lower = signature != kSignature && signature != kStartupSignature;
    if (!sizeFault && !upper && !lower)
        return true;

    char buffer[1024];
    FixedText text(buffer, sizeof buffer);
    if (upper || lower) {
        const char* where = !upper   ? "LOWER boundary"
                            : !lower ? "UPPER boundary"
                                     : "BOTH boundaries";
        text.Append("Corrupted memory block, %s. Block ptr: 0x%" PRIXPTR
                    "; Size:%d; "
                    "Holder block size: %d\r\n",
                    where, block, int(size), int(elementSize));
        text.AppendStack(block - kElementHead, elementSize);
    }
    // Marked before the reports, which may allocate: a freed element can be taken meanwhile.
    *SignatureWord(block) = kReportedSignature;
    if (sizeFault)
        exceptout("Invalid memory block size, Block ptr: 0x%" PRIXPTR
                  "; Size:%d; Holder block "
                  "size: %d Holder block size: %d\r\n",
                  block, int(size), int(elementSize), int(elementSize));
    if (!text.Empty())
        exceptout("%s", text.Data());
    return false;
}

// Get, New and NewV are one: inlined into each slot, so that the stack is walked from the slot.
[[gnu::always_inline]] inline void* LowFragPool::Obtain(size_t size) {
    if (size == 0)
        return nullptr;
    if (size >= kLargeRequest) {
        Locked guard(lock);
        return Large().Get(size);
    }
    uintptr_t stack[kElementStack];
    CallerStack(stack, __builtin_frame_address(0));
    return Allocate(ClassOf(size), size, stack);
}

void* LowFragPool::Get(size_t size) { return Obtain(size); }

void* LowFragPool::New(size_t size) { return Obtain(size); }

void* LowFragPool::NewV(size_t size) { return Obtain(size); }

bool LowFragPool::Free(void* block) {
    Locked guard(lock);
    const uintptr_t p = reinterpret_cast<uintptr_t>(block);
    Holder* holder = map.Find(p);
    if (!holder)
        return Large().Free(block);
    ReleaseElement(holder, p);
    return true;
}

bool LowFragPool::Delete(void* block) { return LowFragPool::Free(block); }

bool LowFragPool::DeleteV(void* block) { return LowFragPool::Free(block); }

// An element that keeps more than half of its size is stamped again in place (what lies between
// the old and the new size stays as it was); otherwise the data moves to a block of its size.
void* LowFragPool::Realloc(void* block, size_t size) {
    if (size == 0) {
        if (block)
            LowFragPool::Free(block);
        return nullptr;
    }
    if (!block)
        return Obtain(size);
    uintptr_t stack[kElementStack];
    if (size < kLargeRequest)
        CallerStack(stack, __builtin_frame_address(0));
    Locked guard(lock);
    const uintptr_t p = reinterpret_cast<uintptr_t>(block);
    Holder* holder = map.Find(p);
    if (!holder)
        return Large().Realloc(block, size);
    const uint32_t elementSize = holder->elementSize;
    if (!Inspect(holder, p, "realloc"))
        return nullptr;
    if (size < kLargeRequest && size + kElementOverhead <= elementSize &&
        size + kElementOverhead > elementSize / 2) {
        Stamp(p - kElementHead, size, elementSize, stack);
        return block;
    }
    const size_t kept = std::min<size_t>(RecordedLength(p, elementSize), size);
    void* moved = size < kLargeRequest ? Allocate(ClassOf(size), size, stack) : Large().Get(size);
    if (!moved)
        return nullptr;
    memcpy(moved, block, kept);
    ReleaseElement(holder, p);
    return moved;
}

void* LowFragPool::Expand(void* block, size_t size) {
    if (!block)
        return nullptr;
    if (size == 0) {
        LowFragPool::Free(block);
        return nullptr;
    }
    uintptr_t stack[kElementStack];
    if (size < kLargeRequest)
        CallerStack(stack, __builtin_frame_address(0));
    Locked guard(lock);
    const uintptr_t p = reinterpret_cast<uintptr_t>(block);
    Holder* holder = map.Find(p);
    if (!holder)
        return Large().Expand(block, size);
    const uint32_t elementSize = holder->elementSize;
    if (!Inspect(holder, p, "expand"))
        return nullptr;
    if (size >= kLargeRequest || size + kElementOverhead > elementSize)
        return nullptr;
    Stamp(p - kElementHead, size, elementSize, stack);
    return block;
}

bool LowFragPool::FreeAll() { return false; }

size_t LowFragPool::GetSize(const void* block) {
    Locked guard(lock);
    const uintptr_t p = reinterpret_cast<uintptr_t>(block);
    const Holder* holder = map.Find(p);
    if (!holder)
        return Large().GetSize(block);
    if (!Inspect(holder, p, "expand"))
        return 0;
    return RecordedLength(p, holder->elementSize);
}

bool LowFragPool::CheckForBugs() {
    Locked guard(lock);
    WalkTotal failed{};
    for (int i = 0; i < holders; ++i) {
        if (table[i]->count)
            table[i]->walk(failed, table[i], &FailedCheck, nullptr);
    }
    return failed.count == 0 && Large().CheckForBugs();
}

// The small-block half of the memory report.
void LowFragPool::WriteReport() {
    WalkTotal unfreed{};
    uint32_t inUse = 0;
    for (int i = 0; i < holders; ++i) {
        if (!table[i]->count)
            continue;
        table[i]->walk(unfreed, table[i], &ListUnfreed, nullptr);
        inUse += table[i]->count;
    }
    char summary[512];
    snprintf(summary, sizeof summary,
             "===========\r\nLOW FRAGMENTATION BLOCKS OF MEMORY ( included OBJECTS and ARRAYS):"
             "\r\nTotal missing space: %u bytes in %u memory blocks\r\nUnfreed startup memory "
             "blocks : %u\r\n===========\r\n",
             unfreed.bytes, unfreed.count, inUse - unfreed.count);
    logdump(summary, -1);
}

void LowFragPool::Release() {
    bool processPool;
    {
        Locked guard(lock);
        processPool = gProcessPool == this;
        if (processPool)
            gProcessPool = nullptr;
        tarnrtl_CheckForBugs();
        WriteReport();
        ICppMemIface* large = backing;
        backing = nullptr;
        if (large)
            large->Release();
    }
    // The report's stacks need the modules they point into.
    if (processPool)
        WriteModuleMap("memory report");
    ICppMemIface* previous = replaced;
    if (tarnrtl_GetMemIface() == this)
        tarnrtl_SetMemIface(kRawHeapIface);
    delete this;
    if (previous)
        previous->Release();
}

}  // namespace tarn
