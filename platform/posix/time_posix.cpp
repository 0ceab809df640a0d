// Time on POSIX: the tick count, the system and local time, file times (100 ns since 1601) and
// their conversions. Clocks are read through the C library (clock_gettime, localtime_r), so a
// tool that moves the C library's clock for a test moves these too.
#include "platform/posix/files_posix.h"

namespace tarn::posix {
namespace {

constexpr int64_t kTicksPerSecond = 10'000'000;
constexpr int64_t kTicksPerMillisecond = 10'000;
constexpr int64_t kSecondsPerDay = 86'400;
// Seconds from 1601-01-01 to 1970-01-01.
constexpr int64_t kUnixEpochSeconds = 11'644'473'600;
constexpr int kFirstYear = 1601;
constexpr int kLastYear = 30827;

// Days since 1601-01-01 of a date of the proleptic Gregorian calendar, and back. Plain
// arithmetic, so that every year of a SYSTEMTIME works whatever the width of time_t.
int64_t DaysFromDate(int64_t year, int month, int day) {
    year -= month <= 2;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const int64_t yearOfEra = year - era * 400;
    const int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    constexpr int64_t kDaysFrom0000To1601 = 584'694;  // both counted from 0000-03-01
    return era * 146'097 + dayOfEra - kDaysFrom0000To1601;
}

void DateFromDays(int64_t days, int64_t& year, int& month, int& day) {
    days += 584'694;
    const int64_t era = (days >= 0 ? days : days - 146'096) / 146'097;
    const int64_t dayOfEra = days - era * 146'097;
    const int64_t yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36'524 - dayOfEra / 146'096) / 365;
    const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const int64_t shiftedMonth = (5 * dayOfYear + 2) / 153;
    day = static_cast<int>(dayOfYear - (153 * shiftedMonth + 2) / 5 + 1);
    month = static_cast<int>(shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9);
    year = yearOfEra + era * 400 + (month <= 2);
}

int DaysInMonth(int year, int month) {
    constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : kDays[month - 1];
}

int64_t TicksOf(const FILETIME& time) {
    return static_cast<int64_t>((uint64_t(time.dwHighDateTime) << 32) | time.dwLowDateTime);
}

FILETIME FileTimeOfTicks(int64_t ticks) {
    return FILETIME{LowPart(uint64_t(ticks)), HighPart(uint64_t(ticks))};
}

timespec Now(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return now;
}

// The current offset of local time from UTC, in seconds.
long CurrentUtcOffset() {
    const time_t now = Now(CLOCK_REALTIME).tv_sec;
    struct tm local {};
    return localtime_r(&now, &local) ? local.tm_gmtoff : 0;
}

// Adds `seconds` to a file time; false with ERROR_INVALID_PARAMETER when the result leaves the
// range of file times.
BOOL ShiftFileTime(const FILETIME* from, LPFILETIME to, long seconds) {
    const int64_t ticks = TicksOf(*from) + int64_t(seconds) * kTicksPerSecond;
    if (ticks < 0 || TicksOf(*from) < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *to = FileTimeOfTicks(ticks);
    return TRUE;
}

SYSTEMTIME SystemTimeOf(const timespec& now, tm* (*breakDown)(const time_t*, tm*)) {
    struct tm t {};
    breakDown(&now.tv_sec, &t);
    return SYSTEMTIME{
        static_cast<WORD>(t.tm_year + 1900), static_cast<WORD>(t.tm_mon + 1),
        static_cast<WORD>(t.tm_wday),        static_cast<WORD>(t.tm_mday),
        static_cast<WORD>(t.tm_hour),        static_cast<WORD>(t.tm_min),
        static_cast<WORD>(t.tm_sec),         static_cast<WORD>(now.tv_nsec / 1'000'000)};
}

}  // namespace

FILETIME FileTimeOf(const timespec& time) {
    const int64_t ticks =
        (int64_t(time.tv_sec) + kUnixEpochSeconds) * kTicksPerSecond + time.tv_nsec / 100;
    return FileTimeOfTicks(ticks < 0 ? 0 : ticks);
}

}  // namespace tarn::posix

using namespace tarn::posix;

DWORD WINAPI GetTickCount() {
    const timespec now = Now(CLOCK_MONOTONIC);
    return static_cast<DWORD>(uint64_t(now.tv_sec) * 1000 + uint64_t(now.tv_nsec) / 1'000'000);
}

void WINAPI GetLocalTime(LPSYSTEMTIME time) {
    *time = SystemTimeOf(Now(CLOCK_REALTIME), &localtime_r);
}

void WINAPI GetSystemTime(LPSYSTEMTIME time) {
    *time = SystemTimeOf(Now(CLOCK_REALTIME), &gmtime_r);
}

void WINAPI GetSystemTimeAsFileTime(LPFILETIME time) { *time = FileTimeOf(Now(CLOCK_REALTIME)); }

BOOL WINAPI FileTimeToSystemTime(const FILETIME* fileTime, LPSYSTEMTIME systemTime) {
    const int64_t ticks = TicksOf(*fileTime);
    if (ticks < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const int64_t days = ticks / (kSecondsPerDay * kTicksPerSecond);
    const int64_t ticksOfDay = ticks % (kSecondsPerDay * kTicksPerSecond);
    int64_t year;
    int month, day;
    DateFromDays(days, year, month, day);
    const int64_t secondOfDay = ticksOfDay / kTicksPerSecond;
    *systemTime = SYSTEMTIME{
        static_cast<WORD>(year),
        static_cast<WORD>(month),
        static_cast<WORD>((days + 1) % 7),  // 1601-01-01 was a Monday
        static_cast<WORD>(day),
        static_cast<WORD>(secondOfDay / 3600),
        static_cast<WORD>(secondOfDay / 60 % 60),
        static_cast<WORD>(secondOfDay % 60),
        static_cast<WORD>(ticksOfDay % kTicksPerSecond / kTicksPerMillisecond),
    };
    return TRUE;
}

BOOL WINAPI SystemTimeToFileTime(const SYSTEMTIME* systemTime, LPFILETIME fileTime) {
    const SYSTEMTIME& t = *systemTime;
    if (t.wYear < kFirstYear || t.wYear > kLastYear || t.wMonth < 1 || t.wMonth > 12 ||
        t.wDay < 1 || t.wDay > DaysInMonth(t.wYear, t.wMonth) || t.wHour > 23 || t.wMinute > 59 ||
        t.wSecond > 59 || t.wMilliseconds > 999) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const int64_t seconds = DaysFromDate(t.wYear, t.wMonth, t.wDay) * kSecondsPerDay +
                            t.wHour * 3600 + t.wMinute * 60 + t.wSecond;
    *fileTime = FileTimeOfTicks(seconds * kTicksPerSecond + t.wMilliseconds * kTicksPerMillisecond);
    return TRUE;
}

BOOL WINAPI FileTimeToLocalFileTime(const FILETIME* fileTime, LPFILETIME localTime) {
    return ShiftFileTime(fileTime, localTime, CurrentUtcOffset());
}

BOOL WINAPI LocalFileTimeToFileTime(const FILETIME* localTime, LPFILETIME fileTime) {
    return ShiftFileTime(localTime, fileTime, -CurrentUtcOffset());
}
