// The low-fragmentation pool: the class rule, reuse, holder creation and release, resizing,
// threads and the small-block half of the report (damage and bad pointers: damage_test.cpp).
// Each test makes its own pool (not installed) and releases it.
#include "memory/lowfrag.h"

#include "memory/pooltest.h"

#include <algorithm>
#include <random>
#include <regex>
#include <span>
#include <thread>

namespace tarn::test {
namespace {

class LowFragTest : public ::testing::Test {
protected:
    void SetUp() override {
        EndStartup();
        pool = new LowFragPool;
        log.Mark();
        exc.Mark();
    }
    void TearDown() override {
        if (pool)
            pool->Release();
    }

    std::span<Holder* const> Table() const {
        return {LowFragPoolForTesting::Table(*pool), size_t(LowFragPool::kTableSize)};
    }
    Holder* const* Cursor(int cls) const { return LowFragPoolForTesting::Cursor(*pool, cls); }

    // The element size of the holder whose array holds `block`; 0 when none does.
    uint32_t ElementSizeOf(const void* block) const {
        for (Holder* holder : Table()) {
            if (holder && holder->Contains(reinterpret_cast<uintptr_t>(block)))
                return holder->elementSize;
        }
        return 0;
    }
    std::vector<uint32_t> Holders() const {
        std::vector<uint32_t> sizes;
        for (Holder* holder : Table()) {
            if (holder)
                sizes.push_back(holder->elementSize);
        }
        return sizes;
    }
    const Holder* HolderOf(const void* block) const {
        for (Holder* holder : Table()) {
            if (holder && holder->Contains(reinterpret_cast<uintptr_t>(block)))
                return holder;
        }
        return nullptr;
    }

