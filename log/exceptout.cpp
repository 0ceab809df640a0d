// Crash reports. Until the exception file is written, a record goes to standard error.
#include "tarnkernl/log.h"

#include "tarnkernl/text.h"

#include <cstdio>

bool exceptout(const char* format, ...) {
    PrintBuffer<1024> record;
    va_list args;
    va_start(args, format);
    vsprintf(record, format, args);
    va_end(args);
    if (record.length == 0 || record.data[record.length - 1] != '\n')
        fprintf(record, "\n");
    fputs(record.data, stderr);
    return true;
}
