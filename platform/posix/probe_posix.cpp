// The readability probes on POSIX: the memory is touched under a probe scope, so that an
// unreadable byte comes back as a caught `unsigned long`, never as a report or a crash.
#include "platform/win32.h"
#include "runtime/fault.h"

namespace tarn {
namespace {

// The smallest page on x86: touching one byte in every 4 KiB touches every page.
constexpr uintptr_t kPage = 4096;

// The reads are volatile and out of line so that the compiler neither drops them nor turns a loop
// into a libc call (noexcept: a fault inside one terminates instead of reaching the catch), and
// opaque so that the call keeps its landing pad. They read addresses that may be anything, which
// have no shadow for a race detector to look up.
TARN_NOIPA __attribute__((no_sanitize("thread")))
void TouchRange(uintptr_t first, uintptr_t last) {
    (void)*reinterpret_cast<const volatile char*>(first);
    for (uintptr_t page = (first | (kPage - 1)) + 1; page != 0 && page <= last; page += kPage) {
        (void)*reinterpret_cast<const volatile char*>(page);
    }
    (void)*reinterpret_cast<const volatile char*>(last);
}

TARN_NOIPA __attribute__((no_sanitize("thread")))
void ScanString(const volatile char* text, UINT_PTR maxChars) {
    for (; maxChars != 0 && *text != '\0'; --maxChars) ++text;
}

}  // namespace
}  // namespace tarn

BOOL WINAPI IsBadReadPtr(const void* p, UINT_PTR size) {
    if (size == 0) return FALSE;
    uintptr_t first = reinterpret_cast<uintptr_t>(p);
    uintptr_t last = first + (size - 1);
    if (!p || last < first) return TRUE;
    try {
        tarn::ProbeScope probe;
        tarn::TouchRange(first, last);
    } catch (unsigned long) {
        return TRUE;
    }
    return FALSE;
}

BOOL WINAPI IsBadStringPtrA(LPCSTR text, UINT_PTR maxChars) {
    if (!text) return TRUE;
    try {
        tarn::ProbeScope probe;
        tarn::ScanString(text, maxChars);
    } catch (unsigned long) {
        return TRUE;
    }
    return FALSE;
}
