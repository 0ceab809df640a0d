// A program of the family that writes a text of its own resources to its process log.
#include "tarnkernl/tarnkernl.h"

#include <cstdio>

int main() {
    str text;
    const char* greeting = LoadRes(text, 1, nullptr, false);
    if (!greeting)
        return 1;
    fout("%s\r\n", greeting);
    logfix();
    printf("%s\n", greeting);
    return 0;
}
