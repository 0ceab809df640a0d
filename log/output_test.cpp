// Log output as the application sees it through its two hooks, which this program exports:
// messages, bad formats, hook results and re-entry, history records, errors shown to the user,
// ToWritable.
#include "tarnkernl/log.h"

#include "log/messagebox.h"
#include "platform/testing.h"
#include "platform/win32.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

namespace {

struct Record {
    std::string what, where, details;
    bool operator==(const Record&) const = default;
};

std::mutex gMutex;
std::vector<std::string> gLines;
std::vector<Record> gRecords;
bool gWindowResult = true;
const char* gLogFromHook = nullptr;

template <class T>
std::vector<T> Take(std::vector<T>& taken) {
    std::lock_guard<std::mutex> lock(gMutex);
    return std::move(taken);
}

bool History(const void* where, const char* what, const char* format, ...) {
    va_list args;
    va_start(args, format);
    bool result = voutlog(format, args, where, what);
    va_end(args);
    return result;
}

template <class... Args>
bool Out(const char* format, Args... args) {
    return History(nullptr, nullptr, format, args...);
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
    gRecords.push_back(
        {what ? what : "(null)", where ? static_cast<const char*>(where) : "(null)", details});
    return true;
}

namespace {

TEST(LogHooks, StartUpWroteItsHeaderThroughThem) {
    // The headers were written while the library was attached, before any test ran.
    static std::vector<std::string> lines = Take(gLines);
    static std::vector<Record> records = Take(gRecords);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0].rfind("// ", 0), 0u) << lines[0];
    EXPECT_EQ(lines[0].size(), strlen("// 2021-04-20 19:46:09 "));
    // "Executable from: Apr 20 2021 19:46:09\r\n"
    EXPECT_EQ(lines[1].rfind("Executable from: ", 0), 0u) << lines[1];
    EXPECT_EQ(lines[1].size(), 39u);
    EXPECT_EQ(lines[1].substr(37), "\r\n");
    ASSERT_GE(records.size(), 1u);
    EXPECT_EQ(records[0], (Record{"", lines[1].substr(0, lines[1].size() - 2), lines[0]}));
}

// The hook decides the result; a line logged inside the hook is not passed to it again; an
// unreadable format is logged as its address and the bytes it would have.
TEST(LogHooks, MessagesArriveWholeOnceEachAndBadFormatsAsTheirAddress) {
    Take(gLines);
    std::string big(5000, 'x');
    EXPECT_TRUE(Out("%d %s|", 42, big.c_str()));
    gWindowResult = false;
    EXPECT_FALSE(Out("refused"));
    gWindowResult = true;
    gLogFromHook = "from the hook";
    EXPECT_TRUE(Out("outer"));
    gLogFromHook = nullptr;
    EXPECT_TRUE(Out(reinterpret_cast<const char*>(0x41)));
    EXPECT_TRUE(Out(nullptr));
    EXPECT_TRUE(Out(reinterpret_cast<const char*>(0x434241)));
    EXPECT_EQ(Take(gLines),
              (std::vector<std::string>{
                  "42 " + big + "|", "refused", "outer", "<INVALID PTR(0x00000041)[   A]",
                  "<INVALID PTR(0x00000000)[    ]", "<INVALID PTR(0x00434241)[ ABC]"}));
}

// A format that runs into unreadable memory within 1024 bytes is a bad format; one readable for
// 1024 bytes and more is no bad format, and like an unreadable string argument it ends the call
// without a line. That fault is reported, and the first one shows a box ("/gpfshow" is on by
// default), which must not wait for a user.
TEST(LogHooks, UnreadableFormatsAndArgumentsAtTheGuardPage) {
    const tarn::MessageBoxHandler previous = tarn::SetMessageBoxForTesting(
        [](HWND, const char*, const char*, unsigned) { return IDOK; });
    tarn::GuardedPagesForTesting pages;
    ASSERT_NE(pages.Begin(), nullptr);
    Take(gLines);
    const char* shortFormat = pages.AtTheEnd("run into the guard %d", false);
    EXPECT_TRUE(Out(shortFormat, 1));
    const char* longFormat = pages.AtTheEnd(std::string(1100, 'y').c_str(), false);
    EXPECT_FALSE(Out(longFormat));
    EXPECT_FALSE(Out("%s", pages.Guard()));
    tarn::SetMessageBoxForTesting(previous);
    const std::vector<std::string> lines = Take(gLines);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("<INVALID PTR(0x", 0), 0u) << lines[0];
}

TEST(HistoryHook, ReceivesWhatWhereAndTheMessage) {
    Take(gLines);
    Take(gRecords);
    EXPECT_TRUE(History("the place", "saved", "%d files", 3));
    EXPECT_TRUE(History(nullptr, "started", ""));
    EXPECT_TRUE(History("only where", nullptr, "x"));
    EXPECT_EQ(Take(gRecords), (std::vector<Record>{{"saved", "the place", "3 files"},
                                                   {"started", "(null)", ""},
                                                   {"(null)", "only where", "x"}}));
    EXPECT_TRUE(Take(gLines).empty()) << "a record is no log line";
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

// The text and hex forms stop at the first byte that does not fit whole, and show only the
// bytes that can be read.
TEST(ToWritable, FormsCutsAndUnreadableBytes) {
    tarn::GuardedPagesForTesting page;
    const char* tail = page.AtTheEnd("xyz", false);
    const char* wild = reinterpret_cast<const char*>(0x10);
    struct Case {
        const char* data;
        int length, outSize, hex;
        const char* expected;
    } cases[] = {
        {"a\tb", -1, 64, 0, "a\\09\\b"},
        {"a\tb", -1, 64, 1, "61 09 62 "},
        {"\xE4\x7F ok", -1, 64, 0, "\xE4\x7F ok"},
        {"a\0b", 3, 64, 0, "a\\00\\b"},
        {"abc", 2, 64, 1, "61 62 "},
        {"abc", -1, 1, 0, ""},
        {"abc", -1, 3, 0, "ab"},
        {"a\x01z", -1, 5, 0, "a"},
        {"a\x01z", -1, 6, 0, "a\\01\\"},
        {"abc", -1, 7, 1, "61 62 "},
        {"abc", -1, 3, 1, ""},
        {wild, -1, 64, 0, ""},
        {wild, 8, 64, 1, ""},
        {tail, 10, 64, 0, "xyz"},
        {tail, -1, 64, 1, "78 79 7A "},
    };
    for (const Case& c : cases) {
        char out[80];
        memset(out, '#', sizeof out);
        EXPECT_EQ(ToWritable(c.data, c.length, out, c.outSize, c.hex), out);
        EXPECT_EQ(out[c.outSize], '#') << "wrote beyond outSize: " << c.expected;
        EXPECT_EQ(std::string(out), c.expected);
    }
}

}  // namespace
