// The thread's last error, the errno mapping and FormatMessageA's system message table on
// POSIX, in our own wording.
#include "platform/posix/errors.h"

#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <string_view>

namespace tarn::posix {
namespace {

// Initial-exec TLS: the slot is ready before any constructor runs and reading it never
// allocates, so the runtime's allocator may set it from inside malloc and a signal handler
// may read it. tarnrt is always loaded with the program, never by dlopen, which this model
// requires.
constinit thread_local DWORD t_lastError TARN_STATIC_TLS = ERROR_SUCCESS;

struct ErrnoCode {
    int error;
    DWORD code;
};

constexpr ErrnoCode kErrnoCodes[] = {
    {ENOENT, ERROR_FILE_NOT_FOUND},
    {ENOTDIR, ERROR_PATH_NOT_FOUND},
    {EMFILE, ERROR_TOO_MANY_OPEN_FILES},
    {ENFILE, ERROR_TOO_MANY_OPEN_FILES},
    {EACCES, ERROR_ACCESS_DENIED},
    {EPERM, ERROR_ACCESS_DENIED},
    {EISDIR, ERROR_ACCESS_DENIED},  // a directory opened as a file: Windows refuses access
    {EBADF, ERROR_INVALID_HANDLE},
    {ENOMEM, ERROR_NOT_ENOUGH_MEMORY},
    {EXDEV, ERROR_NOT_SAME_DEVICE},
    {EROFS, ERROR_WRITE_PROTECT},
    {ENXIO, ERROR_NOT_READY},
    {ENODEV, ERROR_NOT_READY},
    {ETXTBSY, ERROR_SHARING_VIOLATION},
    {ESPIPE, ERROR_INVALID_FUNCTION},
    {EOPNOTSUPP, ERROR_NOT_SUPPORTED},
    {EINVAL, ERROR_INVALID_PARAMETER},
    {EPIPE, ERROR_BROKEN_PIPE},
    {ENOSPC, ERROR_DISK_FULL},
    {EDQUOT, ERROR_DISK_FULL},
    {ENOSYS, ERROR_CALL_NOT_IMPLEMENTED},
    {ERANGE, ERROR_INSUFFICIENT_BUFFER},  // getcwd, readlink...: the buffer was too small
    {ENOTEMPTY, ERROR_DIR_NOT_EMPTY},
    {EBUSY, ERROR_BUSY},
    {ENAMETOOLONG, ERROR_FILENAME_EXCED_RANGE},
    {EFBIG, ERROR_FILE_TOO_LARGE},
    {EOVERFLOW, ERROR_FILE_TOO_LARGE},
    {EFAULT, ERROR_NOACCESS},
    {EIO, ERROR_IO_DEVICE},
    {EMLINK, ERROR_TOO_MANY_LINKS},
    {ETIMEDOUT, ERROR_TIMEOUT},
    {ELOOP, ERROR_CANT_RESOLVE_FILENAME},
};

struct Message {
    DWORD code;
    std::string_view text;
};

// Sorted by code. Every code that ErrorFromErrno produces has its text here.
constexpr Message kMessages[] = {
    {ERROR_SUCCESS, "The operation succeeded."},
    {ERROR_INVALID_FUNCTION, "The function is not valid for this object."},
    {ERROR_FILE_NOT_FOUND, "The file does not exist."},
    {ERROR_PATH_NOT_FOUND, "A directory of the path does not exist."},
    {ERROR_TOO_MANY_OPEN_FILES, "Too many files are open."},
    {ERROR_ACCESS_DENIED, "Access was refused."},
    {ERROR_INVALID_HANDLE, "The handle is not valid."},
    {ERROR_NOT_ENOUGH_MEMORY, "There is not enough memory for this operation."},
    {ERROR_OUTOFMEMORY, "Memory is exhausted."},
    {ERROR_NOT_SAME_DEVICE, "The file cannot be moved to another device."},
    {ERROR_NO_MORE_FILES, "No further files match."},
    {ERROR_WRITE_PROTECT, "The medium is read-only."},
    {ERROR_NOT_READY, "The device is not available."},
    {ERROR_GEN_FAILURE, "The system call failed."},
    {ERROR_SHARING_VIOLATION, "Another process is using the file."},
    {ERROR_LOCK_VIOLATION, "Another process has locked part of the file."},
    {ERROR_HANDLE_EOF, "The end of the file was reached."},
    {ERROR_NOT_SUPPORTED, "This request is not supported."},
    {ERROR_FILE_EXISTS, "A file of that name exists already."},
    {ERROR_INVALID_PARAMETER, "A parameter is not valid."},
    {ERROR_BROKEN_PIPE, "The other end of the pipe was closed."},
    {ERROR_OPEN_FAILED, "The file or device could not be opened."},
    {ERROR_BUFFER_OVERFLOW, "The file name is longer than allowed."},
    {ERROR_DISK_FULL, "No space is left on the disk."},
    {ERROR_CALL_NOT_IMPLEMENTED, "This function is not available on this system."},
    {ERROR_INSUFFICIENT_BUFFER, "The buffer is too small for the data."},
    {ERROR_INVALID_NAME, "The file name or path syntax is not valid."},
    {ERROR_MOD_NOT_FOUND, "The module could not be found."},
    {ERROR_PROC_NOT_FOUND, "The procedure could not be found in the module."},
    {ERROR_NEGATIVE_SEEK, "The file pointer cannot move before the start of the file."},
    {ERROR_DIR_NOT_EMPTY, "The directory still has entries."},
    {ERROR_BUSY, "The resource is in use."},
    {ERROR_ALREADY_EXISTS, "That name exists already."},
    {ERROR_FILENAME_EXCED_RANGE, "The file name or extension is too long."},
    {ERROR_FILE_TOO_LARGE, "The file is too large."},
    {ERROR_DIRECTORY, "The directory name is not valid."},
    {ERROR_MR_MID_NOT_FOUND, "There is no message text for this code."},
    {ERROR_NOACCESS, "The memory address is not accessible."},
    {ERROR_INVALID_FLAGS, "The flags are not valid."},
    {ERROR_NO_UNICODE_TRANSLATION, "The text holds a character that cannot be translated."},
    {ERROR_IO_DEVICE, "The device reported an input/output error."},
    {ERROR_TOO_MANY_LINKS, "The file has too many links."},
    {ERROR_INVALID_WINDOW_HANDLE, "The window handle is not valid."},
    {ERROR_CONTROL_ID_NOT_FOUND, "The dialog has no control with that identifier."},
    {ERROR_TIMEOUT, "The wait timed out."},
    {ERROR_CANT_RESOLVE_FILENAME, "The file name could not be resolved (too many links)."},
};

static_assert(std::is_sorted(std::begin(kMessages), std::end(kMessages),
                             [](const Message& a, const Message& b) { return a.code < b.code; }));

const Message* FindMessage(DWORD code) {
    auto it = std::lower_bound(std::begin(kMessages), std::end(kMessages), code,
                               [](const Message& m, DWORD c) { return m.code < c; });
    return it != std::end(kMessages) && it->code == code ? it : nullptr;
}

}  // namespace

DWORD ErrorFromErrno(int error, DWORD existsCode) {
    if (error == 0)
        return ERROR_SUCCESS;
    if (error == EEXIST)
        return existsCode;
    for (const ErrnoCode& e : kErrnoCodes) {
        if (e.error == error)
            return e.code;
    }
    return ERROR_GEN_FAILURE;
}

void SetLastErrorFromErrno(int error, DWORD existsCode) {
    t_lastError = ErrorFromErrno(error, existsCode);
}

}  // namespace tarn::posix

