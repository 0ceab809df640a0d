// LazyLock: first-entry initialisation, safe when several threads enter a fresh lock at once.
#include "log/lazylock.h"

#include <atomic>

namespace tarn {
namespace {

// Serialises the initialisation of every LazyLock; taken only while a lock is not initialised.
constinit std::atomic_flag gInitialising = ATOMIC_FLAG_INIT;

}  // namespace

void LazyLock::Initialise() {
    while (gInitialising.test_and_set(std::memory_order_acquire))
        __builtin_ia32_pause();
    if (__atomic_load_n(&self_, __ATOMIC_RELAXED) != this) {
        InitializeCriticalSection(&section_);
        __atomic_store_n(&self_, this, __ATOMIC_RELEASE);
    }
    gInitialising.clear(std::memory_order_release);
}

LazyLock::~LazyLock() {
    __atomic_store_n(&self_, nullptr, __ATOMIC_RELEASE);
    DeleteCriticalSection(&section_);
}

}  // namespace tarn
