// The companion-module probe and release, and the memory lock.
#include "memory/companion.h"

#include "log/startorder.h"
#include "platform/win32.h"
#include "tarnkernl/files.h"

#include <atomic>

namespace tarn {
namespace {

LazyLock gMemoryLock TARN_START(MemoryLock);
constinit std::atomic<bool> gCompanionLoaded{false};

class CompanionPath : public TFileName {
public:
    CompanionPath() : TFileName(TModuleDir(nullptr), "LockOut.DLL") {}
};

}  // namespace

void ProbeCompanion() {
    CompanionPath path;
    if (!GetModuleHandleA(path) && existfile(path) && LoadLibraryA(path))
        gCompanionLoaded.store(true);
}

void ReleaseCompanion() {
    CompanionPath path;
    if (HMODULE companion = GetModuleHandleA(path))
        FreeLibrary(companion);
}

bool CompanionLoaded() {
    return gCompanionLoaded.load();
}

LazyLock& MemoryLock() {
    return gMemoryLock;
}

}  // namespace tarn
