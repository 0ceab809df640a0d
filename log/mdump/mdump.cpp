// The dump tool "mdump.exe": the crash report starts it beside the executable at the first crash
// record of a process, and it writes a dump of that process beside the exception file. It does
// not link the library, so that a fault of its own never starts another dump.
#include "log/mdump/dumptool.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tarn::mdump {
namespace {

// A whole number in the base its digits show (0x: hexadecimal).
bool ReadNumber(const char* text, unsigned long& value) {
    if (!*text)
        return false;
    char* end = nullptr;
    value = strtoul(text, &end, 0);
    return *end == '\0';
}

}  // namespace

// The first argument carries a switch too: the report's command line names no program.
bool ParseArguments(int argc, char** argv, Request& request, std::string& error) {
    bool hasId = false;
    for (int i = 0; i < argc; ++i) {
        const char* argument = argv[i];
        if (strncmp(argument, "/h", 2) == 0) {
            request.hasHandle = ReadNumber(argument + 2, request.handle);
        } else if (strncmp(argument, "/id", 3) == 0) {
            hasId = ReadNumber(argument + 3, request.id);
        } else if (strncmp(argument, "/fo", 3) == 0) {
            request.file = argument + 3;
        }
    }
    if (request.file.empty())
        error = "no dump file given (/fo\"NAME.dmp\")";
    else if (!request.hasHandle && !hasId)
        error = "no process given (/h0xHANDLE or /idPID)";
    return error.empty();
}

}  // namespace tarn::mdump

int main(int argc, char** argv) {
    tarn::mdump::Request request;
    std::string error;
    if (!tarn::mdump::ParseArguments(argc, argv, request, error) ||
        !tarn::mdump::WriteDump(request, error)) {
        fprintf(stderr, "mdump: %s\n", error.c_str());
        return 1;
    }
    return 0;
}
