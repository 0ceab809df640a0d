// Message boxes without a window system: caption and text go to standard error, the answer is
// OK. Nothing waits for a user.
#include "platform/posix/descriptor.h"
#include "platform/win32.h"

namespace {

// A plain loop: the text is the caller's, and a fault must reach the caller as its exception.
size_t TextLength(const char* text) {
    size_t n = 0;
    while (text[n])
        ++n;
    return n;
}

// What standard error does not take is lost: nothing can report it.
void Say(const char* text, size_t length) {
    tarn::posix::WriteAll(2, text, length);
}

}  // namespace

int WINAPI MessageBoxA(HWND, LPCSTR text, LPCSTR caption, UINT) {
    if (!caption)
        caption = "Error";
    if (!text)
        text = "";
    Say(caption, TextLength(caption));
    Say(": ", 2);
    Say(text, TextLength(text));
    Say("\n", 1);
    return IDOK;
}

HWND WINAPI GetActiveWindow() {
    return nullptr;
}
