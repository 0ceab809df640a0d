// Log output: time-stamped log lines and history records (voutlog), raw text (fout, logdump),
// committing the log file (logfix), errors the user must see (err, verr), ToWritable, and the
// application's two hooks.
#include "log/faults.h"
#include "log/messagebox.h"
#include "log/process.h"
#include "log/readtext.h"
#include "log/startorder.h"
#include "platform/fork.h"
#include "platform/win32.h"
#include "tarnkernl/files.h"
#include "text/format.h"

#include <atomic>
#include <climits>
#include <cinttypes>
#include <cstdio>

namespace tarn {
namespace {

LazyLock gLogLock TARN_START(LogLock);
constinit int gLogFile = HFILE_ERROR;

// A function exported by the executable, looked up once per process (a missing export is
// remembered as absent).
template <class Function>
class Hook {
public:
    explicit constexpr Hook(const char* name) : name_(name) {}

    Function Get() {
        if (!lookedUp_.load(std::memory_order_acquire)) {
            address_.store(
                reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA(nullptr), name_)),
                std::memory_order_relaxed);
            lookedUp_.store(true, std::memory_order_release);
        }
        return reinterpret_cast<Function>(address_.load(std::memory_order_relaxed));
    }

private:
    const char* name_;
    std::atomic<bool> lookedUp_{false};
    std::atomic<void*> address_{nullptr};
};

typedef bool (*LogWindowHook)(const char* text);
typedef bool (*HistoryHook)(const char* what, const void* where, const char* details);

constinit Hook<LogWindowHook> gLogWindow("PUT2LOG_WINDOW");
constinit Hook<HistoryHook> gHistory("HISTORY_WHAT_WHERE_DETAILS_");
// While one thread is inside the log-window hook, lines of every thread bypass it.
constinit std::atomic<bool> gInLogWindow{false};

// The local date turns at local midnight, so a line need not read the local time to know that
// the day of its files still holds: the watch remembers, from its last reading, for how many
// ticks after it midnight cannot have come. It reads again when that span is over, or after a
// second at most, so that a change of the clock or of the time zone is seen within a second.
class DayWatch {
public:
    // Whether the day must be checked by a reading of the local time, at `ticks` from
    // GetTickCount taken before it.
    bool Due(uint32_t ticks) const {
        const uint64_t span = span_.load(std::memory_order_relaxed);
        return ticks - static_cast<uint32_t>(span >> 32) >= static_cast<uint32_t>(span);
    }

    // Notes the local time `now`, read after `ticks`.
    void Read(uint32_t ticks, const LocalTime& now) {
        const uint32_t sinceMidnight =
            ((now.wHour * 60u + now.wMinute) * 60u + now.wSecond) * 1000u + now.wMilliseconds;
        const uint32_t untilMidnight = sinceMidnight < kDay ? kDay - sinceMidnight : 0;
        // Short of midnight by more than the tick count's own step (about 16 ms on Windows).
        const uint32_t sure = untilMidnight > kMargin ? untilMidnight - kMargin : 0;
        span_.store(uint64_t{ticks} << 32 | (sure < kMostSpan ? sure : kMostSpan),
                    std::memory_order_relaxed);
    }

private:
    static constexpr uint32_t kDay = 86'400'000;
    static constexpr uint32_t kMargin = 50;
    static constexpr uint32_t kMostSpan = 1000;

    // The ticks of the last reading (high half) and the span after them (low half), in one
    // word so that a thread never sees the start of one reading with the span of another.
    std::atomic<uint64_t> span_{0};
};

constinit DayWatch gDayWatch;

// Appends a caller's text if it can be read; an unreadable text adds nothing.
void AppendReadable(PrintBufferBase& buffer, const char* text) {
    if (!text)
        return;
    const size_t length = ReadGuarded(size_t(0), [text] { return TextLength(text); });
    const size_t start = buffer.length;
    // Grow first, then copy with our own loop: the text may still fault.
    if (length == 0 || fprintf(buffer, "%*s", static_cast<int>(length), "") == 0)
        return;
    if (!ReadGuarded([&] { CopyBytes(buffer.data + start, text, length); })) {
        buffer.length = static_cast<unsigned>(start);
        buffer.data[start] = 0;
    }
}

