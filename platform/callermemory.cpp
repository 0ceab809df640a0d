// The loops over caller memory (see callermemory.h). Each is out of line and opaque, so that a
// call keeps its landing pad and the compiler assumes nothing about what it reads. They are plain
// loops, which the compiler would turn into calls of the C library: the build holds it back
// (platform/CMakeLists.txt) and checks the object. They read addresses that may be anything, which
// have no shadow for a race detector to look up.
#include "platform/callermemory.h"

#define TARN_CALLER_MEMORY TARN_NOIPA __attribute__((no_sanitize("thread")))

namespace tarn {
namespace {

// The smallest page on x86: touching one byte in every 4 KiB touches every page.
constexpr uintptr_t kPage = 4096;

template <typename Unit>
size_t UnitsBeforeTerminator(const Unit* text) {
    size_t n = 0;
    while (text[n] != 0)
        ++n;
    return n;
}

}  // namespace

TARN_CALLER_MEMORY size_t TextLength(const char* text) { return UnitsBeforeTerminator(text); }

TARN_CALLER_MEMORY size_t TextLength(const WCHAR* text) { return UnitsBeforeTerminator(text); }

TARN_CALLER_MEMORY size_t LineFeedOrEnd(const char* text) {
    size_t n = 0;
    while (text[n] != '\0' && text[n] != '\n')
        ++n;
    return n;
}

TARN_CALLER_MEMORY bool SameText(const char* a, const char* b) {
    for (;; ++a, ++b) {
        if (*a != *b)
            return false;
        if (*a == '\0')
            return true;
    }
}

TARN_CALLER_MEMORY bool BeginsWithText(const char* text, const char* prefix) {
    for (; *prefix; ++prefix, ++text) {
        if (*text != *prefix)
            return false;
    }
    return true;
}

TARN_CALLER_MEMORY void CopyBytes(void* to, const void* from, size_t count) {
    char* out = static_cast<char*>(to);
    const char* in = static_cast<const char*>(from);
    for (size_t i = 0; i < count; ++i)
        out[i] = in[i];
}

TARN_CALLER_MEMORY char* CopyText(char* out, const char* in, size_t room) {
    for (; room > 0 && *in; --room)
        *out++ = *in++;
    return out;
}

TARN_CALLER_MEMORY void CountText(const char* text, size_t limit, volatile size_t& count) {
    while (count < limit && text[count] != '\0')
        count = count + 1;
}

TARN_CALLER_MEMORY void TouchRange(uintptr_t first, uintptr_t last) {
    (void)*reinterpret_cast<const volatile char*>(first);
    for (uintptr_t page = (first | (kPage - 1)) + 1; page != 0 && page <= last; page += kPage)
        (void)*reinterpret_cast<const volatile char*>(page);
    (void)*reinterpret_cast<const volatile char*>(last);
}

}  // namespace tarn
