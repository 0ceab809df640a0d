// Every kind of system call fails in turn under the writers of the log and of files: at its
// first, second, third ... call during one operation, with EIO, ENOSPC and EACCES, until the
// operation no longer makes the call planned to fail. Whatever fails, nothing crashes, the
// operation ends as it promises (a crash record the exception file cannot take goes to the
// history file; a file rewritten safely holds its old or its new bytes), nothing a file held
// before is lost, and the log works again once the failure is over.
#include "files/testdir.h"
#include "log/process.h"
#include "platform/posix/syscalls.h"
#include "tarnkernl/files.h"
#include "tarnkernl/log.h"

#include <gtest/gtest.h>

#include <errno.h>

#include <algorithm>
#include <cstdarg>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>

namespace {

using tarn::posix::Call;

constexpr const char* kCallNames[] = {
    "open",     "close",   "read",     "write",       "lseek",      "ftruncate", "fsync",
    "fstat",    "stat",    "lstat",    "rename",      "unlink",     "mkdir",     "rmdir",
    "opendir",  "readdir", "closedir", "getcwd",      "realpath",   "access",    "utimensat",
    "readlink", "chmod",   "chdir",    "posix_spawn", "pidfd_open", "waitid",    "poll"};
static_assert(std::size(kCallNames) == size_t(Call::Count));

constexpr int kErrors[] = {EIO, ENOSPC, EACCES};
// More calls of one kind than any of the operations makes.
constexpr int kMostCalls = 200;

// One operation under the sweep.
struct Operation {
    const char* name;
    std::function<void()> prepare;  // before each case, with nothing planned to fail
    std::function<void()> run;      // with calls planned to fail
    // After the case, with nothing planned to fail any more; `failed`: the planned call came
    // and failed.
    std::function<void(bool failed)> check;
};

// Failures the running test has recorded so far.
int Failures() {
    return testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count();
}

// How many calls the running case fails from the planned one on.
int gFailingCalls = 1;

// Stops at the first case that fails a check, so that one fault is reported once. Each call is
// failed alone, with the next call of its kind (a retry), and with all later ones (a disk that
// stays full).
void Sweep(const Operation& operation) {
    const int earlier = Failures();
    for (int times : {1, 2, tarn::posix::kEveryCallForTesting})
        for (int kind = 0; kind < int(Call::Count); ++kind)
            for (int error : kErrors)
                for (int nth = 1; nth <= kMostCalls; ++nth) {
                    SCOPED_TRACE(testing::Message()
                                 << operation.name << ": call " << nth << " of " << kCallNames[kind]
                                 << " fails with errno " << error << ", "
                                 << (times == 1   ? "alone"
                                     : times == 2 ? "and the next"
                                                  : "and all later"));
                    operation.prepare();
                    gFailingCalls = times;
                    tarn::posix::FailCallForTesting(Call(kind), nth, error, times);
                    operation.run();
                    const bool failed = !tarn::posix::CallFailurePendingForTesting();
                    tarn::posix::ResetCallFailuresForTesting();
                    operation.check(failed);
                    if (Failures() > earlier)
                        return;
                    if (!failed)
                        break;
                    ASSERT_LT(nth, kMostCalls) << "the operation's calls do not end";
                }
}

// A name as the library writes it (with backslashes), for the standard library.
std::filesystem::path Native(std::string name) {
    std::replace(name.begin(), name.end(), '\\', '/');
    return name;
}

// The bytes of a file from `from` on, or from `keep` bytes before its end when `from` is
// negative; `from` becomes where they begin. Empty when the file is missing.
std::string ContentFrom(const std::string& name, std::streamoff& from, std::streamoff keep) {
    std::ifstream file(Native(name), std::ios::binary | std::ios::ate);
    if (!file) {
        from = 0;
        return {};
    }
    const std::streamoff size = file.tellg();
    if (from < 0)
        from = std::max<std::streamoff>(0, size - keep);
    std::string bytes(static_cast<size_t>(std::max<std::streamoff>(0, size - from)), '\0');
    file.seekg(from);
    file.read(bytes.data(), std::streamsize(bytes.size()));
    return bytes;
}

std::string Content(const std::string& name) {
    std::streamoff from = 0;
    return ContentFrom(name, from, 0);
}

void Put(const std::string& name, const std::string& bytes) {
    std::ofstream(Native(name), std::ios::binary | std::ios::trunc) << bytes;
}

std::string Text(const str& text) { return text.p ? text.p : ""; }

bool StartsWith(const std::string& text, const std::string& start) {
    return text.compare(0, start.size(), start) == 0;
}

// What was added behind `before`, when `after` begins with it.
std::string Added(const std::string& after, const std::string& before) {
    return StartsWith(after, before) ? after.substr(before.size()) : std::string();
}

bool Line(const char* format, ...) {
    va_list args;
    va_start(args, format);
    bool result = voutlog(format, args, nullptr, nullptr);
    va_end(args);
    return result;
}

// A history record "what:sweep - details".
bool Record(const char* what, const char* details) {
    va_list none{};
    return voutlog(details, none, "sweep", what);
}

// The three files of the process log, each from where a case compares it: the last 4 KB
// before the case, and the same bytes with what was added after it. A sweep of thousands of
// cases would otherwise read the growing files whole three times a case.
struct LogFiles {
    std::string log, history, exceptions;
    std::streamoff from[3] = {-1, -1, -1};

