// INI settings: long values, absent keys and defaults, empty values, the forms of the written
// value, deleting a key, and the process's own INI file.
#include "tarnkernl/log.h"

#include "platform/win32.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace {

// An INI file of its own in the temporary directory, with the library's backslash path.
class IniFile : public ::testing::Test {
protected:
    IniFile() {
        path_ = std::filesystem::temp_directory_path() /
                ("tarn-ini-" + std::to_string(GetCurrentProcessId()) + ".ini");
        name_ = path_.string();
        for (char& c : name_)
            if (c == '/')
                c = '\\';
    }
    ~IniFile() override { std::filesystem::remove(path_); }

    void Write(const std::string& text) { std::ofstream(path_, std::ios::binary) << text; }
    std::string Content() const {
        std::ifstream in(path_, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    const char* File() const { return name_.c_str(); }

    std::string Get(const char* key, const char* defaultValue) {
        str value;
        const char* text = GetIniFileEntry(value, "S", key, defaultValue, File());
        EXPECT_EQ(text, value.p);
        return text ? text : "(null)";
    }

    bool Set(const char* key, const char* format, ...) {
        va_list args;
        va_start(args, format);
        bool result = vsetinifile("S", key, format, args, File());
        va_end(args);
        return result;
    }

private:
    std::filesystem::path path_;
    std::string name_;
};

TEST_F(IniFile, ValuesLongerThanTheFirstReadComeBackWhole) {
    std::string v300(300, 'a'), v255(255, 'b'), v254(254, 'c'), v5000(5000, 'd');
    Write("[S]\r\nk300=" + v300 + "\r\nk255=" + v255 + "\r\nk254=" + v254 + "\r\nk5000=" + v5000 +
          "\r\n");
    EXPECT_EQ(Get("k300", ""), v300);
    EXPECT_EQ(Get("k255", ""), v255);
    EXPECT_EQ(Get("k254", ""), v254);
    EXPECT_EQ(Get("k5000", ""), v5000);
}

TEST_F(IniFile, AbsentKeysEmptyValuesAndDefaults) {
    Write("[S]\r\nempty=\r\nset=value\r\n");
    EXPECT_EQ(Get("set", "default"), "value");
    EXPECT_EQ(Get("absent", "default"), "default");
    EXPECT_EQ(Get("absent", ""), "");
    EXPECT_EQ(Get("absent", nullptr), "");
    EXPECT_EQ(Get("empty", "default"), "");
    std::string longDefault(400, 'z');
    EXPECT_EQ(Get("absent", longDefault.c_str()), longDefault);
}

TEST_F(IniFile, WrittenValuesAreFormattedTakenAsTheyAreOrDeleted) {
    EXPECT_TRUE(Set("formatted", "%d-%s", 7, "x"));
    EXPECT_TRUE(vsetinifile("S", "verbatim", "100%d", nullptr, File()));
    EXPECT_TRUE(Set("argument", nullptr, "first argument"));
    std::string v300(300, 'q');
    EXPECT_TRUE(Set("long", "%s", v300.c_str()));
    EXPECT_EQ(Get("formatted", ""), "7-x");
    EXPECT_EQ(Get("verbatim", ""), "100%d");
    EXPECT_EQ(Get("argument", ""), "first argument");
    EXPECT_EQ(Get("long", ""), v300);

    EXPECT_TRUE(Set("verbatim", nullptr, nullptr));
    EXPECT_TRUE(vsetinifile("S", "formatted", nullptr, nullptr, File()));
    EXPECT_EQ(Get("verbatim", "gone"), "gone");
    EXPECT_EQ(Get("formatted", "gone"), "gone");
    EXPECT_EQ(Get("argument", "gone"), "first argument");
    EXPECT_EQ(Content().find("verbatim"), std::string::npos);
}

TEST(ProcessIni, IsTheProgramsIniFileInTheWorkingDirectory) {
    std::string section = "IniTest" + std::to_string(GetCurrentProcessId());
    EXPECT_TRUE(PrintToIniFile(section.c_str(), "count", "%d", 5));
    str value;
    EXPECT_STREQ(GetIniFileEntry(value, section.c_str(), "count", "0", nullptr), "5");
    str direct;
    EXPECT_STREQ(GetIniFileEntry(direct, section.c_str(), "count", "0", GetProcess().iniName), "5");
    EXPECT_TRUE(PrintToIniFile(section.c_str(), nullptr, nullptr, nullptr));
    EXPECT_STREQ(GetIniFileEntry(value, section.c_str(), "count", "0", nullptr), "0");
    EXPECT_STREQ(GetInstallWorkingDir(), "");
}

}  // namespace
