// A program of the family that the whole-process tests run in a fresh working directory. It
// carries out the commands of its command line in order, then ends normally (unless told to
// die), so that the tests can read the log, history and INI files it leaves:
//   log TEXT                 one log line
//   lines N TEXT             N log lines "TEXT i"
//   history WHAT WHERE TEXT  one history record
//   set SECTION KEY VALUE    a value of the program's INI file
//   threads T N              T threads each logging N lines "thread t line i"
//   sleep MS
//   until-next-day MS        a line every MS milliseconds until the local date changes
//   print-cmdline            the internal command line to standard output
//   print-names              the log's file names and the working directory
//   print-companion          whether the companion module beside the program is loaded
//   die                      ends the process at once, as a kill would (no shutdown)
//   kill-log RUN T US        T threads each write log lines "kill RUN t s" and history records
//                            "kill:run RUN thread t - s" for s = 0, 1, ... and, once both calls
//                            of a serial have returned, print "ack t s"; US microseconds after
//                            every thread's first "ack" the process dies as "die" does
//   boxes                    message boxes to standard output ("box CAPTION: TEXT") from now on
//   fault KIND               a fault (null, div or int3) three calls deep, caught as its code;
//                            prints "caught 0x..." and the return addresses its record should
//                            start with ("expect 0x... 0x... 0x...")
//   fault-thread KIND        a fault as "fault" does, on a thread of its own, which prints
//                            "faulting-thread <id>" and stays in FaultingThread until the dump
//                            beside the exception file appears (at most a minute): "dump found"
//                            or "dump missing"
//   report TEXT              a crash record with TEXT
//   import NAME              RunTimeImport of NAME from the program itself; prints the outcome
//   print-pid                the process identifier
//   mark-path                three nested marked calls; the innermost prints the return
//                            addresses of the marks as a log's list would: "path STACK: 0x..."
//   endstartup               ends the start-up phase of the memory manager
//   leak SIZE                a block of SIZE bytes from malloc, never released; prints
//                            "leak 0x<block> from 0x<caller>", where <caller> is the second
//                            address of the block's stack (the first lies in the leaking code)
//   leak-objects             a std::string and a std::vector made with new, never released;
//                            prints "leak 0x<block> from 0x<caller>" for both objects and both
//                            of their buffers
//   plugin-leak FILE         loads the module FILE, which leaks a block of its own new;
//                            prints "leak 0x<block> from 0x<caller>"
//   overrun SIZE             a block of SIZE bytes from malloc, written one byte past its end,
//                            then released; prints "overrun 0x<block>"
//   system-block             a block that the system's C library made (the working directory
//                            it reports) grown, measured and released by the program; prints
//                            "system-block <bytes>"
//   plugins DIR              the instances "tarnTestKind0..2" of the modules "*.plg" in DIR,
//                            twice, then their raw data "tarnRaw0..2"; prints "found N" for
//                            each search. The plug-ins' arrivals
//                            and departures are printed as they happen ("plugin NAME loaded",
//                            "plugin NAME unloaded").
//   languages                "language ID", "curdir DIR", "defdir DIR" (or "null") and a line
//                            "lang ID NAME" for every language directory
//   text ID                  "text ID=TEXT" of the language tables
//   loadres ID               "loadres ID=TEXT" of the program's resource strings or the
//                            language tables, "loadres ID=null" when neither has it
//   setlanguage ID           stores the chosen language
//   rewrite FILE             starts a safe rewrite of FILE with the backup ".bak"; prints
//                            "rewrite TEXT" with the first line of its error text
//   langres FILE dialog|menu ID   which module the dialog or menu ID of the module FILE comes
//                            from: "langres ID=module", or "langres ID=language TEXT" with the
//                            dialog's caption or the menu's first item
#include "tarnkernl/tarnkernl.h"

#include "log/messagebox.h"
#include "platform/win32.h"
#include "tarnkernl/files.h"
#include "tests/programs/threadlines.h"

#include <malloc.h>
#include <unistd.h>

#include <cinttypes>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

void Line(const char* format, ...) TARN_PRINTF(1, 2);
void Line(const char* format, ...) {
    va_list args;
    va_start(args, format);
    voutlog(format, args, nullptr, nullptr);
    va_end(args);
}

void Record(const char* what, const char* where, const char* format, ...) TARN_PRINTF(3, 4);
void Record(const char* what, const char* where, const char* format, ...) {
    va_list args;
    va_start(args, format);
    voutlog(format, args, where, what);
    va_end(args);
}

