#include "tests/fuzz/fuzz.h"

#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>

namespace tarn::fuzz {

namespace {

struct Scratch {
    std::filesystem::path native;
    std::string path;

    Scratch() {
        std::random_device random;
        native = std::filesystem::temp_directory_path() / ("tarn-fuzz-" + std::to_string(random()));
        std::filesystem::create_directories(native);
        path = native.string();
        std::replace(path.begin(), path.end(), '/', '\\');
    }
    ~Scratch() {
        std::error_code ignored;
        std::filesystem::remove_all(native, ignored);
    }
};

Scratch& TheScratch() {
    static Scratch scratch;
    return scratch;
}

}  // namespace

const std::string& ScratchDir() { return TheScratch().path; }

std::string ScratchPath(const std::string& name) {
    std::string path = TheScratch().path + "\\" + name;
    std::replace(path.begin(), path.end(), '/', '\\');
    return path;
}

void WriteFile(const std::string& name, const std::string& bytes) {
    std::filesystem::path file = TheScratch().native / name;
    std::filesystem::create_directories(file.parent_path());
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), std::streamsize(bytes.size()));
}

void Fail(const char* condition, const char* file, int line) {
    fprintf(stderr, "%s:%d: property failed: %s\n", file, line, condition);
    fflush(stderr);
    abort();
}

}  // namespace tarn::fuzz

// A fuzzing run (tools/fuzz.sh) names a directory in TARN_FUZZ_SEED_DIR: the target's seeds
// are written there, one file each, for libFuzzer to start from.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* directory = getenv("TARN_FUZZ_SEED_DIR");
    if (!directory)
        return 0;
    int number = 0;
    for (const std::string& seed : tarn::fuzz::Seeds()) {
        std::ofstream out(std::string(directory) + "/seed-" + std::to_string(++number),
                          std::ios::binary);
        out.write(seed.data(), std::streamsize(seed.size()));
    }
    return 0;
}
