// Running a helper program as a child process, as the whole-process tests need it.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace tarn::test {

struct ChildResult {
    int exitCode = -1;  // the program's exit code, or the signal that ended it
    bool signalled = false;
    std::string output;  // standard output and standard error together
};

typedef std::vector<std::pair<std::string, std::string>> Environment;

// Runs `program` with `arguments` in `directory`, with `environment` added to this process's
// own, and waits for its end. On POSIX a cross build starts it through its emulator.
ChildResult RunChild(const std::string& program, const std::vector<std::string>& arguments,
                     const std::string& directory, const Environment& environment);

// Holds a file open as another program would, for tests of share modes. With `sharedWriting`
// the holder writes and lets others write too; otherwise it reads and denies writing to
// others. Only Windows has share modes: elsewhere nothing is held (Held() is false).
class HeldFile {
public:
    HeldFile(const std::string& path, bool sharedWriting);
    ~HeldFile();
    HeldFile(const HeldFile&) = delete;
    HeldFile& operator=(const HeldFile&) = delete;

    bool Held() const { return handle_ != nullptr; }

private:
    void* handle_ = nullptr;
};

}  // namespace tarn::test
