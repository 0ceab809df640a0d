// Test seams of the system layer: what tests need to make, and that the library never does.
#pragma once

#include "platform/win32.h"

namespace tarn {

// A window with the given text, as a child `id` of `parent` (null: a top-level window).
// On POSIX it enters the in-process window table; on Windows it is a real static control.
TARNRT_API HWND CreateWindowForTesting(HWND parent, int id, const char* text);
TARNRT_API void DestroyWindowForTesting(HWND window);

}  // namespace tarn
