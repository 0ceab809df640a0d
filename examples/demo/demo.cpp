// A small program of the family: it keeps a process log and a history, remembers a setting
// between runs, speaks the language chosen for it, uses the text toolkit, lets the runtime serve
// its memory and survives a machine fault, the way an application linked to tarnkernl does.
#include "tarnkernl/tarnkernl.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// One time-stamped line in the process log, also shown on the console.
TARN_PRINTF(1, 2) void Note(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list shown;
    va_copy(shown, args);
    vprintf(format, shown);
    va_end(shown);
    printf("\n");
    voutlog(format, args, nullptr, nullptr);
    va_end(args);
}

// One record in the history file: what was done, where, and the details.
TARN_PRINTF(3, 4) void Remember(const char* what, const char* where, const char* format, ...) {
    va_list args;
    va_start(args, format);
    voutlog(format, args, where, what);
    va_end(args);
}

// The setting "runs" of section "Demo" in the program's INI file counts the demo's runs.
int CountRun() {
    str value;
    int runs = atoi(GetIniFileEntry(value, "Demo", "runs", "0", nullptr)) + 1;
    PrintToIniFile("Demo", "runs", "%d", runs);
    return runs;
}

// Splits the internal command line (the process's own, followed by the switches of the
// program's INI file) into its words and tells which of the family's switches are on.
void ShowSwitches(const char* commandLine) {
    Vector<str> words;
    for (const char* at = WordBeg(commandLine); *at; at = WordBeg(WordEnd(at)))
        words.Append(str(at, static_cast<int>(WordEnd(at) - at)).p);

    str list;
    for (uint32_t i = 0; i < words.Count(); ++i)
        fprintf(list, " [%s]", words.At(i)->p);
    Note("command line has %d words:%s", Words(commandLine), list.p);
    for (const char* name : {"/gpfshow", "/mem", "/int3"})
        Note("  %-9s %s", name, strnistrn(commandLine, name) ? "on" : "off");
}

// The demo's texts in its language tables below "MUI" beside it.
enum DemoText : unsigned int {
    kThisRunSpeaks = 5001,
    kLanguagesInstalled = 5002,
    kNextRunSpeaks = 5003,
    kThroughLoadRes = 5004,
};
constexpr unsigned int kRussian = 1049;

// Speaks the language chosen for this run, lists the installed ones and chooses the other one
// for the next run.
void ShowLanguages() {
    Note("%s", muiGetString(kThisRunSpeaks));
    str text;
    Note("%s", LoadRes(text, kThroughLoadRes, nullptr, true));
    Note("%s", muiGetString(kLanguagesInstalled));
    struct Found {
        unsigned int next;
        str nextName;
    } found{muiGetLanguageID() == kRussian ? 0 : kRussian, {}};
    muiEnumLanguages(
        [](unsigned int id, const WCHAR* name, void* user) {
            auto* found = static_cast<Found*>(user);
            str shown;
            shown.Set(name);
            Note("  %u %s", id, shown.p);
            if (id == found->next)
                found->nextName = shown.p;
        },
        &found);
    muiSetLanguage(found.next);
    Note(muiGetString(kNextRunSpeaks), found.nextName.p);
}

// Builds a long report line by line: the print buffer starts on the stack and moves to the
// runtime's heap only when the text outgrows it.
void ShowReport() {
    PrintBuffer<64> report("%s", "powers of ten:");
    for (int n = -3; n <= 12; n += 3)
        fprintf(report, " 10^%d=%g", n, _pow10(n));
    Note("%s (%u characters, %s)", report.data, report.length,
         report.OnHeap() ? "moved to the heap" : "inline");
}

// The library's memory manager stands behind malloc and new: it knows the size of every block
// the program holds, and lists at the end of the process, with the call stack that made it,
// every block allocated after the start-up phase and never released.
void ShowMemory() {
    std::string text(100, 'x');
    void* block = malloc(1000);
    static int notABlock;
    ICppMemIface* memory = tarnrtl_GetMemIface();
    Note("block sizes: malloc(1000) -> %zu, std::string data -> %zu, a static -> %zu",
         memory->GetSize(block), memory->GetSize(text.data()), memory->GetSize(&notABlock));
    free(block);

    EndStartup();
    static void* kept = malloc(48);
    Note("kept a 48-byte block of malloc at %p: the memory report in the log lists it", kept);
}

// Marked, as the family's functions mark themselves, and out of line like its caller: its frame
// heads the chain that the fault's record walks up through the demo's own calls.
TARN_NOIPA void WriteThrough(volatile int* where) {
    MarkStack mark(TARN_FRAME);
    *where = 1;
}

// A machine fault reaches the program as an exception carrying the system's code.
TARN_NOIPA void ShowFault() {
    try {
        WriteThrough(nullptr);
    } catch (unsigned long code) {
        Note("a write through a null pointer was caught as exception 0x%08lX", code);
    }
}

}  // namespace

int main() {
    int run = CountRun();
    Note("demo run %d", run);
    Remember("started", "demo", "run %d", run);
    ShowLanguages();
    ShowSwitches(GetCommandLineInternal());
    ShowReport();
    ShowMemory();
    ShowFault();
    Remember("finished", "demo", "run %d", run);

    Log& log = GetProcess();
    printf("\nlog:      %s\nhistory:  %s\nsettings: %s\n", log.logName.p, log.histName.p,
           log.iniName.p);
    return 0;
}
