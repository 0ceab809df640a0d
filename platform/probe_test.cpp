// The readability probes answer as Windows' do. Under Wine the same tests run against the real
// KERNEL32 functions, which is how the POSIX answers are checked.
#include "platform/callermemory.h"
#include "platform/testing.h"
#include "platform/win32.h"
#include "tarnkernl/tarnrt.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

namespace {

constexpr size_t kPage = tarn::GuardedPagesForTesting::kPageSize;

int gTranslatorCalls = 0;
void CountingTranslator(unsigned int code, _EXCEPTION_POINTERS*) {
    ++gTranslatorCalls;
    throw static_cast<unsigned long>(code);
}

class Probes : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(pages_.Begin(), nullptr);
        std::memset(pages_.Begin(), 'x', 2 * kPage);
        std::memset(pages_.After(), 'x', kPage);
    }
    // Readable, readable, no access, readable.
    tarn::GuardedPagesForTesting pages_{2};
};

// Every page of a range is touched: a range up to the no-access page is readable, one byte into
// it, a range with it as a hole, or one that wraps around the address space are not.
TEST_F(Probes, RangesAreReadableUpToTheNoAccessPage) {
    const char* guard = pages_.Guard();
    const struct {
        const void* begin;
        UINT_PTR size;
        bool bad;
    } cases[] = {
        {nullptr, 0, false},
        {guard, 0, false},
        {nullptr, 1, true},
        {pages_.Begin(), 2 * kPage, false},
        {guard - 10, 10, false},
        {guard - 10, 11, true},
        {guard, 1, true},
        {guard + kPage - 1, 1, true},
        {pages_.After(), kPage, false},
        {&kPage, sizeof kPage, false},
        {pages_.Begin(), 4 * kPage, true},
        {guard - 1, kPage + 2, true},
        {pages_.Begin(), ~UINT_PTR{0}, true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(IsBadReadPtr(c.begin, c.size) != FALSE, c.bad) << c.begin << " + " << c.size;
    EXPECT_TRUE(IsBadStringPtrA(nullptr, 10));
    EXPECT_TRUE(IsBadStringPtrA(nullptr, 0));
}

TEST_F(Probes, StringsStopAtTheTerminatorOrAfterMaxChars) {
    char* text = pages_.Guard() - 6;
    std::memcpy(text, "hello", 6);  // terminated right before the guard
    EXPECT_FALSE(IsBadStringPtrA(text, 100));
    EXPECT_FALSE(IsBadStringPtrA(text, ~UINT_PTR{0}));
    text[5] = '!';  // now it runs into the guard
    EXPECT_TRUE(IsBadStringPtrA(text, 100));
    EXPECT_TRUE(IsBadStringPtrA(text, 7));
    EXPECT_FALSE(IsBadStringPtrA(text, 6));  // max stops it before the guard
    EXPECT_FALSE(IsBadStringPtrA(text, 1));
    EXPECT_FALSE(IsBadStringPtrA(pages_.Guard(), 0));
    EXPECT_TRUE(IsBadStringPtrA(pages_.Guard(), 1));
}

// The scans read a block at a time from the aligned block that holds the text's first byte:
// every length and every place of the wanted byte, with the terminator at the last byte before
// the no-access page, and texts that run into it, at every alignment. The bytes before the text
// share its first block: a terminator and a wanted byte there are not the text's.
TEST_F(Probes, BlockwiseScansEndBeforeTheNoAccessPage) {
    for (size_t length = 0; length < 64; ++length) {
        char* text = pages_.Guard() - length - 1;
        text[-2] = '%';
        text[-1] = '\0';
        std::memset(text, 'a', length);
        text[length] = '\0';
        EXPECT_EQ(tarn::TextLength(text, 1000), length);
        EXPECT_EQ(tarn::TextLength(text, length / 2), length / 2);
        EXPECT_EQ(tarn::ByteOrEnd(text, '%'), text + length);
        for (size_t at = 0; at < length; ++at) {
            text[at] = '%';
            EXPECT_EQ(tarn::ByteOrEnd(text, '%'), text + at) << length << " " << at;
            text[at] = 'a';
        }
        text[length] = 'a';
        EXPECT_TRUE(IsBadStringPtrA(text, 1000)) << length;
        EXPECT_FALSE(IsBadStringPtrA(text, length + 1)) << length;
    }
}

// A probe is not a fault of the program: whatever translator is installed, it is not called,
// and without any it works all the same.
TEST_F(Probes, NeverCallTheTranslator) {
    tarnrtl_Translator previous = tarnrtl_SetTranslator(&CountingTranslator);
    gTranslatorCalls = 0;
    EXPECT_TRUE(IsBadReadPtr(pages_.Guard(), 1));
    EXPECT_TRUE(IsBadStringPtrA(pages_.Guard() - 1, 5));
    EXPECT_EQ(gTranslatorCalls, 0);
    tarnrtl_SetTranslator(nullptr);
    if (!tarnrtl_GetTranslator()) {  // else another thread's translator serves this one
        EXPECT_TRUE(IsBadReadPtr(pages_.Guard(), 1));
        EXPECT_FALSE(IsBadReadPtr(pages_.Begin(), 1));
    }
    tarnrtl_SetTranslator(previous);
}

TEST_F(Probes, RepeatedlyOnSeveralThreads) {
    auto probe = [this] {
        for (int i = 0; i < 200; ++i) {
            ASSERT_TRUE(IsBadReadPtr(pages_.Guard() - 1, 2));
            ASSERT_FALSE(IsBadReadPtr(pages_.Guard() - 1, 1));
        }
    };
    std::thread threads[3] = {std::thread(probe), std::thread(probe), std::thread(probe)};
    probe();
    for (std::thread& thread : threads)
        thread.join();
}

}  // namespace
