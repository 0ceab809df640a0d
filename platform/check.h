// Checks of the family's own invariants. TARN_RAW_CHECK is always on and safe anywhere, in a
// signal handler and inside the allocator. TARN_DCHECK costs nothing unless the build defines
// TARN_DCHECKS (Debug and sanitizer builds); its condition is compiled either way, so that it
// keeps up with the code around it.
#pragma once

#include "tarnkernl/api.h"

namespace tarn {

// Writes "<file>:<line>: check failed: <what>" to standard error in one plain write of the
// system and ends the process abnormally, so that a core or a crash report follows. Allocates
// nothing, uses no stdio and takes no lock: async-signal-safe.
[[noreturn]] TARNRT_API void CheckFailed(const char* file, int line, const char* what);

}  // namespace tarn

#define TARN_RAW_CHECK(condition, what)                   \
    (__builtin_expect(static_cast<bool>(condition), true) \
         ? void(0)                                        \
         : ::tarn::CheckFailed(__FILE__, __LINE__, what))

#if defined(TARN_DCHECKS)
#define TARN_DCHECK(condition) TARN_RAW_CHECK(condition, #condition)
#else
#define TARN_DCHECK(condition) static_cast<void>(sizeof(static_cast<bool>(condition)))
#endif
