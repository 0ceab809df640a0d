// MultiByteToWideChar / WideCharToMultiByte: UTF-8 <-> UTF-16 with Windows' CP_UTF8 rules.
// On Windows the same tests run against the system's own functions.
#include "platform/testing.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#if !defined(_WIN32)
#include "tarnkernl/tarnrt.h"
#endif

namespace {

using WString = std::basic_string<WCHAR>;

// WCHAR is wchar_t on Windows and char16_t elsewhere; the tests spell UTF-16 as char16_t.
WString W(std::u16string_view units) { return WString(units.begin(), units.end()); }

// The whole conversion: size query, then conversion into a buffer of exactly that size.
WString ToWide(std::string_view text, DWORD flags = 0) {
    const int length = static_cast<int>(text.size());
    const int needed = MultiByteToWideChar(CP_UTF8, flags, text.data(), length, nullptr, 0);
    WString out(static_cast<size_t>(needed), WCHAR('#'));
    const int written =
        MultiByteToWideChar(CP_UTF8, flags, text.data(), length, out.data(), needed);
    EXPECT_EQ(written, needed);
    return out;
}

std::string ToUtf8(const WString& text, DWORD flags = 0) {
    const int length = static_cast<int>(text.size());
    const int needed =
        WideCharToMultiByte(CP_UTF8, flags, text.data(), length, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(needed), '#');
    const int written = WideCharToMultiByte(CP_UTF8, flags, text.data(), length, out.data(), needed,
                                            nullptr, nullptr);
    EXPECT_EQ(written, needed);
    return out;
}

// A conversion that must fail with `error`; the last error is cleared for the next.
void ExpectFailure(int result, DWORD error) {
    EXPECT_EQ(result, 0);
    EXPECT_EQ(GetLastError(), error);
    SetLastError(0);
}

struct Texts {
    std::string_view utf8;
    std::u16string_view utf16;
};

// Every sequence length, at both ends of its range, and the surrogate pairs.
const Texts kCharacters[] = {
    {"A", u"A"},
    {"\x7F", u"\u007F"},
    {"\xC2\x80", u"\u0080"},
    {"\xC3\xA9", u"\u00E9"},
    {"\xDF\xBF", u"\u07FF"},
    {"\xE0\xA0\x80", u"\u0800"},
    {"\xE2\x82\xAC", u"\u20AC"},
    {"\xED\x9F\xBF", u"\uD7FF"},
    {"\xEE\x80\x80", u"\uE000"},
    {"\xEF\xBF\xBF", u"\uFFFF"},
    {"\xF0\x90\x80\x80", u"\U00010000"},
    {"\xF0\x9F\x98\x80", u"\U0001F600"},
    {"\xF4\x8F\xBF\xBF", u"\U0010FFFF"},
};

TEST(Utf8Conversion, EverySequenceLengthConvertsBothWays) {
    std::string allUtf8;
    std::u16string allUtf16;
    for (const Texts& c : kCharacters) {
        SCOPED_TRACE(c.utf8);
        EXPECT_EQ(ToWide(c.utf8), W(c.utf16));
        EXPECT_EQ(ToUtf8(W(c.utf16)), c.utf8);
        allUtf8 += c.utf8;
        allUtf16 += c.utf16;
    }
    // Valid text passes the strict forms too.
    EXPECT_EQ(ToWide(allUtf8, MB_ERR_INVALID_CHARS), W(allUtf16));
    EXPECT_EQ(ToUtf8(W(allUtf16), WC_ERR_INVALID_CHARS), allUtf8);
}

// Length -1 counts the terminator, an explicit length adds none; too small an output fails,
// an exact fit succeeds, and a character's bytes are stored whole or not at all.
TEST(Utf8Conversion, TerminatorAndOutputSizeRules) {
    const char* text = "a\xE2\x82\xAC";  // "a€": two UTF-16 units, four bytes
    const WString euro = W(u"a\u20AC");
    WCHAR wide[8];
    char narrow[8];
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0), 3);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, text, -1, wide, 8), 3);
    EXPECT_EQ(WString(wide, 3), W(std::u16string_view(u"a\u20AC", 3)));
    std::fill(std::begin(wide), std::end(wide), WCHAR('#'));
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, text, 4, wide, 8), 2);
    EXPECT_EQ(wide[2], WCHAR('#')) << "an explicit length adds no terminator";
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, euro.c_str(), -1, nullptr, 0, nullptr, nullptr), 5);
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, euro.c_str(), -1, narrow, 8, nullptr, nullptr), 5);
    EXPECT_STREQ(narrow, text);
    std::fill(std::begin(narrow), std::end(narrow), '#');
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, euro.c_str(), 2, narrow, 8, nullptr, nullptr), 4);
    EXPECT_EQ(narrow[4], '#');
    // Within an explicit length a zero is an ordinary character.
    EXPECT_EQ(ToWide(std::string_view("a\0b", 3)), W(std::u16string_view(u"a\0b", 3)));

    const auto expectTooSmall = [](int n) { ExpectFailure(n, ERROR_INSUFFICIENT_BUFFER); };
    SetLastError(0);
    expectTooSmall(MultiByteToWideChar(CP_UTF8, 0, text, 4, wide, 1));
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, text, 4, wide, 2), 2);
    expectTooSmall(MultiByteToWideChar(CP_UTF8, 0, text, -1, wide, 2));  // no room for the zero
    expectTooSmall(WideCharToMultiByte(CP_UTF8, 0, euro.data(), 2, narrow, 3, nullptr, nullptr));
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, euro.data(), 2, narrow, 4, nullptr, nullptr), 4);

    // The ANSI code page carries ASCII.
    ASSERT_EQ(MultiByteToWideChar(CP_ACP, 0, "Log 1", -1, wide, 8), 6);
    EXPECT_EQ(WString(wide), W(u"Log 1"));
    ASSERT_EQ(WideCharToMultiByte(CP_ACP, 0, wide, -1, narrow, 8, nullptr, nullptr), 6);
    EXPECT_STREQ(narrow, "Log 1");

    // Wine 8 stores half of a surrogate pair that does not fit and reports success.
    if (!tarn::RunningOnWineForTesting())
        expectTooSmall(MultiByteToWideChar(CP_UTF8, 0, "a\xF0\x9F\x98\x80", 5, wide, 2));
}

