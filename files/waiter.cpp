// The waiter thread: a short-lived thread waits for an object, tells a window by a posted
// message and closes the object's handle.
#include "tarnkernl/files.h"

#include "platform/win32.h"

namespace {

constexpr unsigned kWaiterStack = 0x10000;

// Handed from the caller to the thread, which owns it (and the handle) from the start on.
struct WaitRequest {
    HANDLE object;
    HWND window;
    uint32_t message;
    uint32_t wParam;
    int32_t lParam;
};

static_assert(sizeof(void*) != 4 || sizeof(WaitRequest) == 20, "the 32-bit layout");

// The record comes from the runtime's calloc and goes back through operator delete, as every
// block that may cross modules.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void Release(WaitRequest* request) { ::operator delete(request); }
#pragma GCC diagnostic pop

void Waiter(void* argument) {
    auto* request = static_cast<WaitRequest*>(argument);
    WaitForSingleObject(request->object, INFINITE);
    PostMessageA(request->window, request->message, request->wParam, request->lParam);
    CloseHandle(request->object);
    Release(request);
}

}  // namespace

void WaitNotifyAndCloseHandle(void* object, HWND window, unsigned int message, unsigned int wParam,
                              long lParam) {
    auto* request = static_cast<WaitRequest*>(calloc(1, sizeof(WaitRequest)));
    if (!request)
        return;
    *request = {object, window, message, wParam, static_cast<int32_t>(lParam)};
    // Without a thread the handle stays the caller's problem, as it would without a record.
    if (_beginthread(Waiter, kWaiterStack, request) == ~uintptr_t{0})
        Release(request);
}
