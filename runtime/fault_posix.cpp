// Machine faults become C++ exceptions on POSIX: SIGSEGV, SIGBUS, SIGFPE, SIGILL and SIGTRAP are
// handed to the faulting thread's translator with a Windows exception record and context.
//
// Signal safety. The handler runs on the faulting thread, on its alternate stack. Of what it calls,
// sigaction, pthread_sigmask, raise and a failed raw check are async-signal-safe, its thread-locals
// are initial-exec (plain memory reads) and the translator slot is an atomic load. The translator,
// the exception allocation (__cxa_allocate_exception may call malloc) and the unwinder
// (dl_iterate_phdr takes the loader lock) are not. That is acceptable because a fault is
// synchronous: the thread was executing the faulting instruction of its own code, not interrupted
// at a random point. Only a fault inside code that holds a lock the translator or the unwinder
// needs (the allocator's, the loader's) can deadlock, and such a fault is a bug of the runtime
// itself.
//
// Alternate stacks. The main thread gets one when tarnrt is loaded, unless the program installed
// one already (kKeptAltStackSize). Every later thread gets its own before its routine starts:
// tarnrt interposes pthread_create (it is linked before libc), so a stack overflow is caught on
// every thread the program starts. A thread started by other means (glibc's internal helpers) runs
// its handler on its own stack: its faults are still translated, but its stack overflow ends the
// process.
#include "runtime/fault.h"

#include "platform/check.h"
#include "platform/win32.h"
#include "tarnkernl/tarnrt.h"

#include <dlfcn.h>
#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

