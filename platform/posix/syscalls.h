// The system calls of the POSIX system layer. They go through this table, so that a test can
// make the Nth call of one kind fail with a chosen errno, without mocks.
//
// Outside the table, on purpose:
// - the fault path's own calls (stack_posix.cpp reading /proc/self/maps, sigaltstack and
//   getrlimit; modulelist_posix.cpp's readlink of /proc/self/exe): they run in the signal
//   handler, where the seam's lock must not be taken, and a failure only shortens a report;
// - calls whose failure no caller can report: getpid, gettid, clock_gettime, localtime_r,
//   sysconf, the futex of the locks, sched_yield, pthread_atfork, prctl(PR_SET_PTRACER) (refused
//   where no security module asks for it, which is as good as done), fcntl clearing close-on-exec
//   on a descriptor just opened;
// - memory mappings (mmap, mprotect, munmap): their one failure is running out of memory,
//   reported as such without errno;
// - the loader (dlopen, dlsym, dladdr, dl_iterate_phdr, dlclose): library functions that
//   answer through dlerror, not errno.
#pragma once

#include "tarnkernl/api.h"

#include <dirent.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

namespace tarn::posix {

// The kinds of call, one per entry of the table.
enum class Call {
    Open,
    Close,
    Read,
    Write,
    Seek,
    Truncate,
    Sync,
    FileStatus,
    Status,
    LinkStatus,
    Rename,
    Unlink,
    MakeDirectory,
    RemoveDirectory,
    OpenDirectory,
    ReadDirectory,
    CloseDirectory,
    CurrentDirectory,
    RealPath,
    Access,
    SetTimes,
    ReadLink,
    ChangeMode,
    ChangeDirectory,
    Spawn,
    ProcessDescriptor,
    WaitChild,
    Poll,
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
    int (*chmod)(const char* path, mode_t mode);
    int (*chdir)(const char* path);
    int (*posix_spawn)(pid_t* pid, const char* path, const posix_spawn_file_actions_t* actions,
                       const posix_spawnattr_t* attributes, char* const argv[],
                       char* const environment[]);
    int (*pidfd_open)(pid_t pid, unsigned int flags);
    int (*waitid)(idtype_t type, id_t id, siginfo_t* info, int options);
    int (*poll)(pollfd* descriptors, nfds_t count, int timeout);
};

// The table through which the system layer makes its system calls.
TARNRT_API const Syscalls& Sys();

// The plans of failures that have not yet run out; while there are none, no call asks for one.
TARNRT_API extern std::atomic<int> gActivePlans;
// Whether this call of kind `which` is one that a test planned to fail (errno is then set).
TARNRT_API bool FailsAsPlanned(Call which);

// True, with errno set, when this call is one a test asked to fail. Asked on every call: without
// a plan it answers from one load.
[[gnu::always_inline]] inline bool FailsNow(Call which) {
    return gActivePlans.load(std::memory_order_acquire) != 0 && FailsAsPlanned(which);
}

// The call `function(args...)` of kind `which`, or `failed` when a test planned it to fail.
template <typename Result, typename Function, typename... Args>
[[gnu::always_inline]] inline Result Through(Call which, Result failed, Function function,
                                             Args... args) {
    return FailsNow(which) ? failed : function(args...);
}

// The table's read and write, also made inline by the transfers: a log line is one write, and
// each frame between its caller and the system costs it time on the way back. The three frames
// of the table's path cost about 50 ns a line on a paravirtualised guest, where a system call
// leaves the processor's predictions of the returns cold.
[[gnu::always_inline]] inline ssize_t SystemRead(int fd, void* buffer, size_t count) {
    return Through(Call::Read, ssize_t(-1), ::read, fd, buffer, count);
}
[[gnu::always_inline]] inline ssize_t SystemWrite(int fd, const void* buffer, size_t count) {
    return Through(Call::Write, ssize_t(-1), ::write, fd, buffer, count);
}

// Makes `times` calls of kind `which` fail with `errnoValue`, from the `nth` from now on (1: the
// next one), replacing any failure planned for that kind; kEveryCallForTesting fails all from
// the nth on (a disk that stays full) until the plans are reset. Other calls reach the system.
// A failed close has released its descriptor, as on Linux.
constexpr int kEveryCallForTesting = 1 << 30;
TARNRT_API void FailCallForTesting(Call which, int nth, int errnoValue, int times = 1);
// Cancels every failure still pending.
TARNRT_API void ResetCallFailuresForTesting();
// Whether a planned failure has not happened yet: the calls of its kind made since it was
// planned fell short of its first failing one.
TARNRT_API bool CallFailurePendingForTesting();

}  // namespace tarn::posix
