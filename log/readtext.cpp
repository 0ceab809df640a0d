// Out-of-line loops over caller texts; see readtext.h.
#include "log/readtext.h"

#include "log/faults.h"

namespace tarn {

[[gnu::noinline]] size_t MeasureText(const char* text) {
    const char* end = text;
    while (*end)
        ++end;
    return end - text;
}

namespace {

// Counts in memory, so that the count reached survives a fault.
[[gnu::noinline]] void CountText(const char* text, size_t limit, volatile size_t& count) {
    while (count < limit && text[count])
        count = count + 1;
}

}  // namespace

size_t ReadableLength(const char* text, size_t limit) {
    volatile size_t count = 0;
    QuietFaults quiet;
    try {
        CountText(text, limit, count);
    } catch (unsigned long) {
    }
    return count;
}

[[gnu::noinline]] void CopyBytes(char* out, const char* in, size_t count) {
    while (count-- > 0)
        *out++ = *in++;
}

}  // namespace tarn
