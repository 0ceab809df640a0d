// Resources of a module and of a data module, read through the resource functions. Both come
// from resources_test.rc; on Windows the same tests run against the real KERNEL32 and USER32,
// so the bytes checked here are the ones the system itself gives.
#include "platform/win32.h"
#include "tarnkernl/tarnrt.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

Bytes ResourceBytes(HMODULE module, LPCSTR name, LPCSTR type) {
    HRSRC found = FindResourceA(module, name, type);
    if (!found)
        return {};
    const auto* data = static_cast<const unsigned char*>(LockResource(LoadResource(module, found)));
    return Bytes(data, data + SizeofResource(module, found));
}

std::string String(HMODULE module, UINT id, int size = 256) {
    std::string buffer(size_t(size), '\x7f');
    const int n = LoadStringA(module, id, buffer.data(), size);
    EXPECT_EQ(buffer[size_t(n)], '\0') << id;
    return buffer.substr(0, size_t(n));
}

// The non-ASCII text in the code page the ANSI functions give.
std::string Ansi(const WCHAR* wide) {
    char text[64];
    const int n = WideCharToMultiByte(CP_ACP, 0, wide, -1, text, sizeof text, nullptr, nullptr);
    return n > 0 ? std::string(text, size_t(n - 1)) : std::string();
}

// What every module built from resources_test.rc holds, checked through `module`.
void ExpectTheTestResources(HMODULE module) {
    EXPECT_EQ(String(module, 1), "one");
    EXPECT_EQ(String(module, 17), "seventeen");
    EXPECT_EQ(String(module, 31), "last of block two");
    EXPECT_EQ(String(module, 4096), "far away");
    const WCHAR greeting[] = {u'G', u'r', 0xFC, 0xDF, u'e', u' ', 0x2713, 0};
    EXPECT_EQ(String(module, 18), Ansi(greeting));
    // A text cut to the buffer keeps whole characters only.
    const std::string full = Ansi(greeting);
    for (int size = 1; size <= int(full.size()) + 1; ++size) {
        const std::string cut = String(module, 18, size);
        EXPECT_LT(int(cut.size()), size);
        EXPECT_EQ(full.compare(0, cut.size(), cut), 0) << size;
        WCHAR back[16];
        EXPECT_TRUE(cut.empty() || MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, cut.data(),
                                                       int(cut.size()), back, 16) > 0)
            << size;
    }
    EXPECT_EQ(String(module, 17, 1), "");
    EXPECT_EQ(String(module, 19), "") << "an empty string";
    EXPECT_EQ(String(module, 20), "") << "absent from a block that exists";
    EXPECT_EQ(String(module, 40), "") << "absent with its block";

    // Block 2 holds ids 16 to 31: each a count of UTF-16 units and the units.
    const Bytes block = ResourceBytes(module, MAKEINTRESOURCEA(2), RT_STRING);
    ASSERT_EQ(block.size(), 0x62u);
    EXPECT_EQ(Bytes(block.begin(), block.begin() + 6), (Bytes{0, 0, 9, 0, 's', 0}));
    EXPECT_EQ(Bytes(block.begin() + 22, block.begin() + 38),
              (Bytes{7, 0, 'G', 0, 'r', 0, 0xFC, 0, 0xDF, 0, 'e', 0, ' ', 0, 0x13, 0x27}));

    EXPECT_EQ(ResourceBytes(module, MAKEINTRESOURCEA(7), RT_RCDATA),
              (Bytes{0x12, 0x34, 0x56, 0x78, 'a', 'b', 0}));
    EXPECT_EQ(ResourceBytes(module, "#7", RT_RCDATA).size(), 7u);
    const Bytes named = {'n', 'a', 'm', 'e', 'd'};
    EXPECT_EQ(ResourceBytes(module, "tarnBlob", RT_RCDATA), named);
    EXPECT_EQ(ResourceBytes(module, "TARNBLOB", RT_RCDATA), named);
    EXPECT_EQ(ResourceBytes(module, "tarnBlob", MAKEINTRESOURCEA(10)), named);

    // The menu: header, then "&File" (a pop-up, the last item) holding "&Open" and "E&xit".
    const Bytes menu = ResourceBytes(module, MAKEINTRESOURCEA(200), RT_MENU);
    const Bytes expectedMenu = {0,   0,   0,   0,   0x90, 0,   '&', 0,   'F',  0,   'i', 0,   'l',
                                0,   'e', 0,   0,   0,    0,   0,   201, 0,    '&', 0,   'O', 0,
                                'p', 0,   'e', 0,   'n',  0,   0,   0,   0x80, 0,   202, 0,   'E',
                                0,   '&', 0,   'x', 0,    'i', 0,   't', 0,    0,   0};
    EXPECT_EQ(menu, expectedMenu);

    // The dialog: style, extended style, one control, the frame, no menu, the default class,
    // then the caption.
    const Bytes dialog = ResourceBytes(module, MAKEINTRESOURCEA(100), RT_DIALOG);
    ASSERT_EQ(dialog.size(), 0x4Cu);
    const Bytes expectedHead = {0x80, 0, 0xC8, 0x80, 0,   0, 0,   0, 1, 0, 10,  0,
                                20,   0, 120,  0,    60,  0, 0,   0, 0, 0, 'T', 0,
                                'i',  0, 't',  0,    'l', 0, 'e', 0, 0, 0};
    EXPECT_EQ(Bytes(dialog.begin(), dialog.begin() + 34), expectedHead);

    SetLastError(0);
    EXPECT_EQ(FindResourceA(module, MAKEINTRESOURCEA(8), RT_RCDATA), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_RESOURCE_NAME_NOT_FOUND));
    EXPECT_EQ(FindResourceA(module, "tarnBlo", RT_RCDATA), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_RESOURCE_NAME_NOT_FOUND));
    EXPECT_EQ(FindResourceA(module, MAKEINTRESOURCEA(7), MAKEINTRESOURCEA(11)), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_RESOURCE_TYPE_NOT_FOUND));
}

