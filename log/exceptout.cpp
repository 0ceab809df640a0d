// Crash reports: the records of the exception file (exceptout), their fallback into the history
// file, the dump tool started at the first record of the process, and int3call.
//
// A report may be written from inside a fault (on POSIX: inside the signal handler, on its
// alternate stack): the writer formats into fixed buffers and never allocates.
#include "log/crashreport.h"
#include "log/faults.h"
#include "log/markstack.h"
#include "log/modulemap.h"
#include "log/process.h"
#include "log/readtext.h"
#include "platform/win32.h"
#include "text/format.h"

#include <cstdio>
#include <cstring>

namespace tarn {
namespace {

constexpr size_t kBufferSize = 4096;
// A longer format is written as it stands: its expansion could not be bounded sensibly.
constexpr size_t kLongestExpandedFormat = 1024;

// Taken before the history lock. A LazyLock initialises itself at its first entry, so reports
// written before its construction or after its destruction still serialise.
LazyLock gReportLock;

constinit int gExcFile = HFILE_ERROR;
constinit bool gReportBusy = false;
constinit bool gFallbackBusy = false;
constinit bool gDumpStarted = false;
char gReportBuffer[kBufferSize];
char gFallbackBuffer[kBufferSize];

// Writes `length` bytes; true when all were written.
bool Write(int file, const char* text, size_t length) {
    return _lwrite(file, text, static_cast<UINT>(length)) == length;
}

bool Write(int file, const char* text) { return Write(file, text, strlen(text)); }

// The outside tool that writes a dump of the process beside its exception file: started once,
// at the first report, given an inheritable handle of this process, its identifier and the
// dump file's name. Whether it exists or starts is not our affair.
void StartDumpTool(const char* excName) {
    if (gDumpStarted || !*excName)
        return;
    gDumpStarted = true;
    char tool[1024 + 16];
    DWORD length = GetModuleFileNameA(nullptr, tool, 1024);
    if (length >= 1024)
        length = 0;
    tool[length] = 0;
    char* slash = strrchr(tool, '\\');
    strcpy(slash ? slash + 1 : tool, "mdump.exe");

    const char* dot = strrchr(excName, '.');
    if (!dot)
        return;
    HANDLE self =
        OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, TRUE, GetCurrentProcessId());
    if (!self)
        return;
    char commandLine[2048];
    snprintf(commandLine, sizeof commandLine, "  /h0x%x /id%u /fo\"%.*s.dmp\"",
             static_cast<unsigned>(reinterpret_cast<uintptr_t>(self)),
             static_cast<unsigned>(GetCurrentProcessId()), static_cast<int>(dot - excName),
             excName);
    STARTUPINFOA startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started;
    if (CreateProcessA(tool, commandLine, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                       &started)) {
        CloseHandle(started.hProcess);
        CloseHandle(started.hThread);
    }
    CloseHandle(self);
}

// The header (first record of the process only) and the time stamp; true when the stamp was
// written in full.
bool WriteHeadAndStamp(int file) {
    bool ok = true;
    Contained([&] {
        Log& log = GetProcess();
        if (!CrashRecordWritten()) {
            NoteCrashRecordWritten();
            const LocalTime& t = log.startTime.startLocal;
            char head[128];
            int n = snprintf(head, sizeof head, "// %4d-%02d-%02d %02d:%02d:%02d\r\n", t.wYear,
                             t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond);
            ok = Write(file, head, static_cast<size_t>(n));
            ok = Write(file, kBuiltText);
            ok = Write(file, "\r\n\r\n");
        }
        char stamp[64];
        int n = TICKS2MMSS(stamp, sizeof stamp, log.startTime.CPU2MS(), 1);
        ok = Write(file, stamp, static_cast<size_t>(n));
        ok = Write(file, "\r\n");
    });
    return ok;
}

// The message of a record into `buffer`, bounded by its size; the length to write. A format
// that cannot be read gives its readable part, one longer than kLongestExpandedFormat itself;
// a fault while formatting gives the format followed by what the buffer held.
size_t FormatMessage(char* buffer, const char* format, va_list args, const char*& prefix) {
    prefix = nullptr;
    memset(buffer, 0, kBufferSize);
    if (IsBadStringPtrA(format, ~UINT_PTR(0))) {
        size_t n = ReadableLength(format, kBufferSize - 1);
        CopyBytes(buffer, format, n);
        return n;
    }
    size_t length = TextLength(format);
    if (length > kLongestExpandedFormat) {
        prefix = format;
        return 0;
    }
    if (!Contained([&] { FormatInto(buffer, kBufferSize - 1, format, args); }))
        prefix = format;
    return ReadableLength(buffer, kBufferSize - 1);
}

// Steps 3 to 8 of a record; true when the exception file was opened and the record attempted.
bool WriteRecord(uintptr_t frame, const char* format, va_list args) {
    Log& log = GetProcess();
    if (gExcFile != HFILE_ERROR && _lclose(gExcFile) != HFILE_ERROR)
        gExcFile = HFILE_ERROR;
    if (!*Text(log.excName))
        log.StartUp(LocalTime());
    const char* excName = Text(log.excName);
    StartDumpTool(excName);
    gExcFile = OpenRecordFile(excName);
    if (gExcFile == HFILE_ERROR)
        return false;
    const bool first = !CrashRecordWritten();
    bool ok = WriteHeadAndStamp(gExcFile);
    if (ok) {
        const char* prefix;
        size_t length = FormatMessage(gReportBuffer, format, args, prefix);
        if (prefix)
            ok = Write(gExcFile, prefix, TextLength(prefix));
        if (ok && length)
            ok = Write(gExcFile, gReportBuffer, length);
        if (ok)
            WriteAdvancedStack(gExcFile, frame);
    }
    if (!ok) {
        histdump("INTERNAL ERROR:");
        histdump(excName);
        histdump(" unwritable\r\n");
        histfix();
    }
    if (_lclose(gExcFile) != HFILE_ERROR)
        gExcFile = HFILE_ERROR;
    // The process's first record: its addresses mean something only with the modules beside.
    if (first && CrashRecordWritten())
        WriteModuleMap("crash record");
    return true;
}

// The record of a report the exception file could not take, into the history file.
void WriteFallback(uintptr_t frame, const char* format, va_list args) {
    if (gFallbackBusy)
        return;
    gFallbackBusy = true;
    Contained([&] {
        histdump("INTERNAL ERROR:");
        histdump("exceptout() damaged\r\n");
        histfix();
        histdump(format);
        histfix();
        Contained([&] {
            if (!IsBadStringPtrA(format, ~UINT_PTR(0))) {
                FormatInto(gFallbackBuffer, kBufferSize - 1, format, args);
                histdump(gFallbackBuffer);
            }
        });
        histfix();
        HistoryAdvancedStack(frame);
        histfix();
    });
    gFallbackBusy = false;
}

}  // namespace

