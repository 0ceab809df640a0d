// Win32 error codes on POSIX: the thread's last error and the mapping from errno that every
// function of the system layer uses when a system call fails.
#pragma once

#include "platform/win32.h"

#include <new>

namespace tarn::posix {

// The Win32 code for `error` (an errno value; 0 gives ERROR_SUCCESS). EEXIST has two Windows
// answers: ERROR_ALREADY_EXISTS (183) in general and ERROR_FILE_EXISTS (80) where a file is
// created; the caller says which through `existsCode`. ENOENT maps to ERROR_FILE_NOT_FOUND;
// a caller that knows the missing part was a directory reports ERROR_PATH_NOT_FOUND itself.
// Values without a Windows counterpart give ERROR_GEN_FAILURE.
TARNRT_API DWORD ErrorFromErrno(int error, DWORD existsCode = ERROR_ALREADY_EXISTS);

// SetLastError(ErrorFromErrno(error, existsCode)). Safe in a signal handler.
TARNRT_API void SetLastErrorFromErrno(int error, DWORD existsCode = ERROR_ALREADY_EXISTS);

// The answer of `body`, or `failed` with ERROR_NOT_ENOUGH_MEMORY when it ran out of memory: a
// system function answers a failed allocation as a failure of its own, never by throwing. A
// fault on caller memory passes on to the caller.
template <typename Result, typename Body>
Result UnlessOutOfMemory(Result failed, Body body) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return failed;
    }
}

}  // namespace tarn::posix