void Pause(int milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

// Some lines are longer than what the lines of threads that meet at the log are gathered in.
void LogFromThreads(int threads, int lines) {
    static const std::string tail = " " + std::string(6000, 'x');
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([t, lines] {
            for (int i = 0; i < lines; ++i)
                Line("thread %d line %d%.*s", t, i, ThreadLineTail(t, i), tail.c_str());
        });
    for (std::thread& worker : workers)
        worker.join();
}

void LogUntilNextDay(int milliseconds) {
    LocalTime start;
    for (int waited = 0; waited < 60000; waited += milliseconds) {
        LocalTime now;
        if (now.wDay != start.wDay)
            break;
        Line("waiting %02d:%02d:%02d", now.wHour, now.wMinute, now.wSecond);
        Pause(milliseconds);
    }
}

}  // namespace

// An entry for the "import" command to find.
extern "C" TARN_EXPORT int logprobe_entry() { return 1; }

namespace {

int ShowBoxOnStdout(HWND, const char* text, const char* caption, unsigned) {
    printf("box %s: %s\n", caption ? caption : "", text);
    return IDOK;
}

// The fault and its two callers note the return addresses that lead to them: the record's
// stack, walked from the faulting frame, must start with them, innermost first.
void* gExpected[3];
int* volatile gNull = nullptr;
volatile int gZero = 0;

TARN_NOIPA int Fault(const std::string& kind) {
    gExpected[0] = __builtin_return_address(0);
    if (kind == "null")
        return *gNull;
    if (kind == "div")
        return 1 / gZero;
    asm volatile("int3");
    return 0;
}

TARN_NOIPA int FaultCaller(const std::string& kind) {
    gExpected[1] = __builtin_return_address(0);
    return Fault(kind) + 1;
}

TARN_NOIPA int FaultCallerCaller(const std::string& kind) {
    gExpected[2] = __builtin_return_address(0);
    return FaultCaller(kind) + 1;
}

void RunFault(const std::string& kind) {
    try {
        FaultCallerCaller(kind);
        printf("no fault\n");
    } catch (unsigned long code) {
        printf("caught 0x%08lX\n", code);
    }
    printf("expect");
    for (void* address : gExpected)
        printf(" 0x%08" PRIXPTR, reinterpret_cast<uintptr_t>(address));
    printf("\n");
}

// The dump tool writes its file under another name and renames it when complete.
bool DumpWritten() {
    const std::string exc = GetProcess().excName.p;
    const size_t dot = exc.rfind('.');
    return dot != std::string::npos &&
           GetFileAttributesA((exc.substr(0, dot) + ".dmp").c_str()) != INVALID_FILE_ATTRIBUTES;
}

TARN_NOIPA void FaultingThread(const std::string& kind) {
    RunFault(kind);
    printf("faulting-thread %u\n", static_cast<unsigned>(GetCurrentThreadId()));
    fflush(stdout);
    bool found = false;
    for (int waited = 0; waited < 60000 && !(found = DumpWritten()); waited += 50)
        Pause(50);
    printf("dump %s\n", found ? "found" : "missing");
}

TARN_NOIPA void MarkedInner() {
    MarkStack mark(TARN_FRAME);
    printf("path STACK:");
    for (unsigned i = 0; i < 3; ++i)
        printf(" 0x%08" PRIXPTR, MarkStack::GetIP(i));
    printf("\n");
}

TARN_NOIPA void MarkedMiddle() {
    MarkStack mark(TARN_FRAME);
    MarkedInner();
}

TARN_NOIPA void MarkedOuter() {
    MarkStack mark(TARN_FRAME);
    MarkedMiddle();
}

void PrintLeak(const void* block, const void* caller) {
    printf("leak 0x%08" PRIXPTR " from 0x%08" PRIXPTR "\n", reinterpret_cast<uintptr_t>(block),
           reinterpret_cast<uintptr_t>(caller));
}

TARN_NOIPA void Leak(size_t size) { PrintLeak(malloc(size), __builtin_return_address(0)); }

TARN_NOIPA void LeakObjects() {
    void* caller = __builtin_return_address(0);
    auto* text = new std::string(100, 't');
    auto* numbers = new std::vector<int>(50, 7);
    PrintLeak(text, caller);
    PrintLeak(text->data(), caller);
    PrintLeak(numbers, caller);
    PrintLeak(numbers->data(), caller);
}

TARN_NOIPA void PluginLeak(const char* file) {
    void* caller = __builtin_return_address(0);
    HINSTANCE module = LoadLibraryA(file);
    auto leak = reinterpret_cast<void* (*)()>(reinterpret_cast<void (*)()>(
        module ? GetProcAddress(module, "tarnTestPluginLeak") : nullptr));
    PrintLeak(leak ? leak() : nullptr, caller);
}

// The compiler sees neither the write past the end nor the release as the block's end.
void (*volatile gRelease)(void*) = free;

void Overrun(size_t size) {
    char* block = static_cast<char*>(malloc(size));
    asm volatile("" : "+r"(block));
    block[size] = 'x';
    printf("overrun 0x%" PRIXPTR "\n", reinterpret_cast<uintptr_t>(block));
    gRelease(block);
}

size_t UsableSize(void* block) {
#if defined(_WIN32)
    return _msize(block);
#else
    return malloc_usable_size(block);
#endif
}

void SystemBlock() {
    char* directory = getcwd(nullptr, 0);
    const size_t length = directory ? strlen(directory) : 0;
    directory = static_cast<char*>(realloc(directory, length + 4000));
    if (directory)
        memset(directory + length, 'd', 4000);
    printf("system-block %zu\n", directory ? UsableSize(directory) : size_t(0));
    gRelease(directory);
}

// No destructor, no exit handler, no detach: what is in the files is what the system has.
[[noreturn]] void Die() {
    fflush(stdout);
#if defined(_WIN32)
    TerminateProcess(GetCurrentProcess(), 137);
#else
    raise(SIGKILL);
#endif
    abort();
}

// One write of the whole text: the acknowledgements of several threads do not mix, and one
// that was written has reached the reader before a kill.
void Acknowledge(int thread, int serial) {
    char text[32];
    const int length = snprintf(text, sizeof text, "ack %d %d\n", thread, serial);
    if (write(1, text, static_cast<unsigned>(length)) != length)
        abort();
}

std::atomic<int> gAcknowledgedThreads{0};

[[noreturn]] void LogUntilKilled(int run, int threads, int microseconds) {
    for (int t = 0; t < threads; ++t)
        std::thread([run, t] {
            const std::string where = "run " + std::to_string(run) + " thread " + std::to_string(t);
            for (int serial = 0;; ++serial) {
                Line("kill %d %d %d", run, t, serial);
                Record("kill", where.c_str(), "%d", serial);
                Acknowledge(t, serial);
                if (serial == 0)
                    ++gAcknowledgedThreads;
            }
        }).detach();
    while (gAcknowledgedThreads.load() < threads)
        Pause(1);
    std::this_thread::sleep_for(std::chrono::microseconds(microseconds));
    Die();
}

}  // namespace