LazyLock& ReportLock() { return gReportLock; }

int OpenRecordFile(const char* name) {
    int file = _lopen(name, OF_READWRITE | OF_SHARE_DENY_WRITE);
    if (file == HFILE_ERROR)
        file = _lopen(name, OF_READWRITE);
    if (file == HFILE_ERROR && GetFileAttributesA(name) == INVALID_FILE_ATTRIBUTES &&
        CreateIfMissing(name))
        file = _lopen(name, OF_READWRITE | OF_SHARE_DENY_WRITE);
    // A record written anywhere but at the end would overwrite the records before it.
    if (file != HFILE_ERROR && _llseek(file, 0, FILE_END) == HFILE_ERROR) {
        _lclose(file);
        return HFILE_ERROR;
    }
    return file;
}

bool VExceptOutAt(uintptr_t frame, const char* format, va_list args) {
    MarkStack mark(TARN_FRAME);
    LazyLock::Guard guard(gReportLock);
    bool result = false;
    if (!gReportBusy) {
        gReportBusy = true;
        try {
            result = WriteRecord(frame, format, args);
        } catch (...) {
        }
        gReportBusy = false;
    }
    if (!result)
        WriteFallback(frame, format, args);
    return result;
}

bool ExceptOutAt(uintptr_t frame, const char* format, ...) {
    va_list args;
    va_start(args, format);
    bool result = VExceptOutAt(frame, format, args);
    va_end(args);
    return result;
}

}  // namespace tarn

using namespace tarn;

bool exceptout(const char* format, ...) {
    va_list args;
    va_start(args, format);
    bool result = VExceptOutAt(TARN_FRAME, format, args);
    va_end(args);
    return result;
}

namespace {

constinit bool gInt3Busy = false;

// Out of line, so that the breakpoint is raised inside a call: the caller's catch then stays.
TARN_NOIPA void Breakpoint() { asm volatile("int3"); }

}  // namespace

void int3call() {
    if (gInt3Busy)
        return;
    gInt3Busy = true;
    try {
        if (strstr(GetCommandLineInternal(), "/int3"))
            Breakpoint();
    } catch (...) {
    }
    gInt3Busy = false;
}
