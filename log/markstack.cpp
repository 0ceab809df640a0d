// The call-stack marker: the main thread's table of marked frames, the break stacks harvested
// from the previous run, and the frame walk that crash reports and the memory manager use.
#include "log/markstack.h"

#include "log/faults.h"
#include "log/startorder.h"
#include "platform/stack.h"
#include "platform/win32.h"
#include "tarnkernl/log.h"

#include <atomic>
#include <cinttypes>
#include <cstring>

namespace tarn {
namespace {

constexpr uintptr_t kWord = sizeof(uintptr_t);
constexpr int kAdvancedFrames = 10;

// The marks of the main thread, outermost first. `busy` keeps Mark and UnMark out of their own
// calls (the crash records they write mark frames too) and is set for good when the table goes,
// so that marks made while the library is taken down are ignored. Only the main thread touches
// the tables: no lock.
struct Marks {
    Vector<uintptr_t> frames;
    bool busy = false;

    constexpr Marks() = default;
    ~Marks() { busy = true; }
};

// Call paths (return addresses, outermost first) at which Mark breaks into the debugger once.
// A destroyed table has the capacity Destroyed and takes no more entries.
TARN_START(MarkTables) constinit Marks gMarks;
TARN_START(MarkTables) constinit Vector<Vector<uintptr_t>> gBreakStacks;

// The number of marks at the previous DumpStack; all ones before the first.
constinit uint32_t gDumpCount = 0xFFFFFFFF;

// The main thread's stack, learnt by its first mark there. A call running on it is on the main
// thread without asking the system, and a frame between its own and the top can be read without
// a probe. Written once by the main thread, read by all: `high` is published last.
class MainStack {
public:
    [[gnu::always_inline]] bool Contains(uintptr_t address) const {
        const uintptr_t high = high_.load(std::memory_order_acquire);
        const uintptr_t low = low_.load(std::memory_order_relaxed);
        return address - low < high - low;
    }
    // Whether `own` lies on the main thread's stack and the two words of `frame` between it and
    // the top: such a frame belongs to a caller and is readable for sure.
    [[gnu::always_inline]] bool HoldsFrame(uintptr_t own, uintptr_t frame) const {
        const uintptr_t high = high_.load(std::memory_order_acquire);
        const uintptr_t low = low_.load(std::memory_order_relaxed);
        return own - low < high - low && frame >= own && frame <= high - 2 * kWord;
    }
    void Learn(uintptr_t own) {
        if (high_.load(std::memory_order_relaxed) != 0)
            return;
        const StackBounds stack = ThreadStack(own);
        if (!stack.Contains(own))
            return;  // on the alternate signal stack
        low_.store(stack.low, std::memory_order_relaxed);
        high_.store(stack.high, std::memory_order_release);
    }

private:
    std::atomic<uintptr_t> low_{0};
    std::atomic<uintptr_t> high_{0};
};

constinit MainStack gMainStack;

[[gnu::noinline]] bool IsMainThreadId(uintptr_t own) {
    if (CurrentThreadId() != GetProcess().mainThreadId)
        return false;
    gMainStack.Learn(own);
    return true;
}

// Only the thread whose identifier is the Log's mainThreadId is recorded (none before the Log
// exists). `own` is an address on the calling thread's stack. Marks run on entry and exit of every
// marked call: once the main thread's stack is known, being on it answers without a call.
[[gnu::always_inline]] inline bool OnMainThread(uintptr_t own) {
    return gMainStack.Contains(own) || IsMainThreadId(own);
}

[[gnu::always_inline]] inline bool OnMainThread() { return OnMainThread(StackPosition()); }

uintptr_t Word(uintptr_t address) { return *reinterpret_cast<const volatile uintptr_t*>(address); }

// The return address stored in `frame`, when it can be read; a fault is an answer, not an error.
bool ReadIP(uintptr_t frame, uintptr_t& ip) {
    return tarn::ReadGuarded(false, [&] {
        ip = Word(frame + kWord);
        return true;
    });
}

// The caller of the function whose frame is `frame`, when it can be read.
bool ReadNext(uintptr_t frame, uintptr_t& next) {
    return tarn::ReadGuarded(false, [&] {
        next = Word(frame);
        return true;
    });
}

uintptr_t MarkAt(uint32_t index) { return *gMarks.frames.At(index); }

uintptr_t IPOf(uint32_t index) {
    uintptr_t ip;
    return ReadIP(MarkAt(index), ip) ? ip : MarkStack::kNoIP;
}

bool WriteText(int file, const char* text, UINT length) {
    return _lwrite(file, text, length) == length;
}

// " EIP=0x" and the address in upper-case hexadecimal, at least eight digits, as
// " EIP=0x%08" PRIXPTR gives it; by hand, since it is also written from inside a fault report.
bool WriteIP(int file, uintptr_t ip) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    char text[7 + 2 * sizeof(uintptr_t)] = {' ', 'E', 'I', 'P', '=', '0', 'x'};
    int digits = 8;
    while (digits < int(2 * sizeof(uintptr_t)) && (ip >> (4 * digits)) != 0)
        ++digits;
    for (int i = 0; i < digits; ++i)
        text[7 + i] = kDigits[(ip >> (4 * (digits - 1 - i))) & 0xF];
    return WriteText(file, text, 7 + digits);
}

// Follows the frame-pointer chain. Each frame must lie on the calling thread's stack, aligned,
// above the one before, and hold a return address into code; the first frame that does not ends
// the walk, so code without frame pointers (the C library's) ends it instead of giving garbage.
// The caller keeps faults quiet.
int FollowChain(uintptr_t* out, int max, uintptr_t frame, int skip) {
    const StackBounds stack = ThreadStack(frame);
    if (stack.high - stack.low < 2 * kWord)
        return 0;
    // A frame's two words lie on the stack when it starts no further than this above its bottom.
    const uintptr_t room = stack.high - stack.low - 2 * kWord;
    CodeRanges code;
    int count = 0;
    try {
        for (uintptr_t f = frame; count < skip + max;) {
            if (f % kWord != 0 || f - stack.low > room)
                break;
            const uintptr_t ip = Word(f + kWord);
            if (!code.Contains(ip))
                break;
            if (count >= skip)
                out[count - skip] = ip;
            ++count;
            const uintptr_t next = Word(f);
            if (next <= f)
                break;
            f = next;
        }
    } catch (unsigned long) {
    }
    return count;
}

// One hexadecimal number of a "STACK:" list: an optional "0x", then digits in either case.
uintptr_t ReadHex(const char*& p) {
    if (p[0] == '0' && p[1] == 'x')
        p += 2;
    uintptr_t value = 0;
    for (;; ++p) {
        const char c = *p;
        if (c >= '0' && c <= '9')
            value = value * 16 + uintptr_t(c - '0');
        else if (c >= 'A' && c <= 'F')
            value = value * 16 + uintptr_t(c - 'A' + 10);
        else if (c >= 'a' && c <= 'f')
            value = value * 16 + uintptr_t(c - 'a' + 10);
        else
            return value;
    }
}

}  // namespace

