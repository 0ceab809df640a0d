// Waiter thread: the message is posted once the object is signalled, and the handle is closed.
#include "tarnkernl/files.h"

#include "platform/testing.h"
#include "platform/win32.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr UINT kMessage = 0x8123;

class Waiter : public testing::Test {
protected:
    void SetUp() override {
        window_ = tarn::CreateWindowForTesting(nullptr, 0, "");
        if (!window_ && tarn::RunningOnWineForTesting())
            GTEST_SKIP() << "Wine cannot create windows here";
        ASSERT_NE(window_, nullptr);
    }
    void TearDown() override {
        if (window_)
            tarn::DestroyWindowForTesting(window_);
    }

    // The message posted to the window within `limit`, or false.
    bool Posted(tarn::PostedMessageForTesting& message, Clock::duration limit) {
        const auto end = Clock::now() + limit;
        do {
            if (tarn::TakePostedMessageForTesting(window_, message))
                return true;
            std::this_thread::sleep_for(2ms);
        } while (Clock::now() < end);
        return false;
    }

    // Whether the handle was closed within a second (it is, just after the message).
    static bool Closed(HANDLE event) {
        const auto end = Clock::now() + 1s;
        while (SetEvent(event)) {
            if (Clock::now() > end)
                return false;
            std::this_thread::sleep_for(2ms);
        }
        return GetLastError() == ERROR_INVALID_HANDLE;
    }

    HWND window_ = nullptr;
};

TEST_F(Waiter, PostsAfterTheEventIsSetAndClosesIt) {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_TRUE(event);
    WaitNotifyAndCloseHandle(event, window_, kMessage, 0xFFFFFFFF, -5);
    tarn::PostedMessageForTesting message{};
    EXPECT_FALSE(Posted(message, 200ms)) << "the event is not set yet";
    ASSERT_TRUE(SetEvent(event));
    ASSERT_TRUE(Posted(message, 10s));
    EXPECT_EQ(message.message, kMessage);
    EXPECT_EQ(static_cast<uint32_t>(message.wParam), 0xFFFFFFFFu);
    EXPECT_EQ(message.lParam, -5);
    EXPECT_TRUE(Closed(event));
}

TEST_F(Waiter, SignalledObjectPostsAtOnce) {
    HANDLE event = CreateEventA(nullptr, FALSE, TRUE, nullptr);
    ASSERT_TRUE(event);
    WaitNotifyAndCloseHandle(event, window_, kMessage, 1, 2);
    tarn::PostedMessageForTesting message{};
    ASSERT_TRUE(Posted(message, 10s));
    EXPECT_EQ(message.wParam, 1u);
    EXPECT_EQ(message.lParam, 2);
    EXPECT_TRUE(Closed(event));
    EXPECT_FALSE(tarn::TakePostedMessageForTesting(window_, message)) << "only one message";
}

}  // namespace
