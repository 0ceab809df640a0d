// The frame walk's view of the system on Windows: the thread's stack limits from the system,
// code found by asking for the memory's protection, and on x64 the system's unwinder.
//
// Fault reports run on the faulting thread's own stack here, after the vectored handler has
// redirected the thread; nothing below allocates or takes a lock of the C runtime.
#include "platform/stack.h"

#include "platform/win32.h"

namespace tarn {

uint32_t CurrentThreadId() { return GetCurrentThreadId(); }

StackBounds ThreadStack(uintptr_t) {
    ULONG_PTR low = 0, high = 0;
    GetCurrentThreadStackLimits(&low, &high);
    return {low, high};
}

bool CodeRanges::Find(uintptr_t address) {
    MEMORY_BASIC_INFORMATION region = {};
    if (VirtualQuery(reinterpret_cast<void*>(address), &region, sizeof region) == 0)
        return false;
    constexpr DWORD kExecutable =
        PAGE_EXECUTE | PAGE_EXECUTE_READ | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
    if (region.State != MEM_COMMIT || !(region.Protect & kExecutable))
        return false;
    begin_ = reinterpret_cast<uintptr_t>(region.BaseAddress);
    end_ = begin_ + region.RegionSize;
    return true;
}

#if defined(__x86_64__)

// GCC's x64 prologues point RBP into the middle of a frame whenever they save other registers
// or reserve a large frame ("lea rbp, [rsp + n]" after the pushes): the saved RBP and the return
// address are then not at [RBP] and [RBP + 8], and the chain breaks at such a function. (One
// that takes its own frame address, as a marked function does, keeps RBP at its saved RBP, so
// the frames handed to the walk are RBP values.) Every function has unwind information, though:
// the system's unwinder steps from the walker's own context to its callers, and the walk starts
// at the outermost of the consecutive functions whose RBP is `frame` (a function that does not
// set RBP up inherits its caller's).
int UnwindFromFrame(uintptr_t* out, int max, uintptr_t frame, int skip) {
    const StackBounds stack = ThreadStack(0);
    if (!stack.Contains(frame))
        return -1;
    CodeRanges code;
    CONTEXT context;
    RtlCaptureContext(&context);
    bool found = false;
    int count = 0;
    // Enough steps to reach any frame of a real call path; a cycle must not spin for ever.
    for (int step = 0; step < 4096 && count < skip + max; ++step) {
        const DWORD64 rbp = context.Rbp;
        const DWORD64 rsp = context.Rsp;
        DWORD64 imageBase = 0;
        PRUNTIME_FUNCTION function = RtlLookupFunctionEntry(context.Rip, &imageBase, nullptr);
        if (function) {
            void* handlerData = nullptr;
            DWORD64 establisher = 0;
            RtlVirtualUnwind(UNW_FLAG_NHANDLER, imageBase, context.Rip, function, &context,
                             &handlerData, &establisher, nullptr);
        } else {
            // A leaf function: the return address lies at the stack pointer.
            if (!stack.Contains(rsp))
                break;
            context.Rip = *reinterpret_cast<const DWORD64*>(rsp);
            context.Rsp = rsp + 8;
        }
        if (context.Rip == 0 || context.Rsp <= rsp || !stack.Contains(context.Rsp))
            break;
        if (!found) {
            found = rbp == frame && context.Rbp != frame;
            if (!found)
                continue;
        }
        if (!code.Contains(context.Rip))
            break;
        if (count >= skip)
            out[count - skip] = context.Rip;
        ++count;
    }
    return found ? count : -1;
}

#else

// On 32-bit x86 every prologue is "push ebp; mov ebp, esp": the chain is the way.
int UnwindFromFrame(uintptr_t*, int, uintptr_t, int) { return -1; }

#endif

}  // namespace tarn
