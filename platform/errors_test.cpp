// The thread's last error, thread and process ids, FormatMessageA and (on POSIX) the mapping
// of errno to Win32 codes.
#include "platform/testing.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#if !defined(_WIN32)
#include "platform/posix/errors.h"

#include <errno.h>
#include <unistd.h>
#endif

namespace {

TEST(LastError, BelongsToEachThread)
{
    // The threads meet through atomics only: thread creation, joins and waits are system calls
    // that may set the last error themselves.
    std::atomic<int> step{0};
    DWORD seenAtStart = 1, seenByOther = 0;
    std::thread other([&] {
        seenAtStart = GetLastError();
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
}

TEST(ThreadAndProcessIds, DistinguishThreadsAndStayStable)
{
    const DWORD self = GetCurrentThreadId();
    EXPECT_NE(self, 0u);
    EXPECT_EQ(GetCurrentThreadId(), self);
    DWORD otherThread = 0, otherProcess = 0;
    std::thread other([&] {
        otherThread = GetCurrentThreadId();
        otherProcess = GetCurrentProcessId();
    });
    other.join();
    EXPECT_NE(otherThread, self);
    EXPECT_NE(otherThread, 0u);
    EXPECT_EQ(otherProcess, GetCurrentProcessId());
#if !defined(_WIN32)
    EXPECT_EQ(GetCurrentProcessId(), DWORD(getpid()));
    EXPECT_EQ(self, DWORD(getpid())) << "the main thread's id is the process id";
#endif
}

constexpr DWORD kFromSystem = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
const DWORD kDefaultLanguage = MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT);

// The system's text for `code`, or "" when FormatMessageA fails.
std::string MessageText(DWORD code)
{
    char buffer[512];
    const DWORD n = FormatMessageA(kFromSystem, nullptr, code, kDefaultLanguage, buffer,
                                   sizeof buffer, nullptr);
    return std::string(buffer, n);
}

TEST(SystemMessage, SystemTextsEndInCrLf)
{
    for (DWORD code : {DWORD(ERROR_FILE_NOT_FOUND), DWORD(ERROR_ACCESS_DENIED)}) {
        SCOPED_TRACE(code);
        char buffer[512];
        const DWORD n = FormatMessageA(kFromSystem, nullptr, code, kDefaultLanguage, buffer,
                                       sizeof buffer, nullptr);
        ASSERT_GT(n, 2u);
        EXPECT_EQ(std::string(buffer), std::string(buffer, n)) << "terminated after the count";
        EXPECT_EQ(std::string(buffer + n - 2), "\r\n");
        EXPECT_NE(buffer[0], '\r');
    }
    EXPECT_NE(MessageText(ERROR_FILE_NOT_FOUND), MessageText(ERROR_ACCESS_DENIED));
}

TEST(SystemMessage, BufferMustHoldTextAndTerminator)
{
    const std::string text = MessageText(ERROR_ACCESS_DENIED);
    ASSERT_FALSE(text.empty());
    const DWORD length = static_cast<DWORD>(text.size());
    char buffer[512];

    EXPECT_EQ(FormatMessageA(kFromSystem, nullptr, ERROR_ACCESS_DENIED, kDefaultLanguage, buffer,
                             length + 1, nullptr), length);
    EXPECT_EQ(std::string(buffer), text);
    for (DWORD size : {length, DWORD(1), DWORD(0)}) {
        SCOPED_TRACE(size);
        SetLastError(0);
        EXPECT_EQ(FormatMessageA(kFromSystem, nullptr, ERROR_ACCESS_DENIED, kDefaultLanguage,
                                 buffer, size, nullptr), 0u);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    }
}

TEST(SystemMessage, RefusesUnknownCodesAndBadRequests)
{
    char buffer[512];
    SetLastError(0);
    EXPECT_EQ(FormatMessageA(kFromSystem, nullptr, 0x2BADC0DE, kDefaultLanguage, buffer,
                             sizeof buffer, nullptr), 0u);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_MR_MID_NOT_FOUND));

    SetLastError(0);
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, ERROR_FILE_NOT_FOUND,
                             kDefaultLanguage, buffer, sizeof buffer, nullptr), 0u);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER)) << "no message source";
}

#if !defined(_WIN32)

TEST(ErrnoMapping, GivesTheWin32Codes)
{
    using tarn::posix::ErrorFromErrno;
    const struct {
        int error;
        DWORD code;
    } expected[] = {
        {0, ERROR_SUCCESS},           {ENOENT, ERROR_FILE_NOT_FOUND},
        {ENOTDIR, ERROR_PATH_NOT_FOUND}, {EMFILE, ERROR_TOO_MANY_OPEN_FILES},
        {EACCES, ERROR_ACCESS_DENIED}, {EPERM, ERROR_ACCESS_DENIED},
        {EBADF, ERROR_INVALID_HANDLE}, {ENOMEM, ERROR_NOT_ENOUGH_MEMORY},
        {EROFS, ERROR_WRITE_PROTECT},  {EBUSY, ERROR_BUSY},
        {EEXIST, ERROR_ALREADY_EXISTS}, {EINVAL, ERROR_INVALID_PARAMETER},
        {ENAMETOOLONG, ERROR_FILENAME_EXCED_RANGE}, {ENOSPC, ERROR_DISK_FULL},
        {ENOTEMPTY, ERROR_DIR_NOT_EMPTY}, {EXDEV, ERROR_NOT_SAME_DEVICE},
    };
    for (const auto& e : expected)
        EXPECT_EQ(ErrorFromErrno(e.error), e.code) << "errno " << e.error;
    EXPECT_EQ(ErrorFromErrno(EEXIST, ERROR_FILE_EXISTS), DWORD(ERROR_FILE_EXISTS));
    EXPECT_EQ(ErrorFromErrno(ENOENT, ERROR_FILE_EXISTS), DWORD(ERROR_FILE_NOT_FOUND))
        << "the exists code concerns EEXIST only";

    SetLastError(0);
    tarn::posix::SetLastErrorFromErrno(ENOTEMPTY);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_DIR_NOT_EMPTY));
}

TEST(ErrnoMapping, EveryMappedCodeHasAMessage)
{
    for (int error = 0; error < 200; ++error) {
        const DWORD code = tarn::posix::ErrorFromErrno(error);
        EXPECT_FALSE(MessageText(code).empty()) << "errno " << error << " -> " << code;
    }
    EXPECT_FALSE(MessageText(ERROR_FILE_EXISTS).empty());
}

#endif

}  // namespace
