// The guarded block pool: marks around every block, their two lists and the cheap checks of
// their ends, allocation and release, resizing, and the pool's slots.
#include "memory/markpool.h"

#include "log/faults.h"
#include "log/markstack.h"
#include "memory/companion.h"
#include "tarnkernl/log.h"

#include <cinttypes>
#include <cstring>

namespace tarn {
namespace {

// What replaces both marks of a released block: the text, then zeros, so that the owner field
// reads null.
constexpr char kFreedMark[kMarkSize] = "FREED MARK BLCK";

bool Failed(const char* text) {
    Diagnose(text);
    return false;
}

void UnlinkFrom(Mark* mark, Mark*& head, Mark*& tail) {
    if (mark->pred)
        mark->pred->next = mark->next;
    else if (head == mark)
        head = mark->next;
    if (mark->next)
        mark->next->pred = mark->pred;
    else if (tail == mark)
        tail = mark->pred;
}

void PushOnto(Mark* mark, Mark*& head, Mark*& tail) {
    mark->pred = nullptr;
    mark->next = head;
    if (head)
        head->pred = mark;
    else
        tail = mark;
    head = mark;
}

uint32_t* StackCountOf(const Mark* down) {
    return reinterpret_cast<uint32_t*>(reinterpret_cast<uintptr_t>(down) + kMarkSize);
}

char* StackOf(const Mark* down) { return reinterpret_cast<char*>(StackCountOf(down) + 1); }

// A mark's size and allocator IP for a report; -1 for those of a mark that cannot be read.
struct MarkFacts {
    explicit MarkFacts(const Mark* mark) {
        if (mark && Readable(mark)) {
            size = static_cast<int>(mark->size);
            ip = mark->allocatorIP;
        }
    }

