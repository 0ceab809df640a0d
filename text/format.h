// printf-style formatting into a block of known size: the same characters on every target
// (C99 vsnprintf; mingw builds use its ANSI stdio). Shared by str, the print buffer and the
// log's writers. A string argument that cannot be read (a bad %s) is found before the formatter
// runs and raised as the access violation it would have been, an `unsigned long` exception:
// inside the formatter its fault could not be taken (the C library declares the formatters as
// throwing nothing; on Windows the string is read in the system's own C runtime).
#pragma once

#include "tarnkernl/api.h"

#include <cstdarg>
#include <cstdint>
#include <cstring>

namespace tarn {

// False when a string argument of `format` (%s, %ls, %S) cannot be read up to its end or its
// precision. The arguments are taken as the formatter takes them, up to the first conversion
// whose argument type is not the same in every C library (positional arguments, 'L' or 'I' on
// an integer, letters of one library only): from there on nothing is checked.
bool StringArgumentsReadable(const char* format, va_list args);

// The length of the formatted text without its terminator; negative for a format error.
// `args` is not consumed. Both raise EXCEPTION_ACCESS_VIOLATION for an unreadable string.
int FormattedLength(const char* format, va_list args);

// Writes at most `count` characters and then a terminator, so `out` holds count + 1 bytes.
// Returns the number of characters written, or -1 when the text was cut or the format was
// wrong. `args` is not consumed. An unreadable string leaves `out` empty.
TARN_API int FormatInto(char* out, int count, const char* format, va_list args);
// FormatInto on its own for the conversions that every C library writes alike: d i u o x X c s
// and %%, with the flags - and 0, a sign (+ or space) for d and i and # for x and X, widths and
// precisions of digits or '*', and no length or l, ll, j, z, t on an integer. kNotCommon for
// anything else, a null or unreadable string or a text longer than `count`, with `out` overwritten
// in part.
constexpr int kNotCommon = -2;
TARN_API int FormatCommon(char* out, int count, const char* format, va_list args);
// FormatInto for a format and arguments that FormattedLength has just measured and checked.
int FormatMeasured(char* out, int count, const char* format, va_list args);

// "00" to "99", two digits at a time: half the divisions of one digit at a time.
struct DigitPairs {
    char text[200];
    constexpr DigitPairs() : text() {
        for (int i = 0; i < 100; ++i) {
            text[2 * i] = static_cast<char>('0' + i / 10);
            text[2 * i + 1] = static_cast<char>('0' + i % 10);
        }
    }
};
inline constexpr DigitPairs kDigitPairs;

// Writes the decimal digits of `value` backwards, ending just before `end`, and returns the
// first; 0 writes none.
inline char* DigitsBefore(char* end, uint32_t value) {
    for (; value >= 100; value /= 100) {
        end -= 2;
        memcpy(end, kDigitPairs.text + 2 * (value % 100), 2);
    }
    if (value >= 10) {
        end -= 2;
        memcpy(end, kDigitPairs.text + 2 * value, 2);
    } else if (value != 0) {
        *--end = static_cast<char>('0' + value);
    }
    return end;
}

}  // namespace tarn
