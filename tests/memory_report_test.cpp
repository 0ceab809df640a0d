// Whole-process tests of the memory report: the helper program runs on the low-fragmentation
// pool, and at its very end the log lists what it never released, below "[End log]".
#include "tests/processdir.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <set>
#include <string>
#include <utility>

namespace tarn::test {
namespace {

const std::string kSmallHalf =
    "===========\r\nLOW FRAGMENTATION BLOCKS OF MEMORY ( included "
    "OBJECTS and ARRAYS):\r\nTotal missing space: ";

struct Leak {
    std::string block;
    std::string caller;
};

// The blocks the helper reported leaking ("leak 0x... from 0x..."), in order.
std::vector<Leak> Leaks(const std::string& output) {
    std::vector<Leak> leaks;
    std::regex line(R"(leak (0x[0-9A-F]+) from (0x[0-9A-F]+)\n)");
    for (std::sregex_iterator it(output.begin(), output.end(), line), end; it != end; ++it)
        leaks.push_back({(*it)[1], (*it)[2]});
    return leaks;
}

// What the log of `program` holds behind "[End log]".
std::string Report(const ProcessDir& dir, const std::string& program = "logprobe") {
    std::string log = dir.Read("LOG/" + Today() + "/" + program + ".log");
    return log.substr(WithoutMemoryReport(log).size());
}

// A listed block's stack: its first address lies in the program's leaking code, the second is
// that code's caller.
std::string StackOf(const Leak& leak) { return "0x[0-9A-F]{8,} " + leak.caller + " "; }

// The C library's and the program's own blocks reach the pools only through the runtime's
// routing, which sanitizer builds leave to the sanitizer.
const char kNotRouted[] = "the runtime is the process's allocator only with TARN_ROUTE_MALLOC";

TEST(MemoryReport, BlocksLeftAfterTheStartUpAreListedWithTheirStacks) {
    if (!TARN_ROUTE_MALLOC)
        GTEST_SKIP() << kNotRouted;
    ProcessDir dir;
    ChildResult child = dir.Run({"leak", "100", "endstartup", "leak", "300", "leak", "40000"});
    ASSERT_EQ(child.exitCode, 0) << child.output;
    std::vector<Leak> leaks = Leaks(child.output);
    ASSERT_EQ(leaks.size(), 3u) << child.output;
    std::string report = Report(dir);

    // The start-up block is counted, not listed.
    EXPECT_EQ(report.find(leaks[0].block), std::string::npos) << report;
    EXPECT_TRUE(std::regex_search(
        report,
        std::regex("Unfreed=" + leaks[1].block + R"(\[300\]; Native block size=\d+\r\n)" +
                   "Allocator STACK: " + StackOf(leaks[1]) + R"((0x[0-9A-F]{8,} ){8}\r\n)")))
        << report;
    // The C library's own blocks may be listed too, before the summary.
    std::smatch small;
    const std::string summary =
        R"(OBJECTS and ARRAYS\):\r\nTotal missing space: (\d+) bytes in )"
        R"((\d+) memory blocks\r\nUnfreed startup memory blocks : (\d+)\r\n)";
    ASSERT_TRUE(std::regex_search(report, small, std::regex(summary))) << report;
    EXPECT_GE(std::stoi(small[1]), 300);
    EXPECT_GE(std::stoi(small[2]), 1);
    EXPECT_GE(std::stoi(small[3]), 1);

    // The large block is the backing pool's, listed in its half with the same stack.
    EXPECT_TRUE(std::regex_search(
        report, std::regex("Unfreed=" + leaks[2].block + R"(\[ 40000\]'malloc\(\)' allocator )" +
                           R"(IP=(0x[0-9A-F]{8,}) \(Ts:\d+\):\r\nSTACK: \1 )" + leaks[2].caller)))
        << report;
    EXPECT_NE(report.find("Total missing space: 40000 bytes (RTL:0 bytes)\r\n"), std::string::npos);
}

// Objects of the C++ library, a plug-in's own blocks and the system C library's blocks all
// meet the pools; an overrun of a plain malloc block is caught when it is released.
TEST(MemoryReport, EveryAllocatorOfTheProcessIsSeen) {
    if (!TARN_ROUTE_MALLOC)
        GTEST_SKIP() << kNotRouted;
    ProcessDir dir;
    fs::copy_file(fs::path(TARN_PLUGIN_DIR) / "numbered.plg", dir.Path("numbered.plg"));
    ChildResult child = dir.Run({"endstartup", "leak-objects", "plugin-leak", ".\\numbered.plg",
                                 "overrun", "100", "system-block"});
    ASSERT_EQ(child.exitCode, 0) << child.output;
    std::vector<Leak> leaks = Leaks(child.output);
    ASSERT_EQ(leaks.size(), 5u) << child.output;
    const std::string report = Report(dir);
    for (const Leak& leak : leaks)
        EXPECT_NE(report.find("Unfreed=" + leak.block + "["), std::string::npos)
            << leak.block << "\n"
            << report;
    const std::string pluginObject =
        "Unfreed=" + leaks[4].block + "[" + std::to_string(sizeof(std::string)) + "]; ";
    EXPECT_NE(report.find(pluginObject), std::string::npos) << report;

    std::smatch overrun;
    ASSERT_TRUE(std::regex_search(child.output, overrun, std::regex("overrun (0x[0-9A-F]+)\n")));
    std::smatch system;
    ASSERT_TRUE(std::regex_search(child.output, system, std::regex(R"(system-block (\d+)\n)")));
    EXPECT_GE(std::stoul(system[1]), 4000u);
    // The overrun's record is the only one.
    const std::string exc = dir.Read("LOG/" + Today() + "/logprobe.exc");
    EXPECT_TRUE(std::regex_search(
        exc, std::regex("Corrupted memory block, UPPER boundary\\. Block ptr: " + overrun[1].str() +
                        "; Size:100; Holder block size: \\d+\r\nAllocator STACK: ")))
        << exc;
    EXPECT_EQ(exc.find("Corrupted", exc.find("Corrupted") + 1), std::string::npos) << exc;
}

// The blocks a report lists, by size, in order.
std::vector<std::string> Listed(const std::string& report) {
    std::vector<std::string> sizes;
    std::regex line(R"(Unfreed=0x[0-9A-F]+(\[ *\d+\]))");
    for (std::sregex_iterator it(report.begin(), report.end(), line), end; it != end; ++it)
        sizes.push_back((*it)[1]);
    return sizes;
}

// Whatever the library does after the start-up, it leaves no block of its own behind: the report
// lists what the same program lists when it does nothing (the C library's own blocks).
TEST(MemoryReport, TheLibraryLeavesNothingAndTheSummaryFollowsTheSwitch) {
    for (bool withMem : {true, false}) {
        auto run = [withMem](const std::vector<std::string>& commands) {
            ProcessDir dir;
            if (!withMem)
                dir.Write("logprobe.ini", "[PROGRAM]\r\nCommandLine= /gpfshow /stack\r\n");
            ChildResult child = dir.Run(commands);
            EXPECT_EQ(child.exitCode, 0) << child.output;
            return Report(dir);
        };
        std::string idle = run({"endstartup"});
        std::string busy = run({"endstartup", "log", "one", "history", "saved", "the file",
                                "3 items", "set", "Demo", "count", "5", "report", "a record"});
        EXPECT_EQ(Listed(busy), Listed(idle)) << busy << "\n----\n" << idle;
        EXPECT_NE(busy.find(kSmallHalf), std::string::npos) << busy;
        EXPECT_EQ(busy.find("BIG BLOCKS OF MEMORY") != std::string::npos, withMem) << busy;
        EXPECT_EQ(busy.find("BLOCKS OF MEMORY WAS ALLOCATED: ") != std::string::npos, !withMem)
            << busy;
    }
}

// The blocks that `pattern` finds in `text`: its first group the address, its second the size.
std::set<std::pair<std::string, unsigned long>> Blocks(const std::string& text,
                                                       const std::string& pattern) {
    std::set<std::pair<std::string, unsigned long>> blocks;
    std::regex line(pattern);
    for (std::sregex_iterator it(text.begin(), text.end(), line), end; it != end; ++it)
        blocks.insert({(*it)[1], std::stoul((*it)[2])});
    return blocks;
}

// Eight threads hand blocks of every size to one another for a while (TARN_STRESS_SECONDS, 2
// unless told): no block's pattern changes, no damage is reported, and the report lists exactly
// the three blocks the program kept.
TEST(MemoryReport, BlocksHandedBetweenThreadsStayWholeAndOnlyTheKeptOnesAreListed) {
    if (!TARN_ROUTE_MALLOC)
        GTEST_SKIP() << kNotRouted;
    const unsigned long seconds = EnvironmentNumber("TARN_STRESS_SECONDS", 2);
    ProcessDir dir(TARN_STRESS_NAME);
    ChildResult child = dir.Run({std::to_string(seconds)});
    printf("%s", child.output.c_str());
    EXPECT_EQ(child.exitCode, 0);
    EXPECT_NE(child.output.find("\ndamaged 0\n"), std::string::npos);
    const std::string day = "LOG/" + Today();
    EXPECT_EQ(dir.Files(day),
              (std::set<std::string>{"memstress.hst", "memstress.log", "memstress.map"}))
        << dir.Read(day + "/memstress.exc");

    const auto kept = Blocks(child.output, R"(kept (0x[0-9A-F]+) (\d+)\n)");
    ASSERT_EQ(kept.size(), 3u) << child.output;
    const std::string report = Report(dir, "memstress");
    EXPECT_EQ(Blocks(report, R"(Unfreed=(0x[0-9A-F]+)\[ *(\d+)\])"), kept) << report;
    EXPECT_NE(report.find("Total missing space: 5100 bytes in 2 memory blocks\r\n"),
              std::string::npos)
        << report;
    EXPECT_NE(report.find("Total missing space: 40000 bytes (RTL:0 bytes)\r\n"), std::string::npos)
        << report;
}

TEST(MemoryReport, TheCompanionModuleKeepsThePoolsAndTheReportOut) {
    ProcessDir dir;
    fs::copy_file(TARN_COMPANION_MODULE, dir.Path("LockOut.DLL"));
    ChildResult child = dir.Run({"endstartup", "leak", "100", "leak", "40000"});
    ASSERT_EQ(child.exitCode, 0) << child.output;
    EXPECT_EQ(Leaks(child.output).size(), 2u) << child.output;
    EXPECT_EQ(Report(dir), "");
}

}  // namespace
}  // namespace tarn::test
