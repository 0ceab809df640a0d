// Reading caller texts that may be unreadable. The loops live in platform/callermemory.h; a
// fault in one leaves as its `unsigned long` exception, which callers catch under QuietFaults.
#pragma once

#include "platform/callermemory.h"

#include <cstddef>

namespace tarn {

// The length of `text` up to its terminator, `limit` or the first byte that cannot be read,
// whichever comes first. Never faults.
size_t ReadableLength(const char* text, size_t limit);

}  // namespace tarn
