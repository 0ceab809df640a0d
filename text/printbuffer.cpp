// The print buffer: formatted text inline while it fits, on the runtime heap when it does not;
// the shared formatting helpers; _pow10.
#include "tarnkernl/text.h"

#include "platform/callermemory.h"
#include "platform/win32.h"
#include "text/format.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace tarn {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// A wide string, read one character at a time up to its terminator or `limit` characters.
bool WideStringReadable(const wchar_t* text, size_t limit) {
    for (; limit > 0; --limit, ++text) {
        if (IsBadReadPtr(text, sizeof *text))
            return false;
        if (*text == 0)
            break;
    }
    return true;
}

// Whether the argument of a string conversion can be read up to its precision (-1: none).
bool StringReadable(va_list& args, bool wide, int precision) {
    const size_t limit = precision < 0 ? ~size_t(0) : size_t(precision);
    if (wide) {
        const wchar_t* text = va_arg(args, const wchar_t*);
        return !text || WideStringReadable(text, limit);
    }
    const char* text = va_arg(args, const char*);
    return !text || !IsBadStringPtrA(text, limit);
}

// The argument of one conversion, taken as the formatter takes it.
enum class Argument { Taken, Unreadable, Unknown };

// `p` stands behind the conversion's '%' and ends behind its letter.
Argument TakeConversion(const char*& p, va_list& args) {
    while (*p == '-' || *p == '+' || *p == ' ' || *p == '#' || *p == '0' || *p == '\'')
        ++p;
    if (*p == '*') {
        (void)va_arg(args, int);
        ++p;
    }
    while (IsDigit(*p))
        ++p;
    if (*p == '$')
        return Argument::Unknown;
    int precision = -1;
    if (*p == '.') {
        ++p;
        if (*p == '*') {
            precision = va_arg(args, int);
            ++p;
        } else {
            for (precision = 0; IsDigit(*p); ++p)
                precision = precision < 100000000 ? 10 * precision + (*p - '0') : precision;
        }
    }
    int longs = 0;  // 'l' or 'll'
    char size = 0;  // 'h', 'j', 'z', 't' or 'L'
    for (;; ++p) {
        if (*p == 'l')
            ++longs;
        else if (*p == 'q')
            longs = 2;
        else if (*p == 'h' || *p == 'j' || *p == 'z' || *p == 'Z' || *p == 't' || *p == 'L')
            size = *p;
        else
            break;
    }
    const char conversion = *p;
    if (conversion)
        ++p;
    switch (conversion) {
        case 'd':
        case 'i':
        case 'o':
        case 'u':
        case 'x':
        case 'X':
            if (size == 'L')
                return Argument::Unknown;
            if (size == 'j')
                (void)va_arg(args, intmax_t);
            else if (size == 'z' || size == 'Z')
                (void)va_arg(args, size_t);
            else if (size == 't')
                (void)va_arg(args, ptrdiff_t);
            else if (longs >= 2)
                (void)va_arg(args, long long);
            else if (longs == 1)
                (void)va_arg(args, long);
            else
                (void)va_arg(args, int);
            return Argument::Taken;
        case 'c':
        case 'C':
            (void)va_arg(args, int);
            return Argument::Taken;
        case 'e':
        case 'E':
        case 'f':
        case 'F':
        case 'g':
        case 'G':
        case 'a':
        case 'A':
            if (size == 'L')
                (void)va_arg(args, long double);
            else
                (void)va_arg(args, double);
            return Argument::Taken;
        case 's':
        case 'S':
            return StringReadable(args, conversion == 'S' || longs > 0, precision)
                       ? Argument::Taken
                       : Argument::Unreadable;
        case 'p':
        case 'n':
            (void)va_arg(args, void*);
            return Argument::Taken;
        default:
            // A letter no formatter knows is printed as it stands, and the formatter goes on with
            // the conversions behind it: so does the check, or their strings would go unchecked.
            return Argument::Taken;
    }
}

void RaiseIfUnreadable(const char* format, va_list args) {
    if (!StringArgumentsReadable(format, args))
        throw static_cast<unsigned long>(EXCEPTION_ACCESS_VIOLATION);
}

}  // namespace

