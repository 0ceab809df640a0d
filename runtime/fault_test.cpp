// Machine faults reach C++ code as `unsigned long` exceptions carrying the Windows code, with
// the fault's record and context handed to the translator, on every thread, again and again.
#include "platform/check.h"
#include "platform/testing.h"
#include "platform/win32.h"
#include "tarnkernl/tarnrt.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

#if !defined(_WIN32)
#include <signal.h>
#include <sys/resource.h>
#endif

namespace {

struct Seen {
    int calls;
    unsigned int code;
    EXCEPTION_RECORD record;
    CONTEXT context;
};
thread_local Seen tSeen;

void RecordingTranslator(unsigned int code, _EXCEPTION_POINTERS* info) {
    tSeen = {tSeen.calls + 1, code, *info->ExceptionRecord, *info->ContextRecord};
    throw static_cast<unsigned long>(code);
}

#if defined(__x86_64__)
uintptr_t InstructionPointer(const CONTEXT& c) { return c.Rip; }
uintptr_t StackPointer(const CONTEXT& c) { return c.Rsp; }
#else
uintptr_t InstructionPointer(const CONTEXT& c) { return c.Eip; }
uintptr_t StackPointer(const CONTEXT& c) { return c.Esp; }
#endif

thread_local int tDestroyed = 0;
struct Counted {
    ~Counted() { ++tDestroyed; }
};

// Reached through volatile globals so that the compiler cannot see the null pointer or the zero
// divisor and turn the fault into something else; noipa so that no caller learns from their
// bodies that they cannot throw.
int* volatile gNull = nullptr;
const int kReadOnly = 7;
int* volatile gReadOnly = const_cast<int*>(&kReadOnly);
volatile int gZero = 0;
volatile int gTen = 10;

TARN_NOIPA void ReadNull() {
    Counted local;
    (void)*static_cast<volatile int*>(gNull);
}
// The write never happens, it faults: not a store that threads could race on.
TARN_NOIPA __attribute__((no_sanitize("thread"))) void WriteReadOnly() {
    Counted local;
    *static_cast<volatile int*>(gReadOnly) = 1;
}
TARN_NOIPA void DivideByZero() {
    Counted local;
    gTen = gTen / gZero;
}
TARN_NOIPA void Breakpoint() { asm volatile("int3"); }
TARN_NOIPA void IllegalInstruction() { asm volatile("ud2"); }

struct FaultCase {
    const char* name;
    void (*raise)();
    unsigned long code;
    bool hasLocal;  // the faulting function owns a Counted
};

const FaultCase kReadNull = {"read null", &ReadNull, EXCEPTION_ACCESS_VIOLATION, true};
const FaultCase kWriteReadOnly = {"write", &WriteReadOnly, EXCEPTION_ACCESS_VIOLATION, true};
const FaultCase kDivide = {"divide by zero", &DivideByZero, EXCEPTION_INT_DIVIDE_BY_ZERO, true};
const FaultCase kInt3 = {"int3", &Breakpoint, EXCEPTION_BREAKPOINT, false};
const FaultCase kUd2 = {"ud2", &IllegalInstruction, EXCEPTION_ILLEGAL_INSTRUCTION, false};
const FaultCase kFaults[] = {kReadNull, kWriteReadOnly, kDivide, kInt3, kUd2};

// Raises one fault with a Counted in the calling frame too; answers the caught code (0: none).
unsigned long Catch(const FaultCase& fault) {
    try {
        Counted outer;
        fault.raise();
    } catch (unsigned long code) {
        return code;
    }
    return 0;
}

// Every fault, `rounds` times, on the calling thread: caught with its code, through the
// translator, with the destructors of both frames run.
void ExpectEveryFaultCaught(int rounds) {
    for (int round = 0; round < rounds; ++round) {
        for (const FaultCase& fault : kFaults) {
            int destroyed = tDestroyed;
            int calls = tSeen.calls;
            ASSERT_EQ(Catch(fault), fault.code) << fault.name << ", round " << round;
            EXPECT_EQ(tSeen.calls, calls + 1) << fault.name;
            EXPECT_EQ(tDestroyed - destroyed, fault.hasLocal ? 2 : 1) << fault.name;
        }
    }
}

class Faults : public testing::Test {
protected:
    void SetUp() override { previous_ = tarnrtl_SetTranslator(&RecordingTranslator); }
    void TearDown() override { tarnrtl_SetTranslator(previous_); }

private:
    tarnrtl_Translator previous_ = nullptr;
};

// The other threads use the process's translator, each on its own alternate stack.
TEST_F(Faults, EveryFaultIsCaughtRepeatedlyOnEveryThreadAtOnce) {
    ExpectEveryFaultCaught(200);
    std::thread threads[4];
    for (std::thread& thread : threads)
        thread = std::thread([] { ExpectEveryFaultCaught(100); });
    for (std::thread& thread : threads)
        thread.join();
}

// The record names the faulting instruction, which the context's instruction pointer agrees
// with; the stack pointer is the faulting thread's, below the caller's frame.
TEST_F(Faults, RecordAndContextDescribeTheFault) {
    for (const FaultCase& fault : kFaults) {
        SCOPED_TRACE(fault.name);
        int here = 0;
        Catch(fault);
        auto address = reinterpret_cast<uintptr_t>(tSeen.record.ExceptionAddress);
        auto function = reinterpret_cast<uintptr_t>(fault.raise);
        EXPECT_EQ(tSeen.code, fault.code);
        EXPECT_EQ(tSeen.record.ExceptionCode, fault.code);
        EXPECT_EQ(InstructionPointer(tSeen.context), address);
        EXPECT_GE(address, function);
        EXPECT_LT(address, function + 128);
        uintptr_t stack = StackPointer(tSeen.context);
        EXPECT_LT(stack, reinterpret_cast<uintptr_t>(&here));
        EXPECT_GT(stack, reinterpret_cast<uintptr_t>(&here) - 64 * 1024);
    }

    // Traps are reported at their own instruction, not the one after.
    Catch(kInt3);
    EXPECT_EQ(static_cast<const unsigned char*>(tSeen.record.ExceptionAddress)[0], 0xCC);
    Catch(kUd2);
    auto* ud2 = static_cast<const unsigned char*>(tSeen.record.ExceptionAddress);
    EXPECT_EQ(ud2[0], 0x0F);
    EXPECT_EQ(ud2[1], 0x0B);

    // Access violations tell a read (0) from a write (1), and the address.
    Catch(kReadNull);
    ASSERT_EQ(tSeen.record.NumberParameters, 2u);
    EXPECT_EQ(tSeen.record.ExceptionInformation[0], 0u);
    EXPECT_EQ(tSeen.record.ExceptionInformation[1], 0u);
    Catch(kWriteReadOnly);
    ASSERT_EQ(tSeen.record.NumberParameters, 2u);
    EXPECT_EQ(tSeen.record.ExceptionInformation[0], 1u);
    EXPECT_EQ(tSeen.record.ExceptionInformation[1], reinterpret_cast<ULONG_PTR>(&kReadOnly));
}

// What the translator throws is what the program catches.
struct Translated {};
void ThrowingTranslator(unsigned int, _EXCEPTION_POINTERS*) { throw Translated{}; }

TEST(FaultTranslator, EachThreadHasItsOwnAndTheFirstServesTheRest) {
    tarnrtl_Translator previous = tarnrtl_SetTranslator(&RecordingTranslator);
    std::thread([] {
        EXPECT_EQ(tarnrtl_GetTranslator(), &RecordingTranslator);
        EXPECT_EQ(tarnrtl_SetTranslator(&ThrowingTranslator), nullptr);
        EXPECT_EQ(tarnrtl_GetTranslator(), &ThrowingTranslator);
        EXPECT_THROW(ReadNull(), Translated);
        tarnrtl_SetTranslator(nullptr);
        EXPECT_EQ(tarnrtl_GetTranslator(), &RecordingTranslator);
    }).join();
    EXPECT_EQ(tarnrtl_GetTranslator(), &RecordingTranslator);
    // Removed by the thread that set it, it no longer serves the other threads.
    tarnrtl_SetTranslator(nullptr);
    std::thread([] { EXPECT_EQ(tarnrtl_GetTranslator(), nullptr); }).join();
    tarnrtl_SetTranslator(previous);
}

// A fault inside the translator (a crash report reads memory that may be unreadable) is
// translated again, and probes work there too.
struct Nested {
    unsigned long outer, inner;
    BOOL unreadable;
};
thread_local bool tInTranslator = false;
void NestingTranslator(unsigned int code, _EXCEPTION_POINTERS*) {
    if (tInTranslator)
        throw static_cast<unsigned long>(code);
    tInTranslator = true;
    unsigned long inner = Catch(kDivide);
    BOOL unreadable = IsBadReadPtr(reinterpret_cast<const void*>(16), 1);
    tInTranslator = false;
    throw Nested{code, inner, unreadable};
}

TEST(FaultTranslator, FaultsInsideItAreTranslatedAgain) {
    tarnrtl_Translator previous = tarnrtl_SetTranslator(&NestingTranslator);
    for (int round = 0; round < 20; ++round) {
        try {
            ReadNull();
            ADD_FAILURE() << "no fault";
        } catch (const Nested& nested) {
            EXPECT_EQ(nested.outer, EXCEPTION_ACCESS_VIOLATION);
            EXPECT_EQ(nested.inner, EXCEPTION_INT_DIVIDE_BY_ZERO);
            EXPECT_TRUE(nested.unreadable);
        }
    }
    tarnrtl_SetTranslator(previous);
}

// How a failed check ends a process: a fail-fast exception on Windows, SIGABRT on POSIX.
constexpr unsigned long kFailFast = 0xC0000602;

#if defined(_WIN32)
// A fault nobody takes ends the process with the exception code as its exit code.
testing::ExitedWithCode DiesOf(unsigned long code) {
    return testing::ExitedWithCode(static_cast<int>(code));
}
void NoCoreDump() {}

// Windows does not re-arm the stack's guard page by itself: a program that goes on after a stack
// overflow calls _resetstkoflw, whatever its compiler.
void RearmStackGuard() { EXPECT_NE(_resetstkoflw(), 0); }
#else
testing::KilledBySignal DiesOf(unsigned long code) {
    switch (code) {
        case EXCEPTION_ACCESS_VIOLATION:
        case EXCEPTION_STACK_OVERFLOW:
            return testing::KilledBySignal(SIGSEGV);
        case EXCEPTION_INT_DIVIDE_BY_ZERO:
            return testing::KilledBySignal(SIGFPE);
        case EXCEPTION_BREAKPOINT:
            return testing::KilledBySignal(SIGTRAP);
        case kFailFast:
            return testing::KilledBySignal(SIGABRT);
        default:
            return testing::KilledBySignal(SIGILL);
    }
}
void NoCoreDump() {
    rlimit none = {0, 0};
    setrlimit(RLIMIT_CORE, &none);
}
void RearmStackGuard() {}
#endif

volatile int gNever = -1;
volatile int gDeepest = 0;

// Each level is a call: GCC assumes a function's own locals never fault, so an overflow is only
// caught across a call boundary, and only in a frame without an exception table (with one, a
// fault at an instruction that was not expected to throw ends in std::terminate). So no
// destructors here, and no inlined noexcept function either (std::atomic's store would do).
// Its body touches only its own frame and a global, so without noipa GCC would decide it cannot
// throw and drop the caller's catch.
TARN_NOIPA int Recurse(int depth) {
    volatile char pad[1024];
    pad[0] = static_cast<char>(depth);
    gDeepest = depth;
    if (depth == gNever)
        return 0;
    return Recurse(depth + 1) + pad[0];
}

// Overflows the calling thread's stack three times.
void ExpectOverflowsCaught() {
    for (int round = 0; round < 3; ++round) {
        int destroyed = tDestroyed;
        unsigned long caught = 0;
        try {
            Counted outer;
            Recurse(1);
        } catch (unsigned long code) {
            caught = code;
        }
        ASSERT_EQ(caught, EXCEPTION_STACK_OVERFLOW) << "round " << round;
        RearmStackGuard();
        EXPECT_GT(gDeepest, 100);
        EXPECT_EQ(tDestroyed - destroyed, 1);
    }
}

// Wine 8 ignores SetThreadStackGuarantee and leaves a single page after a stack overflow: too
// little to deliver the fault, so the process ends with the code instead.
TEST_F(Faults, StackOverflowsOnTheMainThreadAndAnother) {
    if (tarn::RunningOnWineForTesting()) {
        EXPECT_EXIT(Recurse(1), DiesOf(EXCEPTION_STACK_OVERFLOW), "");
        return;
    }
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "under ThreadSanitizer started threads have no alternate signal stack";
#endif
    ExpectOverflowsCaught();
    std::thread(ExpectOverflowsCaught).join();
}

void Returning(unsigned int, _EXCEPTION_POINTERS*) {}
void FaultingTranslator(unsigned int, _EXCEPTION_POINTERS*) { ReadNull(); }

// Raises a fault with `translator` as the process's only one (null: none at all).
void RaiseUnder(tarnrtl_Translator translator, const FaultCase& fault) {
    NoCoreDump();
    tarnrtl_SetTranslator(translator);
    fault.raise();
}

// A translator that returns, or always faults, ends the process. Without any translator a POSIX
// fault takes the signal's default action; on Windows a fault in our modules is thrown as its
// code even then.
TEST_F(Faults, FaultsNobodyTakesEndTheProcess) {
    EXPECT_EXIT(RaiseUnder(&FaultingTranslator, kDivide), DiesOf(EXCEPTION_ACCESS_VIOLATION), "");
    for (const FaultCase& fault : kFaults) {
        EXPECT_EXIT(RaiseUnder(&Returning, fault), DiesOf(fault.code), "") << fault.name;
#if defined(_WIN32)
        tarnrtl_SetTranslator(nullptr);
        EXPECT_EQ(Catch(fault), fault.code) << fault.name;
        tarnrtl_SetTranslator(&RecordingTranslator);
#else
        EXPECT_EXIT(RaiseUnder(nullptr, fault), DiesOf(fault.code), "") << fault.name;
#endif
    }
}

volatile bool gFalse = false;

void FailRawCheck() {
    NoCoreDump();
    TARN_RAW_CHECK(gFalse, "no test may pass");
}
constexpr int kRawCheckLine = __LINE__ - 2;

// A failed check ends the process abnormally and says where on standard error: a debug check
// names its condition where the build has debug checks, and elsewhere does not evaluate it.
TEST(Checks, AFailureEndsTheProcessNamingItsLine) {
    const std::string where = "fault_test.cpp:" + std::to_string(kRawCheckLine);
    EXPECT_EXIT(FailRawCheck(), DiesOf(kFailFast), where + ": check failed: no test may pass");
    int evaluated = 0;
#if defined(TARN_DCHECKS)
    EXPECT_EXIT((NoCoreDump(), TARN_DCHECK(++evaluated == 0)), DiesOf(kFailFast),
                "check failed: \\+\\+evaluated == 0");
#else
    TARN_DCHECK(++evaluated == 0);
#endif
    EXPECT_EQ(evaluated, 0);
}

#if !defined(_WIN32)
// The program's own alternate stack for the main thread, installed before any library's
// constructor runs (as a sanitizer's runtime does): the library keeps it, and the main thread's
// stack overflows above are caught on it.
alignas(16) char gOwnAltStack[128 * 1024];
void InstallOwnAltStack(int, char**, char**) {
    stack_t own = {};
    own.ss_sp = gOwnAltStack;
    own.ss_size = sizeof gOwnAltStack;
    sigaltstack(&own, nullptr);
}
[[gnu::section(".preinit_array"),
  gnu::used]] void (*gInstallOwnAltStack)(int, char**, char**) = &InstallOwnAltStack;

TEST(AltStack, TheMainThreadKeepsTheOneTheProgramInstalled) {
    stack_t now = {};
    ASSERT_EQ(sigaltstack(nullptr, &now), 0);
    EXPECT_EQ(now.ss_sp, gOwnAltStack);
    EXPECT_EQ(now.ss_flags & SS_DISABLE, 0);
}

// A handler put in front of the translator's that blocks every signal while it runs, as a
// sanitizer's does: the throw out of it leaves the mask to the translator, and no later fault
// may find its signal blocked.
struct sigaction gTranslatorAction;
void BlockingWrapper(int signal, siginfo_t* info, void* context) {
    gTranslatorAction.sa_sigaction(signal, info, context);
}

TEST_F(Faults, AHandlerInFrontThatBlocksEverySignalLosesNoLaterFault) {
    struct sigaction wrapper = {}, savedSegv, savedFpe;
    wrapper.sa_sigaction = &BlockingWrapper;
    wrapper.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigfillset(&wrapper.sa_mask);
    ASSERT_EQ(sigaction(SIGSEGV, nullptr, &gTranslatorAction), 0);
    ASSERT_EQ(sigaction(SIGSEGV, &wrapper, &savedSegv), 0);
    ASSERT_EQ(sigaction(SIGFPE, &wrapper, &savedFpe), 0);
    for (int round = 0; round < 3; ++round) {
        EXPECT_EQ(Catch(kReadNull), kReadNull.code);
        EXPECT_EQ(Catch(kDivide), kDivide.code);
    }
    sigaction(SIGSEGV, &savedSegv, nullptr);
    sigaction(SIGFPE, &savedFpe, nullptr);
}
#endif

}  // namespace