// Also runs inside a fault report, on POSIX in the signal handler on the alternate stack: it
// calls only what platform/stack.h answers without allocating or taking a lock the faulting code
// may hold, the report-faults flag (a thread-local of a module loaded with the program: plain
// memory) and its own loads. A fault on one of those loads ends the walk, quietly.
int WalkFrames(uintptr_t* out, int max, uintptr_t frame, int skip) {
    if (max < 0)
        return 0;
    if (skip < 0)
        skip = 0;
    if (frame == 0)
        frame = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    int count;
    {
        QuietFaults quiet;
        count = UnwindFromFrame(out, max, frame, skip);
        if (count < 0)
            count = FollowChain(out, max, frame, skip);
    }
    for (int i = count > skip ? count - skip : 0; i < max; ++i)
        out[i] = 0;
    return count;
}

void WriteAdvancedStack(int file, uintptr_t frame) {
    if (frame == 0)
        frame = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    if (!WriteText(file, "[Advanced STACK:", 16))
        return;
    uintptr_t ips[kAdvancedFrames];
    const int count = WalkFrames(ips, kAdvancedFrames, frame, 0);
    for (int i = 0; i < count; ++i) {
        if (!WriteIP(file, ips[i]))
            return;
    }
    WriteText(file, "]\r\n", 3);
}

void ReadBreakStacks(const char* image, size_t length, BreakStackVisitor visitor, void* context) {
    Vector<uintptr_t> candidate;
    const char* piece = image;
    const char* const end = image + length;
    while (piece < end) {
        const char* p = strstr(piece, "STACK:");
        if (!p) {
            piece += strlen(piece) + 1;
            continue;
        }
        p += 6;
        candidate.SetCount(0);
        while (p[0] == ' ' && p[1] == '0' && p[2] == 'x') {
            ++p;
            if (!candidate.Append(ReadHex(p)))
                return;
        }
        if (candidate.count && *candidate.At(candidate.count - 1) != 0 &&
            !visitor(candidate.At(0), static_cast<int>(candidate.count), context))
            return;
        piece = p;
    }
}

