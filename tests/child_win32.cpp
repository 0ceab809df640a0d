// Child processes on Windows: CreateProcess with a pipe for the output and an environment block
// of this process's variables and the test's own. Under Wine (TARN_CHILD_EMULATOR set) the child
// starts through the emulator instead: Wine gives a Unix program exactly the environment block
// it is given, while a Windows child's Unix side would inherit this process's, so only that way
// do the test's variables (faketime's preload library, for one) reach the child's clock.
#include "tests/child.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <map>

namespace tarn::test {
namespace {

// One argument as the C runtime splits command lines: quoted when it holds blanks or quotes.
std::string Quote(const std::string& argument) {
    if (!argument.empty() && argument.find_first_of(" \t\"") == std::string::npos)
        return argument;
    std::string quoted = "\"";
    size_t backslashes = 0;
    for (char c : argument) {
        if (c == '\\') {
            ++backslashes;
        } else {
            quoted.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
            backslashes = 0;
        }
        quoted += c;
    }
    quoted.append(2 * backslashes, '\\');
    return quoted + "\"";
}

// Variables sorted without regard to case, as Windows keeps them.
struct IgnoringCase {
    bool operator()(const std::string& a, const std::string& b) const {
        return _stricmp(a.c_str(), b.c_str()) < 0;
    }
};

std::string EnvironmentBlock(const Environment& environment) {
    std::map<std::string, std::string, IgnoringCase> variables;
    char* strings = GetEnvironmentStringsA();
    for (const char* entry = strings; *entry; entry += strlen(entry) + 1) {
        const char* equals = strchr(entry + 1, '=');
        if (equals)
            variables[std::string(entry, equals)] = equals + 1;
    }
    FreeEnvironmentStringsA(strings);
    for (const auto& [name, value] : environment)
        variables[name] = value;
    std::string block;
    for (const auto& [name, value] : variables)
        block += name + "=" + value + '\0';
    return block + '\0';
}

// The command line of a Windows program as the C runtime splits it back.
std::string CommandLine(const std::string& program, const std::vector<std::string>& arguments) {
    std::string line = Quote(program);
    for (const std::string& argument : arguments)
        line += " " + Quote(argument);
    return line;
}

bool Start(const std::string& application, std::string commandLine, const std::string& directory,
           std::string environment, HANDLE output, PROCESS_INFORMATION& process) {
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    if (output) {
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        startup.hStdOutput = output;
        startup.hStdError = output;
    }
    return CreateProcessA(application.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0,
                          environment.data(), directory.c_str(), &startup, &process);
}

std::string ReadAll(const std::string& name) {
    std::string text;
    if (FILE* file = fopen(name.c_str(), "rb")) {
        char buffer[4096];
        for (size_t n; (n = fread(buffer, 1, sizeof buffer, file)) > 0;)
            text.append(buffer, n);
        fclose(file);
    }
    return text;
}

// Under Wine: the wrapper script, a Unix program, runs the child through the emulator, and its
// status file says when the child has ended.
ChildResult RunThroughEmulator(const std::string& program,
                               const std::vector<std::string>& arguments,
                               const std::string& directory, const Environment& environment) {
    ChildResult result;
    const std::string status = ".child-status", output = ".child-output";
    std::vector<std::string> words = {status, output, TARN_CHILD_EMULATOR, program};
    words.insert(words.end(), arguments.begin(), arguments.end());
    // Wine's drive Z: is the Unix root.
    std::string script = std::string("Z:") + TARN_WINE_CHILD_SCRIPT;
    for (char& c : script)
        if (c == '/')
            c = '\\';
    PROCESS_INFORMATION process = {};
    if (!Start(script, CommandLine(script, words), directory, EnvironmentBlock(environment),
               nullptr, process))
        return result;
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    std::string statusFile = directory + "\\" + status;
    for (int waited = 0; waited < 300000; waited += 20) {
        std::string code = ReadAll(statusFile);
        if (!code.empty()) {
            result.exitCode = atoi(code.c_str());
            result.output = ReadAll(directory + "\\" + output);
            DeleteFileA(statusFile.c_str());
            DeleteFileA((directory + "\\" + output).c_str());
            return result;
        }
        Sleep(20);
    }
    return result;
}

}  // namespace

ChildResult RunChild(const std::string& program, const std::vector<std::string>& arguments,
                     const std::string& directory, const Environment& environment) {
    if (*TARN_CHILD_EMULATOR)
        return RunThroughEmulator(program, arguments, directory, environment);
    ChildResult result;
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE readEnd, writeEnd;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0))
        return result;
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    PROCESS_INFORMATION process = {};
    bool started = Start(program, CommandLine(program, arguments), directory,
                         EnvironmentBlock(environment), writeEnd, process);
    CloseHandle(writeEnd);
    if (started) {
        char buffer[4096];
        DWORD n;
        while (ReadFile(readEnd, buffer, sizeof buffer, &n, nullptr) && n > 0)
            result.output.append(buffer, n);
        WaitForSingleObject(process.hProcess, INFINITE);
        DWORD code = 0;
        GetExitCodeProcess(process.hProcess, &code);
        result.exitCode = static_cast<int>(code);
        CloseHandle(process.hProcess);
        CloseHandle(process.hThread);
    }
    CloseHandle(readEnd);
    return result;
}

HeldFile::HeldFile(const std::string& path, bool sharedWriting) {
    HANDLE file = CreateFileA(path.c_str(), sharedWriting ? GENERIC_WRITE : GENERIC_READ,
                              sharedWriting ? FILE_SHARE_READ | FILE_SHARE_WRITE : FILE_SHARE_READ,
                              nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    handle_ = file == INVALID_HANDLE_VALUE ? nullptr : file;
}

HeldFile::~HeldFile() {
    if (handle_)
        CloseHandle(handle_);
}

}  // namespace tarn::test
