// The C runtime functions of Windows that the C library here lacks, with Windows' behaviour.
#include "platform/win32.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <unistd.h>

namespace {

int Lower(unsigned char c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; }

bool IsSpace(WCHAR c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// What a thread of _beginthread runs; the thread releases it before it starts the routine.
struct ThreadStart {
    void (*start)(void*);
    void* argument;
};

void* RunThread(void* record) {
    ThreadStart start = *static_cast<ThreadStart*>(record);
    free(record);
    start.start(start.argument);
    return nullptr;
}

}  // namespace

extern "C" int _vscprintf(const char* format, va_list args) {
    return vsnprintf(nullptr, 0, format, args);
}

// Windows writes at most `count` characters and the terminator only when it fits; a text that
// does not fit answers -1 (one that fits exactly, its length), with `count` characters written.
extern "C" int _vsnprintf(char* out, size_t count, const char* format, va_list args) {
    va_list measure;
    va_copy(measure, args);
    int length = vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (length < 0)
        return -1;
    if (size_t(length) < count)
        return vsnprintf(out, count, format, args);
    if (count == 0)
        return length == 0 ? 0 : -1;
    // The C function always terminates, so the last character of `out` comes from a full copy.
    char* whole = static_cast<char*>(malloc(size_t(length) + 1));
    if (!whole)
        return -1;
    vsnprintf(whole, size_t(length) + 1, format, args);
    memcpy(out, whole, count);
    free(whole);
    return size_t(length) == count ? length : -1;
}

extern "C" int _snprintf(char* out, size_t count, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int length = _vsnprintf(out, count, format, args);
    va_end(args);
    return length;
}

extern "C" int _strnicmp(const char* a, const char* b, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        int difference = Lower(a[i]) - Lower(b[i]);
        if (difference != 0 || a[i] == '\0')
            return difference;
    }
    return 0;
}

extern "C" int _stricmp(const char* a, const char* b) { return _strnicmp(a, b, SIZE_MAX); }

// Leading blanks, a sign and decimal digits; the value saturates at the limits of int.
extern "C" int _wtoi(const WCHAR* text) {
    while (IsSpace(*text))
        ++text;
    bool negative = *text == '-';
    if (*text == '-' || *text == '+')
        ++text;
    int64_t value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        value = value * 10 + (*text - '0');
        if (value > int64_t(INT_MAX) + 1)
            value = int64_t(INT_MAX) + 1;
    }
    if (negative)
        return value > INT_MAX ? INT_MIN : -int(value);
    return value > INT_MAX ? INT_MAX : int(value);
}

// The thread is created through the process's pthread_create, which this runtime interposes,
// so it gets its alternate signal stack like every other thread.
extern "C" uintptr_t _beginthread(void (*start)(void*), unsigned stackSize, void* argument) {
    const uintptr_t failed = ~uintptr_t{0};
    auto* record = static_cast<ThreadStart*>(malloc(sizeof(ThreadStart)));
    if (!record)
        return failed;
    *record = {start, argument};
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    if (stackSize != 0) {
        const long minimum = sysconf(_SC_THREAD_STACK_MIN);
        size_t size = stackSize;
        if (minimum > 0 && size < size_t(minimum))
            size = size_t(minimum);
        pthread_attr_setstacksize(&attributes, size);
    }
    pthread_t thread;
    const int error = pthread_create(&thread, &attributes, RunThread, record);
    pthread_attr_destroy(&attributes);
    if (error != 0) {
        free(record);
        errno = error;
        return failed;
    }
    return uintptr_t(thread);
}
