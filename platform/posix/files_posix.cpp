// Files and directories on POSIX with Win32 semantics: CreateFile and the functions on its
// handles, deletion, moves and copies, directories, attributes, and the old-style functions,
// which work on the system's file descriptors.
#include "platform/posix/files_posix.h"

#include "platform/posix/descriptor.h"
#include "platform/posix/errors.h"
#include "platform/posix/handles_posix.h"
#include "platform/posix/paths_posix.h"
#include "platform/posix/syscalls.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <new>

namespace tarn::posix {

DWORD AttributesOf(const struct stat64& status) {
    DWORD attributes = 0;
    if (S_ISDIR(status.st_mode))
        attributes |= FILE_ATTRIBUTE_DIRECTORY;
    if (IsReadOnly(status.st_mode))
        attributes |= FILE_ATTRIBUTE_READONLY;
    return attributes ? attributes : FILE_ATTRIBUTE_NORMAL;
}

namespace {

constexpr mode_t kNewFileMode = 0666;  // less the process's umask, as usual
constexpr mode_t kNewReadOnlyFileMode = 0444;
constexpr mode_t kNewDirectoryMode = 0777;
constexpr mode_t kWritePermissions = S_IWUSR | S_IWGRP | S_IWOTH;

// An open file of CreateFileA/W. The access it was opened with decides what its handle may do,
// as on Windows (the descriptor alone would answer a denied write with EBADF).
class FileObject : public HandleObject {
public:
    static constexpr HandleKind kKind = HandleKind::File;

    FileObject(Descriptor fd, bool canRead, bool canWrite)
        : HandleObject(kKind), fd(std::move(fd)), canRead(canRead), canWrite(canWrite) {}

