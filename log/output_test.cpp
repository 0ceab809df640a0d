// Log output as the application sees it through its two hooks, which this program exports:
// messages, bad formats, hook results and re-entry, history records, errors shown to the user,
// ToWritable; and the process's Log.
#include "tarnkernl/log.h"

#include "log/messagebox.h"
#include "platform/win32.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace {

struct Record {
    std::string what, where, details;
};

std::mutex gMutex;
std::vector<std::string> gLines;
std::vector<Record> gRecords;
bool gWindowResult = true;
const char* gLogFromHook = nullptr;

std::vector<std::string> TakeLines() {
    std::lock_guard<std::mutex> lock(gMutex);
    return std::move(gLines);
}

std::vector<Record> TakeRecords() {
    std::lock_guard<std::mutex> lock(gMutex);
    return std::move(gRecords);
}

bool Out(const char* format, ...) {
    va_list args;
    va_start(args, format);
    bool result = voutlog(format, args, nullptr, nullptr);
    va_end(args);
    return result;
}

bool History(const void* where, const char* what, const char* format, ...) {
    va_list args;
    va_start(args, format);
    bool result = voutlog(format, args, where, what);
    va_end(args);
    return result;
}

}  // namespace

// The application's hooks, found by the library among this program's exports.
extern "C" TARN_EXPORT bool PUT2LOG_WINDOW(const char* text) {
    {
        std::lock_guard<std::mutex> lock(gMutex);
        gLines.push_back(text);
    }
    if (gLogFromHook)
        Out("%s", gLogFromHook);
    return gWindowResult;
}

extern "C" TARN_EXPORT bool HISTORY_WHAT_WHERE_DETAILS_(const char* what, const void* where,
                                                        const char* details) {
    std::lock_guard<std::mutex> lock(gMutex);
    gRecords.push_back({what ? what : "(null)",
                        where ? static_cast<const char*>(where) : "(null)", details});
    return true;
}

namespace {

TEST(LogHooks, StartUpWroteItsHeaderThroughThem) {
    // The headers were written while the library was attached, before any test ran.
    static std::vector<std::string> lines = TakeLines();
    static std::vector<Record> records = TakeRecords();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0].rfind("// ", 0), 0u) << lines[0];
    EXPECT_EQ(lines[0].size(), strlen("// 2021-04-20 19:46:09 "));
    // "Executable from: Apr 20 2021 19:46:09\r\n"
    EXPECT_EQ(lines[1].rfind("Executable from: ", 0), 0u) << lines[1];
    EXPECT_EQ(lines[1].size(), 39u);
    EXPECT_EQ(lines[1].substr(37), "\r\n");
    ASSERT_GE(records.size(), 1u);
    EXPECT_EQ(records[0].what, "");
    EXPECT_EQ(records[0].where, lines[1].substr(0, lines[1].size() - 2));
    EXPECT_EQ(records[0].details, lines[0]);
}

TEST(LogHooks, MessagesArriveWholeAndTheHookDecidesTheResult) {
    TakeLines();
    std::string big(5000, 'x');
    EXPECT_TRUE(Out("%d %s|", 42, big.c_str()));
    gWindowResult = false;
    EXPECT_FALSE(Out("refused"));
    gWindowResult = true;
    std::vector<std::string> lines = TakeLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "42 " + big + "|");
    EXPECT_EQ(lines[1], "refused");
}

TEST(LogHooks, ALineLoggedInsideTheHookIsNotPassedToItAgain) {
    TakeLines();
    gLogFromHook = "from the hook";
    EXPECT_TRUE(Out("outer"));
    gLogFromHook = nullptr;
    EXPECT_TRUE(Out("after"));
    std::vector<std::string> lines = TakeLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "outer");
    EXPECT_EQ(lines[1], "after");
}

TEST(LogHooks, AnUnreadableFormatIsLoggedAsItsAddressAndBytes) {
    TakeLines();
    EXPECT_TRUE(Out(reinterpret_cast<const char*>(0x41)));
    EXPECT_TRUE(Out(nullptr));
    EXPECT_TRUE(Out(reinterpret_cast<const char*>(0x434241)));
    std::vector<std::string> lines = TakeLines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "<INVALID PTR(0x00000041)[   A]");
    EXPECT_EQ(lines[1], "<INVALID PTR(0x00000000)[    ]");
    EXPECT_EQ(lines[2], "<INVALID PTR(0x00434241)[ ABC]");
}

TEST(HistoryHook, ReceivesWhatWhereAndTheMessage) {
    TakeLines();
    TakeRecords();
    EXPECT_TRUE(History("the place", "saved", "%d files", 3));
    EXPECT_TRUE(History(nullptr, "started", ""));
    EXPECT_TRUE(History("only where", nullptr, "x"));
    std::vector<Record> records = TakeRecords();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].what, "saved");
    EXPECT_EQ(records[0].where, "the place");
    EXPECT_EQ(records[0].details, "3 files");
    EXPECT_EQ(records[1].where, "(null)");
    EXPECT_EQ(records[1].details, "");
    EXPECT_EQ(records[2].what, "(null)");
    // A record is no log line.
    EXPECT_TRUE(TakeLines().empty());
}

TEST(LogOutput, NullAndUnreadableTexts) {
    EXPECT_TRUE(logdump(nullptr, -1));
    EXPECT_TRUE(logdump(nullptr, 10));
    EXPECT_FALSE(logdump(reinterpret_cast<const char*>(0x10), -1));
    histdump(nullptr);
    histdump(reinterpret_cast<const char*>(0x10));
    fout(reinterpret_cast<const char*>(0x10));
}

