// The guarded pool's memory report when it is released: the blocks never released, with their
// stacks, and the long or the short summary. This program's INI file leaves "/mem" off its
// command line, so the short summary is the one of a pool that lost nothing.
#include "memory/pooltest.h"

#include <regex>

namespace tarn::test {
namespace {

class MemReportTest : public PoolTest {
protected:
    void SetUp() override {
        PoolTest::SetUp();
        ASSERT_EQ(strstr(GetCommandLineInternal(), "/mem"), nullptr) << "see markpool_tests.ini";
    }

    // The report of the pool, from its release to its closing line.
    std::string Report() {
        ReleasePool();
        return log.Text();
    }

    // The runtime gets back what the pool never released.
    void ReleaseRaw(std::initializer_list<char*> blocks) {
        for (char* block : blocks)
            tarnrtl_Free(UpMarkOf(block));
        EXPECT_EQ(RawBlocksLeft(), 0);
    }
};

TEST_F(MemReportTest, AnUnfreedBlockIsListedWithItsStackAndTheLongSummaryFollows) {
    SetStartupPhaseForTesting(true);
    char* startup = Track(pool->New(100));
    EndStartup();
    char* unfreed = Track(pool->Get(40000));
    EXPECT_TRUE(pool->Free(Track(pool->NewV(30))));
    std::string report = Report();

    std::smatch line;
    ASSERT_TRUE(std::regex_search(report, line,
                                  std::regex(R"(Unfreed=(0x[0-9A-F]{8,})\[ 40000\]'malloc\(\)' )"
                                             R"(allocator IP=0x[0-9A-F]{8,} \(Ts:\d+\):)"
                                             R"(\r\nSTACK:( 0x[0-9A-F]{8,}){10}\r\n\r\n)")))
        << report;
    EXPECT_EQ(line[1], Hex(unfreed, 8));
    EXPECT_FALSE(Has(report, Hex(startup, 8))) << "start-up blocks are not listed";
    EXPECT_TRUE(Has(report,
                    "\r\nBIG BLOCKS OF MEMORY ( included OBJECTS and ARRAYS space):\r\n"
                    "  Allocated  3\r\n"
                    "  Freed      2\r\n"
                    "Total missing space: 40000 bytes (RTL:0 bytes)\r\n"
                    "Max count of blocks allocated at once time= 3\r\n"
                    "Max space           allocated at once time= 40130 bytes\r\n"
                    "[ Test pool closed]\r\n"))
        << report;
    ReleaseRaw({startup, unfreed});
}

TEST_F(MemReportTest, AnUnfreed200ByteMallocBlockCountsAsTheRuntimesOwn) {
    char* rtl = Track(pool->Get(200));
    char* array = Track(pool->NewV(200));
    std::string report = Report();
    EXPECT_FALSE(Has(report, Hex(rtl, 8))) << report;
    EXPECT_TRUE(Has(report, "Unfreed=" + Hex(array, 8) + "[   200]'new[]'")) << report;
    EXPECT_TRUE(Has(report,
                    "  Allocated  2\r\n  Freed      0\r\n"
                    "Total missing space: 200 bytes (RTL:200 bytes)\r\n"))
        << report;
    ReleaseRaw({rtl, array});
}

TEST_F(MemReportTest, APoolThatLostNothingGetsTheShortSummary) {
    char* first = Track(pool->Get(1000));
    char* second = Track(pool->New(500));
    EXPECT_TRUE(pool->Free(first));
    EXPECT_TRUE(pool->Delete(second));
    std::string report = Report();
    EXPECT_EQ(report,
              "BLOCKS OF MEMORY WAS ALLOCATED: 2\r\n"
              "Max count of blocks allocated at once time= 2\r\n"
              "Max space           allocated at once time= 1500 bytes\r\n"
              "[ Test pool closed]\r\n");
    EXPECT_EQ(RawBlocksLeft(), 0);
}

}  // namespace
}  // namespace tarn::test
