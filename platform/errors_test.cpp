// The thread's last error, thread and process ids, FormatMessageA and, on POSIX, the mapping
// of errno to Win32 codes and the system-call table with its failure seam.
#include "platform/testing.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <tuple>

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
TEST(LastErrorAndIds, BelongToEachThread) {
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
    EXPECT_EQ(
        std::tuple(seenAtStart, seenByOther, seenByMain),
        std::tuple(DWORD(ERROR_SUCCESS), DWORD(ERROR_FILE_NOT_FOUND), DWORD(ERROR_ACCESS_DENIED)));

    const DWORD self = GetCurrentThreadId();
    EXPECT_TRUE(self && otherThread && otherThread != self);
    EXPECT_EQ(otherProcess, GetCurrentProcessId());
#if !defined(_WIN32)
    EXPECT_EQ(GetCurrentProcessId(), DWORD(getpid()));
    EXPECT_EQ(self, DWORD(getpid())) << "the main thread's id is the process id";
#endif
}

constexpr DWORD kFromSystem = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;

// FormatMessageA's count for `code` into `buffer` of `size`, with the last error cleared first.
DWORD Format(DWORD code, char* buffer, DWORD size, DWORD flags = kFromSystem) {
    SetLastError(0);
    return FormatMessageA(flags, nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), buffer,
                          size, nullptr);
}

// The system's text for `code`, or "" when FormatMessageA fails.
std::string MessageText(DWORD code) {
    char buffer[512];
    return std::string(buffer, Format(code, buffer, sizeof buffer));
}

TEST(SystemMessage, TextEndsInCrLfAndRefusalsSetTheLastError) {
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
    // Too small a buffer, an unknown code and a request without a message source fail.
    const std::tuple<DWORD, DWORD, DWORD, DWORD> failures[] = {
        {ERROR_ACCESS_DENIED, length, kFromSystem, ERROR_INSUFFICIENT_BUFFER},
        {ERROR_ACCESS_DENIED, 1, kFromSystem, ERROR_INSUFFICIENT_BUFFER},
        {ERROR_ACCESS_DENIED, 0, kFromSystem, ERROR_INSUFFICIENT_BUFFER},
        {0x2BADC0DE, sizeof buffer, kFromSystem, ERROR_MR_MID_NOT_FOUND},
        {ERROR_FILE_NOT_FOUND, sizeof buffer, FORMAT_MESSAGE_IGNORE_INSERTS,
         ERROR_INVALID_PARAMETER}};
    for (const auto& [code, size, flags, error] : failures) {
        SCOPED_TRACE(testing::Message() << code << " into " << size);
        EXPECT_EQ(Format(code, buffer, size, flags), 0u);
        EXPECT_EQ(GetLastError(), error);
    }
}

#if !defined(_WIN32)

TEST(ErrnoMapping, CallerChoosesTheExistsCodeAndEveryCodeHasAMessage) {
    using tarn::posix::ErrorFromErrno;
    EXPECT_EQ(ErrorFromErrno(EEXIST, ERROR_FILE_EXISTS), DWORD(ERROR_FILE_EXISTS));
    EXPECT_EQ(ErrorFromErrno(ENOENT, ERROR_FILE_EXISTS), DWORD(ERROR_FILE_NOT_FOUND))
        << "the exists code concerns EEXIST only";
    for (int error = 0; error < 200; ++error)
        EXPECT_FALSE(MessageText(ErrorFromErrno(error)).empty()) << "errno " << error;
    EXPECT_FALSE(MessageText(ERROR_FILE_EXISTS).empty());
}

TEST(SystemCalls, PlannedFailureHitsOnlyTheNthCallOfItsKind) {
    using tarn::posix::Call;
    const tarn::posix::Syscalls& sys = tarn::posix::Sys();
    char dir[] = "/tmp/tarn-syscalls-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string file = dir + std::string("/file");

    tarn::posix::FailCallForTesting(Call::Open, 2, EACCES);
    const int first = sys.open(file.c_str(), O_RDWR | O_CREAT, 0600);
    EXPECT_GE(first, 0);
    EXPECT_GE(sys.access(file.c_str(), F_OK), 0) << "another kind of call is not counted";
    errno = 0;
    EXPECT_EQ(sys.open(file.c_str(), O_RDONLY, 0), -1);
    EXPECT_EQ(errno, EACCES);
    const int third = sys.open(file.c_str(), O_RDONLY, 0);
    EXPECT_GE(third, 0) << "the failure happens once";
    sys.close(first);
    sys.close(third);

    tarn::posix::FailCallForTesting(Call::Unlink, 1, EBUSY);
    tarn::posix::FailCallForTesting(Call::Unlink, 2, EROFS);  // replaces the plan above
    EXPECT_EQ(sys.unlink((dir + std::string("/missing")).c_str()), -1);
    EXPECT_EQ(errno, ENOENT) << "the first unlink reached the system";
    EXPECT_EQ(sys.unlink(file.c_str()), -1);
    EXPECT_EQ(errno, EROFS);

    tarn::posix::FailCallForTesting(Call::Status, 1, EIO);
    tarn::posix::ResetCallFailuresForTesting();
    struct stat64 status;
    EXPECT_EQ(sys.stat(file.c_str(), &status), 0);
    tarn::posix::ResetCallFailuresForTesting();
    ::unlink(file.c_str());
    ::rmdir(dir);
}

#endif

}  // namespace
