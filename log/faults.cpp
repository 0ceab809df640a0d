// The library's fault translator and the per-thread report-faults flag, and the report of a
// machine fault: its record in the exception file, the first fault shown under "/gpfshow", and
// the exception code thrown to the program's handlers.
#include "log/faults.h"

#include "log/crashreport.h"
#include "log/messagebox.h"
#include "log/process.h"
#include "platform/context.h"
#include "platform/win32.h"
#include "tarnkernl/tarnrt.h"

#include <atomic>
#include <cinttypes>
#include <cstdio>

namespace tarn {
namespace {

// The thread's report-faults flag is a system thread slot, set while the thread is quiet. The
// memory manager reads it while it allocates, and on Windows a thread-local variable of a
// module is itself allocated on a thread's first use of it: through the memory manager. The
// flag keeps the thread's last error, which the reports show.
constinit std::atomic<DWORD> gQuietSlot{TLS_OUT_OF_INDEXES};
constinit std::atomic<bool> gShowBusy{false};

DWORD QuietSlot() {
    DWORD slot = gQuietSlot.load(std::memory_order_acquire);
    if (slot != TLS_OUT_OF_INDEXES)
        return slot;
    const DWORD made = TlsAlloc();
    if (!gQuietSlot.compare_exchange_strong(slot, made, std::memory_order_acq_rel)) {
        TlsFree(made);
        return slot;
    }
    return made;
}

bool Quiet() {
    const DWORD error = GetLastError();
    const bool quiet = TlsGetValue(QuietSlot()) != nullptr;
    SetLastError(error);
    return quiet;
}

void SetQuiet(bool quiet) {
    static char set;
    TlsSetValue(QuietSlot(), quiet ? &set : nullptr);
}

struct ExceptionNameEntry {
    DWORD code;
    const char* name;
};

constexpr ExceptionNameEntry kExceptionNames[] = {
    {0x00000000, "WAIT_0"},
    {0x00000080, "ABANDONED_WAIT_0"},
    {0x000000C0, "USER_APC"},
    {0x00000102, "TIMEOUT"},
    {0x00000103, "PENDING"},
    {0x80000002, "DATATYPE_MISALIGNMENT"},
    {0xC0000005, "ACCESS_VIOLATION"},
    {0xC0000006, "IN_PAGE_ERROR"},
    {0xC0000008, "INVALID_HANDLE"},
    {0xC0000017, "NO_MEMORY"},
    {0xC000001D, "ILLEGAL_INSTRUCTION"},
    {0xC0000025, "NONCONTINUABLE_EXCEPTION"},
    {0xC0000026, "INVALID_DISPOSITION"},
    {0xC000008C, "ARRAY_BOUNDS_EXCEEDED"},
    {0xC000008D, "FLOAT_DENORMAL_OPERAND"},
    {0xC000008E, "FLOAT_DIVIDE_BY_ZERO"},
    {0xC000008F, "FLOAT_INEXACT_RESULT"},
    {0xC0000090, "FLOAT_INVALID_OPERATION"},
    {0xC0000091, "FLOAT_OVERFLOW"},
    {0xC0000092, "FLOAT_STACK_CHECK"},
    {0xC0000093, "FLOAT_UNDERFLOW"},
    {0xC0000094, "INTEGER_DIVIDE_BY_ZERO"},
    {0xC0000095, "INTEGER_OVERFLOW"},
    {0xC0000096, "PRIVILEGED_INSTRUCTION"},
    {0xC00000FD, "STACK_OVERFLOW"},
    {0xC000013A, "CONTROL_C_EXIT"},
};

// Register values print with the processor's word: eight hex digits on 32-bit processors, as
// the records always had, sixteen on 64-bit ones.
#define TARN_REG "%0" TARN_REG_DIGITS PRIXPTR
#if UINTPTR_MAX == 0xFFFFFFFFu
#define TARN_REG_DIGITS "8"
#else
#define TARN_REG_DIGITS "16"
#endif

// The first fault of the process in a message box, when "/gpfshow" asked for it.
void ShowFirstFaultBox(DWORD code, const char* name, const FaultRegisters& r) {
    if (!ShowFirstFault() || gShowBusy.exchange(true))
        return;
    ClearShowFirstFault();
    const char p = kRegisterPrefix;
    try {
        char text[512];
        snprintf(text, sizeof text,
                 "Exception 0x%X: %s\r\n%cIP=0x" TARN_REG "\r\n%cAX=0x" TARN_REG " %cBX=0x" TARN_REG
                 "\r\n%cCX=0x" TARN_REG " %cDX=0x" TARN_REG "\r\n%cSI=0x" TARN_REG
                 " %cDI=0x" TARN_REG "\r\n%cBP=0x" TARN_REG " %cSP=0x" TARN_REG
                 "\r\nEFL=0x%08X\r\n",
                 static_cast<unsigned>(code), name, p, r.ip, p, r.ax, p, r.bx, p, r.cx, p, r.dx, p,
                 r.si, p, r.di, p, r.bp, p, r.sp, static_cast<unsigned>(r.flags));
        ShowMessageBox(nullptr, text, "INTERNAL ERROR", MB_SYSTEMMODAL | MB_OK);
    } catch (...) {
        exceptout("GPF show catched");
    }
    gShowBusy.store(false);
}

// Every machine fault reaches the program as its exception code; while the thread's
// report-faults flag is set it is reported first.
void Translate(unsigned int code, _EXCEPTION_POINTERS* info) {
    if (!Quiet() && info && info->ExceptionRecord && info->ContextRecord)
        ReportFault(*info->ExceptionRecord, *info->ContextRecord);
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

const char* ExceptionName(DWORD code) {
    for (const ExceptionNameEntry& entry : kExceptionNames)
        if (entry.code == code)
            return entry.name;
    return "";
}

void ReportFault(const EXCEPTION_RECORD& record, const CONTEXT& context) {
    const DWORD code = record.ExceptionCode;
    const char* name = ExceptionName(code);
    int3call();
    ResetFloatingPoint();
    const FaultRegisters r = RegistersOf(context);
    const char p = kRegisterPrefix;
    ExceptOutAt(r.bp,
                "Exception 0x%X: %s\r\n%cAX=%" PRIXPTR " %cBX=%" PRIXPTR " %cCX=%" PRIXPTR
                " %cDX=%" PRIXPTR " %cSI=%" PRIXPTR "\r\n%cDI=%" PRIXPTR " %cIP=%" PRIXPTR
                " %cBP=%" PRIXPTR " %cSP=%" PRIXPTR " EFL=%X\r\n",
                static_cast<unsigned>(code), name, p, r.ax, p, r.bx, p, r.cx, p, r.dx, p, r.si, p,
                r.di, p, r.ip, p, r.bp, p, r.sp, static_cast<unsigned>(r.flags));
    ShowFirstFaultBox(code, name, r);
    throw static_cast<unsigned long>(code);
}

void InstallTranslator() { tarnrtl_SetTranslator(&Translate); }

void RemoveTranslator() {
    if (tarnrtl_GetTranslator() == &Translate)
        tarnrtl_SetTranslator(nullptr);
}

bool ReportFaults() { return !Quiet(); }

QuietFaults::QuietFaults() : previous_(!Quiet()) { SetQuiet(true); }

QuietFaults::~QuietFaults() { SetQuiet(!previous_); }

}  // namespace tarn
