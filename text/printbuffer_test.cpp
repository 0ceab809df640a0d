// The print buffer's inline and heap storage, fixed buffers, argument lists, and _pow10.
#include "tarnkernl/text.h"

#include "platform/testing.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

namespace {

TEST(PrintBuffer, MovesToTheHeapWhenAnAppendLeavesNoSpareCharacter) {
    PrintBuffer<10> buffer;
    EXPECT_EQ(fprintf(buffer, "%s", "12345678"), 8);  // 0 + 8 + 1 <= 10
    EXPECT_EQ(fprintf(buffer, "%d", 9), 1);           // 8 + 1 + 1 <= 10
    EXPECT_FALSE(buffer.OnHeap());
    EXPECT_EQ(fprintf(buffer, "x"), 1);  // 9 + 1 + 1 = 11
    EXPECT_TRUE(buffer.OnHeap());
    EXPECT_EQ(buffer.capacity, 2 * 11 + 4);
    EXPECT_STREQ(buffer.data, "123456789x");

    std::string expected = buffer.data;
    for (int i = 0; i < 400; ++i) {
        fprintf(buffer, "<%d>", i);
        expected += "<" + std::to_string(i) + ">";
    }
    EXPECT_EQ(buffer.data, expected);
    EXPECT_EQ(buffer.length, expected.size());
}

TEST(PrintBuffer, ReplacingEmptyOutputAndFixedBuffers) {
    PrintBuffer<8> buffer("%s-%d", "first", 1);
    EXPECT_STREQ(buffer.data, "first-1");
    EXPECT_EQ(fprintf(buffer, "%s", ""), 0);
    EXPECT_STREQ(buffer.data, "first-1");
    EXPECT_EQ(wsprintfA(buffer, "%s", "longer than eight"), 17);
    EXPECT_EQ(sprintf(buffer, "%u", 7u), 1);
    EXPECT_STREQ(buffer.data, "7");
    EXPECT_EQ(sprintf(buffer, "%s", ""), 0);
    EXPECT_STREQ(buffer.data, "");
    EXPECT_EQ(buffer.length, 0u);

    // A fixed buffer drops what does not fit whole.
    PrintBuffer<8, true> fixed("%s", "abc");
    EXPECT_EQ(fprintf(fixed, "%s", "defgh"), 0);  // 3 + 5 + 1 > 8
    EXPECT_EQ(fixed.length, 3u);
    EXPECT_EQ(fprintf(fixed, "%s", "defg"), 4);
    EXPECT_STREQ(fixed.data, "abcdefg");
    EXPECT_FALSE(fixed.OnHeap());
}

// A wrapper that passes its caller's argument list to the base, as log functions do.
class ListBuffer : public PrintBufferBase {
public:
    ListBuffer(const char* format, va_list args) : PrintBufferBase(16, format, args) {}

private:
    char storage_[17];
};

std::string FormatThroughList(const char* format, ...) {
    va_list args;
    va_start(args, format);
    ListBuffer buffer(format, args);
    va_end(args);
    return buffer.data;
}

TEST(PrintBuffer, ArgumentListServesMeasuringAndFormatting) {
    EXPECT_EQ(FormatThroughList("%s=%d", "short", 5), "short=5");
    EXPECT_EQ(FormatThroughList("%s=%d|%s", "a text beyond sixteen", 12345, "end"),
              "a text beyond sixteen=12345|end");
    EXPECT_EQ(FormatThroughList("%lld %.2f %zu", -9000000000LL, 2.5, size_t{42}),
              "-9000000000 2.50 42");
}

// A string argument that cannot be read is raised as an access violation before anything is
// formatted, behind any mix of arguments in front of it; the text stays as it was. Past a
// conversion whose argument differs between C libraries nothing is checked.
TEST(PrintBuffer, AnUnreadableStringArgumentIsRaisedBeforeFormatting) {
    tarn::GuardedPagesForTesting page;
    const char* wild = reinterpret_cast<const char*>(0x10);
    const char* edge = page.AtTheEnd("abc", false);
    PrintBuffer<256> buffer("kept");
    auto raised = [&buffer](const char* format, auto... args) {
        try {
            fprintf(buffer, format, args...);
        } catch (unsigned long code) {
            return code;
        }
        return 0ul;
    };
    constexpr unsigned long kViolation = 0xC0000005ul;
    EXPECT_EQ(raised("%d %s", 1, wild), kViolation);
    EXPECT_EQ(
        raised("%lld %5.2f %c %p %zu %hhd %s", 1LL << 40, 2.5, 'x', &page, size_t{7}, 3, wild),
        kViolation);
    EXPECT_EQ(raised("%*.*s %Lf %ls", 3, 2, "ok", 1.5L, reinterpret_cast<const wchar_t*>(wild)),
              kViolation);
    EXPECT_EQ(raised("%s", edge), kViolation) << "no terminator before the guard page";
    EXPECT_STREQ(buffer.data, "kept");

    EXPECT_EQ(raised("|%.3s|%lld %5.2f %c %zu %hhd %.*s %ls|", edge, 1LL << 40, 2.5, 'x', size_t{7},
                     3, 2, edge, L"wide"),
              0ul);
    EXPECT_STREQ(buffer.data, "kept|abc|1099511627776  2.50 x 7 3 ab wide|");
    EXPECT_EQ(raised("%1$s", "positional"), 0ul);
}

#if TARN_ARGS_FOLLOW_FORMAT
class FollowingBuffer : public PrintBufferBase {
public:
    [[gnu::noinline]] TARN_PRINTF(2, 3) explicit FollowingBuffer(const char* format, ...)
        : PrintBufferBase(4, &format) {}

private:
    char storage_[5];
};

TEST(PrintBuffer, ArgumentsFollowingTheFormat) {
    FollowingBuffer inlineText("%d%s", 1, "ab");
    EXPECT_STREQ(inlineText.data, "1ab");
    FollowingBuffer heapText("%s/%d/%s", "left", 77, "right");
    EXPECT_STREQ(heapText.data, "left/77/right");
}
#endif

// Exact up to 10^22, close beyond; outside the double range infinity, or 0 where 10^-n would
// be a denormal (the product overflows first).
TEST(Pow10, ExactCloseAndBeyondTheDoubleRange) {
    double power = 1;
    for (int n = 0; n <= 22; ++n, power *= 10) {
        EXPECT_EQ(_pow10(n), power) << n;
        EXPECT_EQ(_pow10(-n), 1 / power) << n;
    }
    for (int n : {23, 37, 100, 255, 256, 300, 308}) {
        EXPECT_NEAR(_pow10(n) / std::pow(10.0, n), 1.0, 1e-14) << n;
        EXPECT_NEAR(_pow10(-n) * std::pow(10.0, n), 1.0, 1e-14) << n;
    }
    for (int n : {309, 400, 4932, 4933, std::numeric_limits<int>::max()}) {
        EXPECT_EQ(_pow10(n), std::numeric_limits<double>::infinity()) << n;
        EXPECT_EQ(_pow10(-n), 0.0) << n;
    }
    EXPECT_EQ(_pow10(std::numeric_limits<int>::min()), 0.0);
}

}  // namespace
