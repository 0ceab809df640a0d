// The dynamic string: empty states, copies and joins (also of unreadable texts), formatting,
// wide and window text, the error texts.
#include "tarnkernl/text.h"

#include "platform/testing.h"
#include "platform/win32.h"
#include "tarnkernl/log.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const char* const kWild = reinterpret_cast<const char*>(0x10);

TEST(Str, EmptyStatesBlanksAndCountedCopies) {
    char* shared = str::GetStrNull();
    ASSERT_NE(shared, nullptr);
    EXPECT_STREQ(shared, "");
    EXPECT_EQ(str().p, shared);
    EXPECT_EQ(str(nullptr).p, shared);
    EXPECT_EQ(str("").p, shared);
    str s("text");
    s.Clear();
    EXPECT_EQ(s.p, shared);
    s = "text";
    s = "";
    EXPECT_EQ(s.p, shared);
    str copy(s);
    str moved(std::move(copy));
    EXPECT_EQ(moved.p, shared);
    EXPECT_STREQ(shared, "");  // nobody wrote into it

    // Blanks and counted copies own a block even when empty.
    EXPECT_STREQ(s = 5u, "     ");
    EXPECT_EQ(s.Length(), 5);
    EXPECT_STREQ(s = 0u, "");
    EXPECT_NE(s.p, str::GetStrNull());  // an owned one-byte block

    EXPECT_STREQ(str("abcdef", 3), "abc");
    EXPECT_STREQ(str("ab", 5), "ab");
    str none(nullptr, 4);
    EXPECT_STREQ(none, "");
    EXPECT_NE(none.p, str::GetStrNull());
    s = "keep";
    EXPECT_STREQ(s.AssignN(s.p + 1, 2), "ee");
}

TEST(Str, ListsOfParts) {
    EXPECT_STREQ(str("a", "bc"), "abc");
    EXPECT_STREQ(str("a", "b", "c", "d", "e", nullptr), "abcde");
    EXPECT_STREQ(str("a", nullptr, "c"), "a");  // the list ends at the first null part
    str s;
    EXPECT_STREQ(s.Assign("1", "", "3"), "13");
    const char* none[] = {nullptr};
    EXPECT_EQ(str::CalcLen(none, nullptr), 0);
}

TEST(Str, PartsMayPointIntoTheStringItself) {
    str s("abc");
    EXPECT_STREQ(s.Append(s), "abcabc");
    s.Append(s).Append(s);
    EXPECT_STREQ(s, "abcabcabcabcabcabcabcabc");
    s = s.p + 21;
    EXPECT_STREQ(s, "abc");
    EXPECT_STREQ(s.Assign(s.p + 1, s.p, s.p + 2, "!", nullptr), "bcabcc!");

    str a("one");
    str b(a);
    a = a;
    a.At(0)[0] = 'O';
    EXPECT_STREQ(a, "One");
    EXPECT_STREQ(b, "one");
}

TEST(Str, UnreadableTextGivesTheEmptyString) {
    tarn::GuardedPagesForTesting page;
    EXPECT_EQ(str(kWild).p, str::GetStrNull());
    EXPECT_EQ(str(page.Guard()).p, str::GetStrNull());
    EXPECT_EQ(str(page.AtTheEnd("unterminated", false)).p, str::GetStrNull());
    EXPECT_STREQ(str(page.AtTheEnd("terminated", true)), "terminated");

    // The counted copy faults halfway: the block is dropped.
    const char* cut = page.AtTheEnd("abc", false);
    EXPECT_EQ(str(cut, 10).p, str::GetStrNull());
    EXPECT_STREQ(str(cut, 3), "abc");
    str s("old");
    EXPECT_EQ(s.AssignN(cut, 10), nullptr);
    EXPECT_EQ(s.p, str::GetStrNull());
    s = "old";
    EXPECT_EQ(s = kWild, str::GetStrNull());
}

