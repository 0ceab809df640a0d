// Damage of every kind, done to a block of every size class of the low-fragmentation pool and to
// one of the guarded pool behind it, between two blocks of the same size: the report names the
// kind (with the allocating stack where the block keeps one), the pool goes on, the blocks around
// keep their data, and blocks taken afterwards in every class keep theirs and check clean.
#include "memory/lowfrag.h"

#include "memory/pooltest.h"

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <regex>

namespace tarn::test {
namespace {

// Stands for the runtime's malloc: the stack of a block starts with the caller of this.
TARN_NOIPA void* Entry(LowFragPool* pool, size_t size) {
    void* block = pool->Get(size);
    asm volatile("" ::: "memory");
    return block;
}

// Allocates through Entry and notes where its own caller continues.
TARN_NOIPA void* AllocateHere(LowFragPool* pool, size_t size, uintptr_t& returnAddress) {
    returnAddress = reinterpret_cast<uintptr_t>(__builtin_return_address(0));
    void* block = Entry(pool, size);
    asm volatile("" ::: "memory");
    return block;
}

// A return address in AllocateHere, behind its call of Entry.
bool InAllocateHere(uintptr_t address) {
    const uintptr_t here = reinterpret_cast<uintptr_t>(&AllocateHere);
    return address > here && address < here + 256;
}

// The targets: the classes that serve requests on every word size (class 0 serves none on 64-bit
// targets), then the guarded pool.
constexpr int kFirstClass = 1;
constexpr int kGuarded = kClasses;

// A target's smallest request leaves the most room behind the data: an overrun of 64 bytes stays
// inside the element, and on 32-bit targets clear of its stack.
size_t SmallestRequest(int target) {
    if (target == kGuarded)
        return kLargeRequest;
    return ElementSize(target - 1) > kElementOverhead + 1 ? LargestRequest(target - 1) + 1 : 1;
}

std::string TargetName(int target) {
    return target == kGuarded ? "guarded pool" : "class " + std::to_string(target);
}

// Foreign pointers: 128 zero bytes in front, so no owner can be read there.
struct Padded {
    char zeros[128];
    char data[64];
};
Padded gStatic = {};

// The block damaged, and what it recorded before the damage.
struct Cell {
    int target;
    size_t size;
    char* block;
    uintptr_t returnAddress;
    bool live = true;  // still the caller's after the damage
};

class DamageTest : public ::testing::Test {
protected:
    void SetUp() override {
        EndStartup();
        pool = new LowFragPool;
        void* probe = pool->Get(kLargeRequest);
        guarded = UpMarkOf(probe)->owner;
        pool->Free(probe);
    }
    void TearDown() override { pool->Release(); }

    const Holder* HolderOf(const void* block) const {
        Holder* const* table = LowFragPoolForTesting::Table(*pool);
        for (int i = 0; i < LowFragPool::kTableSize && table[i]; ++i) {
            if (table[i]->Contains(reinterpret_cast<uintptr_t>(block)))
                return table[i];
        }
        return nullptr;
    }
    // "; Holder block size: ...; Holder internal array: ..." of the reports about `block`.
    std::string HolderTail(const void* block) const {
        const Holder* holder = HolderOf(block);
        return "; Holder block size: " + std::to_string(holder->elementSize) +
               "; Holder internal array: " + Hex(reinterpret_cast<void*>(holder->array));
    }
    bool Listed(const void* block) const {
        for (const Mark* m = guarded->lists.UpBeg; m; m = m->next) {
            if (m == UpMarkOf(block))
                return true;
        }
        return false;
    }

    // The report of a damaged element: its kind, and the stack the element holds now.
    static std::string ElementReport(const Cell& c, const char* where) {
        const uint32_t elementSize = uint32_t(ElementSize(c.target));
        const uintptr_t* stack = reinterpret_cast<const uintptr_t*>(
            c.block - kElementHead + elementSize - kElementStackBytes);
        std::string text = std::string("Corrupted memory block, ") + where +
                           ". Block ptr: " + Hex(c.block) + "; Size:" + std::to_string(c.size) +
                           "; Holder block size: " + std::to_string(elementSize) +
                           "\r\nAllocator STACK: ";
        for (int i = 0; i < kElementStack; ++i)
            text += Hex(reinterpret_cast<void*>(stack[i]), 8) + " ";
        return text + "\r\n";
    }

    // Damage to the bytes of an element, found by a check of the pool (once: the element stays
    // damaged, and its release says nothing more) or by its release.
    void ExpectElementReport(Cell& c, const char* where, bool byCheck) {
        const std::string report = ElementReport(c, where);
        if (byCheck) {
            EXPECT_FALSE(pool->CheckForBugs());
            EXPECT_TRUE(Has(exc.Text(), report)) << exc.Text();
            exc.Mark();
            EXPECT_FALSE(pool->CheckForBugs()) << "the element stays damaged";
            EXPECT_TRUE(pool->Free(c.block));
            EXPECT_EQ(exc.Text(), "") << "reported once";
        } else {
            EXPECT_TRUE(pool->Free(c.block));
            EXPECT_TRUE(Has(exc.Text(), report)) << exc.Text();
        }
        c.live = false;
    }