    LowFragPool* pool = nullptr;
    FileTail log{GetProcess().logName};
    FileTail exc{GetProcess().excName};
};

// The smallest class that can hold a request on this word size.
constexpr int kFirstClass = ElementSize(0) > kElementOverhead ? 0 : 1;

TEST_F(LowFragTest, EachClassServesUpToItsLargestRequestAndTheBackingPoolTheRest) {
    for (int cls = kFirstClass; cls < kClasses; ++cls) {
        SCOPED_TRACE(cls);
        const size_t largest = LargestRequest(cls);
        char* fits = static_cast<char*>(pool->Get(largest));
        char* over = static_cast<char*>(pool->Get(largest + 1));
        ASSERT_TRUE(fits && over);
        EXPECT_EQ(ElementSizeOf(fits), ElementSize(cls));
        EXPECT_EQ(ElementSizeOf(over), cls + 1 < kClasses ? ElementSize(cls + 1) : 0);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(fits) % (sizeof(void*) == 8 ? 16 : 8), 0u);
        EXPECT_EQ(pool->GetSize(fits), largest);
        EXPECT_EQ(pool->GetSize(over), largest + 1);
        EXPECT_TRUE(std::all_of(fits, fits + largest, [](char c) { return c == 0; }));
        EXPECT_TRUE(pool->Free(fits));
        EXPECT_TRUE(pool->Delete(over));
    }
    EXPECT_EQ(pool->Get(0), nullptr);
    EXPECT_TRUE(pool->Free(nullptr));
    EXPECT_EQ(exc.Text(), "");
}

TEST_F(LowFragTest, AReusedElementComesBackZeroed) {
    char* first = static_cast<char*>(pool->Get(100));
    memset(first, 0xAB, 100);
    ASSERT_TRUE(pool->Free(first));
    char* again = static_cast<char*>(pool->NewV(100));
    EXPECT_EQ(again, first);
    EXPECT_TRUE(std::all_of(again, again + 100, [](char c) { return c == 0; }));
    pool->DeleteV(again);
}

// Holders of the two largest classes: the table keeps them by element size, a later holder goes
// when it empties, the first of a class stays.
TEST_F(LowFragTest, ALaterHolderGoesWhenEmptyAndTheTableClosesUp) {
    const int perHolder = int(kHolderArray / ElementSize(8));
    std::vector<void*> blocks;
    void* largest = pool->Get(LargestRequest(9));
    for (int i = 0; i < perHolder + 1; ++i)
        blocks.push_back(pool->Get(LargestRequest(8)));
    EXPECT_EQ(Holders(), (std::vector<uint32_t>{uint32_t(ElementSize(8)), uint32_t(ElementSize(8)),
                                                uint32_t(ElementSize(9))}));
    EXPECT_EQ(Cursor(8), &Table()[0]);
    EXPECT_EQ(Cursor(9), &Table()[2]);
    EXPECT_NE(HolderOf(blocks.back()), HolderOf(blocks.front()));
    // An element released in the full first holder is the next one taken: a class's holders are
    // tried from its first.
    void* early = blocks[5];
    pool->Free(early);
    blocks[5] = pool->Get(LargestRequest(8));
    EXPECT_EQ(blocks[5], early);

    pool->Free(blocks.back());
    blocks.pop_back();
    EXPECT_EQ(Holders(),
              (std::vector<uint32_t>{uint32_t(ElementSize(8)), uint32_t(ElementSize(9))}));
    EXPECT_EQ(Cursor(9), &Table()[1]);
    // Pointers into the remaining holders are still found.
    EXPECT_EQ(pool->GetSize(largest), LargestRequest(9));
    for (void* block : blocks)
        pool->Free(block);
    pool->Free(largest);
    EXPECT_EQ(Holders().size(), 2u) << "the first holder of each class stays";
    EXPECT_EQ(exc.Text(), "");
}

// Many holders, filled and emptied in random order, interleaved with another class: every
// release finds its holder, and the table ends with one holder per class.
TEST_F(LowFragTest, ReleasesInAnyOrderFindTheirHoldersAmongMany) {
    std::mt19937 random(7);
    std::vector<void*> blocks;
    for (int i = 0; i < 40 * 32; ++i) {
        blocks.push_back(pool->Get(LargestRequest(9)));
        if (i % 8 == 0)
            blocks.push_back(pool->Get(LargestRequest(8)));
        ASSERT_NE(blocks.back(), nullptr);
    }
    EXPECT_GE(Holders().size(), 41u);
    std::shuffle(blocks.begin(), blocks.end(), random);
    for (void* block : blocks)
        ASSERT_TRUE(pool->Free(block));
    EXPECT_EQ(Holders(),
              (std::vector<uint32_t>{uint32_t(ElementSize(8)), uint32_t(ElementSize(9))}));
    EXPECT_EQ(exc.Text(), "");
}

TEST_F(LowFragTest, ResizingStaysInPlaceWhileTheElementFitsAndMovesOtherwise) {
    const size_t small = 20;
    char* block = static_cast<char*>(pool->Get(small));
    const uint32_t elementSize = ElementSizeOf(block);
    const size_t roomiest = elementSize - kElementOverhead;
    memcpy(block, "twenty bytes of data", small);

    EXPECT_EQ(pool->Expand(block, roomiest + 1), nullptr);
    EXPECT_EQ(pool->Expand(block, roomiest), block);
    EXPECT_EQ(pool->GetSize(block), roomiest);
    EXPECT_EQ(pool->Realloc(block, small), block);

    char* moved = static_cast<char*>(pool->Realloc(block, roomiest + 1));
    ASSERT_NE(moved, block);
    EXPECT_EQ(ElementSizeOf(moved), 2 * elementSize);
    EXPECT_EQ(std::string(moved, small), "twenty bytes of data");
    EXPECT_TRUE(std::all_of(moved + small, moved + roomiest + 1, [](char c) { return c == 0; }));

    // Shrinking to half the element or less moves into the smaller class, with the data cut.
    char* shrunk = static_cast<char*>(pool->Realloc(moved, 6));
    ASSERT_NE(shrunk, moved);
    EXPECT_EQ(std::string(shrunk, 6), "twenty");
    EXPECT_EQ(pool->GetSize(shrunk), 6u);
    char* large = static_cast<char*>(pool->Realloc(shrunk, kLargeRequest));
    EXPECT_EQ(ElementSizeOf(large), 0u);
    EXPECT_EQ(std::string(large, 6), "twenty");
    EXPECT_EQ(pool->Realloc(large, 0), nullptr);
    EXPECT_EQ(exc.Text(), "");
}

TEST_F(LowFragTest, TwoThreadsTradingBlocksKeepEveryByte) {
    constexpr int kRounds = 20000;
    std::vector<std::atomic<char*>> mailbox(64);
    auto worker = [&](int self) {
        std::mt19937 random(self);
        for (int i = 0; i < kRounds; ++i) {
            size_t size = 16 + random() % 1009;
            char* block = static_cast<char*>(pool->Get(size));
            memset(block, char(size), size);
            char* taken = mailbox[random() % mailbox.size()].exchange(block);
            if (taken) {
                size_t takenSize = pool->GetSize(taken);
                EXPECT_TRUE(std::all_of(taken, taken + takenSize,
                                        [&](char c) { return c == char(takenSize); }));
                pool->Free(taken);
            }
        }
    };
    std::thread other(worker, 1);
    worker(2);
    other.join();
    for (std::atomic<char*>& slot : mailbox)
        pool->Free(slot.load());
    EXPECT_TRUE(pool->CheckForBugs());
    EXPECT_EQ(exc.Text(), "");
}

// Stands between the process's interface and a pool under test: forwards every slot down, and
// notes what is current when the pool above releases it.
class Below final : public ICppMemIface {
public:
    explicit Below(ICppMemIface* process) : process(process) {}

