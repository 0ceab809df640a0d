// The guarded block pool: the layout of a block, the slots, resizing, FreeAll and GetSize, and
// blocks damaged on purpose, whose reports reach the log and the exception file while the lists
// stay sound.
#include "memory/pooltest.h"

#include <algorithm>
#include <cinttypes>

namespace tarn::test {
namespace {

using MarkPoolTest = PoolTest;

TEST_F(MarkPoolTest, ABlockLiesBetweenTwoMarksThatNameEachOther) {
    char* data = Track(pool->New(100));
    ASSERT_NE(data, nullptr);
    Mark* up = UpMarkOf(data);
    Mark* down = DownMarkOf(up, 100);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(data) % (sizeof(void*) == 8 ? 16 : 8), 0u);
    EXPECT_EQ(up->other, down);
    EXPECT_EQ(down->other, up);
    EXPECT_EQ(up->size, 100u);
    EXPECT_EQ(down->size, 100u);
    EXPECT_EQ(up->owner, pool);
    EXPECT_EQ(up->kind, kNewBlock);
    EXPECT_EQ(down->kind, kNewBlock);
    EXPECT_EQ(up->timeStamp, down->timeStamp);
    EXPECT_EQ(up->allocatorIP, StackEntry(down, 0));
    EXPECT_EQ(*reinterpret_cast<uint32_t*>(reinterpret_cast<char*>(down) + kMarkSize), 10u);
    EXPECT_EQ(tarnrtl_GetSize(up), 100 + kBlockOverhead);
    EXPECT_EQ(pool->lists.UpBeg, up);
    EXPECT_EQ(pool->lists.DwEnd, down);
    EXPECT_TRUE(pool->Delete(data));
    // The runtime's heap keeps its own records at the front of a released block, not this far in.
    EXPECT_EQ(memcmp(down, "FREED MARK BLCK", 16), 0) << "the down mark of a released block";
    EXPECT_EQ(RawBlocksLeft(), 0);
}

// The pool's caller in the process: the runtime's entry, called by the application through the
// allocator in front of the pool. The stack a block records starts in the application.
class Front : public DirectMem {
public:
    explicit Front(MarkPool* pool) : pool_(pool) {}
    [[gnu::noinline]] void* Get(size_t size) override { return Kept(pool_->Get(size)); }

private:
    // Keeps the call from becoming a jump, which would take the caller's frame.
    static void* Kept(void* p) {
        asm volatile("" : "+r"(p));
        return p;
    }
    MarkPool* pool_;
};

uintptr_t gApplication = 0;

[[gnu::noinline]] void* RuntimeEntry(ICppMemIface* front, size_t size) {
    gApplication = reinterpret_cast<uintptr_t>(__builtin_return_address(0));
    void* block = front->Get(size);
    asm volatile("" : "+r"(block));
    return block;
}

TEST_F(MarkPoolTest, TheRecordedStackStartsInTheApplication) {
    Front front(pool);
    char* block = Track(static_cast<char*>(RuntimeEntry(&front, 64)));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(UpMarkOf(block)->allocatorIP, gApplication);
    EXPECT_TRUE(pool->Free(block));
}

TEST_F(MarkPoolTest, SlotsLabelTheirBlocksAndKeepTheCounters) {
    struct Case {
        void* (MarkPool::*make)(size_t);
        bool (MarkPool::*release)(void*);
        char kind;
        const char* label;
    };
    const Case cases[] = {{&MarkPool::Get, &MarkPool::Free, kMallocBlock, "malloc()"},
                          {&MarkPool::New, &MarkPool::Delete, kNewBlock, "new()"},
                          {&MarkPool::NewV, &MarkPool::DeleteV, kNewArrayBlock, "new[]"}};
    std::vector<char*> blocks;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ((pool->*c.make)(0), nullptr);
        EXPECT_TRUE((pool->*c.release)(nullptr));
        char* data = Track((pool->*c.make)(1000));
        ASSERT_NE(data, nullptr);
        EXPECT_EQ(UpMarkOf(data)->kind, c.kind);
        EXPECT_EQ(pool->GetSize(data), 1000u);
        blocks.push_back(data);
    }
    EXPECT_EQ(pool->blocks.current, 3);
    EXPECT_EQ(pool->bytes.current, 3000);
    EXPECT_EQ(UpList().size(), 3u);
    EXPECT_EQ(DownList().size(), 3u);

