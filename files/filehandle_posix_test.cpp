// File handle on POSIX: the long name of an existing file that cannot be opened, for no reason
// the system gives, reports 111. The system calls are made to fail through the system layer.
#include "tarnkernl/files.h"

#include "files/testdir.h"
#include "platform/posix/syscalls.h"

#include <gtest/gtest.h>

namespace {

using tarn::posix::Call;

TEST(FileHandle, LongNameThatFailsWithoutAReasonIsTooLong) {
    tarn::TestDir dir;
    const std::string levels = std::string(120, 'a') + "/" + std::string(120, 'b');
    dir.MakeDirectory(std::string(120, 'a'));
    dir.MakeFile(levels);
    const std::string name = dir.Path(std::string(120, 'a') + "\\" + std::string(120, 'b'));
    ASSERT_GE(UNCFileName(name.c_str()).Length(), 250);

    dir.MakeFile("short");
    const struct {
        std::string name;
        unsigned long error;
    } cases[] = {{name, 111}, {dir.Path("short"), 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // The 8-bit call's open and the wide call's status query fail, both without an error.
        tarn::posix::FailCallForTesting(Call::Open, 1, 0);
        tarn::posix::FailCallForTesting(Call::FileStatus, 1, 0);
        TFileHandle file;
        EXPECT_FALSE(file.open(c.name.c_str(), 0, OPEN_EXISTING));
        EXPECT_EQ(file.lastError, c.error);
        EXPECT_EQ(GetLastError(), c.error);
        tarn::posix::ResetCallFailuresForTesting();
    }
}

}  // namespace