bool AddBreakStack(const uintptr_t* ips, int count) {
    if (count <= 0)
        return false;
    for (uint32_t e = 0; e < gBreakStacks.count; ++e) {
        const Vector<uintptr_t>& entry = *gBreakStacks.At(e);
        bool same = entry.count == uint32_t(count);
        for (int i = 0; same && i < count; ++i)
            same = *entry.At(i) == ips[i];
        if (same)
            return true;
    }
    if (!gBreakStacks.SetCount(gBreakStacks.count + 1))
        return false;
    Vector<uintptr_t>& entry = *gBreakStacks.At(gBreakStacks.count - 1);
    if (!entry.SetCount(count)) {
        gBreakStacks.RemoveAt(gBreakStacks.count - 1);
        return false;
    }
    for (int i = 0; i < count; ++i)
        *entry.At(i) = ips[i];
    return true;
}

uint32_t MarkCountForTesting() { return gMarks.frames.count; }

uint32_t BreakStackCountForTesting() { return gBreakStacks.count; }

}  // namespace tarn

using namespace tarn;

namespace {

// The break stack that ends with `ip` as the return address of a new mark above the present
// ones, matched on the way in; it fires once and goes. A fault while one entry is compared
// removes that entry.
void CheckBreakStacks(uintptr_t ip) {
    const uint32_t marks = gMarks.frames.count;
    uint32_t comparing = 0;
    try {
        for (; comparing < gBreakStacks.count; ++comparing) {
            const Vector<uintptr_t>& entry = *gBreakStacks.At(comparing);
            if (entry.count != marks + 1 || *entry.At(marks) != ip)
                continue;
            bool match = true;
            for (uint32_t k = marks; match && k > 0; --k)
                match = *entry.At(k - 1) == IPOf(k - 1);
            if (!match)
                continue;
            int3call();
            gBreakStacks.RemoveAt(comparing);
            return;
        }
    } catch (...) {
        try {
            gBreakStacks.RemoveAt(comparing);
        } catch (...) {
        }
    }
}

}  // namespace

namespace {

// A frame on the main thread's stack above the marking code's own position: readable for sure.
[[gnu::always_inline]] inline bool SurelyReadable(uintptr_t frame, uintptr_t own) {
    return gMainStack.HoldsFrame(own, frame);
}

// Mark as the algorithm has it: probe the frame, check the break stacks, append (and report a
// table that cannot grow). Runs with the busy byte set.
[[gnu::noinline]] uintptr_t MarkChecked(uintptr_t frame, uintptr_t own) {
    uintptr_t mark = frame;
    try {
        uintptr_t ip = 0;
        bool readable = true;
        if (SurelyReadable(frame, own))
            ip = Word(frame + kWord);
        else
            readable = ReadIP(frame, ip);
        if (!readable)
            mark = 0;
        else if (gBreakStacks.count != 0)
            CheckBreakStacks(ip);
        if (!gMarks.frames.Append(mark) && readable)
            exceptout("INVALID entry[%d]:%" PRIXPTR "->%" PRIXPTR, int(gMarks.frames.count), frame,
                      ip);
    } catch (...) {
    }
    return mark;
}

// UnMark below the innermost mark, or of a frame that is not marked. Runs with the busy byte set.
[[gnu::noinline]] void UnMarkSearched(uintptr_t frame) {
    try {
        Vector<uintptr_t>& frames = gMarks.frames;
        uint32_t i = frames.count;
        while (i > 0 && MarkAt(i - 1) != frame)
            --i;
        uintptr_t ip;
        if (i > 0)
            frames.SetCount(i - 1);
        else if (ReadIP(frame, ip))
            exceptout("INVALID STACK leave[%d]:%" PRIXPTR "->%" PRIXPTR, int(frames.count), frame,
                      ip);
    } catch (...) {
    }
}

// Everything but the common case of Mark: another thread, the stack not learnt yet, a frame that
// needs a probe, break stacks, a full table, a call from inside the marker.
[[gnu::noinline]] void MarkSlow(MarkStack& mark, uintptr_t frame, uintptr_t own) {
    if (gMarks.busy || !OnMainThread(own))
        return;
    gMarks.busy = true;
    mark.frame = MarkChecked(frame, own);
    gMarks.busy = false;
}

// Everything but the common case of UnMark: the leaving frame is not the innermost mark.
[[gnu::noinline]] void UnMarkSlow(uintptr_t frame) {
    if (gMarks.busy || !OnMainThread())
        return;
    gMarks.busy = true;
    UnMarkSearched(frame);
    gMarks.busy = false;
}

}  // namespace

