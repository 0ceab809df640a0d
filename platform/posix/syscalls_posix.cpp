// The table of system calls and the failure seam behind it: each entry asks whether a test
// wants this call to fail before it reaches the system.
#include "platform/posix/syscalls.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>
// glibc 2.36 declares these without C linkage.
extern "C" {
#include <sys/pidfd.h>
}

#include <atomic>
#include <mutex>

namespace tarn::posix {
namespace {

struct PlannedFailure {
    int countdown = 0;  // calls of the kind until the first failing one; 0: it came
    int failures = 0;   // calls still to fail from that one on; 0: no plan
    int error = 0;
};

std::atomic<int> gPendingFailures{0};  // active plans whose first failing call has not come
std::mutex gPlanLock;
PlannedFailure gPlans[static_cast<int>(Call::Count)];

}  // namespace

// Plans are rare and calls are many: a call takes the lock only while some plan is active.
std::atomic<int> gActivePlans{0};

bool FailsAsPlanned(Call which) {
    std::lock_guard guard(gPlanLock);
    PlannedFailure& plan = gPlans[static_cast<int>(which)];
    if (plan.failures == 0)
        return false;
    if (plan.countdown > 0) {
        if (--plan.countdown > 0)
            return false;
        gPendingFailures.fetch_sub(1, std::memory_order_relaxed);
    }
    if (--plan.failures == 0)
        gActivePlans.fetch_sub(1, std::memory_order_relaxed);
    errno = plan.error;
    return true;
}

namespace {

int Open(const char* path, int flags, mode_t mode) {
    return Through(Call::Open, -1, ::open64, path, flags, mode);
}
// A close that fails has released the descriptor all the same, as Linux's does: a caller that
// took the failure for a descriptor still open would close whatever gets the number next.
int Close(int fd) {
    if (!FailsNow(Call::Close))
        return ::close(fd);
    const int error = errno;
    ::close(fd);
    errno = error;
    return -1;
}
ssize_t Read(int fd, void* buffer, size_t count) { return SystemRead(fd, buffer, count); }
ssize_t Write(int fd, const void* buffer, size_t count) { return SystemWrite(fd, buffer, count); }
off64_t Seek(int fd, off64_t offset, int whence) {
    return Through(Call::Seek, off64_t(-1), ::lseek64, fd, offset, whence);
}
int Truncate(int fd, off64_t length) {
    return Through(Call::Truncate, -1, ::ftruncate64, fd, length);
}
int Sync(int fd) { return Through(Call::Sync, -1, ::fsync, fd); }
// Where the plain and the 64-bit calls are one (64-bit targets), the plain names are called:
// libfaketime replaces only those, and the file times must follow a faked clock as the local
// time does.
#if defined(__LP64__)
static_assert(sizeof(struct stat) == sizeof(struct stat64));
int PlainFstat(int fd, struct stat64* status) {
    return ::fstat(fd, reinterpret_cast<struct stat*>(status));
}
int PlainStat(const char* path, struct stat64* status) {
    return ::stat(path, reinterpret_cast<struct stat*>(status));
}
int PlainLstat(const char* path, struct stat64* status) {
    return ::lstat(path, reinterpret_cast<struct stat*>(status));
}
#else
int PlainFstat(int fd, struct stat64* status) { return ::fstat64(fd, status); }
int PlainStat(const char* path, struct stat64* status) { return ::stat64(path, status); }
int PlainLstat(const char* path, struct stat64* status) { return ::lstat64(path, status); }
#endif
int FileStatus(int fd, struct stat64* status) {
    return Through(Call::FileStatus, -1, PlainFstat, fd, status);
}
int Status(const char* path, struct stat64* status) {
    return Through(Call::Status, -1, PlainStat, path, status);
}
int LinkStatus(const char* path, struct stat64* status) {
    return Through(Call::LinkStatus, -1, PlainLstat, path, status);
}
int Rename(const char* from, const char* to) {
    return Through(Call::Rename, -1, ::rename, from, to);
}
int Unlink(const char* path) { return Through(Call::Unlink, -1, ::unlink, path); }
int MakeDirectory(const char* path, mode_t mode) {
    return Through(Call::MakeDirectory, -1, ::mkdir, path, mode);
}
int RemoveDirectory(const char* path) { return Through(Call::RemoveDirectory, -1, ::rmdir, path); }
DIR* OpenDirectory(const char* path) {
    return Through(Call::OpenDirectory, static_cast<DIR*>(nullptr), ::opendir, path);
}
dirent64* ReadDirectory(DIR* directory) {
    return Through(Call::ReadDirectory, static_cast<dirent64*>(nullptr), ::readdir64, directory);
}
int CloseDirectory(DIR* directory) {
    return Through(Call::CloseDirectory, -1, ::closedir, directory);
}
char* CurrentDirectory(char* buffer, size_t size) {
    return Through(Call::CurrentDirectory, static_cast<char*>(nullptr), ::getcwd, buffer, size);
}
char* RealPath(const char* path, char* resolved) {
    return Through(Call::RealPath, static_cast<char*>(nullptr), ::realpath, path, resolved);
}
int Access(const char* path, int mode) { return Through(Call::Access, -1, ::access, path, mode); }
int SetTimes(int directory, const char* path, const timespec times[2], int flags) {
    return Through(Call::SetTimes, -1, ::utimensat, directory, path, times, flags);
}
ssize_t ReadLink(const char* path, char* buffer, size_t size) {
    return Through(Call::ReadLink, ssize_t(-1), ::readlink, path, buffer, size);
}
int ChangeMode(const char* path, mode_t mode) {
    return Through(Call::ChangeMode, -1, ::chmod, path, mode);
}
int ChangeDirectory(const char* path) { return Through(Call::ChangeDirectory, -1, ::chdir, path); }
int Spawn(pid_t* pid, const char* path, const posix_spawn_file_actions_t* actions,
          const posix_spawnattr_t* attributes, char* const argv[], char* const environment[]) {
    if (FailsNow(Call::Spawn))
        return errno;
    return ::posix_spawn(pid, path, actions, attributes, argv, environment);
}
int ProcessDescriptor(pid_t pid, unsigned int flags) {
    return Through(Call::ProcessDescriptor, -1, ::pidfd_open, pid, flags);
}
int WaitChild(idtype_t type, id_t id, siginfo_t* info, int options) {
    return Through(Call::WaitChild, -1, ::waitid, type, id, info, options);
}
int Poll(pollfd* descriptors, nfds_t count, int timeout) {
    return Through(Call::Poll, -1, ::poll, descriptors, count, timeout);
}

constexpr Syscalls kSyscalls = {
    Open,           Close,
    Read,           Write,
    Seek,           Truncate,
    Sync,           FileStatus,
    Status,         LinkStatus,
    Rename,         Unlink,
    MakeDirectory,  RemoveDirectory,
    OpenDirectory,  ReadDirectory,
    CloseDirectory, CurrentDirectory,
    RealPath,       Access,
    SetTimes,       ReadLink,
    ChangeMode,     ChangeDirectory,
    Spawn,          ProcessDescriptor,
    WaitChild,      Poll,
};

}  // namespace

const Syscalls& Sys() { return kSyscalls; }

void FailCallForTesting(Call which, int nth, int errnoValue, int times) {
    std::lock_guard guard(gPlanLock);
    PlannedFailure& plan = gPlans[static_cast<int>(which)];
    const PlannedFailure old = plan;
    plan = nth > 0 && times > 0 ? PlannedFailure{nth, times, errnoValue} : PlannedFailure{};
    gActivePlans.fetch_add(int(plan.failures > 0) - int(old.failures > 0),
                           std::memory_order_release);
    gPendingFailures.fetch_add(int(plan.countdown > 0) - int(old.countdown > 0),
                               std::memory_order_release);
}

void ResetCallFailuresForTesting() {
    std::lock_guard guard(gPlanLock);
    for (PlannedFailure& plan : gPlans)
        plan = PlannedFailure{};
    gActivePlans.store(0, std::memory_order_release);
    gPendingFailures.store(0, std::memory_order_release);
}

bool CallFailurePendingForTesting() { return gPendingFailures.load(std::memory_order_acquire) > 0; }

}  // namespace tarn::posix