    // Damage to a guarded block's down mark or links: its release finds it, reports the block with
    // its allocator, and releases it all the same.
    void ExpectGuardedRelease(Cell& c) {
        const uintptr_t ip = UpMarkOf(c.block)->allocatorIP;
        EXPECT_TRUE(pool->Free(c.block));
        // Asked before the reads below allocate: the raw heap may give the address again.
        EXPECT_EQ(tarnrtl_GetSize(UpMarkOf(c.block)), 0u) << "released";
        const std::string report = exc.Text();
        EXPECT_TRUE(std::regex_search(
            report,
            std::regex("memory already corrupted when begin deallocation: addr=" + Hex(c.block) +
                       ", size=" + std::to_string(c.size) + "=-?[0-9]+, allocator ID=" +
                       Hex(reinterpret_cast<void*>(ip)) + "=0x[0-9A-F]+")))
            << report;
        c.live = false;
    }

    // What a pointer that is no block of the pools gets: refused and reported by the guarded pool,
    // no size, no resize; nothing it points at changes.
    void ExpectRefused(void* pointer) {
        EXPECT_EQ(pool->GetSize(pointer), 0u);
        EXPECT_FALSE(pool->Free(pointer));
        EXPECT_TRUE(Has(exc.Text(), "block can't be freed: bounds[" + Hex(pointer) + ","))
            << exc.Text();
        EXPECT_FALSE(pool->DeleteV(pointer));
        EXPECT_EQ(pool->Expand(pointer, 10), nullptr);
    }

    // A block of the smallest and of the largest request of every target, each filled with its
    // own byte: every one keeps its size and data, the pools check clean, and nothing is reported.
    void ExpectEveryClassSound() {
        exc.Mark();
        std::vector<std::pair<char*, size_t>> blocks;
        for (int target = kFirstClass; target <= kGuarded; ++target) {
            const size_t largest = target == kGuarded ? 2 * kLargeRequest : LargestRequest(target);
            for (size_t size : {SmallestRequest(target), largest}) {
                char* block = static_cast<char*>(pool->Get(size));
                ASSERT_NE(block, nullptr) << TargetName(target);
                memset(block, int('A' + blocks.size()), size);
                blocks.push_back({block, size});
            }
        }
        EXPECT_TRUE(pool->CheckForBugs());
        for (size_t i = 0; i < blocks.size(); ++i) {
            auto [block, size] = blocks[i];
            EXPECT_EQ(pool->GetSize(block), size);
            EXPECT_TRUE(std::all_of(block, block + size, [&](char b) {
                return b == char('A' + i);
            })) << i;
            EXPECT_TRUE(pool->Free(block));
        }
        EXPECT_EQ(exc.Text(), "");
    }

