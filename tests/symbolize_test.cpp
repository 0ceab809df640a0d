// Whole-process tests of tarnsym: the records that the helper program leaves, resolved with the
// module map beside them to the helper's own functions and lines; modules that are gone or are
// another build keep module and offset; the file itself comes through unchanged.
#include "tests/processdir.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

namespace tarn::test {
namespace {

// tarnsym's standard output for `file` (its warnings go to `warnings`).
std::string Symbolize(const fs::path& file, std::string* warnings = nullptr) {
    const fs::path errors = file.string() + ".warnings";
    const std::string command = std::string("'") + TARN_SYMBOLIZER + "' '" + file.string() +
                                "' 2>'" + errors.string() + "'";
    std::string out;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[4096];
        for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
            out.append(buffer, n);
        EXPECT_EQ(pclose(pipe), 0) << command;
    }
    if (warnings) {
        std::ifstream in(errors);
        *warnings = std::string(std::istreambuf_iterator<char>(in), {});
    }
    return out;
}

// The annotation lines go; what is left is the file.
std::string WithoutAnnotations(const std::string& text) {
    return std::regex_replace(text, std::regex("      at [^\r\n]*\r\n"), "");
}

// The number of the first line of the helper's source that holds `text`.
int SourceLine(const std::string& text) {
    std::ifstream source(TARN_HELPER_SOURCE);
    std::string line;
    for (int number = 1; std::getline(source, line); ++number)
        if (line.find(text) != std::string::npos)
            return number;
    ADD_FAILURE() << text << " is not in " << TARN_HELPER_SOURCE;
    return 0;
}

// The annotation of `address` (as the record writes it, "0x" and digits).
std::string AnnotationOf(const std::string& symbolized, const std::string& address) {
    std::smatch m;
    std::regex line("      at " + address + " ([^\r\n]*)\r\n");
    return std::regex_search(symbolized, m, line) ? m[1].str() : "";
}

// "logprobe!" and the function (C++ names hold blanks), its offset, the helper's source and
// `line`.
std::string At(const std::string& function, int line) {
    return "logprobe![^\r\n]*" + function + R"([^\r\n]*\+0x[0-9A-F]+ \(\S*logprobe\.cpp:)" +
           std::to_string(line) + R"(\))";
}

TEST(Symbolizer, ACrashRecordNamesTheHelpersFunctionsWithTheirLines) {
    ProcessDir dir;
    ChildResult child = dir.Run({"boxes", "fault", "null", "report", "after the fault"});
    ASSERT_EQ(child.exitCode, 0) << child.output;
    std::smatch expect;
    ASSERT_TRUE(
        std::regex_search(child.output, expect, std::regex(R"(expect (0x\S+) (0x\S+) (0x\S+)\n)")))
        << child.output;
    const fs::path exc = dir.Path("LOG/" + Today() + "/logprobe.exc");
    std::string warnings;
    const std::string symbolized = Symbolize(exc, &warnings);

    // Each return address names the call it returns from; the fault's own address the access.
    EXPECT_TRUE(
        std::regex_match(AnnotationOf(symbolized, expect[1]),
                         std::regex(At("FaultCaller\\(", SourceLine("return Fault(kind) + 1;")))))
        << symbolized;
    EXPECT_TRUE(std::regex_match(
        AnnotationOf(symbolized, expect[2]),
        std::regex(At("FaultCallerCaller\\(", SourceLine("return FaultCaller(kind) + 1;")))))
        << symbolized;
    const int runFault = SourceLine("FaultCallerCaller(kind);");
    EXPECT_TRUE(std::regex_search(AnnotationOf(symbolized, expect[3]),
                                  std::regex(R"(logprobe![^\r\n]*RunFault[^\r\n]*logprobe\.cpp:)" +
                                             std::to_string(runFault))))
        << symbolized;
    std::smatch ip;
    ASSERT_TRUE(std::regex_search(symbolized, ip, std::regex(R"([ER]IP=([0-9A-F]+) )")));
    EXPECT_TRUE(std::regex_match(AnnotationOf(symbolized, "0x" + ip[1].str()),
                                 std::regex(At("Fault\\(", SourceLine("return *gNull;")))))
        << symbolized;
    // The explicit report's stack starts at exceptout's caller.
    EXPECT_TRUE(std::regex_search(
        symbolized,
        std::regex("after the fault\r\n\\[Advanced STACK: EIP=\\S+ [^\r]*\r\n      at \\S+ " +
                   At("main", SourceLine("exceptout(\"%s\\r\\n\", next());")))))
        << symbolized;

    EXPECT_EQ(WithoutAnnotations(symbolized), dir.Read("LOG/" + Today() + "/logprobe.exc"));
    EXPECT_EQ(warnings.find("another build"), std::string::npos) << warnings;
}

struct Mapped {
    uint64_t base = 0;
    uint64_t size = 0;
};

Mapped FindInMap(const std::string& map, const std::string& name) {
    std::smatch m;
    if (!std::regex_search(
            map, m, std::regex(R"(module 0x([0-9A-F]+) 0x([0-9A-F]+) \S+ \S*/)" + name + "\r\n")))
        return {};
    return {std::stoull(m[1], nullptr, 16), std::stoull(m[2], nullptr, 16)};
}

std::string Hex(uint64_t value) {
    char text[20];
    snprintf(text, sizeof text, "%llX", static_cast<unsigned long long>(value));
    return text;
}

TEST(Symbolizer, AModuleThatIsGoneOrAnotherBuildKeepsModuleAndOffset) {
    if (!TARN_ROUTE_MALLOC)
        GTEST_SKIP() << "the memory report lists the process's blocks only where the runtime "
                        "serves every allocation, which a sanitizer build leaves to the sanitizer";
    ProcessDir dir;
    const fs::path plugin = dir.Path("numbered.plg");
    fs::copy_file(fs::path(TARN_PLUGIN_DIR) / "numbered.plg", plugin);
    ChildResult child = dir.Run({"endstartup", "plugin-leak", ".\\numbered.plg"});
    ASSERT_EQ(child.exitCode, 0) << child.output;
    std::smatch leak;
    ASSERT_TRUE(std::regex_search(child.output, leak, std::regex(R"(leak (0x[0-9A-F]+) from)")));
    const std::string day = "LOG/" + Today() + "/";
    const Mapped mapped = FindInMap(dir.Read(day + "logprobe.map"), "numbered.plg");
    ASSERT_NE(mapped.size, 0u);
    // The stack of the plug-in's block: its first entry lies in the plug-in's code.
    const std::string log = dir.Read(day + "logprobe.log");
    std::smatch stack;
    ASSERT_TRUE(
        std::regex_search(log, stack,
                          std::regex("Unfreed=" + leak[1].str() +
                                     R"(\[\d+\][^\r]*\r\nAllocator STACK: (0x([0-9A-F]+)) )")))
        << log;
    const uint64_t inPlugin = std::stoull(stack[2], nullptr, 16);
    ASSERT_TRUE(inPlugin - mapped.base < mapped.size) << stack[1];
    const std::string plain = "numbered.plg+0x" + Hex(inPlugin - mapped.base);

    // While it is there, it is resolved.
    std::string annotation = AnnotationOf(Symbolize(dir.Path(day + "logprobe.log")), stack[1]);
    EXPECT_TRUE(std::regex_search(
        annotation,
        std::regex(R"(numbered\.plg!tarnTestPluginLeak\+0x[0-9A-F]+ \(\S*numbered\.cpp:\d+\))")))
        << annotation;

    // Another module under its name is not read as if it were the one the process ran.
    fs::copy_file(fs::path(TARN_PLUGIN_DIR) / "empty.plg", plugin,
                  fs::copy_options::overwrite_existing);
    std::string warnings;
    std::string symbolized = Symbolize(dir.Path(day + "logprobe.log"), &warnings);
    EXPECT_EQ(AnnotationOf(symbolized, stack[1]), plain) << symbolized;
    EXPECT_NE(warnings.find("numbered.plg: another build"), std::string::npos) << warnings;

    fs::remove(plugin);
    symbolized = Symbolize(dir.Path(day + "logprobe.log"), &warnings);
    EXPECT_EQ(AnnotationOf(symbolized, stack[1]), plain) << symbolized;
    EXPECT_NE(warnings.find("numbered.plg: no such file here"), std::string::npos) << warnings;
    // The program's own frames are still resolved, and the log comes through as it was.
    EXPECT_TRUE(std::regex_search(symbolized, std::regex(R"(logprobe![^\r\n]*PluginLeak)")))
        << symbolized;
    EXPECT_EQ(WithoutAnnotations(symbolized), log);
}

}  // namespace
}  // namespace tarn::test
