// Test seams of the system layer: what tests need to make or know, and the library never does.
#pragma once

#include "platform/win32.h"

namespace tarn {

// A window with the given text, as a child `id` of `parent` (null: a top-level window, which
// has no id). On POSIX it enters the in-process window table; on Windows it is a real static
// control. Null when the system cannot make it.
TARNRT_API HWND CreateWindowForTesting(HWND parent, int id, const char* text);
// An empty combo box (a drop-down list), otherwise as CreateWindowForTesting.
TARNRT_API HWND CreateComboForTesting(HWND parent, int id);
// Destroys the window and its children.
TARNRT_API void DestroyWindowForTesting(HWND window);

// A message posted to a window (PostMessageA).
struct PostedMessageForTesting {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
};
// Takes the oldest message posted to `window`, made by CreateWindowForTesting on the calling
// thread; false when none is waiting.
TARNRT_API bool TakePostedMessageForTesting(HWND window, PostedMessageForTesting& message);

// Pages for tests of code that must survive unreadable memory: `readablePages` readable pages,
// then one page that cannot be read, then one more readable page.
class TARNRT_API GuardedPagesForTesting {
public:
    static constexpr size_t kPageSize = 4096;

    explicit GuardedPagesForTesting(size_t readablePages = 1);
    ~GuardedPagesForTesting();
    GuardedPagesForTesting(const GuardedPagesForTesting&) = delete;
    GuardedPagesForTesting& operator=(const GuardedPagesForTesting&) = delete;

    char* Begin() const { return base_; }  // null when the system gave no pages
    char* Guard() const { return base_ + readablePages_ * kPageSize; }
    char* After() const { return Guard() + kPageSize; }

    // A copy of `text`, with its terminator when `terminated`, that ends at the last readable
    // byte before the guard page.
    const char* AtTheEnd(const char* text, bool terminated) {
        const size_t size = strlen(text) + (terminated ? 1 : 0);
        char* start = Guard() - size;
        memcpy(start, text, size);
        return start;
    }

private:
    char* base_;
    size_t readablePages_;
};

// True where the system is Wine: the few checks of Windows behaviour that Wine does not share
// apply only elsewhere.
inline bool RunningOnWineForTesting() {
#if defined(_WIN32)
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
#else
    return false;
#endif
}

}  // namespace tarn
