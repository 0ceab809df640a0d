// Whole-process tests of the crash reports: faults caught as their codes, the exception file's
// records, the dump tool started once, the first fault shown, run-time imports, and the
// fallback into the history file when the exception file cannot be opened.
#include "tests/processdir.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace tarn::test {
namespace {

const std::string kRegister = "[0-9A-F]+";

std::string RegisterLine(const std::vector<std::string>& names) {
    std::string pattern;
    for (const std::string& name : names)
        pattern += (pattern.empty() ? "" : " ") + name + "=" + kRegister;
    return pattern;
}

// The program's output lines that start with `prefix`, without it.
std::vector<std::string> OutputLines(const std::string& output, const std::string& prefix) {
    std::vector<std::string> found;
    for (const std::string& line : Split(output, "\n"))
        if (line.rfind(prefix, 0) == 0)
            found.push_back(line.substr(prefix.size()));
    return found;
}

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// The dump tool runs on its own after the program started it.
std::string WaitForFile(const ProcessDir& dir, const std::string& name) {
    for (int i = 0; i < 100 && !dir.Exists(name); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return dir.Exists(name) ? dir.Read(name) : "";
}

TEST(CrashReports, FaultsAreRecordedWithNameRegistersAndCallPath) {
    ProcessDir dir;
    fs::copy_file(TARN_MDUMP_TOOL, dir.Path("mdump.exe"));
    // The default switches hold "/gpfshow": the first fault, and only it, shows a box.
    ChildResult child =
        dir.Run({"boxes", "print-pid", "fault", "null", "fault", "div", "fault", "int3"});
    ASSERT_EQ(child.exitCode, 0) << child.output;
    EXPECT_EQ(OutputLines(child.output, "caught "),
              (std::vector<std::string>{"0xC0000005", "0xC0000094", "0x80000003"}))
        << child.output;
    EXPECT_EQ(Count(child.output, "box INTERNAL ERROR: Exception 0xC0000005: ACCESS_VIOLATION\n"),
              1u)
        << child.output;
    EXPECT_EQ(Count(child.output, "box "), 1u) << child.output;
    std::vector<std::string> expected = OutputLines(child.output, "expect ");
    ASSERT_EQ(expected.size(), 3u) << child.output;

    const char p = sizeof(void*) == 4 ? 'E' : 'R';
    auto r = [p](const char* name) { return std::string(1, p) + name; };
    const std::string registers1 = RegisterLine({r("AX"), r("BX"), r("CX"), r("DX"), r("SI")});
    const std::string registers2 = RegisterLine({r("DI"), r("IP"), r("BP"), r("SP"), "EFL"});
    const std::string stamp = R"(\d\d:\d\d\.\d{3}\.\d{3})";
    auto stack = [](const std::string& first) {
        std::string pattern = R"(\[Advanced STACK:)";
        for (const std::string& address : Split(first, " "))
            pattern += " EIP=" + address;
        return pattern + R"(( EIP=0x[0-9A-F]+)*\])";
    };
    const std::string exc = "LOG/" + Today() + "/logprobe.exc";
    ExpectLines(dir.Read(exc), {R"(// \d{4}-\d\d-\d\d \d\d:\d\d:\d\d)",
                                kBuilt,
                                "",
                                stamp,
                                "Exception 0xC0000005: ACCESS_VIOLATION",
                                registers1,
                                registers2,
                                stack(expected[0]),
                                stamp,
                                "Exception 0xC0000094: INTEGER_DIVIDE_BY_ZERO",
                                registers1,
                                registers2,
                                stack(expected[1]),
                                stamp,
                                "Exception 0x80000003: ",
                                registers1,
                                registers2,
                                stack(expected[2]),
                                stamp,
                                R"(\[Full shutdown\])",
                                stack("0x[0-9A-F]+")});

    // One start of the dump tool, given this process and the dump file beside the records.
    std::vector<std::string> pid = OutputLines(child.output, "pid=");
    ASSERT_EQ(pid.size(), 1u);
    std::vector<std::string> starts = Split(WaitForFile(dir, "mdump.txt"), "\n");
    ASSERT_EQ(starts.size(), 2u) << "one line and the end";
    std::string dump = "LOG\\" + Today() + "\\logprobe.dmp";
    EXPECT_TRUE(std::regex_match(
        starts[0], std::regex(R"(cmdline= *\/h0x[0-9a-f]+ \/id)" + pid[0] + R"( \/fo"?)" +
                              std::regex_replace(dump, std::regex(R"(\\)"), R"(\\)") +
                              R"("? *\|handle-pid=)" + pid[0])))
        << starts[0];
}

TEST(CrashReports, AMissingImportIsShownAndRecorded) {
    ProcessDir dir;
    ChildResult child = dir.Run({"boxes", "import", "logprobe_entry", "import", "NoSuchEntry"});
    ASSERT_EQ(child.exitCode, 0) << child.output;
    EXPECT_NE(child.output.find("import logprobe_entry=found\n"), std::string::npos);
    EXPECT_NE(child.output.find("import NoSuchEntry=null\n"), std::string::npos);
    EXPECT_EQ(Count(child.output, "box "), 1u) << child.output;
    const std::string module = R"('[^']*logprobe[^']*')";
    EXPECT_TRUE(std::regex_search(
        dir.Read("LOG/" + Today() + "/logprobe.exc"),
        std::regex("\r\nEntry 'NoSuchEntry' not found into module " + module +
                   "\r\n\\(required to run module " + module + R"( \)\[Advanced STACK: EIP=)")))
        << dir.Read("LOG/" + Today() + "/logprobe.exc");
}

// "/mem /int3": the call paths that the previous run's log lists become break stacks, each
// firing once, when the same path is marked again (children run at the same addresses).
TEST(CrashReports, ACallPathFromThePreviousLogBreaksOnce) {
    ProcessDir dir;
    ChildResult first = dir.Run({"mark-path"});
    std::vector<std::string> path = OutputLines(first.output, "path ");
    ASSERT_EQ(path.size(), 1u) << first.output;
    const std::string log = "LOG/" + Today() + "/logprobe.log";
    std::ofstream(dir.Path(log), std::ios::app) << "00:00.000.000 " << path[0] << "\r\n";
    dir.Write("logprobe.ini", "[PROGRAM]\r\nCommandLine= /mem /int3\r\n");

    ChildResult second = dir.Run({"mark-path", "mark-path"});
    ASSERT_EQ(second.exitCode, 0) << second.output;
    EXPECT_EQ(OutputLines(second.output, "path "), (std::vector<std::string>{path[0], path[0]}));
    std::string exc = dir.Read("LOG/" + Today() + "/logprobe.exc");
    EXPECT_EQ(Count(exc, "\r\nException 0x80000003: \r\n"), 1u) << exc;
}

// Another program holds the exception file: one that writes and shares writing lets the
// second open mode in; one that denies writing sends the record to the history file.
TEST(CrashReports, AnExceptionFileHeldByAnotherProgram) {
    ProcessDir dir;
    const std::string exc = "LOG/" + Today() + "/logprobe.exc";
    dir.Write(exc, "");
    {
        HeldFile held(dir.Path(exc).string(), true);
        if (!held.Held())
            GTEST_SKIP() << "share modes exist only on Windows";
        ASSERT_EQ(dir.Run({"report", "first"}).exitCode, 0);
    }
    EXPECT_NE(dir.Read(exc).find("\r\nfirst\r\n[Advanced STACK:"), std::string::npos)
        << dir.Read(exc);
    {
        HeldFile held(dir.Path(exc).string(), false);
        ASSERT_EQ(dir.Run({"report", "second"}).exitCode, 0);
    }
    EXPECT_EQ(dir.Read(exc).find("second"), std::string::npos);
    std::string history = dir.Read("LOG/" + Today() + "/logprobe.hst");
    EXPECT_NE(
        history.find("INTERNAL ERROR:exceptout() damaged\r\n%s\r\nsecond\r\n[Advanced STACK:"),
        std::string::npos)
        << history;
}

}  // namespace
}  // namespace tarn::test
