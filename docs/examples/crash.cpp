// Crash diagnostics: a machine fault arrives as an `unsigned long` exception holding the
// system's exception code, and its record goes to the exception file.
#include "tarnkernl/tarnkernl.h"

#include "check.h"

namespace {

// Marked, as the family's functions mark themselves: a record's stack lists the marked calls.
// Out of line, so that the caller sees a call that may throw.
TARN_NOIPA void Store(volatile int* where, int value) {
    MarkStack mark(TARN_FRAME);
    *where = value;
}

TARN_NOIPA int Divide(int dividend, int divisor) {
    MarkStack mark(TARN_FRAME);
    return dividend / divisor;
}

}  // namespace

int main() {
    MarkStack mark(TARN_FRAME);
    unsigned long writeCode = 0;
    try {
        Store(nullptr, 1);
    } catch (unsigned long code) {
        writeCode = code;   // 0xC0000005, ACCESS_VIOLATION
    }
    unsigned long divideCode = 0;
    try {
        Divide(1, 0);
    } catch (unsigned long code) {
        divideCode = code;  // 0xC0000094, INTEGER_DIVIDE_BY_ZERO
    }
    // A record of the program's own: the message, then the stack of the call.
    exceptout("checked %d faults\r\n", 2);

    const char* name = GetProcess().excName.p;
    printf("caught 0x%08lX and 0x%08lX; records in %s\n", writeCode, divideCode, name);
    File records;
    Expect(writeCode == 0xC0000005 && divideCode == 0xC0000094, "the exception codes");
    Expect(records.capture(name), "the exception file");
    for (const char* text : {"Exception 0xC0000005: ACCESS_VIOLATION\r\n",
                             "Exception 0xC0000094: INTEGER_DIVIDE_BY_ZERO\r\n",
                             "checked 2 faults\r\n[Advanced STACK: EIP=0x"})
        Expect(strnstrn(records.image, records.length, text, -1), text);
    return gFailures;
}
