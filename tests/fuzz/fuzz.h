// What every fuzz target shares: the entry libFuzzer calls, the seeds a target builds in code,
// and the check of a property, which ends the run with the failed condition named.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace tarn::fuzz {

// Inputs a target makes in code (binary formats are not kept in the tree). The replay runs them
// before the corpus; a fuzzing run starts from them. Every target defines it, empty when its
// seeds are all in its corpus directory.
std::vector<std::string> Seeds();

// A directory of this process's own below the system's temporary directory, removed at exit:
// its native form, and the form the library writes paths in (with backslashes).
const std::string& ScratchDir();
std::string ScratchPath(const std::string& name);
void WriteFile(const std::string& name, const std::string& bytes);

[[noreturn]] void Fail(const char* condition, const char* file, int line);

}  // namespace tarn::fuzz

#define FUZZ_CHECK(condition) \
    ((condition) ? (void)0 : ::tarn::fuzz::Fail(#condition, __FILE__, __LINE__))