// Room left in `buffer` before it must grow.
size_t Room(const PrintBufferBase& buffer) {
    return static_cast<size_t>(buffer.Room()) - buffer.length;
}

void AppendBytes(PrintBufferBase& buffer, const char* bytes, size_t count) {
    if (Room(buffer) < count) {
        fprintf(buffer, "%.*s", static_cast<int>(count), bytes);
        return;
    }
    memcpy(buffer.data + buffer.length, bytes, count);
    buffer.length += static_cast<unsigned>(count);
    buffer.data[buffer.length] = 0;
}

// The message of a format that cannot be read: its address and its first four bytes as text.
void AppendInvalidFormat(PrintBufferBase& buffer, const char* format) {
    uint32_t value = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(format));
    char bytes[5] = {};
    memcpy(bytes, &value, 4);
    fprintf(buffer, "<INVALID PTR(0x%08" PRIXPTR ")[%4s]", reinterpret_cast<uintptr_t>(format),
            bytes);
}

// The message behind the text so far, or the text that tells of a format that is not a readable
// string of at most 1024 bytes. One formatting pass when the message fits the room left (nearly
// always), the print buffer's measured growth otherwise.
void AppendMessage(PrintBufferBase& buffer, const char* format, va_list args) {
    if (IsBadStringPtrA(format, 1024)) {
        AppendInvalidFormat(buffer, format);
        return;
    }
    int n = FormatInto(buffer.data + buffer.length, static_cast<int>(Room(buffer)), format, args);
    if (n >= 0) {
        buffer.length += static_cast<unsigned>(n);
    } else {
        buffer.data[buffer.length] = 0;
        vfprintf(buffer, format, args);
    }
}

// The entries of the log lock's guards, all of one thread, which holds the lock.
constinit unsigned gGuardEntries = 0;

// A line left by a thread that found the log lock taken, for the lock's holder to write after
// its own. It lives on its thread's stack, which waits until it is marked written.
struct WaitingLine {
    const char* data;
    unsigned length;
    WaitingLine* next;
    std::atomic<bool> written;
};

// The lines left since the holder last took them, the latest first.
constinit std::atomic<WaitingLine*> gWaiting{nullptr};
// The waiting lines are gathered here, under the log lock, to be written together.
constinit char gBatch[4096];
constinit bool gWritingBatch = false;
// A writer that finds the lock taken looks for its line to be written this many times, and for
// the lock to be free every eighth time; then it waits for the lock. Between looks it gives its
// processor away: the holder's system call takes microseconds, and a waiter spinning meanwhile
// keeps the threads still making their lines from running.
constexpr unsigned kWaitLooks = 32;

// A forked child has only the thread that forked: the log and history locks are held across the
// fork, so that the child never finds them taken by a thread it does not have, and the lines
// that other threads left waiting are theirs to write, in the parent, and the child forgets them.
// The allocator's lock is taken before both: a damage report holds it while it writes to the
// log.
constinit DWORD gForkingProcess = 0;

struct LogAtFork {
    LogAtFork() {
        AroundFork(
            [] {
                gForkingProcess = GetCurrentProcessId();
                gLogLock.Enter();
                HistoryLock().Enter();
            },
            [] {
                if (GetCurrentProcessId() != gForkingProcess)
                    gWaiting.store(nullptr, std::memory_order_relaxed);
                HistoryLock().Leave();
                gLogLock.Leave();
            });
    }
} gLogAtFork TARN_START(LogAtFork);

void WriteToLog(const char* data, size_t length) {
    if (gLogFile == HFILE_ERROR)
        GetProcess().StartUp(LocalTime());
    if (gLogFile != HFILE_ERROR)
        _lwrite(gLogFile, data, static_cast<UINT>(length));
}

// Marks the lines from `first` up to, not including, `end` written: their threads may go on,
// and their stacks may then go.
void MarkWritten(WaitingLine* first, WaitingLine* end) {
    while (first != end) {
        WaitingLine* next = first->next;
        first->written.store(true, std::memory_order_release);
        first = next;
    }
}

