// Message boxes without a window system: caption and text go to standard error, the answer is
// OK. Nothing waits for a user.
#include "platform/callermemory.h"
#include "platform/posix/descriptor.h"
#include "platform/win32.h"

namespace {

// What standard error does not take is lost: nothing can report it.
void Say(const char* text, size_t length) { tarn::posix::WriteAll(2, text, length); }

}  // namespace

int WINAPI MessageBoxA(HWND, LPCSTR text, LPCSTR caption, UINT) {
    if (!caption)
        caption = "Error";
    if (!text)
        text = "";
    Say(caption, tarn::TextLength(caption));
    Say(": ", 2);
    Say(text, tarn::TextLength(text));
    Say("\n", 1);
    return IDOK;
}

HWND WINAPI GetActiveWindow() { return nullptr; }
