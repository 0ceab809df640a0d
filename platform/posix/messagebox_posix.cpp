// Message boxes without a window system: caption and text go to standard error, the answer is
// OK. Nothing waits for a user.
#include "platform/callermemory.h"
#include "platform/posix/syscalls.h"
#include "platform/win32.h"

namespace {

void WriteAll(const char* text, size_t length) {
    while (length > 0) {
        ssize_t n = tarn::posix::Sys().write(2, text, length);
        if (n <= 0)
            return;
        text += n;
        length -= static_cast<size_t>(n);
    }
}

}  // namespace

int WINAPI MessageBoxA(HWND, LPCSTR text, LPCSTR caption, UINT) {
    if (!caption)
        caption = "Error";
    if (!text)
        text = "";
    WriteAll(caption, tarn::TextLength(caption));
    WriteAll(": ", 2);
    WriteAll(text, tarn::TextLength(text));
    WriteAll("\n", 1);
    return IDOK;
}

HWND WINAPI GetActiveWindow() {
    return nullptr;
}
