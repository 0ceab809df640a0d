// The POSIX extras of the process's allocator: the aligned entries and the usable size.
#include "runtime/allocator.h"

#include <unistd.h>

#include <bit>

// The entry of malloc.cpp, as the C library declares it.
extern "C" void* realloc(void* block, size_t size) noexcept;

namespace tarn {
namespace {

// memalign takes the next power of two, as glibc does; an alignment with none is EINVAL.
void* MemAlign(size_t alignment, size_t size) {
    if (alignment > SIZE_MAX / 2 + 1)
        return NullWith(EINVAL);
    return AlignedOrNull(std::bit_ceil(alignment), size);
}

size_t PageSize() { return size_t(sysconf(_SC_PAGESIZE)); }

}  // namespace
}  // namespace tarn

using namespace tarn;

TARN_ALLOCATOR void* reallocarray(void* block, size_t count, size_t size) {
    size_t total;
    if (__builtin_mul_overflow(count, size, &total))
        return NullWith(ENOMEM);
    return realloc(block, total);
}

TARN_ALLOCATOR void* memalign(size_t alignment, size_t size) { return MemAlign(alignment, size); }

// The result is the error; errno stays as it was.
TARN_ALLOCATOR int posix_memalign(void** out, size_t alignment, size_t size) {
    if (alignment % sizeof(void*) != 0 || !std::has_single_bit(alignment))
        return EINVAL;
    const int saved = errno;
    void* block = AlignedOrNull(alignment, size);
    errno = saved;
    if (!block)
        return ENOMEM;
    *out = block;
    return 0;
}

// Only powers of two are alignments here (glibc accepts others from 2.38 on no more either).
TARN_ALLOCATOR void* aligned_alloc(size_t alignment, size_t size) {
    if (!std::has_single_bit(alignment))
        return NullWith(EINVAL);
    return AlignedOrNull(alignment, size);
}

TARN_ALLOCATOR void* valloc(size_t size) { return MemAlign(PageSize(), size); }

TARN_ALLOCATOR void* pvalloc(size_t size) {
    size_t page = PageSize();
    size_t rounded;
    if (__builtin_add_overflow(size, page - 1, &rounded))
        return NullWith(ENOMEM);
    return MemAlign(page, size ? rounded & ~(page - 1) : page);
}

TARN_ALLOCATOR size_t malloc_usable_size(void* block) { return UsableSize(block); }
