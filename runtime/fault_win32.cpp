// Machine faults become C++ exceptions on Windows (mingw-w64). GCC can neither use a
// structured-exception translator nor throw from a vectored handler, so the handler only
// redirects the faulting thread: it keeps the record and context for the thread and resumes it
// at tarn_FaultEntry (fault_entry_*.S), a frame whose unwind information makes it look called
// from the faulting instruction. From there tarn_RaiseFault calls the thread's translator, and
// its exception unwinds through the faulting function as if thrown by a call made there.
//
// Only faults at an address inside one of our modules (any module not under the Windows
// directory) are taken; the system's own faults are left to the system, whose handlers expect
// them (the real IsBadReadPtr probes that way).
#include "runtime/fault.h"

#include "platform/win32.h"
#include "tarnkernl/tarnrt.h"

#include <atomic>

extern "C" void tarn_FaultEntry();

namespace tarn {
namespace {

// A translator that faults is translated again, up to this depth; deeper, the process ends
// rather than recurse.
constexpr int kMaxNesting = 4;

// After a stack overflow the system leaves the thread this much stack (SetThreadStackGuarantee)
// for the handling. Delivering a fault as an exception takes about 13 KiB (measured under Wine:
// the system's dispatch, the translator, the unwinder); with less room than kDeliveryRoom left,
// the process ends with the code instead. Wine 8 ignores the guarantee and leaves one page.
constexpr ULONG kOverflowReserve = 64 * 1024;
constexpr uintptr_t kDeliveryRoom = 32 * 1024;

// Made on the thread's first fault of our own code, inside the handler (the C runtime's heap,
// which our code never faults inside of).
struct ThreadFaults {
    EXCEPTION_RECORD record;  // the last fault taken, until tarn_RaiseFault copies it
    CONTEXT context;
    bool inHandler;  // the handler keeps a fault: a fault now is not ours to take
    int nesting;     // translator calls active on this thread
};
thread_local ThreadFaults tFaults;

bool IsMachineFault(DWORD code) {
    switch (code) {
        case EXCEPTION_ACCESS_VIOLATION:
        case EXCEPTION_IN_PAGE_ERROR:
        case EXCEPTION_DATATYPE_MISALIGNMENT:
        case EXCEPTION_ILLEGAL_INSTRUCTION:
        case EXCEPTION_PRIV_INSTRUCTION:
        case EXCEPTION_INT_DIVIDE_BY_ZERO:
        case EXCEPTION_INT_OVERFLOW:
        case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
        case EXCEPTION_FLT_DENORMAL_OPERAND:
        case EXCEPTION_FLT_DIVIDE_BY_ZERO:
        case EXCEPTION_FLT_INEXACT_RESULT:
        case EXCEPTION_FLT_INVALID_OPERATION:
        case EXCEPTION_FLT_OVERFLOW:
        case EXCEPTION_FLT_STACK_CHECK:
        case EXCEPTION_FLT_UNDERFLOW:
        case EXCEPTION_BREAKPOINT:
        case EXCEPTION_SINGLE_STEP:
        case EXCEPTION_STACK_OVERFLOW:
            return true;
        default:
            return false;
    }
}

// Which modules are ours, remembered per module: the answer needs the module's file name, which
// costs the loader lock. An entry is the module's base (64 KiB aligned) with bit 0 set for ours.
// Entries are never removed: a module unloaded and another loaded at the same base would inherit
// the answer, which the family's modules (loaded for the life of the process) never see.
class ModuleCache {
public:
    void Init() {
        UINT length = GetSystemWindowsDirectoryA(windows_, sizeof windows_);
        windowsLength_ = length < sizeof windows_ ? length : 0;
    }

    bool IsOurs(const void* address) {
        HMODULE module = nullptr;
        if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                    GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                static_cast<LPCSTR>(address), &module)) {
            return false;
        }
        auto base = reinterpret_cast<uintptr_t>(module);
        for (std::atomic<uintptr_t>& entry : entries_) {
            uintptr_t known = entry.load(std::memory_order_acquire);
            if (known == 0)
                break;
            if ((known & ~uintptr_t{1}) == base)
                return known & 1;
        }
        bool ours = !IsUnderWindows(module);
        uintptr_t mine = base | (ours ? 1 : 0);
        for (std::atomic<uintptr_t>& entry : entries_) {
            uintptr_t none = 0;
            if (entry.compare_exchange_strong(none, mine) || (none & ~uintptr_t{1}) == base)
                break;
        }
        return ours;
    }

private:
    bool IsUnderWindows(HMODULE module) const {
        char path[MAX_PATH];
        DWORD length = GetModuleFileNameA(module, path, sizeof path);
        return windowsLength_ != 0 && length > windowsLength_ &&
               _strnicmp(path, windows_, windowsLength_) == 0 && path[windowsLength_] == '\\';
    }

    std::atomic<uintptr_t> entries_[64] = {};
    char windows_[MAX_PATH] = {};
    UINT windowsLength_ = 0;
};

constinit ModuleCache gModules;

// A fault that nothing takes ends the process quietly, its exit code the exception code: no
// system dialog, and no debugger started under Wine.
[[noreturn]] void EndProcess(DWORD code) {
    TerminateProcess(GetCurrentProcess(), code);
    ExitProcess(code);
}

LONG CALLBACK OnUnhandled(EXCEPTION_POINTERS* info) {
    EndProcess(info->ExceptionRecord->ExceptionCode);
}