    void* Get(size_t size) override { return process->Get(size); }
    bool Free(void* block) override { return process->Free(block); }
    void* Realloc(void* block, size_t size) override { return process->Realloc(block, size); }
    void* Expand(void* block, size_t size) override { return process->Expand(block, size); }
    bool FreeAll() override { return false; }
    size_t GetSize(const void* block) override { return process->GetSize(block); }
    bool CheckForBugs() override { return process->CheckForBugs(); }
    void Release() override { currentAtRelease = tarnrtl_GetMemIface(); }
    void* New(size_t size) override { return process->New(size); }
    bool Delete(void* block) override { return process->Delete(block); }
    void* NewV(size_t size) override { return process->NewV(size); }
    bool DeleteV(void* block) override { return process->DeleteV(block); }

    ICppMemIface* process;
    ICppMemIface* currentAtRelease = nullptr;
};

TEST_F(LowFragTest, ReleasedWhileCurrentItLeavesNoInterfaceBeforeReleasingTheOneBelow) {
    ICppMemIface* process = tarnrtl_GetMemIface();
    Below below(process);
    tarnrtl_SetMemIface(&below);
    pool->Install();
    pool->Install();
    EXPECT_EQ(LowFragPoolForTesting::Replaced(*pool), &below);
    ASSERT_EQ(tarnrtl_GetMemIface(), pool);
    ICppMemIface* released = pool;
    pool->Release();
    pool = nullptr;
    ICppMemIface* afterwards = tarnrtl_GetMemIface();
    tarnrtl_SetMemIface(process);
    EXPECT_NE(below.currentAtRelease, nullptr);
    EXPECT_NE(below.currentAtRelease, released);
    EXPECT_NE(below.currentAtRelease, &below);
    EXPECT_EQ(afterwards, below.currentAtRelease);
}

// The small-block half: the application's element listed with its stack, the start-up element
// counted; then the backing pool's half and its closing line.
TEST_F(LowFragTest, TheReportListsTheApplicationsElementsAndCountsTheStartUps) {
    SetStartupPhaseForTesting(true);
    void* startup = pool->Get(100);
    EndStartup();
    void* unfreed = pool->New(50);
    pool->Free(pool->Get(70));
    const uint32_t elementSize = ElementSizeOf(unfreed);
    pool->Release();
    pool = nullptr;
    std::string report = log.Text();
    EXPECT_FALSE(Has(report, Hex(startup, 8)));
    EXPECT_TRUE(std::regex_search(
        report,
        std::regex("^Unfreed=" + Hex(unfreed, 8) +
                   "\\[50\\]; Native block size=" + std::to_string(elementSize) +
                   "\r\nAllocator STACK: (0x[0-9A-F]{8,} ){10}\r\n"
                   "===========\r\nLOW FRAGMENTATION BLOCKS OF MEMORY \\( included OBJECTS and "
                   "ARRAYS\\):\r\nTotal missing space: 50 bytes in 1 memory blocks\r\n"
                   "Unfreed startup memory blocks : 1\r\n===========\r\n")))
        << report;
    EXPECT_TRUE(Has(report, "[ App memory closed]\r\n")) << report;
}

// Arrays placed by hand: one across a granule boundary, its neighbour sharing that granule, one
// on a boundary; the map answers by address alone.
TEST(HolderMap, FindsTheArrayThatHoldsAnAddressUpToItsLastByte) {
    constexpr uintptr_t kGranule = uintptr_t(1) << HolderMap::kGranuleBits;
    const uintptr_t base = uintptr_t(0x40) << HolderMap::kGranuleBits;
    const uintptr_t arrays[] = {base - kGranule / 2, base + kGranule / 2, base + 2 * kGranule};
    Holder holders[3] = {};
    HolderMap map;
    for (int i = 0; i < 3; ++i) {
        holders[i].array = arrays[i];
        ASSERT_TRUE(map.Add(&holders[i]));
    }
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(map.Find(arrays[i]), &holders[i]);
        EXPECT_EQ(map.Find(arrays[i] + kHolderArray - 1), &holders[i]);
    }
    EXPECT_EQ(map.Find(arrays[0] - 1), nullptr);
    EXPECT_EQ(map.Find(arrays[2] + kHolderArray), nullptr);
    EXPECT_EQ(map.Find(uintptr_t(-1)), nullptr);

    map.Remove(&holders[1]);
    EXPECT_EQ(map.Find(arrays[1] + 1), nullptr);
    EXPECT_EQ(map.Find(base - 1), &holders[0]);
    EXPECT_EQ(map.Find(arrays[2]), &holders[2]);
    holders[1].array = arrays[1] + 64;
    ASSERT_TRUE(map.Add(&holders[1]));
    EXPECT_EQ(map.Find(arrays[1] + 64), &holders[1]);
    EXPECT_EQ(map.Find(arrays[1] + 63), nullptr);
    EXPECT_EQ(map.Find(arrays[1] - 1), &holders[0]);
}

}  // namespace
}  // namespace tarn::test
