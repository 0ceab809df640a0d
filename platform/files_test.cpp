// Files, directories, searches, full paths and the old-style file functions, each test in a
// fresh directory. On Windows the same tests run against the real KERNEL32, which is how the
// POSIX side's Windows rules are checked; the files are also inspected through the C++ library,
// independently of the functions under test.
#include "platform/testing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#if !defined(_WIN32)
#include "platform/posix/syscalls.h"

#include <errno.h>
#endif

namespace {

namespace fs = std::filesystem;

// A call that must fail, and the last error it must leave.
#define EXPECT_FAILS_WITH(failed, code)                    \
    do {                                                   \
        EXPECT_TRUE(failed) << #failed;                    \
        EXPECT_EQ(GetLastError(), DWORD(code)) << #failed; \
    } while (0)

// A fresh directory below the system's temporary directory, removed with all it holds.
class Files : public testing::Test {
protected:
    void SetUp() override {
        // A name no earlier run left behind (process ids are reused).
        static std::atomic<int> count{0};
        do {
            root_ =
                fs::temp_directory_path() / ("tarn-files-" + std::to_string(GetCurrentProcessId()) +
                                             "-" + std::to_string(count++));
        } while (!fs::create_directory(root_));
        dir_ = root_.string();
        std::replace(dir_.begin(), dir_.end(), '/', '\\');
    }

    void TearDown() override {
        std::error_code ignored;
        // Windows will not delete a read-only file.
        for (const auto& entry : fs::recursive_directory_iterator(root_, ignored))
            fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add, ignored);
        fs::remove_all(root_, ignored);
    }

    // The library's name of `relative` (with '\') inside the test directory.
    std::string Path(const std::string& relative) const { return dir_ + "\\" + relative; }
    // The same file for the C++ library.
    fs::path Native(const std::string& relative) const { return root_ / relative; }

