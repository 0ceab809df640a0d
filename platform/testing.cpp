// The test seams on Windows: real windows of the system's "STATIC" class. (On POSIX the same
// seams enter the window table, in posix/windows_posix.cpp.)
#include "platform/testing.h"

namespace tarn {

HWND CreateWindowForTesting(HWND parent, int id, const char* text)
{
    // A child's id travels in the menu parameter; a top-level window has no id.
    const DWORD style = parent ? WS_CHILD : WS_POPUP;
    HMENU idOrMenu = parent ? reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)) : nullptr;
    return CreateWindowExA(0, "STATIC", text, style, 0, 0, 0, 0, parent, idOrMenu,
                           GetModuleHandleA(nullptr), nullptr);
}

void DestroyWindowForTesting(HWND window)
{
    DestroyWindow(window);
}

}  // namespace tarn
