// The profile functions (INI files). Under Wine the same tests run against the real KERNEL32
// functions, which is how the POSIX rules are checked.
#include "platform/testing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#if !defined(_WIN32)
#include "platform/posix/syscalls.h"
#include "tarnkernl/tarnrt.h"

#include <errno.h>
#endif

namespace {

using namespace std::string_literals;
namespace fs = std::filesystem;
using WideString = std::basic_string<WCHAR>;

WideString Wide(const std::string& text, UINT codePage = CP_UTF8) {
    WideString wide(text.size(), WCHAR(0));
    wide.resize(MultiByteToWideChar(codePage, 0, text.data(), int(text.size()), wide.data(),
                                    int(wide.size())));
    return wide;
}

std::string Ansi(const WideString& wide) {
    std::string text(wide.size() * 3, '\0');
    text.resize(WideCharToMultiByte(CP_ACP, 0, wide.data(), int(wide.size()), text.data(),
                                    int(text.size()), nullptr, nullptr));
    return text;
}

// A text as a UTF-16 file's bytes: the byte-order mark, then little-endian units.
std::string Utf16File(const std::string& text) {
    std::string bytes = "\xFF\xFE";
    for (WCHAR unit : Wide(text))
        bytes += {char(unit & 0xFF), char(unit >> 8)};
    return bytes;
}

// Each test works in a fresh directory and names its files with full paths, as the library does.
class Profile : public ::testing::Test {
protected:
    void SetUp() override {
        static int serial = 0;
        dir_ = fs::temp_directory_path() / ("profile-" + std::to_string(GetCurrentProcessId()) +
                                            "-" + std::to_string(++serial));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    // The library's spelling of a file of the directory: with backslashes on every system.
    std::string Path(const std::string& name = "test.ini") const {
        std::string path = (dir_ / name).string();
        std::replace(path.begin(), path.end(), '/', '\\');
        return path;
    }
    void Put(const std::string& bytes, const std::string& name = "test.ini") const {
        std::ofstream(dir_ / name, std::ios::binary) << bytes;
    }
    std::string Contents(const std::string& name = "test.ini") const {
        std::ifstream in(dir_ / name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    // GetPrivateProfileStringA into a buffer of `size`: the text up to the count it answers,
    // which must be followed by a zero inside the buffer.
    std::string Get(const char* section, const char* key, const char* defaultValue = "dflt",
                    DWORD size = 256, const std::string& name = "test.ini") const {
        std::vector<char> buffer(size + 1, '#');
        const DWORD n = GetPrivateProfileStringA(section, key, defaultValue, buffer.data(), size,
                                                 Path(name).c_str());
        EXPECT_LT(n, size);
        EXPECT_EQ(buffer[n], '\0');
        return std::string(buffer.data(), std::min(n, size));
    }
    WideString GetW(const char* section, const char* key, DWORD size = 256,
                    const std::string& name = "test.ini") const {
        std::vector<WCHAR> buffer(size + 1, WCHAR('#'));
        const DWORD n =
            GetPrivateProfileStringW(Wide(section).c_str(), Wide(key).c_str(), Wide("dflt").c_str(),
                                     buffer.data(), size, Wide(Path(name)).c_str());
        EXPECT_LT(n, size);
        EXPECT_EQ(buffer[n], WCHAR(0));
        return WideString(buffer.data(), std::min(n, size));
    }
    BOOL Set(const char* section, const char* key, const char* value,
             const std::string& name = "test.ini") const {
        return WritePrivateProfileStringA(section, key, value, Path(name).c_str());
    }

    fs::path dir_;
};

TEST_F(Profile, ReadsNamesAndValuesByTheRules) {
    struct Line {
        const char* text;
        const char* key;
        const char* value;
    } const lines[] = {
        {"Key=Value", "KEY", "Value"},
        {"  spaced key  =   spaced value   ", " Spaced Key\t", "spaced value"},
        {"tabbed\t=\tvalue\t", "tabbed", "value"},
        {"double=\"quoted\"", "double", "quoted"},
        {"single='quoted'", "single", "quoted"},
        {"mixed=\"mis'", "mixed", "\"mis'"},
        {"half=\"half", "half", "\"half"},
        {"inner=a \"b\" c", "inner", "a \"b\" c"},
        {"blanks= \"  in  \"  ", "blanks", "  in  "},
        {"equals=a=b", "equals", "a=b"},
        {"semicolon=val ; more", "semicolon", "val ; more"},
        {"no equals sign", "no equals sign", "dflt"},
        {"Dup=first", "dup", "first"},
        {"dup=second", "DUP", "first"},
        {"empty=", "empty", ""},  // an empty value is not absent
    };
    std::string file = "; first line\r\n[Sec]\r\n";
    for (const Line& line : lines)
        file += line.text + "\r\n"s;
    Put(file + "[ Spaced Section ] after\r\nk=v\r\n[sec]\r\nlate=1\r\n");
    for (const Line& line : lines)
        EXPECT_EQ(Get("Sec", line.key), line.value) << line.text;
    EXPECT_EQ(Get(" SEC\t", "key"), "Value");
    EXPECT_EQ(Get("spaced section", "k"), "v");
    EXPECT_EQ(Get("Sec", "late"), "dflt") << "a later section of the same name is not read";

    // Absent keys, sections and files give the default: trailing blanks and quotes removed.
    const std::tuple<const char*, const char*, const char*, const char*, const char*> absent[] = {
        {"Other", "Key", "dflt", "test.ini", "dflt"},
        {"Sec", "absent", nullptr, "test.ini", ""},
        {"Sec", "absent", "dflt   ", "test.ini", "dflt"},
        {"Sec", "absent", "  lead", "test.ini", "  lead"},
        {"Sec", "absent", "\"quoted\"", "test.ini", "quoted"},
        {"Sec", "Key", "dflt", "missing.ini", "dflt"},
        {"Sec", "Key", "dflt", "missing\\test.ini", "dflt"},
        {nullptr, nullptr, "dflt", "missing.ini", ""}};
    for (const auto& [section, key, defaultValue, name, expected] : absent)
        EXPECT_EQ(Get(section, key, defaultValue, 256, name), expected) << name << " " << key;
}

TEST_F(Profile, ValuesDefaultsAndLongValuesAreCutToTheBuffer) {
    Put("[S]\r\nKey=Value\r\nq=\"quoted\"\r\n");
    for (DWORD size : {1, 2, 5, 6, 7}) {
        SCOPED_TRACE(size);
        EXPECT_EQ(Get("S", "Key", "d", size), std::string("Value").substr(0, size - 1));
        EXPECT_EQ(Get("S", "absent", "Default", size), std::string("Default").substr(0, size - 1));
    }
    EXPECT_EQ(Get("S", "q", "d", 4), "quo");
    char untouched = '#';
    EXPECT_EQ(GetPrivateProfileStringA("S", "Key", "d", &untouched, 0, Path().c_str()), 0u);
    EXPECT_EQ(untouched, '#');

    // The library reads with 256 characters and doubles the buffer while the answer fills it.
    for (size_t length : {300, 5000}) {
        SCOPED_TRACE(length);
        std::string value(length, 'x');
        value.front() = 'A';
        value.back() = 'Z';
        ASSERT_TRUE(Set("S", "long", value.c_str()));
        EXPECT_EQ(Get("S", "long", "d", DWORD(length)), value.substr(0, length - 1));
        EXPECT_EQ(Get("S", "long", "d", DWORD(length + 1)), value);
        EXPECT_EQ(GetW("S", "long", 256), Wide(value.substr(0, 255)));
    }
}

TEST_F(Profile, SectionsKeysAndLinesAreListed) {
    Put("top=0\r\n[One]\r\na=1\r\n; comment=x\r\nstray\r\n B = 2\r\n[Two]\r\n");
    EXPECT_EQ(Get(nullptr, nullptr), "One\0Two\0"s);
    EXPECT_EQ(Get(nullptr, "ignored", "d", 10), "One\0Two\0"s);
    EXPECT_EQ(Get(nullptr, nullptr, "d", 9), "One\0Two"s) << "a full list needs a unit to spare";
    EXPECT_EQ(Get(nullptr, nullptr, "d", 6), "One\0"s);
    EXPECT_EQ(Get(nullptr, nullptr, "d", 5), "One");
    EXPECT_EQ(Get("one", nullptr), "a\0B\0"s);
    EXPECT_EQ(Get("one", nullptr, "d", 4), "a\0"s);

    // A section's lines, as they stand but trimmed; no comments.
    Put("[S]\r\n  a = 1 \r\n; comment\r\nb=\"q\"\r\nstray\r\n[T]\r\nc=3\r\n");
    std::vector<char> buffer(64, '#');
    DWORD n = GetPrivateProfileSectionA("s", buffer.data(), 64, Path().c_str());
    EXPECT_EQ(std::string(buffer.data(), n + 1), "a=1\0b=\"q\"\0stray\0\0"s);
    n = GetPrivateProfileSectionA("S", buffer.data(), 6, Path().c_str());
    EXPECT_EQ(std::string(buffer.data(), n + 1), "a=1\0\0"s);
    EXPECT_EQ(GetPrivateProfileSectionA("Absent", buffer.data(), 64, Path().c_str()), 0u);
    EXPECT_EQ(buffer[0], '\0');
}

TEST_F(Profile, WritesChangeOrRemoveOnlyTheirLinesAndEndThemInCrLf) {
    Put("; head\r\n[One]\r\na=1\r\n; mid\r\nstray line\r\n[Two]\r\nb=2\r\n");
    ASSERT_TRUE(Set("one", "A", "changed") && Set("One", "new", "1") && Set("Three", "c", "3") &&
                Set("TWO", "b", ""));
    EXPECT_EQ(Contents(),
              "; head\r\n[One]\r\na=changed\r\n; mid\r\nstray line\r\nnew=1\r\n"
              "[Two]\r\nb=\r\n[Three]\r\nc=3\r\n");

    ASSERT_TRUE(Set(" Four\t", " padded ", "  p  ") && Set("Four", "quoted", "\"x y\""));
    EXPECT_EQ(Get("Four", "padded"), "p");
    EXPECT_EQ(Get("Four", "quoted"), "x y");

    // Line ends are read in every form and written as CR LF.
    for (const char* bytes : {"[S]\ra=1\rb=2\r", "[S]\na=1\nb=2"}) {
        Put(bytes, "ends.ini");
        EXPECT_EQ(Get("S", "b", "d", 256, "ends.ini"), "2");
        ASSERT_TRUE(Set("S", "c", "3", "ends.ini"));
        EXPECT_EQ(Contents("ends.ini"), "[S]\r\na=1\r\nb=2\r\nc=3\r\n");
    }

    // A null value removes the key, a null key the section.
    Put("[One]\r\na=1\r\nb=2\r\n[Two]\r\n; about two\r\nc=3\r\nstray\r\n[Three]\r\nd=4\r\n");
    ASSERT_TRUE(Set("One", "A", nullptr) && Set("two", nullptr, nullptr));
    EXPECT_EQ(Contents(), "[One]\r\nb=2\r\n[Three]\r\nd=4\r\n");
    ASSERT_TRUE(Set("Three", nullptr, "ignored"));
    EXPECT_EQ(Contents(), "[One]\r\nb=2\r\n");

    // Removing what is not there succeeds and makes no file.
    EXPECT_TRUE(Set("One", "absent", nullptr) && Set("Absent", nullptr, nullptr));
    EXPECT_EQ(Contents(), "[One]\r\nb=2\r\n");
    EXPECT_TRUE(Set("S", "k", nullptr, "never.ini") && Set("S", nullptr, nullptr, "never.ini"));
    EXPECT_FALSE(fs::exists(dir_ / "never.ini"));
}

TEST_F(Profile, WritesThatCannotBeDoneFail) {
    SetLastError(0);
    EXPECT_FALSE(Set("S", "k", "v", "missing\\test.ini"));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_PATH_NOT_FOUND));
    EXPECT_FALSE(fs::exists(dir_ / "missing"));
    EXPECT_FALSE(Set(nullptr, "k", "v"));
    EXPECT_FALSE(fs::exists(dir_ / "test.ini"));

    // Wine run by the superuser opens a read-only file for writing, so it writes the file.
    if (tarn::RunningOnWineForTesting())
        return;
    Put("[S]\r\nk=old\r\n");
    fs::permissions(dir_ / "test.ini",
                    fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    EXPECT_FALSE(Set("S", "k", "new"));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    fs::permissions(dir_ / "test.ini", fs::perms::owner_write, fs::perm_options::add);
    EXPECT_EQ(Contents(), "[S]\r\nk=old\r\n");
}

TEST_F(Profile, Utf16AndUtf8FilesAreRead) {
    const WideString value = Wide("v\xC3\xA9");  // "vé"
    const std::string body = "[S]\r\nk=v\xC3\xA9\r\n";
    Put(Utf16File(body), "utf16.ini");
    Put("\xEF\xBB\xBF" + body, "utf8mark.ini");
    for (const char* name : {"utf16.ini", "utf8mark.ini"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(GetW("S", "k", 256, name), value);
        EXPECT_EQ(Get("S", "k", "d", 256, name), Ansi(value));
    }
    // Without a mark the file is in the ANSI code page: its bytes for the A function.
    Put(body, "plain.ini");
    EXPECT_EQ(Get("S", "k", "d", 256, "plain.ini"), "v\xC3\xA9");
    EXPECT_EQ(GetW("S", "k", 256, "plain.ini"), Wide("v\xC3\xA9", CP_ACP));

    ASSERT_TRUE(Set("S", "n", "w", "utf16.ini"));
    EXPECT_EQ(Contents("utf16.ini"), Utf16File(body + "n=w\r\n")) << "the file stays UTF-16";

    ASSERT_TRUE(WritePrivateProfileStringW(Wide("S").c_str(), Wide("wide").c_str(), value.c_str(),
                                           Wide(Path("utf16.ini")).c_str()));
    EXPECT_EQ(GetW("S", "wide", 256, "utf16.ini"), value);
}

TEST_F(Profile, IntegersAreReadAsDecimalOrHexadecimal) {
    Put("[I]\r\na=12abc\r\nb= 42 \r\nc=-5\r\nd=+7\r\ne=0x1f\r\nf=\"9\"\r\ng=\r\nh=abc\r\n");
    const std::pair<const char*, UINT> expected[] = {{"a", 12}, {"b", 42}, {"c", UINT(-5)},
                                                     {"d", 7},  {"e", 31}, {"f", 9},
                                                     {"g", 77}, {"h", 0},  {"absent", 77}};
    for (const auto& [key, value] : expected)
        EXPECT_EQ(GetPrivateProfileIntA("I", key, 77, Path().c_str()), value) << key;
}

TEST_F(Profile, WritesFromThreadsAtOnceAreAllKept) {
    constexpr int kThreads = 4, kKeys = 15;
    const auto key = [](int t, int k) { return std::to_string(t) + "-" + std::to_string(k); };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int k = 0; k < kKeys; ++k)
                Set("S", key(t, k).c_str(), key(t, k).c_str());
        });
    for (std::thread& thread : threads)
        thread.join();
    for (int t = 0; t < kThreads; ++t)
        for (int k = 0; k < kKeys; ++k)
            EXPECT_EQ(Get("S", key(t, k).c_str()), key(t, k));
}

#if !defined(_WIN32)
using tarn::posix::Call;

// Whatever step of a write fails, the caller gets the system's reason. That the file stays as it
// was, whichever call fails, tests/failure_sweep_posix_test.cpp checks.
TEST_F(Profile, FailedWriteReportsTheReason) {
    const std::string before = "[S]\r\nk=old\r\n";
    Put(before);
    // nth: reading the file opens and closes it first.
    struct Failure {
        Call call;
        int nth, error;
        DWORD code;
    };
    for (const Failure failure : {Failure{Call::Open, 2, EACCES, ERROR_ACCESS_DENIED},
                                  Failure{Call::Write, 1, ENOSPC, ERROR_DISK_FULL},
                                  Failure{Call::Close, 2, EIO, ERROR_IO_DEVICE},
                                  Failure{Call::Rename, 1, EXDEV, ERROR_NOT_SAME_DEVICE},
                                  Failure{Call::Access, 1, EACCES, ERROR_ACCESS_DENIED}}) {
        SCOPED_TRACE(int(failure.call));
        tarn::posix::FailCallForTesting(failure.call, failure.nth, failure.error);
        EXPECT_FALSE(Set("S", "k", "new"));
        EXPECT_EQ(GetLastError(), failure.code);
        tarn::posix::ResetCallFailuresForTesting();
    }
    EXPECT_TRUE(Set("S", "k", "new"));
    EXPECT_EQ(Get("S", "k"), "new");
}

// A fault on caller memory reaches the caller as the translator's exception; the next write
// still gets the process's write lock.
TEST_F(Profile, FaultOnCallerMemoryReachesTheCaller) {
    Put("[S]\r\nk=old\r\n");
    tarn::GuardedPagesForTesting pages;
    ASSERT_NE(pages.Begin(), nullptr);
    const tarnrtl_Translator previous = tarnrtl_SetTranslator(
        [](unsigned int code, _EXCEPTION_POINTERS*) { throw static_cast<unsigned long>(code); });
    EXPECT_THROW(GetPrivateProfileStringA("S", "k", "", pages.Guard() - 2, 16, Path().c_str()),
                 unsigned long);
    EXPECT_THROW(Set("S", "k", pages.AtTheEnd("new", false)), unsigned long);
    EXPECT_THROW(Get("S", pages.Guard()), unsigned long);
    tarnrtl_SetTranslator(previous);
    EXPECT_EQ(Contents(), "[S]\r\nk=old\r\n");
    EXPECT_TRUE(Set("S", "k", "new"));
    EXPECT_EQ(Get("S", "k"), "new");
}

TEST_F(Profile, BareNameIsAFileOfTheCurrentDirectoryAndLinksStayLinks) {
    const fs::path previous = fs::current_path();
    fs::current_path(dir_);
    const BOOL written = WritePrivateProfileStringA("S", "k", "bare", "bare.ini") &&
                         WritePrivateProfileStringA("S", "k", "unnamed", nullptr);
    fs::current_path(previous);
    EXPECT_TRUE(written);
    EXPECT_EQ(Get("S", "k", "d", 256, "bare.ini"), "bare");
    EXPECT_EQ(Get("S", "k", "d", 256, "win.ini"), "unnamed");

    fs::create_symlink(dir_ / "bare.ini", dir_ / "link.ini");
    ASSERT_TRUE(Set("S", "k", "through the link", "link.ini"));
    EXPECT_TRUE(fs::is_symlink(dir_ / "link.ini"));
    EXPECT_EQ(Get("S", "k", "d", 256, "bare.ini"), "through the link");
}
#endif

}  // namespace
