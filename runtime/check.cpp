// The end of a process whose invariant failed: the line naming it, composed without the C
// library, goes to the system's abnormal end (fault_posix.cpp, fault_win32.cpp).
#include "platform/check.h"

#include "runtime/fault.h"

namespace tarn {

void CheckFailed(const char* file, int line, const char* what) {
    char digits[12];
    char* number = digits + sizeof digits;
    *--number = 0;
    unsigned value = unsigned(line);
    do {
        *--number = char('0' + value % 10);
    } while (value /= 10);
    char text[512];
    size_t used = 0;
    const char* const parts[] = {file, ":", number, ": check failed: ", what};
    for (const char* part : parts) {
        while (*part && used < sizeof text - 1)
            text[used++] = *part++;
    }
    text[used++] = '\n';
    EndWithLine(text, used);
}

}  // namespace tarn
