// Loops over caller memory, out of line and kept loops by the build (files/CMakeLists.txt), so
// that a fault in them becomes the caller's exception.
#include "files/bytes.h"

namespace tarn {

[[gnu::noinline]] size_t TextLength(const char* text)
{
    const volatile char* p = text;
    size_t n = 0;
    while (p[n] != '\0')
        ++n;
    return n;
}

[[gnu::noinline]] size_t LineFeedOrEnd(const char* text)
{
    const volatile char* p = text;
    size_t n = 0;
    while (p[n] != '\0' && p[n] != '\n')
        ++n;
    return n;
}

[[gnu::noinline]] void CopyBytes(void* to, const void* from, size_t count)
{
    char* out = static_cast<char*>(to);
    const char* in = static_cast<const char*>(from);
    for (size_t i = 0; i < count; ++i)
        out[i] = in[i];
}

[[gnu::noinline]] bool SameText(const char* a, const char* b)
{
    const volatile char* x = a;
    const volatile char* y = b;
    for (;; ++x, ++y) {
        if (*x != *y)
            return false;
        if (*x == '\0')
            return true;
    }
}

}  // namespace tarn
