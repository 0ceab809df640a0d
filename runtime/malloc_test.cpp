// Tests of the process's allocator: the allocations of the program, of the C and C++ libraries
// and of a plug-in all reach the runtime's memory interface.
#include "runtime/testing_iface.h"
#include "tarnkernl/tarnrt.h"

#include <gtest/gtest.h>

#if TARN_ROUTE_MALLOC

#include "platform/win32.h"

#include <malloc.h>
#if !defined(_WIN32)
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

namespace tarn::test {
namespace {

bool IsAligned(const void* p, size_t alignment) {
    return reinterpret_cast<uintptr_t>(p) % alignment == 0;
}

size_t UsableSize(void* block) {
#if defined(_WIN32)
    return _msize(block);
#else
    return malloc_usable_size(block);
#endif
}

// Every entry of the C and C++ libraries reaches its own slot, and so do the blocks the
// libraries make for themselves.
TEST(ProcessAllocator, EachEntryReachesItsSlot) {
    struct Thing {
        char bytes[1003];
    };
    RecordingIface recorder;
    void* got = Opaque(malloc(1001));
    void* resized = Opaque(realloc(got, 1002));
    void* zeroed = Opaque(calloc(1, 1005));
    EXPECT_EQ(UsableSize(zeroed), 1005u);
    Thing* thing = Opaque(new Thing);
    char* array = Opaque(new char[1004]);
    const void* addresses[] = {got, resized, zeroed, thing, array};
    free(resized);
    free(zeroed);
    delete thing;
    delete[] array;
    recorder.Uninstall();
    EXPECT_TRUE(recorder.Saw(Slot::Get, addresses[0], 1001));
    EXPECT_TRUE(recorder.Saw(Slot::Realloc, addresses[0], 1002));
    EXPECT_TRUE(recorder.Saw(Slot::Free, addresses[1]));
    EXPECT_TRUE(recorder.Saw(Slot::Get, addresses[2], 1005));
    EXPECT_TRUE(recorder.Saw(Slot::GetSize, addresses[2]));
    EXPECT_TRUE(recorder.Saw(Slot::Free, addresses[2]));
    EXPECT_TRUE(recorder.Saw(Slot::New, addresses[3], sizeof(Thing)));
    EXPECT_TRUE(recorder.Saw(Slot::Delete, addresses[3]));
    EXPECT_TRUE(recorder.Saw(Slot::NewV, addresses[4], 1004));
    EXPECT_TRUE(recorder.Saw(Slot::DeleteV, addresses[4]));
    EXPECT_FALSE(recorder.Saw(Slot::Get, addresses[3]));
    EXPECT_FALSE(recorder.Saw(Slot::Free, addresses[4]));

    // The C library's own blocks too.
    char* duplicate = strdup("made by the C library");
    EXPECT_EQ(tarnrtl_GetSize(duplicate), strlen(duplicate) + 1);
    free(duplicate);
}

template <class Function>
Function Entry(HINSTANCE module, const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

TEST(ProcessAllocator, APluginsBlocksAreTheRuntimesToo) {
    HINSTANCE plugin = LoadLibraryA(TARN_TEST_PLUGIN);
    ASSERT_NE(plugin, nullptr) << GetLastError();
    auto pluginMalloc = Entry<void* (*)(size_t)>(plugin, "testplugin_Malloc");
    auto pluginFree = Entry<void (*)(void*)>(plugin, "testplugin_Free");
    auto pluginNewArray = Entry<char* (*)(size_t)>(plugin, "testplugin_NewArray");
    auto pluginDeleteArray = Entry<void (*)(char*)>(plugin, "testplugin_DeleteArray");
    auto pluginNewString = Entry<std::string* (*)(const char*)>(plugin, "testplugin_NewString");
    ASSERT_TRUE(pluginMalloc && pluginFree && pluginNewArray && pluginDeleteArray &&
                pluginNewString);

    RecordingIface recorder;
    void* fromPlugin = pluginMalloc(77);
    EXPECT_TRUE(recorder.Saw(Slot::Get, fromPlugin, 77));
    EXPECT_EQ(tarnrtl_GetSize(fromPlugin), 77u);
    free(fromPlugin);
    char* arrayForPlugin = Opaque(new char[88]);
    pluginDeleteArray(arrayForPlugin);
    EXPECT_TRUE(recorder.Saw(Slot::DeleteV, arrayForPlugin));
    void* blockForPlugin = Opaque(malloc(66));
    pluginFree(blockForPlugin);
    EXPECT_TRUE(recorder.Saw(Slot::Free, blockForPlugin));
    char* arrayFromPlugin = pluginNewArray(99);
    EXPECT_TRUE(recorder.Saw(Slot::NewV, arrayFromPlugin, 99));
    delete[] arrayFromPlugin;
    std::string* text = pluginNewString("a text long enough to need a block of its own");
    EXPECT_TRUE(recorder.Saw(Slot::New, text, sizeof(std::string)));
    EXPECT_GE(tarnrtl_GetSize(text->data()), text->size() + 1);
    delete text;
    recorder.Uninstall();
    EXPECT_TRUE(FreeLibrary(plugin));
}

TEST(ProcessAllocator, AlignedRequestsAreHonoured) {
#if defined(_WIN32)
    for (size_t alignment : {size_t(1), size_t(16), size_t(32), size_t(4096), size_t(1) << 20}) {
        void* block = _aligned_malloc(100, alignment);
        EXPECT_TRUE(IsAligned(block, alignment)) << alignment;
        EXPECT_EQ(UsableSize(block), 100u) << alignment;
        memset(block, 'a', 100);
        char* moved = static_cast<char*>(_aligned_realloc(block, 5000, alignment));
        ASSERT_TRUE(IsAligned(moved, alignment)) << alignment;
        EXPECT_EQ(std::count(moved, moved + 100, 'a'), 100) << alignment;
        _aligned_free(moved);
    }
    errno = 0;
    EXPECT_EQ(_aligned_malloc(100, 48), nullptr);
    EXPECT_EQ(errno, EINVAL);
#else
    for (size_t alignment :
         {sizeof(void*), size_t(16), size_t(32), size_t(4096), size_t(1) << 20}) {
        void* block = nullptr;
        ASSERT_EQ(posix_memalign(&block, alignment, 100), 0) << alignment;
        EXPECT_TRUE(IsAligned(block, alignment)) << alignment;
        EXPECT_EQ(UsableSize(block), 100u) << alignment;
        free(block);
    }

    size_t page = size_t(sysconf(_SC_PAGESIZE));
    struct {
        void* block;
        size_t alignment;
    } made[] = {{aligned_alloc(64, 100), 64},
                {memalign(Opaque(size_t(48)), 10), 64},  // to the next power of two
                {valloc(10), page},
                {pvalloc(1), page}};
    for (auto& m : made)
        EXPECT_TRUE(IsAligned(m.block, m.alignment)) << m.alignment;
    EXPECT_EQ(UsableSize(made[3].block), page);  // pvalloc takes whole pages
    for (auto& m : made)
        free(m.block);
#endif

    struct alignas(128) Wide {
        char bytes[200];
    };
    Wide* wide = Opaque(new Wide);
    Wide* wides = Opaque(new Wide[3]);
    EXPECT_TRUE(IsAligned(wide, 128) && IsAligned(wides, 128));
    EXPECT_EQ(tarnrtl_GetSize(wide), sizeof(Wide));
    delete wide;
    delete[] wides;
    EXPECT_TRUE(tarnrtl_CheckForBugs());
}

int gNewHandlerCalls = 0;

// Called through this the compiler does not know it, and lets a block be used after a call
// that it would otherwise take as its end.
void (*volatile gFree)(void*) = free;

TEST(ProcessAllocator, FailedNewAsksTheNewHandler) {
    const size_t huge = Opaque(kUnobtainable);
    EXPECT_THROW(Opaque(new char[huge]), std::bad_alloc);
    EXPECT_EQ(Opaque(new (std::nothrow) char[huge]), nullptr);
    gNewHandlerCalls = 0;
    std::set_new_handler([] {
        if (++gNewHandlerCalls == 2)
            std::set_new_handler(nullptr);
    });
    EXPECT_THROW(Opaque(new char[huge]), std::bad_alloc);
    EXPECT_EQ(gNewHandlerCalls, 2);
}

TEST(ProcessAllocator, CallocZeroFillsReusedMemory) {
    for (int round = 0; round < 50; ++round) {
        unsigned char* dirty = Opaque(static_cast<unsigned char*>(malloc(4000)));
        memset(dirty, 0xFF, 4000);
        free(dirty);
        unsigned char* clean = Opaque(static_cast<unsigned char*>(calloc(1000, 4)));
        ASSERT_NE(clean, nullptr);
        EXPECT_EQ(std::count(clean, clean + 4000, 0), 4000) << "round " << round;
        free(clean);
    }
}

// The C library's own allocator would abort on a second release; the runtime leaves it alone.
TEST(ProcessAllocator, SecondReleasesAreIgnored) {
    void* once = malloc(8);
    gFree(once);
    gFree(once);
    EXPECT_EQ(UsableSize(once), 0u);
    EXPECT_TRUE(tarnrtl_CheckForBugs());
}

#if defined(_WIN32)
// The system's C runtime makes blocks in a heap of its own, for instance inside a system module:
// the program's free, realloc and _msize give them back to it and leave the pools alone.
TEST(ProcessAllocator, TheSystemRuntimesBlocksGoBackToIt) {
    auto systemCopy = Entry<char* (*)(const char*)>(GetModuleHandleA("msvcrt.dll"), "_strdup");
    ASSERT_NE(systemCopy, nullptr);
    RecordingIface recorder;
    char* copy = systemCopy("made by the system");
    EXPECT_FALSE(recorder.Saw(Slot::Get, copy));
    EXPECT_EQ(UsableSize(copy), strlen("made by the system") + 1);
    copy = static_cast<char*>(realloc(copy, 10000));
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(std::string(copy), "made by the system");
    memset(copy, 's', 10000);
    free(copy);
    char* ours = Opaque(static_cast<char*>(malloc(10)));
    free(ours);
    recorder.Uninstall();
    EXPECT_FALSE(recorder.Saw(Slot::Free, copy));
    EXPECT_FALSE(recorder.Saw(Slot::Realloc, copy));
    EXPECT_TRUE(recorder.Saw(Slot::Free, ours));
    EXPECT_TRUE(tarnrtl_CheckForBugs());
}
#else
TEST(ProcessAllocator, ForeignReleasesAreIgnored) {
    char local[32] = {};
    free(Opaque(static_cast<void*>(local + 16)));
    EXPECT_TRUE(tarnrtl_CheckForBugs());
}
#endif

}  // namespace
}  // namespace tarn::test

#else

TEST(ProcessAllocator, NotThisBuild) {
    GTEST_SKIP() << "the runtime is the process's allocator only with TARN_ROUTE_MALLOC";
}

#endif
