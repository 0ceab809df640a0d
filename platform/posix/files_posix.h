// What the file, search and time functions of the POSIX system layer share: the Windows view of
// a file's status (attributes, sizes, file times).
#pragma once

#include "platform/win32.h"

#include <sys/stat.h>
#include <time.h>

namespace tarn::posix {

// Windows keeps one read-only attribute; here it is the owner's missing write permission.
inline bool IsReadOnly(mode_t mode) { return (mode & S_IWUSR) == 0; }

// FILE_ATTRIBUTE_DIRECTORY and FILE_ATTRIBUTE_READONLY as they apply, else
// FILE_ATTRIBUTE_NORMAL.
DWORD AttributesOf(const struct stat64& status);

// The FILETIME of a system time (time_posix.cpp).
FILETIME FileTimeOf(const timespec& time);

// A 64-bit value as the two DWORDs Windows gives it in.
inline DWORD HighPart(uint64_t value) { return static_cast<DWORD>(value >> 32); }
inline DWORD LowPart(uint64_t value) { return static_cast<DWORD>(value); }

}  // namespace tarn::posix
