// Modules and the process's command line: the test program and the runtime as modules, their
// file names, their exports, loading and its failure. On Windows the same tests run against
// the real KERNEL32.
#include "platform/testing.h"
#include "tarnkernl/tarnrt.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string ModuleFileName(HMODULE module) {
    char name[4096];
    const DWORD n = GetModuleFileNameA(module, name, sizeof name);
    return std::string(name, n);
}

std::string FilePart(const std::string& path) { return path.substr(path.find_last_of('\\') + 1); }

HMODULE ModuleOf(const void* address) {
    HMODULE module = nullptr;
    const DWORD flags =
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT;
    EXPECT_TRUE(GetModuleHandleExA(flags, static_cast<LPCSTR>(address), &module));
    return module;
}

int LocalFunction() { return 42; }

TEST(Modules, TheExecutableHasAFullBackslashedName) {
    HMODULE self = GetModuleHandleA(nullptr);
    ASSERT_NE(self, nullptr);
    EXPECT_EQ(ModuleOf(reinterpret_cast<const void*>(&LocalFunction)), self);
    const std::string name = ModuleFileName(nullptr);
    EXPECT_EQ(ModuleFileName(self), name);
    EXPECT_EQ(FilePart(name).rfind("platform_tests", 0), 0u) << name;
    EXPECT_EQ(name.find('/'), std::string::npos) << name;
    char full[4096];
    EXPECT_EQ(GetFullPathNameA(name.c_str(), sizeof full, full, nullptr), name.size());
    EXPECT_EQ(full, name) << "the name is already a full path";
    const DWORD attributes = GetFileAttributesA(name.c_str());
    ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
    EXPECT_FALSE(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

TEST(Modules, TheRuntimeIsFoundByAddressAndByNameAMissingOneIsNot) {
    HMODULE runtime = ModuleOf(reinterpret_cast<const void*>(&tarnrtl_GetTranslator));
    ASSERT_NE(runtime, nullptr);
    EXPECT_NE(runtime, GetModuleHandleA(nullptr));
    const std::string name = ModuleFileName(runtime), file = FilePart(name);
    EXPECT_NE(file.find("tarnrt"), std::string::npos) << name;
    EXPECT_EQ(GetModuleHandleA(file.c_str()), runtime) << file;
    EXPECT_EQ(GetModuleHandleA(name.c_str()), runtime) << name;
    EXPECT_EQ(GetModuleHandleA("no-such-module.dll"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_MOD_NOT_FOUND));
    EXPECT_EQ(LoadLibraryA("no-such-dir\\no-such-module.dll"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_MOD_NOT_FOUND));
    EXPECT_EQ(LoadLibraryW(reinterpret_cast<const WCHAR*>(u"no-such-module.dll")), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_MOD_NOT_FOUND));

    // Loading what is loaded counts a reference and gives the same module.
    HMODULE loaded = LoadLibraryA(name.c_str());
    EXPECT_EQ(loaded, runtime);
    EXPECT_TRUE(FreeLibrary(loaded));
    EXPECT_EQ(GetModuleHandleA(file.c_str()), runtime) << "still loaded by the program";
}

TEST(Modules, GetProcAddressFindsTheModulesOwnExportsOnly) {
    HMODULE runtime = ModuleOf(reinterpret_cast<const void*>(&tarnrtl_GetTranslator));
    auto* getTranslator = reinterpret_cast<decltype(&tarnrtl_GetTranslator)>(
        reinterpret_cast<void*>(GetProcAddress(runtime, "tarnrtl_GetTranslator")));
    ASSERT_NE(getTranslator, nullptr);
    EXPECT_EQ(getTranslator(), tarnrtl_GetTranslator()) << "the export is the function itself";
    EXPECT_EQ(GetProcAddress(runtime, "NoSuchExport"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_PROC_NOT_FOUND));
    // The program imports this function, but does not export it.
    EXPECT_EQ(GetProcAddress(GetModuleHandleA(nullptr), "tarnrtl_GetTranslator"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_PROC_NOT_FOUND));
}

TEST(Modules, ModuleFileNameIsCutAsWindowsCutsIt) {
    const std::string name = ModuleFileName(nullptr);
    const DWORD length = static_cast<DWORD>(name.size());
    std::string buffer(length + 4, '#');
    EXPECT_EQ(GetModuleFileNameA(nullptr, buffer.data(), length + 1), length);
    EXPECT_EQ(buffer.substr(0, length + 1), name + '\0');

    // Cut: size - 1 characters and the terminator (Wine keeps the older rule: size
    // characters and no terminator).
    buffer.assign(length + 4, '#');
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(GetModuleFileNameA(nullptr, buffer.data(), length), length);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(buffer.substr(0, length - 1), name.substr(0, length - 1));
    EXPECT_EQ(buffer[length], '#') << "nothing beyond the size is written";
    WCHAR wide[4096];
    EXPECT_EQ(GetModuleFileNameW(nullptr, wide, 4096), length);
    EXPECT_EQ(wide[length - 1], WCHAR(name.back()));
    EXPECT_EQ(GetModuleFileNameW(nullptr, wide, 5), 5u);
    EXPECT_EQ(wide[3], WCHAR(name[3]));
    if (!tarn::RunningOnWineForTesting()) {
        EXPECT_EQ(buffer[length - 1], '\0');
        EXPECT_EQ(wide[4], 0);
    }
}

TEST(CommandLine, HoldsEveryArgumentAndStaysTheSame) {
    const char* line = GetCommandLineA();
    ASSERT_NE(line, nullptr);
    EXPECT_EQ(GetCommandLineA(), line) << "made once";
    const std::string text = line;
    for (const std::string& argument : testing::internal::GetArgvs())
        EXPECT_NE(text.find(argument), std::string::npos) << argument << " in " << text;
    EXPECT_NE(text.find("platform_tests"), std::string::npos) << text;
}

}  // namespace
