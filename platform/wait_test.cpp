// Events, waiting, threads of the C runtime, posted messages and child processes: manual and
// auto-reset events, time limits, handles that cannot be waited on, a waiter woken by another
// thread, a child's exit code and its reaping.
#include "platform/testing.h"
#include "platform/win32.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#if !defined(_WIN32)
#include <sys/wait.h>
#endif

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A manual-reset event stays set through waits until it is reset; an auto-reset one lets one
// wait through, however often it was set.
TEST(Events, ManualResetStaysSetAutoResetLetsOneWaitThrough) {
    for (const BOOL manual : {TRUE, FALSE}) {
        SCOPED_TRACE(manual);
        HANDLE event = CreateEventA(nullptr, manual, TRUE, nullptr);
        ASSERT_NE(event, nullptr);
        EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0) << "made set";
        EXPECT_EQ(WaitForSingleObject(event, 0), manual ? WAIT_OBJECT_0 : WAIT_TIMEOUT);
        ASSERT_TRUE(ResetEvent(event));
        EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
        ASSERT_TRUE(SetEvent(event) && SetEvent(event));
        EXPECT_EQ(WaitForSingleObject(event, INFINITE), WAIT_OBJECT_0);
        EXPECT_EQ(WaitForSingleObject(event, 0), manual ? WAIT_OBJECT_0 : WAIT_TIMEOUT);
        EXPECT_TRUE(CloseHandle(event));
    }
}

TEST(Events, WaitEndsWhenAnotherThreadSetsTheEventOrTheTimeIsUp) {
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(WaitForSingleObject(event, 100), WAIT_TIMEOUT);

    std::thread setter([event] {
        std::this_thread::sleep_for(50ms);
        SetEvent(event);
    });
    EXPECT_EQ(WaitForSingleObject(event, 10000), WAIT_OBJECT_0);
    setter.join();
    EXPECT_TRUE(CloseHandle(event));
}

TEST(Events, HandlesThatAreNoEvents) {
    HANDLE event = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    ASSERT_TRUE(CloseHandle(event));
    SetLastError(0);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(SetEvent(event));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(ResetEvent(event));

    char name[MAX_PATH];
    ASSERT_GT(GetModuleFileNameA(nullptr, name, MAX_PATH), 0u);
    HANDLE file =
        CreateFileA(name, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(SetEvent(file)) << "a file is no event";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    CloseHandle(file);
}

// What a thread of _beginthread does with its argument.
void Count(void* counter) { ++*static_cast<std::atomic<int>*>(counter); }

TEST(RuntimeThreads, RunOnTheirOwnSmallStacks) {
    std::atomic<int> counter{0};
    for (unsigned stack : {0u, 0x10000u, 1u}) {
        ASSERT_NE(_beginthread(Count, stack, &counter), ~uintptr_t{0}) << stack;
    }
    const auto end = Clock::now() + 10s;
    while (counter < 3 && Clock::now() < end)
        std::this_thread::sleep_for(2ms);
    EXPECT_EQ(counter, 3);
}

TEST(PostedMessages, QueueInOrderPerWindow) {
    HWND first = tarn::CreateWindowForTesting(nullptr, 0, "first");
    if (!first && tarn::RunningOnWineForTesting())
        GTEST_SKIP() << "Wine cannot create windows here";
    HWND second = tarn::CreateWindowForTesting(nullptr, 0, "second");
    ASSERT_TRUE(first && second);
    EXPECT_TRUE(PostMessageA(first, 0x8001, 1, -1));
    EXPECT_TRUE(PostMessageA(second, 0x8002, 2, 0));
    EXPECT_TRUE(PostMessageA(first, 0x8003, 3, 30));

    tarn::PostedMessageForTesting message{};
    ASSERT_TRUE(tarn::TakePostedMessageForTesting(first, message));
    EXPECT_EQ(message.message, 0x8001u);
    EXPECT_EQ(message.wParam, 1u);
    EXPECT_EQ(message.lParam, -1);
    ASSERT_TRUE(tarn::TakePostedMessageForTesting(first, message));
    EXPECT_EQ(message.message, 0x8003u);
    EXPECT_EQ(message.lParam, 30);
    EXPECT_FALSE(tarn::TakePostedMessageForTesting(first, message));
    ASSERT_TRUE(tarn::TakePostedMessageForTesting(second, message));
    EXPECT_EQ(message.message, 0x8002u);

    tarn::DestroyWindowForTesting(first);
    tarn::DestroyWindowForTesting(second);
    SetLastError(0);
    EXPECT_FALSE(PostMessageA(first, 0x8004, 0, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
}

#if !defined(_WIN32)
PROCESS_INFORMATION StartShell(const char* script) {
    std::string line = std::string("/bin/sh -c \"") + script + "\"";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    EXPECT_TRUE(CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                               &startup, &started))
        << script;
    return started;
}

// An ended child of this process that nobody has reaped.
bool IsZombie(DWORD pid) {
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == static_cast<pid_t>(pid);
}

TEST(ChildProcesses, TheExitCodeOutlivesTheThreadHandleAndNoChildStaysAZombie) {
    PROCESS_INFORMATION child = StartShell("exit 7");
    ASSERT_EQ(WaitForSingleObject(child.hProcess, 10000), WAIT_OBJECT_0);
    EXPECT_TRUE(CloseHandle(child.hThread));
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeProcess(child.hProcess, &code));
    EXPECT_EQ(code, 7u);
    EXPECT_TRUE(CloseHandle(child.hProcess));
    EXPECT_FALSE(IsZombie(child.dwProcessId));

    // Closed while it runs: once it has ended, the next process started reaps it.
    PROCESS_INFORMATION early = StartShell("sleep 0.1");
    CloseHandle(early.hThread);
    CloseHandle(early.hProcess);
    siginfo_t info{};
    ASSERT_EQ(waitid(P_PID, static_cast<id_t>(early.dwProcessId), &info, WEXITED | WNOWAIT), 0);
    EXPECT_TRUE(IsZombie(early.dwProcessId));
    PROCESS_INFORMATION next = StartShell("exit 0");
    EXPECT_FALSE(IsZombie(early.dwProcessId));
    EXPECT_EQ(WaitForSingleObject(next.hProcess, 10000), WAIT_OBJECT_0);
    CloseHandle(next.hThread);
    CloseHandle(next.hProcess);
}
#endif

}  // namespace
