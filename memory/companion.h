// The companion module "LockOut.DLL" beside the executable, whose presence keeps the library's
// low-fragmentation pools out, and the memory lock of the library's allocators.
#pragma once

#include "log/lazylock.h"

namespace tarn {

// Loads the companion when it lies beside the executable and is not loaded yet; the companion
// flag then stays set for the rest of the process. Run by the process log at its construction
// and by EndStartup.
void ProbeCompanion();
// Releases the companion once when it is loaded (also when someone else loaded it). Run by the
// process log at its shutdown.
void ReleaseCompanion();
bool CompanionLoaded();

// Serialises the runtime calls of every plain allocator; re-entrant. The low-fragmentation
// pools take their own lock before this one.
LazyLock& MemoryLock();

}  // namespace tarn
