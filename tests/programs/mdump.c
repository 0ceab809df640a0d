/* Stands in for the dump tool in the tests: appends to "mdump.txt" of its working directory one
 * line per start, with the command line it was given and the identifier of the process that
 * its handle argument ("/h0x...") stands for. Plain C without the library, so that a 32-bit
 * test program under an emulator can start a native build of it. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#if defined(_WIN32)
#include <windows.h>
#endif

/* The process behind the inherited handle, or -1. */
static long HandleProcess(unsigned long handle) {
#if defined(_WIN32)
    DWORD id = GetProcessId((HANDLE)(uintptr_t)handle);
    return id ? (long)id : -1;
#else
    char path[64];
    char line[256];
    long pid = -1;
    snprintf(path, sizeof path, "/proc/self/fdinfo/%lu", handle);
    FILE* info = fopen(path, "r");
    if (!info)
        return -1;
    while (fgets(line, sizeof line, info))
        if (sscanf(line, "Pid: %ld", &pid) == 1)
            break;
    fclose(info);
    return pid;
#endif
}

int main(int argc, char** argv) {
    char line[4096] = "";
#if defined(_WIN32)
    (void)argc;
    (void)argv;
    snprintf(line, sizeof line, "%s", GetCommandLineA());
#else
    for (int i = 0; i < argc; ++i) {
        strncat(line, argv[i], sizeof line - strlen(line) - 2);
        strcat(line, " ");
    }
#endif
    const char* h = strstr(line, "/h0x");
    unsigned long handle = h ? strtoul(h + 4, NULL, 16) : 0;
    FILE* out = fopen("mdump.txt", "ab");
    if (!out)
        return 1;
    fprintf(out, "cmdline=%s|handle-pid=%ld\n", line, h ? HandleProcess(handle) : -1L);
    fclose(out);
    return 0;
}
