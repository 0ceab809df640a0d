// Language sets over language directories made by the tests: "langid.cfg" and text tables
// built in code, cut at every byte; resource modules served by their base name.
#include "mui/languageset.h"

#include "files/testdir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

using tarn::LanguageDescription;
using tarn::MuiLanguageSet;
using tarn::TestDir;

// The bytes of a UTF-16 text given as ASCII, with an optional byte-order mark.
std::string Utf16(const std::u16string& text, bool mark = true) {
    std::string bytes;
    if (mark)
        bytes += "\xFF\xFE";
    for (char16_t c : text) {
        bytes += char(c & 0xFF);
        bytes += char(c >> 8);
    }
    return bytes;
}

// Parses the bytes as the reader does: in a zeroed room of (size + 16) / 2 units.
bool Parse(const std::string& bytes, LanguageDescription& out, std::vector<WCHAR>& room) {
    room.assign((bytes.size() + 16) / 2, 0);
    memcpy(room.data(), bytes.data(), bytes.size());
    return tarn::ParseLanguageDescription(room.data(), static_cast<unsigned long>(bytes.size()),
                                          out);
}

TEST(LanguageDescription, TheIdentifierLineNeedsALineBreakAndADigit) {
    struct Case {
        std::string bytes;
        bool valid;
        unsigned int id;
        std::u16string name;
    } cases[] = {
        {Utf16(u"1049\r\nName\r\n"), true, 1049, u"Name"},
        {Utf16(u"1049\r\nName"), true, 1049, u"Name"},
        {Utf16(u"1049\r\n", false), true, 1049, u""},
        {Utf16(u"7 word\n\n\r\nSecond\nThird"), true, 7, u"Second"},
        {Utf16(u"1049", false), false, 0, u""},
        {Utf16(u"1049"), false, 0, u""},
        {Utf16(u"x1049\r\n"), false, 0, u""},
        {Utf16(u"\r\n1049\r\n", false), false, 0, u""},
        {"1", false, 0, u""},
    };
    for (const Case& c : cases) {
        LanguageDescription language{};
        std::vector<WCHAR> room;
        ASSERT_EQ(Parse(c.bytes, language, room), c.valid) << c.bytes;
        if (!c.valid)
            continue;
        EXPECT_EQ(language.identifier, c.id);
        EXPECT_EQ(std::u16string(language.name, language.name + language.nameLength), c.name);
    }
}

std::string Record(uint32_t id, const std::string& text, bool terminated = true) {
    std::string bytes(reinterpret_cast<const char*>(&id), 4);
    return bytes + text + (terminated ? std::string(1, '\0') : "");
}

size_t RecordsOf(const std::string& table) {
    MuiLanguageSet set(0, "no such root");
    std::string room = table + '\0';
    set.AddRecords(room.data(), static_cast<unsigned long>(table.size()));
    return set.index.Count();
}

TEST(TextTable, RecordsAreTakenWhileFiveBytesAreLeft) {
    EXPECT_EQ(RecordsOf(std::string(4, '\1')), 0u);
    EXPECT_EQ(RecordsOf(Record(5, "")), 1u);
    const std::string table = Record(1, "one") + Record(2, "") + Record(3, "three", false);
    for (size_t size = 0; size <= table.size(); ++size) {
        const size_t expected = (size >= 5) + (size >= 8 + 5) + (size >= 8 + 5 + 5);
        EXPECT_EQ(RecordsOf(table.substr(0, size)), expected) << size;
    }
}

class LanguageDirectories : public ::testing::Test {
protected:
    void Language(const std::string& directory, const std::string& description,
                  const std::vector<std::pair<std::string, std::string>>& files = {}) {
        dir_.MakeDirectory(directory);
        Write(directory + "/langid.cfg", description);
        for (const auto& [name, bytes] : files)
            Write(directory + "/" + name, bytes);
    }
    void Write(const std::string& name, const std::string& bytes) {
        std::ofstream(std::filesystem::path(Native(name)), std::ios::binary) << bytes;
    }
    std::string Native(const std::string& name) const {
        std::string path = dir_.Path() + "/" + name;
        std::replace(path.begin(), path.end(), '\\', '/');
        return path;
    }
    std::string Root() const { return dir_.Path(); }

    TestDir dir_;
};

