// Tests of the raw heap and of the memory interface slot, on every target.
#include "platform/win32.h"
#include "runtime/allocator.h"
#include "runtime/testing_iface.h"
#include "tarnkernl/tarnrt.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace tarn::test {
namespace {

unsigned char* Bytes(void* p) { return static_cast<unsigned char*>(p); }

TEST(RawHeap, BlocksHaveTheirSizeAndAlignment) {
    for (size_t size : {0, 1, 15, 16, 17, 100, 4096, 100000, 3 << 20}) {
        void* block = tarnrtl_Get(size);
        ASSERT_NE(block, nullptr) << size;
        EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % 16, 0u) << size;
        EXPECT_EQ(tarnrtl_GetSize(block), size);
        memset(block, 0xA5, size);
        EXPECT_TRUE(tarnrtl_CheckForBugs()) << size;
        EXPECT_TRUE(tarnrtl_Free(block));
        // A freed block is no block any more, even one whose memory went back to the system.
        EXPECT_EQ(tarnrtl_GetSize(block), 0u) << size;
    }
}

TEST(RawHeap, PointersThatAreNoBlocksAreRefusedWithoutBeingRead) {
    static char staticBytes[64];
    alignas(16) char stackBytes[64];
    void* block = tarnrtl_Get(64);
    memset(block, 0x5A, 64);
    const void* strangers[] = {
        staticBytes,
        stackBytes + 16,
        Bytes(block) + 16,
        Bytes(block) + 1,
        reinterpret_cast<void*>(0x10),                    // its header would be at address 0
        reinterpret_cast<void*>(uintptr_t(0) - 0x10000),  // beyond the user address space
    };
    for (const void* stranger : strangers) {
        EXPECT_EQ(tarnrtl_GetSize(stranger), 0u) << stranger;
        EXPECT_FALSE(tarnrtl_Free(const_cast<void*>(stranger))) << stranger;
        EXPECT_EQ(tarnrtl_Realloc(const_cast<void*>(stranger), 8), nullptr) << stranger;
        EXPECT_EQ(tarnrtl_Expand(const_cast<void*>(stranger), 8), nullptr) << stranger;
    }
    EXPECT_EQ(tarnrtl_GetSize(nullptr), 0u);
    EXPECT_TRUE(tarnrtl_Free(nullptr));
    // The block itself was left as it was.
    EXPECT_EQ(tarnrtl_GetSize(block), 64u);
    EXPECT_EQ(Bytes(block)[1], 0x5A);
    EXPECT_TRUE(tarnrtl_Free(block));
    EXPECT_FALSE(tarnrtl_Free(block));  // a second release
}

TEST(RawHeap, FailuresSetTheLastErrorResizesKeepTheBytes) {
    for (size_t huge : {SIZE_MAX, kUnobtainable}) {  // the first would overflow with the header
        SetLastError(0);
        EXPECT_EQ(tarnrtl_Get(huge), nullptr);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_ENOUGH_MEMORY)) << huge;
    }

    char* block = static_cast<char*>(tarnrtl_Realloc(nullptr, 100));  // null acts as Get
    ASSERT_NE(block, nullptr);
    for (int i = 0; i < 100; ++i)
        block[i] = char(i);

    char* grown = static_cast<char*>(tarnrtl_Realloc(block, 100000));
    ASSERT_NE(grown, nullptr);
    EXPECT_EQ(tarnrtl_GetSize(grown), 100000u);
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(grown[i], char(i));
    if (grown != block) {
        EXPECT_EQ(tarnrtl_GetSize(block), 0u);
    }

    SetLastError(0);
    EXPECT_EQ(tarnrtl_Realloc(grown, kUnobtainable), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ(tarnrtl_GetSize(grown), 100000u);
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(grown[i], char(i));

    // Cut down to far less than half: the block moves and takes what fits along.
    char* shrunk = static_cast<char*>(tarnrtl_Realloc(grown, 10));
    ASSERT_NE(shrunk, nullptr);
    EXPECT_EQ(tarnrtl_GetSize(shrunk), 10u);
    for (int i = 0; i < 10; ++i)
        ASSERT_EQ(shrunk[i], char(i));

    // Expand resizes in place, down and up again within the block, or not at all.
    for (size_t size : {3, 8}) {
        EXPECT_EQ(tarnrtl_Expand(shrunk, size), shrunk);
        EXPECT_EQ(tarnrtl_GetSize(shrunk), size);
    }
    EXPECT_EQ(tarnrtl_Expand(shrunk, PTRDIFF_MAX / 2), nullptr);
    EXPECT_EQ(tarnrtl_GetSize(shrunk), 8u);
    for (int i = 0; i < 8; ++i)
        ASSERT_EQ(shrunk[i], char(i));
    EXPECT_TRUE(tarnrtl_CheckForBugs());
    EXPECT_TRUE(tarnrtl_Free(shrunk));
}

