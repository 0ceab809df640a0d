// The language-pack tool's reading and writing: sources and catalogues to tables and back, the
// reports with their lines, language descriptions and the check against the default language.
#include "mui/tool/checker.h"
#include "mui/tool/texttable.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

using namespace tarn::mui;
namespace fs = std::filesystem;

std::vector<Text> FromSource(const std::string& content, Problems& problems) {
    std::vector<Text> texts;
    ReadSource("texts.txt", content, texts, problems);
    return texts;
}

TEST(LanguagePackTool, ASourceGoesThroughItsTableAndBack) {
    const std::string source =
        "1\tone\n7\ttab\\there, lines\\r\\nand a backslash \\\\\n"
        "1034005\tCould not move the file '%s'\n4294967295\t\n";
    Problems problems;
    std::vector<Text> texts = FromSource("\xEF\xBB\xBF# comment\r\n\r\n" + source, problems);
    ASSERT_TRUE(problems.Empty()) << problems.messages[0];
    ASSERT_EQ(texts.size(), 4u);
    EXPECT_EQ(texts[1].text, "tab\there, lines\r\nand a backslash \\");
    const std::string bytes = TableBytes(texts);
    EXPECT_EQ(bytes.substr(0, 8), std::string("\x01\0\0\0one\0", 8));
    EXPECT_EQ(SourceOf(ReadTable("t.mui", bytes, problems)), source);
    EXPECT_TRUE(problems.Empty());

    ReadTable("t.mui", bytes.substr(0, bytes.size() - 1) + "x", problems);
    ReadTable("short.mui", std::string("\1\0\0", 3), problems);
    ASSERT_EQ(problems.messages.size(), 2u);
    EXPECT_EQ(problems.messages[1], "short.mui: 3 bytes at the end are too few for a record");
}

TEST(LanguagePackTool, BadLinesAreReportedWithTheirNumbers) {
    Problems problems;
    FromSource("1\tgood\nno tab here\nx2\tbad number\n3\tbad \\q escape\n1\tagain\n", problems);
    std::vector<Text> texts = FromSource("1\tgood\n\n1\tagain\n", problems);
    CheckUnique(texts, problems);
    ASSERT_EQ(problems.messages.size(), 4u);
    EXPECT_EQ(problems.messages[0], "texts.txt:2: expected an identifier, a tab and the text");
    EXPECT_EQ(problems.messages[1].rfind("texts.txt:3: ", 0), 0u);
    EXPECT_EQ(problems.messages[2].rfind("texts.txt:4: unknown escape", 0), 0u);
    EXPECT_EQ(problems.messages[3], "texts.txt:3: identifier 1 is also at texts.txt:1");
}

// A catalogue as translation editors write it: a header, references, a fuzzy and an
// untranslated entry, continued strings, escapes and an obsolete entry.
const char kCatalogue[] = R"(# Translation of the demo.
msgid ""
msgstr ""
"Project-Id-Version: demo 1\n"
"PO-Revision-Date: 2026-12-06 12:00+0000\n"
"Last-Translator: A Translator <translator@example.org>\n"
"Language-Team: Russian <ru@example.org>\n"
"Language: ru\n"
"MIME-Version: 1.0\n"
"Content-Type: text/plain; charset=UTF-8\n"
"Content-Transfer-Encoding: 8bit\n"

#: demo.cpp:10
msgctxt "1"
msgid "one"
msgstr "один"

#, fuzzy
msgctxt "2"
msgid "two"
msgstr "два?"

msgctxt "3"
msgid ""
"three "
"lines\n"
msgstr ""

msgctxt "4"
msgid "tab\there \"quoted\""
msgstr "таб\tздесь \"в кавычках\""

#~ msgctxt "5"
#~ msgid "gone"
#~ msgstr "нет"
)";