using namespace tarn::posix;

DWORD WINAPI GetLastError() { return t_lastError; }

void WINAPI SetLastError(DWORD code) { t_lastError = code; }

DWORD WINAPI GetCurrentThreadId() { return static_cast<DWORD>(gettid()); }

DWORD WINAPI GetCurrentProcessId() { return static_cast<DWORD>(getpid()); }

DWORD WINAPI FormatMessageA(DWORD flags, LPCVOID, DWORD messageId, DWORD, LPSTR buffer, DWORD size,
                            va_list*) {
    // Our texts have no inserts, so IGNORE_INSERTS changes nothing; every language gets
    // the English text.
    if (flags & ~(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS)) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return 0;
    }
    if (!(flags & FORMAT_MESSAGE_FROM_SYSTEM) || !buffer) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const Message* message = FindMessage(messageId);
    if (!message) {
        SetLastError(ERROR_MR_MID_NOT_FOUND);
        return 0;
    }
    constexpr std::string_view kLineEnd = "\r\n";
    const size_t length = message->text.size() + kLineEnd.size();
    if (length + 1 > size) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    char* end = std::copy(message->text.begin(), message->text.end(), buffer);
    end = std::copy(kLineEnd.begin(), kLineEnd.end(), end);
    *end = '\0';
    return static_cast<DWORD>(length);
}
