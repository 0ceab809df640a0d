// Failures of the system calls behind attributes, the current directory and process creation
// reach the caller as the Win32 error of their errno, and the failed call changes nothing.
#include "platform/posix/syscalls.h"
#include "platform/win32.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>

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

// A failed close has closed: the handle is gone, and a second close of it is refused. A lasting
// failure of several calls fails that many from the planned one on, or all until the plans are
// reset.
TEST_F(FailedCalls, AFailedCloseReleasesItsHandleAndAFailureCanLast) {
    const HFILE file = _lopen(Path("file").c_str(), OF_READ);
    ASSERT_NE(file, HFILE_ERROR);
    tarn::posix::FailCallForTesting(Call::Close, 1, EIO);
    EXPECT_EQ(_lclose(file), 0);
    EXPECT_EQ(fcntl(file, F_GETFD), -1) << "released";
    EXPECT_EQ(_lclose(file), HFILE_ERROR);

    const std::string name = Path("file");
    tarn::posix::FailCallForTesting(Call::Status, 2, EIO, 2);
    EXPECT_NE(GetFileAttributesA(name.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_TRUE(tarn::posix::CallFailurePendingForTesting());
    EXPECT_EQ(GetFileAttributesA(name.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_FALSE(tarn::posix::CallFailurePendingForTesting());
    EXPECT_EQ(GetFileAttributesA(name.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_NE(GetFileAttributesA(name.c_str()), INVALID_FILE_ATTRIBUTES) << "two calls failed";

    tarn::posix::FailCallForTesting(Call::Status, 1, EIO, tarn::posix::kEveryCallForTesting);
    for (int call = 1; call <= 3; ++call)
        EXPECT_EQ(GetFileAttributesA(name.c_str()), INVALID_FILE_ATTRIBUTES) << call;
    tarn::posix::ResetCallFailuresForTesting();
    EXPECT_NE(GetFileAttributesA(name.c_str()), INVALID_FILE_ATTRIBUTES);
}

}  // namespace