// Raw blocks, and blocks of the C++ library (where the runtime is the process's allocator,
// they are the runtime's too).
TEST(RawHeap, BlocksMayBeReleasedOnAnotherThread) {
    constexpr int kThreads = 4;
    constexpr int kBlocks = 2000;
    std::vector<void*> made[kThreads];
    std::vector<std::string*> texts[kThreads];
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kBlocks; ++i) {
                made[t].push_back(tarnrtl_Get(size_t(i % 700)));
                texts[t].push_back(new std::string(20 + i % 200, char('a' + t)));
            }
        });
    for (std::thread& thread : threads)
        thread.join();
    threads.clear();
    int wrong[kThreads] = {};
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            const int other = (t + 1) % kThreads;
            for (int i = 0; i < kBlocks; ++i) {
                wrong[t] += tarnrtl_GetSize(made[other][i]) != size_t(i % 700) ||
                            !tarnrtl_Free(made[other][i]) ||
                            *texts[other][i] != std::string(20 + i % 200, char('a' + other));
                delete texts[other][i];
            }
        });
    for (std::thread& thread : threads)
        thread.join();
    for (int count : wrong)
        EXPECT_EQ(count, 0);
    EXPECT_TRUE(tarnrtl_CheckForBugs());
}

#if defined(_WIN32)
// Every address inside a live raw block, grown in place or not, is the runtime's; once the block
// is gone, the memory it alone held is no longer; the system C runtime's blocks never are.
TEST(RawHeap, TheSystemsBlocksAreToldFromTheRuntimes) {
    char* block = static_cast<char*>(tarnrtl_Get(1 << 20));
    ASSERT_NE(block, nullptr);
    EXPECT_FALSE(SystemBlock(block));
    EXPECT_FALSE(SystemBlock(block + (1 << 20) - 1));
    char* grown = static_cast<char*>(tarnrtl_Realloc(block, 3 << 20));
    ASSERT_NE(grown, nullptr);
    EXPECT_FALSE(SystemBlock(grown + (3 << 20) - 1));
    ASSERT_TRUE(tarnrtl_Free(grown));
    EXPECT_TRUE(SystemBlock(grown + (2 << 20)));

    char* system = static_cast<char*>(SystemRealloc(nullptr, 100));
    ASSERT_NE(system, nullptr);
    EXPECT_TRUE(SystemBlock(system));
    EXPECT_EQ(SystemSize(system), 100u);
    SystemFree(system);
    int local = 0;
    EXPECT_TRUE(SystemBlock(&local));
}
#endif

// Every byte of a block's header counts: damage to any of them is found by the heap check, and
// the damaged block is neither sized nor released until it is repaired.
TEST(RawHeap, HeapCheckFindsEveryDamagedHeaderByte) {
    void* block = tarnrtl_Get(64);
    unsigned char* header = Bytes(block) - 16;
    ASSERT_TRUE(tarnrtl_CheckForBugs());
    EXPECT_EQ(_heapchk(), -2);
    for (int i = 0; i < 16; ++i) {
        header[i] ^= 0x41;
        EXPECT_FALSE(tarnrtl_CheckForBugs()) << "byte " << i;
        EXPECT_EQ(_heapchk(), -4) << "byte " << i;
        EXPECT_EQ(tarnrtl_GetSize(block), 0u) << "byte " << i;
        EXPECT_FALSE(tarnrtl_Free(block)) << "byte " << i;
        header[i] ^= 0x41;
        EXPECT_TRUE(tarnrtl_CheckForBugs()) << "byte " << i;
    }
    EXPECT_EQ(tarnrtl_GetSize(block), 64u);
    EXPECT_TRUE(tarnrtl_Free(block));
}