TEST(LanguagePackTool, ACatalogueBuildsTheTableOfTheSameSource) {
    Problems problems;
    std::vector<Text> texts;
    ReadCatalogue("ru.po", kCatalogue, texts, problems);
    ASSERT_TRUE(problems.Empty()) << problems.messages[0];
    const std::vector<Text> same =
        FromSource("1\tодин\n2\ttwo\n3\tthree lines\\n\n4\tтаб\\tздесь \"в кавычках\"\n", problems);
    EXPECT_EQ(TableBytes(texts), TableBytes(same));

    ReadCatalogue("bad.po",
                  "msgctxt \"x\"\nmsgid \"a\"\nmsgstr \"b\"\n\nmsgid \"c\"\nmsgstr \"\"\n"
                  "\n\"stray\"\n",
                  texts, problems);
    ASSERT_EQ(problems.messages.size(), 3u);
    EXPECT_EQ(problems.messages[0].rfind("bad.po:1: msgctxt \"x\"", 0), 0u);
    EXPECT_EQ(problems.messages[1], "bad.po:5: an entry without msgctxt and its number");
    EXPECT_EQ(problems.messages[2], "bad.po:8: a string where none can continue");
}

TEST(LanguagePackTool, GettextAcceptsTheCatalogue) {
    if (std::string(TARN_MSGFMT).empty())
        GTEST_SKIP() << "gettext's msgfmt is not installed";
    const fs::path po = fs::temp_directory_path() / "tarnmui-test.po";
    ASSERT_TRUE(WriteFile(po.string(), kCatalogue));
    const std::string command = std::string(TARN_MSGFMT) + " --check -o /dev/null " + po.string();
    EXPECT_EQ(std::system(command.c_str()), 0);
    fs::remove(po);
}

TEST(LanguagePackTool, DescriptionsAreUtf16WithTheirLineEnds) {
    const std::string bytes = DescriptionBytes(1049, "Русский");
    EXPECT_EQ(bytes.substr(0, 14), std::string("\xFF\xFE"
                                               "1\0"
                                               "0\0"
                                               "4\0"
                                               "9\0"
                                               "\r\0\n\0",
                                               14));
    EXPECT_EQ(bytes.substr(14, 2), std::string("\x20\x04", 2)) << "U+0420";
    uint32_t id = 0;
    std::string name;
    ASSERT_TRUE(ReadDescription(bytes, id, name));
    EXPECT_EQ(id, 1049u);
    EXPECT_EQ(name, "Русский");
    EXPECT_FALSE(ReadDescription(DescriptionBytes(7, "x").substr(0, 4), id, name));
}

TEST(LanguagePackTool, TheCheckFindsWhatALanguageLacksOrChanges) {
    const fs::path root = fs::temp_directory_path() / "tarnmui-check";
    fs::remove_all(root);
    fs::create_directories(root / "default");
    fs::create_directories(root / "ru");
    auto table = [](const std::string& source) {
        Problems none;
        return TableBytes(FromSource(source, none));
    };
    WriteFile((root / "default/langid.cfg").string(), DescriptionBytes(0, "English"));
    WriteFile((root / "default/a.mui").string(),
              table("1\tone\n2\tmove '%s' to %d\n3\tthree\n4\t100%%\n"));
    WriteFile((root / "ru/langid.cfg").string(), DescriptionBytes(1049, "Русский"));
    WriteFile((root / "ru/a.mui").string(), table("1\tодин\n2\t%d: '%s'\n4\t100%%\n"));
    WriteFile((root / "ru/b.mui").string(), table("1\tещё\n9\tлишний\n"));
    Problems problems;
    CheckLanguage((root / "ru").string(), (root / "default").string(), problems);
    std::string all;
    for (const std::string& message : problems.messages)
        all += message + "\n";
    EXPECT_EQ(problems.messages.size(), 4u) << all;
    EXPECT_NE(all.find("b.mui:1: identifier 1 is also at"), std::string::npos) << all;
    EXPECT_NE(all.find("identifier 2 has the conversions \"d s\" where the default has \"s d\""),
              std::string::npos)
        << all;
    EXPECT_NE(all.find("identifier 3 of"), std::string::npos) << all;
    EXPECT_NE(all.find("b.mui:2: identifier 9 is not in the default language"), std::string::npos)
        << all;
    fs::remove_all(root);
}

}  // namespace