// Writes the lines left so far, the earliest first, in as few system calls as the batch allows;
// each line lies whole within one call. A line whose write fails is given up as a line written
// alone would be. Under the log lock, outside its guards; a line that the writing itself logs
// (a fault's report) leaves the others for the next holder.
void WriteWaitingLines() {
    if (gWritingBatch || !gWaiting.load(std::memory_order_relaxed))
        return;
    gWritingBatch = true;
    WaitingLine* earliest = nullptr;
    for (WaitingLine* line = gWaiting.exchange(nullptr, std::memory_order_acquire); line;) {
        WaitingLine* next = line->next;
        line->next = earliest;
        earliest = line;
        line = next;
    }
    // However the writing ends, every line taken is given back to its thread.
    struct GiveBack {
        WaitingLine* unmarked;
        ~GiveBack() {
            MarkWritten(unmarked, nullptr);
            gWritingBatch = false;
        }
    } taken{earliest};
    size_t used = 0;
    // A line marked written is its thread's again: what follows it is read before.
    for (WaitingLine *line = earliest, *next; line; line = next) {
        next = line->next;
        if (used + line->length > sizeof gBatch && used != 0) {
            WriteToLog(gBatch, used);
            MarkWritten(taken.unmarked, line);
            taken.unmarked = line;
            used = 0;
        }
        // A line that goes alone, too long for the batch or the only one, is written from where
        // it is.
        if (line->length > sizeof gBatch || (used == 0 && !next)) {
            WriteToLog(line->data, line->length);
            MarkWritten(taken.unmarked, next);
            taken.unmarked = next;
        } else {
            memcpy(gBatch + used, line->data, line->length);
            used += line->length;
        }
    }
    if (used != 0)
        WriteToLog(gBatch, used);
}

void LeaveLine(WaitingLine& line) {
    line.next = gWaiting.load(std::memory_order_relaxed);
    while (!gWaiting.compare_exchange_weak(line.next, &line, std::memory_order_release,
                                           std::memory_order_relaxed)) {
    }
}

// The holder's own line joins the lines left for it; false when it goes alone (none are
// waiting, or the holder writes inside a guard or a batch).
bool JoinedOthers(WaitingLine& mine) {
    if (gGuardEntries != 0 || gWritingBatch || !gWaiting.load(std::memory_order_relaxed))
        return false;
    LeaveLine(mine);
    return true;
}

// Leaves `line` for the holder of the log lock. True when the holder wrote it; false when this
// thread got the lock first, and holds it now.
bool LeftForTheHolder(WaitingLine& line) {
    LeaveLine(line);
    for (unsigned look = 1; look <= kWaitLooks; ++look) {
        if (line.written.load(std::memory_order_acquire))
            return true;
        if (look % 8 == 0 && gLogLock.TryEnter())
            return false;
        SwitchToThread();
    }
    gLogLock.Enter();
    return false;
}

// A log line reaches the file in one system call: stamp, message and line end together, alone
// or in one piece with the lines of other threads that came to the lock about when it did. The log
// file is written whenever the stamp alone could have been written (the file is open); otherwise
// the log is started up once more, as for a failed stamp, and the line goes to whatever file that
// left open. The bytes are those of three separate writes, and no other thread's line can come
// between them.
bool WriteLine(PrintBufferBase& line, int stampLength) {
    AppendBytes(line, "\r\n", 2);
    WaitingLine mine{line.data, line.length, nullptr, false};
    const bool entered = gLogLock.TryEnter();
    if (entered || !LeftForTheHolder(mine)) {
        try {
            // A holder whose line goes alone writes nothing more: the lines left while it writes
            // go out with the next line that comes to the lock, in one system call, rather than
            // each in one of its own behind the holder's. A waiter that got the lock writes all
            // that is waiting, its own line among them.
            if (entered && !JoinedOthers(mine))
                WriteToLog(line.data, line.length);
            else
                WriteWaitingLines();
        } catch (...) {
            gLogLock.Leave();
            throw;
        }
        gLogLock.Leave();
    }
    line.data[line.length - 2] = 0;
    LogWindowHook hook = gLogWindow.Get();
    if (!hook || gInLogWindow.exchange(true))
        return true;
    bool result;
    try {
        result = hook(line.data + stampLength);
    } catch (...) {
        gInLogWindow.store(false);
        throw;
    }
    gInLogWindow.store(false);
    return result;
}

