// The call-stack marker: the main thread's table of marked frames, the break stacks harvested
// from the previous run, and the frame walk that crash reports and the memory manager use.
#include "log/markstack.h"

#include "log/faults.h"
#include "log/startorder.h"
#include "platform/stack.h"
#include "platform/win32.h"
#include "tarnkernl/log.h"

#include <cinttypes>

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

bool OnMainThread() {
    return CurrentThreadId() == GetProcess().mainThreadId;
}

uintptr_t Word(uintptr_t address) {
    return *reinterpret_cast<const volatile uintptr_t*>(address);
}

// The return address stored in `frame`, when it can be read; a fault is an answer, not an error.
bool ReadIP(uintptr_t frame, uintptr_t& ip) {
    QuietFaults quiet;
    try {
        ip = Word(frame + kWord);
        return true;
    } catch (unsigned long) {
        return false;
    }
}

// The caller of the function whose frame is `frame`, when it can be read.
bool ReadNext(uintptr_t frame, uintptr_t& next) {
    QuietFaults quiet;
    try {
        next = Word(frame);
        return true;
    } catch (unsigned long) {
        return false;
    }
}

uintptr_t MarkAt(uint32_t index) {
    return *gMarks.frames.At(index);
}

uintptr_t IPOf(uint32_t index) {
    uintptr_t ip;
    return ReadIP(MarkAt(index), ip) ? ip : MarkStack::kNoIP;
}

bool WriteAll(int file, const char* text, UINT length) {
    return _lwrite(file, text, length) == length;
}

// " EIP=0x" and the address in upper-case hexadecimal, at least eight digits, as
// " EIP=0x%08" PRIXPTR gives it; by hand, since it is also written from inside a fault report.
bool WriteIP(int file, uintptr_t ip) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    char text[7 + 2 * sizeof(uintptr_t)] = {' ', 'E', 'I', 'P', '=', '0', 'x'};
    int digits = 8;
    while (digits < int(2 * sizeof(uintptr_t)) && (ip >> (4 * digits)) != 0) ++digits;
    for (int i = 0; i < digits; ++i) text[7 + i] = kDigits[(ip >> (4 * (digits - 1 - i))) & 0xF];
    return WriteAll(file, text, 7 + digits);
}

// Follows the frame-pointer chain. Each frame must lie on the calling thread's stack, aligned,
// above the one before, and hold a return address into code; the first frame that does not ends
// the walk, so code without frame pointers (the C library's) ends it instead of giving garbage.
// The caller keeps faults quiet.
int FollowChain(uintptr_t* out, int max, uintptr_t frame, int skip) {
    const StackBounds stack = ThreadStack(frame);
    CodeRanges code;
    int count = 0;
    try {
        for (uintptr_t f = frame; count < skip + max;) {
            if (f % kWord != 0 || !stack.Contains(f) || !stack.Contains(f + 2 * kWord - 1)) break;
            const uintptr_t ip = Word(f + kWord);
            if (!code.Contains(ip)) break;
            if (count >= skip) out[count - skip] = ip;
            ++count;
            const uintptr_t next = Word(f);
            if (next <= f) break;
            f = next;
        }
    } catch (unsigned long) {
    }
    return count;
}

}  // namespace

int WalkFrames(uintptr_t* out, int max, uintptr_t frame, int skip) {
    if (max < 0) return 0;
    if (skip < 0) skip = 0;
    if (frame == 0) frame = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    int count;
    {
        QuietFaults quiet;
        count = UnwindFromFrame(out, max, frame, skip);
        if (count < 0) count = FollowChain(out, max, frame, skip);
    }
    for (int i = count > skip ? count - skip : 0; i < max; ++i) out[i] = 0;
    return count;
}

void WriteAdvancedStack(int file, uintptr_t frame) {
    if (frame == 0) frame = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    if (!WriteAll(file, "[Advanced STACK:", 16)) return;
    uintptr_t ips[kAdvancedFrames];
    const int count = WalkFrames(ips, kAdvancedFrames, frame, 0);
    for (int i = 0; i < count; ++i) {
        if (!WriteIP(file, ips[i])) return;
    }
    WriteAll(file, "]\r\n", 3);
}

