// A fresh working directory with a copy of the helper program, in which the whole-process
// tests run it as a child and read the files it leaves; and the patterns of those files.
#pragma once

#include "tests/child.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace tarn::test {

namespace fs = std::filesystem;

inline const char* const kWeekdays[] = {"SUN", "MON", "TUE", "WED", "THU", "FRI", "SAT"};
// A log line's stamp and its blank: mm:ss.mmm.uuu (hours only after an hour).
inline const std::string kStamp = R"(\d\d:\d\d\.\d{3}\.\d{3} )";
inline const std::string kBuilt = R"(Executable from: [A-Z][a-z]{2} [ \d]\d \d{4} \d\d:\d\d:\d\d)";

inline std::string Today() {
    std::time_t now = std::time(nullptr);
    return kWeekdays[std::localtime(&now)->tm_wday];
}

// A path as the library gives it back: with backslashes.
inline std::string LibraryPath(const fs::path& path) {
    std::string text = path.string();
    std::replace(text.begin(), text.end(), '/', '\\');
    return text;
}

inline std::vector<std::string> Split(const std::string& text, const std::string& separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t end; (end = text.find(separator, start)) != std::string::npos;
         start = end + separator.size())
        parts.push_back(text.substr(start, end - start));
    parts.push_back(text.substr(start));
    return parts;
}

// Each line of the file (lines end with CRLF) matches its pattern, in order, and nothing follows.
inline void ExpectLines(const std::string& text, const std::vector<std::string>& patterns) {
    std::vector<std::string> lines = Split(text, "\r\n");
    ASSERT_EQ(lines.back(), "") << "the text does not end with CRLF:\n" << text;
    lines.pop_back();
    ASSERT_EQ(lines.size(), patterns.size()) << text;
    for (size_t i = 0; i < lines.size(); ++i)
        EXPECT_TRUE(std::regex_match(lines[i], std::regex(patterns[i])))
            << "line " << i + 1 << ": \"" << lines[i] << "\" against " << patterns[i];
}

// The log up to its "[End log]" line: the memory report follows it at the very end of the process.
inline std::string WithoutMemoryReport(const std::string& log) {
    const std::string end = "[End log]\r\n";
    size_t at = log.rfind(end);
    return at == std::string::npos ? log : log.substr(0, at + end.size());
}

// A number from the environment, for the runs that tools repeat longer than the tests do.
inline unsigned long EnvironmentNumber(const char* name, unsigned long otherwise) {
    const char* value = std::getenv(name);
    return value && *value ? std::stoul(value) : otherwise;
}

// A fresh directory holding a copy of a program of the build (the helper program unless told
// otherwise) and the modules it needs beside it, which is also the child's working directory.
class ProcessDir {
public:
    explicit ProcessDir(const std::string& program = TARN_HELPER_NAME) : program_(program) {
        static int count = 0;
        root_ = fs::temp_directory_path() /
                ("tarn-process-" +
                 std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) + "-" +
                 std::to_string(++count));
        fs::create_directories(root_);
        fs::path bin = TARN_TEST_BIN_DIR;
        fs::copy_file(bin / program_, root_ / program_);
        for (const std::string& module : Split(TARN_HELPER_MODULES, ","))
            if (!module.empty())
                fs::copy_file(bin / module, root_ / module);
    }
    ~ProcessDir() {
        std::error_code error;
        fs::remove_all(root_, error);
    }
    ProcessDir(const ProcessDir&) = delete;
    ProcessDir& operator=(const ProcessDir&) = delete;

    ChildResult Run(const std::vector<std::string>& arguments,
                    const Environment& environment = {}) {
        ChildResult child =
            RunChild((root_ / program_).string(), arguments, root_.string(), environment);
        // Text output, whichever line ends the system gives it.
        std::erase(child.output, '\r');
        return child;
    }

    fs::path Path(const std::string& relative) const { return root_ / relative; }
    std::string Read(const std::string& relative) const {
        std::ifstream in(Path(relative), std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }
    bool Exists(const std::string& relative) const { return fs::exists(Path(relative)); }
    void Write(const std::string& relative, const std::string& text,
               fs::file_time_type written = fs::file_time_type::clock::now()) const {
        fs::create_directories(Path(relative).parent_path());
        std::ofstream(Path(relative), std::ios::binary) << text;
        fs::last_write_time(Path(relative), written);
    }
    // The files the program left in a directory, by name.
    std::set<std::string> Files(const std::string& relative) const {
        std::set<std::string> names;
        for (const fs::directory_entry& entry : fs::directory_iterator(Path(relative)))
            names.insert(entry.path().filename().string());
        return names;
    }

private:
    std::string program_;
    fs::path root_;
};

}  // namespace tarn::test