namespace tarn {
namespace {

constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP};
constexpr int kSignalCount = sizeof(kSignals) / sizeof(kSignals[0]);

// A translator that faults is translated again, up to this depth; deeper, the process dies
// rather than recurse until the alternate stack runs out.
constexpr int kMaxNesting = 4;

// The handler, the translator (a crash report formats and writes files) and the unwinder run on
// the alternate stack; it is reserved, not committed, until touched. The no-access page below it
// makes a handler that overflows it die instead of writing into the next mapping.
constexpr size_t kAltStackSize = 256 * 1024;
constexpr size_t kAltGuardSize = 4096;
// The program's own alternate stack is kept (its handlers may expect to run there, and it is the
// program's to free) when it can hold what runs on it. Delivering a fault takes about 13 KiB on
// Windows before any report is written; MINSIGSTKSZ (2 KiB) and SIGSTKSZ (8 KiB) hold the
// kernel's frame and a small handler, not a crash report. A smaller stack is replaced by ours.
constexpr size_t kKeptAltStackSize = 64 * 1024;

// A fault this close to the low end of the thread's stack is a stack overflow: it hit the
// thread's guard page, the kernel's guard gap below the main thread's stack, or a large frame
// stepped over either.
constexpr uintptr_t kOverflowReach = 1024 * 1024;

struct ThreadFaults {
    bool inHandler;      // the handler's own code runs: a fault now must not recurse
    bool probing;        // a ProbeScope is active
    int nesting;         // translator calls active on this thread
    uintptr_t stackLow;  // lowest address of the thread's stack; 0 when unknown
};

// The handler reads it as plain memory, never through a call that might allocate.
constinit thread_local ThreadFaults tFaults TARN_STATIC_TLS = {};

// The actions that were in place before ours, for a fault that no translator takes.
constinit struct sigaction gPrevious[kSignalCount] = {};

// All zero: the default action (SIG_DFL), which ends the process.
constinit const struct sigaction kDefaultAction = {};

// The action that was installed before ours, normally the default.
const struct sigaction& PreviousAction(int signal) {
    for (int i = 0; i < kSignalCount; ++i) {
        if (kSignals[i] == signal)
            return gPrevious[i];
    }
    return kDefaultAction;
}

// Hands a signal to `action`. A fault comes back by itself when the handler returns, since the
// faulting instruction runs again; a signal that was sent, or a trap whose instruction has
// completed, is raised again. Without the action in place the fault would come back to us.
void PassOn(int signal, const siginfo_t* info, const struct sigaction& action) {
    TARN_RAW_CHECK(sigaction(signal, &action, nullptr) == 0, "a fault's action is put back");
    if (info->si_code <= 0 || signal == SIGTRAP)
        raise(signal);
}

DWORD FloatCode(int siCode) {
    switch (siCode) {
        case FPE_INTDIV:
            return EXCEPTION_INT_DIVIDE_BY_ZERO;  // also INT_MIN / -1: the same trap
        case FPE_INTOVF:
            return EXCEPTION_INT_OVERFLOW;
        case FPE_FLTDIV:
            return EXCEPTION_FLT_DIVIDE_BY_ZERO;
        case FPE_FLTOVF:
            return EXCEPTION_FLT_OVERFLOW;
        case FPE_FLTUND:
            return EXCEPTION_FLT_UNDERFLOW;
        case FPE_FLTRES:
            return EXCEPTION_FLT_INEXACT_RESULT;
        default:
            return EXCEPTION_FLT_INVALID_OPERATION;
    }
}

DWORD CodeOf(int signal, const siginfo_t* info, bool overflow) {
    switch (signal) {
        case SIGFPE:
            return FloatCode(info->si_code);
        case SIGILL:
            return (info->si_code == ILL_PRVOPC || info->si_code == ILL_PRVREG)
                       ? EXCEPTION_PRIV_INSTRUCTION
                       : EXCEPTION_ILLEGAL_INSTRUCTION;
        case SIGTRAP:
            return info->si_code == TRAP_TRACE ? EXCEPTION_SINGLE_STEP : EXCEPTION_BREAKPOINT;
        default:
            return overflow ? EXCEPTION_STACK_OVERFLOW : EXCEPTION_ACCESS_VIOLATION;
    }
}

#if defined(__x86_64__)
void ReadRegisters(const mcontext_t& m, CONTEXT& c) {
    const greg_t* r = m.gregs;
    c.Rax = r[REG_RAX], c.Rcx = r[REG_RCX], c.Rdx = r[REG_RDX], c.Rbx = r[REG_RBX];
    c.Rsp = r[REG_RSP], c.Rbp = r[REG_RBP], c.Rsi = r[REG_RSI], c.Rdi = r[REG_RDI];
    c.R8 = r[REG_R8], c.R9 = r[REG_R9], c.R10 = r[REG_R10], c.R11 = r[REG_R11];
    c.R12 = r[REG_R12], c.R13 = r[REG_R13], c.R14 = r[REG_R14], c.R15 = r[REG_R15];
    c.Rip = r[REG_RIP];
    c.EFlags = static_cast<DWORD>(r[REG_EFL]);
}
uintptr_t InstructionPointer(const CONTEXT& c) { return c.Rip; }
void SetInstructionPointer(CONTEXT& c, uintptr_t ip) { c.Rip = ip; }
#else
void ReadRegisters(const mcontext_t& m, CONTEXT& c) {
    const greg_t* r = m.gregs;
    c.Edi = r[REG_EDI], c.Esi = r[REG_ESI], c.Ebx = r[REG_EBX], c.Edx = r[REG_EDX];
    c.Ecx = r[REG_ECX], c.Eax = r[REG_EAX], c.Ebp = r[REG_EBP], c.Eip = r[REG_EIP];
    c.Esp = r[REG_UESP];
    c.EFlags = r[REG_EFL];
}
uintptr_t InstructionPointer(const CONTEXT& c) { return c.Eip; }
void SetInstructionPointer(CONTEXT& c, uintptr_t ip) { c.Eip = ip; }
#endif

// ExceptionInformation[0] of an access violation, from the page-fault error code: 0 read,
// 1 write, 8 execute. (qemu passes the error code but not the trap number, so the trap number
// is not consulted; the caller knows from si_code that this was a page fault.)
ULONG_PTR AccessKind(const mcontext_t& m) {
    constexpr greg_t kWrite = 0x2, kFetch = 0x10;
    if (m.gregs[REG_ERR] & kFetch)
        return 8;
    return (m.gregs[REG_ERR] & kWrite) ? 1 : 0;
}

bool IsStackOverflow(uintptr_t address, uintptr_t stackLow) {
    return stackLow != 0 && address + kOverflowReach >= stackLow &&
           address < stackLow + kOverflowReach;
}

void BuildRecord(int signal, const siginfo_t* info, const ucontext_t* uc, bool overflow,
                 EXCEPTION_RECORD& record, CONTEXT& context) {
    ReadRegisters(uc->uc_mcontext, context);
    record.ExceptionCode = CodeOf(signal, info, overflow);
    // After int3 the saved instruction pointer is past the instruction; Windows names the int3.
    if (record.ExceptionCode == EXCEPTION_BREAKPOINT) {
        SetInstructionPointer(context, InstructionPointer(context) - 1);
    }
    record.ExceptionAddress = reinterpret_cast<void*>(InstructionPointer(context));
    if (signal == SIGSEGV || signal == SIGBUS) {
        record.NumberParameters = 2;
        if (info->si_code == SI_KERNEL) {
            // A general-protection fault (a non-canonical address): no address, and no page-fault
            // error code. Windows reports a read of address -1.
            record.ExceptionInformation[1] = ~ULONG_PTR{0};
        } else {
            record.ExceptionInformation[0] = AccessKind(uc->uc_mcontext);
            record.ExceptionInformation[1] = reinterpret_cast<ULONG_PTR>(info->si_addr);
        }
    }
}

// Marks the handler's own code on this thread; cleared when the handler returns or a throw
// leaves it.
class HandlerScope {
public:
    explicit HandlerScope(ThreadFaults& thread) : thread_(thread) { thread_.inHandler = true; }
    ~HandlerScope() { thread_.inHandler = false; }

private:
    ThreadFaults& thread_;
};

// Around the translator call: the translator is ordinary code, whose faults (and probes) are
// translated again.
class TranslatorScope {
public:
    explicit TranslatorScope(ThreadFaults& thread) : thread_(thread) {
        thread_.inHandler = false;
        ++thread_.nesting;
    }
    ~TranslatorScope() {
        --thread_.nesting;
        thread_.inHandler = true;
    }

private:
    ThreadFaults& thread_;
};

void OnFault(int signal, siginfo_t* info, void* raw) {
    ThreadFaults& thread = tFaults;
    if (info->si_code <= 0) {  // sent by kill or raise: not a fault of this thread's code
        PassOn(signal, info, PreviousAction(signal));
        return;
    }
    if (thread.inHandler) {
        PassOn(signal, info, kDefaultAction);
        return;
    }
    HandlerScope scope(thread);
    const auto* uc = static_cast<const ucontext_t*>(raw);
    // A throw out of the handler leaves without the kernel restoring the signal mask of the
    // interrupted code, so it is restored here. The action itself blocks nothing, but a wrapper
    // put in front of the handler (a sanitizer's) may block every signal, and the next fault
    // would then end the process.
    pthread_sigmask(SIG_SETMASK, &uc->uc_sigmask, nullptr);
    bool overflow = (signal == SIGSEGV || signal == SIGBUS) &&
                    IsStackOverflow(reinterpret_cast<uintptr_t>(info->si_addr), thread.stackLow);
    if (thread.probing) {
        thread.probing = false;
        throw static_cast<unsigned long>(CodeOf(signal, info, overflow));
    }
    tarnrtl_Translator translator = tarnrtl_GetTranslator();
    if (translator && thread.nesting < kMaxNesting) {
        EXCEPTION_RECORD record = {};
        CONTEXT context = {};
        BuildRecord(signal, info, uc, overflow, record, context);
        _EXCEPTION_POINTERS pointers = {&record, &context};
        TranslatorScope translating(thread);
        translator(record.ExceptionCode, &pointers);
    }
    PassOn(signal, info, PreviousAction(signal));
}

void InstallHandlers() {
    struct sigaction action = {};
    action.sa_sigaction = &OnFault;
    action.sa_flags = SA_SIGINFO | SA_NODEFER | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    for (int i = 0; i < kSignalCount; ++i) {
        TARN_RAW_CHECK(sigaction(kSignals[i], &action, &gPrevious[i]) == 0,
                       "the fault handlers are installed");
    }
}

uintptr_t CurrentStackLow() {
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) != 0)
        return 0;
    void* low = nullptr;
    size_t size = 0;
    if (pthread_attr_getstack(&attributes, &low, &size) != 0)
        low = nullptr;
    pthread_attr_destroy(&attributes);
    return reinterpret_cast<uintptr_t>(low);
}

