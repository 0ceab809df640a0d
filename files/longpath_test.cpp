// Long-path wrappers: extended-length names, wide texts, the wrappers' answers and errors on
// ordinary and very long paths, directory trees, modules, searches, full paths and the current
// directory.
#include "tarnkernl/files.h"

#include "files/longpath.h"
#include "files/testdir.h"
#include "platform/win32.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <set>
#include <string>

namespace {

using tarn::kUnreadableText;

constexpr unsigned long kInvalid = 0xFFFFFFFF;  // no attributes

// The error of a call that failed; 0 for one that did not.
DWORD FailedWith(bool failed) { return failed ? GetLastError() : 0; }

std::string Narrow(const WCHAR* text) {
    str narrow;
    narrow.Set(text);
    return narrow.p;
}

TEST(LongNames, ExtendedLengthForm) {
    EXPECT_STREQ(UNCFileName("C:\\x"), "\\\\?\\C:\\x");
    EXPECT_STREQ(UNCFileName("\\\\server\\share\\x"), "\\\\?\\UNC\\server\\share\\x");
    EXPECT_STREQ(UNCFileName("rel\\x"), "\\\\?\\rel\\x");  // no check that it is absolute
    EXPECT_STREQ(UNCFileName(""), "\\\\?\\");
    EXPECT_EQ(UNCFileName(nullptr).p, str::GetStrNull());
    EXPECT_STREQ(UNCFileName(kUnreadableText), "\\\\?\\");
}

TEST(LongNames, WideTexts) {
    UNICODE_Str text("abc");
    EXPECT_EQ(Narrow(text), "abc");

    // The block holds at least the requested characters, zero behind the text.
    UNICODE_Str room("ab", 40);
    EXPECT_EQ(Narrow(room), "ab");
    EXPECT_EQ(std::count(room.p + 2, room.p + 40, 0), 38);

    const WCHAR* old = text.p;
    const WCHAR* replaced = text("longer text");
    EXPECT_EQ(replaced, text.p);
    EXPECT_NE(replaced, old);
    EXPECT_EQ(Narrow(text), "longer text");

    for (const char* nothing : {static_cast<const char*>(nullptr), "", kUnreadableText}) {
        UNICODE_Str empty(nothing);
        ASSERT_NE(empty.p, nullptr);
        EXPECT_EQ(empty.p[0], 0);
    }
}

TEST(LongNames, FindDataKeepsNamesThatFitElseTheShortName) {
    WIN32_FIND_DATAW wide{};
    wide.dwFileAttributes = FILE_ATTRIBUTE_ARCHIVE;
    wide.ftCreationTime = {1, 2};
    wide.ftLastAccessTime = {3, 4};
    wide.ftLastWriteTime = {5, 6};
    wide.nFileSizeHigh = 7;
    wide.nFileSizeLow = 8;
    const char shortName[] = "AAAAAA~1.TXT";
    std::copy(shortName, shortName + sizeof shortName, wide.cAlternateFileName);

    // 258 characters and the terminator fit into the 8-bit record's 260 bytes; 259 do not.
    for (int length : {1, 258, 259}) {
        std::fill(wide.cFileName, wide.cFileName + length, 'a');
        wide.cFileName[length] = 0;
        WIN32_FIND_DATAA data;
        memset(&data, 0x55, sizeof data);
        tarn::ConvertFindData(wide, data);
        // The fields before the reserved ones and the names are laid out alike in both records.
        EXPECT_EQ(memcmp(&data, &wide, offsetof(WIN32_FIND_DATAA, dwReserved0)), 0);
        EXPECT_STREQ(data.cAlternateFileName, shortName);
        EXPECT_EQ(std::string(data.cFileName), length < 259 ? std::string(length, 'a') : shortName);
    }
}

class LongPaths : public ::testing::Test {
protected:
    // A path of `levels` directories of 60 characters below the test directory.
    std::string Deep(int levels) const {
        std::string path = dir.Path();
        for (int i = 0; i < levels; ++i)
            path += "\\" + std::string(58, 'd') + std::to_string(10 + i);
        return path;
    }

