// Time for the log: the calibrated cycle clock of Log::StartTime, the TICKS2MMSS stamp texts and
// LocalTime, the local calendar time of now or of a file's last write.
#include "tarnkernl/log.h"

#include "log/process.h"
#include "platform/win32.h"
#include "tarnkernl/files.h"
#include "text/format.h"

#include <cstring>

static_assert(sizeof(SYSTEMTIME) == sizeof(LocalTime), "LocalTime is the system's time record");
static_assert(offsetof(SYSTEMTIME, wDay) == offsetof(LocalTime, wDay));
static_assert(offsetof(SYSTEMTIME, wMilliseconds) == offsetof(LocalTime, wMilliseconds));

namespace {

int64_t Counter() { return static_cast<int64_t>(tarn::ReadTimeStampCounter()); }

SYSTEMTIME* AsSystemTime(LocalTime* time) { return reinterpret_cast<SYSTEMTIME*>(time); }

// Sets `time` from a file time in UTC; false, and `time` unchanged, when a conversion fails.
bool FromFileTime(LocalTime* time, const FILETIME& written) {
    FILETIME local;
    SYSTEMTIME converted;
    if (!FileTimeToLocalFileTime(&written, &local) || !FileTimeToSystemTime(&local, &converted))
        return false;
    *AsSystemTime(time) = converted;
    return true;
}

// Writes `value` as printf's "%0<width>d" does; returns the end. The fields of a stamp, of two
// or three digits, are taken from the table of digit pairs; other numbers are written from the
// last digit back, the leading zeros with them.
char* PutNumber(char* out, int value, int width) {
    const char* const pairs = tarn::kDigitPairs.text;
    if (width == 2 && value >= 0 && value < 100) {
        memcpy(out, pairs + 2 * value, 2);
        return out + 2;
    }
    if (width == 3 && value >= 0 && value < 1000) {
        *out = static_cast<char>('0' + value / 100);
        memcpy(out + 1, pairs + 2 * (value % 100), 2);
        return out + 3;
    }
    unsigned magnitude =
        value < 0 ? 0u - static_cast<unsigned>(value) : static_cast<unsigned>(value);
    if (value < 0) {
        *out++ = '-';
        --width;
    }
    int digits = 1;
    for (unsigned rest = magnitude; rest >= 10; rest /= 10)
        ++digits;
    char* const end = out + (width > digits ? width : digits);
    for (char* p = end; p != out; magnitude /= 10)
        *--p = static_cast<char>('0' + magnitude % 10);
    return end;
}

// "%02d:%02d" (minutes, seconds), from one hour "%02d:%02d:%02d", from one day
// "%d:%02d:%02d:%02d". Every log line has a stamp: this is written by hand, not by printf.
char* PutClock(char* out, int days, int hours, int minutes, int seconds) {
    if (days > 0) {
        out = PutNumber(out, days, 1);
        *out++ = ':';
    }
    if (days > 0 || hours > 0) {
        out = PutNumber(out, hours, 2);
        *out++ = ':';
    }
    out = PutNumber(out, minutes, 2);
    *out++ = ':';
    return PutNumber(out, seconds, 2);
}

// ".%03d"
char* PutFraction(char* out, int value) {
    *out++ = '.';
    return PutNumber(out, value, 3);
}

// The stamp into `buffer`, cut to `size` - 1 characters; returns its length.
int Deliver(char* buffer, int size, const char* text, const char* end) {
    int n = static_cast<int>(end - text);
    if (n > size - 1)
        n = size - 1;
    memcpy(buffer, text, n);
    buffer[n] = 0;
    return n;
}

}  // namespace

LocalTime::LocalTime() { GetLocalTime(AsSystemTime(this)); }

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

namespace {

// The calibration is shared by every thread without a lock: each member is read and written
// whole (relaxed atomic accesses, plain moves on x86), so a caller sees old or new values, never
// a torn one.
template <class T>
T Shared(const T& member) {
    T value;
    __atomic_load(&member, &value, __ATOMIC_RELAXED);
    return value;
}

template <class T>
void Share(T& member, T value) {
    __atomic_store(&member, &value, __ATOMIC_RELAXED);
}

}  // namespace

