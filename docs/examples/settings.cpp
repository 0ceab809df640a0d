// INI settings: the program's own INI file, another INI file, and the internal command line
// that the program's INI file extends with the family's switches.
#include "tarnkernl/tarnkernl.h"

#include "check.h"

namespace {

// A value into any INI file, formatted.
TARN_PRINTF(4, 5) bool SetIn(const char* file, const char* section, const char* key,
                             const char* format, ...) {
    va_list args;
    va_start(args, format);
    bool written = vsetinifile(section, key, format, args, file);
    va_end(args);
    return written;
}

}  // namespace

int main() {
    // The program's INI file: "<program>.ini" in the installation's working directory.
    str value;
    int runs = atoi(GetIniFileEntry(value, "Guide", "runs", "0", nullptr)) + 1;
    PrintToIniFile("Guide", "runs", "%d", runs);
    PrintToIniFile("Guide", "user", nullptr, "Ann Smith");   // a text as it is
    printf("run %d by %s, settings in %s\n", runs,
           GetIniFileEntry(value, "Guide", "user", "", nullptr), GetProcess().iniName.p);
    Expect(strcmp(value, "Ann Smith") == 0, "a value read back");
    PrintToIniFile("Guide", "user", nullptr, nullptr);       // deletes the key
    Expect(strcmp(GetIniFileEntry(value, "Guide", "user", "gone", nullptr), "gone") == 0,
           "the key deleted");

    // Another file: the system's profile functions want a full path on Windows.
    TFullName shared("shared.ini");
    Expect(SetIn(shared, "Colours", "border", "#%06X", 0x336699u), "a value written");
    Expect(strcmp(GetIniFileEntry(value, "Colours", "border", "", shared), "#336699") == 0,
           "a value of another file");

    // The working directory of "install.ini" beside the program (none here: the current
    // directory) and the switches in force.
    const char* line = GetCommandLineInternal();
    printf("working directory \"%s\"; /mem %s, /int3 %s\n", GetInstallWorkingDir(),
           strnistrn(line, "/mem") ? "on" : "off", strnistrn(line, "/int3") ? "on" : "off");
    return gFailures;
}
