// Windows as the library reads them: text through GetWindowTextA and SendMessageA, children
// through GetDlgItem, and handles that stop answering once destroyed. On Windows the same tests
// run against real static controls.
#include "platform/testing.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#if !defined(_WIN32)
#include "tarnkernl/tarnrt.h"
#endif

namespace {

using tarn::CreateWindowForTesting;
using tarn::DestroyWindowForTesting;

// A top-level "dialog" with children; destroyed with them at the end of each test.
class Window : public testing::Test {
protected:
    void SetUp() override {
        dialog_ = CreateWindowForTesting(nullptr, 0, "dialog");
        // A Wine prefix without HKCU\Software\Wine\Drivers Graphics=null has no display driver.
        if (!dialog_ && tarn::RunningOnWineForTesting())
            GTEST_SKIP() << "Wine cannot create windows here";
        ASSERT_NE(dialog_, nullptr);
    }

    void TearDown() override {
        if (dialog_)
            DestroyWindowForTesting(dialog_);
    }

    HWND Child(int id, const char* text) {
        HWND child = CreateWindowForTesting(dialog_, id, text);
        EXPECT_NE(child, nullptr);
        return child;
    }

    HWND dialog_ = nullptr;
};

// Both copy at most size - 1 characters and the terminator; a size of 0 leaves the buffer alone.
TEST_F(Window, TextIsCutToTheBufferAndReplaced) {
    HWND edit = Child(100, "child text");
    EXPECT_EQ(SendMessageA(edit, WM_GETTEXTLENGTH, 0, 0), 10);
    // The buffer's size, the count answered and the buffer afterwards (it starts as "x").
    const std::tuple<int, int, const char*> cuts[] = {{32, 10, "child text"},
                                                      {11, 10, "child text"},
                                                      {6, 5, "child"},
                                                      {4, 3, "chi"},
                                                      {1, 0, ""},
                                                      {0, 0, "x"}};
    for (const auto& [size, count, text] : cuts) {
        SCOPED_TRACE(size);
        char buffer[32] = "x";
        EXPECT_EQ(GetWindowTextA(edit, buffer, size), count);
        EXPECT_STREQ(buffer, text);
        std::strcpy(buffer, "x");
        EXPECT_EQ(SendMessageA(edit, WM_GETTEXT, size, reinterpret_cast<LPARAM>(buffer)), count);
        EXPECT_STREQ(buffer, text);
    }

    // A null text empties, as an empty one does.
    for (const char* text : {"a longer new text", "", "x", static_cast<const char*>(nullptr)}) {
        EXPECT_EQ(SendMessageA(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text)), TRUE);
        char buffer[32] = "#";
        EXPECT_EQ(GetWindowTextA(edit, buffer, sizeof buffer), int(strlen(text ? text : "")));
        EXPECT_STREQ(buffer, text ? text : "");
        EXPECT_EQ(SendMessageA(edit, WM_GETTEXTLENGTH, 0, 0), LRESULT(strlen(buffer)));
    }
}

TEST_F(Window, GetDlgItemFindsDirectChildrenById) {
    HWND first = Child(1, "first"), second = Child(2, "second"), group = Child(3, "group");
    HWND nested = CreateWindowForTesting(group, 4, "nested");
    ASSERT_NE(nested, nullptr);

    EXPECT_EQ(std::tuple(GetDlgItem(dialog_, 1), GetDlgItem(dialog_, 2), GetDlgItem(group, 4)),
              std::tuple(first, second, nested));
    EXPECT_EQ(GetDlgItem(dialog_, 4), nullptr) << "a grandchild is not the dialog's item";

    // Wine 8 leaves the last error alone for a missing control; Windows reports it.
    const DWORD missing = tarn::RunningOnWineForTesting() ? 0 : ERROR_CONTROL_ID_NOT_FOUND;
    for (const auto& [parent, error] :
         {std::pair(dialog_, missing), std::pair(HWND(), DWORD(ERROR_INVALID_WINDOW_HANDLE))}) {
        SetLastError(0);
        EXPECT_EQ(GetDlgItem(parent, 99), nullptr);
        EXPECT_EQ(GetLastError(), error);
    }
}

