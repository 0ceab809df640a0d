// LazyLock: first-entry initialisation, safe when several threads enter a fresh lock at once.
#include "log/lazylock.h"

#include "platform/win32.h"

#include <atomic>

namespace {

// Serialises the initialisation of every LazyLock; taken only while a lock is not initialised.
constinit std::atomic_flag gInitialising = ATOMIC_FLAG_INIT;

// Log writes hold the lock for about one system call: a thread that finds it taken pauses for
// a few of them (3 to 7 microseconds) before it sleeps, which spares both threads a sleep and
// a wake when they meet, and lets the owner leave the sleepers asleep. Longer spins only take
// the processor from the owner when the threads outnumber the processors.
constexpr DWORD kSpinCount = 128;

CRITICAL_SECTION* Section(unsigned char* storage) {
    return reinterpret_cast<CRITICAL_SECTION*>(storage);
}

}  // namespace

// A lock in static storage is zero before its construction, which reads as "not yet
// initialised"; construction initialises it unless an early entry already did.
LazyLock::LazyLock() { Initialise(); }

void LazyLock::Initialise() {
    static_assert(sizeof(CRITICAL_SECTION) <= sizeof(section_));
    static_assert(alignof(CRITICAL_SECTION) <= alignof(LazyLock));
    while (gInitialising.test_and_set(std::memory_order_acquire))
        __builtin_ia32_pause();
    if (__atomic_load_n(&self_, __ATOMIC_RELAXED) != this) {
        InitializeCriticalSectionAndSpinCount(Section(section_), kSpinCount);
        __atomic_store_n(&self_, this, __ATOMIC_RELEASE);
    }
    gInitialising.clear(std::memory_order_release);
}

LazyLock::~LazyLock() {
    __atomic_store_n(&self_, nullptr, __ATOMIC_RELEASE);
    DeleteCriticalSection(Section(section_));
}

void LazyLock::Enter() {
    if (__atomic_load_n(&self_, __ATOMIC_ACQUIRE) != this)
        Initialise();
    EnterCriticalSection(Section(section_));
}

bool LazyLock::TryEnter() {
    if (__atomic_load_n(&self_, __ATOMIC_ACQUIRE) != this)
        Initialise();
    return TryEnterCriticalSection(Section(section_)) != FALSE;
}

void LazyLock::Leave() { LeaveCriticalSection(Section(section_)); }
