// The system side of the raw heap on Windows: the process heap, and virtual memory for the
// block map.
#include "runtime/heap.h"

#include <windows.h>

namespace tarn {

// 16 bytes on x86-64, 8 on x86.
const size_t kRawAlignment = MEMORY_ALLOCATION_ALIGNMENT;

void* RawAlloc(size_t size) {
    return HeapAlloc(GetProcessHeap(), 0, size);
}

void RawFree(void* raw) {
    HeapFree(GetProcessHeap(), 0, raw);
}

size_t RawUsableSize(void* raw) {
    SIZE_T size = HeapSize(GetProcessHeap(), 0, raw);
    return size == SIZE_T(-1) ? 0 : size;
}

// The heap grows a block into free memory behind it, and gives back the tail when it shrinks.
bool RawResizeInPlace(void* raw, size_t size) {
    return HeapReAlloc(GetProcessHeap(), HEAP_REALLOC_IN_PLACE_ONLY, raw, size) != nullptr;
}

void* ReserveZeroed(size_t size) {
    return VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void ReleaseReserved(void* memory, size_t) {
    VirtualFree(memory, 0, MEM_RELEASE);
}

void SetHeapError(HeapError error) {
    SetLastError(error == HeapError::NotEnoughMemory ? ERROR_NOT_ENOUGH_MEMORY
                                                      : ERROR_INVALID_PARAMETER);
}

}  // namespace tarn