    // A release of another kind than the block's is not refused.
    EXPECT_TRUE(pool->Free(blocks[1]));
    EXPECT_TRUE(pool->DeleteV(blocks[0]));
    EXPECT_TRUE(pool->Delete(blocks[2]));
    EXPECT_EQ(pool->blocks.current, 0);
    EXPECT_EQ(pool->blocks.total, 3);
    EXPECT_EQ(pool->blocks.peak, 3);
    EXPECT_EQ(pool->bytes.current, 0);
    EXPECT_EQ(pool->bytes.peak, 3000);
    EXPECT_EQ(pool->lists.UpBeg, nullptr);
    EXPECT_EQ(pool->lists.DwEnd, nullptr);
    EXPECT_TRUE(pool->CheckForBugs());
    EXPECT_EQ(RawBlocksLeft(), 0);
    EXPECT_EQ(exc.Text(), "");
}

TEST_F(MarkPoolTest, BlocksOfTheStartupPhaseAreStartupBlocksWhateverTheCall) {
    SetStartupPhaseForTesting(true);
    char* blocks[] = {Track(pool->Get(10)), Track(pool->New(10)), Track(pool->NewV(10))};
    EndStartup();
    char* later = Track(pool->Get(10));
    for (char* block : blocks)
        EXPECT_EQ(UpMarkOf(block)->kind, kStartupBlock);
    EXPECT_EQ(UpMarkOf(later)->kind, kMallocBlock);

    // FreeAll leaves exactly the start-up blocks.
    Track(pool->New(20));
    Track(pool->NewV(30));
    EXPECT_TRUE(pool->FreeAll());
    EXPECT_EQ(pool->blocks.current, 3);
    for (Mark* up : UpList())
        EXPECT_EQ(up->kind, kStartupBlock);
    for (char* block : blocks)
        EXPECT_TRUE(pool->Free(block));
    EXPECT_EQ(RawBlocksLeft(), 0);
}

TEST_F(MarkPoolTest, ReallocKeepsTheDataAndZeroesTheGrowth) {
    char* data = Track(pool->Get(10));
    memcpy(data, "0123456789", 10);
    char* grown = Track(pool->Realloc(data, 100));
    ASSERT_NE(grown, nullptr);
    EXPECT_EQ(memcmp(grown, "0123456789", 10), 0);
    EXPECT_EQ(std::string(grown + 10, 90), std::string(90, '\0'));
    EXPECT_EQ(UpMarkOf(grown)->kind, kMallocBlock);
    EXPECT_EQ(pool->GetSize(grown), 100u);
    EXPECT_EQ(pool->blocks.current, 1);
    EXPECT_EQ(pool->bytes.current, 100);

    char* shrunk = Track(pool->Realloc(grown, 4));
    ASSERT_NE(shrunk, nullptr);
    EXPECT_EQ(memcmp(shrunk, "0123", 4), 0);
    EXPECT_EQ(pool->bytes.current, 4);

    // Expand grows in place or not at all; what it keeps is marked again.
    if (char* expanded = Track(pool->Expand(shrunk, 8))) {
        EXPECT_EQ(expanded, shrunk);
        EXPECT_EQ(memcmp(expanded, "0123\0\0\0\0", 8), 0);
        EXPECT_EQ(pool->GetSize(expanded), 8u);
        shrunk = expanded;
    }
    EXPECT_EQ(pool->Expand(nullptr, 8), nullptr);
    EXPECT_EQ(pool->Realloc(shrunk, 0), nullptr);
    EXPECT_EQ(pool->blocks.current, 0);

    char* fresh = Track(pool->Realloc(nullptr, 50));
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(pool->GetSize(fresh), 50u);
    EXPECT_EQ(pool->Expand(fresh, 0), nullptr);
    EXPECT_TRUE(pool->CheckForBugs());
    EXPECT_EQ(RawBlocksLeft(), 0);
    EXPECT_EQ(exc.Text(), "");
}

// A block of the runtime that the pool did not make is the runtime's to size, resize and release.
TEST_F(MarkPoolTest, ARuntimeBlockGoesToTheRuntime) {
    void* runtimeBlock = tarnrtl_Get(64);
    ASSERT_NE(runtimeBlock, nullptr);
    EXPECT_EQ(pool->GetSize(runtimeBlock), 64u);
    void* moved = pool->Realloc(runtimeBlock, 128);
    ASSERT_NE(moved, nullptr);
    EXPECT_EQ(tarnrtl_GetSize(moved), 128u);
    EXPECT_TRUE(pool->Free(moved));
    EXPECT_EQ(tarnrtl_GetSize(moved), 0u);
    EXPECT_EQ(exc.Text(), "");
}

