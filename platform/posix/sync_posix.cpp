// Critical sections on POSIX: a word of state behind a futex, with the owner and its entry count
// beside it, so that the owning thread may enter again as Windows allows. A spin before sleeping
// keeps short sections (the allocator's) out of the kernel when two threads meet.
//
// A thread that leaves while another spins for the section leaves the sleepers asleep: the
// spinner takes the section, or finds it free when it goes to sleep itself, and wakes one when
// it leaves. Every wake makes one more thread runnable, which may push the owner off its
// processor while it holds the section; with more threads than processors the spinner and the
// owner pass the section between them without the kernel. A sleeper is woken at the latest
// after kMostPassed such leaves. Every sleeper has spun first and cleared the mark as it stopped,
// so a mark left in a forked child by a thread the child does not have keeps no sleeper asleep.
#include "platform/win32.h"

#include <linux/futex.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>

namespace {

enum : uint32_t { kFree = 0, kTaken = 1, kSleepers = 2, kFreeWithSleepers = 3 };
constexpr uint32_t kMostPassed = 256;

std::atomic_ref<uint32_t> State(LPCRITICAL_SECTION section) {
    return std::atomic_ref<uint32_t>(section->state);
}

std::atomic_ref<uintptr_t> Owner(LPCRITICAL_SECTION section) {
    return std::atomic_ref<uintptr_t>(section->owner);
}

// The calling thread's control block: unique among live threads, read without a call.
uintptr_t Me() { return reinterpret_cast<uintptr_t>(__builtin_thread_pointer()); }

void Futex(uint32_t* word, int operation, uint32_t value) {
    syscall(SYS_futex, word, operation | FUTEX_PRIVATE_FLAG, value, nullptr, nullptr, 0);
}

std::atomic_ref<uint32_t> Spinning(LPCRITICAL_SECTION section) {
    return std::atomic_ref<uint32_t>(section->spinning);
}

// Takes a free section; one that has sleepers stays marked so.
bool TakeFree(LPCRITICAL_SECTION section) {
    uint32_t expected = kFree;
    if (State(section).compare_exchange_strong(expected, kTaken, std::memory_order_acquire,
                                               std::memory_order_relaxed))
        return true;
    return expected == kFreeWithSleepers &&
           State(section).compare_exchange_strong(expected, kSleepers, std::memory_order_acquire,
                                                  std::memory_order_relaxed);
}

bool IsFree(uint32_t state) { return state == kFree || state == kFreeWithSleepers; }

bool SomeoneSpins(LPCRITICAL_SECTION section) { return Spinning(section).load() != 0; }

// True when the caller holds the section now, entered once more.
bool EnterAgainOrTake(LPCRITICAL_SECTION section) {
    if (Owner(section).load(std::memory_order_relaxed) == Me()) {
        ++section->recursion;
        return true;
    }
    if (!TakeFree(section))
        return false;
    Owner(section).store(Me(), std::memory_order_relaxed);
    section->recursion = 1;
    return true;
}

}  // namespace

void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION section) {
    InitializeCriticalSectionAndSpinCount(section, 0);
}

BOOL WINAPI InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION section, DWORD spinCount) {
    *section = CRITICAL_SECTION{kFree, 0, 0, spinCount, 0, 0};
    return TRUE;
}

void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION) {}

