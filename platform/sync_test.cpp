// Critical sections: re-entrant for the owner, exclusive against every other thread.
#include "platform/win32.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

namespace {

class CriticalSection : public testing::Test {
protected:
    void SetUp() override { InitializeCriticalSection(&section_); }
    void TearDown() override { DeleteCriticalSection(&section_); }

    // TryEnterCriticalSection from a fresh thread (leaving again when it got in).
    bool OtherThreadGetsIn()
    {
        bool entered = false;
        std::thread other([&] {
            entered = TryEnterCriticalSection(&section_) != FALSE;
            if (entered)
                LeaveCriticalSection(&section_);
        });
        other.join();
        return entered;
    }

    CRITICAL_SECTION section_;
};

TEST_F(CriticalSection, OwnerEntersAgainAndHoldsItUntilTheLastLeave)
{
    EnterCriticalSection(&section_);
    EnterCriticalSection(&section_);
    EXPECT_TRUE(TryEnterCriticalSection(&section_)) << "the owner may always enter again";
    EXPECT_FALSE(OtherThreadGetsIn());
    LeaveCriticalSection(&section_);
    LeaveCriticalSection(&section_);
    EXPECT_FALSE(OtherThreadGetsIn()) << "still entered once";
    LeaveCriticalSection(&section_);
    EXPECT_TRUE(OtherThreadGetsIn());
    EXPECT_TRUE(TryEnterCriticalSection(&section_));
    LeaveCriticalSection(&section_);
}

TEST_F(CriticalSection, ExcludesOtherThreads)
{
    constexpr int kThreads = 4, kRounds = 5000;
    long counter = 0;  // a plain read-modify-write: only the section keeps it whole
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds; ++i) {
                EnterCriticalSection(&section_);
                const long seen = counter;
                std::this_thread::yield();
                counter = seen + 1;
                LeaveCriticalSection(&section_);
            }
        });
    }
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(counter, long(kThreads) * kRounds);
}

// Waiters that spin (a short section: they get in while spinning) and waiters that spin out and
// sleep (a long one: the owner must wake them) alike.
TEST(CriticalSectionWithSpinCount, ExcludesOtherThreadsAndWakesSleepers)
{
    CRITICAL_SECTION section;
    ASSERT_TRUE(InitializeCriticalSectionAndSpinCount(&section, 4000));
    for (const bool sleepInside : {false, true}) {
        constexpr int kThreads = 3;
        const int rounds = sleepInside ? 50 : 20000;
        long counter = 0;
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&] {
                for (int i = 0; i < rounds; ++i) {
                    EnterCriticalSection(&section);
                    const long seen = counter;
                    if (sleepInside)
                        std::this_thread::sleep_for(std::chrono::microseconds(200));
                    counter = seen + 1;
                    LeaveCriticalSection(&section);
                }
            });
        }
        for (std::thread& t : threads)
            t.join();
        EXPECT_EQ(counter, long(kThreads) * rounds) << (sleepInside ? "sleeping" : "spinning");
    }
    DeleteCriticalSection(&section);
}

}  // namespace
