// LazyLock: usable before its construction and after its destruction, re-entrant, tried without
// waiting, and a real lock between threads, also when they race to initialise it.
#include "log/lazylock.h"

#include <gtest/gtest.h>

#include <new>
#include <thread>
#include <vector>

namespace {

// Counts with a read-modify-write that loses updates unless the lock serialises it.
void CountUnderLock(tarn::LazyLock& lock, volatile long& counter, int times) {
    for (int i = 0; i < times; ++i) {
        tarn::LazyLock::Guard guard(lock);
        long value = counter;
        if (i % 64 == 0)
            std::this_thread::yield();
        counter = value + 1;
    }
}

void CountFromThreads(tarn::LazyLock& lock, int threads, int times) {
    volatile long counter = 0;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back(CountUnderLock, std::ref(lock), std::ref(counter), times);
    for (std::thread& worker : workers)
        worker.join();
    EXPECT_EQ(counter, static_cast<long>(threads) * times);
}

TEST(LazyLock, WorksBeforeConstructionAndAfterDestruction) {
    // Zeroed storage is what a static lock is before its construction.
    alignas(tarn::LazyLock) unsigned char storage[sizeof(tarn::LazyLock)] = {};
    tarn::LazyLock& lock = *reinterpret_cast<tarn::LazyLock*>(storage);
    {
        tarn::LazyLock::Guard outer(lock);
        tarn::LazyLock::Guard inner(lock);
        EXPECT_TRUE(lock.TryEnter()) << "the owner enters again";
        lock.Leave();
        bool other = true;
        std::thread([&] { other = lock.TryEnter(); }).join();
        EXPECT_FALSE(other) << "another thread does not wait, and does not enter";
    }
    bool afterwards = false;
    std::thread([&] {
        afterwards = lock.TryEnter();
        if (afterwards)
            lock.Leave();
    }).join();
    EXPECT_TRUE(afterwards);
    // Construction keeps the section an early entry made, held or not.
    lock.Enter();
    new (storage) tarn::LazyLock;
    lock.Leave();
    CountFromThreads(lock, 4, 2000);
    lock.~LazyLock();
    // A use after destruction initialises it afresh.
    CountFromThreads(lock, 4, 2000);
}

TEST(LazyLock, ThreadsRacingToInitialiseShareOneSection) {
    for (int round = 0; round < 20; ++round) {
        alignas(tarn::LazyLock) unsigned char storage[sizeof(tarn::LazyLock)] = {};
        CountFromThreads(*reinterpret_cast<tarn::LazyLock*>(storage), 4, 200);
    }
}

}  // namespace