bool AddBreakStack(const uintptr_t* ips, int count) {
    if (count <= 0) return false;
    for (uint32_t e = 0; e < gBreakStacks.count; ++e) {
        const Vector<uintptr_t>& entry = *gBreakStacks.At(e);
        bool same = entry.count == uint32_t(count);
        for (int i = 0; same && i < count; ++i) same = *entry.At(i) == ips[i];
        if (same) return true;
    }
    if (!gBreakStacks.SetCount(gBreakStacks.count + 1)) return false;
    Vector<uintptr_t>& entry = *gBreakStacks.At(gBreakStacks.count - 1);
    if (!entry.SetCount(count)) {
        gBreakStacks.RemoveAt(gBreakStacks.count - 1);
        return false;
    }
    for (int i = 0; i < count; ++i) *entry.At(i) = ips[i];
    return true;
}

uint32_t MarkCountForTesting() {
    return gMarks.frames.count;
}

uint32_t BreakStackCountForTesting() {
    return gBreakStacks.count;
}

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
            if (entry.count != marks + 1 || *entry.At(marks) != ip) continue;
            bool match = true;
            for (uint32_t k = marks; match && k > 0; --k) match = *entry.At(k - 1) == IPOf(k - 1);
            if (!match) continue;
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

void MarkStack::Mark(uintptr_t frame) {
    this->frame = frame;
    if (gMarks.busy || !OnMainThread()) return;
    gMarks.busy = true;
    try {
        uintptr_t ip = 0;
        const bool readable = ReadIP(frame, ip);
        if (!readable) this->frame = 0;
        else if (gBreakStacks.count != 0) CheckBreakStacks(ip);
        if (!gMarks.frames.Append(this->frame) && readable)
            exceptout("INVALID entry[%d]:%" PRIXPTR "->%" PRIXPTR, int(gMarks.frames.count), frame,
                      ip);
    } catch (...) {
    }
    gMarks.busy = false;
}

void MarkStack::UnMark(uintptr_t frame) {
    if (gMarks.busy || !OnMainThread()) return;
    gMarks.busy = true;
    try {
        Vector<uintptr_t>& frames = gMarks.frames;
        uint32_t i = frames.count;
        while (i > 0 && MarkAt(i - 1) != frame) --i;
        uintptr_t ip;
        if (i > 0)
            frames.SetCount(i - 1);
        else if (ReadIP(frame, ip))
            exceptout("INVALID STACK leave[%d]:%" PRIXPTR "->%" PRIXPTR, int(frames.count), frame,
                      ip);
    } catch (...) {
    }
    gMarks.busy = false;
}

uintptr_t MarkStack::GetIP(unsigned int index) {
    if (!OnMainThread() || index >= gMarks.frames.count) return kNoIP;
    return IPOf(index);
}

uintptr_t MarkStack::GetFirstIP() {
    return GetIP(0);
}

uintptr_t MarkStack::GetLastIP() {
    if (!OnMainThread()) return kNoIP;
    for (uint32_t i = gMarks.frames.count; i > 0; --i) {
        uintptr_t ip;
        if (ReadIP(MarkAt(i - 1), ip)) return ip;
    }
    return kNoIP;
}

void MarkStack::Dump() {
    if (!OnMainThread()) return;
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
    if (!OnMainThread()) return;
    const uint32_t marks = gMarks.frames.count;
    if (gDumpCount == 0 && marks == 0) return;
    gDumpCount = marks;
    bool ok = WriteAll(file, "[STACK:", 7);
    if (marks == 0) {
        WriteAll(file, "NotLogged]\r\n", 12);
        return;
    }
    if (ok) {
        for (uint32_t i = 0; ok && i < marks; ++i) ok = WriteIP(file, IPOf(i));
        if (ok) WriteAll(file, "]\r\n", 3);
    }

    // Then the frame chain, in groups: each group walks up from a mark (or `frame`) until it
    // meets the next mark below which the chain does not reach; marks it passes are consumed.
    int k = int(marks);
    uintptr_t f = frame;
    if (frame == 0) f = MarkAt(--k);
    ok = WriteAll(file, "Advanced STACK:\r\n", 17);
    for (;;) {
        if (ok) ok = WriteAll(file, "[", 1);
        --k;
        for (int step = 0; step < kAdvancedFrames; ++step) {
            uintptr_t ip = kNoIP, next = 0;
            const bool readable = ReadIP(f, ip);
            if (!WriteIP(file, readable ? ip : kNoIP) || !readable || !ReadNext(f, next)) break;
            bool below = false;
            while (k > 0 && !below) {
                const uintptr_t mark = MarkAt(k);
                if (next > mark) break;
                if (next < mark) below = true;
                else --k;
            }
            if (below || next <= f) break;
            f = next;
        }
        if (ok) WriteAll(file, "]\r\n", 3);
        if (k < 0) return;
        f = MarkAt(k);
    }
}
