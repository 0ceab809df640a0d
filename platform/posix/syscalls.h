// The system calls of the POSIX system layer. Every one goes through this table, so that a test
// can make the Nth call of one kind fail with a chosen errno, without mocks.
#pragma once

#include "tarnkernl/api.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>

namespace tarn::posix {

// The kinds of call, one per entry of the table.
enum class Call {
    Open, Close, Read, Write, Seek, Truncate, Sync, FileStatus, Status, LinkStatus, Rename,
    Unlink, MakeDirectory, RemoveDirectory, OpenDirectory, ReadDirectory, CloseDirectory,
    CurrentDirectory, RealPath, Access, SetTimes, ReadLink,
    Count
};

// Each entry behaves as the POSIX function it is named after, with 64-bit file offsets and
// sizes on every target: on failure it returns -1 (or null) and sets errno.
struct Syscalls {
    int (*open)(const char* path, int flags, mode_t mode);
    int (*close)(int fd);
    ssize_t (*read)(int fd, void* buffer, size_t count);
    ssize_t (*write)(int fd, const void* buffer, size_t count);
    off64_t (*lseek)(int fd, off64_t offset, int whence);
    int (*ftruncate)(int fd, off64_t length);
    int (*fsync)(int fd);
    int (*fstat)(int fd, struct stat64* status);
    int (*stat)(const char* path, struct stat64* status);
    int (*lstat)(const char* path, struct stat64* status);
    int (*rename)(const char* from, const char* to);
    int (*unlink)(const char* path);
    int (*mkdir)(const char* path, mode_t mode);
    int (*rmdir)(const char* path);
    DIR* (*opendir)(const char* path);
    dirent64* (*readdir)(DIR* directory);  // null with errno unchanged at the end
    int (*closedir)(DIR* directory);
    char* (*getcwd)(char* buffer, size_t size);
    char* (*realpath)(const char* path, char* resolved);  // resolved: null or PATH_MAX bytes
    int (*access)(const char* path, int mode);
    int (*utimensat)(int directory, const char* path, const timespec times[2], int flags);
    ssize_t (*readlink)(const char* path, char* buffer, size_t size);
};

// The table through which the system layer makes its system calls.
TARNRT_API const Syscalls& Sys();

// Makes the `nth` call of kind `which` from now on (1: the next one) fail with `errnoValue`,
// once, replacing any failure still pending for that kind. Other calls reach the system.
TARNRT_API void FailCallForTesting(Call which, int nth, int errnoValue);
// Cancels every failure still pending.
TARNRT_API void ResetCallFailuresForTesting();

}  // namespace tarn::posix