// Mark and UnMark run on entry and exit of every marked call. The common case (the main thread
// on its own stack, no break stacks, room in the table, the innermost mark leaving) stores or
// drops one word in a leaf that sets up no frame of its own; everything else is a tail call to
// the checked way. The busy byte is set for good before the table is destroyed, so the common
// case needs no look at a destroyed table. Other threads stop at the stack test, before they
// read the table.
TARN_FRAMELESS void MarkStack::Mark(uintptr_t frame) {
    this->frame = frame;
    const uintptr_t own = StackPosition();
    Vector<uintptr_t>& frames = gMarks.frames;
    if (__builtin_expect(gMainStack.HoldsFrame(own, frame) && !gMarks.busy &&
                             gBreakStacks.count == 0 &&
                             (frames.count + 1) * kWord <= frames.capacity,
                         true)) {
        static_cast<uintptr_t*>(frames.data)[frames.count++] = frame;
        return;
    }
    MarkSlow(*this, frame, own);
}

TARN_FRAMELESS void MarkStack::UnMark(uintptr_t frame) {
    Vector<uintptr_t>& frames = gMarks.frames;
    if (__builtin_expect(gMainStack.Contains(StackPosition()) && !gMarks.busy &&
                             frames.count != 0 &&
                             static_cast<uintptr_t*>(frames.data)[frames.count - 1] == frame,
                         true)) {
        --frames.count;  // plain values: nothing to destroy, the storage stays
        return;
    }
    UnMarkSlow(frame);
}

uintptr_t MarkStack::GetIP(unsigned int index) {
    if (!OnMainThread() || index >= gMarks.frames.count)
        return kNoIP;
    return IPOf(index);
}

uintptr_t MarkStack::GetFirstIP() { return GetIP(0); }

uintptr_t MarkStack::GetLastIP() {
    if (!OnMainThread())
        return kNoIP;
    for (uint32_t i = gMarks.frames.count; i > 0; --i) {
        uintptr_t ip;
        if (ReadIP(MarkAt(i - 1), ip))
            return ip;
    }
    return kNoIP;
}

void MarkStack::Dump() {
    if (!OnMainThread())
        return;
    try {
        exceptout("STACK DUMP:\r\n");
        // The records mark frames of their own above these; the marks below stay as they are.
        for (uint32_t i = gMarks.frames.count; i > 0; --i) {
            const uintptr_t frame = MarkAt(i - 1);
            uintptr_t ip;
            if (ReadIP(frame, ip))
                exceptout("[%d]:%" PRIXPTR "->%" PRIXPTR, int(i - 1), frame, ip);
        }
    } catch (...) {
    }
}

void MarkStack::DumpStack(int file, uintptr_t frame) {
    if (!OnMainThread())
        return;
    const uint32_t marks = gMarks.frames.count;
    if (gDumpCount == 0 && marks == 0)
        return;
    gDumpCount = marks;
    bool ok = WriteText(file, "[STACK:", 7);
    if (marks == 0) {
        WriteText(file, "NotLogged]\r\n", 12);
        return;
    }
    if (ok) {
        for (uint32_t i = 0; ok && i < marks; ++i)
            ok = WriteIP(file, IPOf(i));
        if (ok)
            WriteText(file, "]\r\n", 3);
    }

    // Then the frame chain, in groups: each group walks up from a mark (or `frame`) until it
    // meets the next mark below which the chain does not reach; marks it passes are consumed.
    int k = int(marks);
    uintptr_t f = frame;
    if (frame == 0)
        f = MarkAt(--k);
    ok = WriteText(file, "Advanced STACK:\r\n", 17);
    for (;;) {
        if (ok)
            ok = WriteText(file, "[", 1);
        --k;
        for (int step = 0; step < kAdvancedFrames; ++step) {
            uintptr_t ip = kNoIP, next = 0;
            const bool readable = ReadIP(f, ip);
            if (!WriteIP(file, readable ? ip : kNoIP) || !readable || !ReadNext(f, next))
                break;
            bool below = false;
            while (k > 0 && !below) {
                const uintptr_t mark = MarkAt(k);
                if (next > mark)
                    break;
                if (next < mark)
                    below = true;
                else
                    --k;
            }
            if (below || next <= f)
                break;
            f = next;
        }
        if (ok)
            WriteText(file, "]\r\n", 3);
        if (k < 0)
            return;
        f = MarkAt(k);
    }
}
