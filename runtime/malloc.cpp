// The process's allocator: malloc and its kin and every global operator new and delete arrive
// here and go to the current memory interface (new -> New, new[] -> NewV, delete -> Delete,
// delete[] -> DeleteV). The system's own extras are in malloc_posix.cpp and malloc_win32.cpp.
#include "runtime/allocator.h"

#include <cstring>

using namespace tarn;

TARN_ALLOCATOR void* malloc(size_t size) {
    if (size > kLargestBlock)
        return NullWith(ENOMEM);
    void* block = CurrentMemIface()->Get(AtLeastOne(size));
    return block ? block : NullWith(ENOMEM);
}

TARN_ALLOCATOR void free(void* block) { Release(kMalloc, block); }

TARN_ALLOCATOR void* calloc(size_t count, size_t size) {
    size_t total;
    if (__builtin_mul_overflow(count, size, &total) || total > kLargestBlock)
        return NullWith(ENOMEM);
    void* block = CurrentMemIface()->Get(AtLeastOne(total));
    if (!block)
        return NullWith(ENOMEM);
    memset(block, 0, total);
    return block;
}

// A size of 0 releases the block and answers null, as the C libraries do; a failure leaves the
// block as it was.
TARN_ALLOCATOR void* realloc(void* block, size_t size) {
    if (size > kLargestBlock)
        return NullWith(ENOMEM);
    if (block && SystemBlock(block))
        return SystemRealloc(block, size);
    void* resized = CurrentMemIface()->Realloc(block, size);
    return resized || (block && size == 0) ? resized : NullWith(ENOMEM);
}

void* operator new(size_t size) { return NewOrThrow(kNew, 0, size); }
void* operator new[](size_t size) { return NewOrThrow(kNewV, 0, size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept { return NewOrNull(kNew, 0, size); }
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

void operator delete(void* block) noexcept { Release(kNew, block); }
void operator delete[](void* block) noexcept { Release(kNewV, block); }
void operator delete(void* block, size_t) noexcept { Release(kNew, block); }
void operator delete[](void* block, size_t) noexcept { Release(kNewV, block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { Release(kNew, block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { Release(kNewV, block); }
void operator delete(void* block, std::align_val_t) noexcept { Release(kNew, block); }
void operator delete[](void* block, std::align_val_t) noexcept { Release(kNewV, block); }
void operator delete(void* block, size_t, std::align_val_t) noexcept { Release(kNew, block); }
void operator delete[](void* block, size_t, std::align_val_t) noexcept { Release(kNewV, block); }
void operator delete(void* block, std::align_val_t, const std::nothrow_t&) noexcept {
    Release(kNew, block);
}
void operator delete[](void* block, std::align_val_t, const std::nothrow_t&) noexcept {
    Release(kNewV, block);
}
