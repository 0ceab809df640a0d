// Every message box of the library goes through ShowMessageBox.
#include "log/messagebox.h"

#include <atomic>

namespace tarn {
namespace {

constinit std::atomic<MessageBoxHandler> gHandler{nullptr};

}  // namespace

int ShowMessageBox(HWND owner, const char* text, const char* caption, unsigned style) {
    if (MessageBoxHandler handler = gHandler.load(std::memory_order_acquire))
        return handler(owner, text, caption, style);
    return MessageBoxA(owner, text, caption, style);
}

MessageBoxHandler SetMessageBoxForTesting(MessageBoxHandler handler) {
    return gHandler.exchange(handler, std::memory_order_acq_rel);
}

}  // namespace tarn
