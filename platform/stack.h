// What the frame walk needs to know of the system: the calling thread's stack, where code lies,
// and, where frame pointers do not chain, the system's own unwinder. One body per system:
// platform/posix/stack_posix.cpp, platform/win32/stack_win32.cpp.
//
// Everything here may run inside a fault report (a signal handler on POSIX): it neither
// allocates nor takes a lock that the faulting code may hold; each body says what it calls.
#pragma once

#include <cstdint>

namespace tarn {

// The calling thread's identifier, as GetCurrentThreadId gives it, cheaply enough to be asked on
// every marked call.
uint32_t CurrentThreadId();

// An address on the calling thread's stack at its present depth, read without setting up a frame:
// the call-stack marker's fast path asks it on every marked call.
[[gnu::always_inline]] inline uintptr_t StackPosition() {
    uintptr_t position;
#if defined(__x86_64__)
    asm("mov %%rsp, %0" : "=r"(position));
#elif defined(__i386__)
    asm("mov %%esp, %0" : "=r"(position));
#else
    position = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
#endif
    return position;
}

// A function whose common path is a leaf: it sets up no frame of its own, and its other paths
// leave by a tail call, so the frame chain of its callers stays whole.
#if defined(__clang__)
#define TARN_FRAMELESS
#else
#define TARN_FRAMELESS [[gnu::optimize("omit-frame-pointer")]]
#endif

struct StackBounds {
    uintptr_t low = 0;   // lowest address the stack may use
    uintptr_t high = 0;  // one past its highest address

    bool Contains(uintptr_t address) const { return address >= low && address < high; }
};

// The calling thread's normal stack, also while the thread runs a fault report on its alternate
// signal stack. `onStack` is an address known to lie on that stack (the frame a walk starts
// from); it is only consulted when the bounds are not known yet and cannot be taken from the
// caller's own position. Empty bounds when the system cannot tell.
StackBounds ThreadStack(uintptr_t onStack);

// Answers "does this address lie in executable code of a loaded module?" for one walk. It keeps
// the last code range found: consecutive return addresses mostly lie in the same module.
class CodeRanges {
public:
    bool Contains(uintptr_t address) { return address - begin_ < end_ - begin_ || Find(address); }

private:
    // Looks the address up in the system's view and keeps the range it lies in.
    bool Find(uintptr_t address);

    uintptr_t begin_ = 0;
    uintptr_t end_ = 0;
};

// Where the frame-pointer chain cannot be followed (Windows x64, whose prologues may point the
// frame register into the middle of the frame), the system's unwinder walks the calling thread's
// current call path instead: from the function whose frame register holds `frame`, `skip`
// return addresses are passed over and up to `max` collected into `out`. Returns the number of
// return addresses read, skipped ones included; -1 where the chain is the way, or when `frame`
// is not on the current call path.
int UnwindFromFrame(uintptr_t* out, int max, uintptr_t frame, int skip);

}  // namespace tarn
