// Processes on POSIX: OpenProcess and CreateProcessA over process file descriptors (pidfd), the
// process handle that WaitForSingleObject and GetExitCodeProcess read.
//
// Nothing here allocates from the process's allocator: the crash report starts its dump tool
// from inside a fault, possibly one raised while that allocator was busy.
#include "platform/posix/errors.h"
#include "platform/posix/handles_posix.h"
#include "platform/posix/paths_posix.h"
#include "platform/posix/syscalls.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <atomic>

extern char** environ;

namespace tarn::posix {
namespace {

// Reaps the child of `descriptor` if it has ended; false while it runs.
bool ReapIfEnded(int descriptor) {
    siginfo_t info{};
    return Sys().waitid(P_PIDFD, static_cast<id_t>(descriptor), &info, WEXITED | WNOHANG) != 0 ||
           info.si_pid != 0;
}

// Children whose process handle was closed while they ran: nothing waits for them any more, so
// every later process handle closed and process started reaps those that have ended, rather
// than leave them as zombies until this process ends. A slot holds a process descriptor plus
// one (0: free); whoever takes a descriptor out of its slot is the only one to use it. Atomics
// and system calls only: the crash report starts its dump tool and closes the handles from
// inside a fault.
class UnwaitedChildren {
public:
    // Keeps the descriptor until its child has ended; false when every slot is taken.
    bool Keep(int descriptor) {
        for (std::atomic<int>& slot : slots_) {
            int free = 0;
            if (slot.compare_exchange_strong(free, descriptor + 1))
                return true;
        }
        return false;
    }

    void ReapEnded() {
        for (std::atomic<int>& slot : slots_) {
            if (slot.load(std::memory_order_relaxed) == 0)
                continue;
            const int descriptor = slot.exchange(0) - 1;
            if (descriptor >= 0 && (ReapIfEnded(descriptor) || !Keep(descriptor)))
                Sys().close(descriptor);
        }
    }

private:
    std::atomic<int> slots_[64] = {};
};

constinit UnwaitedChildren gUnwaited;

// Open inheritable handles through which this process's own memory may be read. A child that
// inherits one may read the memory as on Windows: on POSIX that takes ptrace, which the Yama
// security module (ptrace_scope 1) refuses a child towards its parent unless the parent names
// it as its tracer, and with it the child's own children (the debugger of a dump tool).
constinit std::atomic<int> gInheritableSelfReaders = 0;

void LetChildReadMemory(pid_t child) {
    // Without Yama the call fails with EINVAL and nothing needs allowing. The child cannot
    // attach before it: spawning returns once the child has run exec, and a child needs far
    // longer to start its own program and attach.
    if (gInheritableSelfReaders.load() > 0)
        prctl(PR_SET_PTRACER, static_cast<unsigned long>(child), 0, 0, 0);
}

// A process seen through its descriptor. Only a child of this process gives its exit code, and
// only its process handle reaps it (a thread handle only waits), so that the code stays readable
// through the process handle whichever of the two closes first.
class ProcessObject : public WaitableObject {
public:
    static constexpr HandleKind kKind = HandleKind::Process;

    ProcessObject(HandleKind kind, int descriptor, pid_t pid, bool child, bool selfReader)
        : WaitableObject(kind),
          descriptor_(descriptor),
          pid_(pid),
          child_(child),
          selfReader_(selfReader) {
        if (selfReader_)
            ++gInheritableSelfReaders;
    }
    ~ProcessObject() override {
        if (selfReader_)
            --gInheritableSelfReaders;
        gUnwaited.ReapEnded();
        if (!child_ || ReapIfEnded(descriptor_) || !gUnwaited.Keep(descriptor_))
            Sys().close(descriptor_);
    }

    DWORD Wait(DWORD milliseconds) override {
        pollfd ready{descriptor_, POLLIN, 0};
        const int timeout = milliseconds == INFINITE ? -1 : static_cast<int>(milliseconds);
        for (;;) {
            const int n = Sys().poll(&ready, 1, timeout);
            if (n > 0)
                return WAIT_OBJECT_0;
            if (n == 0)
                return WAIT_TIMEOUT;
            if (errno != EINTR) {
                SetLastErrorFromErrno(errno);
                return WAIT_FAILED;
            }
        }
    }

    // STILL_ACTIVE while it runs. The code of a process that is not our child is not known:
    // it reads as 0 once the process has ended.
    bool ExitCode(DWORD& code) {
        siginfo_t info{};
        if (Sys().waitid(P_PIDFD, static_cast<id_t>(descriptor_), &info,
                         WEXITED | WNOHANG | WNOWAIT) != 0) {
            if (errno != ECHILD) {
                SetLastErrorFromErrno(errno);
                return false;
            }
            code = Wait(0) == WAIT_OBJECT_0 ? 0 : STILL_ACTIVE;
        } else if (info.si_pid == 0) {
            code = STILL_ACTIVE;
        } else if (info.si_code == CLD_EXITED) {
            code = static_cast<DWORD>(info.si_status);
        } else {
            code = 0xC0000000u | static_cast<DWORD>(info.si_status);  // ended by a signal
        }
        return true;
    }