TEST(Str, ListIsCutAtTheFirstUnreadablePart) {
    tarn::GuardedPagesForTesting page;
    // Unreadable parts are found by probing, not by faulting: nothing is reported.
    testing::internal::CaptureStderr();
    EXPECT_STREQ(str("first", kWild, "third"), "first");
    EXPECT_STREQ(str("first", page.Guard(), "third"), "first");
    EXPECT_STREQ(str("first", page.AtTheEnd("abc", false), "third"), "first");
    EXPECT_STREQ(str("first", page.AtTheEnd("abc", true), "third"), "firstabcthird");

    const char* parts[] = {"a", "bb", kWild, "ccc", nullptr};
    int count = -1;
    EXPECT_EQ(str::CalcLen(parts, &count), 3);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    str s("x");
    EXPECT_STREQ(s.Append(kWild), "x");
    EXPECT_STREQ(s.Assign(kWild, "y"), "");
    // A string object that cannot be read is left alone.
    str* unreadable = reinterpret_cast<str*>(const_cast<char*>(page.Guard()));
    EXPECT_EQ(unreadable->Assign("a", "b"), nullptr);
}

TEST(Str, FormattingReplacesOrAppends) {
    str s("previous");
    EXPECT_EQ(sprintf(s, "%s", ""), 0);
    EXPECT_STREQ(s, "previous");
    EXPECT_EQ(sprintf(s, "%d", 42), 2);
    EXPECT_STREQ(s, "42");
    EXPECT_EQ(sprintf(s, "%s and %s", s.p, s.p), 9);  // the arguments may be the old text
    EXPECT_STREQ(s, "42 and 42");
    EXPECT_EQ(sprintf(s, "%lld|%zu|%6.2f", -12345678901LL, size_t{7}, 2.5), 21);
    EXPECT_STREQ(s, "-12345678901|7|  2.50");

    // The appending form keeps everything.
    s = "<";
    EXPECT_EQ(fprintf(s, "%d-%s", 7, "x"), 3);
    EXPECT_EQ(fprintf(s, "%s", ""), 0);
    std::string big(10000, 'y');
    big[0] = 'B';
    EXPECT_EQ(fprintf(s, "%s", big.c_str()), 10000);
    EXPECT_EQ(std::string(s), "<7-x" + big);
}

TEST(Str, WideAndWindowText) {
    str wide("old");
    EXPECT_EQ(wide.Set(nullptr), str::GetStrNull());
    const WCHAR abc[] = {'a', 'b', 'c', 0};
    EXPECT_STREQ(wide.Set(abc), "abc");
    EXPECT_EQ(wide.Length(), 3);
    const WCHAR empty[] = {0};
    EXPECT_STREQ(wide.Set(empty), "");

    HWND titled = tarn::CreateWindowForTesting(nullptr, 0, "A title");
    if (!titled)
        GTEST_SKIP() << "no windows can be made here";
    HWND untitled = tarn::CreateWindowForTesting(nullptr, 0, "");
    HWND item = tarn::CreateWindowForTesting(titled, 7, "item text");

    str s("old");
    EXPECT_STREQ(s(titled), "A title");
    EXPECT_EQ(s.Length(), 7);
    EXPECT_EQ(s(untitled), str::GetStrNull());
    EXPECT_STREQ(s(titled, 7), "item text");
    EXPECT_EQ(s(titled, 8), str::GetStrNull());  // no such item

    tarn::DestroyWindowForTesting(item);
    tarn::DestroyWindowForTesting(untitled);
    tarn::DestroyWindowForTesting(titled);
    EXPECT_EQ(s(titled), str::GetStrNull());
}

TEST(ErrorText, CodeThenTheSystemsMessage) {
    char buffer[256];
    char* message = PrintError(buffer, sizeof buffer, 5);
    EXPECT_EQ(std::string(buffer, 6), "[0005]");
    EXPECT_EQ(message, buffer + 6);
    size_t length = strlen(message);
    ASSERT_GT(length, 0u);
    EXPECT_NE(message[length - 1], '\n');
    EXPECT_NE(message[length - 1], '\r');
    std::string text = message;

    EXPECT_EQ(PrintError(buffer, 9, 0x1234), buffer + 6);
    EXPECT_EQ(std::string(buffer, 6), "[1234]");
    EXPECT_LE(strlen(buffer), 8u);

    SetLastError(5);
    strError error;
    EXPECT_EQ(std::string(error.p, 6), "[0005]");
    EXPECT_EQ(error.p + 6, text);
}

}  // namespace