// Records the calling thread's stack bounds and gives it an alternate signal stack, unless the
// program gave it a usable one; returns the mapping to release when the thread ends (null when
// the program's is kept or none could be made).
void* PrepareThread() {
    tFaults.stackLow = CurrentStackLow();
    stack_t installed = {};
    if (sigaltstack(nullptr, &installed) == 0 && !(installed.ss_flags & SS_DISABLE) &&
        installed.ss_size >= kKeptAltStackSize)
        return nullptr;
    void* base = mmap(nullptr, kAltGuardSize + kAltStackSize, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_STACK, -1, 0);
    if (base == MAP_FAILED)
        return nullptr;
    stack_t stack = {};
    stack.ss_sp = static_cast<char*>(base) + kAltGuardSize;
    stack.ss_size = kAltStackSize;
    if (mprotect(base, kAltGuardSize, PROT_NONE) != 0 || sigaltstack(&stack, nullptr) != 0) {
        munmap(base, kAltGuardSize + kAltStackSize);
        return nullptr;
    }
    return base;
}

#if !defined(__SANITIZE_THREAD__)  // see pthread_create below
// A started thread's alternate stack, released however the thread ends: return, pthread_exit
// and cancellation all unwind through the frame that owns it.
class ThreadAltStack {
public:
    ThreadAltStack() : base_(PrepareThread()) {}
    ~ThreadAltStack() {
        if (!base_)
            return;
        stack_t off = {};
        off.ss_flags = SS_DISABLE;
        // Refused only while the thread runs on it (it ends inside a handler): then it stays.
        if (sigaltstack(&off, nullptr) == 0)
            munmap(base_, kAltGuardSize + kAltStackSize);
    }
    ThreadAltStack(const ThreadAltStack&) = delete;
    ThreadAltStack& operator=(const ThreadAltStack&) = delete;

private:
    void* base_;
};