    void Make(const std::string& relative, const std::string& content) {
        std::ofstream(Native(relative), std::ios::binary) << content;
    }
    std::string Content(const std::string& relative) const {
        std::ifstream in(Native(relative), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    HANDLE Open(const std::string& relative, DWORD access, DWORD disposition, DWORD flags = 0) {
        return CreateFileA(Path(relative).c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, disposition, flags ? flags : FILE_ATTRIBUTE_NORMAL, nullptr);
    }

    fs::path root_;
    std::string dir_;
};

constexpr DWORD kReadWrite = GENERIC_READ | GENERIC_WRITE;
constexpr DWORD kDirectoryOrReadOnly = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY;

TEST_F(Files, DispositionsAndTheirLastErrors) {
    Make("full.txt", "content");
    Make("kept.txt", "kept");
    constexpr DWORD kAny = ~DWORD(0);
    // The last error after the call (or kAny), and the file's content afterwards (or null).
    struct Case {
        const char* name;
        DWORD access, disposition;
        bool opens;
        DWORD error;
        const char* content;
    } const cases[] = {
        {"new.txt", kReadWrite, CREATE_NEW, true, kAny, ""},
        {"new.txt", kReadWrite, CREATE_NEW, false, ERROR_FILE_EXISTS, nullptr},
        {"full.txt", GENERIC_WRITE, CREATE_ALWAYS, true, ERROR_ALREADY_EXISTS, ""},  // emptied
        {"fresh.txt", GENERIC_WRITE, CREATE_ALWAYS, true, ERROR_SUCCESS, ""},
        {"kept.txt", GENERIC_READ, OPEN_ALWAYS, true, ERROR_ALREADY_EXISTS, "kept"},
        {"made.txt", GENERIC_READ, OPEN_ALWAYS, true, ERROR_SUCCESS, ""},
        {"absent.txt", GENERIC_WRITE, TRUNCATE_EXISTING, false, ERROR_FILE_NOT_FOUND, "<absent>"},
        {"kept.txt", GENERIC_WRITE, TRUNCATE_EXISTING, true, kAny, ""},
        {"nodir\\new.txt", GENERIC_WRITE, CREATE_ALWAYS, false, ERROR_PATH_NOT_FOUND, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " " + std::to_string(c.disposition));
        HANDLE h = Open(c.name, c.access, c.disposition);
        const DWORD error = GetLastError();
        EXPECT_EQ(h != INVALID_HANDLE_VALUE, c.opens);
        EXPECT_EQ(c.error == kAny ? c.error : error, c.error);
        EXPECT_TRUE(h == INVALID_HANDLE_VALUE || CloseHandle(h));
        if (c.content) {
            EXPECT_EQ(fs::exists(Native(c.name)) ? Content(c.name) : "<absent>", c.content);
        }
    }
}

TEST_F(Files, MissingDirectoryIsPathNotFoundMissingFileIsFileNotFound) {
    Make("file.txt", "x");
    const std::pair<const char*, DWORD> cases[] = {
        {"absent.txt", ERROR_FILE_NOT_FOUND},
        {"nodir\\absent.txt", ERROR_PATH_NOT_FOUND},
        {"nodir\\deeper\\absent.txt", ERROR_PATH_NOT_FOUND},
        {"file.txt\\absent.txt", ERROR_PATH_NOT_FOUND}};
    for (const auto& [relative, error] : cases) {
        SCOPED_TRACE(relative);
        const std::string path = Path(relative);
        EXPECT_FAILS_WITH(Open(relative, GENERIC_READ, OPEN_EXISTING) == INVALID_HANDLE_VALUE,
                          error);
        EXPECT_FAILS_WITH(GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES, error);
        EXPECT_FAILS_WITH(!DeleteFileA(path.c_str()), error);
        EXPECT_FAILS_WITH(_lopen(path.c_str(), OF_READ) == HFILE_ERROR, error);
    }
    EXPECT_FAILS_WITH(!CreateDirectoryA(Path("nodir\\sub").c_str(), nullptr), ERROR_PATH_NOT_FOUND);
    EXPECT_FAILS_WITH(GetFileAttributesA("") == INVALID_FILE_ATTRIBUTES, ERROR_PATH_NOT_FOUND);
}

TEST_F(Files, ReadWriteSeekSizeAndTruncate) {
    HANDLE h = Open("data.bin", kReadWrite, CREATE_NEW);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD n = 0, high = 7;
    ASSERT_TRUE(WriteFile(h, "hello world", 11, &n, nullptr));
    EXPECT_EQ(GetFileSize(h, &high), 11u);
    EXPECT_EQ(std::tuple(n, high), std::tuple(11u, 0u));

    const auto read = [&](DWORD size) {
        char buffer[32];
        return ReadFile(h, buffer, size, &n, nullptr) ? std::string(buffer, n) : "<failed>";
    };
    EXPECT_EQ(SetFilePointer(h, 0, nullptr, FILE_BEGIN), 0u);
    EXPECT_EQ(read(5), "hello");
    EXPECT_EQ(SetFilePointer(h, -5, nullptr, FILE_END), 6u);
    EXPECT_EQ(read(32), "world") << "a read stops at the end";
    EXPECT_EQ(read(32), "") << "at the end a read succeeds with nothing";

    EXPECT_FAILS_WITH(SetFilePointer(h, -1, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER,
                      ERROR_NEGATIVE_SEEK);
    EXPECT_EQ(SetFilePointer(h, 0, nullptr, FILE_CURRENT), 11u) << "a failed move stays put";

    // With a high part the distance is 64 bits wide; a low part of all ones is a position,
    // told from a failure by the last error.
    LONG high32 = 1;
    EXPECT_EQ(SetFilePointer(h, 16, &high32, FILE_BEGIN), 16u);
    EXPECT_EQ(high32, 1);
    high32 = 0;
    SetLastError(ERROR_ACCESS_DENIED);
    EXPECT_EQ(SetFilePointer(h, -1, &high32, FILE_BEGIN), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS));
    EXPECT_EQ(high32, 0);

    for (LONG size : {4, 100}) {  // shorter, then longer again
        EXPECT_EQ(SetFilePointer(h, size, nullptr, FILE_BEGIN), DWORD(size));
        EXPECT_TRUE(SetEndOfFile(h));
        EXPECT_EQ(GetFileSize(h, nullptr), DWORD(size));
    }
    EXPECT_TRUE(FlushFileBuffers(h));

    BY_HANDLE_FILE_INFORMATION info;
    ASSERT_TRUE(GetFileInformationByHandle(h, &info));
    EXPECT_EQ(std::tuple(info.nFileSizeLow, info.nFileSizeHigh, info.nNumberOfLinks,
                         info.dwFileAttributes & kDirectoryOrReadOnly),
              std::tuple(DWORD(100), DWORD(0), DWORD(1), DWORD(0)));
    FILETIME now, written;
    GetSystemTimeAsFileTime(&now);
    ASSERT_TRUE(GetFileTime(h, nullptr, nullptr, &written));
    const auto ticks = [](FILETIME t) { return int64_t(t.dwHighDateTime) << 32 | t.dwLowDateTime; };
    EXPECT_EQ(ticks(written), ticks(info.ftLastWriteTime));
    EXPECT_LT(std::abs(ticks(now) - ticks(written)), 60 * 10'000'000LL) << "written just now";
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(Content("data.bin"), std::string("hell") + std::string(96, '\0'));
}

TEST_F(Files, HandlesDoWhatTheirAccessAllows) {
    Make("file.txt", "abc");
    HANDLE reader = Open("file.txt", GENERIC_READ, OPEN_EXISTING);
    HANDLE writer = Open("file.txt", GENERIC_WRITE, OPEN_EXISTING);
    ASSERT_TRUE(reader != INVALID_HANDLE_VALUE && writer != INVALID_HANDLE_VALUE);
    char c;
    DWORD n;
    EXPECT_FAILS_WITH(!WriteFile(reader, "x", 1, &n, nullptr), ERROR_ACCESS_DENIED);
    EXPECT_FAILS_WITH(!ReadFile(writer, &c, 1, &n, nullptr), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(ReadFile(reader, &c, 1, &n, nullptr) && CloseHandle(reader) && CloseHandle(writer));

    EXPECT_FAILS_WITH(!CloseHandle(reader), ERROR_INVALID_HANDLE);  // a closed handle is gone
    EXPECT_FAILS_WITH(!ReadFile(reader, &c, 1, &n, nullptr), ERROR_INVALID_HANDLE);
    EXPECT_TRUE(CloseHandle(GetCurrentProcess())) << "the pseudo-handle closes as nothing";

    // A directory is a file only with backup semantics, and never for writing.
    EXPECT_FAILS_WITH(Open("", GENERIC_READ, OPEN_EXISTING) == INVALID_HANDLE_VALUE,
                      ERROR_ACCESS_DENIED);
    HANDLE directory = Open("", GENERIC_READ, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
    ASSERT_NE(directory, INVALID_HANDLE_VALUE);
    BY_HANDLE_FILE_INFORMATION info;
    EXPECT_TRUE(GetFileInformationByHandle(directory, &info));
    EXPECT_TRUE(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    CloseHandle(directory);
}

TEST_F(Files, HandlesFromManyThreadsAreDistinct) {
    Make("shared.txt", "x");
    constexpr int kThreads = 4, kRounds = 100;
    std::vector<std::vector<HANDLE>> seen(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRounds; ++i) {
                HANDLE h = Open("shared.txt", GENERIC_READ, OPEN_EXISTING);
                char c = 0;
                DWORD n = 0;
                if (ReadFile(h, &c, 1, &n, nullptr) && c == 'x')
                    seen[t].push_back(h);  // kept open, so no handle can be given out twice
            }
        });
    for (std::thread& t : threads)
        t.join();
    std::set<HANDLE> distinct;
    for (const auto& handles : seen)
        distinct.insert(handles.begin(), handles.end());
    EXPECT_EQ(distinct.size(), size_t(kThreads * kRounds)) << "every open worked, each its own";
    EXPECT_FALSE(distinct.count(nullptr));
    for (HANDLE h : distinct)
        EXPECT_TRUE(CloseHandle(h));
}

TEST_F(Files, AttributesReadOnlyFilesAndDirectories) {
    Make("file.txt", "x");
    const std::string file = Path("file.txt");
    EXPECT_EQ(GetFileAttributesA(file.c_str()) & kDirectoryOrReadOnly, 0u);
    EXPECT_TRUE(GetFileAttributesA(dir_.c_str()) & FILE_ATTRIBUTE_DIRECTORY);

    ASSERT_TRUE(SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_TRUE(GetFileAttributesA(file.c_str()) & FILE_ATTRIBUTE_READONLY);
    // Wine run by the superuser writes read-only files; Windows and the POSIX layer do not.
    if (!tarn::RunningOnWineForTesting()) {
        EXPECT_FAILS_WITH(Open("file.txt", GENERIC_WRITE, OPEN_EXISTING) == INVALID_HANDLE_VALUE,
                          ERROR_ACCESS_DENIED);
        // A read-only file is not replaced.
        EXPECT_FAILS_WITH(_lcreat(file.c_str(), 0) == HFILE_ERROR, ERROR_ACCESS_DENIED);
        EXPECT_FAILS_WITH(!DeleteFileA(file.c_str()), ERROR_ACCESS_DENIED);
        EXPECT_EQ(Content("file.txt"), "x");
    }
    ASSERT_TRUE(SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_NORMAL));
    EXPECT_TRUE(DeleteFileA(file.c_str()));
    EXPECT_FALSE(fs::exists(Native("file.txt")));

    // Created read-only: the new handle still writes.
    HANDLE h = Open("ro.txt", GENERIC_WRITE, CREATE_NEW, FILE_ATTRIBUTE_READONLY);
    DWORD n;
    EXPECT_TRUE(WriteFile(h, "ro", 2, &n, nullptr) && CloseHandle(h));
    EXPECT_TRUE(GetFileAttributesA(Path("ro.txt").c_str()) & FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(Content("ro.txt"), "ro");

    // Directories are made and removed by Windows rules.
    const std::string sub = Path("sub");
    ASSERT_TRUE(CreateDirectoryA(sub.c_str(), nullptr));
    EXPECT_FAILS_WITH(!CreateDirectoryA(sub.c_str(), nullptr), ERROR_ALREADY_EXISTS);
    Make("sub/inner.txt", "x");
    EXPECT_FAILS_WITH(!RemoveDirectoryA(sub.c_str()), ERROR_DIR_NOT_EMPTY);
    // A directory is not deleted as a file.
    EXPECT_FAILS_WITH(!DeleteFileA(sub.c_str()), ERROR_ACCESS_DENIED);
    EXPECT_FAILS_WITH(!RemoveDirectoryA(Path("sub\\inner.txt").c_str()), ERROR_DIRECTORY);
    EXPECT_TRUE(DeleteFileA(Path("sub\\inner.txt").c_str()) && RemoveDirectoryA(sub.c_str()));
    EXPECT_FAILS_WITH(!RemoveDirectoryA(sub.c_str()), ERROR_FILE_NOT_FOUND);
}

TEST_F(Files, MoveCopyAndDeleteAlsoWithTheExtendedLengthPrefix) {
    Make("a.txt", "alpha");
    Make("b.txt", "beta");
    Make("e.txt", "a longer text than alpha");
    const std::string a = Path("a.txt"), b = Path("b.txt"), c = Path("c.txt"), d = Path("d.txt"),
                      e = Path("e.txt");
    EXPECT_FAILS_WITH(!MoveFileA(a.c_str(), b.c_str()), ERROR_ALREADY_EXISTS);
    EXPECT_TRUE(MoveFileExA(a.c_str(), b.c_str(), MOVEFILE_REPLACE_EXISTING));
    EXPECT_FAILS_WITH(!MoveFileA(a.c_str(), c.c_str()), ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(MoveFileA(b.c_str(), c.c_str()));
    EXPECT_TRUE(CopyFileA(c.c_str(), d.c_str(), TRUE));
    EXPECT_FAILS_WITH(!CopyFileA(c.c_str(), e.c_str(), TRUE), ERROR_FILE_EXISTS);
    EXPECT_TRUE(CopyFileA(c.c_str(), e.c_str(), FALSE));
    EXPECT_EQ(Content("c.txt") + Content("d.txt") + Content("e.txt"), "alphaalphaalpha");
    EXPECT_EQ(fs::last_write_time(Native("e.txt")), fs::last_write_time(Native("c.txt")));

    EXPECT_TRUE(DeleteFileA(c.c_str()));
    EXPECT_EQ(_unlink(d.c_str()), 0);
    EXPECT_EQ(_unlink(d.c_str()), -1) << "the first call deleted it";
    EXPECT_FALSE(fs::exists(Native("a.txt")) || fs::exists(Native("b.txt")) ||
                 fs::exists(Native("c.txt")) || fs::exists(Native("d.txt")));

    // The extended-length prefix, joined as the library joins it: its backslash stands for a
    // leading one.
    const std::string path = Path("prefixed.txt");
    const std::string name = "\\\\?\\" + path.substr(path[0] == '\\' ? 1 : 0);
    EXPECT_TRUE(
        CloseHandle(CreateFileA(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr)));
    EXPECT_TRUE(fs::exists(Native("prefixed.txt")));
    EXPECT_TRUE(DeleteFileA(name.c_str()));
    EXPECT_FALSE(fs::exists(Native("prefixed.txt")));
}

// The names a search reports, in sorted order; empty when it finds nothing.
std::vector<std::string> Search(const std::string& pattern) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA data;
    HANDLE search = FindFirstFileA(pattern.c_str(), &data);
    if (search == INVALID_HANDLE_VALUE)
        return names;
    do {
        names.push_back(data.cFileName);
    } while (FindNextFileA(search, &data));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_MORE_FILES));
    EXPECT_TRUE(FindClose(search));
    std::sort(names.begin(), names.end());
    return names;
}

using Names = std::vector<std::string>;

TEST_F(Files, SearchesMatchWindowsPatternsAndDescribeTheEntry) {
    Make("a.txt", "12345");
    Make("b.txt", "");
    Make("c.log", "");
    Make("noext", "");
    fs::create_directory(Native("sub"));
    const Names all{".", "..", "a.txt", "b.txt", "c.log", "noext", "sub"}, txt{"a.txt", "b.txt"};
    // "name.*" also finds the bare name; a directory named exactly is itself. A search that
    // finds nothing fails with the error given.
    const std::tuple<const char*, Names, DWORD> searches[] = {
        {"*", all, 0},
        {"*.*", all, 0},
        {"*.txt", txt, 0},
        {"?.txt", txt, 0},
        {"a.*", {"a.txt"}, 0},
        {"noext.*", {"noext"}, 0},
        {"sub", {"sub"}, 0},
        {"*.none", {}, ERROR_FILE_NOT_FOUND},
        {"nodir\\*", {}, ERROR_PATH_NOT_FOUND}};
    for (const auto& [pattern, names, error] : searches) {
        EXPECT_EQ(Search(Path(pattern)), names) << pattern;
        EXPECT_EQ(names.empty() ? GetLastError() : 0, error) << pattern;
    }

    WIN32_FIND_DATAA data;
    HANDLE search = FindFirstFileA(Path("a.txt").c_str(), &data);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    EXPECT_STREQ(data.cFileName, "a.txt");
    EXPECT_STREQ(data.cAlternateFileName, "") << "a short name needs no alternate";
    EXPECT_EQ(uint64_t(data.nFileSizeHigh) << 32 | data.nFileSizeLow, 5u);
    EXPECT_FALSE(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    HANDLE file = Open("a.txt", GENERIC_READ, OPEN_EXISTING);
    FILETIME written;
    EXPECT_TRUE(GetFileTime(file, nullptr, nullptr, &written) && CloseHandle(file));
    EXPECT_EQ(std::memcmp(&data.ftLastWriteTime, &written, sizeof written), 0);
    EXPECT_FALSE(CloseHandle(search)) << "a search is closed by FindClose only";
    EXPECT_TRUE(FindClose(search));

    // The wide forms take UTF-16 names.
    const std::u16string name = std::u16string(dir_.begin(), dir_.end()) + u"\\wide-\u00E4";
    const auto* wideName = reinterpret_cast<const WCHAR*>(name.c_str());
    EXPECT_TRUE(CreateDirectoryW(wideName, nullptr));
    EXPECT_TRUE(GetFileAttributesW(wideName) & FILE_ATTRIBUTE_DIRECTORY);
    WIN32_FIND_DATAW wide;
    search = FindFirstFileW(wideName, &wide);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(wide.cFileName)), u"wide-\u00E4");
    EXPECT_TRUE(wide.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_FALSE(FindNextFileW(search, &wide));
    FindClose(search);
    EXPECT_TRUE(RemoveDirectoryW(wideName));
    EXPECT_FALSE(fs::exists(root_ / fs::path(u"wide-\u00E4")));
}

// Runs each test of full paths inside the test directory.
class FullPaths : public Files {
protected:
    void SetUp() override {
        Files::SetUp();
        char previous[MAX_PATH * 4];
        ASSERT_NE(GetCurrentDirectoryA(sizeof previous, previous), 0u);
        previous_ = previous;
        ASSERT_TRUE(SetCurrentDirectoryA(dir_.c_str()));
    }
    void TearDown() override {
        SetCurrentDirectoryA(previous_.c_str());
        Files::TearDown();
    }

    // GetFullPathNameA's answer, and the file part as text ("<null>" without one).
    std::string Full(const char* name, std::string& filePart) {
        char buffer[MAX_PATH * 4];
        char* part = buffer;
        const DWORD n = GetFullPathNameA(name, sizeof buffer, buffer, &part);
        EXPECT_LT(n, sizeof buffer);
        filePart = part ? part : "<null>";
        return n ? std::string(buffer, n) : "<failed>";
    }

    std::string previous_;
};

TEST_F(FullPaths, CurrentDirectoryAndSizeProtocol) {
    char current[MAX_PATH * 4];
    const DWORD n = GetCurrentDirectoryA(sizeof current, current);
    EXPECT_EQ(std::string(current, n), dir_);
    EXPECT_EQ(GetCurrentDirectoryA(n, current), n + 1) << "no room for the terminator";
    EXPECT_EQ(GetCurrentDirectoryA(0, nullptr), n + 1);
    WCHAR wide[MAX_PATH * 4];
    EXPECT_EQ(GetCurrentDirectoryW(MAX_PATH * 4, wide), n);

    Make("file.txt", "x");
    EXPECT_FAILS_WITH(!SetCurrentDirectoryA(Path("nodir").c_str()), ERROR_FILE_NOT_FOUND);
    EXPECT_FAILS_WITH(!SetCurrentDirectoryA(Path("file.txt").c_str()), ERROR_DIRECTORY);

    const std::string expected = dir_ + "\\file.txt";
    const DWORD length = static_cast<DWORD>(expected.size());
    EXPECT_EQ(GetFullPathNameA("file.txt", 0, nullptr, nullptr), length + 1);
    std::string buffer(length + 8, '#');
    char* part = nullptr;
    EXPECT_EQ(GetFullPathNameA("file.txt", length, buffer.data(), &part), length + 1);
    EXPECT_EQ(buffer[0], '#') << "nothing is written when it does not fit";
    EXPECT_EQ(GetFullPathNameA("file.txt", length + 1, buffer.data(), &part), length);
    EXPECT_EQ(buffer.substr(0, length + 1), expected + '\0');
    EXPECT_EQ(part, buffer.data() + length - 8);
    WCHAR* widePart = nullptr;
    const auto* name = reinterpret_cast<const WCHAR*>(u"file.txt");
    EXPECT_EQ(GetFullPathNameW(name, 0, nullptr, nullptr), length + 1);
    EXPECT_EQ(GetFullPathNameW(name, MAX_PATH * 4, wide, &widePart), length);
    EXPECT_EQ(widePart, wide + length - 8);
}

TEST_F(FullPaths, NamesAreJoinedAndFolded) {
    // Repeated separators are one, a slash separates too, a full name is folded, the files
    // need not exist, folding stops at a share; no file part behind a trailing separator.
    const std::string full = dir_ + "\\x\\..\\y.txt";
    const struct {
        const char* name;
        std::string expected;
        const char* part;
    } cases[] = {{"name.txt", dir_ + "\\name.txt", "name.txt"},
                 {"a\\.\\b\\..\\c.txt", dir_ + "\\a\\c.txt", "c.txt"},
                 {"a\\\\b", dir_ + "\\a\\b", "b"},
                 {"a/b", dir_ + "\\a\\b", "b"},
                 {"a\\b\\", dir_ + "\\a\\b\\", "<null>"},
                 {"a\\..", dir_, nullptr},
                 {full.c_str(), dir_ + "\\y.txt", "y.txt"},
                 {"does\\not\\exist.txt", dir_ + "\\does\\not\\exist.txt", "exist.txt"},
                 {"\\\\server\\share\\a\\..\\b", "\\\\server\\share\\b", "b"},
                 {"\\\\server\\share\\..\\..", "\\\\server\\share\\", nullptr},
                 {"\\\\server\\share", "\\\\server\\share", nullptr}};
    for (const auto& c : cases) {
        std::string part;
        EXPECT_EQ(Full(c.name, part), c.expected) << c.name;
        EXPECT_EQ(c.part ? part : "", c.part ? c.part : "") << c.name;
    }
}

TEST_F(Files, OldStyleFunctionsRoundTrip) {
    const std::string name = Path("old.log");
    HFILE file = _lcreat(name.c_str(), 0);
    ASSERT_NE(file, HFILE_ERROR);
    EXPECT_EQ(_lwrite(file, "abcdef", 6), 6u);
    EXPECT_EQ(_llseek(file, 0, FILE_BEGIN), 0);
    char buffer[16] = {};
    EXPECT_EQ(_lread(file, buffer, sizeof buffer), 6u);
    EXPECT_STREQ(buffer, "abcdef");
    EXPECT_FAILS_WITH(_llseek(file, -1, FILE_BEGIN) == HFILE_ERROR, ERROR_NEGATIVE_SEEK);
    EXPECT_EQ(_llseek(file, 4, FILE_BEGIN), 4);
    EXPECT_EQ(_lwrite(file, "", 0), 0u) << "writing nothing ends the file here";
    EXPECT_EQ(_lclose(file), 0);
    EXPECT_EQ(Content("old.log"), "abcd");

    file = _lopen(name.c_str(), OF_READWRITE | OF_SHARE_DENY_WRITE);
    EXPECT_EQ(_llseek(file, 0, FILE_END), 4);
    EXPECT_EQ(_lwrite(file, "XY", 2), 2u);
    EXPECT_EQ(_lclose(file), 0);
    EXPECT_EQ(Content("old.log"), "abcdXY");

    file = _lopen(name.c_str(), OF_READ);
    EXPECT_EQ(_lwrite(file, "no", 2), UINT(HFILE_ERROR)) << "opened for reading only";
    EXPECT_EQ(_lclose(file), 0);

    EXPECT_EQ(_lclose(_lcreat(name.c_str(), 0)), 0);
    EXPECT_EQ(Content("old.log"), "") << "_lcreat empties an existing file";
    file = _lcreat(Path("ro.log").c_str(), FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(_lwrite(file, "ro", 2), 2u);
    EXPECT_EQ(_lclose(file), 0);
    EXPECT_TRUE(GetFileAttributesA(Path("ro.log").c_str()) & FILE_ATTRIBUTE_READONLY);
}

#if !defined(_WIN32)
// Only the POSIX layer has the seam that makes a system call fail.
TEST_F(Files, SystemCallFailuresReachTheCaller) {
    using tarn::posix::Call;
    using tarn::posix::FailCallForTesting;
    HANDLE h = Open("f.txt", GENERIC_WRITE, CREATE_NEW);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    FailCallForTesting(Call::Write, 1, ENOSPC);
    DWORD n = 99;
    EXPECT_FAILS_WITH(!WriteFile(h, "abc", 3, &n, nullptr), ERROR_DISK_FULL);
    EXPECT_EQ(n, 0u);
    EXPECT_TRUE(WriteFile(h, "abc", 3, &n, nullptr)) << "only the one call failed";
    CloseHandle(h);

    HFILE file = _lopen(Path("f.txt").c_str(), OF_WRITE);
    FailCallForTesting(Call::Write, 1, EIO);
    EXPECT_FAILS_WITH(_lwrite(file, "x", 1) == UINT(HFILE_ERROR), ERROR_IO_DEVICE);
    _lclose(file);

    FailCallForTesting(Call::Open, 1, EMFILE);
    EXPECT_FAILS_WITH(Open("f.txt", GENERIC_READ, OPEN_EXISTING) == INVALID_HANDLE_VALUE,
                      ERROR_TOO_MANY_OPEN_FILES);
    FailCallForTesting(Call::Open, 1, EACCES);
    EXPECT_FAILS_WITH(_lopen(Path("f.txt").c_str(), OF_READ) == HFILE_ERROR, ERROR_ACCESS_DENIED);
    EXPECT_EQ(Content("f.txt"), "abc");
}
#endif

}  // namespace
