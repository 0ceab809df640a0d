// The frame walk's view of the system on POSIX: the thread's stack from the process's memory
// map, the code of loaded modules from the loader's program headers.
//
// Signal safety. A fault report walks from inside the signal handler. What runs here then:
// reads of initial-exec thread-locals (plain memory), sigaltstack, open, read and close (all
// async-signal-safe), getrlimit (a plain system call), and dl_iterate_phdr, which takes the
// loader's lock: acceptable for the same reason the unwinder's own use of it is (a fault is
// synchronous; only a fault inside the loader itself could deadlock). Nothing allocates: the
// memory map is parsed from a buffer on the stack, the code ranges live in a fixed table.
#include "platform/stack.h"

#include "platform/win32.h"

#include <fcntl.h>
#include <link.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>

namespace tarn {
namespace {

// Read as plain memory, also inside a signal handler.
constinit thread_local StackBounds tStack TARN_STATIC_TLS = {};

// 0 until the thread first asks: the system call is made once per thread. (A forked child's
// thread keeps its parent's answer, as the child keeps the parent's Log.)
constinit thread_local uint32_t tThreadId TARN_STATIC_TLS = 0;

bool OnAlternateStack() {
    stack_t current = {};
    return sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_ONSTACK) != 0;
}

// One line of /proc/self/maps: "begin-end perms offset device inode   [name]".
bool ParseMapping(const char* line, const char* end, StackBounds& range, bool& isMainStack) {
    uintptr_t values[2] = {0, 0};
    const char* p = line;
    for (int i = 0; i < 2; ++i) {
        const char* start = p;
        for (; p < end; ++p) {
            char c = *p;
            int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
            if (digit < 0)
                break;
            values[i] = values[i] * 16 + digit;
        }
        if (p == start || p == end || *p != (i == 0 ? '-' : ' '))
            return false;
        ++p;
    }
    range = {values[0], values[1]};
    static constexpr char kStackName[] = "[stack]";
    constexpr int kNameLength = sizeof kStackName - 1;
    isMainStack = end - line >= kNameLength;
    for (int i = 0; isMainStack && i < kNameLength; ++i)
        isMainStack = end[i - kNameLength] == kStackName[i];
    return true;
}

// The main thread's stack grows down on demand: it may reach as far as the stack limit allows
// below its top, whatever its mapping covers now.
StackBounds GrowDown(StackBounds mapping) {
    rlimit limit = {};
    if (getrlimit(RLIMIT_STACK, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
        limit.rlim_cur < mapping.high && mapping.high - limit.rlim_cur < mapping.low)
        mapping.low = mapping.high - limit.rlim_cur;
    return mapping;
}

// The mapping that holds `address`, read line by line through a buffer on the stack.
StackBounds MappingOf(uintptr_t address) {
    int file = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    if (file < 0)
        return {};
    char buffer[2048];
    size_t used = 0;
    bool skippingLongLine = false;
    StackBounds found = {};
    for (;;) {
        ssize_t got = read(file, buffer + used, sizeof buffer - used);
        if (got <= 0)
            break;
        used += static_cast<size_t>(got);
        char* line = buffer;
        char* stop = buffer + used;
        for (char* p = buffer; p < stop; ++p) {
            if (*p != '\n')
                continue;
            StackBounds range;
            bool isMainStack = false;
            if (!skippingLongLine && ParseMapping(line, p, range, isMainStack) &&
                range.Contains(address)) {
                found = isMainStack ? GrowDown(range) : range;
                close(file);
                return found;
            }
            skippingLongLine = false;
            line = p + 1;
        }
        if (line == buffer) {  // a line longer than the buffer: its start has been looked at
            skippingLongLine = true;
            used = 0;
            continue;
        }
        used = static_cast<size_t>(stop - line);
        for (size_t i = 0; i < used; ++i)
            buffer[i] = line[i];
    }
    close(file);
    return found;
}

// The executable segments of the loaded modules, sorted by address, behind a sequence lock:
// readers never wait, a reader that overlaps a rewrite looks again or asks the loader directly.
// A module unloaded later keeps its ranges until the next rewrite; they only make a stale
// return address look plausible, never cause a read.
class CodeTable {
public:
    // The allocators walk the same few call paths again and again. Their return addresses lie
    // in another module than the one before, each a search of the table with a mispredicted
    // branch per step, and their walks end on the same few non-code words (the C library's
    // frames have no frame pointer), each a miss that asks the loader, under its lock, whether
    // modules came or went. Both answers are remembered until the table is rewritten.
    bool Find(uintptr_t address, uintptr_t& begin, uintptr_t& end) {
        std::atomic<uintptr_t>& known = known_[(address >> 2) % kKnown];
        if (known.load(std::memory_order_relaxed) == address)
            return true;
        if (Lookup(address, begin, end)) {
            known.store(address, std::memory_order_relaxed);
            return true;
        }
        std::atomic<uintptr_t>& miss = misses_[(address >> 3) % kMisses];
        if (miss.load(std::memory_order_relaxed) == address)
            return false;
        if (!ModulesChanged()) {
            miss.store(address, std::memory_order_relaxed);
            return false;
        }
        if (!Rewrite())
            return AskLoader(address, begin, end);
        return Lookup(address, begin, end);
    }

private:
    static constexpr int kMaxRanges = 512;
    static constexpr size_t kMisses = 64;
    static constexpr size_t kKnown = 1024;

    struct Range {
        std::atomic<uintptr_t> begin;
        std::atomic<uintptr_t> end;
    };
    struct Collected {
        uintptr_t begin[kMaxRanges];
        uintptr_t end[kMaxRanges];
        int count;
    };
    struct Search {
        uintptr_t address, begin, end;
    };
    struct Generation {
        unsigned long long adds, subs;
    };

    bool Lookup(uintptr_t address, uintptr_t& begin, uintptr_t& end) const {
        for (int attempt = 0; attempt < 2; ++attempt) {
            unsigned version = version_.load(std::memory_order_acquire);
            if (version & 1)
                continue;
            int low = 0, high = count_.load(std::memory_order_relaxed);
            while (low < high) {
                int middle = (low + high) / 2;
                if (ranges_[middle].end.load(std::memory_order_relaxed) <= address)
                    low = middle + 1;
                else
                    high = middle;
            }
            // Acquire loads keep the second read of the version behind them, as a fence
            // would; ThreadSanitizer does not model fences, and on x86 both are plain loads.
            uintptr_t b = 0, e = 0;
            if (low < count_.load(std::memory_order_relaxed)) {
                b = ranges_[low].begin.load(std::memory_order_acquire);
                e = ranges_[low].end.load(std::memory_order_acquire);
            }
            if (version_.load(std::memory_order_relaxed) != version)
                continue;
            if (address < b || address >= e)
                return false;
            begin = b, end = e;
            return true;
        }
        return false;
    }

    // The loader counts the modules it has loaded and unloaded; its first entry tells them.
    static Generation LoaderGeneration() {
        Generation now = {0, 0};
        dl_iterate_phdr(
            [](dl_phdr_info* info, size_t size, void* out) {
                if (size >= offsetof(dl_phdr_info, dlpi_subs) + sizeof info->dlpi_subs)
                    *static_cast<Generation*>(out) = {info->dlpi_adds, info->dlpi_subs};
                return 1;
            },
            &now);
        return now;
    }

    // Without the loader's counts every miss rewrites the table.
    bool ModulesChanged() const {
        Generation now = LoaderGeneration();
        return now.adds == 0 || now.adds != writtenAdds_.load(std::memory_order_relaxed) ||
               now.subs != writtenSubs_.load(std::memory_order_relaxed);
    }

    template <class Each>
    static void ForEachCodeSegment(dl_phdr_info* info, Each each) {
        for (int i = 0; i < info->dlpi_phnum; ++i) {
            const ElfW(Phdr)& segment = info->dlpi_phdr[i];
            if (segment.p_type != PT_LOAD || !(segment.p_flags & PF_X))
                continue;
            uintptr_t begin = info->dlpi_addr + segment.p_vaddr;
            each(begin, begin + segment.p_memsz);
        }
    }

    static int Collect(dl_phdr_info* info, size_t, void* raw) {
        Collected& out = *static_cast<Collected*>(raw);
        ForEachCodeSegment(info, [&](uintptr_t begin, uintptr_t end) {
            if (out.count == kMaxRanges)
                return;
            int i = out.count++;
            for (; i > 0 && out.begin[i - 1] > begin; --i) {
                out.begin[i] = out.begin[i - 1];
                out.end[i] = out.end[i - 1];
            }
            out.begin[i] = begin;
            out.end[i] = end;
        });
        return 0;
    }

    // False when another thread is rewriting the table right now.
    bool Rewrite() {
        if (rewriting_.test_and_set(std::memory_order_acquire))
            return false;
        Collected collected;
        collected.count = 0;
        Generation generation = LoaderGeneration();
        dl_iterate_phdr(&Collect, &collected);
        version_.fetch_add(1, std::memory_order_acq_rel);
        for (int i = 0; i < collected.count; ++i) {
            ranges_[i].begin.store(collected.begin[i], std::memory_order_relaxed);
            ranges_[i].end.store(collected.end[i], std::memory_order_relaxed);
        }
        count_.store(collected.count, std::memory_order_relaxed);
        for (std::atomic<uintptr_t>& miss : misses_)
            miss.store(0, std::memory_order_relaxed);
        for (std::atomic<uintptr_t>& known : known_)
            known.store(0, std::memory_order_relaxed);
        writtenAdds_.store(generation.adds, std::memory_order_relaxed);
        writtenSubs_.store(generation.subs, std::memory_order_relaxed);
        version_.fetch_add(1, std::memory_order_release);
        rewriting_.clear(std::memory_order_release);
        return true;
    }

    static bool AskLoader(uintptr_t address, uintptr_t& begin, uintptr_t& end) {
        Search search = {address, 0, 0};
        dl_iterate_phdr(
            [](dl_phdr_info* info, size_t, void* raw) {
                Search& s = *static_cast<Search*>(raw);
                ForEachCodeSegment(info, [&](uintptr_t b, uintptr_t e) {
                    if (s.address >= b && s.address < e)
                        s.begin = b, s.end = e;
                });
                return s.end != 0 ? 1 : 0;
            },
            &search);
        begin = search.begin, end = search.end;
        return search.end != 0;
    }

    Range ranges_[kMaxRanges] = {};
    std::atomic<uintptr_t> misses_[kMisses] = {};  // words known not to be code
    std::atomic<uintptr_t> known_[kKnown] = {};    // return addresses known to be code
    std::atomic<int> count_{0};
    std::atomic<unsigned> version_{0};
    std::atomic_flag rewriting_ = ATOMIC_FLAG_INIT;
    std::atomic<unsigned long long> writtenAdds_{0};  // the loader's counts the table is from
    std::atomic<unsigned long long> writtenSubs_{0};
};

constinit CodeTable gCode;

}  // namespace

uint32_t CurrentThreadId() {
    if (tThreadId == 0)
        tThreadId = GetCurrentThreadId();
    return tThreadId;
}

StackBounds ThreadStack(uintptr_t onStack) {
    if (tStack.high != 0)
        return tStack;
    // On the alternate stack the caller's own position says nothing about the thread's stack;
    // `onStack` may come from a faulting context, so what it gives is not kept.
    if (OnAlternateStack())
        return MappingOf(onStack);
    char here = 0;
    StackBounds bounds = MappingOf(reinterpret_cast<uintptr_t>(&here));
    tStack = bounds;
    return bounds;
}

bool CodeRanges::Find(uintptr_t address) { return gCode.Find(address, begin_, end_); }

int UnwindFromFrame(uintptr_t*, int, uintptr_t, int) { return -1; }

}  // namespace tarn
