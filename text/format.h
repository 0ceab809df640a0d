// printf-style formatting into a block of known size: the same characters on every target
// (C99 vsnprintf; mingw builds use its ANSI stdio). Shared by str, the print buffer and the
// log's writers. An argument that cannot be read (a bad %s) raises its fault out of these, to
// the caller's handler: the C library declares its formatters as throwing nothing, and a fault
// inside a call the compiler believes cannot throw ends the process. (On Windows the string is
// read inside the system's C runtime, whose faults are left to the system.)
#pragma once

#include <cstdarg>

namespace tarn {

// The length of the formatted text without its terminator; negative for a format error.
// `args` is not consumed.
int FormattedLength(const char* format, va_list args);

// Writes at most `count` characters and then a terminator, so `out` holds count + 1 bytes.
// Returns the number of characters written, or -1 when the text was cut or the format was
// wrong. `args` is not consumed.
int FormatInto(char* out, int count, const char* format, va_list args);

}  // namespace tarn