    pid_t Pid() const { return pid_; }

private:
    const int descriptor_;
    const pid_t pid_;
    const bool child_;
    const bool selfReader_;
};

// The process of `pid` as a handle numbered as its descriptor. An inheritable handle keeps its
// descriptor open across exec; the rest close there. `readsMemory`: the handle grants reading
// the process's memory.
HANDLE OpenProcessHandle(HandleKind kind, pid_t pid, bool inherit, bool child,
                         bool readsMemory = false) {
    const int descriptor = Sys().pidfd_open(pid, 0);
    if (descriptor < 0) {
        SetLastError(errno == ESRCH ? ERROR_INVALID_PARAMETER : ErrorFromErrno(errno));
        return nullptr;
    }
    // A process descriptor is born close-on-exec.
    if (inherit)
        fcntl(descriptor, F_SETFD, 0);
    std::shared_ptr<ProcessObject> object;
    try {
        object = std::make_shared<ProcessObject>(kind, descriptor, pid, child,
                                                 inherit && readsMemory && pid == getpid());
    } catch (...) {
        Sys().close(descriptor);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return AddDescriptorHandle(descriptor, std::move(object));
}

// The arguments of a command line split by the Windows rules: blanks and tabs separate
// outside double quotes; 2n backslashes before a quote give n and toggle quoting, 2n+1 give n
// and a literal quote; other backslashes stand for themselves; "" inside quotes is one quote.
class Arguments {
public:
    // False when the line does not fit.
    bool Split(const char* line) {
        size_t used = 0;
        count_ = 0;
        const char* p = line ? line : "";
        for (;;) {
            while (*p == ' ' || *p == '\t')
                ++p;
            if (!*p)
                break;
            if (count_ + 1 >= kMaxArguments)
                return false;
            argv_[count_++] = text_ + used;
            bool quoted = false;
            while (*p && (quoted || (*p != ' ' && *p != '\t'))) {
                size_t backslashes = 0;
                while (*p == '\\') {
                    ++backslashes;
                    ++p;
                }
                if (*p == '"') {
                    if (!Put(used, '\\', backslashes / 2))
                        return false;
                    if (backslashes % 2) {
                        if (!Put(used, '"', 1))
                            return false;
                    } else if (quoted && p[1] == '"') {
                        if (!Put(used, '"', 1))
                            return false;
                        ++p;
                    } else {
                        quoted = !quoted;
                    }
                    ++p;
                } else {
                    if (!Put(used, '\\', backslashes))
                        return false;
                    if (*p && (quoted || (*p != ' ' && *p != '\t')) && !Put(used, *p++, 1))
                        return false;
                }
            }
            if (!Put(used, '\0', 1))
                return false;
        }
        argv_[count_] = nullptr;
        return true;
    }

    size_t Count() const { return count_; }
    char** Argv() { return argv_; }

private:
    static constexpr size_t kMaxText = 32768;  // the Windows limit of a command line
    static constexpr size_t kMaxArguments = 1024;

    bool Put(size_t& used, char c, size_t n) {
        if (used + n > kMaxText)
            return false;
        for (; n > 0; --n)
            text_[used++] = c;
        return true;
    }

    char text_[kMaxText];
    char* argv_[kMaxArguments];
    size_t count_ = 0;
};

}  // namespace
}  // namespace tarn::posix

using namespace tarn::posix;

HANDLE WINAPI OpenProcess(DWORD access, BOOL inherit, DWORD processId) {
    return OpenProcessHandle(HandleKind::Process, static_cast<pid_t>(processId), inherit != FALSE,
                             false, (access & PROCESS_VM_READ) != 0);
}

BOOL WINAPI CreateProcessA(LPCSTR application, LPSTR commandLine, LPSECURITY_ATTRIBUTES,
                           LPSECURITY_ATTRIBUTES, BOOL inheritHandles, DWORD, LPVOID,
                           LPCSTR currentDirectory, LPSTARTUPINFOA,
                           LPPROCESS_INFORMATION processInformation) {
    Arguments arguments;
    if (!arguments.Split(commandLine) || (!application && arguments.Count() == 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    SystemPath program(application ? application : arguments.Argv()[0]);
    if (!program.Valid())
        return FALSE;
    // The child's arguments are the command line's, as on Windows: the first one need not
    // name the program.
    char noArguments[] = "";
    char* defaultArgv[] = {noArguments, nullptr};
    char** argv = arguments.Count() ? arguments.Argv() : defaultArgv;

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!inheritHandles)
        posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    if (currentDirectory) {
        SystemPath directory(currentDirectory);
        if (!directory.Valid()) {
            posix_spawn_file_actions_destroy(&actions);
            return FALSE;
        }
        posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
    }
    gUnwaited.ReapEnded();
    pid_t pid = 0;
    const int error = Sys().posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        program.SetLastErrorFromErrno(error);
        return FALSE;
    }
    if (inheritHandles)
        LetChildReadMemory(pid);
    HANDLE process = OpenProcessHandle(HandleKind::Process, pid, false, true);
    HANDLE thread = process ? OpenProcessHandle(HandleKind::Thread, pid, false, false) : nullptr;
    if (!thread) {
        // The child runs on; without its handles it cannot be reported.
        if (process)
            CloseHandle(process);
        return FALSE;
    }
    if (processInformation) {
        processInformation->hProcess = process;
        processInformation->hThread = thread;
        processInformation->dwProcessId = static_cast<DWORD>(pid);
        processInformation->dwThreadId = static_cast<DWORD>(pid);
    } else {
        CloseHandle(thread);
        CloseHandle(process);
    }
    return TRUE;
}

BOOL WINAPI GetExitCodeProcess(HANDLE process, LPDWORD exitCode) {
    std::shared_ptr<ProcessObject> object = FindHandle<ProcessObject>(process);
    if (!object)
        return FALSE;
    DWORD code = 0;
    if (!object->ExitCode(code))
        return FALSE;
    if (exitCode)
        *exitCode = code;
    return TRUE;
}

DWORD WINAPI GetProcessId(HANDLE process) {
    if (process == GetCurrentProcess())
        return static_cast<DWORD>(getpid());
    std::shared_ptr<ProcessObject> object = FindHandle<ProcessObject>(process);
    return object ? static_cast<DWORD>(object->Pid()) : 0;
}
