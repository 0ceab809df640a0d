// Safe rewrite: the protected file is moved to its backup, an older backup replaced; the
// client members put it back after a failed rewrite or drop it after a good one.
#include "tarnkernl/files.h"

#include "files/testdir.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using tarn::TestDir;

std::string Read(const std::string& name) {
    File file;
    if (!file.capture(name.c_str()))
        return "(missing)";
    return std::string(file.image, file.length);
}

void Write(const std::string& name, const std::string& text) {
    TFileHandle file;
    ASSERT_TRUE(file.creat(name.c_str()));
    ASSERT_EQ(file.write(text.data(), static_cast<unsigned long>(text.size())), text.size());
}

class SafeRewrite : public testing::Test {
protected:
    TestDir dir;
    std::string ini = dir.Path("settings.ini");
    std::string bak = dir.Path("settings.bak");
};

TEST_F(SafeRewrite, GoodRewriteReplacesTheOlderBackupAndDropsIt) {
    Write(ini, "old settings");
    Write(bak, "older backup");
    {
        RestoreFileIfError guard(ini.c_str(), ".bak");
        EXPECT_STREQ(guard.errorText, "");
        EXPECT_EQ(std::string(guard.backupName), bak);
        EXPECT_STREQ(guard.fileExt, ".ini");
        EXPECT_FALSE(existfile(ini.c_str()));
        EXPECT_EQ(Read(bak), "old settings");
        Write(ini, "new settings");
        guard.Commit();
    }
    EXPECT_EQ(Read(ini), "new settings");
    EXPECT_FALSE(existfile(bak.c_str()));

    RestoreFileIfError kept(ini.c_str(), ".bak");
    kept.Commit(true);
    EXPECT_EQ(Read(bak), "new settings") << "kept on request";
}

TEST_F(SafeRewrite, FailedRewriteIsUndone) {
    {
        RestoreFileIfError guard(ini.c_str(), ".bak");
        EXPECT_STREQ(guard.errorText, "") << "a file not there yet is no error";
        Write(ini, "old settings");
    }
    EXPECT_EQ(Read(ini), "old settings") << "there was nothing to put back";
    {
        RestoreFileIfError guard(ini.c_str(), ".bak");
        Write(ini, "half of the new");
    }
    EXPECT_EQ(Read(ini), "old settings");
    EXPECT_FALSE(existfile(bak.c_str()));

    RestoreFileIfError guard(ini.c_str(), ".bak");
    EXPECT_TRUE(guard.Restore()) << "nothing was written";
    EXPECT_EQ(Read(ini), "old settings");
    EXPECT_TRUE(guard.Restore()) << "nothing left to restore";
}

TEST_F(SafeRewrite, BackupThatCannotBeRemoved) {
    Write(ini, "old settings");
    Write(bak, "older backup");
    dir.MakeReadOnly("settings.bak");
    RestoreFileIfError guard(ini.c_str(), ".bak");
    EXPECT_STREQ(guard.backupName, "") << "no backup to restore";
    const std::string error = guard.errorText.p;
    EXPECT_EQ(error.find(bak + "':\r\n"), 0u) << error;
    EXPECT_GT(error.size(), bak.size() + 4) << "with the system's reason";
    EXPECT_EQ(Read(ini), "old settings") << "left where it was";
}

}  // namespace