// The stack left to the faulting thread below its stack pointer.
uintptr_t StackRoom(const CONTEXT& context) {
#if defined(__x86_64__)
    uintptr_t sp = context.Rsp;
#else
    uintptr_t sp = context.Esp;
#endif
    MEMORY_BASIC_INFORMATION region;
    if (!VirtualQuery(reinterpret_cast<void*>(sp), &region, sizeof region))
        return 0;
    return sp - reinterpret_cast<uintptr_t>(region.AllocationBase);
}

// Keeps the fault for the thread and makes it continue as a call of tarn_FaultEntry, with the
// faulting address + 1 in ecx/rcx: the return address that places the unwinder inside the
// faulting instruction.
void Redirect(ThreadFaults& thread, const EXCEPTION_RECORD& record, CONTEXT& context) {
    thread.record = record;
    thread.record.ExceptionRecord = nullptr;
    thread.context = context;
    auto address = reinterpret_cast<uintptr_t>(record.ExceptionAddress);
#if defined(__x86_64__)
    thread.context.Rip = address;  // a breakpoint names the int3 itself, as the record does
    context.Rcx = address + 1;
    context.Rip = reinterpret_cast<uintptr_t>(&tarn_FaultEntry);
#else
    thread.context.Eip = address;
    context.Ecx = address + 1;
    context.Eip = reinterpret_cast<uintptr_t>(&tarn_FaultEntry);
#endif
}

// Runs on the faulting thread, inside the system's exception dispatch: it only decides, copies
// and redirects. The system's faults are told apart before any state of ours is touched.
LONG CALLBACK OnException(EXCEPTION_POINTERS* info) {
    const EXCEPTION_RECORD& record = *info->ExceptionRecord;
    if (!IsMachineFault(record.ExceptionCode) || !gModules.IsOurs(record.ExceptionAddress)) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    if (record.ExceptionCode == EXCEPTION_STACK_OVERFLOW &&
        StackRoom(*info->ContextRecord) < kDeliveryRoom) {
        EndProcess(record.ExceptionCode);
    }
    ThreadFaults& thread = tFaults;
    if (thread.inHandler)
        return EXCEPTION_CONTINUE_SEARCH;
    if (thread.nesting >= kMaxNesting)
        EndProcess(record.ExceptionCode);
    thread.inHandler = true;
    Redirect(thread, record, *info->ContextRecord);
    thread.inHandler = false;
    return EXCEPTION_CONTINUE_EXECUTION;
}

// The entry frame's save area for the registers that a call would clobber, in the order its
// unwind information gives them: they are restored in the frame that catches, as they were at
// the fault.
void StoreScratchRegisters(uintptr_t* area, const CONTEXT& c) {
#if defined(__x86_64__)
    const DWORD64 values[] = {c.Rax, c.Rcx, c.Rdx, c.R8, c.R9, c.R10, c.R11};
#else
    const DWORD values[] = {c.Eax, c.Ecx, c.Edx};
#endif
    for (size_t i = 0; i < sizeof values / sizeof values[0]; ++i)
        area[i] = values[i];
}

class TranslatorScope {
public:
    explicit TranslatorScope(ThreadFaults& thread) : thread_(thread) { ++thread_.nesting; }
    ~TranslatorScope() { --thread_.nesting; }

private:
    ThreadFaults& thread_;
};

// Thread attach of the fault machinery, a TLS callback of tarnrt: the loader calls it on every
// thread before the thread's own code runs (the loading thread included), with or without a
// DllMain.
void NTAPI OnThreadAttach(PVOID, DWORD reason, PVOID) {
    if (reason == DLL_PROCESS_ATTACH || reason == DLL_THREAD_ATTACH) {
        ULONG reserve = kOverflowReserve;
        SetThreadStackGuarantee(&reserve);
    }
}

struct ProcessFaults {
    ProcessFaults() {
        gModules.Init();
        handler_ = AddVectoredExceptionHandler(1, &OnException);
        SetUnhandledExceptionFilter(&OnUnhandled);
    }
    ~ProcessFaults() { RemoveVectoredExceptionHandler(handler_); }

    void* handler_ = nullptr;
} gProcessFaults;

}  // namespace

// A fail-fast exception passes by every handler, the vectored one above among them, and leaves
// the system's crash report; should it return, the process ends with the exception's code.
void EndWithLine(const char* text, size_t length) {
    DWORD written;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), text, DWORD(length), &written, nullptr);
    RaiseFailFastException(nullptr, nullptr, 0);
    EndProcess(0xC0000602);  // STATUS_FAIL_FAST_EXCEPTION
}

}  // namespace tarn

// The loader finds TLS callbacks between the C runtime's .CRT$XLA and .CRT$XLZ.
[[gnu::section(".CRT$XLT"), gnu::used]] extern const PIMAGE_TLS_CALLBACK tarnFaultThreadAttach =
    &tarn::OnThreadAttach;

// Called by tarn_FaultEntry on the faulting thread, as from the faulting instruction. A
// translator that returns leaves the fault to its default course: the end of the process.
extern "C" [[noreturn]] void tarn_RaiseFault(uintptr_t* scratch) {
    tarn::ThreadFaults& thread = tarn::tFaults;
    // Copied at once: a fault inside the translator takes the thread's slot again.
    EXCEPTION_RECORD record = thread.record;
    CONTEXT context = thread.context;
    tarn::StoreScratchRegisters(scratch, context);
    DWORD code = record.ExceptionCode;
    if (tarnrtl_Translator translator = tarnrtl_GetTranslator()) {
        _EXCEPTION_POINTERS pointers = {&record, &context};
        tarn::TranslatorScope translating(thread);
        translator(code, &pointers);
        tarn::EndProcess(code);
    }
    throw static_cast<unsigned long>(code);
}
