// Word splitting and the length-bounded searches.
#include "tarnkernl/text.h"

#include <gtest/gtest.h>

namespace {

TEST(Words, OnlyBlanksAndLineFeedsSeparate) {
    const char* text = " \n\tone\r two";
    EXPECT_EQ(WordBeg(text), text + 2);      // the tab begins the word
    EXPECT_EQ(WordEnd(text + 2), text + 7);  // the carriage return belongs to it
    EXPECT_EQ(WordEnd(text + 8), text + 11);
    EXPECT_EQ(WordBeg(text + 11), text + 11);  // at the terminator
}

TEST(Words, Counts) {
    EXPECT_EQ(Words(""), 0);
    EXPECT_EQ(Words("   "), 0);
    EXPECT_EQ(Words("\n"), 0);
    EXPECT_EQ(Words("alpha beta\n"), 2);
    EXPECT_EQ(Words("  alpha \n\n beta  gamma "), 3);
    EXPECT_EQ(Words("a\tb\rc"), 1);
    EXPECT_EQ(Words("x"), 1);
}

TEST(Words, IsInIgnoresCaseButNeedsTheWholeWord) {
    EXPECT_TRUE(isin("alpha Beta", "beta"));
    EXPECT_TRUE(isin("alpha Beta", "ALPHA"));
    EXPECT_TRUE(isin("\n alpha\nBeta \n", "beta"));
    EXPECT_FALSE(isin("alpha Beta", "bet"));
    EXPECT_FALSE(isin("alpha Beta", "betas"));
    EXPECT_FALSE(isin("alpha Beta", ""));
    EXPECT_FALSE(isin("", "alpha"));
}

TEST(Substrings, ExactSearchStaysWithinTheLength) {
    const char* text = "abcabc";
    EXPECT_EQ(strnstrn(text, 4, "bca", 3), text + 1);
    EXPECT_EQ(strnstrn(text, 3, "bca", 3), nullptr);
    EXPECT_EQ(strnstrn(text, -1, "cabc", -1), text + 2);
    EXPECT_EQ(strnstrn(text, -1, "bcx", 2), text + 1);  // only the first two characters of the part
    EXPECT_EQ(strnstrn(text, -1, "ABC", -1), nullptr);
    EXPECT_EQ(strnstrn(text, 2, "", 0), text);
    EXPECT_EQ(strnstrn(text, 0, "", 0), text);
    EXPECT_EQ(strnstrn(text, 1, "ab", 2), nullptr);
}

TEST(Substrings, SearchIgnoringCase) {
    const char* line = "demo.exe /gpfshow /mem:all /stack";
    EXPECT_EQ(strnistrn(line, "/MEM"), line + 18);
    EXPECT_EQ(strnistrn(line, "/Stack"), line + 27);
    EXPECT_EQ(strnistrn(line, "/int3"), nullptr);
    EXPECT_EQ(strnistrn(line, 20, "/MEM:", 5), nullptr);
    EXPECT_EQ(strnistrn(line, 23, "/MEM:", 5), line + 18);
}

TEST(Substrings, CharacterSearchFindsTheTerminatorWithinTheLength) {
    const char* text = "abc";
    EXPECT_EQ(strnchr(text, 10, '\0'), text + 3);
    EXPECT_EQ(strnchr(text, 3, '\0'), nullptr);
    EXPECT_EQ(strnchr(text, 10, 'c'), text + 2);
    EXPECT_EQ(strnchr(text, 2, 'c'), nullptr);
    EXPECT_EQ(strnchr(text, 10, 'd'), nullptr);
    EXPECT_EQ(strnchr(nullptr, 10, 'a'), nullptr);
}

}  // namespace