// Damage done to the only block, or to the middle one of three; the damaged block is released
// all the same, the report names it, and the lists stay sound. A neighbour whose link to the
// damaged block no longer checks out is dropped from the lists with it: the pool cannot release
// it any more, and the runtime gets it back here.
struct Damage {
    const char* what;
    void (*apply)(char* data, size_t size);
    const char* logText;  // a line of the checks in the log
};

const Damage kReleasedAnyway[] = {
    {"a byte past the data", [](char* data, size_t size) { data[size] = 0x5A; },
     "FreeMem():!dw->valid()\r\n"},
    {"the down mark's links",
     [](char* data, size_t size) {
         Mark* down = DownMarkOf(UpMarkOf(data), size);
         down->pred = down->next = reinterpret_cast<Mark*>(uintptr_t(0x10));
     },
     "IsBadReadPtr( "},
    {"the up mark's size", [](char* data, size_t) { UpMarkOf(data)->size += 1; },
     "other->size!=size\r\n"},
};

TEST_F(MarkPoolTest, ADamagedBlockIsReportedAndReleasedAndTheListsStaySound) {
    for (const Damage& damage : kReleasedAnyway) {
        for (bool alone : {true, false}) {
            SCOPED_TRACE(std::string(damage.what) + (alone ? " alone" : " among others"));
            log.Mark();
            exc.Mark();
            std::vector<char*> others;
            if (!alone)
                others.push_back(Track(pool->Get(24)));
            char* block = Track(pool->Get(48));
            if (!alone)
                others.push_back(Track(pool->New(24)));
            damage.apply(block, 48);

            EXPECT_TRUE(pool->Free(block));
            // Asked before the reads below allocate: the raw heap may give the address again.
            EXPECT_EQ(tarnrtl_GetSize(UpMarkOf(block)), 0u) << "released";
            EXPECT_TRUE(Has(exc.Text(), "memory already corrupted when begin deallocation: addr=" +
                                            Hex(block) + ","))
                << exc.Text();
            EXPECT_TRUE(Has(log.Text(), damage.logText)) << log.Text();
            EXPECT_TRUE(pool->CheckForBugs());
            EXPECT_TRUE(pool->CheckForBugs());

            // The others that the check took out of the lists are still raw blocks: they are
            // told apart now, while no released address can have been given again.
            exc.Mark();
            const std::vector<Mark*> listed = UpList();
            std::vector<Mark*> unlisted;
            for (char* other : others)
                if (std::find(listed.begin(), listed.end(), UpMarkOf(other)) == listed.end() &&
                    tarnrtl_GetSize(UpMarkOf(other)) != 0)
                    unlisted.push_back(UpMarkOf(other));
            for (Mark* up : listed)
                EXPECT_TRUE(pool->Free(DataOf(up)));
            EXPECT_EQ(exc.Text(), "");
            EXPECT_EQ(pool->lists.UpBeg, nullptr);
            EXPECT_EQ(pool->lists.DwBeg, nullptr);
            for (Mark* up : unlisted)
                tarnrtl_Free(up);
        }
    }
    EXPECT_EQ(RawBlocksLeft(), 0);
}

TEST_F(MarkPoolTest, ABlockWhoseMarksAreBothDestroyedIsLeftAlone) {
    char* older = Track(pool->Get(24));
    char* block = Track(pool->Get(48));
    char* newer = Track(pool->Get(24));
    Mark* up = UpMarkOf(block);
    memset(up, 0xEE, kMarkSize);
    memset(DownMarkOf(up, 48), 0xEE, kMarkSize);

    EXPECT_FALSE(pool->Free(block));
    EXPECT_TRUE(Has(exc.Text(), "block can't be freed: bounds[" + Hex(block) + ",")) << exc.Text();
    EXPECT_FALSE(pool->CheckForBugs());
    EXPECT_TRUE(Has(exc.Text(), "corrupted block(ALL BOUNDARIES) found: ")) << exc.Text();
    EXPECT_TRUE(pool->CheckForBugs()) << "the lists were rebuilt without the damage";
    for (char* data : {older, block, newer})
        tarnrtl_Free(UpMarkOf(data));
    pool->lists = {};
    EXPECT_EQ(RawBlocksLeft(), 0);
}

}  // namespace
}  // namespace tarn::test
