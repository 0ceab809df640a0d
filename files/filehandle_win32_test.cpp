// File handle on Windows, where share modes are enforced: the sharing column of the open mode
// table decides which second opens of the same file succeed (the reading mode shares writing).
#include "tarnkernl/files.h"

#include "files/testdir.h"
#include "platform/win32.h"

#include <gtest/gtest.h>

namespace {

TEST(FileHandle, OpenModesShareAsTheTableSays) {
    tarn::TestDir dir;
    const std::string name = dir.Path("shared.txt");
    dir.MakeFile("shared.txt", 4);
    const struct {
        int mode;
        bool othersWrite;
    } cases[] = {{0, true}, {1, false}, {2, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode);
        TFileHandle first;
        ASSERT_TRUE(first.open(name.c_str(), c.mode, OPEN_EXISTING));
        TFileHandle reader;
        EXPECT_TRUE(reader.open(name.c_str(), 0, OPEN_EXISTING)) << "every mode shares reading";
        TFileHandle writer;
        EXPECT_EQ(writer.open(name.c_str(), 1, OPEN_EXISTING), c.othersWrite);
        if (!c.othersWrite) {
            EXPECT_EQ(writer.lastError, static_cast<uint32_t>(ERROR_SHARING_VIOLATION));
        }
    }
}

}  // namespace
