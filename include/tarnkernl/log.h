// Process log and diagnostics: the process's Log, log output, history, crash reports, INI
// settings, time formatting and CPU timing.
#pragma once

#include "tarnkernl/api.h"
#include "tarnkernl/text.h"

#include <cstdarg>
#include <cstdint>

extern "C" {
// Writes a crash record to the process's exception file. True when the record was attempted.
TARN_API bool exceptout(const char* format, ...) TARN_PRINTF(1, 2);

// "[%04X]" and the system's message for `code` into `buffer` (at most `size` bytes, trailing
// line breaks removed); returns the address of the message behind the code.
TARN_API char* PrintError(char* buffer, int size, unsigned long code);

// Accepts any arguments and does nothing: the trace points of the library call it.
TARN_API void TARN_RTL_DUMMY_ENTRY(...);

// Breaks into the debugger when "/int3" is on the internal command line; without a debugger
// the breakpoint is reported as a fault and caught here.
TARN_API void int3call();
}

// A re-entrant lock (a critical section) that initialises itself at its first entry, so one in
// zero-initialised static storage works before its construction and again after its
// destruction: objects destroyed after the lock can still take it.
class LazyLock {
public:
    TARN_API LazyLock();
    // Marks the lock uninitialised before the section goes, so that a later entry builds it
    // afresh (the section of such a late entry is never deleted: the process is ending).
    TARN_API ~LazyLock();
    LazyLock(const LazyLock&) = delete;
    LazyLock& operator=(const LazyLock&) = delete;

    TARN_API void Enter();
    // Enters unless another thread holds the lock, without waiting; true when it entered.
    TARN_API bool TryEnter();
    TARN_API void Leave();

    // Enters on construction, leaves on destruction.
    class Guard {
    public:
        explicit Guard(LazyLock& lock) : lock_(lock) { lock_.Enter(); }
        ~Guard() { lock_.Leave(); }
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;

    private:
        LazyLock& lock_;
    };

private:
    void Initialise();

    // The system's critical section, whose layout the exported headers do not spell.
    alignas(void*) unsigned char section_[sizeof(void*) == 8 ? 40 : 24];
    LazyLock* self_;  // this when the section is initialised
};

// The exported entry `name` of `module`, or null after telling the user (a crash record and a
// message box) which entry is missing in which module and which module needed it (null
// `requester`: the executable).
TARN_API FARPROC RunTimeImport(HINSTANCE module, const char* name, HINSTANCE requester);

// The call-stack marker: a function marks itself on entry with its own frame address,
//     MarkStack mark(TARN_FRAME);
// and the mark goes when the function leaves, also by unwinding. Only the main thread (the one
// that constructed the Log) is recorded; elsewhere every member does nothing and the queries
// answer MarkStack::kNoIP. Addresses are pointer-sized: the frame and the return address.
class MarkStack {
public:
    static constexpr uintptr_t kNoIP = ~uintptr_t(0);

    explicit MarkStack(uintptr_t frame) : frame(frame) { Mark(frame); }
    ~MarkStack() { UnMark(frame); }
    MarkStack(const MarkStack&) = delete;
    MarkStack& operator=(const MarkStack&) = delete;

    // Adds the mark (0 when the frame is unreadable); fires a matching break stack.
    TARN_API TARN_DIRECT_CALL void Mark(uintptr_t frame);
    // Removes the mark of `frame` and every mark made after it.
    TARN_API TARN_DIRECT_CALL static void UnMark(uintptr_t frame);
    // Return address of mark `index` (0 is the outermost), of mark 0, of the innermost mark
    // with a readable frame; kNoIP when there is none.
    TARN_API static uintptr_t GetIP(unsigned int index);
    TARN_API static uintptr_t GetFirstIP();
    TARN_API static uintptr_t GetLastIP();
    // The marks as crash records, innermost first.
    TARN_API static void Dump();
    // The marks and the frames around them into the open file `file`; `frame` 0 starts at the
    // innermost mark.
    TARN_API static void DumpStack(int file, uintptr_t frame);

    uintptr_t frame;  // the marked frame address; 0 when it was unreadable
};

static_assert(sizeof(MarkStack) == sizeof(void*), "one word on the caller's stack");

// The frame address of the calling function, as MarkStack takes it.
#define TARN_FRAME (reinterpret_cast<uintptr_t>(__builtin_frame_address(0)))

// A local calendar time, laid out as the system's time record. The default constructor takes
// the current local time.
struct LocalTime {
    uint16_t wYear, wMonth, wDayOfWeek, wDay, wHour, wMinute, wSecond, wMilliseconds;

    TARN_API LocalTime();
    // The last-write time of the file, or of the open file handle, in local time. False (and
    // this time unchanged) when the file cannot be found or a conversion fails.
    TARN_API bool operator()(const char* fileName);
    TARN_API bool operator()(void* fileHandle);
};

static_assert(sizeof(LocalTime) == 16, "the system's time record");

