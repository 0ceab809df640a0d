// PrintError: the text of a system error code, "[%04X]" followed by the system's message.
#include "tarnkernl/log.h"

#include "platform/win32.h"

char* PrintError(char* buffer, int size, unsigned long code) {
    if (size <= 0)
        return buffer;
    int n = snprintf(buffer, size, "[%04lX]", code);
    if (n < 0)
        n = 0;
    else if (n > size - 1)
        n = size - 1;
    // The system refuses a buffer too small for the whole message: take it whole, then cut.
    char message[1024];
    DWORD length =
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                       static_cast<DWORD>(code), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), message,
                       sizeof message, nullptr);
    size_t room = static_cast<size_t>(size - n - 1);
    if (length > room)
        length = static_cast<DWORD>(room);
    while (length > 0 && (message[length - 1] == '\r' || message[length - 1] == '\n'))
        --length;
    memcpy(buffer + n, message, length);
    buffer[n + length] = 0;
    return buffer + n;
}
