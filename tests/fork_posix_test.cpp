// A child forked while other threads work in the process's pool or write to its log and history
// finds their locks free: it can allocate and log at once. Its log lines are its own: the lines
// that the parent's threads left waiting at the fork are written once, by the parent.
#include <sys/wait.h>
#include <unistd.h>

#include "memory/pooltest.h"
#include "tarnkernl/log.h"
#include "tarnkernl/tarnrt.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kForks = 100;

// A log line, or with `what` a history record.
void Write(const char* what, const char* format, ...) TARN_PRINTF(2, 3);
void Write(const char* what, const char* format, ...) {
    va_list args;
    va_start(args, format);
    voutlog(format, args, nullptr, what);
    va_end(args);
}

// Forks kForks children, one after another, while `threads` threads run `busy` (given the
// thread's index) over and over; each child ends with what `child` (given the fork's index)
// returns. The index of the first fork whose child failed or hung, or -1.
int FirstFailedFork(int threads, const std::function<void(int)>& busy, int (*child)(int)) {
    std::atomic<bool> stop{false};
    std::vector<std::thread> others;
    for (int t = 0; t < threads; ++t)
        others.emplace_back([&, t] {
            while (!stop.load(std::memory_order_relaxed))
                busy(t);
        });
    int failed = -1;
    for (int fork = 0; fork < kForks && failed < 0; ++fork) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            alarm(10);  // a lock inherited taken would wait for ever
            _exit(child(fork));
        }
        int status = 0;
        if (pid == -1 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
            WEXITSTATUS(status) != 0)
            failed = fork;
    }
    stop = true;
    for (std::thread& other : others)
        other.join();
    return failed;
}

TEST(Fork, AChildForkedWhileAnotherThreadHoldsThePoolCanAllocate) {
    // The other thread's check of a few thousand blocks holds the pool's lock most of the time.
    std::vector<void*> blocks;
    for (int i = 0; i < 5000; ++i)
        blocks.push_back(malloc(100));
    const int failed = FirstFailedFork(
        1, [](int) { tarnrtl_GetMemIface()->CheckForBugs(); },
        [](int) {
            void* block = malloc(200);
            free(block);
            return block ? 0 : 1;
        });
    for (void* block : blocks)
        free(block);
    EXPECT_EQ(failed, -1) << "10 s and SIGALRM: the child waited for the pool's lock";
}

TEST(Fork, AChildForkedWhileOtherThreadsLogWritesOnlyItsOwnLines) {
    const tarn::test::FileTail log{GetProcess().logName};
    // Three threads write log lines, a fourth history records.
    constexpr int kThreads = 3;
    int written[kThreads + 1] = {};
    const int failed = FirstFailedFork(
        kThreads + 1,
        [&](int t) { Write(t < kThreads ? nullptr : "busy", "busy %d line %d", t, written[t]++); },
        [](int fork) {
            Write(nullptr, "child %d", fork);
            Write("child", "record %d", fork);
            return 0;
        });
    EXPECT_EQ(failed, -1) << "10 s and SIGALRM: the child waited for a lock";

    std::istringstream lines(log.Text());
    std::vector<std::vector<int>> busy(kThreads);
    for (int t = 0; t < kThreads; ++t)
        busy[t].resize(written[t]);
    std::vector<int> children(kForks);
    for (std::string line; std::getline(lines, line);) {
        int t, i;
        if (const char* text = strstr(line.c_str(), " busy ");
            text && sscanf(text, " busy %d line %d", &t, &i) == 2 && t >= 0 && t < kThreads &&
            i >= 0 && i < written[t])
            ++busy[t][i];
        else if (const char* child = strstr(line.c_str(), " child ");
                 child && sscanf(child, " child %d", &i) == 1 && i >= 0 && i < kForks)
            ++children[i];
    }
    for (int t = 0; t < kThreads; ++t)
        for (int i = 0; i < written[t]; ++i)
            if (busy[t][i] != 1)
                FAIL() << "thread " << t << " line " << i << " seen " << busy[t][i] << " times";
    const int forks = failed < 0 ? kForks : failed;
    for (int i = 0; i < forks; ++i)
        EXPECT_EQ(children[i], 1) << "child " << i;
}

}  // namespace
