// The full check: both lists rebuilt in a new order, damaged pairs reported and dropped with
// their neighbours kept, and the repairs of one link at the end of the part a check walks.
#include "memory/pooltest.h"

namespace tarn::test {
namespace {

using FullCheckTest = PoolTest;

TEST_F(FullCheckTest, SoundListsComeOutReversedAndASecondCheckRestoresThem) {
    EXPECT_TRUE(pool->AllMarkOk());
    EXPECT_EQ(UpList().size(), 0u);

    std::vector<Mark*> ups;
    for (size_t size : {10, 20, 30})
        ups.insert(ups.begin(), UpMarkOf(Track(pool->Get(size))));
    std::vector<Mark*> downs;
    for (Mark* up : ups)
        downs.push_back(up->other);
    ASSERT_EQ(UpList(), ups) << "the newest block first";

    EXPECT_TRUE(pool->AllMarkOk());
    EXPECT_EQ(UpList(), std::vector<Mark*>(ups.rbegin(), ups.rend()));
    EXPECT_EQ(DownList(), std::vector<Mark*>(downs.rbegin(), downs.rend()));
    EXPECT_EQ(pool->lists.UpEnd, ups.front());
    EXPECT_EQ(pool->lists.DwEnd, downs.front());
    EXPECT_TRUE(pool->AllMarkOk());
    EXPECT_EQ(UpList(), ups);
    EXPECT_EQ(DownList(), downs);
    EXPECT_EQ(pool->lists.UpEnd, ups.back());
    EXPECT_EQ(exc.Text(), "");

    for (Mark* up : ups)
        EXPECT_TRUE(pool->Free(DataOf(up)));
    EXPECT_EQ(RawBlocksLeft(), 0);
}

TEST_F(FullCheckTest, AnUnrepairablePairIsDroppedAndThePairsOnBothSidesAreKept) {
    char* older = Track(pool->Get(24));
    char* block = Track(pool->Get(48));
    char* newer = Track(pool->Get(24));
    Mark* up = UpMarkOf(block);
    up->size = 47;

    EXPECT_FALSE(pool->AllMarkOk());
    std::string report = exc.Text();
    std::string bounds = "bounds[" + Hex(block) + "," + Hex(up->other) + "), size=47=48, ";
    EXPECT_TRUE(Has(report, "corrupted block(ALL BOUNDARIES) found: " + bounds)) << report;
    EXPECT_TRUE(Has(report, "corrupted block(DOWN BOUNDARY) found: " + bounds)) << report;
    EXPECT_TRUE(Has(report, "corrupted block(UP BOUNDARY) found: " + bounds)) << report;
    EXPECT_FALSE(Has(report, "REPAIR")) << report;
    EXPECT_TRUE(Has(log.Text(), "other->size!=size\r\n"));
    EXPECT_EQ(UpList(), (std::vector<Mark*>{UpMarkOf(older), UpMarkOf(newer)}));
    EXPECT_EQ(DownList().size(), 2u);
    EXPECT_TRUE(pool->AllMarkOk());

    exc.Mark();
    EXPECT_TRUE(pool->Free(older));
    EXPECT_TRUE(pool->Free(newer));
    EXPECT_EQ(exc.Text(), "");
    // The walks cut the dropped pair's links as they took its neighbours: once its size is
    // right again, it is released like any other.
    up->size = 48;
    EXPECT_TRUE(pool->Free(block));
    EXPECT_EQ(exc.Text(), "");
    EXPECT_EQ(pool->blocks.current, 0);
    EXPECT_EQ(RawBlocksLeft(), 0);
}

// A repair works on the part of the lists a check has not yet walked: the range from where the
// forward walk stopped to the damaged pair, whose neighbour toward the tail is still linked.
// Here the pool's own lists are set aside and the check is given such a range directly: the
// three newest of four blocks, the last of them damaged.
struct Repair {
    const char* what;
    void (*apply)(Mark* up);
};

const Repair kRepairs[] = {
    {"the down mark's link to the next block",
     [](Mark* up) { up->other->next = reinterpret_cast<Mark*>(uintptr_t(0x10)); }},
    {"the up mark's link to the next block",
     [](Mark* up) { up->next = reinterpret_cast<Mark*>(uintptr_t(0x10)); }},
};

TEST_F(FullCheckTest, ADamagedLinkAtTheEndOfTheWalkedPartIsRepaired) {
    for (const Repair& repair : kRepairs) {
        SCOPED_TRACE(repair.what);
        exc.Mark();
        std::vector<char*> blocks;
        for (size_t size : {16, 17, 18, 19})
            blocks.push_back(Track(pool->Get(size)));
        Mark* damaged = UpMarkOf(blocks[1]);
        MarkRange range{pool->lists.UpBeg, damaged, pool->lists.DwBeg, damaged->other};
        pool->lists = {};
        repair.apply(damaged);

        EXPECT_TRUE(pool->AllMarkOk(range));
        EXPECT_TRUE(Has(exc.Text(), "mem REPAIR successfull [" + Hex(blocks[1]) + "," +
                                        Hex(damaged->other) + ")"))
            << exc.Text();
        EXPECT_EQ(UpList().size(), 3u);
        EXPECT_EQ(DownList().size(), 3u);
        EXPECT_TRUE(pool->AllMarkOk());
        for (char* block : blocks)
            EXPECT_TRUE(pool->Free(block));
        EXPECT_EQ(pool->lists.UpBeg, nullptr);
    }
    EXPECT_EQ(RawBlocksLeft(), 0);
}

}  // namespace
}  // namespace tarn::test