// "stamp what:where - message\r\n", or "stamp what:where\r\n" for an empty message, unless the
// application's hook stores the record.
void WriteHistoryRecord(const PrintBufferBase& line, int stampLength, const void* where,
                        const char* what) {
    const char* message = line.data + stampLength;
    if (HistoryHook hook = gHistory.Get()) {
        bool stored = false;
        try {
            stored = hook(what, where, message);
        } catch (...) {
        }
        if (stored)
            return;
    }
    PrintBuffer<256> record;
    AppendBytes(record, line.data, stampLength);
    AppendReadable(record, what);
    AppendBytes(record, ":", 1);
    AppendReadable(record, static_cast<const char*>(where));
    if (*message) {
        AppendBytes(record, " - ", 3);
        AppendBytes(record, message, line.length - stampLength);
    }
    AppendBytes(record, "\r\n", 2);
    histdump(record.data);
    histfix();
}

}  // namespace

LogLockGuard::LogLockGuard() {
    gLogLock.Enter();
    ++gGuardEntries;
}

LogLockGuard::~LogLockGuard() {
    --gGuardEntries;
    gLogLock.Leave();
}

void CutUnfinishedLine(int handle) {
    if (handle == HFILE_ERROR)
        return;
    Contained([handle] {
        const LONG size = _llseek(handle, 0, FILE_END);
        // Back from the end, a block at a time, to the last line feed.
        char block[512];
        LONG cut = -1;
        for (LONG end = size; end > 0 && cut < 0;) {
            const LONG start = end > LONG(sizeof block) ? end - LONG(sizeof block) : 0;
            if (_llseek(handle, start, FILE_BEGIN) != start ||
                _lread(handle, block, UINT(end - start)) != UINT(end - start))
                break;
            for (LONG i = end - start; i > 0 && cut < 0; --i) {
                if (block[i - 1] == '\n')
                    cut = start + i;
            }
            end = start;
        }
        if (cut >= 0 && cut < size && _llseek(handle, cut, FILE_BEGIN) == cut)
            _lwrite(handle, nullptr, 0);
        _llseek(handle, 0, FILE_END);
    });
}

void CutUnfinishedLogLine() {
    LogLockGuard guard;
    CutUnfinishedLine(gLogFile);
}

bool CreateIfMissing(const char* name) {
    const HANDLE created = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                       CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (created == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(created);
    return true;
}

void ReopenAtEnd(int& handle, const str& name, uint32_t& openError) {
    try {
        if (handle != HFILE_ERROR) {
            int closing = handle;
            handle = HFILE_ERROR;
            _lclose(closing);
        }
    } catch (...) {
    }
    if (!*Text(name))
        return;
    try {
        if (!existfile(Text(name)))
            CreateIfMissing(Text(name));
    } catch (...) {
    }
    try {
        handle = _lopen(Text(name), OF_READWRITE | OF_SHARE_DENY_WRITE);
        openError = GetLastError();
    } catch (...) {
    }
    try {
        // Written from anywhere but its end, the file would lose what it holds: one that cannot
        // be positioned there stays closed, and the next reopening tries again.
        if (handle != HFILE_ERROR && _llseek(handle, 0, FILE_END) == HFILE_ERROR) {
            openError = GetLastError();
            int closing = handle;
            handle = HFILE_ERROR;
            _lclose(closing);
        }
    } catch (...) {
    }
}

bool LogLine(const char* format, ...) {
    va_list args;
    va_start(args, format);
    bool result = voutlog(format, args, nullptr, nullptr);
    va_end(args);
    return result;
}

bool HistoryRecord(const void* where, const char* what, const char* format, ...) {
    va_list args;
    va_start(args, format);
    bool result;
    try {
        result = voutlog(format, args, where, what);
    } catch (...) {
        result = false;
    }
    va_end(args);
    return result;
}

}  // namespace tarn