TEST(MemIface, TheRuntimesOwnKeepsEachSlotsContractAndIsTheDefault) {
    ICppMemIface* iface = tarnrtl_GetMemIface();
    ASSERT_NE(iface, nullptr);
    void* made = iface->New(20);
    void* madeV = iface->NewV(30);
    EXPECT_EQ(tarnrtl_GetSize(made), 20u);
    EXPECT_EQ(tarnrtl_GetSize(madeV), 30u);
    EXPECT_TRUE(iface->Delete(made));
    EXPECT_TRUE(iface->DeleteV(madeV));
    EXPECT_FALSE(iface->Delete(made));

    void* resized = iface->Realloc(iface->Get(10), 5000);
    ASSERT_NE(resized, nullptr);
    EXPECT_EQ(iface->GetSize(resized), 5000u);
    EXPECT_EQ(iface->Realloc(resized, 0), nullptr);  // size 0 releases
    EXPECT_EQ(tarnrtl_GetSize(resized), 0u);
    void* fresh = iface->Realloc(nullptr, 7);  // null acts as Get
    EXPECT_EQ(iface->Expand(fresh, 3), fresh);
    EXPECT_EQ(iface->GetSize(fresh), 3u);
    EXPECT_TRUE(iface->Free(fresh));

    EXPECT_FALSE(iface->FreeAll());
    EXPECT_TRUE(iface->CheckForBugs());
    iface->Release();  // the bottom of every chain: nothing happens
    EXPECT_EQ(tarnrtl_GetMemIface(), iface);
    EXPECT_TRUE(iface->Free(iface->Get(1)));

    // Setting an interface returns the one it replaces; the raw heap's is the runtime's own.
    {
        RecordingIface recorder;
        EXPECT_EQ(tarnrtl_GetMemIface(), &recorder);
        EXPECT_EQ(recorder.replaced(), iface);
        EXPECT_EQ(tarnrtl_SetMemIface(tarn::kRawHeapIface), &recorder);
        EXPECT_EQ(tarnrtl_GetMemIface(), iface);
        EXPECT_EQ(tarnrtl_SetMemIface(&recorder), iface);
    }
    EXPECT_EQ(tarnrtl_GetMemIface(), iface);
}

// --- The release at the end of the process, watched from a child process.

bool gProgramStaticsGone = false;
bool gPluginFinished = false;

struct ProgramStatic {
    ~ProgramStatic() { gProgramStaticsGone = true; }
};

class LastIface final : public RecordingIface {
public:
    void Release() override {
        fprintf(stderr, "released; statics gone: %s; plug-in finished: %s\n",
                gProgramStaticsGone ? "yes" : "no", gPluginFinished ? "yes" : "no");
        fflush(stderr);
        RecordingIface::Release();
    }
};

[[noreturn]] void EndWithAnInterfaceInstalled() {
    static ProgramStatic programStatic;
    HINSTANCE plugin = LoadLibraryA(TARN_TEST_PLUGIN);
    if (!plugin)
        abort();
    auto whenFinished = reinterpret_cast<void (*)(void (*)())>(
        reinterpret_cast<void (*)()>(GetProcAddress(plugin, "testplugin_WhenFinished")));
    whenFinished([] { gPluginFinished = true; });
    // Never destroyed by the program: the runtime releases it.
    [[maybe_unused]] LastIface* last = new LastIface;
    exit(0);
}

TEST(MemIfaceDeathTest, TheInterfaceIsReleasedAfterEverythingElse) {
    const char* expected = "released; statics gone: yes; plug-in finished: yes";
    EXPECT_EXIT(EndWithAnInterfaceInstalled(), ::testing::ExitedWithCode(0), expected);
}

}  // namespace
}  // namespace tarn::test