TEST_F(LanguageDirectories, TablesOfADirectoryAreMergedAndSorted) {
    Language("default", Utf16(u"0\r\n"),
             {{"a.mui", Record(30, "thirty") + Record(10, "ten")},
              {"b.mui", Record(20, "twenty") + Record(0xFFFFFFF0u, "high")},
              {"empty.mui", ""},
              {"c.muix", Record(40, "not a table")}});
    // A table beyond the largest size is not read (the file is sparse).
    Write("default/huge.mui", Record(50, "fifty"));
    std::filesystem::resize_file(Native("default/huge.mui"), 100000001);
    Language("broken", Utf16(u"0"));
    Language("huge", Utf16(u"0\r\n") + std::string(tarn::kLargestDescription, ' '));
    Language("nothing", "");
    int languages = 0;
    tarn::EnumLanguageDirectories(
        Root().c_str(),
        [](const char*, unsigned int, const WCHAR*, void* count) {
            ++*static_cast<int*>(count);
            return true;
        },
        &languages);
    EXPECT_EQ(languages, 1);
    MuiLanguageSet set(0, Root().c_str());
    EXPECT_EQ(set.directory.p, Root() + "\\default");
    ASSERT_EQ(set.index.Count(), 4u);
    EXPECT_STREQ(set.Find(10), "ten");
    EXPECT_STREQ(set.Find(20), "twenty");
    EXPECT_STREQ(set.Find(30), "thirty");
    EXPECT_STREQ(set.Find(0xFFFFFFF0u), "high");
    for (unsigned int missing : {0u, 15u, 40u, 0xFFFFFFFFu})
        EXPECT_EQ(set.Find(missing), nullptr) << missing;
}

TEST_F(LanguageDirectories, TheFirstDirectoryOfAnIdentifierIsLoaded) {
    Language("one", Utf16(u"1049\r\nFirst\r\n"), {{"t.mui", Record(1, "one")}});
    Language("two", Utf16(u"1049\r\nSecond\r\n"), {{"t.mui", Record(1, "two")}});
    std::vector<std::string> order;
    tarn::EnumLanguageDirectories(
        Root().c_str(),
        [](const char* path, unsigned int, const WCHAR*, void* seen) {
            static_cast<std::vector<std::string>*>(seen)->push_back(path);
            return true;
        },
        &order);
    ASSERT_EQ(order.size(), 2u);
    MuiLanguageSet set(1049, Root().c_str());
    EXPECT_EQ(set.directory.p, order[0]);
    EXPECT_STREQ(set.Find(1), order[0].ends_with("one") ? "one" : "two");

    MuiLanguageSet absent(7, Root().c_str());
    EXPECT_STREQ(absent.directory.p, "");
    EXPECT_EQ(absent.Find(1), nullptr);
    EXPECT_EQ(absent.identifier, 7u);
}

TEST_F(LanguageDirectories, AResourceModuleServesTheModulesOfItsBaseName) {
    Language("default", Utf16(u"0\r\n"));
    std::filesystem::copy_file(TARN_TEST_LANGUAGE_MODULE, Native("default/Plugin.rmui"));
    std::filesystem::copy_file(TARN_TEST_LANGUAGE_MODULE, Native("default/other.rmuix"));
    MuiLanguageSet set(0, Root().c_str());
    ASSERT_EQ(set.modules.Count(), 1u);
    HINSTANCE module = (*set.modules.At(0))->module;
    EXPECT_EQ(set.FindModule("plugin.dll", MAKEINTRESOURCEA(100), RT_DIALOG), module);
    EXPECT_EQ(set.FindModule("PLUGIN.plg", MAKEINTRESOURCEA(200), RT_MENU), module);
    EXPECT_EQ(set.FindModule("pluginx.dll", MAKEINTRESOURCEA(100), RT_DIALOG), nullptr);
    EXPECT_EQ(set.FindModule("plugin", MAKEINTRESOURCEA(100), RT_DIALOG), nullptr);
    EXPECT_EQ(set.FindModule("plugin.dll", MAKEINTRESOURCEA(101), RT_DIALOG), nullptr);
    EXPECT_EQ(set.FindModule("plugin.dll", MAKEINTRESOURCEA(100), RT_MENU), nullptr);
}

}  // namespace
