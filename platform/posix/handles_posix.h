// The process's handle table on POSIX: the HANDLE values of the objects the system layer keeps
// for the library (open files and searches; processes, threads and events join as new kinds).
#pragma once

#include "platform/win32.h"

#include <memory>

namespace tarn::posix {

enum class HandleKind {
    File,     // CreateFileA/W: closed by CloseHandle
    Search,   // FindFirstFileA/W: closed by FindClose only, as on Windows
    Process,  // OpenProcess, CreateProcessA
    Thread,   // CreateThread, CreateProcessA
    Event,    // CreateEventA
};

// What a handle stands for. A new kind derives from it with `static constexpr HandleKind kKind`
// and releases its system resource in its destructor, which runs once the handle is closed and
// the last call still using the object has returned.
class HandleObject {
public:
    explicit HandleObject(HandleKind kind) : kind_(kind) {}
    virtual ~HandleObject() = default;
    HandleObject(const HandleObject&) = delete;
    HandleObject& operator=(const HandleObject&) = delete;

    HandleKind Kind() const { return kind_; }

private:
    const HandleKind kind_;
};

// A handle that WaitForSingleObject can wait on: a process, a thread or an event.
class WaitableObject : public HandleObject {
public:
    using HandleObject::HandleObject;
    // WAIT_OBJECT_0 once signalled, WAIT_TIMEOUT when `milliseconds` (INFINITE: no limit)
    // passed first, WAIT_FAILED with the last error set.
    virtual DWORD Wait(DWORD milliseconds) = 0;
};

// Enters `object` into the table and returns its new handle: a multiple of four that has never
// been given out in this process, so never null and never INVALID_HANDLE_VALUE. Null with
// ERROR_NOT_ENOUGH_MEMORY when the table cannot grow. Thread-safe, as all of the table.
HANDLE AddHandle(std::shared_ptr<HandleObject> object);

// Handles from AddHandle lie above this value; the numbers below it are descriptor handles.
constexpr uintptr_t kDescriptorHandleLimit = 0x40000000;

// Enters `object` under the number of the descriptor it holds, so that a child that inherits
// the descriptor can use the handle value as it stands (process handles). Such a number may
// come back once the descriptor is closed and reused. Null with the last error when the
// number is out of range or taken.
HANDLE AddDescriptorHandle(int descriptor, std::shared_ptr<HandleObject> object);

// The object of `handle` whatever its kind; null when the handle is not open.
std::shared_ptr<HandleObject> FindHandleObject(HANDLE handle);

// The object of `handle` when it is open and of kind T; else null with ERROR_INVALID_HANDLE.
template <typename T>
std::shared_ptr<T> FindHandle(HANDLE handle) {
    std::shared_ptr<HandleObject> object = FindHandleObject(handle);
    if (!object || object->Kind() != T::kKind) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return std::static_pointer_cast<T>(std::move(object));
}

// Closes `handle` when it is open and of kind `kind`; else false with ERROR_INVALID_HANDLE.
bool RemoveHandle(HANDLE handle, HandleKind kind);

}  // namespace tarn::posix
