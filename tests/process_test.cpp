// Whole-process tests of the process log: the helper program runs as a child in a fresh
// working directory (with or without install.ini, a program INI file, files of an earlier day),
// and the tests read the log, history and INI files it leaves.
#include "tests/processdir.h"
#include "tests/programs/threadlines.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace tarn::test {
namespace {

// The log and the history, and the module map that the memory report at the end adds.
const std::set<std::string> kLogAndHistory = {"logprobe.hst", "logprobe.log", "logprobe.map"};

TEST(ProcessLog, ALifeLeavesHeadedLogAndHistoryFiles) {
    ProcessDir dir;
    ChildResult child = dir.Run({"log", "one", "log", "two words", "log", "three", "history",
                                 "saved", "the file", "3 items", "print-names"});
    ASSERT_EQ(child.exitCode, 0) << child.output;
    std::string day = "LOG/" + Today();
    EXPECT_EQ(dir.Files(day), kLogAndHistory);
    ExpectLines(WithoutMemoryReport(dir.Read(day + "/logprobe.log")),
                {kStamp + R"(// \d{4}-\d\d-\d\d \d\d:\d\d:\d\d )", kStamp + kBuilt, "",
                 kStamp + "one", kStamp + "two words", kStamp + "three", R"(\[End log\])"});
    ExpectLines(dir.Read(day + "/logprobe.hst"),
                {kStamp + ":" + kBuilt + R"( - // \d{4}-\d\d-\d\d \d\d:\d\d:\d\d )",
                 kStamp + "saved:the file - 3 items", "", R"(\[End history\])"});
    // Without install.ini the names are relative to the working directory.
    std::string names = "LOG\\" + Today() + "\\logprobe.";
    EXPECT_NE(child.output.find("log=" + names + "log\n"), std::string::npos) << child.output;
    EXPECT_NE(child.output.find("history=" + names + "hst\n"), std::string::npos);
    // The INI file is named in full: the system would look for a bare name elsewhere.
    std::string ini = LibraryPath(dir.Path("logprobe.ini"));
    EXPECT_NE(child.output.find("ini=" + ini + "\n"), std::string::npos) << ini;
    EXPECT_NE(child.output.find("workingdir=\n"), std::string::npos);
}

// Today's files are appended to after their last whole line: a line that a killed process left
// unfinished goes.
TEST(ProcessLog, LastWeeksFilesGoTodaysAreAppendedTo) {
    std::string day = "LOG/" + Today();
    auto weekAgo = fs::file_time_type::clock::now() - std::chrono::hours(24 * 7);
    {
        ProcessDir dir;
        dir.Write(day + "/logprobe.log", "last week\r\n", weekAgo);
        dir.Write(day + "/logprobe.hst", "last week\r\n", weekAgo);
        dir.Write(day + "/logprobe.exc", "last week\r\n", weekAgo);
        ASSERT_EQ(dir.Run({"log", "new"}).exitCode, 0);
        EXPECT_EQ(dir.Files(day), kLogAndHistory);
        EXPECT_EQ(dir.Read(day + "/logprobe.log").find("last week"), std::string::npos);
        EXPECT_EQ(dir.Read(day + "/logprobe.hst").find("last week"), std::string::npos);
    }
    {
        ProcessDir dir;
        dir.Write(day + "/logprobe.log", "earlier today\r\n00:01.002.003 unfini");
        dir.Write(day + "/logprobe.hst", "earlier today\r\n00:01.002.003 kill:run");
        ASSERT_EQ(dir.Run({"log", "new"}).exitCode, 0);
        std::string log = dir.Read(day + "/logprobe.log");
        EXPECT_TRUE(std::regex_search(log, std::regex("^earlier today\r\n" + kStamp + "// ")))
            << log;
        EXPECT_NE(log.find(" new\r\n[End log]\r\n"), std::string::npos);
        const std::string history = dir.Read(day + "/logprobe.hst");
        EXPECT_TRUE(std::regex_search(history, std::regex("^earlier today\r\n" + kStamp + ":")))
            << history;
    }
}

TEST(Settings, SwitchesComeFromTheProgramsIniFile) {
    auto switches = [](const char* ini) {
        ProcessDir dir;
        if (ini)
            dir.Write("logprobe.ini", ini);
        ChildResult child = dir.Run({"print-cmdline"});
        EXPECT_EQ(child.exitCode, 0) << child.output;
        return child.output;
    };
    std::string defaults = switches(nullptr);
    EXPECT_NE(defaults.find("print-cmdline /gpfshow /mem /stack\n"), std::string::npos) << defaults;
    std::string none = switches("[PROGRAM]\r\nCommandLine=\r\n");
    EXPECT_NE(none.find("print-cmdline\n"), std::string::npos) << none;
    EXPECT_EQ(none.find("/gpfshow"), std::string::npos);
    std::string own = switches("[Other]\r\nCommandLine=x\r\n[program]\r\ncommandline= /int3\r\n");
    EXPECT_NE(own.find("print-cmdline/int3\n"), std::string::npos) << own;
    EXPECT_EQ(own.find("/mem"), std::string::npos);
}

TEST(Settings, InstallIniMovesEverythingToTheWorkingDirectory) {
    ProcessDir dir;
    std::string work = dir.Path("work").string();
    dir.Write("install.ini", "[INSTALL]\r\nWORKINGDIR=" + work + "\r\n");
    ChildResult child = dir.Run({"set", "Demo", "count", "5", "print-names"});
    ASSERT_EQ(child.exitCode, 0) << child.output;
    // The working directory did not exist: the library made it.
    EXPECT_EQ(dir.Files("work/LOG/" + Today()), kLogAndHistory);
    EXPECT_FALSE(dir.Exists("LOG"));
    EXPECT_NE(child.output.find("workingdir=" + work + "\n"), std::string::npos) << child.output;
    std::string ini = dir.Read("work/logprobe.ini");
    EXPECT_NE(ini.find("[Demo]"), std::string::npos) << ini;
    EXPECT_NE(ini.find("count=5"), std::string::npos) << ini;

    // The program's switches come from its INI file there.
    std::ofstream(dir.Path("work/logprobe.ini"), std::ios::app)
        << "[PROGRAM]\r\nCommandLine= /from-work\r\n";
    child = dir.Run({"print-cmdline"});
    EXPECT_NE(child.output.find("print-cmdline/from-work\n"), std::string::npos) << child.output;
}

TEST(ProcessLog, LoadsTheCompanionModuleBesideTheProgram) {
    ProcessDir dir;
    ChildResult child = dir.Run({"print-companion"});
    EXPECT_NE(child.output.find("companion=absent\n"), std::string::npos) << child.output;
    fs::copy_file(TARN_COMPANION_MODULE, dir.Path("LockOut.DLL"));
    child = dir.Run({"print-companion"});
    EXPECT_NE(child.output.find("companion=loaded\n"), std::string::npos) << child.output;
    EXPECT_EQ(child.exitCode, 0);
}

// The modules kept by the directory searches leave when the process ends, the last loaded first.
TEST(Modules, KeptModulesAreReleasedLastLoadedFirst) {
    ProcessDir dir;
    fs::create_directory(dir.Path("plugins"));
    for (const fs::directory_entry& plugin : fs::directory_iterator(TARN_PLUGIN_DIR))
        fs::copy_file(plugin.path(), dir.Path("plugins") / plugin.path().filename());
    ChildResult child = dir.Run({"plugins", "plugins"});
    ASSERT_EQ(child.exitCode, 0) << child.output;
    std::vector<std::string> lines = Split(child.output, "\n");
    std::vector<std::string> found, afterSearches;
    for (const std::string& line : lines) {
        if (line.rfind("found ", 0) == 0) {
            found.push_back(line);
            afterSearches.clear();
        } else if (line.rfind("plugin ", 0) == 0) {
            afterSearches.push_back(line);
        }
    }
    // Two instance searches keep "numbered" twice, the resource search keeps "text".
    EXPECT_EQ(found, (std::vector<std::string>{"found 2", "found 2", "found 2"})) << child.output;
    EXPECT_EQ(afterSearches,
              (std::vector<std::string>{"plugin text unloaded", "plugin numbered unloaded"}))
        << child.output;
}

// A language directory below "MUI" beside the helper: its "langid.cfg" in UTF-16 with a
// byte-order mark, and a text table of (identifier, text) records.
void WriteLanguage(const ProcessDir& dir, const std::string& name,
                   const std::u16string& description,
                   const std::vector<std::pair<uint32_t, std::string>>& texts) {
    std::string cfg = "\xFF\xFE";
    for (char16_t c : description) {
        cfg += char(c & 0xFF);
        cfg += char(c >> 8);
    }
    dir.Write("MUI/" + name + "/langid.cfg", cfg);
    std::string table;
    for (const auto& [id, text] : texts)
        table += std::string(reinterpret_cast<const char*>(&id), 4) + text + '\0';
    dir.Write("MUI/" + name + "/texts.mui", table);
}

std::vector<std::string> LinesStartingWith(const std::string& output,
                                           const std::vector<std::string>& starts) {
    std::vector<std::string> lines;
    for (const std::string& line : Split(output, "\n")) {
        for (const std::string& start : starts)
            if (line.rfind(start, 0) == 0)
                lines.push_back(line);
    }
    return lines;
}

TEST(Languages, TheChosenLanguageComesFirstThenTheDefaultOne) {
    ProcessDir dir;
    WriteLanguage(dir, "default", u"0\r\nDefault\r\n",
                  {{10, "ten"}, {11, "eleven"}, {1034005, "Could not move '"}});
    WriteLanguage(dir, "russian", u"1049\r\n\u0420\u0443\u0441\u0441\u043a\u0438\u0439\r\n",
                  {{10, "\xd0\xb4\xd0\xb5\xd1\x81\xd1\x8f\xd1\x82\xd1\x8c"}});
    dir.Write("common.ini", "[MUI]\r\nLanguage=1049\r\n");
    fs::create_directory(dir.Path("plugins"));
    fs::copy_file(fs::path(TARN_PLUGIN_DIR) / "text.plg", dir.Path("plugins/text.plg"));
    fs::copy_file(TARN_LANGUAGE_MODULE, dir.Path("MUI/default/text.rmui"));
    fs::copy_file(TARN_CHOSEN_LANGUAGE_MODULE, dir.Path("MUI/russian/TEXT.rmui"));
    // A directory in the backup's place: the file cannot be moved there.
    dir.Write("kept.txt", "text");
    fs::create_directory(dir.Path("kept.bak"));
    ChildResult child = dir.Run({"languages",
                                 "text",
                                 "10",
                                 "text",
                                 "11",
                                 "text",
                                 "12",
                                 "rewrite",
                                 "kept.txt",
                                 "loadres",
                                 "1",
                                 "loadres",
                                 "11",
                                 "loadres",
                                 "42",
                                 "langres",
                                 "plugins\\text.plg",
                                 "dialog",
                                 "100",
                                 "langres",
                                 "plugins\\text.plg",
                                 "menu",
                                 "200",
                                 "langres",
                                 "plugins\\text.plg",
                                 "dialog",
                                 "101",
                                 "setlanguage",
                                 "0",
                                 "languages"});
    ASSERT_EQ(child.exitCode, 0) << child.output;
    const std::string root = LibraryPath(dir.Path("MUI"));
    std::vector<std::string> lines = LinesStartingWith(
        child.output, {"language", "curdir", "defdir", "text", "loadres", "langres", "rewrite"});
    const std::vector<std::string> languages = {"language 1049", "curdir " + root + "\\russian",
                                                "defdir " + root + "\\default"};
    std::vector<std::string> expected = languages;
    for (const char* line :
         {"text 10=\xd0\xb4\xd0\xb5\xd1\x81\xd1\x8f\xd1\x82\xd1\x8c", "text 11=eleven",
          "text 12=", "rewrite Could not move 'kept.txt':", "loadres 1=own text of the probe",
          "loadres 11=eleven", "loadres 42=null", "langres 100=language Chosen dialog",
          "langres 200=language &Language", "langres 101=module"})
        expected.push_back(line);
    // The new choice is stored for the next start; this process keeps its languages.
    expected.insert(expected.end(), languages.begin(), languages.end());
    EXPECT_EQ(lines, expected) << child.output;
    std::vector<std::string> listed = LinesStartingWith(child.output, {"lang "});
    std::sort(listed.begin(), listed.end());
    EXPECT_EQ(listed, (std::vector<std::string>{
                          "lang 0 Default", "lang 0 Default",
                          "lang 1049 \xd0\xa0\xd1\x83\xd1\x81\xd1\x81\xd0\xba\xd0\xb8\xd0\xb9",
                          "lang 1049 \xd0\xa0\xd1\x83\xd1\x81\xd1\x81\xd0\xba\xd0\xb8\xd0\xb9"}));
    EXPECT_NE(dir.Read("common.ini").find("Language=0"), std::string::npos)
        << dir.Read("common.ini");
}

TEST(Languages, WithoutAUsableChoiceOnlyTheDefaultIsLoaded) {
    const std::pair<std::string, std::string> cases[] = {
        {"", "language 0"},
        {"[MUI]\r\nOther=1049\r\n", "language 0"},
        {"[MUI]\r\nLanguage=x1049\r\n", "language 0"},
        {"[MUI]\r\nLanguage=77\r\n", "language 77"},
    };
    for (const auto& [ini, language] : cases) {
        ProcessDir dir;
        WriteLanguage(dir, "default", u"0\r\n", {{10, "ten"}});
        WriteLanguage(dir, "russian", u"1049\r\n", {{10, "other"}});
        if (!ini.empty())
            dir.Write("common.ini", ini);
        ChildResult child = dir.Run({"languages", "text", "10"});
        const std::string curdir = language == "language 77"
                                       ? "curdir "
                                       : "curdir " + LibraryPath(dir.Path("MUI")) + "\\default";
        EXPECT_EQ(LinesStartingWith(child.output, {"language", "curdir", "text"}),
                  (std::vector<std::string>{language, curdir, "text 10=ten"}))
            << ini << child.output;
    }
}

TEST(ProcessLog, LinesFromEightThreadsAreAllThereAndWhole) {
    const int threads = 8, lines = 10000;
    ProcessDir dir;
    ASSERT_EQ(dir.Run({"threads", std::to_string(threads), std::to_string(lines)}).exitCode, 0);
    std::vector<std::vector<int>> seen(threads, std::vector<int>(lines));
    int whole = 0;
    for (const std::string& line : Split(dir.Read("LOG/" + Today() + "/logprobe.log"), "\r\n")) {
        int t, i, end = 0;
        // A stamp, then exactly "thread t line i" and the line's tail.
        if (line.size() > 14 && line[13] == ' ' &&
            sscanf(line.c_str() + 14, "thread %d line %d%n", &t, &i, &end) == 2 && t >= 0 &&
            t < threads && i >= 0 && i < lines) {
            const int tail = ThreadLineTail(t, i);
            if (line.compare(14 + end, std::string::npos,
                             tail ? " " + std::string(tail - 1, 'x') : "") == 0) {
                ++seen[t][i];
                ++whole;
            }
        }
    }
    EXPECT_EQ(whole, threads * lines);
    for (int t = 0; t < threads; ++t)
        for (int i = 0; i < lines; ++i)
            if (seen[t][i] != 1)
                FAIL() << "thread " << t << " line " << i << " seen " << seen[t][i] << " times";
}

TEST(ProcessLog, ALineLoggedBeforeAKillIsInTheFile) {
    ProcessDir dir;
    ChildResult child = dir.Run({"log", "last words", "die"});
    EXPECT_NE(child.exitCode, 0);
    std::string log = dir.Read("LOG/" + Today() + "/logprobe.log");
    EXPECT_TRUE(std::regex_search(log, std::regex(kStamp + "last words\r\n$"))) << log;
}

// A log line's stamp as the first minutes of a run give it: "mm:ss.mmm.uuu ". Checked by hand,
// as a run leaves more lines than a regular expression reads in good time.
bool StartsWithStamp(const std::string& line) {
    static const char kForm[] = "00:00.000.000 ";
    if (line.size() < sizeof kForm - 1)
        return false;
    for (size_t i = 0; i < sizeof kForm - 1; ++i)
        if (kForm[i] == '0' ? !isdigit(static_cast<unsigned char>(line[i])) : line[i] != kForm[i])
            return false;
    return true;
}

// The serials one thread of one run acknowledged (the last one, -1 for none) and the serials
// its log lines and history records carry (how often each was found).
struct KilledThread {
    int acknowledged = -1;
    std::vector<int> lines, records;
};

// Counts a whole "kill" line or record of `text` after its stamp; false for any other line.
bool CountKilled(std::vector<std::vector<KilledThread>>& runs, const std::string& text,
                 const char* format, bool record) {
    int run, thread, serial, end = -1;
    if (sscanf(text.c_str(), format, &run, &thread, &serial, &end) != 3 ||
        end != static_cast<int>(text.size()) || run < 0 || run >= int(runs.size()) || thread < 0 ||
        thread >= int(runs[run].size()) || serial < 0)
        return false;
    std::vector<int>& found = record ? runs[run][thread].records : runs[run][thread].lines;
    if (found.size() <= size_t(serial))
        found.resize(serial + 1);
    ++found[serial];
    return true;
}

// What a file the runs left holds: whole "kill" lines of the runs, lines matching one of the
// start-up and closing patterns (how many matched each), and the torn or mixed lines: any other.
struct KilledFile {
    long killLines = 0;
    std::vector<long> others;
    std::vector<std::string> torn;
};

KilledFile ReadKilledFile(std::vector<std::vector<KilledThread>>& runs, const std::string& text,
                          const char* format, bool record, const std::vector<std::string>& others) {
    KilledFile file;
    file.others.resize(others.size());
    std::vector<std::regex> patterns(others.begin(), others.end());
    std::vector<std::string> lines = Split(text, "\r\n");
    if (!lines.back().empty())
        file.torn.push_back(lines.back());
    lines.pop_back();
    for (const std::string& line : lines) {
        if (StartsWithStamp(line) && CountKilled(runs, line.substr(14), format, record)) {
            ++file.killLines;
            continue;
        }
        auto match = std::find_if(patterns.begin(), patterns.end(), [&](const std::regex& pattern) {
            return std::regex_match(line, pattern);
        });
        if (match == patterns.end())
            file.torn.push_back(line);
        else
            ++file.others[match - patterns.begin()];
    }
    return file;
}

// The serials found are 0 to n, each once, where n is the last acknowledged serial or the one
// after it (logged, but killed before its acknowledgement). Answers what is wrong, or "".
std::string CheckSerials(const std::vector<int>& found, int acknowledged) {
    for (size_t serial = 0; serial < found.size(); ++serial)
        if (found[serial] != 1)
            return "serial " + std::to_string(serial) + " found " + std::to_string(found[serial]) +
                   " times";
    const int last = int(found.size()) - 1;
    if (last < acknowledged || last > acknowledged + 1)
        return "serials up to " + std::to_string(last) + " found, " + std::to_string(acknowledged) +
               " acknowledged";
    return "";
}

// Runs in one working directory, each killed at a random moment while four threads log and
// record history, then a run that ends normally: each run starts after the last line of the one
// before, and each line that returned before a kill is there once and whole. TARN_KILL_RUNS
// sets the number of runs, TARN_KILL_SEED repeats the moments of a seed.
TEST(ProcessLog, EveryLineThatReturnedBeforeAKillIsThereWhole) {
#if defined(_WIN32)
    GTEST_SKIP() << "the kill is SIGKILL and the acknowledgements are POSIX writes";
#endif
    const int runs = int(EnvironmentNumber("TARN_KILL_RUNS", 10)), threads = 4;
    const unsigned seed = unsigned(EnvironmentNumber("TARN_KILL_SEED", std::random_device()()));
    SCOPED_TRACE("TARN_KILL_SEED=" + std::to_string(seed));
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> moment(0, 20000);
    ProcessDir dir;
    std::vector<std::vector<KilledThread>> killed(runs, std::vector<KilledThread>(threads));
    long acknowledged = 0;
    for (int run = 0; run < runs; ++run) {
        ChildResult child = dir.Run({"kill-log", std::to_string(run), std::to_string(threads),
                                     std::to_string(moment(random))});
        ASSERT_TRUE(child.signalled) << child.output;
        for (const std::string& line : Split(child.output, "\n")) {
            int t, serial;
            if (sscanf(line.c_str(), "ack %d %d", &t, &serial) != 2)
                continue;
            ASSERT_TRUE(t >= 0 && t < threads && serial == killed[run][t].acknowledged + 1)
                << "run " << run << ": " << line;
            killed[run][t].acknowledged = serial;
            ++acknowledged;
        }
    }
    ASSERT_EQ(dir.Run({"log", "restarted"}).exitCode, 0);

    // Each file starts with the header of a start: every start wrote it at the beginning of a line.
    const std::string day = "LOG/" + Today() + "/logprobe.";
    const std::string date = R"(// \d{4}-\d\d-\d\d \d\d:\d\d:\d\d )";
    const KilledFile log = ReadKilledFile(
        killed, WithoutMemoryReport(dir.Read(day + "log")), "kill %d %d %d%n", false,
        {kStamp + date, kStamp + kBuilt, "", kStamp + "restarted", R"(\[End log\])"});
    const KilledFile history =
        ReadKilledFile(killed, dir.Read(day + "hst"), "kill:run %d thread %d - %d%n", true,
                       {kStamp + ":" + kBuilt + " - " + date, "", R"(\[End history\])"});
    printf(
        "kill runs %d (seed %u): lines acknowledged %ld, log lines found %ld, history records "
        "found %ld, torn or mixed lines %zu\n",
        runs, seed, acknowledged, log.killLines, history.killLines,
        log.torn.size() + history.torn.size());
    EXPECT_EQ(log.torn, std::vector<std::string>());
    EXPECT_EQ(history.torn, std::vector<std::string>());
    EXPECT_EQ(log.others[0], runs + 1);
    EXPECT_EQ(history.others[0], runs + 1);
    for (int run = 0; run < runs; ++run)
        for (int t = 0; t < threads; ++t) {
            const KilledThread& thread = killed[run][t];
            // A thread acknowledges its first serial before the kill can come.
            EXPECT_GE(thread.acknowledged, 0) << "run " << run << " thread " << t;
            EXPECT_EQ(CheckSerials(thread.lines, thread.acknowledged), "")
                << "log, run " << run << " thread " << t;
            EXPECT_EQ(CheckSerials(thread.records, thread.acknowledged), "")
                << "history, run " << run << " thread " << t;
        }
}

// faketime (its preload library) moves the child's clock to Tuesday 2024-05-07, two seconds
// before midnight.
TEST(DayChange, TheFilesMoveToTheNextWeekdayWithARepeatedHeader) {
    if (!*TARN_FAKETIME_LIBRARY)
        GTEST_SKIP() << "faketime is not installed";
    ProcessDir dir;
    // faketime moves the file times the child reads along with its clock.
    dir.Write("LOG/WED/logprobe.log", "last week\r\n",
              fs::file_time_type::clock::now() - std::chrono::hours(24 * 7));
    // The monotonic clock stays true: Wine's server measures timeouts with it.
    Environment clock = {{"LD_PRELOAD", TARN_FAKETIME_LIBRARY},
                         {"FAKETIME", "@2024-05-07 23:59:58"},
                         {"FAKETIME_DONT_FAKE_MONOTONIC", "1"}};
    ChildResult child = dir.Run({"until-next-day", "250", "log", "next day"}, clock);
    ASSERT_EQ(child.exitCode, 0) << child.output;

    std::string tuesday = dir.Read("LOG/TUE/logprobe.log");
    EXPECT_TRUE(std::regex_search(tuesday, std::regex("^" + kStamp + "// 2024-05-07 23:59:5")))
        << tuesday;
    EXPECT_NE(tuesday.find(" waiting 23:59:5"), std::string::npos);
    EXPECT_EQ(tuesday.find("next day"), std::string::npos);

    std::string wednesday = dir.Read("LOG/WED/logprobe.log");
    EXPECT_EQ(wednesday.find("last week"), std::string::npos) << wednesday;
    std::string since = R"(2024-05-07 23:59:5\d)";
    EXPECT_TRUE(std::regex_search(
        wednesday, std::regex("^" + kStamp + R"(// 2024-05-08 00:00:0\d \r\n)" + kStamp + kBuilt +
                              "\r\n\r\n" + kStamp + "Working since " + since + "\r\n \r\n")))
        << wednesday;
    EXPECT_TRUE(std::regex_search(WithoutMemoryReport(wednesday),
                                  std::regex(kStamp + "next day\r\n\\[End log\\]\r\n$")));

    std::string history = dir.Read("LOG/WED/logprobe.hst");
    EXPECT_TRUE(std::regex_search(
        history, std::regex("^" + kStamp + ":" + kBuilt + R"( - // 2024-05-08 00:00:0\d \r\n)" +
                            kStamp + "Is working since:" + kBuilt + " - " + since + "\r\n")))
        << history;
}

}  // namespace
}  // namespace tarn::test
