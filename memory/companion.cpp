// The companion-module probe and release, the start-up phase and the memory lock.
#include "memory/companion.h"

#include "log/startorder.h"
#include "platform/win32.h"
#include "tarnkernl/files.h"
#include "tarnkernl/log.h"
#include "tarnkernl/memory.h"

#include <atomic>

namespace tarn {
namespace {

LazyLock gMemoryLock TARN_START(MemoryLock);
constinit std::atomic<bool> gCompanionLoaded{false};
// Read by every allocation of the pools: relaxed, as it changes only at attach and EndStartup.
constinit std::atomic<bool> gStartupPhase{false};

// Built after the process log, which makes the internal command line readable.
struct StartupFlag {
    StartupFlag() {
        gStartupPhase.store(!strnistrn(GetCommandLineInternal(), "/mem:all"),
                            std::memory_order_relaxed);
    }
} gStartupFlag TARN_START(StartupFlag);

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

bool CompanionLoaded() { return gCompanionLoaded.load(); }

bool StartupPhase() { return gStartupPhase.load(std::memory_order_relaxed); }

void SetStartupPhaseForTesting(bool on) { gStartupPhase.store(on, std::memory_order_relaxed); }

LazyLock& MemoryLock() { return gMemoryLock; }

}  // namespace tarn

void EndStartup() {
    tarn::gStartupPhase.store(false, std::memory_order_relaxed);
    tarn::ProbeCompanion();
}

bool CheckMemory() { return _heapchk() == -2; }
