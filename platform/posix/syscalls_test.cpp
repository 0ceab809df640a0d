// Failures of the system calls behind attributes, the current directory and process creation
// reach the caller as the Win32 error of their errno, and the failed call changes nothing.
#include "platform/posix/syscalls.h"
#include "platform/win32.h"

#include <gtest/gtest.h>

#include <errno.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

namespace {

namespace fs = std::filesystem;
using tarn::posix::Call;

class FailedCalls : public testing::Test {
protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() / ("tarn-calls-" + std::to_string(GetCurrentProcessId()));
        fs::remove_all(root_);
        fs::create_directories(root_ / "dir");
        std::ofstream(root_ / "file") << "text";
        start_ = CurrentDirectory();
    }
    void TearDown() override {
        tarn::posix::ResetCallFailuresForTesting();
        SetCurrentDirectoryA(start_.c_str());
        fs::permissions(root_ / "file", fs::perms::owner_write, fs::perm_options::add);
        fs::remove_all(root_);
    }

    static std::string CurrentDirectory() {
        char buffer[MAX_PATH];
        return std::string(buffer, GetCurrentDirectoryA(sizeof buffer, buffer));
    }
    std::string Path(const char* name) const { return (root_ / name).string(); }

    fs::path root_;
    std::string start_;
};

// Starts `/bin/sh -c "exit 3"` and, when it starts, checks its exit code and closes its handles.
BOOL StartShell(PROCESS_INFORMATION& started) {
    std::string line = "/bin/sh -c \"exit 3\"";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &started))
        return FALSE;
    EXPECT_EQ(WaitForSingleObject(started.hProcess, 10000), WAIT_OBJECT_0);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeProcess(started.hProcess, &code));
    EXPECT_EQ(code, 3u);
    CloseHandle(started.hThread);
    CloseHandle(started.hProcess);
    return TRUE;
}

TEST_F(FailedCalls, ReachTheCallerAsTheirWin32ErrorAndChangeNothing) {
    const std::string file = Path("file");
    const std::string dir = Path("dir");
    PROCESS_INFORMATION started;
    // An operation, and the check that a failed one left everything as it was.
    struct Operation {
        std::function<BOOL()> run;
        std::function<void()> expectUnchanged;
    };
    const Operation setReadOnly{
        [&] { return SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_READONLY); },
        [&] { EXPECT_EQ(GetFileAttributesA(file.c_str()), DWORD(FILE_ATTRIBUTE_NORMAL)); }};
    const Operation changeDirectory{[&] { return SetCurrentDirectoryA(dir.c_str()); },
                                    [&] { EXPECT_EQ(CurrentDirectory(), start_); }};
    const Operation startProcess{[&] {
                                     started = PROCESS_INFORMATION{};
                                     started.dwProcessId = 77;
                                     return StartShell(started);
                                 },
                                 [&] {
                                     EXPECT_EQ(started.hProcess, nullptr);
                                     EXPECT_EQ(started.hThread, nullptr);
                                     EXPECT_EQ(started.dwProcessId, 77u);
                                 }};
    const struct {
        const char* name;
        const Operation& operation;
        Call call;
        int error;
        DWORD code;
    } cases[] = {
        {"chmod EACCES", setReadOnly, Call::ChangeMode, EACCES, ERROR_ACCESS_DENIED},
        {"chmod EROFS", setReadOnly, Call::ChangeMode, EROFS, ERROR_WRITE_PROTECT},
        {"chmod EPERM", setReadOnly, Call::ChangeMode, EPERM, ERROR_ACCESS_DENIED},
        {"chdir ENOENT", changeDirectory, Call::ChangeDirectory, ENOENT, ERROR_FILE_NOT_FOUND},
        {"chdir EACCES", changeDirectory, Call::ChangeDirectory, EACCES, ERROR_ACCESS_DENIED},
        // A name that is there but refused as a directory.
        {"chdir ENOTDIR", changeDirectory, Call::ChangeDirectory, ENOTDIR, ERROR_DIRECTORY},
        {"spawn ENOENT", startProcess, Call::Spawn, ENOENT, ERROR_FILE_NOT_FOUND},
        {"spawn EACCES", startProcess, Call::Spawn, EACCES, ERROR_ACCESS_DENIED},
        {"spawn ENOMEM", startProcess, Call::Spawn, ENOMEM, ERROR_NOT_ENOUGH_MEMORY},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        tarn::posix::FailCallForTesting(c.call, 1, c.error);
        SetLastError(0);
        EXPECT_FALSE(c.operation.run());
        EXPECT_EQ(GetLastError(), c.code);
        c.operation.expectUnchanged();
        tarn::posix::ResetCallFailuresForTesting();
    }

    // Only the planned call failed: the same operations succeed next.
    EXPECT_TRUE(setReadOnly.run());
    EXPECT_EQ(GetFileAttributesA(file.c_str()), DWORD(FILE_ATTRIBUTE_READONLY));
    EXPECT_TRUE(changeDirectory.run());
    EXPECT_EQ(fs::current_path(), root_ / "dir");
    EXPECT_TRUE(startProcess.run());
}

}  // namespace
