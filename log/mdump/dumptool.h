// The dump tool "mdump.exe": what its command line asks for, and the one system-specific step
// of writing the dump.
#pragma once

#include <string>

namespace tarn::mdump {

// "/h0x<handle> /id<pid> /fo<file>" as the crash report starts the tool. The handle names the
// process to dump; the identifier is the fallback when the handle does not.
struct Request {
    bool hasHandle = false;
    unsigned long handle = 0;
    unsigned long id = 0;
    std::string file;  // as given: '\' separated, relative to the working directory
};

// False, with the reason in `error`, when a switch is missing or malformed.
bool ParseArguments(int argc, char** argv, Request& request, std::string& error);

// Writes the dump of the requested process into `request.file`. The file appears only whole: it
// is written under another name and renamed when complete. False, with the reason in `error`,
// when nothing was written (the process has ended, cannot be read, the dump failed or took too
// long).
bool WriteDump(const Request& request, std::string& error);

// The name the dump is written under until it is complete.
inline std::string PartName(const std::string& file) { return file + ".part"; }

}  // namespace tarn::mdump