TEST_F(Window, DestroyedWindowsAndTheirChildrenStopAnswering) {
    HWND other = CreateWindowForTesting(nullptr, 0, "other dialog");
    HWND child = CreateWindowForTesting(other, 7, "child");
    ASSERT_TRUE(IsWindow(other) && IsWindow(child));
    EXPECT_FALSE(IsWindow(nullptr));

    DestroyWindowForTesting(other);
    EXPECT_FALSE(IsWindow(other));
    EXPECT_FALSE(IsWindow(child)) << "destroying a window destroys its children";
    EXPECT_TRUE(IsWindow(dialog_));

    char buffer[16];
    SetLastError(0);
    EXPECT_EQ(GetWindowTextA(child, buffer, sizeof buffer), 0);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_WINDOW_HANDLE));
    SetLastError(0);
    EXPECT_EQ(SendMessageA(child, WM_GETTEXTLENGTH, 0, 0), 0);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_WINDOW_HANDLE));
    EXPECT_EQ(GetDlgItem(other, 7), nullptr);

    HWND next = CreateWindowForTesting(nullptr, 0, "next");
    EXPECT_TRUE(next && next != other && next != child)
        << "a destroyed handle is not handed out again at once";
    DestroyWindowForTesting(next);
}

TEST_F(Window, ThreadsWorkOnTheirOwnWindowsAtOnce) {
    // Windows are owned by the thread that makes them, so each thread makes and destroys its own.
    constexpr int kThreads = 4, kRounds = 200;
    std::vector<int> failures(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t, &failures] {
            for (int round = 0; round < kRounds; ++round) {
                const std::string text =
                    "thread " + std::to_string(t) + " round " + std::to_string(round);
                HWND dialog = CreateWindowForTesting(nullptr, 0, "dialog");
                HWND item = CreateWindowForTesting(dialog, round, text.c_str());
                char buffer[64] = "";
                if (GetDlgItem(dialog, round) != item || !item ||
                    GetWindowTextA(item, buffer, sizeof buffer) != int(text.size()) ||
                    text != buffer) {
                    ++failures[t];
                }
                DestroyWindowForTesting(dialog);
                failures[t] += IsWindow(item);
            }
        });
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(failures, std::vector<int>(kThreads, 0)) << "failed rounds of each thread";
}

#if !defined(_WIN32)

// A fault on the caller's buffer reaches the caller as the translator's exception, and the
// table's lock is released on the way out.
TEST_F(Window, FaultOnCallerMemoryLeavesTheTableUsable) {
    HWND edit = Child(100, "text");
    tarn::GuardedPagesForTesting pages;
    ASSERT_NE(pages.Begin(), nullptr);
    const tarnrtl_Translator previous = tarnrtl_SetTranslator(
        [](unsigned int code, _EXCEPTION_POINTERS*) { throw static_cast<unsigned long>(code); });
    EXPECT_THROW(GetWindowTextA(edit, pages.Guard() - 2, 16), unsigned long);
    EXPECT_THROW(
        SendMessageA(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(pages.AtTheEnd("cut", false))),
        unsigned long);
    tarnrtl_SetTranslator(previous);

    char buffer[16];
    EXPECT_EQ(GetWindowTextA(edit, buffer, sizeof buffer), 4);
    EXPECT_STREQ(buffer, "text");
}

// The message box measures its texts with its own loop: libc's strlen would end the process.
TEST(MessageBox, UnreadableTextIsAnAccessViolation) {
    tarn::GuardedPagesForTesting pages;
    ASSERT_NE(pages.Begin(), nullptr);
    const tarnrtl_Translator previous = tarnrtl_SetTranslator(
        [](unsigned int code, _EXCEPTION_POINTERS*) { throw static_cast<unsigned long>(code); });
    unsigned long code = 0;
    for (int which = 0; which < 2; ++which) {
        const char* cut = pages.AtTheEnd("cut", false);
        try {
            MessageBoxA(nullptr, which ? "text" : cut, which ? cut : "caption", MB_OK);
        } catch (unsigned long thrown) {
            code = thrown;
        }
        EXPECT_EQ(code, static_cast<unsigned long>(EXCEPTION_ACCESS_VIOLATION)) << which;
        code = 0;
    }
    tarnrtl_SetTranslator(previous);
}

#endif

}  // namespace
