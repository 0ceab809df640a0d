// LazyLock: the re-entrant lock of the process log and of the memory manager. It initialises
// itself on first entry, so it works before its static construction and again after its
// destruction (log lines written by objects destroyed after the lock still work).
#pragma once

#include "platform/win32.h"

namespace tarn {

class LazyLock {
public:
    // A lock in static storage is zero before its construction, which reads as "not yet
    // initialised"; construction initialises it unless an early entry already did.
    LazyLock() { Initialise(); }
    // Marks the lock uninitialised before the section goes, so that a later entry builds it
    // afresh (the section of such a late entry is never deleted: the process is ending).
    ~LazyLock();
    LazyLock(const LazyLock&) = delete;
    LazyLock& operator=(const LazyLock&) = delete;

    void Enter() {
        if (__atomic_load_n(&self_, __ATOMIC_ACQUIRE) != this)
            Initialise();
        EnterCriticalSection(&section_);
    }
    void Leave() { LeaveCriticalSection(&section_); }

    // Enters on construction, leaves on destruction.
    class Guard {
    public:
        explicit Guard(LazyLock& lock) : lock_(lock) { lock_.Enter(); }
        ~Guard() { lock_.Leave(); }
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;

    private:
        LazyLock& lock_;
    };

private:
    void Initialise();

    CRITICAL_SECTION section_;
    LazyLock* self_;   // this when the section is initialised
};

}  // namespace tarn
