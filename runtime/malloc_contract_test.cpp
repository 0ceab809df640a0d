// The C allocation functions against the C contract and the system's (POSIX, or the Windows C
// runtime's), every function at every size and power-of-two alignment: built into a program on the
// runtime's raw heap and into one on the library's pools, whose exception file must stay empty.
#include "runtime/testing_iface.h"

#include <gtest/gtest.h>

#if TARN_ROUTE_MALLOC

#include <malloc.h>
#if !defined(_WIN32)
#include <unistd.h>
#endif

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#if TARN_CONTRACT_ON_POOLS
#include "tarnkernl/log.h"
#endif

namespace tarn::test {
namespace {

enum class Kind { Size, Aligned, Posix, Page, WholePages };

struct Function {
    const char* name;
    Kind kind;
    void* (*call)(size_t alignment, size_t size);
    void (*release)(void* block) = free;
};

#if defined(_WIN32)

size_t UsableSize(void* block) { return _msize(block); }

size_t PageSize() { return 4096; }

const Function kFunctions[] = {
    {"malloc", Kind::Size, [](size_t, size_t n) { return malloc(Opaque(n)); }},
    {"calloc", Kind::Size, [](size_t, size_t n) { return calloc(1, Opaque(n)); }},
    {"realloc", Kind::Size, [](size_t, size_t n) { return realloc(nullptr, Opaque(n)); }},
    {"_aligned_malloc", Kind::Aligned,
     [](size_t a, size_t n) { return _aligned_malloc(n, Opaque(a)); }, _aligned_free},
};

// Called through these, the compiler does not take a failed call for the block's end.
void* (*volatile gResizeArray)(void*, size_t, size_t) = _recalloc;

#else

size_t UsableSize(void* block) { return malloc_usable_size(block); }

size_t PageSize() { return size_t(sysconf(_SC_PAGESIZE)); }

void* CallPosixMemalign(size_t alignment, size_t size) {
    void* block = reinterpret_cast<void*>(uintptr_t{0x5A5A0});
    const int error = posix_memalign(&block, alignment, size);
    if (error) {
        EXPECT_EQ(block, reinterpret_cast<void*>(uintptr_t{0x5A5A0})) << "left as it was";
        errno = error;
        return nullptr;
    }
    return block;
}

const Function kFunctions[] = {
    {"malloc", Kind::Size, [](size_t, size_t n) { return malloc(Opaque(n)); }},
    {"calloc", Kind::Size, [](size_t, size_t n) { return calloc(1, Opaque(n)); }},
    {"realloc", Kind::Size, [](size_t, size_t n) { return realloc(nullptr, Opaque(n)); }},
    {"memalign", Kind::Aligned, [](size_t a, size_t n) { return memalign(Opaque(a), n); }},
    {"aligned_alloc", Kind::Aligned,
     [](size_t a, size_t n) { return aligned_alloc(Opaque(a), n); }},
    {"posix_memalign", Kind::Posix, CallPosixMemalign},
    {"valloc", Kind::Page, [](size_t, size_t n) { return valloc(Opaque(n)); }},
    {"pvalloc", Kind::WholePages, [](size_t, size_t n) { return pvalloc(Opaque(n)); }},
};

void* (*volatile gResizeArray)(void*, size_t, size_t) = reallocarray;

#endif

// Sizes every process can have, and sizes next to the largest object and the largest size.
const size_t kSizes[] = {0, 1, 16, 4096, 32716, size_t(1) << 20};
const size_t kHugeSizes[] = {size_t(PTRDIFF_MAX) - 15, size_t(PTRDIFF_MAX) + 1, SIZE_MAX - 15};

// The largest alignment a block is given here (the raw heap's limit).
constexpr size_t kLargestAlignment = size_t(1) << (sizeof(void*) == 8 ? 31 : 28);

size_t ExceptionFileSize() {
#if TARN_CONTRACT_ON_POOLS
    std::string name = GetProcess().excName.p;
    std::replace(name.begin(), name.end(), '\\', '/');
    std::error_code error;
    const auto size = std::filesystem::file_size(name, error);
    return error ? 0 : size_t(size);
#else
    return 0;
#endif
}

TEST(AllocationContract, EveryFunctionAtEverySizeAndAlignment) {
    const size_t page = PageSize();
    const size_t reportBefore = ExceptionFileSize();
    size_t recordsOfPossibleRequests = 0;
    for (const Function& function : kFunctions) {
        const bool aligns = function.kind == Kind::Aligned || function.kind == Kind::Posix;
        for (unsigned shift = 0; shift < (aligns ? CHAR_BIT * sizeof(size_t) : 1); ++shift) {
            const size_t alignment = size_t(1) << shift;
            const bool invalid = function.kind == Kind::Posix && alignment < sizeof(void*);
            const bool tooAligned = aligns && alignment > kLargestAlignment;
            for (size_t size : kSizes) {
                SCOPED_TRACE(std::string(function.name) + " alignment " +
                             std::to_string(alignment) + " size " + std::to_string(size));
                errno = 0;
                void* block = function.call(alignment, size);
                if (invalid || tooAligned) {
                    EXPECT_EQ(block, nullptr);
                    EXPECT_EQ(errno, invalid ? EINVAL : ENOMEM);
                    continue;
                }
                ASSERT_NE(block, nullptr);
                const size_t wanted =
                    function.kind == Kind::Page || function.kind == Kind::WholePages
                        ? page
                        : std::max<size_t>(alignment, 1);
                EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % wanted, 0u);
                const size_t pages = (std::max<size_t>(size, 1) + page - 1) / page * page;
                EXPECT_GE(UsableSize(block), function.kind == Kind::WholePages ? pages : size);
                function.release(block);
            }
            for (size_t size : kHugeSizes) {
                SCOPED_TRACE(std::string(function.name) + " alignment " +
                             std::to_string(alignment) + " huge size " + std::to_string(size));
                // Only a 32-bit process may get an object of PTRDIFF_MAX - 15 bytes; the other
                // requests are refused without a record.
                const bool possible = sizeof(void*) == 4 && size <= size_t(PTRDIFF_MAX);
                const size_t recorded = ExceptionFileSize();
                errno = 0;
                void* block = function.call(alignment, size);
                const int error = errno;  // reading the file may set it
                if (possible)
                    recordsOfPossibleRequests += ExceptionFileSize() - recorded;
                else
                    EXPECT_EQ(ExceptionFileSize(), recorded) << "a record of the refusal";
                if (block) {
                    EXPECT_TRUE(possible);
                    function.release(block);
                    continue;
                }
                EXPECT_EQ(error, invalid ? EINVAL : ENOMEM);
            }
        }
    }
    EXPECT_EQ(ExceptionFileSize() - reportBefore, recordsOfPossibleRequests)
        << "a block was refused or a record written";
    EXPECT_TRUE(tarnrtl_CheckForBugs());
}

void* (*volatile gResize)(void*, size_t) = realloc;

TEST(AllocationContract, ResizingKeepsTheBlockWhenItFails) {
    char* block = static_cast<char*>(malloc(64));
    memset(block, 'k', 64);
    for (size_t huge : kHugeSizes) {
        errno = 0;
        EXPECT_EQ(gResize(block, huge), nullptr);
        EXPECT_EQ(errno, ENOMEM);
        errno = 0;
        EXPECT_EQ(gResizeArray(block, huge, 2), nullptr);
        EXPECT_EQ(errno, ENOMEM);
    }
    EXPECT_EQ(std::string(block, 64), std::string(64, 'k'));
    EXPECT_EQ(gResize(block, 0), nullptr) << "a size of 0 releases the block";
    errno = 0;
    EXPECT_EQ(calloc(Opaque(SIZE_MAX / 2), 3), nullptr);
    EXPECT_EQ(errno, ENOMEM);
}

}  // namespace
}  // namespace tarn::test

#endif