    const Descriptor fd;
    const bool canRead;
    const bool canWrite;
};

// What an opening asks for, in the system's terms.
struct OpenRequest {
    bool read = false;
    bool write = false;
    DWORD disposition = OPEN_EXISTING;
    bool readOnlyWhenNew = false;   // FILE_ATTRIBUTE_READONLY for a file this opening creates
    bool directoryAllowed = false;  // FILE_FLAG_BACKUP_SEMANTICS
};

// A descriptor, or none with the last error set; `existed`: the file was there before.
struct Opened {
    Descriptor fd;
    bool existed = false;
};

int AccessFlags(const OpenRequest& request) {
    const int access = request.read && request.write ? O_RDWR : request.write ? O_WRONLY : O_RDONLY;
    return access | O_CLOEXEC | O_LARGEFILE;
}

// Checks an existing file that was opened without truncation against what Windows allows, and
// truncates it when the disposition says so. The read-only attribute is checked here rather
// than left to the system, which lets the superuser write anyway.
Opened AcceptExisting(Descriptor fd, const OpenRequest& request) {
    struct stat64 status;
    if (Sys().fstat(fd.Get(), &status) != 0) {
        SetLastErrorFromErrno(errno);
        return Opened{};
    }
    if ((S_ISDIR(status.st_mode) && !request.directoryAllowed) ||
        (request.write && IsReadOnly(status.st_mode))) {
        SetLastError(ERROR_ACCESS_DENIED);
        return Opened{};
    }
    const bool truncate =
        request.disposition == CREATE_ALWAYS || request.disposition == TRUNCATE_EXISTING;
    if (truncate && Sys().ftruncate(fd.Get(), 0) != 0) {
        SetLastErrorFromErrno(errno);
        return Opened{};
    }
    return Opened{std::move(fd), true};
}

// Opens or creates `path` by the Windows disposition rules.
Opened OpenFile(const SystemPath& path, const OpenRequest& request) {
    const int flags = AccessFlags(request);
    const mode_t newMode = request.readOnlyWhenNew ? kNewReadOnlyFileMode : kNewFileMode;
    const bool mayCreate = request.disposition == CREATE_ALWAYS ||
                           request.disposition == OPEN_ALWAYS || request.disposition == CREATE_NEW;
    const bool mayOpen = request.disposition != CREATE_NEW;
    // Opening and creating are two calls; a file that appears or vanishes in between sends
    // the loop round again.
    for (int attempt = 0; attempt < 8; ++attempt) {
        if (mayOpen) {
            Descriptor fd(Sys().open(path.c_str(), flags, 0));
            if (fd)
                return AcceptExisting(std::move(fd), request);
            if (errno != ENOENT || !mayCreate) {
                path.SetLastErrorFromErrno(errno);
                return Opened{};
            }
        }
        Descriptor fd(Sys().open(path.c_str(), flags | O_CREAT | O_EXCL, newMode));
        if (fd)
            return Opened{std::move(fd), false};
        if (errno != EEXIST || !mayOpen) {
            path.SetLastErrorFromErrno(errno, ERROR_FILE_EXISTS);
            return Opened{};
        }
    }
    SetLastError(ERROR_SHARING_VIOLATION);
    return Opened{};
}

HANDLE CreateFileOn(const SystemPath& path, DWORD access, DWORD disposition, DWORD flags) {
    if (!path.Valid())
        return INVALID_HANDLE_VALUE;
    OpenRequest request;
    request.read = access & (GENERIC_READ | GENERIC_ALL | FILE_READ_DATA);
    request.write = access & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA);
    request.disposition = disposition;
    request.readOnlyWhenNew = flags & FILE_ATTRIBUTE_READONLY;
    request.directoryAllowed = flags & FILE_FLAG_BACKUP_SEMANTICS;
    if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    if (disposition == TRUNCATE_EXISTING && !request.write) {
        SetLastError(ERROR_ACCESS_DENIED);  // overwriting needs the right to write
        return INVALID_HANDLE_VALUE;
    }
    Opened opened = OpenFile(path, request);
    if (!opened.fd)
        return INVALID_HANDLE_VALUE;
    const bool existed = opened.existed;
    std::shared_ptr<FileObject> file;
    try {
        file = std::make_shared<FileObject>(std::move(opened.fd), request.read, request.write);
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE handle = AddHandle(std::move(file));
    if (!handle)
        return INVALID_HANDLE_VALUE;
    const bool found = disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS;
    SetLastError(found && existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
}

// False, with the last error set to `error`.
bool Fail(DWORD error) {
    SetLastError(error);
    return false;
}

// True when `error` (an errno value) is 0; otherwise false with the last error set from it.
bool Succeeded(int error) {
    if (error == 0)
        return true;
    SetLastErrorFromErrno(error);
    return false;
}

// The new position, or -1 with the last error set; a position before the start of the file
// is ERROR_NEGATIVE_SEEK.
int64_t Seek(int fd, int64_t distance, DWORD method) {
    if (method > FILE_END) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    static_assert(FILE_BEGIN == SEEK_SET && FILE_CURRENT == SEEK_CUR && FILE_END == SEEK_END);
    const off64_t position = Sys().lseek(fd, distance, static_cast<int>(method));
    if (position < 0) {
        if (errno == EINVAL)
            SetLastError(ERROR_NEGATIVE_SEEK);
        else
            SetLastErrorFromErrno(errno);
        return -1;
    }
    return position;
}

// Cuts or extends the file at its current position.
bool EndFileHere(int fd) {
    const off64_t position = Sys().lseek(fd, 0, SEEK_CUR);
    if (position < 0 || Sys().ftruncate(fd, position) != 0) {
        SetLastErrorFromErrno(errno);
        return false;
    }
    return true;
}

bool StatusOf(int fd, struct stat64& status) {
    if (Sys().fstat(fd, &status) != 0) {
        SetLastErrorFromErrno(errno);
        return false;
    }
    return true;
}

// The status of the name itself (a link is not followed); false with the path's last error.
bool LinkStatusOf(const SystemPath& path, struct stat64& status) {
    if (Sys().lstat(path.c_str(), &status) != 0) {
        path.SetLastErrorFromErrno(errno);
        return false;
    }
    return true;
}

// Windows keeps a read-only file from being deleted or replaced.
bool IsProtected(const struct stat64& status) {
    return S_ISREG(status.st_mode) && IsReadOnly(status.st_mode);
}

bool DeleteFileOn(const SystemPath& path) {
    struct stat64 status;
    if (!path.Valid() || !LinkStatusOf(path, status))
        return false;
    if (S_ISDIR(status.st_mode) || IsProtected(status))
        return Fail(ERROR_ACCESS_DENIED);
    if (Sys().unlink(path.c_str()) != 0) {
        path.SetLastErrorFromErrno(errno);
        return false;
    }
    return true;
}

bool CreateDirectoryOn(const SystemPath& path) {
    if (!path.Valid())
        return false;
    if (Sys().mkdir(path.c_str(), kNewDirectoryMode) != 0) {
        path.SetLastErrorFromErrno(errno);
        return false;
    }
    return true;
}

bool RemoveDirectoryOn(const SystemPath& path) {
    if (!path.Valid())
        return false;
    if (Sys().rmdir(path.c_str()) == 0)
        return true;
    const int error = errno;
    struct stat64 status;
    if (error == ENOTDIR && Sys().lstat(path.c_str(), &status) == 0 && !S_ISDIR(status.st_mode))
        SetLastError(ERROR_DIRECTORY);
    else
        path.SetLastErrorFromErrno(error, ERROR_DIR_NOT_EMPTY);
    return false;
}

DWORD AttributesOn(const SystemPath& path) {
    struct stat64 status;
    if (!path.Valid())
        return INVALID_FILE_ATTRIBUTES;
    if (Sys().stat(path.c_str(), &status) != 0) {
        path.SetLastErrorFromErrno(errno);
        return INVALID_FILE_ATTRIBUTES;
    }
    return AttributesOf(status);
}

// Copies the rest of `source` into `target` and closes it; false with the last error set.
bool CopyData(int source, Descriptor target) {
    char buffer[16 * 1024];
    Transfer read;
    do {
        read = ReadAll(source, buffer, sizeof buffer);
        if (!Succeeded(read.error) || !Succeeded(WriteAll(target.Get(), buffer, read.done).error))
            return false;
    } while (read.done == sizeof buffer);
    return Succeeded(target.Close());
}

// Copies the data of `from` into `to`, then its last-write time and read-only attribute.
// A target left half-written is removed.
bool CopyFileOn(const SystemPath& from, const SystemPath& to, bool failIfExists) {
    if (!from.Valid() || !to.Valid())
        return false;
    const Descriptor source(Sys().open(from.c_str(), O_RDONLY | O_CLOEXEC | O_LARGEFILE, 0));
    if (!source) {
        from.SetLastErrorFromErrno(errno);
        return false;
    }
    struct stat64 sourceStatus, targetStatus;
    if (!StatusOf(source.Get(), sourceStatus))
        return false;
    if (S_ISDIR(sourceStatus.st_mode))
        return Fail(ERROR_ACCESS_DENIED);
    if (Sys().stat(to.c_str(), &targetStatus) == 0) {
        if (failIfExists)
            return Fail(ERROR_FILE_EXISTS);
        if (targetStatus.st_dev == sourceStatus.st_dev &&
            targetStatus.st_ino == sourceStatus.st_ino)
            return Fail(ERROR_SHARING_VIOLATION);  // the source is open: Windows refuses
        if (S_ISDIR(targetStatus.st_mode) || IsProtected(targetStatus))
            return Fail(ERROR_ACCESS_DENIED);
    }
    const int flags =
        O_WRONLY | O_CREAT | O_CLOEXEC | O_LARGEFILE | (failIfExists ? O_EXCL : O_TRUNC);
    Descriptor target(Sys().open(to.c_str(), flags, kNewFileMode));
    if (!target) {
        to.SetLastErrorFromErrno(errno, ERROR_FILE_EXISTS);
        return false;
    }
    if (!CopyData(source.Get(), std::move(target))) {
        const DWORD error = GetLastError();
        Sys().unlink(to.c_str());
        return Fail(error);
    }
    const timespec times[2] = {sourceStatus.st_atim, sourceStatus.st_mtim};
    Sys().utimensat(AT_FDCWD, to.c_str(), times, 0);
    if (IsReadOnly(sourceStatus.st_mode))
        Sys().chmod(to.c_str(), (sourceStatus.st_mode & 07777) & ~kWritePermissions);
    return true;
}

bool MoveFileOn(const SystemPath& from, const SystemPath& to, DWORD flags) {
    struct stat64 sourceStatus, targetStatus;
    if (!from.Valid() || !to.Valid() || !LinkStatusOf(from, sourceStatus))
        return false;
    if (Sys().lstat(to.c_str(), &targetStatus) == 0) {
        if (!(flags & MOVEFILE_REPLACE_EXISTING))
            return Fail(ERROR_ALREADY_EXISTS);
        if (IsProtected(targetStatus))
            return Fail(ERROR_ACCESS_DENIED);
    }
    if (Sys().rename(from.c_str(), to.c_str()) == 0)
        return true;
    if (errno == EXDEV && (flags & MOVEFILE_COPY_ALLOWED) && !S_ISDIR(sourceStatus.st_mode))
        return CopyFileOn(from, to, !(flags & MOVEFILE_REPLACE_EXISTING)) && DeleteFileOn(from);
    // The source exists, so a missing name is the target's directory.
    to.SetLastErrorFromErrno(errno);
    return false;
}

// ReadFile and WriteFile: `transfer` on the open file behind `handle` when it was opened for
// it (`allowed`) and no overlapped transfer is asked for; `moved` gets the bytes moved.
template <typename Buffer>
BOOL TransferOn(HANDLE handle, Buffer buffer, DWORD count, LPDWORD moved, LPOVERLAPPED overlapped,
                const bool FileObject::*allowed, Transfer (*transfer)(int, Buffer, size_t)) {
    if (moved)
        *moved = 0;
    std::shared_ptr<FileObject> file = FindHandle<FileObject>(handle);
    if (!file)
        return FALSE;
    if (overlapped)
        return Fail(ERROR_INVALID_PARAMETER);
    if (!((*file).*allowed))
        return Fail(ERROR_ACCESS_DENIED);
    const Transfer done = transfer(file->fd.Get(), buffer, count);
    if (moved)
        *moved = static_cast<DWORD>(done.done);
    return Succeeded(done.error);
}

}  // namespace
}  // namespace tarn::posix

using namespace tarn::posix;

HANDLE WINAPI CreateFileA(LPCSTR name, DWORD access, DWORD, LPSECURITY_ATTRIBUTES,
                          DWORD disposition, DWORD flagsAndAttributes, HANDLE) {
    return CreateFileOn(SystemPath(name), access, disposition, flagsAndAttributes);
}

HANDLE WINAPI CreateFileW(LPCWSTR name, DWORD access, DWORD, LPSECURITY_ATTRIBUTES,
                          DWORD disposition, DWORD flagsAndAttributes, HANDLE) {
    return CreateFileOn(SystemPath(name), access, disposition, flagsAndAttributes);
}

BOOL WINAPI ReadFile(HANDLE handle, LPVOID buffer, DWORD count, LPDWORD read,
                     LPOVERLAPPED overlapped) {
    return TransferOn(handle, buffer, count, read, overlapped, &FileObject::canRead, ReadAll);
}

BOOL WINAPI WriteFile(HANDLE handle, LPCVOID buffer, DWORD count, LPDWORD written,
                      LPOVERLAPPED overlapped) {
    return TransferOn(handle, buffer, count, written, overlapped, &FileObject::canWrite, WriteAll);
}

DWORD WINAPI SetFilePointer(HANDLE handle, LONG distance, PLONG high, DWORD method) {
    std::shared_ptr<FileObject> file = FindHandle<FileObject>(handle);
    if (!file)
        return INVALID_SET_FILE_POINTER;
    const int64_t move =
        high ? static_cast<int64_t>((uint64_t(DWORD(*high)) << 32) | DWORD(distance))
             : int64_t(distance);
    const int64_t position = Seek(file->fd.Get(), move, method);
    if (position < 0)
        return INVALID_SET_FILE_POINTER;
    if (high)
        *high = static_cast<LONG>(HighPart(position));
    if (LowPart(position) == INVALID_SET_FILE_POINTER)
        SetLastError(ERROR_SUCCESS);  // tells the position from a failure
    return LowPart(position);
}

BOOL WINAPI SetEndOfFile(HANDLE handle) {
    std::shared_ptr<FileObject> file = FindHandle<FileObject>(handle);
    if (!file)
        return FALSE;
    if (!file->canWrite)
        return Fail(ERROR_ACCESS_DENIED);
    return EndFileHere(file->fd.Get());
}

DWORD WINAPI GetFileSize(HANDLE handle, LPDWORD high) {
    std::shared_ptr<FileObject> file = FindHandle<FileObject>(handle);
    struct stat64 status;
    if (!file || !StatusOf(file->fd.Get(), status))
        return INVALID_FILE_SIZE;
    if (high)
        *high = HighPart(status.st_size);
    if (LowPart(status.st_size) == INVALID_FILE_SIZE)
        SetLastError(ERROR_SUCCESS);  // tells the size from a failure
    return LowPart(status.st_size);
}

BOOL WINAPI GetFileInformationByHandle(HANDLE handle, LPBY_HANDLE_FILE_INFORMATION information) {
    std::shared_ptr<FileObject> file = FindHandle<FileObject>(handle);
    struct stat64 status;
    if (!file || !StatusOf(file->fd.Get(), status))
        return FALSE;
    *information = BY_HANDLE_FILE_INFORMATION{
        AttributesOf(status),       FileTimeOf(status.st_ctim),
        FileTimeOf(status.st_atim), FileTimeOf(status.st_mtim),
        LowPart(status.st_dev),     HighPart(status.st_size),
        LowPart(status.st_size),    static_cast<DWORD>(status.st_nlink),
        HighPart(status.st_ino),    LowPart(status.st_ino),
    };
    return TRUE;
}

BOOL WINAPI GetFileTime(HANDLE handle, LPFILETIME creation, LPFILETIME lastAccess,
                        LPFILETIME lastWrite) {
    std::shared_ptr<FileObject> file = FindHandle<FileObject>(handle);
    struct stat64 status;
    if (!file || !StatusOf(file->fd.Get(), status))
        return FALSE;
    if (creation)
        *creation = FileTimeOf(status.st_ctim);
    if (lastAccess)
        *lastAccess = FileTimeOf(status.st_atim);
    if (lastWrite)
        *lastWrite = FileTimeOf(status.st_mtim);
    return TRUE;
}

BOOL WINAPI FlushFileBuffers(HANDLE handle) {
    std::shared_ptr<FileObject> file = FindHandle<FileObject>(handle);
    if (!file)
        return FALSE;
    if (!file->canWrite)
        return Fail(ERROR_ACCESS_DENIED);
    if (Sys().fsync(file->fd.Get()) != 0) {
        SetLastErrorFromErrno(errno);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI DeleteFileA(LPCSTR name) { return DeleteFileOn(SystemPath(name)); }

BOOL WINAPI DeleteFileW(LPCWSTR name) { return DeleteFileOn(SystemPath(name)); }

BOOL WINAPI MoveFileA(LPCSTR from, LPCSTR to) {
    return MoveFileOn(SystemPath(from), SystemPath(to), MOVEFILE_COPY_ALLOWED);
}

BOOL WINAPI MoveFileExA(LPCSTR from, LPCSTR to, DWORD flags) {
    return MoveFileOn(SystemPath(from), SystemPath(to), flags);
}

BOOL WINAPI CopyFileA(LPCSTR from, LPCSTR to, BOOL failIfExists) {
    return CopyFileOn(SystemPath(from), SystemPath(to), failIfExists);
}

BOOL WINAPI CreateDirectoryA(LPCSTR name, LPSECURITY_ATTRIBUTES) {
    return CreateDirectoryOn(SystemPath(name));
}

BOOL WINAPI CreateDirectoryW(LPCWSTR name, LPSECURITY_ATTRIBUTES) {
    return CreateDirectoryOn(SystemPath(name));
}

BOOL WINAPI RemoveDirectoryA(LPCSTR name) { return RemoveDirectoryOn(SystemPath(name)); }

BOOL WINAPI RemoveDirectoryW(LPCWSTR name) { return RemoveDirectoryOn(SystemPath(name)); }

DWORD WINAPI GetFileAttributesA(LPCSTR name) { return AttributesOn(SystemPath(name)); }

DWORD WINAPI GetFileAttributesW(LPCWSTR name) { return AttributesOn(SystemPath(name)); }

BOOL WINAPI SetFileAttributesA(LPCSTR name, DWORD attributes) {
    const SystemPath path(name);
    struct stat64 status;
    if (!path.Valid())
        return FALSE;
    if (Sys().stat(path.c_str(), &status) != 0) {
        path.SetLastErrorFromErrno(errno);
        return FALSE;
    }
    const mode_t permissions = status.st_mode & 07777;
    const mode_t wanted = (attributes & FILE_ATTRIBUTE_READONLY) ? permissions & ~kWritePermissions
                                                                 : permissions | S_IWUSR;
    if (wanted != permissions && Sys().chmod(path.c_str(), wanted) != 0) {
        path.SetLastErrorFromErrno(errno);
        return FALSE;
    }
    return TRUE;
}

HFILE WINAPI _lopen(LPCSTR name, int mode) {
    const SystemPath path(name);
    const int access = mode & 3;
    if (!path.Valid())
        return HFILE_ERROR;
    if (access == 3) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return HFILE_ERROR;
    }
    OpenRequest request;
    request.read = access == OF_READ || access == OF_READWRITE;
    request.write = access == OF_WRITE || access == OF_READWRITE;
    Opened opened = OpenFile(path, request);
    return opened.fd ? opened.fd.Release() : HFILE_ERROR;
}

HFILE WINAPI _lcreat(LPCSTR name, int attribute) {
    const SystemPath path(name);
    if (!path.Valid())
        return HFILE_ERROR;
    OpenRequest request;
    request.read = request.write = true;
    request.disposition = CREATE_ALWAYS;
    request.readOnlyWhenNew = attribute & FILE_ATTRIBUTE_READONLY;
    Opened opened = OpenFile(path, request);
    return opened.fd ? opened.fd.Release() : HFILE_ERROR;
}

UINT WINAPI _lread(HFILE file, LPVOID buffer, UINT count) {
    const Transfer transfer = ReadAll(file, buffer, count);
    return Succeeded(transfer.error) ? static_cast<UINT>(transfer.done) : UINT(HFILE_ERROR);
}

UINT WINAPI _lwrite(HFILE file, LPCSTR buffer, UINT count) {
    if (count == 0)
        return EndFileHere(file) ? 0 : UINT(HFILE_ERROR);
    const Transfer transfer = WriteAll(file, buffer, count);
    return Succeeded(transfer.error) ? static_cast<UINT>(transfer.done) : UINT(HFILE_ERROR);
}

LONG WINAPI _llseek(HFILE file, LONG offset, int origin) {
    const int64_t position = Seek(file, offset, static_cast<DWORD>(origin));
    return position < 0 ? HFILE_ERROR : static_cast<LONG>(position);
}

// A close that fails for any reason but a number that was not open has released the descriptor
// all the same: the handle is closed, and a caller that kept it would close whatever file gets
// the number next.
HFILE WINAPI _lclose(HFILE file) {
    if (Sys().close(file) == 0)
        return 0;
    const int error = errno;
    SetLastErrorFromErrno(error);
    return error == EBADF ? HFILE_ERROR : 0;
}

int _unlink(const char* path) {
    if (DeleteFileA(path))
        return 0;
    const DWORD error = GetLastError();
    errno = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? ENOENT : EACCES;
    return -1;
}
