// The process's pool and fork: a child forked while another thread works in the pool can
// allocate (the lock is held across the fork, so the child never inherits it taken).
#include <sys/wait.h>
#include <unistd.h>

#include "tarnkernl/tarnrt.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <thread>
#include <vector>

namespace {

TEST(ProcessPoolAndFork, AChildForkedWhileAnotherThreadHoldsThePoolCanAllocate) {
    // The other thread's check of a few thousand blocks holds the pool's lock most of the time.
    std::vector<void*> blocks;
    for (int i = 0; i < 5000; ++i)
        blocks.push_back(malloc(100));
    std::atomic<bool> stop{false};
    std::thread busy([&] {
        while (!stop.load(std::memory_order_relaxed))
            tarnrtl_GetMemIface()->CheckForBugs();
    });
    int status = 0;
    int fork = 0;
    for (; fork < 100 && status == 0; ++fork) {
        const pid_t child = ::fork();
        if (child == 0) {
            alarm(10);  // a lock inherited taken would wait for ever
            void* block = malloc(200);
            free(block);
            _exit(block ? 0 : 1);
        }
        if (child == -1 || waitpid(child, &status, 0) != child)
            status = -1;
    }
    stop = true;
    busy.join();
    for (void* block : blocks)
        free(block);
    EXPECT_EQ(status, 0) << "fork " << fork << " (10 s and SIGALRM: the child waited for the lock)";
}

}  // namespace
