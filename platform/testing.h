// Test seams of the system layer: what tests need to make or know, and the library never does.
#pragma once

#include "platform/win32.h"

namespace tarn {

// A window with the given text, as a child `id` of `parent` (null: a top-level window, which
// has no id). On POSIX it enters the in-process window table; on Windows it is a real static
// control. Null when the system cannot make it.
TARNRT_API HWND CreateWindowForTesting(HWND parent, int id, const char* text);
// Destroys the window and its children.
TARNRT_API void DestroyWindowForTesting(HWND window);

// True where the system is Wine: the few checks of Windows behaviour that Wine does not share
// apply only elsewhere.
inline bool RunningOnWineForTesting()
{
#if defined(_WIN32)
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
#else
    return false;
#endif
}

}  // namespace tarn
