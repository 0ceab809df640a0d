// The process-wide state of the library's memory: the companion module "LockOut.DLL" beside the
// executable, whose presence keeps the low-fragmentation pools out, the start-up phase and the
// memory lock of the library's allocators.
#pragma once

#include "log/lazylock.h"
#include "tarnkernl/api.h"

namespace tarn {

// Loads the companion when it lies beside the executable and is not loaded yet; the companion
// flag then stays set for the rest of the process. Run by the process log at its construction
// and by EndStartup.
void ProbeCompanion();
// Releases the companion once when it is loaded (also when someone else loaded it). Run by the
// process log at its shutdown.
void ReleaseCompanion();
bool CompanionLoaded();

// Set from attach (unless "/mem:all" is on the command line) until EndStartup: the pools label
// the blocks made meanwhile as start-up blocks, which the memory report counts but never lists.
bool StartupPhase();
// Tests of start-up blocks enter the phase again; EndStartup leaves it.
TARN_API void SetStartupPhaseForTesting(bool on);

// Serialises the runtime calls of every plain allocator; re-entrant. The low-fragmentation
// pools take their own lock before this one.
LazyLock& MemoryLock();

}  // namespace tarn
