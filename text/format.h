// printf-style formatting into a block of known size: the same characters on every target
// (C99 vsnprintf; mingw builds use its ANSI stdio). Shared by str and the print buffer.
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
