// Events and waiting on POSIX: an event is a flag under a mutex with a condition variable;
// WaitForSingleObject waits on any kind of handle that can be waited on.
#include "platform/posix/handles_posix.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace tarn::posix {
namespace {

class EventObject : public WaitableObject {
public:
    static constexpr HandleKind kKind = HandleKind::Event;

    EventObject(bool manualReset, bool signalled)
        : WaitableObject(kKind), manualReset_(manualReset), signalled_(signalled) {}

    void Set() {
        std::lock_guard guard(lock_);
        signalled_ = true;
        // An auto-reset event lets one waiter through; a manual one all of them.
        if (manualReset_)
            changed_.notify_all();
        else
            changed_.notify_one();
    }

    void Reset() {
        std::lock_guard guard(lock_);
        signalled_ = false;
    }

    DWORD Wait(DWORD milliseconds) override {
        std::unique_lock guard(lock_);
        auto isSet = [this] { return signalled_; };
        if (milliseconds == INFINITE)
            changed_.wait(guard, isSet);
        else if (!changed_.wait_for(guard, std::chrono::milliseconds(milliseconds), isSet))
            return WAIT_TIMEOUT;
        if (!manualReset_)
            signalled_ = false;
        return WAIT_OBJECT_0;
    }

private:
    const bool manualReset_;
    std::mutex lock_;
    std::condition_variable changed_;
    bool signalled_;
};

}  // namespace
}  // namespace tarn::posix

using namespace tarn::posix;

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState,
                           LPCSTR name) {
    if (name) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    std::shared_ptr<EventObject> event;
    try {
        event = std::make_shared<EventObject>(manualReset != FALSE, initialState != FALSE);
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    HANDLE handle = AddHandle(std::move(event));
    if (handle)
        SetLastError(ERROR_SUCCESS);
    return handle;
}

BOOL WINAPI SetEvent(HANDLE handle) {
    std::shared_ptr<EventObject> event = FindHandle<EventObject>(handle);
    if (!event)
        return FALSE;
    event->Set();
    return TRUE;
}

BOOL WINAPI ResetEvent(HANDLE handle) {
    std::shared_ptr<EventObject> event = FindHandle<EventObject>(handle);
    if (!event)
        return FALSE;
    event->Reset();
    return TRUE;
}

// The object stays alive while the wait lasts, even when another thread closes its handle.
DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    std::shared_ptr<HandleObject> object = FindHandleObject(handle);
    auto* waitable = dynamic_cast<WaitableObject*>(object.get());
    if (!waitable) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    return waitable->Wait(milliseconds);
}
