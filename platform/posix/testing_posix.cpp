// The guarded pages of the test seams on POSIX.
#include "platform/testing.h"

#include <sys/mman.h>

namespace tarn {

GuardedPagesForTesting::GuardedPagesForTesting(size_t readablePages)
    : readablePages_(readablePages) {
    const size_t size = (readablePages + 2) * kPageSize;
    void* base = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    base_ = base == MAP_FAILED ? nullptr : static_cast<char*>(base);
    if (base_)
        mprotect(Guard(), kPageSize, PROT_NONE);
}

GuardedPagesForTesting::~GuardedPagesForTesting() {
    if (base_)
        munmap(base_, (readablePages_ + 2) * kPageSize);
}

}  // namespace tarn
