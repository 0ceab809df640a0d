// The readability probes on POSIX: the memory is touched under a probe scope, so that an
// unreadable byte comes back as a caught `unsigned long`, never as a report or a crash.
#include "platform/callermemory.h"
#include "platform/win32.h"
#include "runtime/fault.h"

BOOL WINAPI IsBadReadPtr(const void* p, UINT_PTR size) {
    if (size == 0)
        return FALSE;
    uintptr_t first = reinterpret_cast<uintptr_t>(p);
    uintptr_t last = first + (size - 1);
    if (!p || last < first)
        return TRUE;
    try {
        tarn::ProbeScope probe;
        tarn::TouchRange(first, last);
    } catch (unsigned long) {
        return TRUE;
    }
    return FALSE;
}

BOOL WINAPI IsBadStringPtrA(LPCSTR text, UINT_PTR maxChars) {
    if (!text)
        return TRUE;
    try {
        tarn::ProbeScope probe;
        tarn::TextLength(text, maxChars);
    } catch (unsigned long) {
        return TRUE;
    }
    return FALSE;
}
