// Tests of the C runtime functions of Windows that the runtime provides elsewhere. On Windows
// they run against the system's own, which shows that ours behave alike.
#include "platform/win32.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

namespace {

int Format(char* out, size_t count, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int length = _vsnprintf(out, count, format, args);
    va_end(args);
    return length;
}

int Measure(const char* format, ...) {
    va_list args;
    va_start(args, format);
    int length = _vscprintf(format, args);
    va_end(args);
    return length;
}

struct Output {
    char bytes[16];
    Output() { memset(bytes, '#', sizeof bytes); }
    std::string Start(size_t count) const { return std::string(bytes, count); }
};

TEST(WindowsCRuntime, VsnprintfTerminatesOnlyWhatFits) {
    Output roomy;
    EXPECT_EQ(Format(roomy.bytes, 16, "%d-%s", 42, "ab"), 5);
    EXPECT_EQ(roomy.Start(7), std::string("42-ab\0#", 7));
    Output exact;
    EXPECT_EQ(Format(exact.bytes, 5, "%d-%s", 42, "ab"), 5);
    EXPECT_EQ(exact.Start(6), "42-ab#");
    Output cut;
    EXPECT_EQ(Format(cut.bytes, 4, "%d-%s", 42, "ab"), -1);
    EXPECT_EQ(cut.Start(5), "42-a#");
    Output none;
    EXPECT_EQ(Format(none.bytes, 0, "%s", "x"), -1);
    EXPECT_EQ(Format(none.bytes, 0, "%s", ""), 0);
    EXPECT_EQ(none.Start(1), "#");

    std::string text(1000, 'z');
    char longer[101];
    longer[100] = '#';
    EXPECT_EQ(Format(longer, 100, "%s", text.c_str()), -1);
    EXPECT_EQ(std::string(longer, 101), std::string(100, 'z') + "#");
}

TEST(WindowsCRuntime, SnprintfAndMeasuring) {
    Output out;
    EXPECT_EQ(_snprintf(out.bytes, 3, "%s", "abcdef"), -1);
    EXPECT_EQ(out.Start(4), "abc#");
    EXPECT_EQ(_snprintf(out.bytes, 16, "%x|%c", 255u, 'q'), 4);
    EXPECT_STREQ(out.bytes, "ff|q");
    EXPECT_EQ(Measure("%05d|%s", 7, "xyz"), 9);
    EXPECT_EQ(Measure(""), 0);
    EXPECT_EQ(Measure("%s", std::string(5000, 'm').c_str()), 5000);
}

TEST(WindowsCRuntime, CaseInsensitiveComparisonsFoldToLowerCase) {
    EXPECT_EQ(_stricmp("Hello", "hELLO"), 0);
    EXPECT_LT(_stricmp("abc", "ABD"), 0);
    EXPECT_GT(_stricmp("abcd", "ABC"), 0);
    EXPECT_LT(_stricmp("", "a"), 0);
    // '_' lies between the upper-case and the lower-case letters.
    EXPECT_LT(_stricmp("_", "A"), 0);
    EXPECT_EQ(_strnicmp("HelloWorld", "helloTHERE", 5), 0);
    EXPECT_NE(_strnicmp("HelloWorld", "helloTHERE", 6), 0);
    EXPECT_EQ(_strnicmp("a", "b", 0), 0);
    EXPECT_LT(_strnicmp("ab", "abc", 5), 0);
    EXPECT_EQ(_strnicmp("ab\0x", "AB\0y", 4), 0);  // nothing is compared after the end
}

std::basic_string<WCHAR> Wide(const char* text) {
    return std::basic_string<WCHAR>(text, text + strlen(text));
}

TEST(WindowsCRuntime, WideTextToInteger) {
    EXPECT_EQ(_wtoi(Wide("42").c_str()), 42);
    EXPECT_EQ(_wtoi(Wide(" \t\n-123abc").c_str()), -123);
    EXPECT_EQ(_wtoi(Wide("+7").c_str()), 7);
    EXPECT_EQ(_wtoi(Wide("x1").c_str()), 0);
    EXPECT_EQ(_wtoi(Wide("- 1").c_str()), 0);
    EXPECT_EQ(_wtoi(Wide("").c_str()), 0);
    EXPECT_EQ(_wtoi(Wide("2147483647").c_str()), INT_MAX);
    EXPECT_EQ(_wtoi(Wide("-2147483648").c_str()), INT_MIN);
    EXPECT_EQ(_wtoi(Wide("99999999999").c_str()), INT_MAX);
    EXPECT_EQ(_wtoi(Wide("-99999999999").c_str()), INT_MIN);
}

}  // namespace