struct ThreadStart {
    void* (*routine)(void*);
    void* argument;
};

void* StartThread(void* raw) {
    ThreadStart start = *static_cast<ThreadStart*>(raw);
    free(raw);
    ThreadAltStack altStack;
    return start.routine(start.argument);
}
#endif

// The handlers are process-wide from the moment tarnrt is loaded; the loading thread (the main
// thread) keeps its alternate stack for the life of the process.
struct ProcessFaults {
    ProcessFaults() {
        PrepareThread();
        InstallHandlers();
    }
} gProcessFaults;

}  // namespace

// write and abort are async-signal-safe. SIGABRT is none of the translated signals: the process
// ends with a core where the system keeps one.
void EndWithLine(const char* text, size_t length) {
    [[maybe_unused]] ssize_t written = write(STDERR_FILENO, text, length);
    abort();
}

ProbeScope::ProbeScope() { tFaults.probing = true; }

ProbeScope::~ProbeScope() { tFaults.probing = false; }

}  // namespace tarn

// Every thread the program starts gets its alternate stack before its routine runs. Not under
// ThreadSanitizer: it interposes pthread_create from the executable, in front of this one, and
// makes a thread known to itself only in its own start routine, which would run after ours, so
// ours would call its interceptors from a thread it does not know. There a started thread's
// stack overflow ends the process.
#if !defined(__SANITIZE_THREAD__)
extern "C" TARN_EXPORT int pthread_create(pthread_t* thread, const pthread_attr_t* attributes,
                                          void* (*routine)(void*), void* argument) noexcept {
    using Create = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
    static const Create next = reinterpret_cast<Create>(dlsym(RTLD_NEXT, "pthread_create"));
    if (!next)
        return ENOSYS;
    auto* start = static_cast<tarn::ThreadStart*>(malloc(sizeof(tarn::ThreadStart)));
    if (!start)
        return EAGAIN;
    *start = {routine, argument};
    int result = next(thread, attributes, &tarn::StartThread, start);
    if (result != 0)
        free(start);
    return result;
}
#endif
