// The call-stack marker and the frame walk: marks of the main thread only, unmarking, the
// records of bad unmarks, break stacks, DumpStack's bytes, the checks of every walk step, and
// walks through real calls on the main thread and on another one.
#include "log/markstack.h"
#include "log/messagebox.h"
#include "platform/testing.h"
#include "platform/win32.h"
#include "tarnkernl/log.h"

#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <thread>

namespace {

[[gnu::noinline]] void CodeAnchor() { asm volatile(""); }

// A chain of frames in the caller's stack memory, laid out as real ones: each frame holds the
// address of the next (higher) one and a return address. The return addresses lie in this
// program's code, as the walk demands.
struct FakeChain {
    uintptr_t frames[3][2];

    FakeChain() {
        for (int i = 0; i < 3; ++i) {
            frames[i][0] = i < 2 ? Frame(i + 1) : 0;
            frames[i][1] = IP(i);
        }
    }
    uintptr_t Frame(int i) const { return reinterpret_cast<uintptr_t>(frames[i]); }
    static uintptr_t IP(int i) { return reinterpret_cast<uintptr_t>(&CodeAnchor) + 16 * i; }
};

// An address as the records write it: " EIP=0x" entries with at least eight digits, the other
// records without leading zeros.
std::string Hex(uintptr_t value, bool eightDigits = true) {
    char text[32];
    snprintf(text, sizeof text, eightDigits ? "%08" PRIXPTR : "%" PRIXPTR, value);
    return text;
}

// The whole file, read with the library's own file functions (paths with '\').
std::string ReadFileText(const char* name) {
    HFILE file = _lopen(name, OF_READ | OF_SHARE_DENY_NONE);
    if (file == HFILE_ERROR)
        return "";
    std::string text;
    char buffer[4096];
    for (UINT got; (got = _lread(file, buffer, sizeof buffer)) != 0 && got != UINT(HFILE_ERROR);)
        text.append(buffer, got);
    _lclose(file);
    return text;
}

int Occurrences(const std::string& text, const std::string& part) {
    int count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

std::string ExceptionFile() { return ReadFileText(GetProcess().excName.p); }

TEST(MarkStack, OnlyTheMainThreadIsRecorded) {
    ASSERT_EQ(GetProcess().mainThreadId, GetCurrentThreadId());
    const uint32_t before = tarn::MarkCountForTesting();
    uintptr_t other[3] = {};
    std::thread([&] {
        MarkStack mark(TARN_FRAME);
        other[0] = MarkStack::GetIP(0);
        other[1] = MarkStack::GetFirstIP();
        other[2] = MarkStack::GetLastIP();
    }).join();
    EXPECT_EQ(tarn::MarkCountForTesting(), before);
    for (uintptr_t ip : other)
        EXPECT_EQ(ip, MarkStack::kNoIP);

    MarkStack mark(TARN_FRAME);
    EXPECT_EQ(tarn::MarkCountForTesting(), before + 1);
    EXPECT_EQ(MarkStack::GetIP(before), reinterpret_cast<uintptr_t*>(mark.frame)[1]);
}

TEST(MarkStack, UnMarkRemovesTheMarkAndEveryLaterOne) {
    FakeChain chain;
    tarn::GuardedPagesForTesting pages;
    const uint32_t base = tarn::MarkCountForTesting();
    // Marks that stay until the test removes them: a destructor would unmark again.
    alignas(MarkStack) unsigned char storage[4][sizeof(MarkStack)];
    for (int i = 0; i < 3; ++i)
        new (storage[i]) MarkStack(chain.Frame(2 - i));
    ASSERT_EQ(tarn::MarkCountForTesting(), base + 3);
    for (uint32_t i = 0; i < 3; ++i)
        EXPECT_EQ(MarkStack::GetIP(base + i), FakeChain::IP(2 - i));
    EXPECT_EQ(MarkStack::GetIP(base + 3), MarkStack::kNoIP);
    EXPECT_EQ(MarkStack::GetLastIP(), FakeChain::IP(0));

    // An unreadable frame is marked as 0 and answers no address.
    auto* unreadable = new (storage[3]) MarkStack(reinterpret_cast<uintptr_t>(pages.Guard()));
    EXPECT_EQ(unreadable->frame, 0u);
    EXPECT_EQ(MarkStack::GetIP(base + 3), MarkStack::kNoIP);
    EXPECT_EQ(MarkStack::GetLastIP(), FakeChain::IP(0));
    MarkStack::UnMark(0);
    EXPECT_EQ(tarn::MarkCountForTesting(), base + 3);

    MarkStack::UnMark(chain.Frame(2));
    EXPECT_EQ(tarn::MarkCountForTesting(), base);
    EXPECT_EQ(MarkStack::GetIP(base), MarkStack::kNoIP);
}

TEST(MarkStack, UnMarkOfAnUnknownFrameWritesOneRecord) {
    FakeChain chain;
    MarkStack mark(chain.Frame(1));
    const uint32_t count = tarn::MarkCountForTesting();
    const std::string record = "INVALID STACK leave[" + std::to_string(count) +
                               "]:" + Hex(chain.Frame(0), false) + "->" +
                               Hex(FakeChain::IP(0), false);
    const int before = Occurrences(ExceptionFile(), record);

    MarkStack::UnMark(chain.Frame(0));
    EXPECT_EQ(tarn::MarkCountForTesting(), count);
    EXPECT_EQ(MarkStack::GetLastIP(), FakeChain::IP(1));
    EXPECT_EQ(Occurrences(ExceptionFile(), record), before + 1);
}

// A report whose argument cannot be read keeps its format, and the call returns.
TEST(MarkStack, AReportWithAnUnreadableArgumentKeepsItsFormat) {
    const std::string format = "report of %s that cannot be read";
    const int before = Occurrences(ExceptionFile(), format);
    EXPECT_TRUE(exceptout(format.c_str(), reinterpret_cast<const char*>(0x10)));
    EXPECT_EQ(Occurrences(ExceptionFile(), format), before + 1);
}

TEST(MarkStack, BreakStackFiresOnceWhenTheWholePathMatches) {
    FakeChain chain;
    ASSERT_EQ(tarn::MarkCountForTesting(), 0u) << "the break stack starts at the outermost mark";
    const uintptr_t path[3] = {FakeChain::IP(2), FakeChain::IP(1), FakeChain::IP(0)};
    const uintptr_t otherPath[3] = {FakeChain::IP(2), FakeChain::IP(0), FakeChain::IP(0)};
    ASSERT_TRUE(tarn::AddBreakStack(path, 3));
    ASSERT_TRUE(tarn::AddBreakStack(path, 3));
    ASSERT_TRUE(tarn::AddBreakStack(otherPath, 3));
    EXPECT_EQ(tarn::BreakStackCountForTesting(), 2u) << "the same path is kept once";
    const std::string breakpoint = "Exception 0x80000003";
    const int breaksBefore = Occurrences(ExceptionFile(), breakpoint);
    // "/gpfshow" is in force by default: the breakpoint's box must not wait for a user.
    tarn::MessageBoxHandler previous = tarn::SetMessageBoxForTesting(
        [](HWND, const char*, const char*, unsigned) { return IDOK; });

    for (uint32_t round = 0; round < 2; ++round) {
        MarkStack outer(chain.Frame(2));
        MarkStack middle(chain.Frame(1));
        EXPECT_EQ(tarn::BreakStackCountForTesting(), 2 - round) << "two marks match no path";
        MarkStack inner(chain.Frame(0));
        EXPECT_EQ(tarn::BreakStackCountForTesting(), 1u) << "fired once, in the first round";
    }
    // With "/int3" (the second run of this test) the breakpoint comes back as a reported fault.
    tarn::SetMessageBoxForTesting(previous);
    const bool int3 = strstr(GetCommandLineInternal(), "/int3") != nullptr;
    EXPECT_EQ(Occurrences(ExceptionFile(), breakpoint), breaksBefore + (int3 ? 1 : 0));
}

TEST(MarkStack, DumpStackWritesTheMarksAndTheChainsBetweenThem) {
    ASSERT_EQ(tarn::MarkCountForTesting(), 0u) << "the dump names every mark of the process";
    char name[] = "markstack_dump.tmp";
    HFILE file = _lcreat(name, 0);
    ASSERT_NE(file, HFILE_ERROR);
    MarkStack::DumpStack(file, 0);
    MarkStack::DumpStack(file, 0);
    {
        // The innermost function's mark is the lowest frame; each frame chains to the next.
        FakeChain chain;
        MarkStack outer(chain.Frame(2));
        MarkStack middle(chain.Frame(1));
        MarkStack inner(chain.Frame(0));
        MarkStack::DumpStack(file, 0);
    }
    MarkStack::DumpStack(file, 0);
    _lclose(file);

    const std::string a = " EIP=0x" + Hex(FakeChain::IP(0));
    const std::string b = " EIP=0x" + Hex(FakeChain::IP(1));
    const std::string c = " EIP=0x" + Hex(FakeChain::IP(2));
    EXPECT_EQ(ReadFileText(name),
              "[STACK:NotLogged]\r\n"
              "[STACK:" +
                  c + b + a +
                  "]\r\nAdvanced STACK:\r\n"
                  "[" +
                  a + b + c + "]\r\n[" + c +
                  "]\r\n"
                  "[STACK:NotLogged]\r\n");
    _unlink(name);
}

TEST(WalkFrames, EveryStepIsCheckedBeforeItIsTaken) {
    tarn::GuardedPagesForTesting pages;
    struct Case {
        const char* what;
        void (*spoil)(FakeChain& chain);
        int count;
    } cases[] = {
        {"a sound chain", [](FakeChain&) {}, 3},
        {"a return address outside code", [](FakeChain& c) { c.frames[1][1] = 16; }, 1},
        {"a next frame below", [](FakeChain& c) { c.frames[1][0] = c.Frame(0); }, 2},
        {"a misaligned next frame", [](FakeChain& c) { c.frames[0][0] += 1; }, 1},
        {"a next frame above the stack", [](FakeChain& c) { c.frames[0][0] = ~uintptr_t(63); }, 1},
    };
    for (const Case& test : cases) {
        FakeChain chain;
        test.spoil(chain);
        uintptr_t out[10];
        for (uintptr_t& ip : out)
            ip = 0xA5;
        EXPECT_EQ(tarn::WalkFrames(out, 10, chain.Frame(0), 0), test.count) << test.what;
        for (int i = 0; i < test.count; ++i)
            EXPECT_EQ(out[i], FakeChain::IP(i)) << test.what;
        for (int i = test.count; i < 10; ++i)
            EXPECT_EQ(out[i], 0u) << test.what << " " << i;
    }

    // Skipped frames count; what is not collected is zeroed; the limit holds.
    FakeChain chain;
    uintptr_t out[4] = {1, 1, 1, 1};
    EXPECT_EQ(tarn::WalkFrames(out, 4, chain.Frame(0), 2), 3);
    EXPECT_EQ(out[0], FakeChain::IP(2));
    EXPECT_EQ(out[1], 0u);
    EXPECT_EQ(tarn::WalkFrames(out, 2, chain.Frame(0), 0), 2);
    EXPECT_EQ(out[1], FakeChain::IP(1));
    EXPECT_EQ(tarn::WalkFrames(out, 4, chain.Frame(0), 5), 3);
    EXPECT_EQ(out[0], 0u);
    out[0] = 7;
    EXPECT_EQ(tarn::WalkFrames(out, -1, chain.Frame(0), 0), 0);
    EXPECT_EQ(out[0], 7u);
    EXPECT_EQ(tarn::WalkFrames(out, 4, reinterpret_cast<uintptr_t>(pages.Guard()), 0), 0);
}

// Real calls, Outer > Between > Middle > Inner; all but Between record where they return to;
// Inner walks from the walker's own frame, Middle from its own.
struct RealWalk {
    uintptr_t returns[3] = {};  // into Middle, Between, the caller of Outer
    uintptr_t fromOwnFrame[10] = {};
    uintptr_t fromMiddle[10] = {};
    int ownCount = 0, middleCount = 0;
};

[[gnu::noinline]] void Inner(RealWalk& walk) {
    walk.returns[0] = reinterpret_cast<uintptr_t>(__builtin_return_address(0));
    walk.ownCount = tarn::WalkFrames(walk.fromOwnFrame, 10, 0, 0);
    asm volatile("" ::: "memory");
}

[[gnu::noinline]] void Middle(RealWalk& walk) {
    walk.returns[1] = reinterpret_cast<uintptr_t>(__builtin_return_address(0));
    walk.middleCount = tarn::WalkFrames(walk.fromMiddle, 10, TARN_FRAME, 0);
    Inner(walk);
    asm volatile("" ::: "memory");
}

// A large frame and no use of its own frame address: on Windows x64 GCC then points the frame
// register into the middle of the frame, and the frame-pointer chain breaks here.
[[gnu::noinline]] void Between(RealWalk& walk) {
    volatile char pad[5000];
    pad[0] = 1;
    Middle(walk);
    pad[1] = pad[0];
}

[[gnu::noinline]] void Outer(RealWalk& walk) {
    walk.returns[2] = reinterpret_cast<uintptr_t>(__builtin_return_address(0));
    Between(walk);
    asm volatile("" ::: "memory");
}

void ExpectRealWalk(const RealWalk& walk) {
    // From the walker's own frame: its return into Inner, Inner's callers, past Between.
    ASSERT_GE(walk.ownCount, 5);
    EXPECT_GT(walk.fromOwnFrame[0], reinterpret_cast<uintptr_t>(&Inner));
    EXPECT_EQ(walk.fromOwnFrame[1], walk.returns[0]);
    EXPECT_EQ(walk.fromOwnFrame[2], walk.returns[1]);
    EXPECT_GT(walk.fromOwnFrame[3], reinterpret_cast<uintptr_t>(&Outer));
    EXPECT_EQ(walk.fromOwnFrame[4], walk.returns[2]);
    // From Middle's frame, as a marked function gives it.
    ASSERT_GE(walk.middleCount, 3);
    EXPECT_EQ(walk.fromMiddle[0], walk.returns[1]);
    EXPECT_EQ(walk.fromMiddle[2], walk.returns[2]);
}

TEST(WalkFrames, FindsTheReturnAddressesOfRealCalls) {
    RealWalk onMain;
    Outer(onMain);
    ExpectRealWalk(onMain);

    RealWalk onOther;
    std::thread([&] { Outer(onOther); }).join();
    ExpectRealWalk(onOther);
}

// A fault two calls deep; each call records where it returns to.
[[gnu::noinline]] void Faulting(RealWalk& walk, volatile char* unreadable) {
    walk.returns[0] = reinterpret_cast<uintptr_t>(__builtin_return_address(0));
    walk.ownCount = *unreadable;
}

[[gnu::noinline]] void CallsFaulting(RealWalk& walk, volatile char* unreadable) {
    walk.returns[1] = reinterpret_cast<uintptr_t>(__builtin_return_address(0));
    Faulting(walk, unreadable);
    asm volatile("" ::: "memory");
}

// The fault report walks from the faulting frame, on POSIX from inside the signal handler on
// the alternate stack, on Windows x64 through the system's unwinder: its advanced stack names
// the faulting function's callers.
TEST(WalkFrames, FaultRecordNamesTheCallersOfTheFaultingFunction) {
    tarn::GuardedPagesForTesting pages;
    tarn::MessageBoxHandler previous = tarn::SetMessageBoxForTesting(
        [](HWND, const char*, const char*, unsigned) { return IDOK; });
    RealWalk walk;
    unsigned long code = 0;
    try {
        CallsFaulting(walk, pages.Guard());
    } catch (unsigned long caught) {
        code = caught;
    }
    tarn::SetMessageBoxForTesting(previous);
    ASSERT_EQ(code, 0xC0000005ul);

    const std::string text = ExceptionFile();
    const size_t record = text.rfind("Exception 0xC0000005");
    ASSERT_NE(record, std::string::npos);
    const size_t begin = text.find("[Advanced STACK:", record);
    ASSERT_NE(begin, std::string::npos);
    const std::string line = text.substr(begin, text.find("]\r\n", begin) - begin);
    EXPECT_EQ(line.find(" EIP=0x" + Hex(walk.returns[0])), 16u) << line;
    EXPECT_NE(line.find(" EIP=0x" + Hex(walk.returns[1])), std::string::npos) << line;
}

[[gnu::noinline]] void WalkFromCallback(void* data) { Inner(*static_cast<RealWalk*>(data)); }

TEST(WalkFrames, PassesThroughAModuleLoadedAfterTheFirstWalk) {
    uintptr_t first[10];
    ASSERT_GT(tarn::WalkFrames(first, 10, 0, 0), 0);
    HMODULE module = LoadLibraryA(TARN_MARKSTACK_MODULE);
    ASSERT_NE(module, nullptr);
    // Through the generic function type, as every typed use of an exported entry goes.
    auto callBack = reinterpret_cast<void (*)(void (*)(void*), void*)>(
        reinterpret_cast<void (*)()>(GetProcAddress(module, "markstack_CallBack")));
    ASSERT_NE(callBack, nullptr);
    RealWalk walk;
    callBack(&WalkFromCallback, &walk);
    FreeLibrary(module);
    // Past the return into the module and the module's own frame, into this test.
    ASSERT_GE(walk.ownCount, 4);
    EXPECT_EQ(walk.fromOwnFrame[1], walk.returns[0]);
}

}  // namespace
