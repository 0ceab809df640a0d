// A child forked while other threads work in the process's pool or write to its log and history
// finds their locks free: it can allocate and log at once. Its log lines are its own: the lines
// that the parent's threads left waiting at the fork are written once, by the parent.
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include "memory/pooltest.h"
#include "tarnkernl/log.h"
#include "tarnkernl/tarnrt.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
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

// How far the running child came in its work, in memory it shares with the parent: a child that
// hangs or fails says where.
std::atomic<int>* const gChildStep = static_cast<std::atomic<int>*>(mmap(
    nullptr, sizeof(std::atomic<int>), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));

void Reached(int step) { gChildStep->store(step); }

// The first child that failed or hung: its fork, the last step it reached and how it ended (its
// wait status, or -1 when it could not be forked).
struct ChildFailure {
    int fork = -1;
    int step = 0;
    int status = 0;
};

std::ostream& operator<<(std::ostream& out, const ChildFailure& failure) {
    if (failure.status == -1)
        return out << "fork " << failure.fork << " failed";
    out << "the child of fork " << failure.fork << " reached step " << failure.step;
    if (WIFSIGNALED(failure.status))
        return out << " and was ended by signal " << WTERMSIG(failure.status)
                   << (WTERMSIG(failure.status) == SIGALRM ? " (10 s: it waited for a lock)" : "");
    return out << " and exited with status " << WEXITSTATUS(failure.status);
}

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
// returns, noting its steps with Reached. What became of the first child that failed or hung;
// its fork is -1 when none did.
ChildFailure FirstFailedFork(int threads, const std::function<void(int)>& busy, int (*child)(int)) {
    std::atomic<bool> stop{false};
    std::vector<std::thread> others;
    for (int t = 0; t < threads; ++t)
        others.emplace_back([&, t] {
            while (!stop.load(std::memory_order_relaxed))
                busy(t);
        });
    ChildFailure failed;
    for (int fork = 0; fork < kForks && failed.fork < 0; ++fork) {
        Reached(0);
        const pid_t pid = ::fork();
        if (pid == 0) {
            alarm(10);  // a lock inherited taken would wait for ever
            _exit(child(fork));
        }
        int status = 0;
        if (pid == -1 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
            WEXITSTATUS(status) != 0)
            failed = {fork, gChildStep->load(), pid == -1 ? -1 : status};
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
    const ChildFailure failed = FirstFailedFork(
        1, [](int) { tarnrtl_GetMemIface()->CheckForBugs(); },
        [](int) {
            Reached(1);
            void* block = malloc(200);
            Reached(2);
            free(block);
            Reached(3);
            return block ? 0 : 1;
        });
    for (void* block : blocks)
        free(block);
    EXPECT_EQ(failed.fork, -1) << failed << " (1 allocating, 2 releasing, 3 done)";
}

TEST(Fork, AChildForkedWhileOtherThreadsLogWritesOnlyItsOwnLines) {
    const tarn::test::FileTail log{GetProcess().logName};
    // Three threads write log lines, a fourth history records.
    constexpr int kThreads = 3;
    int written[kThreads + 1] = {};
    const ChildFailure failed = FirstFailedFork(
        kThreads + 1,
        [&](int t) { Write(t < kThreads ? nullptr : "busy", "busy %d line %d", t, written[t]++); },
        [](int fork) {
            Reached(1);
            Write(nullptr, "child %d", fork);
            Reached(2);
            Write("child", "record %d", fork);
            Reached(3);
            return 0;
        });
    EXPECT_EQ(failed.fork, -1) << failed << " (1 writing its line, 2 its record, 3 done)";

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
    const int forks = failed.fork < 0 ? kForks : failed.fork;
    for (int i = 0; i < forks; ++i)
        EXPECT_EQ(children[i], 1) << "child " << i;
}

}  // namespace
