// The library's fault translator and the per-thread report-faults flag.
#include "log/faults.h"

#include "platform/win32.h"
#include "tarnkernl/tarnrt.h"

namespace tarn {
namespace {

constinit thread_local bool tReportFaults = true;

// Every machine fault reaches the program as its exception code. The crash record of a
// reported fault is written here once crash reports exist; until then nothing is reported.
void Translate(unsigned int code, _EXCEPTION_POINTERS*) {
    throw static_cast<unsigned long>(code);
}

// Process attach and detach. Without an init priority it is built after every prioritised
// static object of the library and destroyed before them: the translator is installed once the
// library stands, and removed before it is taken down.
struct ProcessTranslator {
    ProcessTranslator() { InstallTranslator(); }
    ~ProcessTranslator() { RemoveTranslator(); }
} gProcessTranslator;

}  // namespace

void InstallTranslator() {
    tarnrtl_SetTranslator(&Translate);
}

void RemoveTranslator() {
    if (tarnrtl_GetTranslator() == &Translate) tarnrtl_SetTranslator(nullptr);
}

bool ReportFaults() {
    return tReportFaults;
}

QuietFaults::QuietFaults() : previous_(tReportFaults) {
    tReportFaults = false;
}

QuietFaults::~QuietFaults() {
    tReportFaults = previous_;
}

}  // namespace tarn
