// The dump on POSIX: a core file that gdb writes with its "gcore" command. gdb stops every
// thread of the process while it writes and lets it go on afterwards. The process handle is a
// process descriptor (pidfd) inherited from the crashing process.
#include "log/mdump/dumptool.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

extern char** environ;

namespace tarn::mdump {
namespace {

// A core of a large process takes gdb a while; one that takes longer than this is given up.
constexpr int kGdbSeconds = 120;
// What gdb said is kept for the message of a failure: its last lines are the telling ones.
constexpr size_t kKeptOutput = 2048;

// The process behind a process descriptor: its "Pid:" line, -1 once the process has ended.
// 0 when the descriptor is not open or is not a process descriptor.
long DescriptorPid(unsigned long descriptor) {
    char path[64];
    snprintf(path, sizeof path, "/proc/self/fdinfo/%lu", descriptor);
    FILE* info = fopen(path, "r");
    if (!info)
        return 0;
    char line[256];
    long pid = 0;
    while (fgets(line, sizeof line, info))
        if (sscanf(line, "Pid: %ld", &pid) == 1)
            break;
    fclose(info);
    return pid;
}

bool Running(long pid) { return kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM; }

double Now() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// gdb, attached to one process, with its output read from a pipe.
class Gdb {
public:
    // False, with the reason, when gdb could not be started.
    bool Start(long pid, const std::string& core, std::string& error) {
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) != 0) {
            error = std::string("no pipe for gdb: ") + strerror(errno);
            return false;
        }
        const std::string attach = std::to_string(pid);
        const std::string command = "gcore " + core;
        const char* argv[] = {
            "gdb", "-nx",          "-batch", "-iex",          "set debuginfod enabled off",
            "-p",  attach.c_str(), "-ex",    command.c_str(), nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, ends[1], 1);
        posix_spawn_file_actions_adddup2(&actions, ends[1], 2);
        // The crashing process's descriptors stay with this tool, not with gdb.
        posix_spawn_file_actions_addclosefrom_np(&actions, 3);
        const int failed =
            posix_spawnp(&pid_, "gdb", &actions, nullptr, const_cast<char**>(argv), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(ends[1]);
        if (failed) {
            close(ends[0]);
            error = failed == ENOENT ? "gdb is not installed"
                                     : std::string("gdb could not be started: ") + strerror(failed);
            return false;
        }
        output_ = ends[0];
        return true;
    }

    // Reads gdb's output until it ends or the time is up; true when it ended with success.
    bool Finish(long target) {
        const double deadline = Now() + kGdbSeconds;
        char chunk[512];
        for (;;) {
            const double left = deadline - Now();
            if (left <= 0) {
                close(output_);
                Stop(target);
                said_ += std::string(said_.empty() ? "" : "\n") + "(gdb gave no answer in " +
                         std::to_string(kGdbSeconds) + " s)";
                return false;
            }
            pollfd ready{output_, POLLIN, 0};
            const int n = poll(&ready, 1, static_cast<int>(left * 1000) + 1);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                continue;
            const ssize_t got = read(output_, chunk, sizeof chunk);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                break;
            said_.append(chunk, static_cast<size_t>(got));
            if (said_.size() > 2 * kKeptOutput)
                said_.erase(0, said_.size() - kKeptOutput);
        }
        close(output_);
        int status = 0;
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }

    // The last of what gdb said, without the line end.
    std::string Said() const {
        std::string text =
            said_.size() > kKeptOutput ? said_.substr(said_.size() - kKeptOutput) : said_;
        while (!text.empty() && text.back() == '\n')
            text.pop_back();
        return text;
    }

private:
    // gdb detaches from the process when it is told to end; killed, it may leave the process
    // stopped, which a continue signal undoes.
    void Stop(long target) {
        kill(pid_, SIGTERM);
        for (int i = 0; i < 50; ++i) {
            if (waitpid(pid_, nullptr, WNOHANG) == pid_)
                return;
            usleep(100000);
        }
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        kill(static_cast<pid_t>(target), SIGCONT);
    }

    pid_t pid_ = -1;
    int output_ = -1;
    std::string said_;
};

}  // namespace

bool WriteDump(const Request& request, std::string& error) {
    long pid = request.hasHandle ? DescriptorPid(request.handle) : 0;
    if (pid == 0)
        pid = static_cast<long>(request.id);
    if (pid <= 0 || !Running(pid)) {
        error = "process " + std::to_string(pid > 0 ? pid : static_cast<long>(request.id)) +
                " has ended: no dump written";
        return false;
    }
    std::string file = request.file;
    std::replace(file.begin(), file.end(), '\\', '/');
    const std::string part = PartName(file);
    Gdb gdb;
    if (!gdb.Start(pid, part, error)) {
        error += ": no core file of process " + std::to_string(pid) + " written";
        return false;
    }
    const bool done = gdb.Finish(pid);
    struct stat written {};
    if (!done || stat(part.c_str(), &written) != 0 || written.st_size == 0) {
        unlink(part.c_str());
        error = "gdb wrote no core file of process " + std::to_string(pid) +
                (Running(pid) ? "" : " (it has ended)") + ":\n" + gdb.Said();
        return false;
    }
    if (rename(part.c_str(), file.c_str()) != 0) {
        error =
            "the core file " + part + " could not be renamed to " + file + ": " + strerror(errno);
        unlink(part.c_str());
        return false;
    }
    return true;
}

}  // namespace tarn::mdump
