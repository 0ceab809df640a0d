// Reading and writing memory that a caller handed in and that may not be readable or writable.
// Every loop over such memory is here, in one object that the build keeps free of the C
// library's string functions (they are noexcept: a fault inside one would end the process
// instead of reaching the caller's catch) and checks for them. A fault in these functions
// leaves as its `unsigned long` exception.
#pragma once

#include "platform/win32.h"

#include <cstddef>
#include <cstdint>

namespace tarn {

// The characters of a text before its terminator.
TARNRT_API size_t TextLength(const char* text);
TARNRT_API size_t TextLength(const WCHAR* text);
// The same, at most `limit`.
TARNRT_API size_t TextLength(const char* text, size_t limit);
// The first `wanted` byte of `text`, or its terminator.
TARNRT_API const char* ByteOrEnd(const char* text, char wanted);
// The index of the first line feed in `text`, or of its terminator.
TARNRT_API size_t LineFeedOrEnd(const char* text);
// Whether two texts are equal, byte for byte.
TARNRT_API bool SameText(const char* a, const char* b);
// Whether `text` begins with `prefix`.
TARNRT_API bool BeginsWithText(const char* text, const char* prefix);
// Copies `count` bytes; the ranges do not overlap.
TARNRT_API void CopyBytes(void* to, const void* from, size_t count);
// Copies up to `room` characters of `in`, stopping at its terminator; the end of the copy.
TARNRT_API char* CopyText(char* out, const char* in, size_t room);
// Counts the characters of `text` before its terminator, at most `limit`, in `count`: kept in
// memory, so that the count reached survives a fault.
TARNRT_API void CountText(const char* text, size_t limit, volatile size_t& count);
// Reads the bytes at `first` and `last` and one in every page between them.
TARNRT_API void TouchRange(uintptr_t first, uintptr_t last);

}  // namespace tarn