bool StringArgumentsReadable(const char* format, va_list args) {
    va_list walk;
    va_copy(walk, args);
    Argument last = Argument::Taken;
    for (const char* p = ByteOrEnd(format, '%'); last == Argument::Taken && *p;
         p = ByteOrEnd(p, '%')) {
        if (*++p == '%')
            ++p;
        else
            last = TakeConversion(p, walk);
    }
    va_end(walk);
    return last != Argument::Unreadable;
}

// Never inlined or looked into: their callers must see calls that may throw (a fault inside
// the formatter that the check before it could not foresee).
TARN_NOIPA int FormattedLength(const char* format, va_list args) {
    RaiseIfUnreadable(format, args);
    va_list copy;
    va_copy(copy, args);
    int n = vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    return n;
}

TARN_NOIPA int FormatMeasured(char* out, int count, const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    int n = vsnprintf(out, static_cast<size_t>(count) + 1, format, copy);
    va_end(copy);
    return n > count ? -1 : n;
}

int FormatInto(char* out, int count, const char* format, va_list args) {
    RaiseIfUnreadable(format, args);
    return FormatMeasured(out, count, format, args);
}

namespace {

// Room for `required` characters. The new capacity is 2 * required + 4: appends reallocate
// rarely. The old text is kept when growing fails or the buffer is fixed.
bool MakeRoom(PrintBufferBase& buffer, long long required) {
    if (required <= buffer.Room())
        return true;
    long long grown = 2 * required + 4;
    if (buffer.Refuses() || grown >= INT_MAX)
        return false;
    bool wasInline = !buffer.OnHeap();
    void* block = realloc(wasInline ? nullptr : buffer.data, static_cast<size_t>(grown) + 1);
    if (!block)
        return false;
    if (wasInline)
        memcpy(block, buffer.data, buffer.length + 1);
    buffer.data = static_cast<char*>(block);
    buffer.capacity = static_cast<int>(grown);
    return true;
}

}  // namespace
}  // namespace tarn

PrintBufferBase::PrintBufferBase(int capacity, const char* format, va_list arguments)
    : PrintBufferBase(capacity) {
    ::vfprintf(*this, format, arguments);
}

#if TARN_ARGS_FOLLOW_FORMAT
PrintBufferBase::PrintBufferBase(int capacity, const char** formatAndArguments)
    : PrintBufferBase(capacity) {
    ::vfprintf(*this, *formatAndArguments, reinterpret_cast<va_list>(formatAndArguments + 1));
}
#endif

PrintBufferBase::~PrintBufferBase() {
    if (OnHeap())
        free(data);
}

int vfprintf(PrintBufferBase& buffer, const char* format, va_list args) {
    int n = tarn::FormattedLength(format, args);
    if (n < 1 || !tarn::MakeRoom(buffer, static_cast<long long>(buffer.length) + n + 1))
        return 0;
    int written = tarn::FormatMeasured(buffer.data + buffer.length, n, format, args);
    if (written < 0)
        written = n;
    buffer.length += written;
    buffer.data[buffer.length] = 0;
    return written;
}

int vsprintf(PrintBufferBase& buffer, const char* format, va_list args) {
    buffer.length = 0;
    buffer.data[0] = 0;
    return vfprintf(buffer, format, args);
}

int sprintf(PrintBufferBase& buffer, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int n = vsprintf(buffer, format, args);
    va_end(args);
    return n;
}

int wsprintfA(PrintBufferBase& buffer, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int n = vsprintf(buffer, format, args);
    va_end(args);
    return n;
}

int fprintf(PrintBufferBase& buffer, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int n = vfprintf(buffer, format, args);
    va_end(args);
    return n;
}

namespace {

constexpr double kPowersBelow8[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7};
// 10 to the power 2^k for k = 3..12; from 10^512 on beyond the double range.
constexpr double kPowersOfBits[] = {1e8,   1e16,     1e32,     1e64,     1e128,
                                    1e256, HUGE_VAL, HUGE_VAL, HUGE_VAL, HUGE_VAL};

}  // namespace

double _pow10(int n) {
    if (n < -4932)
        return 0;
    if (n > 4932)
        return HUGE_VAL;
    unsigned m = n < 0 ? -n : n;
    // Rounded to double after every step, also where the FPU would keep more precision.
    volatile double product = kPowersBelow8[m % 8];
    m >>= 3;
    for (const double* power = kPowersOfBits; m != 0; ++power, m >>= 1) {
        if (m & 1)
            product = product * *power;
    }
    return n < 0 ? 1 / product : product;
}
