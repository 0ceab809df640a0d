// The process allocator's entries (malloc.cpp and the system's own extras) on the current memory
// interface: what each family of entries asks, how a failed request ends, and where a block
// that the system's C runtime made goes back.
#pragma once

#include "runtime/heap.h"

#include "tarnkernl/tarnrt.h"

#include <cerrno>
#include <cstdint>
#include <new>

// The entries keep their C names; on POSIX the runtime exports them for the whole process, on
// Windows each module carries them in its own code.
#if defined(_WIN32)
#define TARN_ALLOCATOR extern "C"
#else
#define TARN_ALLOCATOR extern "C" __attribute__((visibility("default")))
#endif

namespace tarn {

#if defined(_WIN32)
// On Windows the system's C runtime keeps a heap of its own, and a program may be handed one of
// its blocks (a path it made, a copy of a text). Such a block is never memory of the runtime,
// whose heap shares no address space with it, and goes back to the system. The runtime answers
// for every module (rawheap_win32.cpp).
TARNRT_API bool SystemBlock(const void* block);
TARNRT_API void SystemFree(void* block);
TARNRT_API void* SystemRealloc(void* block, size_t size);
TARNRT_API size_t SystemSize(void* block);
TARNRT_API void SystemAlignedFree(void* block);
#else
// On POSIX the runtime is the C library's allocator too: every block is its own.
constexpr bool SystemBlock(const void*) { return false; }
inline void SystemFree(void*) {}
inline void* SystemRealloc(void*, size_t) { return nullptr; }
inline size_t SystemSize(void*) { return 0; }
#endif

using Obtain = void* (ICppMemIface::*)(size_t);
using Give = bool (ICppMemIface::*)(void*);

// What one family of entries (malloc, new, new[]) asks and gives back.
struct Family {
    Obtain obtain;
    Give give;
};
constexpr Family kMalloc{&ICppMemIface::Get, &ICppMemIface::Free};
constexpr Family kNew{&ICppMemIface::New, &ICppMemIface::Delete};
constexpr Family kNewV{&ICppMemIface::NewV, &ICppMemIface::DeleteV};

// The allocators answer null to a request of 0 bytes; the C and C++ runtimes promise a block
// of its own to every request, so 0 bytes are asked for as 1.
inline size_t AtLeastOne(size_t size) { return size ? size : 1; }

// No allocator of the process can give a block beyond the largest object size (which the C
// library refuses itself) or, on 64-bit targets, beyond what a process can map (2^56 bytes with
// five-level page tables): such a request fails at once, before the memory interface is asked,
// which would record the failure.
constexpr size_t kLargestBlock = sizeof(void*) == 8 ? size_t(1) << 56 : size_t(PTRDIFF_MAX);

inline bool Impossible(size_t alignment, size_t size) {
    return alignment > kMaxAlignment || size > kLargestBlock - alignment;
}

inline void* NullWith(int error) {
    errno = error;
    return nullptr;
}

// Up to 16 bytes the interface is asked, and its block kept when it is aligned enough; larger
// alignments go to the raw heap directly. Either block is released through the interface,
// which passes a pointer it did not make down to the runtime.
inline void* Aligned(const Family& family, size_t alignment, size_t size) {
    if (alignment <= kBlockAlignment) {
        ICppMemIface* iface = CurrentMemIface();
        void* block = (iface->*family.obtain)(size);
        if (!block || reinterpret_cast<uintptr_t>(block) % alignment == 0)
            return block;
        (iface->*family.give)(block);
    }
    return GetAligned(alignment, size);
}

// operator new: ask, then let the new-handler make room, until it gives up by throwing.
inline void* NewOrThrow(const Family& family, size_t alignment, size_t size) {
    size = AtLeastOne(size);
    for (;;) {
        void* block = alignment ? Aligned(family, alignment, size)
                                : (CurrentMemIface()->*family.obtain)(size);
        if (block)
            return block;
        std::new_handler handler = std::get_new_handler();
        if (!handler)
            throw std::bad_alloc();
        handler();
    }
}

inline void* NewOrNull(const Family& family, size_t alignment, size_t size) noexcept {
    try {
        return NewOrThrow(family, alignment, size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

inline void Release(const Family& family, void* block) noexcept {
    if (!block)
        return;
    if (SystemBlock(block))
        SystemFree(block);
    else
        (CurrentMemIface()->*family.give)(block);
}

// A power-of-two alignment: the block, or null with ENOMEM.
inline void* AlignedOrNull(size_t alignment, size_t size) {
    if (Impossible(alignment, size))
        return NullWith(ENOMEM);
    void* block = Aligned(kMalloc, alignment, AtLeastOne(size));
    return block ? block : NullWith(ENOMEM);
}

// Usable bytes of a block of the process, 0 for null.
inline size_t UsableSize(void* block) {
    if (!block)
        return 0;
    return SystemBlock(block) ? SystemSize(block) : CurrentMemIface()->GetSize(block);
}

}  // namespace tarn
