// A fuzz target as a plain program: runs the target's seeds, then every file named on the
// command line (a directory stands for the files in it), as a fuzzing run would. Prints how many
// inputs it ran; a failed property ends it as in a fuzzing run.
#include "tests/fuzz/fuzz.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace {

void Run(const std::string& input) {
    // A copy of its own, exactly as long as the input, so that a read past the end is caught
    // where the build can catch it.
    std::vector<uint8_t> bytes(input.begin(), input.end());
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
}

bool RunFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        fprintf(stderr, "cannot read %s\n", path.string().c_str());
        return false;
    }
    Run(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()));
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    size_t count = 0;
    for (const std::string& seed : tarn::fuzz::Seeds()) {
        Run(seed);
        ++count;
    }
    for (int a = 1; a < argc; ++a) {
        std::error_code error;
        if (!std::filesystem::is_directory(argv[a], error)) {
            if (!RunFile(argv[a]))
                return 2;
            ++count;
            continue;
        }
        std::vector<std::filesystem::path> files;
        for (const auto& entry : std::filesystem::directory_iterator(argv[a]))
            if (entry.is_regular_file())
                files.push_back(entry.path());
        std::sort(files.begin(), files.end());
        for (const auto& file : files) {
            if (!RunFile(file))
                return 2;
            ++count;
        }
    }
    printf("%zu inputs replayed\n", count);
    return count ? 0 : 1;
}