    LowFragPool* pool = nullptr;
    MarkPool* guarded = nullptr;  // "App memory" of the pool
    FileTail log{GetProcess().logName};
    FileTail exc{GetProcess().excName};
};

struct Kind {
    const char* what;
    bool lowFrag;
    bool guarded;
    std::function<void(Cell&)> apply;
};

TEST_F(DamageTest, EveryKindInEveryClassIsReportedAndThePoolsGoOn) {
    auto overrun = [this](size_t bytes, bool byCheck) {
        return [this, bytes, byCheck](Cell& c) {
            memset(c.block + c.size, 0xEE, bytes);
            if (c.target == kGuarded) {
                // The walks of the full check stop at the first pair that fails, which may be the
                // neighbour whose link to the damaged mark no longer checks out: the kind is
                // reported there, the block by its release.
                ExpectGuardedRelease(c);
                EXPECT_TRUE(Has(exc.Text(), "corrupted block(DOWN BOUNDARY) found: bounds["))
                    << exc.Text();
            } else {
                ExpectElementReport(c, "UPPER boundary", byCheck);
            }
        };
    };
    auto underrun = [this](bool byCheck) {
        return [this, byCheck](Cell& c) {
            c.block[-1] = char(0xEE);
            ExpectElementReport(c, "LOWER boundary", byCheck);
        };
    };
    auto foreign = [this](void* pointer) {
        return [this, pointer](Cell&) { ExpectRefused(pointer); };
    };
    auto damagedLinks = [this](Mark* (*mark)(char* block, size_t size)) {
        return [this, mark](Cell& c) {
            Mark* damaged = mark(c.block, c.size);
            damaged->pred = damaged->next = reinterpret_cast<Mark*>(uintptr_t(0x10));
            ExpectGuardedRelease(c);
            EXPECT_TRUE(Has(log.Text(), "IsBadReadPtr( ")) << log.Text();
        };
    };
    Padded onStack = {};
    void* fromMalloc = malloc(64);
    ASSERT_NE(fromMalloc, nullptr);

    const Kind kinds[] = {
        {"overrun by 1, found by a check", true, false, overrun(1, true)},
        {"overrun by 1", true, true, overrun(1, false)},
        {"overrun by 8", true, true, overrun(8, false)},
        {"overrun by 64, found by a check", true, false, overrun(64, true)},
        {"overrun by 64", true, true, overrun(64, false)},
        {"underrun by 1, found by a check", true, false, underrun(true)},
        {"underrun by 1", true, false, underrun(false)},
        {"underrun and overrun by 1", true, false,
         [&](Cell& c) {
             c.block[-1] = c.block[c.size] = char(0xEE);
             ExpectElementReport(c, "BOTH boundaries", false);
         }},
        {"release twice", true, true,
         [&](Cell& c) {
             EXPECT_TRUE(pool->Free(c.block));
             c.live = false;
             EXPECT_EQ(exc.Text(), "");
             if (c.target == kGuarded) {
                 const int32_t blocks = guarded->blocks.current;
                 EXPECT_FALSE(pool->Free(c.block));
                 EXPECT_TRUE(Has(exc.Text(), "block can't be freed: bounds[" + Hex(c.block) + ","))
                     << exc.Text();
                 EXPECT_EQ(guarded->blocks.current, blocks);
             } else {
                 const uint32_t count = HolderOf(c.block)->count;
                 EXPECT_TRUE(pool->Free(c.block));
                 EXPECT_TRUE(Has(exc.Text(), "Attempt to free not allocated memory block ptr: " +
                                                 Hex(c.block - kElementHead) + HolderTail(c.block)))
                     << exc.Text();
                 EXPECT_EQ(HolderOf(c.block)->count, count);
             }
         }},
        {"release of a pointer into the block", true, true,
         [&](Cell& c) {
             char* inside = c.block + 4;
             if (c.target == kGuarded) {
                 ExpectRefused(inside);
                 return;
             }
             const uint32_t count = HolderOf(c.block)->count;
             const std::string tail = HolderTail(c.block);
             EXPECT_TRUE(pool->Free(inside));
             EXPECT_TRUE(Has(exc.Text(), "Attempt to free invalid memory block ptr: " +
                                             Hex(inside - kElementHead) + tail))
                 << exc.Text();
             EXPECT_EQ(HolderOf(c.block)->count, count);
             EXPECT_EQ(pool->Realloc(inside, 10), nullptr);
             EXPECT_TRUE(Has(exc.Text(),
                             "Attempt to realloc invalid memory block ptr: " + Hex(inside) + tail));
             exc.Mark();
             EXPECT_EQ(pool->Expand(inside, 10), nullptr);
             EXPECT_TRUE(Has(exc.Text(),
                             "Attempt to expand invalid memory block ptr: " + Hex(inside) + tail));
             exc.Mark();
             EXPECT_EQ(pool->GetSize(inside), 0u);
             EXPECT_TRUE(Has(exc.Text(),
                             "Attempt to expand invalid memory block ptr: " + Hex(inside) + tail));
         }},
        {"release of a stack address", true, true, foreign(onStack.data)},
        {"release of a static address", true, true, foreign(gStatic.data)},
#if !defined(__SANITIZE_ADDRESS__)
        // The sanitizer's malloc poisons the memory in front of its blocks (their headers, and
        // blocks it holds back after their release), where the guarded pool reads for a mark.
        {"release of a block of the system's malloc", true, true, foreign(fromMalloc)},
#endif
        {"resize of a released block", true, true,
         [&](Cell& c) {
             EXPECT_TRUE(pool->Free(c.block));
             c.live = false;
             if (c.target != kGuarded) {
                 // Refused in place and elsewhere: the element stays free, and stamped by no one.
                 const uint32_t count = HolderOf(c.block)->count;
                 const std::string tail = HolderTail(c.block);
                 const std::string realloc =
                     "Attempt to realloc not allocated memory block ptr: " + Hex(c.block) + tail;
                 for (size_t size : {c.size, c.size + 100}) {
                     EXPECT_EQ(pool->Realloc(c.block, size), nullptr);
                     EXPECT_TRUE(Has(exc.Text(), realloc)) << exc.Text();
                     exc.Mark();
                 }
                 const std::string expand =
                     "Attempt to expand not allocated memory block ptr: " + Hex(c.block) + tail;
                 EXPECT_EQ(pool->Expand(c.block, c.size), nullptr);
                 EXPECT_TRUE(Has(exc.Text(), expand)) << exc.Text();
                 exc.Mark();
                 EXPECT_EQ(pool->GetSize(c.block), 0u);
                 EXPECT_TRUE(Has(exc.Text(), expand)) << exc.Text();
                 EXPECT_EQ(HolderOf(c.block)->count, count);
                 return;
             }
             char* resized = static_cast<char*>(pool->Realloc(c.block, c.size + 100));
             EXPECT_TRUE(Has(exc.Text(), "GlobalRealloc() error: GetLastError(")) << exc.Text();
             EXPECT_TRUE(Has(exc.Text(), ")data=" + Hex(c.block) + "; newsize=" +
                                             std::to_string(c.size + 100) + ", oldsize=0?, "));
             // The runtime's own block, not one of the pool's: it goes back to the runtime.
             ASSERT_NE(resized, nullptr);
             EXPECT_EQ(tarnrtl_GetSize(resized), c.size + 100);
             EXPECT_TRUE(pool->Free(resized));
         }},
        {"damaged links of the up mark", false, true,
         damagedLinks([](char* block, size_t) { return UpMarkOf(block); })},
        {"damaged links of the down mark", false, true,
         damagedLinks([](char* block, size_t size) { return DownMarkOf(UpMarkOf(block), size); })},
    };

    for (const Kind& kind : kinds) {
        for (int target = kFirstClass; target <= kGuarded; ++target) {
            if (!(target == kGuarded ? kind.guarded : kind.lowFrag))
                continue;
            SCOPED_TRACE(std::string(kind.what) + " in the " + TargetName(target));
            log.Mark();
            exc.Mark();
            Cell c{target, SmallestRequest(target), nullptr, 0};
            char* older = static_cast<char*>(pool->Get(c.size));
            c.block = static_cast<char*>(AllocateHere(pool, c.size, c.returnAddress));
            char* newer = static_cast<char*>(pool->Get(c.size));
            ASSERT_TRUE(older && c.block && newer);
            memset(older, 'o', c.size);
            memset(c.block, 'b', c.size);
            memset(newer, 'n', c.size);
            if (target == kGuarded) {
                const Mark* up = UpMarkOf(c.block);
                EXPECT_TRUE(InAllocateHere(up->allocatorIP));
                EXPECT_EQ(StackEntry(DownMarkOf(up, c.size), 1), c.returnAddress);
            } else {
                const uintptr_t* stack = reinterpret_cast<const uintptr_t*>(
                    c.block - kElementHead + ElementSize(target) - kElementStackBytes);
                EXPECT_TRUE(InAllocateHere(stack[0]));
                EXPECT_EQ(stack[1], c.returnAddress);
            }

            kind.apply(c);

            // The blocks around are whole. A guarded one whose link to the damaged block no
            // longer checks out was dropped from the lists with it: the pool cannot release it
            // any more, and the runtime gets it back here.
            exc.Mark();
            for (char* other : {older, newer}) {
                EXPECT_EQ(std::string(other, c.size),
                          std::string(c.size, other == older ? 'o' : 'n'));
                if (target != kGuarded || Listed(other))
                    EXPECT_TRUE(pool->Free(other));
                else
                    EXPECT_TRUE(tarnrtl_Free(UpMarkOf(other)));
            }
            if (c.live) {
                EXPECT_EQ(std::string(c.block, c.size), std::string(c.size, 'b'));
                EXPECT_TRUE(pool->Free(c.block));
            }
            EXPECT_EQ(exc.Text(), "");
            EXPECT_EQ(guarded->lists.UpBeg, nullptr);
            ExpectEveryClassSound();
        }
    }
    free(fromMalloc);
}

// A check drops a damaged block from the lists; its release later finds the lists sound and its
// up mark valid, and must not unlink the pair through the damaged links it still has.
TEST_F(DamageTest, AGuardedBlockDroppedByACheckIsReleasedWithoutWritingThroughItsLinks) {
    uintptr_t returnAddress;
    char* block = static_cast<char*>(AllocateHere(pool, kLargeRequest, returnAddress));
    block[kLargeRequest] = char(0xEE);
    EXPECT_FALSE(pool->CheckForBugs());
    EXPECT_TRUE(Has(exc.Text(), "corrupted block(DOWN BOUNDARY) found: bounds[" + Hex(block)))
        << exc.Text();
    EXPECT_EQ(guarded->lists.UpBeg, nullptr);
    exc.Mark();
    EXPECT_TRUE(pool->Free(block));
    EXPECT_EQ(tarnrtl_GetSize(UpMarkOf(block)), 0u) << "released";
    EXPECT_EQ(exc.Text(), "");
    ExpectEveryClassSound();
}

}  // namespace
}  // namespace tarn::test
