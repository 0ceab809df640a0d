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

int64_t Ticks(const FILETIME& t) {
    return int64_t(uint64_t(t.dwHighDateTime) << 32 | t.dwLowDateTime);
}

constexpr int64_t kTicksPerSecond = 10'000'000;

SYSTEMTIME Date(int year, int month, int day, int hour = 0, int minute = 0, int second = 0,
                int millisecond = 0) {
    return SYSTEMTIME{WORD(year),   WORD(month),      0, WORD(day), WORD(hour), WORD(minute),
                      WORD(second), WORD(millisecond)};
}

TEST(FileTimes, RoundTripAcrossTheWholeRange) {
    constexpr int64_t kAnyTicks = -1;
    struct Case {
        SYSTEMTIME date;
        WORD dayOfWeek;
        int64_t ticks;
    } const cases[] = {
        {Date(1601, 1, 1), 1, 0},  // file time 0, a Monday
        {Date(1970, 1, 1), 4, 11644473600LL * kTicksPerSecond},
        {Date(2000, 2, 29, 23, 59, 59, 999), 2, kAnyTicks},
        {Date(2021, 4, 20, 19, 46, 9, 123), 2,  // Unix time 1618947969
         (1618947969 + 11644473600LL) * kTicksPerSecond + 1230000},
        {Date(2038, 1, 19, 3, 14, 8), 2, kAnyTicks},  // past a 32-bit time_t
        {Date(2100, 3, 1), 1, kAnyTicks},
        {Date(30827, 12, 31, 23, 59, 59, 999), 5, kAnyTicks},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.date.wYear);
        FILETIME file;
        ASSERT_TRUE(SystemTimeToFileTime(&c.date, &file));
        EXPECT_EQ(c.ticks == kAnyTicks ? kAnyTicks : Ticks(file), c.ticks);
        SYSTEMTIME back;
        ASSERT_TRUE(FileTimeToSystemTime(&file, &back));
        EXPECT_EQ(back.wDayOfWeek, c.dayOfWeek);
        back.wDayOfWeek = 0;
        EXPECT_EQ(std::memcmp(&back, &c.date, sizeof back), 0);
    }
}

TEST(FileTimes, InvalidDatesAndTimesAreRefused) {
    std::vector<SYSTEMTIME> invalid = {Date(2021, 13, 1),
                                       Date(2021, 0, 1),
                                       Date(2021, 4, 31),
                                       Date(2021, 4, 20, 24),
                                       Date(2021, 4, 20, 0, 60),
                                       Date(1600, 12, 31),
                                       Date(2021, 4, 20, 0, 0, 0, 1000)};
    // Wine takes every February to have 29 days.
    if (!tarn::RunningOnWineForTesting())
        invalid.insert(invalid.end(), {Date(2021, 2, 29), Date(2100, 2, 29)});
    for (const SYSTEMTIME& date : invalid) {
        FILETIME file;
        SetLastError(ERROR_SUCCESS);
        EXPECT_FALSE(SystemTimeToFileTime(&date, &file))
            << date.wYear << "-" << date.wMonth << "-" << date.wDay << " " << date.wHour;
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    }
    const FILETIME beyond{0, 0x80000000u};
    SYSTEMTIME date;
    EXPECT_FALSE(FileTimeToSystemTime(&beyond, &date)) << "the sign bit is out of range";
}

TEST(Clocks, AgreeWithTheCLibraryAndAdvance) {
    const auto before = std::chrono::steady_clock::now();
    const DWORD ticks = GetTickCount();
    const uint64_t cycles = tarn::ReadTimeStampCounter();
    FILETIME utc, local, back;
    GetSystemTimeAsFileTime(&utc);
    const std::time_t now = std::time(nullptr);
    EXPECT_LE(std::abs(Ticks(utc) / kTicksPerSecond - 11644473600LL - int64_t(now)), 1);
    ASSERT_TRUE(FileTimeToLocalFileTime(&utc, &local));
    ASSERT_TRUE(LocalFileTimeToFileTime(&local, &back));
    EXPECT_EQ(Ticks(back), Ticks(utc));

    // The C library's view of the same moment gives the same offset.
    std::tm localParts = *std::localtime(&now);
    std::tm utcParts = *std::gmtime(&now);
    const int utcDayOfWeek = utcParts.tm_wday;
    utcParts.tm_isdst = localParts.tm_isdst;
    const int64_t offset = int64_t(std::mktime(&localParts) - std::mktime(&utcParts));
    EXPECT_EQ((Ticks(local) - Ticks(utc)) / kTicksPerSecond, offset);

    // GetSystemTime and GetLocalTime are these file times as system times.
    SYSTEMTIME clocks[2];
    GetSystemTime(&clocks[0]);
    GetLocalTime(&clocks[1]);
    const FILETIME files[2] = {utc, local};
    for (int i = 0; i < 2; ++i) {
        FILETIME file;
        ASSERT_TRUE(SystemTimeToFileTime(&clocks[i], &file));
        EXPECT_LT(std::abs(Ticks(file) - Ticks(files[i])), 5 * kTicksPerSecond) << i;
    }
    EXPECT_EQ(clocks[0].wDayOfWeek, utcDayOfWeek);
    EXPECT_EQ(clocks[1].wDayOfWeek, localParts.tm_wday);

    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    const DWORD elapsed = GetTickCount() - ticks;  // wraps as unsigned, as it must
    const auto span = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - before);
    // Milliseconds, within the span measured around them (the system's tick may be coarse).
    EXPECT_GE(elapsed, 50u);
    EXPECT_LE(elapsed, DWORD(span.count()) + 20u);
    EXPECT_GT(tarn::ReadTimeStampCounter(), cycles);
}

std::string DateText(const SYSTEMTIME& t) {
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d", t.wYear, t.wMonth, t.wDay);
    return text;
}

// faketime moves the times that stat, lstat and fstat report; the system-call table reaches
// the file status through their 64-bit names, which faketime leaves alone.
TEST(FakedClock, LocalTimeAndFileTimesFollowTheCLibraryClock) {
    const char* faked = std::getenv("TARN_FAKED_DATE");  // YYYY-MM-DD, set by the build
    if (!faked)
        GTEST_SKIP() << "runs under faketime only";
    SYSTEMTIME now;
    GetLocalTime(&now);
    EXPECT_EQ(DateText(now), faked);

    const std::string name = "tarn-faked-clock-" + std::to_string(GetCurrentProcessId()) + ".tmp";
    HANDLE file = CreateFileA(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    FILETIME utc[2], local;
    GetSystemTimeAsFileTime(&utc[0]);
    const bool written = GetFileTime(file, nullptr, nullptr, &utc[1]);
    CloseHandle(file);
    DeleteFileA(name.c_str());
    ASSERT_TRUE(written);
    for (const FILETIME& time : utc) {
        SYSTEMTIME date;
        ASSERT_TRUE(FileTimeToLocalFileTime(&time, &local));
        ASSERT_TRUE(FileTimeToSystemTime(&local, &date));
        EXPECT_EQ(DateText(date), faked) << "the clock, then a file written now";
    }
}

}  // namespace