using namespace tarn;

bool voutlog(const char* format, va_list args, const void* where, const char* what) {
    bool result = false;
    try {
        Log& log = GetProcess();
        const uint32_t ticks = GetTickCount();
        const double elapsed = ElapsedMilliseconds(
            log.startTime, static_cast<long long>(tarn::ReadTimeStampCounter()), ticks);

        // The stamp and its blank, then the message: one buffer serves the line and the record.
        PrintBuffer<1024> line;
        int stampLength = TICKS2MMSS(line.data, 62, elapsed, 1);
        line.data[stampLength++] = ' ';
        line.data[stampLength] = 0;
        line.length = stampLength;
        AppendMessage(line, format, args);

        if (gDayWatch.Due(ticks)) {
            // The C library converts to local time under a lock of its own, which a child forked
            // meanwhile would find taken for ever: the reading is made under the log lock, which
            // a fork waits for.
            LogLockGuard guard;
            LocalTime now;
            gDayWatch.Read(ticks, now);
            if (now.wDay != log.logDay)
                log.StartUp(now);
        }
        result = true;
        if (!where && !what)
            result = WriteLine(line, stampLength);
        else
            WriteHistoryRecord(line, stampLength, where, what);
    } catch (...) {
    }
    return result;
}

void fout(const char* format, ...) {
    if (IsBadStringPtrA(format, 1024))
        return;
    char text[1024];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (n > 0)
        logdump(text, -1);
}

bool logdump(const char* text, int length) {
    if (!text)
        return true;
    return Contained(false, [&] {
        LogLockGuard guard;
        if (gLogFile == HFILE_ERROR)
            return false;
        if (length < 0)
            length = static_cast<int>(TextLength(text));
        _lwrite(gLogFile, text, static_cast<UINT>(length));
        return true;
    });
}

void logfix() {
    LogLockGuard guard;
    Log& log = GetProcess();
    ReopenAtEnd(gLogFile, log.logName, log.logOpenError);
}

void verr(const char* format, va_list args) {
    try {
        PrintBuffer<128> message;
        // A null argument list shows the format as it is (va_list is a pointer on our targets).
        if (args)
            vsprintf(message, format, args);
        else
            AppendReadable(message, format);
        exceptout("%s", message.data);
        ShowMessageBox(GetActiveWindow(), message.data, nullptr, MB_ICONEXCLAMATION | MB_OK);
    } catch (...) {
    }
}

void err(const char* format, ...) {
    va_list args;
    va_start(args, format);
    verr(format, args);
    va_end(args);
}

const char* ToWritable(const char* data, int length, char* out, int outSize, int hex) {
    if (!out || outSize <= 0)
        return out;
    // Each byte takes at least one byte of `out`: what lies beyond outSize is never shown. A
    // text that runs into unreadable memory ends there.
    if (length < 0)
        length = static_cast<int>(ReadableLength(data, static_cast<size_t>(outSize)));
    else if (length > outSize)
        length = outSize;
    while (length > 0 && IsBadReadPtr(data, length))
        --length;

    static const char digits[] = "0123456789ABCDEF";
    const unsigned char* in = reinterpret_cast<const unsigned char*>(data);
    int w = 0;
    for (int i = 0; i < length; ++i) {
        unsigned char c = in[i];
        if (hex) {
            if (outSize - w < 4)
                break;
            out[w++] = digits[c >> 4];
            out[w++] = digits[c & 15];
            out[w++] = ' ';
        } else if (c >= 32) {
            if (outSize - w < 2)
                break;
            out[w++] = static_cast<char>(c);
        } else {
            if (outSize - w < 5)
                break;
            out[w++] = '\\';
            out[w++] = digits[c >> 4];
            out[w++] = digits[c & 15];
            out[w++] = '\\';
        }
    }
    out[w] = 0;
    return out;
}
