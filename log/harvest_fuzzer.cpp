// A previous log of any bytes, as the start-up reads it for break stacks: every path read has a
// last entry that is not zero and no more entries than its text could hold, and the paths
// written back as "STACK:" lines read back the same.
#include "log/markstack.h"

#include "tests/fuzz/fuzz.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace {

using Paths = std::vector<std::vector<uintptr_t>>;

Paths Read(const std::string& text) {
    std::vector<char> image(text.begin(), text.end());
    image.push_back('\0');
    Paths paths;
    tarn::ReadBreakStacks(
        image.data(), image.size(),
        [](const uintptr_t* ips, int count, void* context) {
            static_cast<Paths*>(context)->emplace_back(ips, ips + count);
            return true;
        },
        &paths);
    return paths;
}

}  // namespace

std::vector<std::string> tarn::fuzz::Seeds() {
    return {
        "12:00:01 Allocator STACK: 0x00401000 0x7F547116524A 0x00000000\r\n"
        "STACK: 0xDEADbeef 0x10\r\nSTACK:0x1 STACK: 0x 0x\r\n",
        std::string("STACK: 0x1\0STACK: 0xFFFFFFFFFFFFFFFFFF 0x2", 41), "STACK: 0x0"};
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1 << 16)
        return 0;
    const std::string text(reinterpret_cast<const char*>(data), size);
    const Paths paths = Read(text);
    size_t entries = 0;
    for (const auto& path : paths) {
        FUZZ_CHECK(!path.empty() && path.back() != 0);
        entries += path.size();
    }
    // Each entry takes at least " 0x" of the text, each path at least "STACK:".
    FUZZ_CHECK(entries * 3 + paths.size() * 6 <= size);

    std::string written;
    for (const auto& path : paths) {
        written += "STACK:";
        for (uintptr_t ip : path) {
            char number[24];
            snprintf(number, sizeof number, " 0x%08" PRIXPTR, ip);
            written += number;
        }
        written += "\r\n";
    }
    FUZZ_CHECK(Read(written) == paths);
    return 0;
}
