// The readable length of a caller's text; see readtext.h.
#include "log/readtext.h"

#include "log/faults.h"

namespace tarn {

size_t ReadableLength(const char* text, size_t limit) {
    volatile size_t count = 0;
    ReadGuarded([&] { CountText(text, limit, count); });
    return count;
}

}  // namespace tarn
