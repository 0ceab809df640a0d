// Run-time imports: an entry of another module bound when it is first needed, with a clear
// message when the installation lacks it.
#include "log/readtext.h"
#include "platform/win32.h"
#include "tarnkernl/log.h"

namespace {

constexpr DWORD kNameRoom = 1024;

// The module's full file name, or "" when the system cannot give it.
void ModuleFileName(HINSTANCE module, char (&name)[kNameRoom + 1]) {
    DWORD length = GetModuleFileNameA(reinterpret_cast<HMODULE>(module), name, kNameRoom);
    name[length < kNameRoom ? length : 0] = 0;
}

}  // namespace

FARPROC RunTimeImport(HINSTANCE module, const char* name, HINSTANCE requester) {
    if (FARPROC entry = GetProcAddress(reinterpret_cast<HMODULE>(module), name))
        return entry;
    char moduleName[kNameRoom + 1];
    char requesterName[kNameRoom + 1];
    ModuleFileName(module, moduleName);
    ModuleFileName(requester, requesterName);
    // The entry's name as far as it can be read: the message must not fault on it.
    char entryName[kNameRoom + 1];
    size_t length = tarn::ReadableLength(name, kNameRoom);
    tarn::CopyBytes(entryName, name, length);
    entryName[length] = 0;
    err("Entry '%s' not found into module '%s'\r\n(required to run module '%s' )", entryName,
        moduleName, requesterName);
    return nullptr;
}
