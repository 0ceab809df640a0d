// The test seams on Windows: real windows of the system's "STATIC" class and guarded pages.
// (On POSIX the windows enter the window table, in posix/windows_posix.cpp, and the pages are in
// posix/testing_posix.cpp.)
#include "platform/testing.h"

namespace tarn {

HWND CreateWindowForTesting(HWND parent, int id, const char* text) {
    // A child's id travels in the menu parameter; a top-level window has no id.
    const DWORD style = parent ? WS_CHILD : WS_POPUP;
    HMENU idOrMenu = parent ? reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)) : nullptr;
    return CreateWindowExA(0, "STATIC", text, style, 0, 0, 0, 0, parent, idOrMenu,
                           GetModuleHandleA(nullptr), nullptr);
}

HWND CreateComboForTesting(HWND parent, int id) {
    const DWORD style = (parent ? WS_CHILD : WS_POPUP) | CBS_DROPDOWNLIST;
    HMENU idOrMenu = parent ? reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)) : nullptr;
    return CreateWindowExA(0, "COMBOBOX", "", style, 0, 0, 100, 100, parent, idOrMenu,
                           GetModuleHandleA(nullptr), nullptr);
}

void DestroyWindowForTesting(HWND window) { DestroyWindow(window); }

// Posted messages wait in the queue of the thread that made the window.
bool TakePostedMessageForTesting(HWND window, PostedMessageForTesting& message) {
    MSG msg;
    if (!PeekMessageA(&msg, window, 0, 0, PM_REMOVE))
        return false;
    message = {msg.message, msg.wParam, msg.lParam};
    return true;
}

GuardedPagesForTesting::GuardedPagesForTesting(size_t readablePages)
    : readablePages_(readablePages) {
    const size_t size = (readablePages + 2) * kPageSize;
    base_ =
        static_cast<char*>(VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    DWORD old = 0;
    if (base_)
        VirtualProtect(Guard(), kPageSize, PAGE_NOACCESS, &old);
}

GuardedPagesForTesting::~GuardedPagesForTesting() {
    if (base_)
        VirtualFree(base_, 0, MEM_RELEASE);
}

}  // namespace tarn