    static LogFiles Now() { return Since(LogFiles{}); }

    static LogFiles Since(const LogFiles& before) {
        const Log& log = GetProcess();
        constexpr std::streamoff kCompared = 4096;
        LogFiles files;
        std::copy(std::begin(before.from), std::end(before.from), files.from);
        files.log = ContentFrom(Text(log.logName), files.from[0], kCompared);
        files.history = ContentFrom(Text(log.histName), files.from[1], kCompared);
        files.exceptions = ContentFrom(Text(log.excName), files.from[2], kCompared);
        return files;
    }
};

// A text no earlier case wrote.
std::string NewMark() {
    static int serial = 0;
    return "mark" + std::to_string(++serial);
}

// Once nothing fails any more, nothing the files held before a case is lost, a line reaches
// the log file and the second of two records the history file (a file the case left closed
// drops the first record, whose commit opens it again).
void ExpectLogRecovers(const LogFiles& before) {
    const std::string mark = NewMark();
    Line("%s line", mark.c_str());
    Record(mark.c_str(), "first");
    Record(mark.c_str(), "second");
    const LogFiles after = LogFiles::Since(before);
    EXPECT_TRUE(StartsWith(after.log, before.log)) << "the log lost what it held";
    EXPECT_TRUE(StartsWith(after.history, before.history)) << "the history lost what it held";
    EXPECT_TRUE(StartsWith(after.exceptions, before.exceptions))
        << "the exception file lost what it held";
    EXPECT_NE(Added(after.log, before.log).find(" " + mark + " line\r\n"), std::string::npos);
    EXPECT_NE(Added(after.history, before.history).find(" " + mark + ":sweep - second\r\n"),
              std::string::npos);
}

// The log's operations: each case notes the files of the log and a new mark first.
class FailureSweep : public testing::Test {
protected:
    // From empty files, as every case compares their whole content.
    static void SetUpTestSuite() {
        const Log& log = GetProcess();
        for (const str* name : {&log.logName, &log.histName, &log.excName})
            std::filesystem::remove(Native(Text(*name)));
        logfix();
        histfix();
    }
    void SetUp() override { ASSERT_NE(Text(GetProcess().logName), ""); }

    // `check` sees the files after the case; then the log must recover.
    void SweepLog(const char* name, std::function<void()> run,
                  std::function<void(const LogFiles& after, bool failed)> check) {
        Sweep({name,
               [&] {
                   before_ = LogFiles::Now();
                   mark_ = NewMark();
               },
               run,
               [&](bool failed) {
                   check(LogFiles::Since(before_), failed);
                   ExpectLogRecovers(before_);
               }});
    }
    // Checks that hold only when nothing failed.
    void SweepLog(const char* name, std::function<void()> run,
                  std::function<void(const LogFiles& after)> check) {
        SweepLog(name, run, [&](const LogFiles& after, bool failed) {
            if (!failed)
                check(after);
        });
    }
    // What a case added to a file of the log.
    std::string Added(const std::string LogFiles::*file, const LogFiles& after) const {
        return ::Added(after.*file, before_.*file);
    }

