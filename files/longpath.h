// The long-path wrappers' conversion of a directory search entry from wide to 8-bit text.
#pragma once

#include "platform/win32.h"

namespace tarn {

// Copies the fixed part and converts the names. A long name that needs MAX_PATH bytes or more
// in the 8-bit code page (terminator included) is given by its short name.
TARN_API void ConvertFindData(const WIN32_FIND_DATAW& wide, WIN32_FIND_DATAA& data);

}  // namespace tarn
