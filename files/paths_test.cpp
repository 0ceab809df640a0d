// Path names: positions, splitting, command-line names, valid names, drives, joins, the
// executable's names, and the existence and writability questions.
#include "tarnkernl/files.h"

#include "files/testdir.h"
#include "platform/win32.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using tarn::kUnreadableText;

TEST(PathNames, ExtensionAndNamePositions) {
    struct Case {
        const char* path;
        int extension, name;
    } cases[] = {
        {"C:\\dir\\file.txt", 11, 7},
        {"dir.d\\file", 10, 6},  // a dot before the last separator is no extension
        {"a.b.c", 3, 0},
        {"name.", 4, 0},
        {".ini", 0, 0},
        {"C:name", 6, 2},
        {"name", 4, 0},
        {"dir\\", 4, 4},
        {"a:b\\c.d", 5, 4},
        {"a\\b:c", 5, 4},
        {"\\\\server\\share\\x", 16, 15},
        {"", 0, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(GetExtPointPos(c.path), c.extension) << c.path;
        EXPECT_EQ(GetFileNamePos(c.path), c.name) << c.path;
    }
    for (const char* nothing : {static_cast<const char*>(nullptr), kUnreadableText})
        EXPECT_EQ(GetExtPointPos(nothing) + GetFileNamePos(nothing), 0);
}

TEST(PathNames, StrictPathSplitsInPlace) {
    struct Case {
        const char *path, *dir, *name, *ext;
    } cases[] = {
        {"C:\\dir\\file.txt", "C:\\dir", "file", "txt"},
        {"\\file", "\\", "file", ""},
        {"C:file.txt", "", "C:file", "txt"},
        {"dir.d\\file", "dir.d", "file", ""},
        {"a.b.c", "", "a.b", "c"},
        {"\\.txt", "\\", "", "txt"},
        {"C:\\d\\", "C:\\d", "", ""},
        {"a\\b\\c", "a\\b", "c", ""},
        {"", "", "", ""},
    };
    for (const Case& c : cases) {
        std::string text = c.path;
        char* dir = nullptr;
        char* name = nullptr;
        char* ext = nullptr;
        StrictPath(text.data(), dir, name, ext);
        EXPECT_STREQ(dir, c.dir) << c.path;
        EXPECT_STREQ(name, c.name) << c.path;
        EXPECT_STREQ(ext, c.ext) << c.path;
    }

    // The parts lie in the caller's text, whose separators became terminators.
    char text[] = "C:\\dir\\file.txt";
    char *dir, *name, *ext;
    StrictPath(text, dir, name, ext);
    EXPECT_TRUE(dir == text && name == text + 7 && ext == text + 12);
    EXPECT_EQ(std::string(text, sizeof text), std::string("C:\\dir\0file\0txt", sizeof text));
    StrictPath(nullptr, dir, name, ext);
    EXPECT_EQ(std::string(dir) + name + ext, "");
}

TEST(PathNames, FindFileNameOnCommandLines) {
    struct Case {
        const char* line;
        int begin, end;
    } cases[] = {
        {"  \"C:\\My File.exe\" /x", 3, 17},
        {" prog.exe /x", 1, 9},
        {"prog.exe", 0, 8},
        {"\"\" x", 1, 1},
    };
    const char* begin = nullptr;
    const char* end = nullptr;
    for (const Case& c : cases) {
        ASSERT_TRUE(FindFileName(c.line, begin, end)) << c.line;
        EXPECT_EQ(begin, c.line + c.begin) << c.line;
        EXPECT_EQ(end, c.line + c.end) << c.line;
    }

    // An open quote that never closes: the start is reported, the end is not.
    const char* open = " \"C:\\My File.exe";
    begin = end = nullptr;
    EXPECT_FALSE(FindFileName(open, begin, end));
    EXPECT_EQ(begin, open + 2);
    EXPECT_EQ(end, nullptr);

    // No name at all: neither is touched.
    for (const char* line : {"   ", "", static_cast<const char*>(nullptr), kUnreadableText}) {
        begin = end = nullptr;
        EXPECT_FALSE(FindFileName(line, begin, end));
        EXPECT_EQ(begin, nullptr);
        EXPECT_EQ(end, nullptr);
    }
}

TEST(PathNames, ValidFileNames) {
    for (const char* name :
         {"a.b", "name with blanks", " ", "caf\xC3\xA9", "\xE9t\xE9", "~$x", "."})
        EXPECT_TRUE(IsValidFileName(name)) << name;
    for (const char* name :
         {"a/b", "a\tb", "\x1f", "a\\b", "c:", "*.txt", "what?", "<a", "a>", "\"a\"", "a|b", ""})
        EXPECT_FALSE(IsValidFileName(name)) << name;
    EXPECT_FALSE(IsValidFileName(nullptr));
    EXPECT_FALSE(IsValidFileName(kUnreadableText));
}

// The drive or share root of a path, and its directory, which keeps its separator.
TEST(PathNames, DrivesAndDirectories) {
    const char* cases[][2] = {
        {"C:\\dir", "C:"},
        {"C:", "C:"},
        {"rel\\C:x", "rel\\C:"},  // the first colon anywhere
        {"\\\\server\\share\\dir\\x", "\\\\server\\share"},
        {"\\\\server\\share", "\\\\server\\share"},
        {"\\\\server", "\\\\server"},
        {"\\dir\\file", ""},
        {"file", ""},
    };
    for (auto& c : cases)
        EXPECT_STREQ(SplitDrive(c[0]), c[1]) << c[0];
    for (const char* nothing : {"file", static_cast<const char*>(nullptr), kUnreadableText})
        EXPECT_EQ(SplitDrive(nothing).p, str::GetStrNull());

    const char* dirs[][2] = {
        {"C:\\dir\\a.txt", "C:\\dir\\"}, {"C:a.txt", "C:"}, {"\\a", "\\"}, {"a.txt", ""}};
    for (auto& c : dirs)
        EXPECT_STREQ(TFileDir(c[0]), c[1]) << c[0];
    EXPECT_STREQ(TFileDir(nullptr), "");
}

TEST(FileNameJoin, SeparatorsExtensionsAndNullParts) {
    struct Case {
        const char* parts[4];
        const char* joined;
    } cases[] = {
        {{"C:\\dir", "name", ".log"}, "C:\\dir\\name.log"},
        {{"C:\\dir\\", "\\name"}, "C:\\dir\\name"},
        {{"C:\\dir\\", "name"}, "C:\\dir\\name"},
        {{"C:\\dir", "\\name"}, "C:\\dir\\name"},
        {{"C:\\dir", "name.log", ".hst"}, "C:\\dir\\name.hst"},
        {{"", "name", ".ini"}, "name.ini"},
        {{"\\\\?\\", "C:\\x"}, "\\\\?\\C:\\x"},
        {{"a.b", ".c"}, "a.c"},                          // a dot and no backslash at all
        {{"dir.x", "file", ".ini"}, "dir.x\\file.ini"},  // the dot before the name stays
        {{"dir.x\\", ".ini"}, "dir.x\\.ini"},
        {{"a", "", "b"}, "a\\b"},
        {{"a", "b", "c", "d"}, "a\\b\\c\\d"},
        {{"a", "b", "c", ".d"}, "a\\b\\c.d"},
        {{"C:\\", "x"}, "C:\\x"},
        {{"", ""}, ""},
        // A null second part in front of a third counts as empty; likewise a null first part.
        {{"C:\\d", nullptr, ".ini"}, "C:\\d.ini"},
        {{nullptr, "b"}, "b"},
        {{nullptr, nullptr, "c"}, "c"},
        // Otherwise the first null or unreadable part ends the list.
        {{"a", nullptr}, "a"},
        {{"a", "b", nullptr, "d"}, "a\\b"},
        {{nullptr, nullptr}, ""},
        {{"C:\\dir", kUnreadableText, "x"}, "C:\\dir"},
    };
    for (const Case& c : cases) {
        TFileName name(c.parts[0], c.parts[1], c.parts[2], c.parts[3]);
        EXPECT_STREQ(name, c.joined) << c.joined;
    }
}

// A first part that is the whole old text is the fuzz target's join (paths_fuzzer); here the
// parts lie inside the old text or are all of it.
TEST(FileNameJoin, RemakeFromItsOwnText) {
    TFileName name("C:\\dir", "x.hst");
    EXPECT_STREQ(name.Remake(name.p + 3, "y", ".z"), "dir\\x.hst\\y.z");
    EXPECT_STREQ(name.Remake(name, name), "dir\\x.hst\\y.z\\dir\\x.hst\\y.z");
    EXPECT_STREQ(name.Remake("a", "b", "c", "d"), "a\\b\\c\\d");
}

TEST(ModuleNames, FormsOfTheExecutableAgree) {
    std::string full = TModuleName(nullptr).p;
    EXPECT_EQ(full.find('/'), std::string::npos) << full;
    EXPECT_EQ(std::string(TModuleDir(nullptr)) + "\\" + TModuleNameNoPath(nullptr).p, full);
    EXPECT_EQ(std::string(TModuleNameNoPath(nullptr)).rfind("files_tests", 0), 0u);
    EXPECT_STREQ(TModuleNameNoPathExt(nullptr), "files_tests");
    EXPECT_TRUE(existfile(full.c_str()));
    EXPECT_EQ(std::string(TModuleName(GetModuleHandleA(nullptr))), full);
}

// Rows name entries below the test directory; a missing file is as writable as its directory.
TEST(FileQuestions, ExistenceAndWritability) {
    tarn::TestDir dir;
    dir.MakeFile("file.txt", 3);
    dir.MakeFile("readonly.txt");
    dir.MakeReadOnly("readonly.txt");
    dir.MakeDirectory("sub");
    struct Case {
        const char* name;
        bool file, directory, writable;
    } cases[] = {
        {"file.txt", true, false, true},
        {"readonly.txt", true, false, false},
        {"sub", false, true, true},
        {"sub\\", false, true, true},
        {"missing", false, false, true},
        {"sub\\new.txt", false, false, true},
        {"missing\\file.txt", false, false, false},
    };
    for (const Case& c : cases) {
        std::string path = dir.Path(c.name);
        EXPECT_EQ(existfile(path.c_str()), c.file) << c.name;
        EXPECT_EQ(existdirectory(path.c_str()), c.directory) << c.name;
        EXPECT_EQ(writablefile(path.c_str()), c.writable) << c.name;
    }
    EXPECT_TRUE(existdirectory(dir.Path().c_str()));
    // No name asks for the current directory, which exists, but names no file to write.
    for (const char* nothing : {"", static_cast<const char*>(nullptr)}) {
        EXPECT_FALSE(existfile(nothing));
        EXPECT_TRUE(existdirectory(nothing));
        EXPECT_FALSE(writablefile(nothing));
    }
    EXPECT_FALSE(existfile(kUnreadableText) || existdirectory(kUnreadableText));
    // Without a directory part a missing name has nothing to fall back on.
    EXPECT_FALSE(writablefile("tarn-missing-file.txt"));
}

}  // namespace
