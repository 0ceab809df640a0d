// The vectors' operations on raw bytes, shared by every element type: growth by half as much
// again, zeroing of slots raised over, removal by moving the tail down.
#include "tarnkernl/text.h"

namespace tarn {

void VectorBase::Clear() {
    ::operator delete(data);
    data = nullptr;
    count = 0;
    capacity = 0;
}

bool VectorBase::SetCount(uint32_t n, uint32_t size) {
    if (capacity == Destroyed)
        return false;
    uint64_t needed = uint64_t{n} * size;
    if (needed > capacity) {
        // A capacity that would not fit its 32-bit field is refused like a failed realloc.
        uint64_t grown = needed + needed / 2;
        if (grown >= Destroyed)
            return false;
        void* block = realloc(data, static_cast<size_t>(grown));
        if (!block)
            return false;
        data = block;
        capacity = static_cast<uint32_t>(grown);
    }
    if (data && n > count)
        memset(static_cast<char*>(data) + count * size, 0, (n - count) * size);
    count = n;
    return true;
}

bool VectorBase::RemoveAt(uint32_t index, uint32_t size) {
    if (index >= count)
        return false;
    char* slot = static_cast<char*>(data) + index * size;
    char* last = static_cast<char*>(data) + (count - 1) * size;
    memmove(slot, slot + size, last - slot);
    memset(last, 0, size);
    return SetCount(count - 1, size);
}

}  // namespace tarn