// The process log. Other modules read its members directly through GetProcess(): the order and
// width of the members are part of the interface. The reserved words are never used here.
struct Log {
    // The elapsed-time clock of the log: the processor's cycle counter, calibrated continuously
    // against the system's millisecond tick count. The 64-bit members are 8-aligned as the
    // family's 32-bit compiler lays them out.
    struct StartTime {
        uint32_t startTicks;
        alignas(8) int64_t startCycles;
        LocalTime startLocal;
        uint32_t calibTicks;           // start of the calibration segment; 0: not calibrated
        alignas(8) double msPerCycle;  // at the start of the segment
        uint32_t calibSpan;            // length of the segment in milliseconds
        alignas(8) double drift;       // change of msPerCycle over the segment
        double driftPerMs;

        StartTime();
        // Milliseconds from construction to the counter value `cycles` (or now).
        TARN_API double CPU2MS(long long cycles);
        TARN_API double CPU2MS();
    };

    uint32_t reserved0[3];
    str excName;   // the exception file, ".exc"
    str logName;   // the log file, ".log"
    str histName;  // the history file, ".hst"
    uint32_t reserved1;
    uint32_t logOpenError;   // system error left by the last opening of the log file
    uint32_t histOpenError;  // ... of the history file
    StartTime startTime;
    uint32_t reserved2;
    uint32_t logDay;        // day of the month the files were last named for
    uint32_t mainThreadId;  // the thread that constructed the Log
    str iniName;            // the process's INI file

    Log();
    ~Log();
    Log(const Log&) = delete;
    Log& operator=(const Log&) = delete;

    // (Re)names and reopens the files for the day of `t` and writes the headers. Runs once at a
    // time: a nested or concurrent call only records the day.
    void StartUp(const LocalTime& t);
};

static_assert(sizeof(void*) != 4 || sizeof(Log::StartTime) == 72, "the 32-bit layout");
static_assert(sizeof(void*) != 4 || offsetof(Log::StartTime, startLocal) == 16);
static_assert(sizeof(void*) != 4 || offsetof(Log::StartTime, driftPerMs) == 64);
static_assert(sizeof(void*) != 4 || offsetof(Log, excName) == 12);
static_assert(sizeof(void*) != 4 || offsetof(Log, logOpenError) == 28);
static_assert(sizeof(void*) != 4 || offsetof(Log, startTime) == 40);
static_assert(sizeof(void*) != 4 || offsetof(Log, logDay) == 116);
static_assert(sizeof(void*) != 4 || offsetof(Log, iniName) == 124);
static_assert(sizeof(void*) != 4 || sizeof(Log) == 128, "the 32-bit layout");

// The process's Log; the same (then empty) object before its construction and after its
// destruction.
TARN_API Log& GetProcess();
// The process's command line followed by "CommandLine" of section "PROGRAM" of the program's
// INI file (default " /gpfshow /mem /stack"). Valid to the end of the process.
TARN_API const char* GetCommandLineInternal();

// A time-stamped log line, or, with `where` or `what`, a history record ("what:where - text").
// The va_list stands for the family's `char* args`.
TARN_API bool voutlog(const char* format, va_list args, const void* where, const char* what)
    TARN_PRINTF(1, 0);
// Formatted text (at most 1023 characters) into the log as it is: no stamp, no line end.
TARN_API void fout(const char* format, ...) TARN_PRINTF(1, 2);
// `length` bytes of `text` (all of it for -1) into the log. False when the log is closed or the
// write faulted; true for a null text.
TARN_API bool logdump(const char* text, int length = -1);
// Closes and reopens the log file, which commits it.
TARN_API void logfix();
// An error the user must see: a crash record and a message box. A null `args` (verr) shows
// `format` as it is.
TARN_API void err(const char* format, ...) TARN_PRINTF(1, 2);
TARN_API void verr(const char* format, va_list args) TARN_PRINTF(1, 0);
// Raw bytes as printable text into `out` (hex: "61 09 62 "; text: control bytes as \09\).
TARN_API const char* ToWritable(const char* data, int length, char* out, int outSize, int hex);

// Text into the history file as it is; null does nothing.
TARN_API void histdump(const char* text);
// Closes and reopens the history file, which commits it.
TARN_API void histfix();

// Milliseconds as "mm:ss", "hh:mm:ss" from one hour, "d:hh:mm:ss" from one day, with ".mmm"
// (integer form) or ".mmm.uuu" (double form) behind. Both return the length written. Pass the
// milliseconds with their type: an int literal would fit both forms.
TARN_API int TICKS2MMSS(char* buffer, int size, unsigned long milliseconds, int withMilliseconds);
TARN_API int TICKS2MMSS(char* buffer, int size, double milliseconds, int withFraction);

// The installation's working directory from "install.ini" beside the executable; "" if none.
TARN_API const char* GetInstallWorkingDir();
// One value of an INI file (null `file`: the process's INI file) into `value`; its text, or
// null when memory ran out or a fault occurred.
TARN_API const char* GetIniFileEntry(str& value, const char* section, const char* key,
                                     const char* defaultValue, const char* file);
// Writes one formatted value into the process's INI file. With a null format the first
// argument is the value itself; a null value deletes the key.
TARN_API bool PrintToIniFile(const char* section, const char* key, const char* format, ...);
// The same with an argument list; a null `args` writes `format` as it is. The second form
// writes into `file`.
TARN_API bool vsetinifile(const char* section, const char* key, const char* format, va_list args);
TARN_API bool vsetinifile(const char* section, const char* key, const char* format, va_list args,
                          const char* file);
