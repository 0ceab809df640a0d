// Whole-process test of the dump tool "mdump.exe": a program of the family faults with the tool
// beside it, and the dump that appears beside the exception file holds the faulting thread. A
// minidump is read here (its header, stream directory and thread list); a core file is opened
// with gdb. Also the tool's refusals: a process that has ended, and a system without gdb.
#include "tests/processdir.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace tarn::test {
namespace {

uint32_t Word(const std::string& data, size_t at) {
    uint32_t value = 0;
    if (at + 4 <= data.size())
        memcpy(&value, data.data() + at, 4);
    return value;
}

// The thread identifiers of a minidump's thread list; an empty list when the file has none.
std::vector<uint32_t> MinidumpThreads(const std::string& dump) {
    constexpr uint32_t kThreadListStream = 3;
    constexpr size_t kDirectoryEntry = 12, kThreadEntry = 48;
    std::vector<uint32_t> threads;
    const uint32_t streams = Word(dump, 8), directory = Word(dump, 12);
    for (uint32_t i = 0; i < streams; ++i) {
        const size_t entry = directory + i * kDirectoryEntry;
        if (entry + kDirectoryEntry > dump.size() || Word(dump, entry) != kThreadListStream)
            continue;
        const size_t list = Word(dump, entry + 8);
        const uint32_t count = Word(dump, list);
        for (uint32_t t = 0; t < count && list + 4 + (t + 1) * kThreadEntry <= dump.size(); ++t)
            threads.push_back(Word(dump, list + 4 + t * kThreadEntry));
    }
    return threads;
}

// The thread identifiers ("LWP n") that gdb lists for a core file.
std::vector<uint32_t> CoreThreads(const std::string& threadList) {
    std::vector<uint32_t> threads;
    const std::regex lwp(R"(LWP (\d+))");
    for (std::sregex_iterator it(threadList.begin(), threadList.end(), lwp), end; it != end; ++it)
        threads.push_back(static_cast<uint32_t>(std::stoul((*it)[1])));
    return threads;
}

// The rest of the program's first output line that starts with `prefix`.
std::string Value(const std::string& output, const std::string& prefix) {
    for (const std::string& line : Split(output, "\n"))
        if (line.rfind(prefix, 0) == 0)
            return line.substr(prefix.size());
    return "";
}

TEST(DumpTool, AFaultLeavesADumpThatHoldsTheFaultingThread) {
    if (*TARN_DUMP_SKIP)
        GTEST_SKIP() << TARN_DUMP_SKIP;
    ProcessDir dir;
    fs::copy_file(TARN_DUMP_TOOL, dir.Path("mdump.exe"));
    ChildResult child = dir.Run({"boxes", "print-pid", "fault-thread", "null"});
    ASSERT_EQ(child.exitCode, 0) << child.output;
    const std::string base = "LOG/" + Today() + "/logprobe";
    // What the system lacks, the tool says: gdb on POSIX, a working MiniDumpWriteDump (Wine).
    for (const char* lack : {"mdump: gdb is not installed", "mdump: MiniDumpWriteDump failed"})
        if (child.output.find(lack) != std::string::npos) {
            EXPECT_FALSE(dir.Exists(base + ".dmp"));
            GTEST_SKIP() << "no dump on this system, as the tool said:\n" << child.output;
        }
    ASSERT_NE(child.output.find("\ndump found\n"), std::string::npos) << child.output;
    EXPECT_FALSE(dir.Exists(base + ".dmp.part"));
    const std::string faulting = Value(child.output, "faulting-thread ");
    ASSERT_FALSE(faulting.empty()) << child.output;

    const std::string dump = dir.Read(base + ".dmp");
    std::vector<uint32_t> threads;
    if (dump.rfind("MDMP", 0) == 0) {
        threads = MinidumpThreads(dump);
    } else {
        ASSERT_EQ(dump.substr(0, 4),
                  "\x7f"
                  "ELF")
            << "neither a minidump nor a core file";
        ChildResult gdb = RunChild("gdb",
                                   {"-nx", "-batch", "-c", dir.Path(base + ".dmp").string(),
                                    dir.Path(TARN_HELPER_NAME).string(), "-ex", "info threads",
                                    "-ex", "thread apply all bt"},
                                   dir.Path("").string(), {});
        ASSERT_EQ(gdb.exitCode, 0) << gdb.output;
        const size_t backtraces = gdb.output.find("\nThread ");
        threads = CoreThreads(gdb.output.substr(0, backtraces));
        // The faulting thread's stack as the core holds it: it waits inside its function.
        const size_t stack = gdb.output.find("LWP " + faulting + ")", backtraces);
        ASSERT_NE(stack, std::string::npos) << gdb.output;
        const std::string faultingStack =
            gdb.output.substr(stack, gdb.output.find("\nThread ", stack) - stack);
        EXPECT_NE(faultingStack.find("FaultingThread ("), std::string::npos) << gdb.output;

        // Without gdb the tool says so and writes nothing.
        ChildResult noGdb = RunChild(dir.Path("mdump.exe").string(),
                                     {"/id" + std::to_string(getpid()), "/fono-gdb.dmp"},
                                     dir.Path("").string(), {{"PATH", "/nonexistent"}});
        EXPECT_NE(noGdb.exitCode, 0);
        EXPECT_NE(noGdb.output.find("gdb is not installed"), std::string::npos) << noGdb.output;
        EXPECT_FALSE(dir.Exists("no-gdb.dmp"));
    }
    EXPECT_GE(threads.size(), 2u) << "the main thread and the faulting one";
    EXPECT_NE(std::find(threads.begin(), threads.end(), std::stoul(faulting)), threads.end())
        << "faulting thread " << faulting;

    // The program has ended: the tool writes nothing for it, and says why.
    ChildResult late =
        RunChild(dir.Path("mdump.exe").string(),
                 {"/id" + Value(child.output, "pid="), "/folate.dmp"}, dir.Path("").string(), {});
    EXPECT_NE(late.exitCode, 0) << late.output;
    EXPECT_NE(late.output.find("has ended"), std::string::npos) << late.output;
    EXPECT_FALSE(dir.Exists("late.dmp"));
}

}  // namespace
}  // namespace tarn::test