struct Box {
    HWND owner;
    std::string text;
    const char* caption;
    unsigned style;
};
std::vector<Box> gBoxes;

int CatchBox(HWND owner, const char* text, const char* caption, unsigned style) {
    gBoxes.push_back({owner, text, caption, style});
    return IDOK;
}

TEST(Errors, AreShownInOneExclamationBoxWithTheSystemsCaption) {
    tarn::MessageBoxHandler previous = tarn::SetMessageBoxForTesting(&CatchBox);
    err("cannot open %s: %d", "x.ini", 5);
    verr("100%d taken as it is", nullptr);
    tarn::SetMessageBoxForTesting(previous);
    ASSERT_EQ(gBoxes.size(), 2u);
    EXPECT_EQ(gBoxes[0].text, "cannot open x.ini: 5");
    EXPECT_EQ(gBoxes[0].caption, nullptr);
    EXPECT_EQ(gBoxes[0].style, 0x30u);
    EXPECT_EQ(gBoxes[0].owner, GetActiveWindow());
    EXPECT_EQ(gBoxes[1].text, "100%d taken as it is");
}

// Two pages: a readable one followed by one that cannot be read.
class GuardedPage {
public:
    GuardedPage() {
#if defined(_WIN32)
        base_ = static_cast<char*>(
            VirtualAlloc(nullptr, 2 * kSize, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
        DWORD old;
        VirtualProtect(base_ + kSize, kSize, PAGE_NOACCESS, &old);
#else
        base_ = static_cast<char*>(
            mmap(nullptr, 2 * kSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        mprotect(base_ + kSize, kSize, PROT_NONE);
#endif
    }
    ~GuardedPage() {
#if defined(_WIN32)
        VirtualFree(base_, 0, MEM_RELEASE);
#else
        munmap(base_, 2 * kSize);
#endif
    }

    // `bytes` placed so that the last one is the last readable byte.
    const char* AtTheEnd(const char* bytes, size_t count) {
        char* start = base_ + kSize - count;
        memcpy(start, bytes, count);
        return start;
    }

private:
    static constexpr size_t kSize = 65536;   // a multiple of every target's page size
    char* base_;
};

std::string Writable(const char* data, int length, int outSize, int hex) {
    char out[80];
    memset(out, '#', sizeof out);
    EXPECT_EQ(ToWritable(data, length, out, outSize, hex), out);
    EXPECT_EQ(out[outSize], '#') << "wrote beyond outSize";
    return out;
}

TEST(ToWritable, TextAndHexForms) {
    EXPECT_EQ(Writable("a\tb", -1, 64, 0), "a\\09\\b");
    EXPECT_EQ(Writable("a\tb", -1, 64, 1), "61 09 62 ");
    EXPECT_EQ(Writable("\xE4\x7F ok", -1, 64, 0), "\xE4\x7F ok");
    EXPECT_EQ(Writable("a\0b", 3, 64, 0), "a\\00\\b");
    EXPECT_EQ(Writable("abc", 2, 64, 1), "61 62 ");
}

TEST(ToWritable, StopsAtTheFirstByteThatDoesNotFit) {
    EXPECT_EQ(Writable("abc", -1, 1, 0), "");
    EXPECT_EQ(Writable("abc", -1, 3, 0), "ab");
    EXPECT_EQ(Writable("a\x01z", -1, 5, 0), "a");
    EXPECT_EQ(Writable("a\x01z", -1, 6, 0), "a\\01\\");
    EXPECT_EQ(Writable("abc", -1, 7, 1), "61 62 ");
    EXPECT_EQ(Writable("abc", -1, 3, 1), "");
}

TEST(ToWritable, ShowsOnlyTheReadableBytes) {
    EXPECT_EQ(Writable(reinterpret_cast<const char*>(0x10), -1, 64, 0), "");
    EXPECT_EQ(Writable(reinterpret_cast<const char*>(0x10), 8, 64, 1), "");
    GuardedPage page;
    const char* tail = page.AtTheEnd("xyz", 3);
    EXPECT_EQ(Writable(tail, 10, 64, 0), "xyz");
    EXPECT_EQ(Writable(tail, -1, 64, 1), "78 79 7A ");
}

TEST(ProcessLog, NamesItsFilesInTheWeekdayDirectory) {
    static const char* const days[] = {"SUN", "MON", "TUE", "WED", "THU", "FRI", "SAT"};
    Log& log = GetProcess();
    LocalTime start = log.startTime.startLocal;
    std::string dir = std::string("LOG\\") + days[start.wDayOfWeek] + "\\log_tests.";
    EXPECT_NE(std::string(log.logName.p).find(dir + "log"), std::string::npos) << log.logName.p;
    EXPECT_NE(std::string(log.histName.p).find(dir + "hst"), std::string::npos);
    EXPECT_NE(std::string(log.excName.p).find(dir + "exc"), std::string::npos);
    EXPECT_EQ(std::string(log.iniName.p).find("log_tests.ini"), strlen(log.iniName.p) - 13);
    EXPECT_EQ(log.logDay, start.wDay);
    EXPECT_EQ(log.mainThreadId, GetCurrentThreadId());
}

TEST(ProcessLog, CommandLineCarriesTheDefaultSwitches) {
    std::string line = GetCommandLineInternal();
    std::string system = GetCommandLineA();
    EXPECT_EQ(line, system + " /gpfshow /mem /stack");
    EXPECT_EQ(GetCommandLineInternal(), GetCommandLineInternal());
}

}  // namespace
