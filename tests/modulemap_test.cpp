// Whole-process tests of the module map: the blocks that the first crash record and the memory
// report add to "<program>.map", tied to their process, listing the modules the records'
// addresses point into.
#include "tests/processdir.h"

#include <gtest/gtest.h>

#include <cctype>
#include <regex>
#include <string>
#include <vector>

namespace tarn::test {
namespace {

struct MappedModule {
    uint64_t base = 0;
    uint64_t size = 0;
    std::string id;
    std::string path;

    // The file name, in small letters: Windows paths differ in case.
    std::string Name() const {
        std::string name = path.substr(path.find_last_of("/\\") + 1);
        for (char& c : name)
            c = char(std::tolower(static_cast<unsigned char>(c)));
        return name;
    }
    bool Holds(uint64_t address) const { return address - base < size; }
};

struct MapBlock {
    std::string pid;
    std::string started;
    std::string occasion;
    std::vector<MappedModule> modules;
    std::string closing;
};

// Every line must have one of the map's three forms.
std::vector<MapBlock> ReadMap(const std::string& text) {
    const std::regex process(R"(process (\d+) started (\d{4}-\d\d-\d\d \d\d:\d\d:\d\d) at (.+))");
    const std::regex module(R"(module 0x([0-9A-F]{8,}) 0x([0-9A-F]{8,}) )"
                            R"((elf:[0-9A-F]{2,}|pdb:[0-9A-F]{33,}|pe:[0-9A-F]{9,}|-) (.*))");
    const std::regex closing(R"(modules (\d+|incomplete))");
    std::vector<MapBlock> blocks;
    std::vector<std::string> lines = Split(text, "\r\n");
    EXPECT_EQ(lines.back(), "") << "the map does not end with CRLF";
    lines.pop_back();
    for (const std::string& line : lines) {
        std::smatch m;
        if (std::regex_match(line, m, process)) {
            blocks.push_back({m[1], m[2], m[3], {}, ""});
        } else if (!blocks.empty() && std::regex_match(line, m, module)) {
            blocks.back().modules.push_back(
                {std::stoull(m[1], nullptr, 16), std::stoull(m[2], nullptr, 16), m[3], m[4]});
        } else if (!blocks.empty() && std::regex_match(line, m, closing)) {
            blocks.back().closing = m[1];
        } else {
            ADD_FAILURE() << "not a line of the map: \"" << line << "\"";
        }
    }
    return blocks;
}

const MappedModule* Find(const MapBlock& block, const std::string& name) {
    for (const MappedModule& module : block.modules)
        if (module.Name() == name)
            return &module;
    return nullptr;
}

std::string Lower(std::string text) {
    for (char& c : text)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// A block lists distinct modules, counted by its closing line, the program among them first
// and the library too.
void ExpectWholeBlock(const MapBlock& block) {
    EXPECT_EQ(block.closing, std::to_string(block.modules.size()));
    ASSERT_FALSE(block.modules.empty());
    EXPECT_EQ(block.modules[0].Name(), Lower(TARN_HELPER_NAME));
    EXPECT_NE(Find(block, Lower(TARN_LIBRARY_NAME)), nullptr) << TARN_LIBRARY_NAME;
    for (size_t i = 0; i < block.modules.size(); ++i) {
        const MappedModule& a = block.modules[i];
        EXPECT_GT(a.size, 0u) << a.path;
        for (size_t j = i + 1; j < block.modules.size(); ++j) {
            const MappedModule& b = block.modules[j];
            EXPECT_TRUE(a.base + a.size <= b.base || b.base + b.size <= a.base)
                << a.path << " overlaps " << b.path;
        }
    }
}

std::string Capture(const std::string& text, const std::string& pattern) {
    std::smatch m;
    return std::regex_search(text, m, std::regex(pattern)) ? m[1].str() : "";
}

TEST(ModuleMap, TheFirstCrashRecordWritesTheModulesItsAddressesPointInto) {
    ProcessDir dir;
    // "boxes": the first fault's box ("/gpfshow") goes to the output, not to a window.
    ChildResult child = dir.Run({"boxes", "print-pid", "fault", "null", "fault", "div"});
    ASSERT_EQ(child.exitCode, 0) << child.output;
    const std::string day = "LOG/" + Today() + "/";
    std::vector<MapBlock> blocks = ReadMap(dir.Read(day + "logprobe.map"));
    ASSERT_FALSE(blocks.empty());
    const MapBlock& crash = blocks[0];
    EXPECT_EQ(crash.occasion, "crash record");
    // The second record writes no block: the memory report's comes next, if any.
    for (size_t i = 1; i < blocks.size(); ++i)
        EXPECT_EQ(blocks[i].occasion, "memory report");
    ExpectWholeBlock(crash);

    EXPECT_EQ(crash.pid, Capture(child.output, R"(pid=(\d+)\n)"));
    const std::string exc = dir.Read(day + "logprobe.exc");
    EXPECT_EQ(crash.started, Capture(exc, R"(^// (\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)\r\n)")) << exc;

    // The faulting call path lies in the program's module.
    const std::string expect = Capture(child.output, R"(expect ([0-9A-Fx ]+)\n)");
    const std::vector<std::string> addresses = Split(expect, " ");
    ASSERT_EQ(addresses.size(), 3u) << child.output;
    for (const std::string& address : addresses)
        EXPECT_TRUE(crash.modules[0].Holds(std::stoull(address, nullptr, 16))) << address;
}

TEST(ModuleMap, TheMemoryReportWritesTheModulesOfTheProcessAtItsEnd) {
    ProcessDir dir;
    const std::string day = "LOG/" + Today() + "/";
    // Last week's map goes with last week's files.
    dir.Write(day + "logprobe.map", "last week\r\n",
              fs::file_time_type::clock::now() - std::chrono::hours(24 * 7));
    fs::copy_file(fs::path(TARN_PLUGIN_DIR) / "numbered.plg", dir.Path("numbered.plg"));
    ChildResult child = dir.Run({"print-pid", "endstartup", "plugin-leak", ".\\numbered.plg"});
    ASSERT_EQ(child.exitCode, 0) << child.output;
    EXPECT_FALSE(dir.Exists(day + "logprobe.exc"));
    std::vector<MapBlock> blocks = ReadMap(dir.Read(day + "logprobe.map"));
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0].occasion, "memory report");
    EXPECT_EQ(blocks[0].pid, Capture(child.output, R"(pid=(\d+)\n)"));
    ExpectWholeBlock(blocks[0]);
    // A module loaded late is there too, and so is the program that called into it.
    const MappedModule* plugin = Find(blocks[0], "numbered.plg");
    ASSERT_NE(plugin, nullptr);
    const std::string caller = Capture(child.output, R"(leak 0x[0-9A-F]+ from (0x[0-9A-F]+)\n)");
    ASSERT_FALSE(caller.empty()) << child.output;
    EXPECT_TRUE(blocks[0].modules[0].Holds(std::stoull(caller, nullptr, 16))) << caller;

    const std::string log = dir.Read(day + "logprobe.log");
    EXPECT_EQ(blocks[0].started,
              Capture(log, R"(^\d\d:\d\d\.\d{3}\.\d{3} // (\d{4}-\d\d-\d\d \d\d:\d\d:\d\d) )"));
    // Identifiers are the modules' own: the program and the plug-in are different builds.
    EXPECT_NE(blocks[0].modules[0].id, plugin->id);
}

}  // namespace
}  // namespace tarn::test