    int size = -1;
    uintptr_t ip = ~uintptr_t(0);
};

}  // namespace

const char* KindLabel(char kind) {
    switch (kind) {
        case kNewArrayBlock:
            return "new[]";
        case kMallocBlock:
            return "malloc()";
        case kStartupBlock:
            return "'C' startup code";
        case kNewBlock:
            return "new()";
        default:
            return "<INTERNAL ERROR>";
    }
}

// The entries are pointer-sized and, behind a down mark at any address, unaligned.
uintptr_t StackEntry(const Mark* down, int index) {
    uintptr_t entry;
    memcpy(&entry, StackOf(down) + index * sizeof entry, sizeof entry);
    return entry;
}

void Diagnose(const char* text) {
    int3call();
    logdump(text, -1);
}

MarkPool::MarkPool(const char* name) : StackedMem(name), blocks{}, bytes{}, lists{} {}

MarkPool::~MarkPool() { Destroy(); }

void MarkPool::Destroy() {
    try {
        dump();
    } catch (...) {
        exceptout("MarkPool::Destroy() catched");
    }
}

// A fault anywhere in the check is an answer, not an error: false, without text.
bool MarkPool::valid(const Mark* mark) {
    return Contained(false, [&] {
        if (!Readable(mark))
            return Failed("IsBadReadPtr( this)\r\n");
        const Mark* other = mark->other;
        if (!Readable(other) || other->other != mark)
            return Failed("other->other!=this\r\n");
        if (const Mark* pred = mark->pred) {
            if (!Readable(pred))
                return Failed("IsBadReadPtr( pred)\r\n");
            if (!Readable(pred->next))
                return Failed("IsBadReadPtr( pred->next )\r\n");
            if (pred->next != mark)
                return Failed("pred->next!=this\r\n");
        }
        if (const Mark* next = mark->next) {
            if (!Readable(next))
                return Failed("IsBadReadPtr( next)\r\n");
            if (!Readable(next->pred))
                return Failed("IsBadReadPtr( next->pred )\r\n");
            if (next->pred != mark)
                return Failed("next->pred!=this\r\n");
        }
        if (!Readable(other))
            return Failed("invalid p->other\r\n");
        if (other->size != mark->size)
            return Failed("other->size!=size\r\n");
        return true;
    });
}

// The up mark itself is the caller's to check.
bool MarkPool::NeighboursValid(const Mark* up, const Mark* down) {
    if (down) {
        if (!valid(down))
            return Failed("FreeMem():!dw->valid()\r\n");
        if (down->pred && !valid(down->pred))
            return Failed("FreeMem():!dw->pred->valid()\r\n");
        if (down->next && !valid(down->next))
            return Failed("FreeMem():!dw->next->valid()\r\n");
    }
    if (up) {
        if (up->pred && !valid(up->pred))
            return Failed("FreeMem():!up->pred->valid()\r\n");
        if (up->next && !valid(up->next))
            return Failed("FreeMem():!up->next->valid()\r\n");
    }
    return true;
}

bool MarkPool::ListEndsValid() {
    if (lists.UpBeg && !valid(lists.UpBeg))
        return Failed("!UpBeg->valid()\r\n");
    if (!NeighboursValid(lists.UpBeg, lists.DwBeg))
        return false;
    if (lists.UpEnd && !valid(lists.UpEnd))
        return Failed("!UpEnd->valid()\r\n");
    return NeighboursValid(lists.UpEnd, lists.DwEnd);
}

// The neighbours' links are changed; the pair's own links are left as they were.
void MarkPool::Unlink(Mark* up, Mark* down) {
    UnlinkFrom(up, lists.UpBeg, lists.UpEnd);
    UnlinkFrom(down, lists.DwBeg, lists.DwEnd);
}

void MarkPool::Push(Mark* up, Mark* down) {
    PushOnto(up, lists.UpBeg, lists.UpEnd);
    PushOnto(down, lists.DwBeg, lists.DwEnd);
}

bool MarkPool::Listed(const Mark* up) const {
    for (const Mark* mark = lists.UpBeg; mark; mark = mark->next) {
        if (mark == up)
            return true;
    }
    return false;
}

// Not inlined, so that the frames it skips are always the same: the walk, this function, the
// pool's slot, the slot of the allocator in front of the pool and the runtime's entry.
[[gnu::noinline]] void* MarkPool::MarkBlock(void* raw, size_t size, char kind) {
    blocks.Add(1);
    bytes.Add(static_cast<uint32_t>(size));
    Mark* up = static_cast<Mark*>(raw);
    Mark* down = DownMarkOf(up, size);
    up->other = down;
    down->other = up;
    up->size = down->size = static_cast<uint32_t>(size);
    up->owner = down->owner = this;
    down->timeStamp = ReadTimeStampCounter();
    up->timeStamp = down->timeStamp;

    uintptr_t stack[kStackEntries];
    WalkFrames(stack, kStackEntries, 0, 4);
    *StackCountOf(down) = kStackEntries;
    memcpy(StackOf(down), stack, sizeof stack);
    up->allocatorIP = down->allocatorIP = stack[0];

    up->kind = down->kind = StartupPhase() ? kStartupBlock : kind ? kind : kMallocBlock;
    void* data = DataOf(up);
    if (!ListEndsValid() && !AllMarkOk())
        exceptout("memory already corrupted when begin allocation: addr=0x%" PRIXPTR
                  ", size=%d, allocator ID=0x%" PRIXPTR,
                  reinterpret_cast<uintptr_t>(data), static_cast<int>(up->size), up->allocatorIP);
    Push(up, down);
    return data;
}

// Inlined into each slot, so that the stack walk sees the same frames from every slot.
[[gnu::always_inline]] inline void* MarkPool::Allocate(size_t size, char kind,
                                                       const char* failure) {
    if (size == 0)
        return nullptr;
    void* raw = size <= kMaxMarkedSize ? DirectMem::Get(size + kBlockOverhead) : nullptr;
    if (!raw) {
        exceptout(failure, static_cast<int32_t>(size));
        return nullptr;
    }
    return MarkBlock(raw, size, kind);
}

void* MarkPool::Get(size_t size) {
    try {
        return Allocate(size, kMallocBlock, "Get() of %" PRId32 " bytes failed");
    } catch (...) {
        return nullptr;
    }
}

void* MarkPool::New(size_t size) {
    try {
        return Allocate(size, kNewBlock, "New() of %" PRId32 " bytes failed");
    } catch (...) {
        return nullptr;
    }
}

void* MarkPool::NewV(size_t size) {
    return Allocate(size, kNewArrayBlock, "New[]() of %" PRId32 " bytes failed");
}

// Takes the block out of the lists and releases its marks; returns its raw address, or null
// for a pointer that is no block of this pool (or whose marks must be left alone).
void* MarkPool::SubMark(void* block, size_t* oldSize) {
    Mark* up = UpMarkOf(block);
    Mark* down = nullptr;
    bool unlinked = false;
    QuietFaults quiet;
    try {
        if (!Readable(up) || !Readable(up->owner, sizeof(void*)) || up->owner != this)
            return nullptr;
        if (ListEndsValid()) {
            if (!valid(up)) {
                Diagnose("FreeMem():!up->valid()\r\n");
            } else {
                down = up->other;
                if (NeighboursValid(up, down)) {
                    Unlink(up, down);
                    unlinked = true;
                }
            }
        }
    } catch (...) {
        exceptout("SubMark() catched");
        return nullptr;
    }

    if (!unlinked) {
        try {
            if (!AllMarkOk()) {
                int downSize = down ? static_cast<int>(down->size) : 0;
                uintptr_t downIP = down ? down->allocatorIP : 0;
                exceptout("memory already corrupted when begin deallocation: addr=0x%" PRIXPTR
                          ", size=%d=%d, allocator ID=0x%" PRIXPTR "=0x%" PRIXPTR,
                          reinterpret_cast<uintptr_t>(block), static_cast<int>(up->size), downSize,
                          up->allocatorIP, downIP);
                logfix();
            } else if (!valid(up)) {
                exceptout("SubMark:not valid(up):0x%08" PRIXPTR, reinterpret_cast<uintptr_t>(up));
                return nullptr;
            } else {
                down = up->other;
            }
            // The check may have kept this very pair while failing elsewhere: the block goes, so
            // its marks must not stay in the lists. Only a pair the check kept is unlinked; one
            // it dropped, now or earlier, still links to marks that have moved since, or through
            // a damaged link to anywhere, and unlinking it would write there.
            if (Listed(up))
                Unlink(up, up->other);
        } catch (...) {
            exceptout("SubMark:REPAIR catched");
        }
    }

    try {
        blocks.Remove(1);
        bytes.Remove(up->size);
        if (oldSize)
            *oldSize = up->size;
        memcpy(up, kFreedMark, kMarkSize);
        if (down)
            memcpy(down, kFreedMark, kMarkSize);
    } catch (...) {
        exceptout("SubMark:DOFREE catched");
    }
    return up;
}

void ReportBounds(const char* what, const void* begin, const Mark* up, const Mark* down) {
    QuietFaults quiet;
    MarkFacts u(up);
    MarkFacts d(down);
    exceptout("%sbounds[0x%" PRIXPTR ",0x%" PRIXPTR "), size=%d=%d, allocator ID=0x%" PRIXPTR
              "=0x%" PRIXPTR,
              what, reinterpret_cast<uintptr_t>(begin), reinterpret_cast<uintptr_t>(down), u.size,
              d.size, u.ip, d.ip);
}

// A block the pool does not know goes to the runtime as it is; what the runtime refuses is
// reported with what can be read around it.
bool MarkPool::FreeMarked(void* block, char kind) {
    if (!block)
        return true;
    try {
        void* raw = SubMark(block, nullptr);
        if (DirectMem::Free(raw ? raw : block))
            return true;
        QuietFaults quiet;
        Mark* up = UpMarkOf(block);
        Mark* down = nullptr;
        if (Readable(up)) {
            if (Readable(up->other))
                down = up->other;
            else if (Readable(DownMarkOf(up, up->size)))
                down = DownMarkOf(up, up->size);
        }
        ReportBounds("block can't be freed: ", block, up, down);
        return false;
    } catch (...) {
        exceptout("MarkPool::Free(0x%" PRIXPTR ", %c) catch", reinterpret_cast<uintptr_t>(block),
                  kind);
        return false;
    }
}

bool MarkPool::Free(void* block) { return FreeMarked(block, kMallocBlock); }

bool MarkPool::Delete(void* block) { return FreeMarked(block, kNewBlock); }

bool MarkPool::DeleteV(void* block) {
    if (!block)
        return true;
    try {
        void* raw = SubMark(block, nullptr);
        return DirectMem::Free(raw ? raw : block);
    } catch (...) {
        exceptout("MarkPool::DeleteV() catch [%" PRIXPTR "]", reinterpret_cast<uintptr_t>(block));
        return false;
    }
}

// `raw` is a block resized from one of `oldSize` user bytes to hold `size`: whatever lies past
// the old down mark becomes zeros, and new marks go around the data. Inlined, as Allocate.
[[gnu::always_inline]] inline void* MarkPool::Resized(void* raw, size_t oldSize, size_t size) {
    if (size + kBlockOverhead > oldSize + 2 * kMarkSize) {
        size_t from = kMarkSize + oldSize;
        memset(static_cast<char*>(raw) + from, 0, size + kBlockOverhead - from);
    }
    return MarkBlock(raw, size, kMallocBlock);
}

void* MarkPool::Realloc(void* block, size_t size) {
    if (!block)
        return Get(size);
    if (size == 0) {
        Free(block);
        return nullptr;
    }
    if (size > kMaxMarkedSize) {
        exceptout("Failed ReAlloc(%8" PRIXPTR "[%" PRId32 "])\r\n",
                  reinterpret_cast<uintptr_t>(block), static_cast<int32_t>(size));
        return nullptr;
    }
    size_t oldSize = 0;
    void* raw = SubMark(block, &oldSize);
    if (!raw)
        return DirectMem::Realloc(block, size);
    if (void* resized = DirectMem::Realloc(raw, size + kBlockOverhead))
        return Resized(resized, oldSize, size);
    void* moved = DirectMem::Get(size + kBlockOverhead);
    if (!moved) {
        exceptout("Failed ReAlloc(%8" PRIXPTR "[%" PRId32 "])\r\n",
                  reinterpret_cast<uintptr_t>(raw), static_cast<int32_t>(size));
        return nullptr;
    }
    memcpy(static_cast<char*>(moved) + kMarkSize, static_cast<char*>(raw) + kMarkSize,
           oldSize < size ? oldSize : size);
    DirectMem::Free(raw);
    return MarkBlock(moved, size, kMallocBlock);
}

void* MarkPool::Expand(void* block, size_t size) {
    if (size == 0) {
        Free(block);
        return nullptr;
    }
    if (!block)
        return nullptr;
    size_t oldSize = 0;
    void* raw = SubMark(block, &oldSize);
    if (!raw)
        return DirectMem::Expand(block, size);
    void* resized =
        size <= kMaxMarkedSize ? DirectMem::Expand(raw, size + kBlockOverhead) : nullptr;
    return resized ? Resized(resized, oldSize, size) : nullptr;
}

bool MarkPool::FreeAll() {
    Mark* up = lists.UpBeg;
    while (up && valid(up)) {
        Mark* next = up->next;
        if (up->kind != kStartupBlock)
            Delete(DataOf(up));
        up = next;
    }
    return true;
}

bool MarkPool::IsMarkedBlock(const void* block) {
    return Contained(false, [&] {
        const Mark* up = UpMarkOf(block);
        if (!Readable(up))
            return false;
        const Mark* down = DownMarkOf(up, up->size);
        return Readable(down) && down->size == up->size && up->other == down && down->other == up;
    });
}

size_t MarkPool::GetSize(const void* block) {
    if (!block)
        return 0;
    if (IsMarkedBlock(block)) {
        const Mark* up = UpMarkOf(block);
        size_t rawSize = DirectMem::GetSize(up);
        if (rawSize != 0 && rawSize >= up->size)
            return up->size;
    }
    return DirectMem::GetSize(block);
}

bool MarkPool::CheckForBugs() {
    if (!AllMarkOk())
        return false;
    return tarnrtl_CheckForBugs();
}

}  // namespace tarn
