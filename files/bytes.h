// Loops over caller memory that may be unreadable: a fault in them reaches the caller's
// catch, which it could not from the C library's string functions (they are noexcept).
#pragma once

#include <cstddef>

namespace tarn {

// The length of a text.
size_t TextLength(const char* text);
// The index of the first line feed in `text`, or of its terminator.
size_t LineFeedOrEnd(const char* text);
// Copies `count` bytes; the ranges do not overlap.
void CopyBytes(void* to, const void* from, size_t count);
// Whether two texts are equal, byte for byte.
bool SameText(const char* a, const char* b);

}  // namespace tarn
