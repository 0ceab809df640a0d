// The owning descriptor and the whole-buffer transfers: short counts are followed by the rest,
// interrupted calls are made again, and a descriptor is closed once, through the table.
#include "platform/posix/descriptor.h"

#include "platform/posix/syscalls.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

using tarn::posix::Call;
using tarn::posix::Descriptor;
using tarn::posix::FailCallForTesting;
using tarn::posix::Transfer;

bool IsOpen(int fd) { return fcntl(fd, F_GETFD) != -1; }

// A fresh empty file, removed again when the test ends.
class TemporaryFile {
public:
    TemporaryFile() : fd_(mkstemp(name_)) {}
    ~TemporaryFile() { unlink(name_); }
    int Get() const { return fd_.Get(); }
    std::string Content() const {
        std::string text(1 << 16, '\0');
        text.resize(size_t(pread(fd_.Get(), text.data(), text.size(), 0)));
        return text;
    }

private:
    char name_[32] = "/tmp/tarn-transfer-XXXXXX";
    Descriptor fd_;
};

TEST(Transfers, ReadsFollowShortCountsToTheEndAndMakeInterruptedCallsAgain) {
    // Each read of a packet socket gives one packet: "abc" comes short of what is asked.
    for (const int interrupted : {0, 1, 2, 3}) {
        SCOPED_TRACE(interrupted);
        int ends[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, ends), 0);
        const Descriptor reader(ends[0]);
        ASSERT_EQ(write(ends[1], "abc", 3), 3);
        ASSERT_EQ(write(ends[1], "defg", 4), 4);
        close(ends[1]);
        if (interrupted)
            FailCallForTesting(Call::Read, interrupted, EINTR);
        char buffer[16] = {};
        const Transfer read = tarn::posix::ReadAll(reader.Get(), buffer, sizeof buffer);
        EXPECT_EQ(read.error, 0);
        EXPECT_EQ(std::string(buffer, read.done), "abcdefg");
    }
    tarn::posix::ResetCallFailuresForTesting();
}

TEST(Transfers, WritesMakeInterruptedCallsAgainAndReportHowFarTheyGot) {
    TemporaryFile whole;
    FailCallForTesting(Call::Write, 1, EINTR);
    Transfer written = tarn::posix::WriteAll(whole.Get(), "hello", 5);
    EXPECT_EQ(written.error, 0);
    EXPECT_EQ(written.done, 5u);
    EXPECT_EQ(whole.Content(), "hello");

    // Under a file size limit the first write comes short and the next one fails: the transfer
    // goes on after the short count, also through an interruption, and says where it stopped.
    const std::vector<char> data(6000, 'x');
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &limit), 0);
    rlimit lowered = limit;
    lowered.rlim_cur = 4096;
    const sighandler_t oldHandler = signal(SIGXFSZ, SIG_IGN);
    for (const int interrupted : {0, 2}) {
        SCOPED_TRACE(interrupted);
        TemporaryFile limited;
        if (interrupted)
            FailCallForTesting(Call::Write, interrupted, EINTR);
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &lowered), 0);
        written = tarn::posix::WriteAll(limited.Get(), data.data(), data.size());
        setrlimit(RLIMIT_FSIZE, &limit);
        EXPECT_EQ(written.error, EFBIG);
        EXPECT_EQ(written.done, 4096u);
        EXPECT_EQ(limited.Content(), std::string(4096, 'x'));
    }
    signal(SIGXFSZ, oldHandler);
    tarn::posix::ResetCallFailuresForTesting();
}

TEST(Descriptor, ClosesOnceThroughTheTableAndKeepsErrno) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    {
        const Descriptor held(ends[0]);
        errno = EXDEV;
    }
    const int error = errno;
    EXPECT_EQ(error, EXDEV) << "closing at the end of the scope changed errno";
    EXPECT_FALSE(IsOpen(ends[0]));

    Descriptor writer(ends[1]);
    Descriptor other;
    ASSERT_EQ(pipe(ends), 0);
    other = Descriptor(ends[0]);
    other = std::move(writer);  // the pipe's read end, held before, is closed
    EXPECT_FALSE(IsOpen(ends[0]));
    close(ends[1]);

    const int fd = other.Get();
    FailCallForTesting(Call::Close, 1, EIO);
    EXPECT_EQ(other.Close(), EIO);
    EXPECT_FALSE(other);
    EXPECT_FALSE(IsOpen(fd)) << "a failed close has released the descriptor, as Linux's does";
}

}  // namespace