TEST(Resources, TheExecutableReadsItsOwnResources) {
    ExpectTheTestResources(nullptr);
    ExpectTheTestResources(GetModuleHandleA(nullptr));
}

TEST(Resources, ADataModuleServesTheResourceFunctionsUntilItIsFreed) {
    HMODULE data = LoadLibraryExA(TARN_TEST_DATA_MODULE, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(data, nullptr) << GetLastError();
    ExpectTheTestResources(data);
    EXPECT_EQ(GetProcAddress(data, "tarnModuleResources"), nullptr);
    HMODULE second = LoadLibraryExA(TARN_TEST_DATA_MODULE, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(second, nullptr);
    EXPECT_TRUE(FreeLibrary(data));
    EXPECT_EQ(String(second, 1), "one");
    EXPECT_TRUE(FreeLibrary(second));
}

TEST(Resources, AModuleWithoutResourcesOrAMissingFileIsRefused) {
    HMODULE runtime = nullptr;
    ASSERT_TRUE(GetModuleHandleExA(
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
        reinterpret_cast<LPCSTR>(&tarnrtl_GetTranslator), &runtime));
    EXPECT_EQ(FindResourceA(runtime, MAKEINTRESOURCEA(1), RT_RCDATA), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_RESOURCE_DATA_NOT_FOUND));
    char buffer[8] = "x";
    EXPECT_EQ(LoadStringA(runtime, 1, buffer, sizeof buffer), 0);
    EXPECT_STREQ(buffer, "");
    EXPECT_EQ(LoadLibraryExA("no-such-data-module.res", nullptr, LOAD_LIBRARY_AS_DATAFILE),
              nullptr);
    EXPECT_NE(GetLastError(), DWORD(ERROR_SUCCESS));
}

#if !defined(_WIN32)
// A data module here is a resource file, and its reader meets files made anywhere: cut,
// overlong or misaligned ones are refused whole. The file ends where an unreadable page begins,
// so a read past its end would fault.

// A resource file built in code: the marker, then entries of numbered RCDATA.
class ResourceFileBuilder {
public:
    ResourceFileBuilder() { Entry(0, 0, {}); }

    ResourceFileBuilder& Entry(WORD type, WORD name, const Bytes& data) {
        Put32(uint32_t(data.size()));
        Put32(32);
        Put32(0xFFFFu | uint32_t(type) << 16);
        Put32(0xFFFFu | uint32_t(name) << 16);
        for (int i = 0; i < 4; ++i)
            Put32(0);
        bytes_.insert(bytes_.end(), data.begin(), data.end());
        bytes_.resize((bytes_.size() + 3) & ~size_t(3));
        return *this;
    }
    Bytes& Get() { return bytes_; }

private:
    void Put32(uint32_t v) {
        for (int i = 0; i < 4; ++i)
            bytes_.push_back(static_cast<unsigned char>(v >> (8 * i)));
    }
    Bytes bytes_;
};

class DamagedResources : public ::testing::Test {
protected:
    ~DamagedResources() override { std::filesystem::remove(path_); }

    HMODULE Load(const Bytes& bytes, size_t size) {
        {
            std::ofstream file(path_, std::ios::binary | std::ios::trunc);
            file.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(size));
        }
        SetLastError(0);
        return LoadLibraryExA(path_.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    }

    void ExpectRefused(const Bytes& bytes, const char* what) {
        EXPECT_EQ(Load(bytes, bytes.size()), nullptr) << what;
        EXPECT_EQ(GetLastError(), DWORD(ERROR_BAD_EXE_FORMAT)) << what;
    }

    const std::string path_ = (std::filesystem::temp_directory_path() /
                               ("tarn-damaged-" + std::to_string(GetCurrentProcessId()) + ".res"))
                                  .string();
};

TEST_F(DamagedResources, AFileCutAnywhereIsRefusedOrHoldsOnlyItsWholeEntries) {
    ResourceFileBuilder builder;
    builder.Entry(10, 1, {1, 2, 3}).Entry(10, 2, {4, 5, 6, 7, 8}).Entry(10, 3, {});
    const Bytes& bytes = builder.Get();
    const size_t ends[] = {32, 68, 108, 140};
    ASSERT_EQ(bytes.size(), ends[3]);
    for (size_t size = 0; size <= bytes.size(); ++size) {
        HMODULE module = Load(bytes, size);
        const size_t* whole = std::find(std::begin(ends), std::end(ends), size);
        if (whole == std::end(ends)) {
            EXPECT_EQ(module, nullptr) << "cut at " << size;
            EXPECT_EQ(GetLastError(), DWORD(ERROR_BAD_EXE_FORMAT)) << size;
            continue;
        }
        ASSERT_NE(module, nullptr) << "cut at " << size;
        const size_t entries = size_t(whole - std::begin(ends));
        for (WORD name = 1; name <= 3; ++name) {
            EXPECT_EQ(FindResourceA(module, MAKEINTRESOURCEA(name), RT_RCDATA) != nullptr,
                      name <= entries)
                << size;
        }
        EXPECT_TRUE(FreeLibrary(module));
        EXPECT_FALSE(FreeLibrary(module)) << "a freed data module is no module";
    }
}

TEST_F(DamagedResources, LengthsAndAlignmentsThatDoNotFitAreRefused) {
    auto damaged = [](size_t at, uint32_t value) {
        ResourceFileBuilder builder;
        Bytes bytes = builder.Entry(10, 1, {1, 2, 3, 4}).Get();
        for (int i = 0; i < 4; ++i)
            bytes[at + size_t(i)] = static_cast<unsigned char>(value >> (8 * i));
        return bytes;
    };
    ExpectRefused(damaged(32, 5), "data past the end");
    ExpectRefused(damaged(32, 0xFFFFFFFFu), "a data size that wraps");
    ExpectRefused(damaged(36, 34), "a header size that is not a multiple of four");
    ExpectRefused(damaged(36, 28), "a header smaller than its fields");
    ExpectRefused(damaged(36, 36), "a header longer than its fields");
    ExpectRefused(damaged(36, 0xFFFFFFFCu), "a header past the end");
    ExpectRefused(damaged(40, 0x00410042u), "a type name without its end");
    ExpectRefused(damaged(0, 4), "a marker with data");
    ExpectRefused(damaged(8, 0x000AFFFFu), "a marker of another type");
    ExpectRefused({}, "an empty file");

    ResourceFileBuilder named;
    Bytes bytes = named.Entry(10, 1, {}).Get();
    const unsigned char longType[] = {'N', 0, 'A', 0, 0, 0};  // into the name's place
    std::copy(std::begin(longType), std::end(longType), bytes.begin() + 40);
    ExpectRefused(bytes, "fields that overrun the header");
}
#endif

}  // namespace