void WINAPI EnterCriticalSection(LPCRITICAL_SECTION section) {
    if (EnterAgainOrTake(section))
        return;
    // The waiter looks again after twice as many pauses each time: the owner, when it comes
    // back soon, finds the section free and goes on with its lines still in its cache, rather
    // than both threads taking every line from each other on every entry.
    std::atomic_ref<uint32_t> state = State(section);
    bool taken = false;
    if (section->spinCount != 0) {
        Spinning(section).store(1);
        // The waiter looks at least eight times during its spin.
        const uint32_t longest = section->spinCount / 8 > 1 ? section->spinCount / 8 : 1;
        for (uint32_t spun = 0, pauses = 1; spun < section->spinCount && !taken; spun += pauses) {
            for (uint32_t i = 0; i < pauses; ++i)
                __builtin_ia32_pause();
            pauses = pauses < longest ? 2 * pauses : pauses;
            taken = IsFree(state.load(std::memory_order_relaxed)) && TakeFree(section);
        }
        // Before the exchange below: a leave that saw the mark has already left the section
        // free for it.
        Spinning(section).store(0);
    }
    // From here on the state says "sleepers" while anyone may sleep, so that Leave wakes one.
    if (!taken) {
        while (!IsFree(state.exchange(kSleepers)))
            Futex(&section->state, FUTEX_WAIT, kSleepers);
    }
    Owner(section).store(Me(), std::memory_order_relaxed);
    section->recursion = 1;
}

BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION section) {
    return EnterAgainOrTake(section);
}

void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION section) {
    if (--section->recursion != 0)
        return;
    Owner(section).store(0, std::memory_order_relaxed);
    std::atomic_ref<uint32_t> state = State(section);
    uint32_t expected = kTaken;
    if (state.compare_exchange_strong(expected, kFree, std::memory_order_release,
                                      std::memory_order_relaxed))
        return;
    // Taken with sleepers; entries that go to sleep now leave the state as it is.
    if (section->passed < kMostPassed && SomeoneSpins(section)) {
        ++section->passed;
        state.store(kFreeWithSleepers);
        // The spinner may have stopped before it saw the section free: then it sleeps too.
        if (SomeoneSpins(section))
            return;
    } else {
        section->passed = 0;
        state.store(kFree, std::memory_order_release);
    }
    Futex(&section->state, FUTEX_WAKE, 1);
}

// ---- Thread slots ----

namespace {

constexpr DWORD kThreadSlots = 64;

// A slot's generation is odd while it is handed out; a thread's value counts only under the
// generation it was set in.
struct ThreadSlot {
    uint32_t generation;
    LPVOID value;
};
constinit std::atomic<uint32_t> gSlotGeneration[kThreadSlots] = {};
constinit thread_local ThreadSlot tSlots[kThreadSlots] TARN_STATIC_TLS = {};

enum SlotState : uint32_t { kUnused, kHandedOut };

SlotState StateOf(uint32_t generation) { return SlotState(generation % 2); }

// Moves the slot from state `from` to the other; false when it is not in `from`.
bool Turn(DWORD slot, SlotState from) {
    uint32_t generation = gSlotGeneration[slot].load(std::memory_order_relaxed);
    while (StateOf(generation) == from)
        if (gSlotGeneration[slot].compare_exchange_weak(generation, generation + 1,
                                                        std::memory_order_acq_rel))
            return true;
    return false;
}

}  // namespace

DWORD WINAPI TlsAlloc() {
    for (DWORD slot = 0; slot < kThreadSlots; ++slot)
        if (Turn(slot, kUnused))
            return slot;
    SetLastError(ERROR_NO_MORE_ITEMS);
    return TLS_OUT_OF_INDEXES;
}

BOOL WINAPI TlsFree(DWORD slot) {
    if (slot < kThreadSlots && Turn(slot, kHandedOut))
        return TRUE;
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
}

LPVOID WINAPI TlsGetValue(DWORD slot) {
    if (slot >= kThreadSlots) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    SetLastError(ERROR_SUCCESS);
    const ThreadSlot& mine = tSlots[slot];
    return mine.generation == gSlotGeneration[slot].load(std::memory_order_relaxed) ? mine.value
                                                                                    : nullptr;
}

BOOL WINAPI TlsSetValue(DWORD slot, LPVOID value) {
    const uint32_t generation =
        slot < kThreadSlots ? gSlotGeneration[slot].load(std::memory_order_relaxed) : 0;
    if (StateOf(generation) != kHandedOut) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    tSlots[slot] = {generation, value};
    return TRUE;
}

BOOL WINAPI SwitchToThread() {
    sched_yield();
    return TRUE;
}
