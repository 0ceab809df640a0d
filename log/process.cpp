// The process log: the Log object built while the library is attached (names the files in the
// weekday directory, opens them, writes the headers) and destroyed while it is detached
// (closing lines), the internal command line and its switches, TARN_RTL_DUMMY_ENTRY.
#include "log/process.h"

#include "log/markstack.h"
#include "log/modulemap.h"
#include "log/startorder.h"
#include "memory/companion.h"
#include "platform/win32.h"
#include "tarnkernl/files.h"

#include <atomic>

namespace tarn {
namespace {

constexpr const char* kWeekdays[] = {"SUN", "MON", "TUE", "WED", "THU", "FRI", "SAT"};
constexpr char kDefaultSwitches[] = " /gpfshow /mem /stack";

// The internal command line: built on first use (during attach, before other threads can call
// in, and before the pools are installed) and kept to the end of the process, as the memory
// report reads it after every static destructor has run.
constinit const char* gCommandLine = nullptr;

// Set while StartUp runs, so that it never runs twice at the same time.
constinit bool gStartUpBusy = false;
constinit std::atomic<bool> gCrashRecordWritten{false};

Log gLog TARN_START(ProcessLog);

class ShowFirstFaultFlag {
public:
    ShowFirstFaultFlag() : on(strnistrn(GetCommandLineInternal(), "/gpfshow") != nullptr) {}

    std::atomic<bool> on;
};

ShowFirstFaultFlag gShowFirstFault TARN_START(ShowFirstFault);

// A directory of the log that is missing and cannot be made is shown to the user; start-up goes
// on, and opening the files in it then fails.
void MakeDirectory(const str& directory) {
    if (existdirectory(Text(directory)) || UNI_CreateDirectory(Text(directory), nullptr))
        return;
    strError reason;
    err("%s:%s", Text(directory), Text(reason));
}

// The program's INI file: the program name with ".ini" in the working directory, as a full
// path. The system's profile functions would look for a name without a directory in the
// system's own directory, not in the current one.
TFullName IniFile() {
    TModuleNameNoPathExt program(nullptr);
    return TFullName(TFileName(GetInstallWorkingDir(), Text(program), ".ini"));
}

bool SameDate(const LocalTime& a, const LocalTime& b) {
    return a.wYear == b.wYear && a.wMonth == b.wMonth && a.wDay == b.wDay;
}

// A file of an earlier date in the weekday directory is last week's: it goes.
void RemoveStale(const str& name, const LocalTime& start) {
    LocalTime written;
    if (existfile(Text(name)) && written(Text(name)) && !SameDate(written, start))
        _unlink(Text(name));
}

// With "/mem" and "/int3", the call paths that the previous run's log lists after "STACK:"
// become break stacks: the next time the main thread marks the same path, Mark breaks into the
// debugger. The log is read into memory only; nothing is written back.
void HarvestBreakStacks(const str& logName) {
    const char* switches = GetCommandLineInternal();
    if (!strnistrn(switches, "/mem") || !strnistrn(switches, "/int3") || !existfile(Text(logName)))
        return;
    File previous;
    if (!previous.capture(Text(logName)))
        return;
    previous.seekend(0);
    if (previous.write("", 1) != 1)
        return;
    previous.seekset(0);
    ReadBreakStacks(
        previous.image, previous.length,
        [](const uintptr_t* ips, int count, void*) { return AddBreakStack(ips, count); }, nullptr);
}

}  // namespace

const char kBuiltText[] = "Executable from: " __DATE__ " " __TIME__;

void NoteCrashRecordWritten() { gCrashRecordWritten.store(true); }

bool CrashRecordWritten() { return gCrashRecordWritten.load(); }

bool ShowFirstFault() { return gShowFirstFault.on.load(); }

void ClearShowFirstFault() { gShowFirstFault.on.store(false); }

}  // namespace tarn

using namespace tarn;

extern "C" void TARN_RTL_DUMMY_ENTRY(...) {}

Log& GetProcess() { return gLog; }

const char* GetCommandLineInternal() {
    if (gCommandLine)
        return gCommandLine;
    str switches;
    GetIniFileEntry(switches, "PROGRAM", "CommandLine", kDefaultSwitches, Text(IniFile()));
    gCommandLine = NewText(Text(str(GetCommandLineA(), Text(switches))));
    return gCommandLine ? gCommandLine : kDefaultSwitches;
}

Log::Log() : reserved1(0), logOpenError(0), histOpenError(0) {
    ProbeCompanion();
    logDay = startTime.startLocal.wDay;
    mainThreadId = GetCurrentThreadId();
    StartUp(startTime.startLocal);
}

Log::~Log() {
    LogLockGuard guard;
    try {
        if (CrashRecordWritten())
            exceptout("[Full shutdown]\r\n");
        logdump("[End log]\r\n");
        logfix();
        histdump("\r\n[End history]\r\n");
        histfix();
        logName.Clear();
        histName.Clear();
        excName.Clear();
        iniName.Clear();
        ReleaseCompanion();
    } catch (...) {
    }
}

void tarn::StartUpAgainForTesting() { GetProcess().StartUp(LocalTime()); }

void Log::StartUp(const LocalTime& t) {
    LogLockGuard guard;
    logDay = t.wDay;
    if (gStartUpBusy)
        return;
    gStartUpBusy = true;
    try {
        const LocalTime& start = startTime.startLocal;
        const char* workingDir = GetInstallWorkingDir();
        TModuleNameNoPathExt program(nullptr);
        MakeDirectory(TFileName(workingDir, "LOG"));
        iniName = IniFile();
        TFileName dayDir(workingDir, "LOG", kWeekdays[t.wDayOfWeek % 7]);
        MakeDirectory(dayDir);
        logName = TFileName(dayDir, Text(program), ".log");
        histName = TFileName(dayDir, Text(program), ".hst");
        excName = TFileName(dayDir, Text(program), ".exc");

        RemoveStale(histName, start);
        RemoveStale(excName, start);
        const TFileName mapName(dayDir, Text(program), ".map");
        RemoveStale(mapName, start);
        SetModuleMapFile(Text(mapName));
        HarvestBreakStacks(logName);
        RemoveStale(logName, start);
        logfix();
        histfix();
        CutUnfinishedLogLine();
        CutUnfinishedHistoryLine();
        logDay = t.wDay;

        bool later = memcmp(&t, &start, sizeof t) != 0;
        LogLine("// %4d-%02d-%02d %02d:%02d:%02d ", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
                t.wSecond);
        LogLine("%s\r\n", kBuiltText);
        if (later)
            LogLine("Working since %4d-%02d-%02d %02d:%02d:%02d\r\n ", start.wYear, start.wMonth,
                    start.wDay, start.wHour, start.wMinute, start.wSecond);
        HistoryRecord(kBuiltText, "", "// %4d-%02d-%02d %02d:%02d:%02d ", t.wYear, t.wMonth, t.wDay,
                      t.wHour, t.wMinute, t.wSecond);
        if (later)
            HistoryRecord(kBuiltText, "Is working since", "%4d-%02d-%02d %02d:%02d:%02d",
                          start.wYear, start.wMonth, start.wDay, start.wHour, start.wMinute,
                          start.wSecond);
    } catch (...) {
    }
    gStartUpBusy = false;
}
