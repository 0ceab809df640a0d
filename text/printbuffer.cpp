// The print buffer: formatted text inline while it fits, on the runtime heap when it does not;
// _pow10.
#include "tarnkernl/text.h"

#include "platform/win32.h"
#include "text/format.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace tarn {
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
    // Into the room there is, in one pass, when it fits and the format is a common one.
    char* const end = buffer.data + buffer.length;
    int n =
        tarn::FormatCommon(end, buffer.Room() - static_cast<int>(buffer.length) - 1, format, args);
    if (n >= 0) {
        buffer.length += n;
        return n;
    }
    *end = 0;
    n = tarn::FormattedLength(format, args);
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
