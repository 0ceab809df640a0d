// Critical sections: re-entrant for the owner, exclusive against every other thread. Thread
// slots: one value per thread, none in a slot handed out again.
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
    bool OtherThreadGetsIn() {
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

TEST_F(CriticalSection, OwnerEntersAgainAndHoldsItUntilTheLastLeave) {
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

// `threads` threads each add 1 to a counter `rounds` times under the section, with a plain
// read-modify-write around `inside`: only the section keeps the count whole.
long CountUnder(CRITICAL_SECTION& section, int threads, int rounds, void (*inside)()) {
    long counter = 0;
    std::vector<std::thread> running;
    for (int t = 0; t < threads; ++t) {
        running.emplace_back([&] {
            for (int i = 0; i < rounds; ++i) {
                EnterCriticalSection(&section);
                const long seen = counter;
                inside();
                counter = seen + 1;
                LeaveCriticalSection(&section);
            }
        });
    }
    for (std::thread& t : running)
        t.join();
    return counter;
}

TEST_F(CriticalSection, ExcludesOtherThreads) {
    EXPECT_EQ(CountUnder(section_, 4, 5000, [] { std::this_thread::yield(); }), 4 * 5000);
}

// Waiters that spin (a short section: they get in while spinning) and waiters that spin out and
// sleep (a long one: the owner must wake them) alike.
TEST(CriticalSectionWithSpinCount, ExcludesOtherThreadsAndWakesSleepers) {
    CRITICAL_SECTION section;
    ASSERT_TRUE(InitializeCriticalSectionAndSpinCount(&section, 4000));
    EXPECT_EQ(CountUnder(section, 3, 20000, [] {}), 3 * 20000) << "spinning";
    EXPECT_EQ(CountUnder(section, 3, 50,
                         [] { std::this_thread::sleep_for(std::chrono::microseconds(200)); }),
              3 * 50)
        << "sleeping";
    DeleteCriticalSection(&section);
}

// More threads than processors, on a section without a spin and on one whose spinners take it
// over from an owner that leaves its sleepers asleep: most entries find sleepers, and a lost
// wake leaves threads asleep until the test times out.
TEST(CriticalSectionWithSpinCount, ManySleepersAreAllWoken) {
    for (DWORD spin : {0, 128}) {
        CRITICAL_SECTION section;
        ASSERT_TRUE(InitializeCriticalSectionAndSpinCount(&section, spin));
        const int threads = 3 * static_cast<int>(std::thread::hardware_concurrency()) + 2;
        EXPECT_EQ(CountUnder(section, threads, 20000, [] {}), threads * 20000L) << spin;
        EXPECT_EQ(CountUnder(section, threads, 200, [] { std::this_thread::yield(); }),
                  threads * 200L)
            << spin;
        DeleteCriticalSection(&section);
    }
}

// Each thread sees its own value and a new thread none; a slot freed and handed out again
// starts empty in every thread; a slot not handed out is refused.
TEST(ThreadSlots, HoldOneValuePerThreadAndStartEmpty) {
    int mine = 0;
    int theirs = 0;
    const DWORD slot = TlsAlloc();
    ASSERT_NE(slot, TLS_OUT_OF_INDEXES);
    EXPECT_EQ(TlsGetValue(slot), nullptr);
    ASSERT_TRUE(TlsSetValue(slot, &mine));
    SetLastError(ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(TlsGetValue(slot), &mine);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS));
    std::thread other([&] {
        EXPECT_EQ(TlsGetValue(slot), nullptr);
        TlsSetValue(slot, &theirs);
        EXPECT_EQ(TlsGetValue(slot), &theirs);
    });
    other.join();
    EXPECT_EQ(TlsGetValue(slot), &mine);

    ASSERT_TRUE(TlsFree(slot));
    std::vector<DWORD> taken;
    for (DWORD again = TlsAlloc(); again != TLS_OUT_OF_INDEXES && again != slot; again = TlsAlloc())
        taken.push_back(again);
    EXPECT_EQ(TlsGetValue(slot), nullptr) << "the slot came back empty";
    for (DWORD other : taken)
        TlsFree(other);
    EXPECT_TRUE(TlsFree(slot));
    EXPECT_FALSE(TlsFree(slot));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
}

}  // namespace