// How Windows cuts ill-formed UTF-8 into replaced parts.
const Texts kIllFormed[] = {
    {"\x80", u"\uFFFD"},                                // stray continuation
    {"\xFF", u"\uFFFD"},                                // never a lead byte
    {"\xC0\x80", u"\uFFFD\uFFFD"},                      // C0/C1 are no lead bytes
    {"\xF5\x80\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // beyond the 4-byte leads
    {"\xC2"
     "A",
     u"\uFFFDA"},  // missing continuation
    {"\xE2\x82"
     "A",
     u"\uFFFDA"},                                 // short sequence
    {"\xE0\x80\x80", u"\uFFFD\uFFFD"},            // overlong: lead + 1st byte
    {"\xF0\x8F\xBF\xBF", u"\uFFFD\uFFFD\uFFFD"},  // overlong 4-byte
    {"\xED\xA0\x80", u"\uFFFD\uFFFD"},            // encoded surrogate
    {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD"},  // beyond U+10FFFF
    {"a\xE2\x82", u"a\uFFFD"},                    // cut off at the end
    {"a\xF0\x9F"
     "A",
     u"a\uFFFD"},                                               // the end swallows the rest
    {"\xED\xA0\x80\xED\xB0\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // a "pair" of surrogates
};

TEST(Utf8Conversion, IllFormedUtf8IsReplacedOrRefused) {
    for (const Texts& c : kIllFormed) {
        SCOPED_TRACE(testing::PrintToString(std::string(c.utf8)));
        EXPECT_EQ(ToWide(c.utf8), W(c.utf16));
        WCHAR out[16];
        for (int size : {16, 0}) {
            ExpectFailure(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, c.utf8.data(),
                                              int(c.utf8.size()), size ? out : nullptr, size),
                          ERROR_NO_UNICODE_TRANSLATION);
        }
    }
}

TEST(Utf8Conversion, UnpairedSurrogatesAreReplacedOrRefused) {
    const Texts unpaired[] = {
        {"\xEF\xBF\xBD", u"\xD800"},
        {"\xEF\xBF\xBD"
         "A",
         u"\xDC00"
         u"A"},
        {"\xEF\xBF\xBD\xF4\x8F\xBF\xBF", u"\xDBFF\xDBFF\xDFFF"},
        {"\xEF\xBF\xBD\xEF\xBF\xBD", u"\xDE00\xD83D"}};  // the last a reversed pair
    char out[16];
    SetLastError(0);
    for (const Texts& c : unpaired) {
        const WString wide = W(c.utf16);
        EXPECT_EQ(ToUtf8(wide), c.utf8) << testing::PrintToString(std::string(c.utf8));
        ExpectFailure(WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.data(),
                                          int(wide.size()), out, 16, nullptr, nullptr),
                      ERROR_NO_UNICODE_TRANSLATION);
    }
}

TEST(Utf8Conversion, InvalidParametersFail) {
    WCHAR wide[4];
    char narrow[4];
    const WString a = W(u"a");
    const auto expectInvalid = [](int result) { ExpectFailure(result, ERROR_INVALID_PARAMETER); };
    SetLastError(0);
    expectInvalid(MultiByteToWideChar(CP_UTF8, 0, nullptr, 1, wide, 4));
    expectInvalid(MultiByteToWideChar(CP_UTF8, 0, "a", 0, wide, 4));
    expectInvalid(MultiByteToWideChar(CP_UTF8, 0, "a", 1, nullptr, 4));
    expectInvalid(MultiByteToWideChar(CP_UTF8, 0, "a", 1, wide, -1));
    expectInvalid(MultiByteToWideChar(12345, 0, "a", 1, wide, 4));
    expectInvalid(WideCharToMultiByte(CP_UTF8, 0, nullptr, 1, narrow, 4, nullptr, nullptr));
    expectInvalid(WideCharToMultiByte(CP_UTF8, 0, a.data(), 0, narrow, 4, nullptr, nullptr));
    expectInvalid(WideCharToMultiByte(CP_UTF8, 0, a.data(), 1, nullptr, 4, nullptr, nullptr));

    // UTF-8 needs no default character; Windows refuses one (Wine 8 accepts it).
    if (tarn::RunningOnWineForTesting())
        return;
    BOOL usedDefault = FALSE;
    expectInvalid(WideCharToMultiByte(CP_UTF8, 0, a.data(), 1, narrow, 4, nullptr, &usedDefault));
    expectInvalid(WideCharToMultiByte(CP_UTF8, 0, a.data(), 1, narrow, 4, "?", nullptr));
}

#if !defined(_WIN32)

// The conversions read caller texts with their own loops, so a fault on an unreadable text
// reaches the caller as the translator's exception instead of ending the process.
TEST(Utf8Conversion, UnreadableTextFaultsIntoTheCaller) {
    tarn::GuardedPagesForTesting pages;
    const char* page = pages.Guard();
    const tarnrtl_Translator previous = tarnrtl_SetTranslator(
        [](unsigned int code, _EXCEPTION_POINTERS*) { throw static_cast<unsigned long>(code); });
    const char* narrow = page;
    const auto wide = reinterpret_cast<const WCHAR*>(page);
    EXPECT_THROW(MultiByteToWideChar(CP_UTF8, 0, narrow, -1, nullptr, 0), unsigned long);
    EXPECT_THROW(MultiByteToWideChar(CP_UTF8, 0, narrow, 4, nullptr, 0), unsigned long);
    EXPECT_THROW(WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr),
                 unsigned long);
    tarnrtl_SetTranslator(previous);
}

#endif

}  // namespace