namespace {

std::string Utf8(const WCHAR* text) {
    char bytes[512];
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, bytes, sizeof bytes, nullptr, nullptr);
    return n > 0 ? std::string(bytes, n - 1) : std::string();
}

void PrintLanguages() {
    printf("language %u\n", muiGetLanguageID());
    printf("curdir %s\n", muiGetCurDir() ? muiGetCurDir() : "null");
    printf("defdir %s\n", muiGetDefDir() ? muiGetDefDir() : "null");
    muiEnumLanguages(nullptr, nullptr);  // told to nobody: nothing happens
    muiEnumLanguages([](unsigned int id, const WCHAR* name,
                        void*) { printf("lang %u %s\n", id, Utf8(name).c_str()); },
                     nullptr);
}

// A dialog template's caption follows its fixed fields and empty menu and class fields; a
// menu's first item text follows the header, the item's flags and its identifier.
void PrintLanguageResource(const char* file, const std::string& kind, unsigned id) {
    HINSTANCE module = LoadLibraryA(file);
    const bool dialog = kind == "dialog";
    const char* name = MAKEINTRESOURCEA(id);
    HINSTANCE found =
        dialog ? muiGetDlgTemplateModule(module, name) : muiGetMenuModule(module, name);
    if (!module || found == module) {
        printf("langres %u=%s\n", id, module ? "module" : "no module");
    } else {
        HRSRC resource = FindResourceA(found, name, dialog ? RT_DIALOG : RT_MENU);
        const auto* data = static_cast<const char*>(LockResource(LoadResource(found, resource)));
        printf("langres %u=language %s\n", id,
               Utf8(reinterpret_cast<const WCHAR*>(data + (dialog ? 22 : 8))).c_str());
    }
    if (module)
        FreeLibrary(module);
}

}  // namespace

