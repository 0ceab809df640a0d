// A small program of the family: it uses the text toolkit, lets the runtime serve its memory
// and survives a machine fault, the way an application linked to tarnkernl does.
#include "tarnkernl/tarnkernl.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// Splits a command line into its words and tells which of the family's switches are on.
void ShowSwitches(const char* commandLine) {
    Vector<str> words;
    for (const char* at = WordBeg(commandLine); *at; at = WordBeg(WordEnd(at)))
        words.Append(str(at, static_cast<int>(WordEnd(at) - at)).p);

    printf("command line \"%s\" has %d words:", commandLine, Words(commandLine));
    for (uint32_t i = 0; i < words.Count(); ++i)
        printf(" [%s]", words.At(i)->p);
    printf("\n");
    for (const char* name : {"/gpfshow", "/mem", "/int3"})
        printf("  %-9s %s\n", name, strnistrn(commandLine, name) ? "on" : "off");
}

// Builds a long report line by line: the print buffer starts on the stack and moves to the
// runtime's heap only when the text outgrows it.
void ShowReport() {
    PrintBuffer<64> report("%s", "powers of ten:");
    for (int n = -3; n <= 12; n += 3)
        fprintf(report, " 10^%d=%g", n, _pow10(n));
    printf("%s\n  (%u characters, %s)\n", report.data, report.length,
           report.OnHeap() ? "moved to the heap" : "inline");
}

// The runtime stands behind malloc and new: it knows every block the program holds.
void ShowMemory() {
    std::string text(100, 'x');
    void* block = malloc(1000);
    static int notABlock;
    printf("runtime block sizes: malloc(1000) -> %zu, std::string data -> %zu, a static -> %zu\n",
           tarnrtl_GetSize(block), tarnrtl_GetSize(text.data()), tarnrtl_GetSize(&notABlock));
    free(block);
}

// A machine fault reaches the program as an exception carrying the system's code.
void ShowFault() {
    try {
        volatile int* nowhere = nullptr;
        *nowhere = 1;
    } catch (unsigned long code) {
        printf("a write through a null pointer was caught as exception 0x%08lX\n", code);
    }
}

}  // namespace

int main(int argc, char** argv) {
    str commandLine(argc > 1 ? argv[1] : "demo.exe /gpfshow /mem /stack");
    ShowSwitches(commandLine);
    ShowReport();
    ShowMemory();
    ShowFault();
    return 0;
}
