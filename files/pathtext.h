// Reading a caller's path text that may be unreadable: a fault is an answer, never an escape.
#pragma once

#include "log/faults.h"

namespace tarn {

// The first character of a text, or -1 when the pointer is null or cannot be read.
int FirstChar(const char* text);
// Whether a text begins with `prefix`; false when it is null or cannot be read.
bool StartsWith(const char* text, const char* prefix);

}  // namespace tarn
