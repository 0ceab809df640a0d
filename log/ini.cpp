// INI settings through the system's profile functions: the installation's working directory
// from "install.ini", and reading and writing values of the process's or any INI file.
#include "files/longpath.h"
#include "log/faults.h"
#include "log/process.h"
#include "log/startorder.h"
#include "platform/win32.h"
#include "tarnkernl/files.h"

namespace tarn {
namespace {

// The installation's working directory: "WORKINGDIR" of section "INSTALL" of "install.ini"
// beside the executable, read once when the library is attached and never changed; created
// when it does not exist. Empty (zero storage) before that and without "install.ini".
class InstallWorkingDir {
public:
    InstallWorkingDir();

    char text[MAX_PATH];
};

InstallWorkingDir gInstallWorkingDir TARN_START(InstallWorkingDir);

InstallWorkingDir::InstallWorkingDir() {
    text[0] = 0;
    char name[MAX_PATH + sizeof "install.ini"];
    DWORD n = GetModuleFileNameA(nullptr, name, MAX_PATH);
    name[n < MAX_PATH ? n : MAX_PATH - 1] = 0;
    char* slash = strrchr(name, '\\');
    strcpy(slash ? slash + 1 : name, "install.ini");
    if (existfile(name))
        GetPrivateProfileStringA("INSTALL", "WORKINGDIR", "", text, MAX_PATH, name);
    if (text[0] && UNI_GetFileAttributes(text) == INVALID_FILE_ATTRIBUTES)
        UNI_CreateDirectory(text, nullptr);
}

// The wide form of a text the profile functions may also receive as null.
class WideArgument : public UNICODE_Str {
public:
    explicit WideArgument(const char* text) : UNICODE_Str(text), null_(!text) {}
    const WCHAR* Get() const { return null_ ? nullptr : p; }
    // The conversion found no memory: the argument must not reach the function as null, which
    // means another thing there (every section, every key).
    bool Lost() const { return !null_ && !p; }

private:
    bool null_;
};

// What ReadWide answers when a conversion found no memory.
constexpr DWORD kNoMemory = ~DWORD{0};

// The retry of a read that found nothing: the wide profile function on the long-path form of
// the file, converted into `block` (`size` bytes). Returns the characters the wide function
// reported; a conversion that does not fit reports the block as full, so the caller retries
// with a larger one.
DWORD ReadWide(const char* section, const char* key, const char* defaultValue, const char* file,
               char* block, int size) {
    WideArgument wideSection(section);
    WideArgument wideKey(key);
    WideArgument wideDefault(defaultValue);
    const UNCFileName longName = tarn::LongPathName(file);
    WideArgument wideFile(longName.p);
    UNICODE_Str value("", size);
    if (!longName.p || wideSection.Lost() || wideKey.Lost() || wideDefault.Lost() ||
        wideFile.Lost() || !value.p)
        return kNoMemory;
    DWORD n = GetPrivateProfileStringW(wideSection.Get(), wideKey.Get(), wideDefault, value.p, size,
                                       wideFile);
    if (n == 0)
        return 0;
    int bytes = WideCharToMultiByte(CP_ACP, 0, value.p, static_cast<int>(n), block, size - 1,
                                    nullptr, nullptr);
    if (bytes <= 0)
        return static_cast<DWORD>(size - 1);
    block[bytes] = 0;
    return n;
}

}  // namespace
}  // namespace tarn

using namespace tarn;

const char* GetInstallWorkingDir() { return gInstallWorkingDir.text; }

const char* GetIniFileEntry(str& value, const char* section, const char* key,
                            const char* defaultValue, const char* file) {
    return Contained(static_cast<const char*>(nullptr), [&]() -> const char* {
        if (!file)
            file = Text(GetProcess().iniName);
        if (!defaultValue)
            defaultValue = "";
        // A value that fills the block may have been cut: read again with twice the room.
        for (int size = 256;; size *= 2) {
            char* block = value.Alloc(size);
            if (!block)
                return nullptr;
            DWORD n = GetPrivateProfileStringA(section, key, defaultValue, block,
                                               static_cast<DWORD>(size), file);
            if (n == 0)
                n = ReadWide(section, key, defaultValue, file, block, size);
            if (n == kNoMemory)
                return nullptr;
            if (n < static_cast<DWORD>(size - 1))
                return value.p;
        }
    });
}

bool vsetinifile(const char* section, const char* key, const char* format, va_list args,
                 const char* file) {
    return Contained(false, [&] {
        PrintBuffer<128> formatted;
        const char* value = format;
        // A null argument list writes the format as it is (va_list is a pointer on our
        // targets); a null format takes the first argument as the value.
        if (args && format) {
            vsprintf(formatted, format, args);
            value = formatted.data;
        } else if (args) {
            va_list copy;
            va_copy(copy, args);
            value = va_arg(copy, const char*);
            va_end(copy);
        }
        return WritePrivateProfileStringA(section, key, value, file) != FALSE;
    });
}

bool vsetinifile(const char* section, const char* key, const char* format, va_list args) {
    return vsetinifile(section, key, format, args, Text(GetProcess().iniName));
}

bool PrintToIniFile(const char* section, const char* key, const char* format, ...) {
    va_list args;
    va_start(args, format);
    bool result = vsetinifile(section, key, format, args);
    va_end(args);
    return result;
}