// The test plug-ins report through this entry of the program that loaded them.
extern "C" TARN_EXPORT void tarnTestPluginEvent(const char* text) {
    printf("plugin %s\n", text);
    fflush(stdout);
}

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        std::string command = argv[i];
        auto next = [&]() -> const char* { return i + 1 < argc ? argv[++i] : ""; };
        if (command == "log") {
            Line("%s", next());
        } else if (command == "lines") {
            int n = atoi(next());
            const char* text = next();
            for (int k = 0; k < n; ++k)
                Line("%s %d", text, k);
        } else if (command == "history") {
            const char* what = next();
            const char* where = next();
            Record(what, where, "%s", next());
        } else if (command == "set") {
            const char* section = next();
            const char* key = next();
            PrintToIniFile(section, key, "%s", next());
        } else if (command == "threads") {
            int threads = atoi(next());
            LogFromThreads(threads, atoi(next()));
        } else if (command == "sleep") {
            Pause(atoi(next()));
        } else if (command == "until-next-day") {
            LogUntilNextDay(atoi(next()));
        } else if (command == "print-cmdline") {
            printf("%s\n", GetCommandLineInternal());
        } else if (command == "print-names") {
            Log& log = GetProcess();
            printf("log=%s\nhistory=%s\nini=%s\nworkingdir=%s\n", log.logName.p, log.histName.p,
                   log.iniName.p, GetInstallWorkingDir());
        } else if (command == "print-companion") {
            TFileName companion(TModuleDir(nullptr), "LockOut.DLL");
            printf("companion=%s\n", GetModuleHandleA(companion) ? "loaded" : "absent");
        } else if (command == "boxes") {
            tarn::SetMessageBoxForTesting(&ShowBoxOnStdout);
        } else if (command == "fault") {
            RunFault(next());
        } else if (command == "fault-thread") {
            std::thread(FaultingThread, std::string(next())).join();
        } else if (command == "report") {
            exceptout("%s\r\n", next());
        } else if (command == "import") {
            const char* name = next();
            HINSTANCE self = reinterpret_cast<HINSTANCE>(GetModuleHandleA(nullptr));
            printf("import %s=%s\n", name, RunTimeImport(self, name, nullptr) ? "found" : "null");
        } else if (command == "mark-path") {
            MarkedOuter();
        } else if (command == "print-pid") {
            printf("pid=%u\n", static_cast<unsigned>(GetCurrentProcessId()));
        } else if (command == "endstartup") {
            EndStartup();
        } else if (command == "leak") {
            Leak(strtoul(next(), nullptr, 10));
        } else if (command == "leak-objects") {
            LeakObjects();
        } else if (command == "plugin-leak") {
            PluginLeak(next());
        } else if (command == "overrun") {
            Overrun(strtoul(next(), nullptr, 10));
        } else if (command == "system-block") {
            SystemBlock();
        } else if (command == "plugins") {
            const char* directory = next();
            pConstVector<void const*> found;
            for (int scan = 0; scan < 2; ++scan)
                printf("found %d\n", _FindInstances(found, directory, "*.plg", "tarnTestKind", 3));
            printf("found %d\n", _FindResources(found, directory, "*.plg", "tarnRaw", 3));
        } else if (command == "languages") {
            PrintLanguages();
        } else if (command == "text") {
            const unsigned id = unsigned(strtoul(next(), nullptr, 10));
            printf("text %u=%s\n", id, muiGetString(id));
        } else if (command == "loadres") {
            const unsigned id = unsigned(strtoul(next(), nullptr, 10));
            str text;
            const char* found = LoadRes(text, id, GetModuleHandleA(nullptr), false);
            printf("loadres %u=%s\n", id, found ? found : "null");
        } else if (command == "rewrite") {
            RestoreFileIfError rewrite(next(), ".bak");
            const std::string text = rewrite.errorText.p;
            printf("rewrite %s\n", text.substr(0, text.find('\r')).c_str());
        } else if (command == "setlanguage") {
            muiSetLanguage(unsigned(strtoul(next(), nullptr, 10)));
        } else if (command == "langres") {
            const char* file = next();
            const std::string kind = next();
            PrintLanguageResource(file, kind, unsigned(strtoul(next(), nullptr, 10)));
        } else if (command == "die") {
            Die();
        } else if (command == "kill-log") {
            const int run = atoi(next());
            const int threads = atoi(next());
            LogUntilKilled(run, threads, atoi(next()));
        } else {
            fprintf(stderr, "unknown command %s\n", command.c_str());
            return 2;
        }
    }
    fflush(stdout);
    return 0;
}
