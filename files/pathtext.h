// Reading a caller's path text that may be unreadable: a fault is an answer, never an escape.
#pragma once

#include "log/faults.h"

namespace tarn {

// The answer of `read`, or `unreadable` when it faulted. `read` must reach the caller's text
// only through out-of-line loops over volatile characters: GCC then neither assumes the reads
// cannot fault nor turns the loops into libc calls, whose faults would end the process
// (they are noexcept).
template <class Answer, class Read>
Answer ReadGuarded(Answer unreadable, Read read) {
    QuietFaults quiet;
    try {
        return read();
    } catch (unsigned long) {
        return unreadable;
    }
}

// The first character of a text, or -1 when the pointer is null or cannot be read.
int FirstChar(const char* text);
// Whether a text begins with `prefix`; false when it is null or cannot be read.
bool StartsWith(const char* text, const char* prefix);

}  // namespace tarn
