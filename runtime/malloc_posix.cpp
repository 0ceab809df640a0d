// The process's allocator on Linux: malloc and its kin and every global operator new and delete
// of the process arrive here and go to the current memory interface.
#include "runtime/heap.h"

#include "tarnkernl/tarnrt.h"

#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>

#define TARN_ALLOCATOR extern "C" __attribute__((visibility("default")))

namespace tarn {
namespace {

using Obtain = void* (ICppMemIface::*)(size_t);
using Give = bool (ICppMemIface::*)(void*);

// What an aligned request of one family of entries (malloc, new, new[]) uses.
struct Family {
    Obtain obtain;
    Give give;
};
constexpr Family kMalloc{&ICppMemIface::Get, &ICppMemIface::Free};
constexpr Family kNew{&ICppMemIface::New, &ICppMemIface::Delete};
constexpr Family kNewV{&ICppMemIface::NewV, &ICppMemIface::DeleteV};

// Up to 16 bytes the interface is asked, and its block kept when it is aligned enough; larger
// alignments go to the raw heap directly. Either block is released through the interface,
// which passes a pointer it did not make down to the runtime.
void* Aligned(const Family& family, size_t alignment, size_t size) {
    if (alignment <= kBlockAlignment) {
        ICppMemIface* iface = CurrentMemIface();
        void* block = (iface->*family.obtain)(size);
        if (!block || reinterpret_cast<uintptr_t>(block) % alignment == 0) return block;
        (iface->*family.give)(block);
    }
    return GetAligned(alignment, size);
}

// operator new: ask, then let the new-handler make room, until it gives up by throwing.
// The allocators answer null to a request of 0 bytes; the C and C++ runtimes promise a block
// of its own to every request, so 0 bytes are asked for as 1.
inline size_t AtLeastOne(size_t size) {
    return size ? size : 1;
}

void* NewOrThrow(const Family& family, size_t alignment, size_t size) {
    size = AtLeastOne(size);
    for (;;) {
        void* block = alignment ? Aligned(family, alignment, size)
                                : (CurrentMemIface()->*family.obtain)(size);
        if (block) return block;
        std::new_handler handler = std::get_new_handler();
        if (!handler) throw std::bad_alloc();
        handler();
    }
}

void* NewOrNull(const Family& family, size_t alignment, size_t size) noexcept {
    try {
        return NewOrThrow(family, alignment, size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

void Release(const Family& family, void* block) noexcept {
    if (block) (CurrentMemIface()->*family.give)(block);
}

// No allocator of the process can give a block beyond the largest object size (which the C
// library refuses itself) or, on 64-bit targets, beyond what a process can map (2^56 bytes with
// five-level page tables): such a request fails at once, before the memory interface is asked,
// which would record the failure.
constexpr size_t kLargestBlock = sizeof(void*) == 8 ? size_t(1) << 56 : size_t(PTRDIFF_MAX);

bool Impossible(size_t alignment, size_t size) {
    return alignment > kMaxAlignment || size > kLargestBlock - alignment;
}

void* NullWith(int error) {
    errno = error;
    return nullptr;
}

// A power-of-two alignment: the block, or null with ENOMEM.
void* AlignedOrNull(size_t alignment, size_t size) {
    if (Impossible(alignment, size)) return NullWith(ENOMEM);
    void* block = Aligned(kMalloc, alignment, AtLeastOne(size));
    return block ? block : NullWith(ENOMEM);
}

// memalign takes the next power of two, as glibc does; an alignment with none is EINVAL.
void* MemAlign(size_t alignment, size_t size) {
    if (alignment > SIZE_MAX / 2 + 1) return NullWith(EINVAL);
    return AlignedOrNull(std::bit_ceil(alignment), size);
}

size_t PageSize() {
    return size_t(sysconf(_SC_PAGESIZE));
}

}  // namespace
}  // namespace tarn

using namespace tarn;

TARN_ALLOCATOR void* malloc(size_t size) {
    if (size > kLargestBlock) return NullWith(ENOMEM);
    void* block = CurrentMemIface()->Get(AtLeastOne(size));
    return block ? block : NullWith(ENOMEM);
}

TARN_ALLOCATOR void free(void* block) {
    Release(kMalloc, block);
}

TARN_ALLOCATOR void* calloc(size_t count, size_t size) {
    size_t total;
    if (__builtin_mul_overflow(count, size, &total) || total > kLargestBlock)
        return NullWith(ENOMEM);
    void* block = CurrentMemIface()->Get(AtLeastOne(total));
    if (!block) return NullWith(ENOMEM);
    memset(block, 0, total);
    return block;
}

// A size of 0 releases the block and answers null, as glibc's does; a failure leaves the block
// as it was.
TARN_ALLOCATOR void* realloc(void* block, size_t size) {
    if (size > kLargestBlock) return NullWith(ENOMEM);
    void* resized = CurrentMemIface()->Realloc(block, size);
    return resized || (block && size == 0) ? resized : NullWith(ENOMEM);
}

TARN_ALLOCATOR void* reallocarray(void* block, size_t count, size_t size) {
    size_t total;
    if (__builtin_mul_overflow(count, size, &total)) return NullWith(ENOMEM);
    return realloc(block, total);
}

TARN_ALLOCATOR void* memalign(size_t alignment, size_t size) {
    return MemAlign(alignment, size);
}

// The result is the error; errno stays as it was.
TARN_ALLOCATOR int posix_memalign(void** out, size_t alignment, size_t size) {
    if (alignment % sizeof(void*) != 0 || !std::has_single_bit(alignment)) return EINVAL;
    const int saved = errno;
    void* block = AlignedOrNull(alignment, size);
    errno = saved;
    if (!block) return ENOMEM;
    *out = block;
    return 0;
}

// Only powers of two are alignments here (glibc accepts others from 2.38 on no more either).
TARN_ALLOCATOR void* aligned_alloc(size_t alignment, size_t size) {
    if (!std::has_single_bit(alignment)) return NullWith(EINVAL);
    return AlignedOrNull(alignment, size);
}

TARN_ALLOCATOR void* valloc(size_t size) {
    return MemAlign(PageSize(), size);
}

TARN_ALLOCATOR void* pvalloc(size_t size) {
    size_t page = PageSize();
    size_t rounded;
    if (__builtin_add_overflow(size, page - 1, &rounded)) return NullWith(ENOMEM);
    return MemAlign(page, size ? rounded & ~(page - 1) : page);
}

TARN_ALLOCATOR size_t malloc_usable_size(void* block) {
    return block ? CurrentMemIface()->GetSize(block) : 0;
}

// --- operator new and delete: new -> New, new[] -> NewV, delete -> Delete, delete[] -> DeleteV.

void* operator new(size_t size) {
    return NewOrThrow(kNew, 0, size);
}
void* operator new[](size_t size) {
    return NewOrThrow(kNewV, 0, size);
}
void* operator new(size_t size, const std::nothrow_t&) noexcept {
    return NewOrNull(kNew, 0, size);
}
void* operator new[](size_t size, const std::nothrow_t&) noexcept {
    return NewOrNull(kNewV, 0, size);
}
void* operator new(size_t size, std::align_val_t alignment) {
    return NewOrThrow(kNew, size_t(alignment), size);
}
void* operator new[](size_t size, std::align_val_t alignment) {
    return NewOrThrow(kNewV, size_t(alignment), size);
}
void* operator new(size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
    return NewOrNull(kNew, size_t(alignment), size);
}
void* operator new[](size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
    return NewOrNull(kNewV, size_t(alignment), size);
}

void operator delete(void* block) noexcept {
    Release(kNew, block);
}
void operator delete[](void* block) noexcept {
    Release(kNewV, block);
}
void operator delete(void* block, size_t) noexcept {
    Release(kNew, block);
}
void operator delete[](void* block, size_t) noexcept {
    Release(kNewV, block);
}
void operator delete(void* block, const std::nothrow_t&) noexcept {
    Release(kNew, block);
}
void operator delete[](void* block, const std::nothrow_t&) noexcept {
    Release(kNewV, block);
}
void operator delete(void* block, std::align_val_t) noexcept {
    Release(kNew, block);
}
void operator delete[](void* block, std::align_val_t) noexcept {
    Release(kNewV, block);
}
void operator delete(void* block, size_t, std::align_val_t) noexcept {
    Release(kNew, block);
}
void operator delete[](void* block, size_t, std::align_val_t) noexcept {
    Release(kNewV, block);
}
void operator delete(void* block, std::align_val_t, const std::nothrow_t&) noexcept {
    Release(kNew, block);
}
void operator delete[](void* block, std::align_val_t, const std::nothrow_t&) noexcept {
    Release(kNewV, block);
}
