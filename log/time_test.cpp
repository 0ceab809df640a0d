// Time for the log: the stamp texts of both TICKS2MMSS forms, the calibrated cycle clock of the
// process's Log, and LocalTime of now and of files.
#include "tarnkernl/log.h"

#include "platform/win32.h"

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <tuple>

namespace {

template <class Milliseconds>
std::string Stamp(Milliseconds milliseconds, int withFraction, int size = 64) {
    char text[64] = "untouched";
    int n = TICKS2MMSS(text, size, milliseconds, withFraction);
    EXPECT_EQ(n, static_cast<int>(strlen(text)));
    return text;
}

// The integer form changes at one hour and one day; the double form adds microseconds and is
// cut to its buffer.
TEST(Ticks2mmss, IntegerAndDoubleForms) {
    EXPECT_EQ(Stamp(0ul, 1), "00:00.000");
    EXPECT_EQ(Stamp(3599999ul, 1), "59:59.999");
    EXPECT_EQ(Stamp(3600000ul, 0), "01:00:00");
    EXPECT_EQ(Stamp(3723004ul, 1), "01:02:03.004");
    EXPECT_EQ(Stamp(86399999ul, 1), "23:59:59.999");
    EXPECT_EQ(Stamp(90061001ul, 1), "1:01:01:01.001");
    EXPECT_EQ(Stamp(11ul * 86400000ul + 5000ul, 0), "11:00:00:05");
    EXPECT_EQ(Stamp(61001.5, 1), "01:01.001.500");
    EXPECT_EQ(Stamp(3.5, 1), "00:00.003.500");
    EXPECT_EQ(Stamp(3.5, 0), "00:00");
    EXPECT_EQ(Stamp(3723004.25, 1), "01:02:03.004.250");
    EXPECT_EQ(Stamp(90061001.0, 1), "1:01:01:01.001.000");
    EXPECT_EQ(Stamp(61001.5, 1, 5), "01:0");
    EXPECT_EQ(Stamp(61001.5, 1, 1), "");
}

// The integer form against printf's own formats, at every digit count of every part.
TEST(Ticks2mmss, IntegerFormIsPrintfsText) {
    for (unsigned long ms = 1; ms < 4294967295ul / 3; ms = ms * 3 + ms % 7) {
        const unsigned long s = ms / 1000, m = s / 60, h = m / 60, d = h / 24;
        char expected[64];
        if (d > 0)
            snprintf(expected, sizeof expected, "%lu:%02lu:%02lu:%02lu.%03lu", d, h % 24, m % 60,
                     s % 60, ms % 1000);
        else if (h > 0)
            snprintf(expected, sizeof expected, "%02lu:%02lu:%02lu.%03lu", h, m % 60, s % 60,
                     ms % 1000);
        else
            snprintf(expected, sizeof expected, "%02lu:%02lu.%03lu", m, s % 60, ms % 1000);
        EXPECT_EQ(Stamp(ms, 1), expected);
    }
}

TEST(Ticks2mmss, BothFormsStayInsideTheirBuffer) {
    char text[8];
    memset(text, '#', sizeof text);
    int n = TICKS2MMSS(text, 6, 3723004ul, 1);
    EXPECT_LE(n, 5);
    EXPECT_EQ(text[n], 0);
    EXPECT_EQ(text[6], '#');
    memset(text, '#', sizeof text);
    EXPECT_EQ(TICKS2MMSS(text, 0, 61001.5, 1), 0);
    EXPECT_EQ(text[0], '#') << "a buffer of no size is not written";
}

TEST(StartTime, FollowsTheTickCountAndStartsAtZero) {
    Log::StartTime& clock = GetProcess().startTime;
    EXPECT_EQ(clock.CPU2MS(clock.startCycles), 0.0);
    // Let the calibration see a stretch of time, then compare both clocks over another one.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    for (int i = 0; i < 3; ++i) {
        double before = clock.CPU2MS();
        std::this_thread::sleep_for(std::chrono::milliseconds(120));
        double cycles = clock.CPU2MS();
        double ticks = static_cast<double>(GetTickCount() - clock.startTicks);
        EXPECT_GT(cycles, before + 60);
        EXPECT_NEAR(cycles, ticks, 0.1 * ticks + 20);
    }
}

// A thread that reads the calibration while another opens a segment may find the rate of one
// segment with the drift of the next: the time stays that of a measured rate, never negative.
TEST(StartTime, AMixOfTwoSegmentsGivesNoNegativeTime) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    Log::StartTime mixed = GetProcess().startTime;
    mixed.calibTicks = 1;
    mixed.calibSpan = GetTickCount() - mixed.startTicks + 1000;
    mixed.msPerCycle = 1e-6;
    mixed.driftPerMs = -1.0;
    EXPECT_GT(mixed.CPU2MS(), 0.0);
}

// A file in the temporary directory written at a local calendar time, removed at the end.
class TemporaryFile {
public:
    TemporaryFile(int year, int month, int day, int hour, int minute, int second) {
        std::ofstream(path_) << "x";
        std::tm local{};
        local.tm_year = year - 1900;
        local.tm_mon = month - 1;
        local.tm_mday = day;
        local.tm_hour = hour;
        local.tm_min = minute;
        local.tm_sec = second;
        local.tm_isdst = -1;
        auto system = std::chrono::system_clock::from_time_t(std::mktime(&local));
        std::filesystem::last_write_time(path_, std::chrono::file_clock::from_sys(system));
    }
    ~TemporaryFile() { std::filesystem::remove(path_); }

    const std::filesystem::path& Path() const { return path_; }
    std::string Name() const { return path_.string(); }

private:
    std::filesystem::path path_ = std::filesystem::temp_directory_path() /
                                  ("tarn-time-" + std::to_string(GetCurrentProcessId()) + ".txt");
};

TEST(LocalTime, OfAFileIsItsLastWriteInLocalTime) {
    TemporaryFile file(2021, 4, 20, 19, 46, 9);
    LocalTime written;
    ASSERT_TRUE(written(file.Name().c_str()));
    // 2021-04-20, a Tuesday (2), at 19:46:09.
    EXPECT_EQ(std::make_tuple(written.wYear, written.wMonth, written.wDay, written.wDayOfWeek,
                              written.wHour, written.wMinute, written.wSecond),
              std::make_tuple(2021, 4, 20, 2, 19, 46, 9));

    HANDLE handle = CreateFileA(file.Name().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    LocalTime viaHandle;
    EXPECT_TRUE(viaHandle(static_cast<void*>(handle)));
    CloseHandle(handle);
    EXPECT_EQ(memcmp(&viaHandle, &written, sizeof written), 0);

    // A file that cannot be asked leaves the time as it was.
    LocalTime kept = written;
    std::filesystem::remove(file.Path());
    EXPECT_FALSE(written(file.Name().c_str()));
    EXPECT_FALSE(written(static_cast<void*>(INVALID_HANDLE_VALUE)));
    EXPECT_EQ(memcmp(&written, &kept, sizeof kept), 0);
}

TEST(LocalTime, NowIsTheSystemsLocalTime) {
    LocalTime now;
    std::time_t seconds = std::time(nullptr);
    std::tm local = *std::localtime(&seconds);
    EXPECT_EQ(now.wYear, local.tm_year + 1900);
    EXPECT_EQ(now.wDayOfWeek, local.tm_wday);
    EXPECT_NEAR(now.wHour * 3600 + now.wMinute * 60 + now.wSecond,
                local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec, 2);
}

}  // namespace
