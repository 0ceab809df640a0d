// Child processes on POSIX: fork and exec, through the emulator of a cross build
// (TARN_CHILD_EMULATOR, empty when the program runs natively), without address randomisation.
#include "tests/child.h"

#include <cstring>
#include <sys/personality.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace tarn::test {

ChildResult RunChild(const std::string& program, const std::vector<std::string>& arguments,
                     const std::string& directory, const Environment& environment) {
    // Everything the child needs is made before the fork: after it, only exec follows.
    std::vector<std::string> words;
    if (*TARN_CHILD_EMULATOR)
        words.push_back(TARN_CHILD_EMULATOR);
    words.push_back(program);
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);

    std::vector<std::string> entries;
    for (char** entry = environ; *entry; ++entry) {
        bool replaced = false;
        for (const auto& [name, value] : environment)
            replaced |= strncmp(*entry, (name + "=").c_str(), name.size() + 1) == 0;
        if (!replaced)
            entries.push_back(*entry);
    }
    for (const auto& [name, value] : environment)
        entries.push_back(name + "=" + value);
    std::vector<char*> envp;
    for (std::string& entry : entries)
        envp.push_back(entry.data());
    envp.push_back(nullptr);

    ChildResult result;
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0)
        return result;
    pid_t child = fork();
    if (child == 0) {
        dup2(pipeEnds[1], 1);
        dup2(pipeEnds[1], 2);
        close(pipeEnds[0]);
        close(pipeEnds[1]);
        // Without address randomisation the addresses one run logs are those of the next.
        personality(ADDR_NO_RANDOMIZE);
        if (chdir(directory.c_str()) == 0)
            execvpe(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(pipeEnds[1]);
    char buffer[4096];
    for (ssize_t n; (n = read(pipeEnds[0], buffer, sizeof buffer)) > 0;)
        result.output.append(buffer, static_cast<size_t>(n));
    close(pipeEnds[0]);
    int status = 0;
    if (child > 0 && waitpid(child, &status, 0) == child) {
        result.signalled = WIFSIGNALED(status);
        result.exitCode = result.signalled ? WTERMSIG(status) : WEXITSTATUS(status);
    }
    return result;
}

HeldFile::HeldFile(const std::string&, bool) {}

HeldFile::~HeldFile() = default;

}  // namespace tarn::test
