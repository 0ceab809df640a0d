// The formatter of the common conversions against the C library's, character for character.
#include "text/format.h"

#include "platform/testing.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <string>

namespace {

struct Made {
    int n;
    std::string text;
};

// The text of FormatCommon and of vsnprintf for the same arguments, into `count` characters.
Made Common(int count, const char* format, va_list args) {
    char out[512];
    const int n = tarn::FormatCommon(out, count, format, args);
    return {n, n >= 0 ? out : ""};
}

Made Library(const char* format, va_list args) {
    char out[512];
    const int n = vsnprintf(out, sizeof out, format, args);
    return {n, out};
}

// Both formatters write the same text, and the common one takes the format.
::testing::AssertionResult Same(const char* format, ...) {
    va_list args;
    va_start(args, format);
    const Made common = Common(500, format, args);
    const Made library = Library(format, args);
    va_end(args);
    if (common.n == library.n && common.text == library.text)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << format << ": \"" << common.text << "\" (" << common.n << ") against \""
           << library.text << "\" (" << library.n << ")";
}

int CommonLength(int count, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int n = Common(count, format, args).n;
    va_end(args);
    return n;
}

// One integer conversion with every flag set, width and precision, of digits or '*'.
template <class Value>
void EveryShape(const char* length, const char* letters, std::initializer_list<Value> values) {
    const char* const widths[] = {"", "1", "7", "*"};
    const char* const precisions[] = {"", ".", ".0", ".1", ".5", ".*"};
    const int stars[] = {-9, -1, 0, 3, 12};
    for (unsigned flags = 0; flags < 32; ++flags) {
        std::string flagText;
        for (unsigned bit = 0; bit < 5; ++bit) {
            if (flags & (1u << bit))
                flagText += "-+ #0"[bit];
        }
        for (const char* width : widths) {
            for (const char* precision : precisions) {
                for (const char* letter = letters; *letter; ++letter) {
                    // '#' for x and X, a sign for d and i.
                    const bool isSigned = *letter == 'd' || *letter == 'i';
                    const bool isHex = *letter == 'x' || *letter == 'X';
                    if ((flags & (isSigned ? 8u : isHex ? 6u : 14u)) != 0)
                        continue;
                    const std::string format =
                        "[%" + flagText + width + precision + length + *letter + "]";
                    const bool starWidth = *width == '*';
                    const bool starPrecision = *precision && precision[1] == '*';
                    for (Value value : values) {
                        for (int star : stars) {
                            const char* f = format.c_str();
                            if (starWidth && starPrecision)
                                ASSERT_TRUE(Same(f, star, -star, value));
                            else if (starWidth || starPrecision)
                                ASSERT_TRUE(Same(f, star, value)) << star;
                            else
                                ASSERT_TRUE(Same(f, value));
                            if (!starWidth && !starPrecision)
                                break;
                        }
                    }
                }
            }
        }
    }
}

TEST(FormatCommon, IntegersOfEveryShapeAreTheCLibrarysText) {
    EveryShape<int>("", "diuoxX", {0, 1, -1, 42, 0x7F3A, INT_MIN, INT_MAX});
    EveryShape<long>("l", "dx", {0L, -77L, LONG_MIN, LONG_MAX});
    EveryShape<long long>("ll", "duo", {0LL, -5LL, LLONG_MIN, LLONG_MAX});
    EveryShape<size_t>("z", "uX", {size_t{0}, size_t{12345}, SIZE_MAX});
    EveryShape<intmax_t>("j", "d", {intmax_t{-1}, INTMAX_MAX});
    EveryShape<ptrdiff_t>("t", "d", {ptrdiff_t{-300}, PTRDIFF_MAX});
}

TEST(FormatCommon, TextsCharactersAndPercents) {
    EXPECT_TRUE(Same(""));
    EXPECT_TRUE(Same("no conversion at all, %% and %%%% only"));
    EXPECT_TRUE(Same("%s|%10s|%-10s|%.2s|%7.3s|%-*.*s|%.*s|", "text", "right", "left", "cut",
                     "middle", 8, 2, "star", -1, "whole"));
    EXPECT_TRUE(Same("%c%5c%-3c|%*c", 'a', 'b', 'c', -4, 'd'));
    EXPECT_TRUE(Same("%s", ""));
    const std::string longText(300, 'w');
    EXPECT_TRUE(Same("<%s> %d <%s>", longText.c_str(), 7, longText.c_str() + 250));
}

// Where C libraries differ, or a conversion is not one of the common ones, the C library's
// formatter writes the text; so it does when the text is longer than the room.
TEST(FormatCommon, LeavesEverythingElseToTheCLibrary) {
    const char* const others[] = {"%f",   "%5.2e",    "%hd",   "%hhu", "%Lf", "%ls", "%lc", "%p",
                                  "%n",   "%1$d",     "%'d",   "%5%",  "%q",  "%#d", "%+s", "%05s",
                                  "%.2c", "%lld %lz", "%lllu", "%w",   "%+u", "% x", "%#o"};
    for (const char* format : others)
        EXPECT_EQ(CommonLength(100, format, 1.5, nullptr), tarn::kNotCommon) << format;
    EXPECT_EQ(CommonLength(100, "%s", static_cast<const char*>(nullptr)), tarn::kNotCommon);
    EXPECT_EQ(CommonLength(100, "%*d", INT_MIN, 1), tarn::kNotCommon);
    EXPECT_EQ(CommonLength(100, "%2000000d", 1), tarn::kNotCommon);

    EXPECT_EQ(CommonLength(5, "%s", "12345"), 5);
    EXPECT_EQ(CommonLength(4, "%s", "12345"), tarn::kNotCommon);
    EXPECT_EQ(CommonLength(4, "%5d", 1), tarn::kNotCommon);
    EXPECT_EQ(CommonLength(0, ""), 0);
    EXPECT_EQ(CommonLength(-1, ""), tarn::kNotCommon);

    tarn::GuardedPagesForTesting page;
    EXPECT_EQ(CommonLength(100, "%s", page.AtTheEnd("abc", false)), tarn::kNotCommon);
    EXPECT_EQ(CommonLength(100, "%.3s", page.AtTheEnd("abc", false)), 3);
}

// FormatInto writes what the C library would, or the part of it that fits, through either
// formatter; an unreadable string is raised and leaves nothing.
TEST(FormatCommon, FormatIntoCutsAndRaisesAsBefore) {
    auto into = [](int count, const char* format, ...) {
        char out[64] = "untouched";
        va_list list;
        va_start(list, format);
        std::string made;
        try {
            made = std::to_string(tarn::FormatInto(out, count, format, list));
        } catch (unsigned long code) {
            made = code == 0xC0000005ul ? "raised" : "?";
        }
        va_end(list);
        return made + ":" + out;
    };
    EXPECT_EQ(into(20, "%s=%d", "key", 12), "6:key=12");
    EXPECT_EQ(into(20, "%.1f", 0.5), "3:0.5");
    EXPECT_EQ(into(4, "%s=%d", "key", 12), "-1:key=");
    EXPECT_EQ(into(4, "%s=%.1f", "key", 2.5), "-1:key=");
    tarn::GuardedPagesForTesting page;
    EXPECT_EQ(into(20, "%d%s", 12, page.AtTheEnd("abc", false)), "raised:");
}

}  // namespace
