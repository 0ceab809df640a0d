// Reading caller texts that may be unreadable. These loops are compiled so that they stay loops
// (log/CMakeLists.txt): libc's string functions are noexcept, so a fault inside one would end
// the process instead of reaching the caller's catch. A fault leaves as its `unsigned long`
// exception; callers catch it under QuietFaults.
#pragma once

#include <cstddef>

namespace tarn {

size_t MeasureText(const char* text);
// The length of `text` up to its terminator, `limit` or the first byte that cannot be read,
// whichever comes first. Never faults.
size_t ReadableLength(const char* text, size_t limit);
// Copies `count` bytes.
void CopyBytes(char* out, const char* in, size_t count);

}  // namespace tarn
