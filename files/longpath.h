// The long-path wrappers' retry name, and their conversion of a directory search entry from
// wide to 8-bit text.
#pragma once

#include "platform/win32.h"
#include "tarnkernl/files.h"

namespace tarn {

// The name a wide retry is made with: the extended-length form of the full path of `name`. A
// relative name under the prefix would name something else (a device on Windows, a path from
// the root on POSIX), so it is made full first, by the wide call, which has no short limit.
// Share and extended-length names are taken as they are; a name that has no full path (none,
// an empty one, no current directory) gives the empty text, which names no file.
UNCFileName LongPathName(const char* name);

// Copies the fixed part and converts the names. A long name that needs MAX_PATH bytes or more
// in the 8-bit code page (terminator included) is given by its short name.
TARN_API void ConvertFindData(const WIN32_FIND_DATAW& wide, WIN32_FIND_DATAA& data);

}  // namespace tarn
