// Process log and diagnostics: log output, crash reports, call-stack marker, settings, time.
#pragma once

#include "tarnkernl/api.h"

extern "C" {
// Writes a crash record to the process's exception file. True when the record was attempted.
TARN_API bool exceptout(const char* format, ...) __attribute__((format(gnu_printf, 1, 2)));

// "[%04X]" and the system's message for `code` into `buffer` (at most `size` bytes, trailing
// line breaks removed); returns the address of the message behind the code.
TARN_API char* PrintError(char* buffer, int size, unsigned long code);
}
