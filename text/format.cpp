// printf-style formatting for the print buffer, str and the log: the check of string arguments,
// the C library's formatter behind it, and a formatter of our own for the conversions that every
// C library writes alike, which spares the common line both the check's pass and the C library.
#include "text/format.h"

#include "platform/callermemory.h"
#include "platform/win32.h"

#include <climits>
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

namespace {

// Where a formatted text goes: at most `count` characters, then the terminator.
class Output {
public:
    Output(char* out, int count) : at_(out), end_(out + count) {}

    // Bytes of the caller's (the format's text, a string argument).
    bool Put(const char* bytes, size_t n) {
        if (static_cast<size_t>(end_ - at_) < n)
            return false;
        CopyBytes(at_, bytes, n);
        at_ += n;
        return true;
    }

    bool Fill(char c, size_t n) {
        if (static_cast<size_t>(end_ - at_) < n)
            return false;
        for (; n > 0; --n)
            *at_++ = c;
        return true;
    }

    char* End() const { return at_; }

private:
    char* at_;
    char* const end_;
};

struct Conversion {
    bool left = false;
    bool plus = false;
    bool space = false;
    bool alternate = false;
    bool zero = false;
    size_t width = 0;
    int precision = -1;  // none
    int longs = 0;       // 'l' or 'll'
    char size = 0;       // 'j', 'z' or 't'
    char letter = 0;
};

// A count of digits in the format, at most a million: longer ones cannot fit a formatted text.
bool TakeCount(const char*& p, size_t& count) {
    for (count = 0; IsDigit(*p); ++p) {
        count = 10 * count + static_cast<size_t>(*p - '0');
        if (count > 1'000'000)
            return false;
    }
    return true;
}

// Reads the conversion behind a '%' up to its letter, taking the arguments of '*'; false for a
// conversion that is not common to every C library (see FormatCommon).
bool TakeCommon(const char*& p, va_list& args, Conversion& c) {
    for (;; ++p) {
        if (*p == '-')
            c.left = true;
        else if (*p == '+')
            c.plus = true;
        else if (*p == ' ')
            c.space = true;
        else if (*p == '#')
            c.alternate = true;
        else if (*p == '0')
            c.zero = true;
        else
            break;
    }
    if (*p == '*') {
        ++p;
        const int width = va_arg(args, int);
        if (width == INT_MIN)
            return false;
        c.left |= width < 0;
        c.width = static_cast<size_t>(width < 0 ? -width : width);
    } else if (!TakeCount(p, c.width) || *p == '$') {
        return false;
    }
    if (*p == '.') {
        ++p;
        if (*p == '*') {
            ++p;
            const int precision = va_arg(args, int);
            c.precision = precision < 0 ? -1 : precision;
        } else {
            size_t precision;
            if (!TakeCount(p, precision))
                return false;
            c.precision = static_cast<int>(precision);
        }
    }
    for (; *p == 'l' && c.longs < 2; ++p)
        ++c.longs;
    if (c.longs == 0 && (*p == 'j' || *p == 'z' || *p == 't'))
        c.size = *p++;
    c.letter = *p++;
    switch (c.letter) {
        case 'd':
        case 'i':
            return !c.alternate;
        case 'u':
        case 'o':
            // A sign on an unsigned conversion, or octal's '#' beside a precision of 0: each C
            // library has its own text.
            return !c.alternate && !c.plus && !c.space;
        case 'x':
        case 'X':
            return !c.plus && !c.space;
        case 'c':
        case 's':
            // What flags but '-' do to these, or a precision to a character, is the C
            // library's own.
            return c.longs == 0 && !c.size && !c.plus && !c.space && !c.alternate && !c.zero &&
                   (c.letter == 's' || c.precision < 0);
        default:
            return false;
    }
}

// The argument of an integer conversion: its magnitude, and whether it is negative.
unsigned long long TakeInteger(va_list& args, const Conversion& c, bool& negative) {
    negative = false;
    if (c.letter == 'd' || c.letter == 'i') {
        long long value;
        if (c.size == 'j')
            value = va_arg(args, intmax_t);
        else if (c.size == 'z' || c.size == 't')
            value = va_arg(args, ptrdiff_t);
        else if (c.longs == 2)
            value = va_arg(args, long long);
        else if (c.longs == 1)
            value = va_arg(args, long);
        else
            value = va_arg(args, int);
        negative = value < 0;
        return negative ? 0ull - static_cast<unsigned long long>(value)
                        : static_cast<unsigned long long>(value);
    }
    if (c.size == 'j')
        return va_arg(args, uintmax_t);
    if (c.size == 'z' || c.size == 't')
        return va_arg(args, size_t);
    if (c.longs == 2)
        return va_arg(args, unsigned long long);
    if (c.longs == 1)
        return va_arg(args, unsigned long);
    return va_arg(args, unsigned);
}

// Text of `length` bytes in a field of the conversion's width.
bool PutField(Output& out, const Conversion& c, const char* text, size_t length) {
    const size_t pad = c.width > length ? c.width - length : 0;
    return (c.left || out.Fill(' ', pad)) && out.Put(text, length) &&
           (!c.left || out.Fill(' ', pad));
}

// An integer as C99 writes it: sign or base prefix, the zeros of the precision (at least one
// digit unless the precision is 0) or of the '0' flag, the digits, in the field.
bool PutInteger(Output& out, const Conversion& c, unsigned long long magnitude, bool negative) {
    const unsigned base = c.letter == 'o' ? 8 : c.letter == 'x' || c.letter == 'X' ? 16 : 10;
    const char* const digitSet = c.letter == 'X' ? "0123456789ABCDEF" : "0123456789abcdef";
    char digits[24];
    char* const end = digits + sizeof digits;
    char* first = end;
    if (base == 10) {
        // Divisions by a constant, which become multiplications; in 32 bits where they fit.
        unsigned long long rest = magnitude;
        for (; rest > UINT32_MAX; rest /= 10)
            *--first = static_cast<char>('0' + rest % 10);
        first = DigitsBefore(first, static_cast<uint32_t>(rest));
    } else {
        const unsigned shift = base == 8 ? 3 : 4;
        for (unsigned long long rest = magnitude; rest != 0; rest >>= shift)
            *--first = digitSet[rest & (base - 1)];
    }
    const size_t count = static_cast<size_t>(end - first);

    const size_t least = c.precision < 0 ? 1 : static_cast<size_t>(c.precision);
    char prefix[2];
    size_t prefixLength = 0;
    if (c.letter == 'd' || c.letter == 'i') {
        if (negative || c.plus || c.space)
            prefix[prefixLength++] = negative ? '-' : c.plus ? '+' : ' ';
    } else if (c.alternate && base == 16 && magnitude != 0) {
        prefix[prefixLength++] = '0';
        prefix[prefixLength++] = c.letter;
    }
    size_t zeros = least > count ? least - count : 0;
    const size_t length = prefixLength + zeros + count;
    if (c.zero && !c.left && c.precision < 0 && c.width > length)
        zeros += c.width - length;
    const size_t total = prefixLength + zeros + count;
    const size_t pad = c.width > total ? c.width - total : 0;
    return (c.left || out.Fill(' ', pad)) && out.Put(prefix, prefixLength) &&
           out.Fill('0', zeros) && out.Put(first, count) && (!c.left || out.Fill(' ', pad));
}

bool PutConversion(Output& out, va_list& args, const Conversion& c) {
    if (c.letter == 'c') {
        const char character = static_cast<char>(va_arg(args, int));
        return PutField(out, c, &character, 1);
    }
    if (c.letter == 's') {
        const char* text = va_arg(args, const char*);
        const size_t limit = c.precision < 0 ? SIZE_MAX : static_cast<size_t>(c.precision);
        // A null string is written differently by each C library; an unreadable one is
        // raised by the general path.
        if (!text || IsBadStringPtrA(text, limit))
            return false;
        return PutField(out, c, text, TextLength(text, limit));
    }
    bool negative;
    const unsigned long long magnitude = TakeInteger(args, c, negative);
    return PutInteger(out, c, magnitude, negative);
}

}  // namespace

int FormatCommon(char* out, int count, const char* format, va_list args) {
    if (count < 0)
        return kNotCommon;
    Output text(out, count);
    va_list walk;
    va_copy(walk, args);
    bool common = true;
    for (const char* p = format; common;) {
        const char* percent = ByteOrEnd(p, '%');
        common = text.Put(p, static_cast<size_t>(percent - p));
        if (!*percent)
            break;
        p = percent + 1;
        if (*p == '%') {
            common = common && text.Put(p++, 1);
            continue;
        }
        Conversion c;
        common = common && TakeCommon(p, walk, c) && PutConversion(text, walk, c);
    }
    va_end(walk);
    if (!common)
        return kNotCommon;
    *text.End() = 0;
    return static_cast<int>(text.End() - out);
}

int FormatInto(char* out, int count, const char* format, va_list args) {
    const int n = FormatCommon(out, count, format, args);
    if (n != kNotCommon)
        return n;
    if (count >= 0)
        *out = 0;
    RaiseIfUnreadable(format, args);
    return FormatMeasured(out, count, format, args);
}

}  // namespace tarn
