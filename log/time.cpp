// Time for the log: the calibrated cycle clock of Log::StartTime, the TICKS2MMSS stamp texts and
// LocalTime, the local calendar time of now or of a file's last write.
#include "tarnkernl/log.h"

#include "platform/win32.h"
#include "tarnkernl/files.h"

#include <cstdio>

static_assert(sizeof(SYSTEMTIME) == sizeof(LocalTime), "LocalTime is the system's time record");
static_assert(offsetof(SYSTEMTIME, wDay) == offsetof(LocalTime, wDay));
static_assert(offsetof(SYSTEMTIME, wMilliseconds) == offsetof(LocalTime, wMilliseconds));

namespace {

int64_t Counter() {
    return static_cast<int64_t>(tarn::ReadTimeStampCounter());
}

SYSTEMTIME* AsSystemTime(LocalTime* time) {
    return reinterpret_cast<SYSTEMTIME*>(time);
}

// Sets `time` from a file time in UTC; false, and `time` unchanged, when a conversion fails.
bool FromFileTime(LocalTime* time, const FILETIME& written) {
    FILETIME local;
    SYSTEMTIME converted;
    if (!FileTimeToLocalFileTime(&written, &local) || !FileTimeToSystemTime(&local, &converted))
        return false;
    *AsSystemTime(time) = converted;
    return true;
}

// snprintf that appends at `used` and never reports more than the buffer holds.
template <class... Args>
int Append(char* buffer, int size, int used, const char* format, Args... args) {
    if (used >= size - 1)
        return used;
    int n = snprintf(buffer + used, size - used, format, args...);
    if (n < 0)
        return used;
    return n < size - used ? used + n : size - 1;
}

// Days, hours, minutes and seconds in the stamp's three forms.
int FormatClock(char* buffer, int size, int days, int hours, int minutes, int seconds) {
    if (days > 0)
        return Append(buffer, size, 0, "%d:%02d:%02d:%02d", days, hours, minutes, seconds);
    if (hours > 0)
        return Append(buffer, size, 0, "%02d:%02d:%02d", hours, minutes, seconds);
    return Append(buffer, size, 0, "%02d:%02d", minutes, seconds);
}

}  // namespace

LocalTime::LocalTime() {
    GetLocalTime(AsSystemTime(this));
}

bool LocalTime::operator()(const char* fileName) {
    WIN32_FIND_DATAA found;
    HANDLE search = UNI_FindFirstFile(fileName, &found);
    if (search == INVALID_HANDLE_VALUE)
        return false;
    FindClose(search);
    return FromFileTime(this, found.ftLastWriteTime);
}

bool LocalTime::operator()(void* fileHandle) {
    BY_HANDLE_FILE_INFORMATION information;
    if (!GetFileInformationByHandle(static_cast<HANDLE>(fileHandle), &information))
        return false;
    return FromFileTime(this, information.ftLastWriteTime);
}

// Construction reads the tick count, then the counter, then the local time; the calibration
// starts at the first CPU2MS.
Log::StartTime::StartTime()
    : startTicks(GetTickCount()),
      startCycles(Counter()),
      calibTicks(0),
      msPerCycle(0),
      calibSpan(0),
      drift(0),
      driftPerMs(0) {}

// Each calibration segment is as long as the whole run at its start: the rate measured over
// the segment before corrects the next one linearly. Concurrent callers may each open a
// segment; that only shifts the calibration slightly.
double Log::StartTime::CPU2MS(long long cycles) {
    uint32_t elapsed = GetTickCount() - startTicks;
    if (elapsed == 0)
        return 0.0;
    if (calibTicks == 0) {
        msPerCycle = elapsed / static_cast<double>(
                                   Counter() - startCycles);
        calibTicks = elapsed;
        calibSpan = elapsed;
        drift = 0;
        driftPerMs = 0;
        TARN_RTL_DUMMY_ENTRY("CPU2MS: first calibration after %u ms, %g ms per cycle", elapsed,
                             msPerCycle);
    }
    for (;;) {
        // A caller whose tick count was read before another thread opened a segment is inside
        // that segment's start.
        uint32_t d = elapsed >= calibTicks ? elapsed - calibTicks : 0;
        if (d <= calibSpan) {
            TARN_RTL_DUMMY_ENTRY("CPU2MS: %u ms into the segment", d);
            return static_cast<double>(cycles - startCycles) * (msPerCycle + d * driftPerMs);
        }
        msPerCycle += drift;
        calibTicks += calibSpan;
        drift = elapsed / static_cast<double>(
                              Counter() - startCycles) -
                msPerCycle;
        calibSpan = elapsed;
        driftPerMs = drift / calibSpan;
        TARN_RTL_DUMMY_ENTRY("CPU2MS: new segment at %u ms, drift %g", calibTicks, drift);
    }
}

double Log::StartTime::CPU2MS() {
    return CPU2MS(Counter());
}

int TICKS2MMSS(char* buffer, int size, unsigned long milliseconds, int withMilliseconds) {
    if (size <= 0)
        return 0;
    unsigned long seconds = milliseconds / 1000;
    unsigned long minutes = seconds / 60;
    unsigned long hours = minutes / 60;
    int n = FormatClock(buffer, size, static_cast<int>(hours / 24), static_cast<int>(hours % 24),
                        static_cast<int>(minutes % 60), static_cast<int>(seconds % 60));
    if (withMilliseconds)
        n = Append(buffer, size, n, ".%03d", static_cast<int>(milliseconds % 1000));
    return n;
}

int TICKS2MMSS(char* buffer, int size, double milliseconds, int withFraction) {
    if (size <= 0)
        return 0;
    // Each part is truncated toward zero and taken off the rest.
    auto take = [&milliseconds](double unit) {
        int whole = static_cast<int>(milliseconds / unit);
        milliseconds -= whole * unit;
        return whole;
    };
    int days = take(86400000.0);
    int hours = take(3600000.0);
    int minutes = take(60000.0);
    int seconds = take(1000.0);
    int whole = take(1.0);
    int micro = static_cast<int>(milliseconds * 1000);

    char text[64];
    int n = FormatClock(text, sizeof text, days, hours, minutes, seconds);
    if (withFraction)
        n = Append(text, sizeof text, n, ".%03d.%03d", whole, micro);
    if (n > size - 1)
        n = size - 1;
    memcpy(buffer, text, n);
    buffer[n] = 0;
    return n;
}
