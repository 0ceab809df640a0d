// The process's allocator on Windows. Every module of the family (the library, plug-ins,
// programs) links these entries into its own code, ahead of the system's C runtime, so that
// its malloc and operator new, and those of the C and C++ libraries linked into it, reach the
// runtime's memory interface; a block that the system's C runtime made goes back to it. The
// C runtime's headers declare some of these names for importing: the module's import slots
// for them are defined here too and point at these entries.
#include "runtime/allocator.h"

#include <bit>
#include <initializer_list>

// The entries of malloc.cpp. The C runtime's headers stay out: they declare several names of
// this file for importing.
extern "C" void* malloc(size_t size);
extern "C" void* realloc(void* block, size_t size);

namespace {

// Answers no request. It stands in for one request of the module while it starts (below).
class Refusing final : public ICppMemIface {
public:
    constexpr Refusing() = default;
    void* Get(size_t) override { return nullptr; }
    bool Free(void*) override { return false; }
    void* Realloc(void*, size_t) override { return nullptr; }
    void* Expand(void*, size_t) override { return nullptr; }
    bool FreeAll() override { return false; }
    size_t GetSize(const void*) override { return 0; }
    bool CheckForBugs() override { return true; }
    void Release() override {}
    void* New(size_t) override { return nullptr; }
    bool Delete(void*) override { return false; }
    void* NewV(size_t) override { return nullptr; }
    bool DeleteV(void*) override { return false; }
};

constinit Refusing gRefusing;
// Set while the module starts: its next request for memory is refused. Only the loading thread
// runs the module's code then.
bool gRefuseNext = false;

}  // namespace

ICppMemIface* tarn::CurrentMemIface() {
    if (__builtin_expect(gRefuseNext, false)) {
        gRefuseNext = false;
        return &gRefusing;
    }
    return tarnrtl_GetMemIface();
}

namespace __gnu_cxx {
void __freeres() noexcept;
}

namespace {

// The C++ library linked into the module keeps a reserve for the exceptions thrown when memory
// runs out, made when the module loads: it goes with the module, so that a plug-in loaded late
// leaves no block behind.
[[gnu::destructor]] void ReleaseExceptionReserve() { __gnu_cxx::__freeres(); }

// The C++ and threads runtimes linked into the module make structures that last as long as the
// process on their first use: the lock and the condition behind local statics, the thread-slot
// key and the main thread's slots behind exceptions. They are made while the module starts,
// so that the memory report counts them with the start-up blocks.
volatile int gFirstUse = 1;

// The exception reserve locks itself with a lock that the threads library makes from the heap on
// its first use: taken first when memory has run out, the lock cannot be made, and the error it
// throws needs the reserve again, until the stack ends. A second exception, whose own block is
// refused, takes the reserve now, while the lock can be made.
[[gnu::constructor]] void MakeRuntimeStructures() {
    static const int made = gFirstUse;
    for (bool fromReserve : {false, true}) {
        gRefuseNext = fromReserve;
        try {
            throw made;
        } catch (int) {
        }
    }
}

template <class Char>
Char* Duplicate(const Char* text) {
    if (!text)
        return nullptr;
    size_t length = 0;
    while (text[length])
        ++length;
    const size_t bytes = (length + 1) * sizeof(Char);
    void* copy = malloc(bytes);
    return copy ? static_cast<Char*>(__builtin_memcpy(copy, text, bytes)) : nullptr;
}

}  // namespace

using namespace tarn;

TARN_ALLOCATOR size_t _msize(void* block) { return UsableSize(block); }

// In place or not at all; a block of the system's stays as it is.
TARN_ALLOCATOR void* _expand(void* block, size_t size) {
    if (!block || SystemBlock(block) || size > kLargestBlock)
        return NullWith(ENOMEM);
    return CurrentMemIface()->Expand(block, AtLeastOne(size));
}

// realloc that zero-fills what the block gains.
TARN_ALLOCATOR void* _recalloc(void* block, size_t count, size_t size) {
    size_t total;
    if (__builtin_mul_overflow(count, size, &total))
        return NullWith(ENOMEM);
    const size_t before = UsableSize(block);
    char* resized = static_cast<char*>(realloc(block, total));
    if (resized && total > before)
        __builtin_memset(resized + before, 0, total - before);
    return resized;
}

TARN_ALLOCATOR char* _strdup(const char* text) { return Duplicate(text); }

TARN_ALLOCATOR char* strdup(const char* text) { return Duplicate(text); }

TARN_ALLOCATOR wchar_t* _wcsdup(const wchar_t* text) { return Duplicate(text); }

TARN_ALLOCATOR wchar_t* wcsdup(const wchar_t* text) { return Duplicate(text); }

// Blocks of any power-of-two alignment, released with _aligned_free.
TARN_ALLOCATOR void* _aligned_malloc(size_t size, size_t alignment) {
    if (!std::has_single_bit(alignment))
        return NullWith(EINVAL);
    return AlignedOrNull(alignment < sizeof(void*) ? sizeof(void*) : alignment, size);
}

TARN_ALLOCATOR void _aligned_free(void* block) {
    if (!block)
        return;
    if (SystemBlock(block))
        SystemAlignedFree(block);
    else
        CurrentMemIface()->Free(block);
}

// A new block takes the data; the old one stays as it was when none can be had.
TARN_ALLOCATOR void* _aligned_realloc(void* block, size_t size, size_t alignment) {
    if (!block)
        return _aligned_malloc(size, alignment);
    if (size == 0) {
        _aligned_free(block);
        return nullptr;
    }
    if (SystemBlock(block))
        return NullWith(EINVAL);
    void* moved = _aligned_malloc(size, alignment);
    if (!moved)
        return nullptr;
    const size_t before = UsableSize(block);
    __builtin_memcpy(moved, block, before < size ? before : size);
    _aligned_free(block);
    return moved;
}

TARN_ALLOCATOR void* _aligned_recalloc(void* block, size_t count, size_t size, size_t alignment) {
    size_t total;
    if (__builtin_mul_overflow(count, size, &total))
        return NullWith(ENOMEM);
    const size_t before = UsableSize(block);
    char* moved = static_cast<char*>(_aligned_realloc(block, total, alignment));
    if (moved && total > before)
        __builtin_memset(moved + before, 0, total - before);
    return moved;
}

#define TARN_QUOTE(text) #text
#define TARN_QUOTE_EXPANDED(text) TARN_QUOTE(text)
#define TARN_IMPORT_SLOT(name)                                                \
    extern "C" [[gnu::used]] decltype(&name) const tarnImportSlot_##name asm( \
        "__imp_" TARN_QUOTE_EXPANDED(__USER_LABEL_PREFIX__) #name) = &name;

TARN_IMPORT_SLOT(_msize)
TARN_IMPORT_SLOT(_expand)
TARN_IMPORT_SLOT(_recalloc)
TARN_IMPORT_SLOT(_strdup)
TARN_IMPORT_SLOT(_wcsdup)
TARN_IMPORT_SLOT(_aligned_malloc)
TARN_IMPORT_SLOT(_aligned_free)
TARN_IMPORT_SLOT(_aligned_realloc)
TARN_IMPORT_SLOT(_aligned_recalloc)
