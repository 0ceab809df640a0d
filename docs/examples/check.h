// What every example of the guide shares: it ends with a non-zero status when something it
// shows did not happen, so that running it is also its test.
#pragma once

#include <cstdio>

inline int gFailures = 0;

inline void Expect(bool ok, const char* what) {
    if (!ok) {
        printf("FAILED: %s\n", what);
        ++gFailures;
    }
}
