// The system side of the raw heap on Linux: glibc's own allocator entries (the process's malloc
// is the runtime itself) and anonymous mappings for the block map.
#include "runtime/heap.h"

#include "platform/win32.h"

#include <dlfcn.h>
#include <malloc.h>
#include <sys/mman.h>

#include <atomic>

extern "C" {
void* __libc_malloc(size_t size);
void __libc_free(void* block);
}

namespace tarn {
namespace {

// glibc's malloc_usable_size: in the process that name is the runtime's own.
using UsableSizeFunction = size_t (*)(void*);
constinit std::atomic<UsableSizeFunction> gLibcUsableSize{nullptr};

// Looked up once at load rather than on first need: a lookup inside an allocation could run
// while the dynamic loader holds its lock. Before it is known, blocks only shrink in place.
__attribute__((constructor)) void FindLibcUsableSize() {
    if (void* libc = dlopen("libc.so.6", RTLD_NOLOAD | RTLD_LAZY))
        gLibcUsableSize.store(
            reinterpret_cast<UsableSizeFunction>(dlsym(libc, "malloc_usable_size")),
            std::memory_order_release);
}

// The allocators above take their arrays of 1 MB from here and give an emptied one back at once;
// a program whose blocks hover around a holder's worth takes and gives the same megabyte again and
// again. glibc would hand it to the system and back (mmap above 128 KB, and its heap's top trimmed
// at 128 KB), which costs a page fault for every page on each return: such blocks stay in its
// heap, and up to 64 MB at the top of the heap are kept for the next request.
__attribute__((constructor)) void KeepHeapMemory() {
    mallopt(M_MMAP_THRESHOLD, 4 << 20);
    mallopt(M_TRIM_THRESHOLD, 64 << 20);
}

}  // namespace

// glibc's MALLOC_ALIGNMENT, on x86-64 and on i386 alike.
const size_t kRawAlignment = 16;

void* RawAlloc(size_t size) { return __libc_malloc(size); }

void RawFree(void* raw) { __libc_free(raw); }

size_t RawUsableSize(void* raw) {
    UsableSizeFunction usableSize = gLibcUsableSize.load(std::memory_order_acquire);
    return usableSize ? usableSize(raw) : 0;
}

bool RawResizeInPlace(void* raw, size_t size) { return size <= RawUsableSize(raw); }

void* ReserveZeroed(size_t size) {
    void* memory = mmap(nullptr, size, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    return memory == MAP_FAILED ? nullptr : memory;
}

void ReleaseReserved(void* memory, size_t size) { munmap(memory, size); }

void SetHeapError(HeapError error) {
    SetLastError(error == HeapError::NotEnoughMemory ? ERROR_NOT_ENOUGH_MEMORY
                                                     : ERROR_INVALID_PARAMETER);
}

}  // namespace tarn