    tarn::TestDir dir;
};

// Where both the 8-bit and the wide call fail, the error of the wide call stands.
TEST_F(LongPaths, OneLevelAndTheErrors) {
    std::string sub = dir.Path("sub");
    EXPECT_TRUE(UNI_CreateDirectory(sub.c_str()));
    EXPECT_TRUE(UNI_GetFileAttributes(sub.c_str()) & FILE_ATTRIBUTE_DIRECTORY);
    dir.MakeFile("file.txt");
    std::string file = dir.Path("file.txt");
    unsigned long attributes = UNI_GetFileAttributes(file.c_str());
    ASSERT_NE(attributes, kInvalid);
    EXPECT_FALSE(attributes & FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_TRUE(UNI_DeleteFile(file.c_str()));
    EXPECT_FALSE(existfile(file.c_str()));

    EXPECT_EQ(FailedWith(UNI_GetFileAttributes(dir.Path("missing.txt").c_str()) == kInvalid),
              DWORD(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(FailedWith(UNI_GetFileAttributes(dir.Path("missing\\x.txt").c_str()) == kInvalid),
              DWORD(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(FailedWith(!UNI_CreateDirectory(sub.c_str())), DWORD(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(FailedWith(!UNI_CreateDirectory(dir.Path("missing\\sub").c_str(), nullptr)),
              DWORD(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(FailedWith(!UNI_DeleteFile(file.c_str())), DWORD(ERROR_FILE_NOT_FOUND));

    // No name at all is answered without asking the system.
    SetLastError(12345);
    EXPECT_EQ(UNI_GetFileAttributes(""), kInvalid);
    EXPECT_EQ(UNI_GetFileAttributes(nullptr), kInvalid);
    EXPECT_EQ(GetLastError(), 12345u);
    EXPECT_EQ(UNI_GetFileAttributes(kUnreadableText), kInvalid);
}

// A relative name whose 8-bit call failed is retried below the current directory, never read
// from the root: a file of the test directory, named without its root, is not found from an
// empty current directory, and nothing is made or removed beside it.
TEST_F(LongPaths, ARelativeNameIsRetriedBelowTheCurrentDirectory) {
    dir.MakeFile("present.txt");
    dir.MakeDirectory("cwd");
    auto fromRoot = [&](const char* name) {
        std::string full = dir.Path(name);
        return full.substr(full.find('\\') + 1);
    };
    char saved[MAX_PATH];
    ASSERT_NE(GetCurrentDirectoryA(MAX_PATH, saved), 0u);
    ASSERT_TRUE(SetCurrentDirectoryA(dir.Path("cwd").c_str()));
    EXPECT_EQ(UNI_GetFileAttributes(fromRoot("present.txt").c_str()), kInvalid);
    EXPECT_FALSE(UNI_DeleteFile(fromRoot("present.txt").c_str()));
    EXPECT_FALSE(UNI_CreateDirectory(fromRoot("made").c_str()));
    WIN32_FIND_DATAA data;
    EXPECT_EQ(UNI_FindFirstFile(fromRoot("*.txt").c_str(), &data), INVALID_HANDLE_VALUE);
    TFileHandle file;
    EXPECT_FALSE(file.open(fromRoot("opened.txt").c_str(), GENERIC_WRITE, CREATE_ALWAYS));
    ASSERT_TRUE(SetCurrentDirectoryA(saved));
    EXPECT_TRUE(existfile(dir.Path("present.txt").c_str()));
    EXPECT_FALSE(existdirectory(dir.Path("made").c_str()));
    EXPECT_FALSE(existfile(dir.Path("opened.txt").c_str()));
}

TEST_F(LongPaths, CreateDirectoriesMakesTheMissingLevels) {
    dir.MakeDirectory("a");
    std::string deepest = dir.Path("a\\b\\c");
    ASSERT_TRUE(CreateDirectories(deepest.c_str()));
    EXPECT_TRUE(existdirectory(dir.Path("a\\b").c_str()));
    EXPECT_TRUE(existdirectory(deepest.c_str()));
    // Nothing is missing any more.
    EXPECT_FALSE(CreateDirectories(deepest.c_str()));
    EXPECT_FALSE(CreateDirectories((deepest + "\\").c_str()));

    // A trailing separator names the same directory; every level below an existing one is made.
    std::string other = dir.Path("x\\y\\z\\");
    EXPECT_TRUE(CreateDirectories(other.c_str(), nullptr));
    EXPECT_TRUE(existdirectory(dir.Path("x\\y\\z").c_str()));

    // A level that exists as a file cannot be made into a directory.
    dir.MakeFile("f");
    EXPECT_FALSE(CreateDirectories(dir.Path("f\\g").c_str()));
    EXPECT_FALSE(existdirectory(dir.Path("f\\g").c_str()));

    EXPECT_FALSE(CreateDirectories(nullptr));
}

TEST_F(LongPaths, PathsBeyondTheShortLimit) {
    std::string deep = Deep(5);
    ASSERT_GT(deep.size(), 300u);
    for (int levels = 1; levels <= 5; ++levels)
        ASSERT_TRUE(UNI_CreateDirectory(Deep(levels).c_str())) << levels;
    EXPECT_TRUE(existdirectory(deep.c_str()));
    EXPECT_TRUE(writablefile((deep + "\\new.txt").c_str()));

    std::string deeper = Deep(7);
    EXPECT_TRUE(CreateDirectories(deeper.c_str()));
    EXPECT_TRUE(existdirectory(deeper.c_str()));

    // A search for the deep directory's own name finds it.
    WIN32_FIND_DATAA data;
    HANDLE search = UNI_FindFirstFile(Deep(6).c_str(), &data);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    EXPECT_EQ(std::string(data.cFileName), std::string(58, 'd') + "15");
    EXPECT_TRUE(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    FindClose(search);

    // Full names come back in the ordinary form.
    char buffer[1024];
    char* part = nullptr;
    unsigned long length = UNI_GetFullPathName(deeper.c_str(), sizeof buffer, buffer, &part);
    EXPECT_EQ(length, deeper.size());
    EXPECT_EQ(std::string(buffer), deeper);
    ASSERT_NE(part, nullptr);
    EXPECT_EQ(std::string(part), std::string(58, 'd') + "16");
    str full;
    EXPECT_EQ(UNI_GetFullPathName(deeper.c_str(), full), deeper.size());
    EXPECT_EQ(std::string(full), deeper);
    EXPECT_EQ(std::string(TFullName(deeper.c_str())), deeper);

    std::string share = "\\\\server\\share\\" + std::string(300, 's');
    EXPECT_EQ(UNI_GetFullPathName(share.c_str(), sizeof buffer, buffer, nullptr), share.size());
    EXPECT_EQ(std::string(buffer), share);

    // A module loaded from the deep directory names itself whole. Windows' 8-bit call stops at
    // the short limit; the wide one takes the extended-length name.
    std::string copy = deep.substr(dir.Path().size() + 1) + "/module.dll";
    std::replace(copy.begin(), copy.end(), '\\', '/');
    dir.CopyIn(TARN_FILES_TEST_MODULE, copy);
    std::string name = deep + "\\module.dll";
    HINSTANCE module = LoadLibraryA(name.c_str());
    if (!module)
        module = LoadLibraryW(UNICODE_Str(UNCFileName(name.c_str())));
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(std::string(TModuleName(module)), name);
    EXPECT_EQ(std::string(TModuleDir(module)), deep);
    EXPECT_STREQ(TModuleNameNoPath(module), "module.dll");
    EXPECT_STREQ(TModuleNameNoPathExt(module), "module");
    FreeLibrary(module);
}

TEST_F(LongPaths, SearchesReportEveryEntry) {
    dir.MakeFile("a.txt", 10);
    dir.MakeFile("b.txt", 20);
    dir.MakeFile("c.log", 30);
    dir.MakeDirectory("sub.txt");

    // The entries' fields are the system search's, checked with it in the platform tests.
    std::set<std::string> names;
    WIN32_FIND_DATAA data;
    HANDLE search = UNI_FindFirstFile(dir.Path("*.txt").c_str(), &data);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    do {
        names.insert(data.cFileName);
    } while (UNI_FindNextFile(search, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
    // Asked again at the end, the search still has nothing more.
    EXPECT_FALSE(UNI_FindNextFile(search, &data));
    FindClose(search);
    EXPECT_EQ(names, (std::set<std::string>{"a.txt", "b.txt", "sub.txt"}));

    EXPECT_EQ(UNI_FindFirstFile(dir.Path("*.none").c_str(), &data), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(UNI_FindFirstFile(dir.Path("missing\\*").c_str(), &data), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

TEST(FullPaths, FullNamesAndTheCurrentDirectoryAgreeWithTheSystemCalls) {
    for (const char* name : {"x.txt", ".", "a\\..\\b\\.\\c.txt", "dir\\"}) {
        char system[1024];
        char* systemPart = nullptr;
        unsigned long expected = GetFullPathNameA(name, sizeof system, system, &systemPart);
        ASSERT_GT(expected, 0u) << name;
        char buffer[1024];
        char* part = nullptr;
        EXPECT_EQ(UNI_GetFullPathName(name, sizeof buffer, buffer, &part), expected) << name;
        EXPECT_STREQ(buffer, system);
        EXPECT_EQ(part ? part - buffer : -1, systemPart ? systemPart - system : -1) << name;
        // Too small a buffer: the size needed, terminator included.
        EXPECT_EQ(UNI_GetFullPathName(name, 2, buffer, nullptr), expected + 1) << name;
        EXPECT_EQ(UNI_GetFullPathName(name, 0, nullptr, nullptr), expected + 1) << name;
    }

    char system[1024];
    DWORD expected = GetCurrentDirectoryA(sizeof system, system);
    ASSERT_GT(expected, 0u);
    char buffer[1024];
    EXPECT_EQ(UNI_GetCurrentDirectory(sizeof buffer, buffer), expected);
    EXPECT_STREQ(buffer, system);
    EXPECT_EQ(UNI_GetCurrentDirectory(0, nullptr), expected + 1);
    EXPECT_EQ(UNI_GetCurrentDirectory(2, buffer), expected + 1);
}

}  // namespace