// Each calibration segment is as long as the whole run at its start: the rate measured over
// the segment before corrects the next one linearly. Concurrent callers may each open a
// segment; that only shifts the calibration slightly.
double tarn::ElapsedMilliseconds(Log::StartTime& time, long long cycles, uint32_t ticks) {
    const uint32_t elapsed = ticks - time.startTicks;
    if (elapsed == 0)
        return 0.0;
    if (Shared(time.calibTicks) == 0) {
        const double rate = elapsed / static_cast<double>(Counter() - time.startCycles);
        Share(time.msPerCycle, rate);
        Share(time.calibSpan, elapsed);
        Share(time.drift, 0.0);
        Share(time.driftPerMs, 0.0);
        Share(time.calibTicks, elapsed);
        TARN_RTL_DUMMY_ENTRY("CPU2MS: first calibration after %u ms, %g ms per cycle", elapsed,
                             rate);
    }
    for (;;) {
        // A caller whose tick count was read before another thread opened a segment is inside
        // that segment's start.
        const uint32_t begin = Shared(time.calibTicks), span = Shared(time.calibSpan);
        uint32_t d = elapsed >= begin ? elapsed - begin : 0;
        if (d <= span) {
            TARN_RTL_DUMMY_ENTRY("CPU2MS: %u ms into the segment", d);
            // Read while another thread opens a segment, the members may come from two
            // segments, whose sum can be any rate, negative too; the segment's starting rate,
            // read whole, is always one that was measured.
            const double start = Shared(time.msPerCycle);
            const double rate = start + d * Shared(time.driftPerMs);
            return static_cast<double>(cycles - time.startCycles) * (rate > 0 ? rate : start);
        }
        const double rate = Shared(time.msPerCycle) + Shared(time.drift);
        const double change = elapsed / static_cast<double>(Counter() - time.startCycles) - rate;
        Share(time.msPerCycle, rate);
        Share(time.calibTicks, begin + span);
        Share(time.drift, change);
        Share(time.calibSpan, elapsed);
        Share(time.driftPerMs, change / elapsed);
        TARN_RTL_DUMMY_ENTRY("CPU2MS: new segment at %u ms, drift %g", begin + span, change);
    }
}

double Log::StartTime::CPU2MS(long long cycles) {
    return tarn::ElapsedMilliseconds(*this, cycles, GetTickCount());
}

double Log::StartTime::CPU2MS() { return CPU2MS(Counter()); }

// Room for the longest stamp: seven numbers of at most eleven characters and their separators.
constexpr int kStampRoom = 80;

int TICKS2MMSS(char* buffer, int size, unsigned long milliseconds, int withMilliseconds) {
    if (size <= 0)
        return 0;
    unsigned long seconds = milliseconds / 1000;
    unsigned long minutes = seconds / 60;
    unsigned long hours = minutes / 60;
    char text[kStampRoom];
    char* end = PutClock(text, static_cast<int>(hours / 24), static_cast<int>(hours % 24),
                         static_cast<int>(minutes % 60), static_cast<int>(seconds % 60));
    if (withMilliseconds)
        end = PutFraction(end, static_cast<int>(milliseconds % 1000));
    return Deliver(buffer, size, text, end);
}

int TICKS2MMSS(char* buffer, int size, double milliseconds, int withFraction) {
    if (size <= 0)
        return 0;
    // Each part is truncated toward zero and taken off the rest. A rest smaller than the unit
    // gives 0 and stays as it is, which spares the division on most lines.
    auto take = [&milliseconds](double unit) {
        if (-unit < milliseconds && milliseconds < unit)
            return 0;
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

    char text[kStampRoom];
    char* end = PutClock(text, days, hours, minutes, seconds);
    if (withFraction)
        end = PutFraction(PutFraction(end, whole), micro);
    return Deliver(buffer, size, text, end);
}
