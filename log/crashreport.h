// What the crash reports offer the rest of the library: the report writer with an explicit
// frame, used by the fault report, and the fault report itself.
#pragma once

#include "log/lazylock.h"
#include "platform/win32.h"

#include <cstdarg>
#include <cstdint>

namespace tarn {

// exceptout with the record's stack walked from `frame` instead of the writer's own frame.
bool ExceptOutAt(uintptr_t frame, const char* format, ...) TARN_PRINTF(2, 3);
bool VExceptOutAt(uintptr_t frame, const char* format, va_list args) TARN_PRINTF(2, 0);

// Serialises the writers of the exception file and of the module map; taken before the
// history lock. Re-entrant.
LazyLock& ReportLock();

// Opens a file of the weekday directory for appending records, positioned at its end:
// deny-write sharing first, then without sharing flags; a missing file is created. HFILE_ERROR
// when all fail or the end cannot be reached.
int OpenRecordFile(const char* name);

// The name of an exception code in crash records; "" for codes without one.
const char* ExceptionName(DWORD code);

// Writes the record of a machine fault, shows the first fault of the process under
// "/gpfshow", and throws the code as `unsigned long`.
[[noreturn]] void ReportFault(const EXCEPTION_RECORD& record, const CONTEXT& context);

// The advanced-stack line into the history file (the report writer's fallback).
void HistoryAdvancedStack(uintptr_t frame);

}  // namespace tarn
