// Inside the runtime: what the portable heap (heap.cpp) needs from the system's allocator, and
// what the process allocator and the memory interface take from the heap.
#pragma once

#include "tarnkernl/api.h"

#include <cstddef>

class ICppMemIface;

namespace tarn {

// Alignment of every user pointer of the runtime, and the size of a block's header.
constexpr size_t kBlockAlignment = 16;

// --- The system side: rawheap_posix.cpp / rawheap_win32.cpp ---

// The alignment the system's allocator guarantees.
extern const size_t kRawAlignment;

// The system's allocator. RawAlloc answers null on failure; none of them calls the current
// memory interface.
void* RawAlloc(size_t size);
void RawFree(void* raw);
// True when `raw` now holds at least `size` usable bytes without having moved.
bool RawResizeInPlace(void* raw, size_t size);
// Usable bytes of `raw`, or 0 when the system cannot tell.
size_t RawUsableSize(void* raw);

// Zero-filled read-write memory straight from the system, page-aligned; null on failure.
void* ReserveZeroed(size_t size);
void ReleaseReserved(void* memory, size_t size);

// Sets the thread's last error (ERROR_NOT_ENOUGH_MEMORY, ERROR_INVALID_PARAMETER).
enum class HeapError { NotEnoughMemory, InvalidParameter };
void SetHeapError(HeapError error);

// --- The heap side: heap.cpp ---

// A runtime block of `size` bytes whose address is a multiple of `alignment` (a power of two of
// at least kBlockAlignment). It is released with tarnrtl_Free like any other. Null on failure.
// Exported: on Windows the process allocator's entries live in every module.
TARNRT_API void* GetAligned(size_t alignment, size_t size);

// The largest alignment GetAligned accepts.
constexpr size_t kMaxAlignment = size_t(1) << (sizeof(void*) == 8 ? 31 : 28);

// --- The memory interface: memiface.cpp ---

// The current interface (never null), without the exported entry's indirection.
ICppMemIface* CurrentMemIface();

}  // namespace tarn
