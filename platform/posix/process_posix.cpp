// The process's command line as Windows gives it: one text made from the arguments the kernel
// kept (/proc/self/cmdline).
#include "platform/posix/descriptor.h"
#include "platform/win32.h"
#include "runtime/heap.h"

#include <string>

namespace tarn::posix {
namespace {

// The arguments, each ended by a zero byte; empty when they cannot be read.
std::string ReadArguments() {
    std::string arguments;
    LoadFile("/proc/self/cmdline", arguments);
    return arguments;
}

// Appends `argument` so that the Windows rules for splitting a command line give it back: in
// double quotes when it is empty or holds a blank or tab, with a backslash before each double
// quote it holds and the backslashes in front of a double quote doubled.
void AppendQuoted(std::string& line, const std::string& argument) {
    const bool quoted = argument.empty() || argument.find_first_of(" \t") != std::string::npos;
    if (quoted)
        line += '"';
    size_t backslashes = 0;
    for (const char c : argument) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        line.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
        backslashes = 0;
        line += c;
    }
    line.append(quoted ? 2 * backslashes : backslashes, '\\');
    if (quoted)
        line += '"';
}

// The command line in memory of the system's own allocator: it lives as long as the process
// and never appears among the blocks of the library's memory manager.
char* MakeCommandLine() {
    std::string line;
    const std::string arguments = ReadArguments();
    for (size_t begin = 0; begin < arguments.size();) {
        const size_t end = arguments.find('\0', begin);
        if (!line.empty())
            line += ' ';
        AppendQuoted(line, arguments.substr(begin, end - begin));
        begin = end == std::string::npos ? arguments.size() : end + 1;
    }
    static char empty[] = "";
    auto* text = static_cast<char*>(RawAlloc(line.size() + 1));
    if (!text)
        return empty;
    line.copy(text, line.size());
    text[line.size()] = '\0';
    return text;
}

}  // namespace
}  // namespace tarn::posix

LPSTR WINAPI GetCommandLineA() {
    static char* const line = tarn::posix::MakeCommandLine();
    return line;
}
