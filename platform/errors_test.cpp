// The thread's last error, thread and process ids, FormatMessageA and, on POSIX, the mapping
// of errno to Win32 codes and the system-call table with its failure seam.
#include "platform/testing.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#if !defined(_WIN32)
#include "platform/posix/errors.h"
#include "platform/posix/syscalls.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>
#endif

namespace {

// The threads meet through atomics only: thread creation, joins and waits are system calls
// that may set the last error themselves.
TEST(LastErrorAndIds, BelongToEachThread)
{
    std::atomic<int> step{0};
    DWORD seenAtStart = 1, seenByOther = 0, otherThread = 0, otherProcess = 0;
    std::thread other([&] {
        seenAtStart = GetLastError();
        otherThread = GetCurrentThreadId();
        otherProcess = GetCurrentProcessId();
        SetLastError(ERROR_FILE_NOT_FOUND);
        step = 1;
        while (step != 2) {
        }
        seenByOther = GetLastError();
        step = 3;
    });
    while (step != 1) {
    }
    SetLastError(ERROR_ACCESS_DENIED);
    step = 2;
    while (step != 3) {
    }
    const DWORD seenByMain = GetLastError();
    other.join();
    EXPECT_EQ(seenAtStart, DWORD(ERROR_SUCCESS));
    EXPECT_EQ(seenByOther, DWORD(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(seenByMain, DWORD(ERROR_ACCESS_DENIED));

    const DWORD self = GetCurrentThreadId();
    EXPECT_NE(self, 0u);
    EXPECT_NE(otherThread, self);
    EXPECT_NE(otherThread, 0u);
    EXPECT_EQ(otherProcess, GetCurrentProcessId());
#if !defined(_WIN32)
    EXPECT_EQ(GetCurrentProcessId(), DWORD(getpid()));
    EXPECT_EQ(self, DWORD(getpid())) << "the main thread's id is the process id";
#endif
}

constexpr DWORD kFromSystem = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;

// FormatMessageA's count for `code` into `buffer` of `size`, with the last error cleared first.
DWORD Format(DWORD code, char* buffer, DWORD size, DWORD flags = kFromSystem)
{
    SetLastError(0);
    return FormatMessageA(flags, nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), buffer,
                          size, nullptr);
}

// The system's text for `code`, or "" when FormatMessageA fails.
std::string MessageText(DWORD code)
{
    char buffer[512];
    return std::string(buffer, Format(code, buffer, sizeof buffer));
}

TEST(SystemMessage, TextEndsInCrLfAndNeedsRoomForItsTerminator)
{
    char buffer[512];
    for (DWORD code : {DWORD(ERROR_FILE_NOT_FOUND), DWORD(ERROR_ACCESS_DENIED)}) {
        SCOPED_TRACE(code);
        const DWORD n = Format(code, buffer, sizeof buffer);
        ASSERT_GT(n, 2u);
        EXPECT_EQ(std::string(buffer), std::string(buffer, n)) << "terminated after the count";
        EXPECT_EQ(std::string(buffer + n - 2), "\r\n");
        EXPECT_NE(buffer[0], '\r');
    }
    const std::string text = MessageText(ERROR_ACCESS_DENIED);
    EXPECT_NE(MessageText(ERROR_FILE_NOT_FOUND), text);

    const DWORD length = static_cast<DWORD>(text.size());
    EXPECT_EQ(Format(ERROR_ACCESS_DENIED, buffer, length + 1), length);
    EXPECT_EQ(std::string(buffer), text);
    for (DWORD size : {length, DWORD(1), DWORD(0)}) {
        SCOPED_TRACE(size);
        EXPECT_EQ(Format(ERROR_ACCESS_DENIED, buffer, size), 0u);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    }
}

TEST(SystemMessage, RefusesUnknownCodesAndBadRequests)
{
    char buffer[512];
    EXPECT_EQ(Format(0x2BADC0DE, buffer, sizeof buffer), 0u);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_MR_MID_NOT_FOUND));
    EXPECT_EQ(Format(ERROR_FILE_NOT_FOUND, buffer, sizeof buffer, FORMAT_MESSAGE_IGNORE_INSERTS),
              0u);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER)) << "no message source";
}

#if !defined(_WIN32)

TEST(ErrnoMapping, CallerChoosesTheExistsCodeAndEveryCodeHasAMessage)
{
    using tarn::posix::ErrorFromErrno;
    EXPECT_EQ(ErrorFromErrno(0), DWORD(ERROR_SUCCESS));
    EXPECT_EQ(ErrorFromErrno(EEXIST), DWORD(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(ErrorFromErrno(EEXIST, ERROR_FILE_EXISTS), DWORD(ERROR_FILE_EXISTS));
    EXPECT_EQ(ErrorFromErrno(ENOENT, ERROR_FILE_EXISTS), DWORD(ERROR_FILE_NOT_FOUND))
        << "the exists code concerns EEXIST only";
    EXPECT_EQ(ErrorFromErrno(ERANGE), DWORD(ERROR_INSUFFICIENT_BUFFER));
    for (int error = 0; error < 200; ++error)
        EXPECT_FALSE(MessageText(ErrorFromErrno(error)).empty()) << "errno " << error;
    EXPECT_FALSE(MessageText(ERROR_FILE_EXISTS).empty());
}

// A scratch directory for the calls under a planned failure.
class SystemCalls : public testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/tarn-syscalls-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }

    void TearDown() override
    {
        tarn::posix::ResetCallFailuresForTesting();
        ::unlink((dir_ + "/file").c_str());
        ::rmdir(dir_.c_str());
    }

    std::string dir_;
};

TEST_F(SystemCalls, PlannedFailureHitsOnlyTheNthCallOfItsKind)
{
    using tarn::posix::Call;
    const tarn::posix::Syscalls& sys = tarn::posix::Sys();
    const std::string file = dir_ + "/file";

    tarn::posix::FailCallForTesting(Call::Open, 2, EACCES);
    const int first = sys.open(file.c_str(), O_RDWR | O_CREAT, 0600);
    EXPECT_GE(first, 0);
    EXPECT_GE(sys.access(file.c_str(), F_OK), 0) << "another kind of call is not counted";
    errno = 0;
    EXPECT_EQ(sys.open(file.c_str(), O_RDONLY, 0), -1);
    EXPECT_EQ(errno, EACCES);
    tarn::posix::SetLastErrorFromErrno(errno);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    const int third = sys.open(file.c_str(), O_RDONLY, 0);
    EXPECT_GE(third, 0) << "the failure happens once";
    sys.close(first);
    sys.close(third);

    tarn::posix::FailCallForTesting(Call::OpenDirectory, 1, EMFILE);
    EXPECT_EQ(sys.opendir(dir_.c_str()), nullptr);
    EXPECT_EQ(errno, EMFILE);

    tarn::posix::FailCallForTesting(Call::Unlink, 1, EBUSY);
    tarn::posix::FailCallForTesting(Call::Unlink, 2, EROFS);  // replaces the plan above
    EXPECT_EQ(sys.unlink((dir_ + "/missing").c_str()), -1);
    EXPECT_EQ(errno, ENOENT) << "the first unlink reached the system";
    EXPECT_EQ(sys.unlink(file.c_str()), -1);
    EXPECT_EQ(errno, EROFS);

    tarn::posix::FailCallForTesting(Call::Status, 1, EIO);
    tarn::posix::ResetCallFailuresForTesting();
    struct stat64 status;
    EXPECT_EQ(sys.stat(file.c_str(), &status), 0);
}

#endif

}  // namespace
