// A program of the family that calls no function of the library: loading it is enough for a
// machine fault to arrive as a C++ exception carrying the exception code.
#include <cstdio>

int main() {
    try {
        volatile int* nowhere = nullptr;
        *nowhere = 1;
    } catch (unsigned long code) {
        printf("caught 0x%lX\n", code);
        return code == 0xC0000005 ? 0 : 1;
    }
    printf("no fault\n");
    return 2;
}
