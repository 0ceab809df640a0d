// The handle table: one per process (it lives in tarnrt), under one lock, and CloseHandle.
#include "platform/posix/handles_posix.h"

#include <algorithm>
#include <mutex>
#include <new>
#include <vector>

namespace tarn::posix {
namespace {

// Handles only grow, so a closed handle never answers again and the entries stay sorted by
// handle. An object leaves the table under the lock but is destroyed outside it: its
// destructor makes system calls, and another thread may still hold it.
class HandleTable {
public:
    constexpr HandleTable() = default;

    HANDLE Add(std::shared_ptr<HandleObject> object) {
        std::lock_guard guard(lock_);
        try {
            entries_.push_back(Entry{lastHandle_ + kHandleStep, std::move(object)});
        } catch (const std::bad_alloc&) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
        lastHandle_ += kHandleStep;
        return reinterpret_cast<HANDLE>(lastHandle_);
    }

    HANDLE AddAt(uintptr_t value, std::shared_ptr<HandleObject> object) {
        std::lock_guard guard(lock_);
        auto it = std::lower_bound(entries_.begin(), entries_.end(), value,
                                   [](const Entry& e, uintptr_t h) { return e.handle < h; });
        if (it != entries_.end() && it->handle == value) {
            SetLastError(ERROR_INVALID_HANDLE);
            return nullptr;
        }
        try {
            entries_.insert(it, Entry{value, std::move(object)});
        } catch (const std::bad_alloc&) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
        return reinterpret_cast<HANDLE>(value);
    }

    std::shared_ptr<HandleObject> Find(HANDLE handle) {
        std::lock_guard guard(lock_);
        auto it = Lookup(handle);
        return it != entries_.end() ? it->object : nullptr;
    }

    std::shared_ptr<HandleObject> Remove(HANDLE handle, HandleKind kind) {
        std::lock_guard guard(lock_);
        auto it = Lookup(handle);
        if (it == entries_.end() || it->object->Kind() != kind)
            return nullptr;
        std::shared_ptr<HandleObject> object = std::move(it->object);
        entries_.erase(it);
        // An empty table gives its storage back, so that a process that closed its handles
        // holds no memory for them.
        if (entries_.empty())
            std::vector<Entry>().swap(entries_);
        return object;
    }

private:
    struct Entry {
        uintptr_t handle;
        std::shared_ptr<HandleObject> object;
    };

    static constexpr uintptr_t kHandleStep = 4;

    std::vector<Entry>::iterator Lookup(HANDLE handle) {
        const auto value = reinterpret_cast<uintptr_t>(handle);
        auto it = std::lower_bound(entries_.begin(), entries_.end(), value,
                                   [](const Entry& e, uintptr_t h) { return e.handle < h; });
        return it != entries_.end() && it->handle == value ? it : entries_.end();
    }

    std::mutex lock_;
    std::vector<Entry> entries_;
    // The first handle is 0x40000004; the numbers below are left to descriptor handles.
    uintptr_t lastHandle_ = kDescriptorHandleLimit;
};

constinit HandleTable gHandles;

const HANDLE kCurrentProcess = INVALID_HANDLE_VALUE;

}  // namespace

HANDLE AddHandle(std::shared_ptr<HandleObject> object) { return gHandles.Add(std::move(object)); }

HANDLE AddDescriptorHandle(int descriptor, std::shared_ptr<HandleObject> object) {
    if (descriptor < 0 || static_cast<uintptr_t>(descriptor) >= kDescriptorHandleLimit) {
        SetLastError(ERROR_TOO_MANY_OPEN_FILES);
        return nullptr;
    }
    return gHandles.AddAt(static_cast<uintptr_t>(descriptor), std::move(object));
}

std::shared_ptr<HandleObject> FindHandleObject(HANDLE handle) { return gHandles.Find(handle); }

bool RemoveHandle(HANDLE handle, HandleKind kind) {
    if (!gHandles.Remove(handle, kind)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    return true;
}

}  // namespace tarn::posix

using namespace tarn::posix;

BOOL WINAPI CloseHandle(HANDLE handle) {
    if (handle == kCurrentProcess)
        return TRUE;
    std::shared_ptr<HandleObject> object = FindHandleObject(handle);
    if (!object || object->Kind() == HandleKind::Search) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return RemoveHandle(handle, object->Kind());
}

HANDLE WINAPI GetCurrentProcess() { return kCurrentProcess; }
