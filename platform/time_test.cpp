// Time: file times and system times converted both ways, local time, the tick count and the
// time-stamp counter. On Windows the same tests run against the real KERNEL32. The test of a
// faked clock runs only when the build runs the program under `faketime` and names the date.
#include "platform/testing.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

namespace {

int64_t Ticks(const FILETIME& t)
{
    return int64_t(uint64_t(t.dwHighDateTime) << 32 | t.dwLowDateTime);
}

FILETIME FromTicks(int64_t ticks)
{
    return FILETIME{DWORD(uint64_t(ticks)), DWORD(uint64_t(ticks) >> 32)};
}

constexpr int64_t kTicksPerSecond = 10'000'000;

SYSTEMTIME Date(int year, int month, int day, int hour = 0, int minute = 0, int second = 0,
                int millisecond = 0)
{
    return SYSTEMTIME{WORD(year), WORD(month), 0, WORD(day), WORD(hour), WORD(minute),
                      WORD(second), WORD(millisecond)};
}

TEST(FileTimes, AKnownDateBothWays)
{
    // 2021-04-20 19:46:09.123 UTC, a Tuesday: Unix time 1618947969.
    const SYSTEMTIME date = Date(2021, 4, 20, 19, 46, 9, 123);
    FILETIME file;
    ASSERT_TRUE(SystemTimeToFileTime(&date, &file));
    EXPECT_EQ(Ticks(file), (1618947969 + 11644473600LL) * kTicksPerSecond + 1230000);
    SYSTEMTIME back;
    ASSERT_TRUE(FileTimeToSystemTime(&file, &back));
    EXPECT_EQ(back.wYear, 2021);
    EXPECT_EQ(back.wMonth, 4);
    EXPECT_EQ(back.wDay, 20);
    EXPECT_EQ(back.wDayOfWeek, 2);
    EXPECT_EQ(back.wHour, 19);
    EXPECT_EQ(back.wMinute, 46);
    EXPECT_EQ(back.wSecond, 9);
    EXPECT_EQ(back.wMilliseconds, 123);
}

TEST(FileTimes, RoundTripAcrossTheWholeRange)
{
    struct Case {
        SYSTEMTIME date;
        WORD dayOfWeek;
    } const cases[] = {
        {Date(1601, 1, 1), 1},  // file time 0, a Monday
        {Date(1970, 1, 1), 4},
        {Date(2000, 2, 29, 23, 59, 59, 999), 2},
        {Date(2038, 1, 19, 3, 14, 8), 2},  // past a 32-bit time_t
        {Date(2100, 3, 1), 1},
        {Date(30827, 12, 31, 23, 59, 59, 999), 5},
    };
    for (const Case& c : cases) {
        FILETIME file;
        ASSERT_TRUE(SystemTimeToFileTime(&c.date, &file)) << c.date.wYear;
        SYSTEMTIME back;
        ASSERT_TRUE(FileTimeToSystemTime(&file, &back)) << c.date.wYear;
        EXPECT_EQ(back.wDayOfWeek, c.dayOfWeek) << c.date.wYear;
        back.wDayOfWeek = 0;
        EXPECT_EQ(std::memcmp(&back, &c.date, sizeof back), 0) << c.date.wYear;
    }
    const SYSTEMTIME epoch = Date(1601, 1, 1);
    FILETIME zero;
    ASSERT_TRUE(SystemTimeToFileTime(&epoch, &zero));
    EXPECT_EQ(Ticks(zero), 0);
}

TEST(FileTimes, InvalidDatesAndTimesAreRefused)
{
    std::vector<SYSTEMTIME> invalid = {
        Date(2021, 13, 1),  Date(2021, 0, 1),      Date(2021, 4, 31),
        Date(2021, 4, 20, 24), Date(2021, 4, 20, 0, 60), Date(1600, 12, 31),
        Date(2021, 4, 20, 0, 0, 0, 1000),
    };
    // Wine takes every February to have 29 days.
    if (!tarn::RunningOnWineForTesting()) {
        invalid.push_back(Date(2021, 2, 29));
        invalid.push_back(Date(2100, 2, 29));
    }
    for (const SYSTEMTIME& date : invalid) {
        FILETIME file;
        SetLastError(ERROR_SUCCESS);
        EXPECT_FALSE(SystemTimeToFileTime(&date, &file))
            << date.wYear << "-" << date.wMonth << "-" << date.wDay << " " << date.wHour;
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    }
    const FILETIME beyond = FromTicks(INT64_MIN);
    SYSTEMTIME date;
    EXPECT_FALSE(FileTimeToSystemTime(&beyond, &date)) << "the sign bit is out of range";
}

TEST(LocalTime, DiffersFromUtcByTheCurrentOffset)
{
    FILETIME utc, local, back;
    GetSystemTimeAsFileTime(&utc);
    ASSERT_TRUE(FileTimeToLocalFileTime(&utc, &local));
    ASSERT_TRUE(LocalFileTimeToFileTime(&local, &back));
    EXPECT_EQ(Ticks(back), Ticks(utc));

    // The C library's view of the same moment gives the same offset.
    const std::time_t now = std::time(nullptr);
    std::tm localParts = *std::localtime(&now);
    std::tm utcParts = *std::gmtime(&now);
    utcParts.tm_isdst = localParts.tm_isdst;
    const int64_t offset = int64_t(std::mktime(&localParts) - std::mktime(&utcParts));
    EXPECT_EQ((Ticks(local) - Ticks(utc)) / kTicksPerSecond, offset);

    // GetLocalTime is the local file time of now, as a system time.
    SYSTEMTIME fromClock, fromFileTime;
    GetLocalTime(&fromClock);
    ASSERT_TRUE(FileTimeToSystemTime(&local, &fromFileTime));
    FILETIME a, b;
    ASSERT_TRUE(SystemTimeToFileTime(&fromClock, &a));
    ASSERT_TRUE(SystemTimeToFileTime(&fromFileTime, &b));
    EXPECT_LT(std::abs(Ticks(a) - Ticks(b)), 5 * kTicksPerSecond);
    EXPECT_EQ(fromClock.wDayOfWeek, localParts.tm_wday);
}

TEST(SystemTime, AgreesWithTheCLibrary)
{
    SYSTEMTIME now;
    GetSystemTime(&now);
    const std::time_t seconds = std::time(nullptr);
    const std::tm parts = *std::gmtime(&seconds);
    EXPECT_EQ(now.wYear, parts.tm_year + 1900);
    EXPECT_EQ(now.wMonth, parts.tm_mon + 1);
    EXPECT_EQ(now.wDay, parts.tm_mday);
    EXPECT_EQ(now.wDayOfWeek, parts.tm_wday);
    EXPECT_LT(std::abs((now.wHour * 60 + now.wMinute) - (parts.tm_hour * 60 + parts.tm_min)), 2);
}

TEST(Clocks, TickCountAndTimeStampCounterAdvance)
{
    const DWORD ticks = GetTickCount();
    const uint64_t cycles = tarn::ReadTimeStampCounter();
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    const DWORD elapsed = GetTickCount() - ticks;  // wraps as unsigned, as it must
    EXPECT_GE(elapsed, 50u);
    EXPECT_LT(elapsed, 10'000u);
    EXPECT_GT(tarn::ReadTimeStampCounter(), cycles);
}

std::string DateText(const SYSTEMTIME& t)
{
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d", t.wYear, t.wMonth, t.wDay);
    return text;
}

// Run by the build under `faketime` with TARN_FAKED_DATE set to the faked date (YYYY-MM-DD).
const char* FakedDate()
{
    return std::getenv("TARN_FAKED_DATE");
}

TEST(FakedClock, LocalTimeFollowsTheCLibraryClock)
{
    if (!FakedDate())
        GTEST_SKIP() << "runs under faketime only";
    SYSTEMTIME now, fromFileTime;
    GetLocalTime(&now);
    EXPECT_EQ(DateText(now), FakedDate());
    FILETIME utc, local;
    GetSystemTimeAsFileTime(&utc);
    ASSERT_TRUE(FileTimeToLocalFileTime(&utc, &local));
    ASSERT_TRUE(FileTimeToSystemTime(&local, &fromFileTime));
    EXPECT_EQ(DateText(fromFileTime), FakedDate());
}

// faketime moves the times that stat, lstat and fstat report; the system-call table reaches
// the file status through their 64-bit names, which faketime leaves alone.
TEST(FakedClock, FileTimesFollowTheCLibraryClock)
{
    if (!FakedDate())
        GTEST_SKIP() << "runs under faketime only";
    const std::string name = "tarn-faked-clock-" + std::to_string(GetCurrentProcessId()) + ".tmp";
    HANDLE file = CreateFileA(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    FILETIME written, local;
    ASSERT_TRUE(GetFileTime(file, nullptr, nullptr, &written));
    CloseHandle(file);
    DeleteFileA(name.c_str());
    SYSTEMTIME writtenDate;
    ASSERT_TRUE(FileTimeToLocalFileTime(&written, &local));
    ASSERT_TRUE(FileTimeToSystemTime(&local, &writtenDate));
    EXPECT_EQ(DateText(writtenDate), FakedDate()) << "a file written now was written on the faked date";
}

}  // namespace