    LogFiles before_;
    std::string mark_;
};

TEST_F(FailureSweep, LogStartUpLinesAndRecords) {
    // The log starts up again, as on a new day, and a line follows.
    SweepLog(
        "start-up of the log",
        [&] {
            tarn::StartUpAgainForTesting();
            Line("%s case", mark_.c_str());
        },
        [&](const LogFiles& after) {
            const std::string added = Added(&LogFiles::log, after);
            EXPECT_LT(added.find("Working since"), added.find(" " + mark_ + " case\r\n"));
            EXPECT_NE(Added(&LogFiles::history, after).find("Is working since"), std::string::npos);
        });
    SweepLog(
        "log line", [&] { Line("%s case", mark_.c_str()); },
        [&](const LogFiles& after) {
            EXPECT_NE(Added(&LogFiles::log, after).find(" " + mark_ + " case\r\n"),
                      std::string::npos);
        });
    SweepLog(
        "history record", [&] { Record(mark_.c_str(), "case"); },
        [&](const LogFiles& after) {
            EXPECT_NE(Added(&LogFiles::history, after).find(" " + mark_ + ":sweep - case\r\n"),
                      std::string::npos);
        });
}

// The record is in the exception file, or the history file says why it is not there: the
// exception file was unwritable, or the writer could not open it and the history file got the
// record itself.
TEST_F(FailureSweep, ExceptionRecordOrItsFallback) {
    SweepLog(
        "exception record", [&] { exceptout("%s case\r\n", mark_.c_str()); },
        [&](const LogFiles& after, bool failed) {
            const std::string text = mark_ + " case\r\n";
            const bool written =
                Added(&LogFiles::exceptions, after).find(text) != std::string::npos;
            const std::string history = Added(&LogFiles::history, after);
            const bool unwritable = history.find("INTERNAL ERROR:" + Text(GetProcess().excName) +
                                                 " unwritable\r\n") != std::string::npos;
            const bool damaged =
                history.find("INTERNAL ERROR:exceptout() damaged\r\n") != std::string::npos &&
                history.find(text) != std::string::npos;
            // Where the next write fails too, the history file may refuse the fallback.
            if (gFailingCalls == 1) {
                EXPECT_TRUE(written || unwritable || damaged) << "the record is nowhere";
            }
            EXPECT_TRUE(written || failed);
        });
}

TEST(FailureSweepOfFiles, IniWriteSafeRewriteAndZoneKeepTheOldOrWriteTheNew) {
    tarn::TestDir iniDir, rewriteDir, zoneDir;
    const std::string ini = iniDir.Path("settings.ini");
    const std::string oldIni = "[S]\r\nk=old\r\n", newIni = "[S]\r\nk=new\r\n";
    const std::string settings = rewriteDir.Path("settings.ini");
    const std::string backup = rewriteDir.Path("settings.bak");
    // A zone of the parent file as it was before: "cfg", tag 7, the data "abc".
    const std::string zones = zoneDir.Path("zones.bin");
    const std::string firstZone("\0\0\4\0cfg\0\7\0\3\0\0\0abc\0\0", 19);
    bool done = false;

    const Operation operations[] = {
        {"INI write", [&] { Put(ini, oldIni); },
         [&] {
             va_list none{};
             done = vsetinifile("S", "k", "new", none, ini.c_str());
         },
         [&](bool failed) {
             const std::string now = Content(ini);
             EXPECT_EQ(now, done ? newIni : oldIni);
             EXPECT_TRUE(done || failed);
             EXPECT_EQ(
                 std::distance(std::filesystem::directory_iterator(Native(iniDir.Path())), {}), 1)
                 << "a temporary was left";
         }},
        {"safe rewrite",
         [&] {
             Put(settings, "old settings");
             Put(backup, "older backup");
         },
         [&] {
             RestoreFileIfError guard(settings.c_str(), ".bak");
             if (guard.errorText.p && *guard.errorText.p)
                 return;
             TFileHandle file;
             if (file.creat(settings.c_str()) && file.write("new settings", 12) == 12 &&
                 file.close())
                 guard.Commit();
         },
         [&](bool failed) {
             const std::string now = Content(settings);
             EXPECT_TRUE(now == "old settings" || now == "new settings") << "now: " << now;
             if (!failed) {
                 EXPECT_EQ(now, "new settings");
                 EXPECT_FALSE(existfile(backup.c_str())) << "the backup stayed";
             }
         }},
        {"zone write", [&] { Put(zones, firstZone); },
         [&] {
             done = false;
             File parent;
             if (parent.handle.open(zones.c_str(), 2, OPEN_EXISTING) &&
                 parent.seekend(0) == long(firstZone.size())) {
                 Zone zone;
                 zone.create(&parent, "next");
                 zone.write("data", 4);
                 done = zone.close(9);
             }
             parent.close();
         },
         [&](bool failed) {
             File image;
             ASSERT_TRUE(image.capture(zones.c_str()));
             Zone first, next;
             ASSERT_TRUE(first.open(&image, "cfg")) << "the zone before was lost";
             EXPECT_EQ(std::string(first.image, first.length), "abc");
             EXPECT_EQ(next.open(&image, "next"), done) << "a record cut short was taken";
             if (done) {
                 EXPECT_EQ(std::string(next.image, next.length), "data");
             }
             EXPECT_TRUE(done || failed);
         }},
    };
    for (const Operation& operation : operations)
        Sweep(operation);
}

}  // namespace
