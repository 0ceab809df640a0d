// The runtime's interface: the memory interface that one allocator object at a time stands
// behind, the raw heap functions, and the per-thread fault translator.
#pragma once

#include "tarnkernl/api.h"

// The allocator interface. The slot order is part of the runtime's binary interface: do not
// reorder, and add no virtual destructor (it would take slots).
class ICppMemIface {
public:
    virtual void* Get(size_t size) = 0;                   // labelled "malloc()"
    virtual bool Free(void* block) = 0;                   // null is accepted (true)
    virtual void* Realloc(void* block, size_t size) = 0;  // null acts as Get, size 0 as Free
    virtual void* Expand(void* block, size_t size) = 0;   // in place, or null
    virtual bool FreeAll() = 0;                           // false where unsupported
    virtual size_t GetSize(const void* block) = 0;        // 0 for a pointer it does not know
    virtual bool CheckForBugs() = 0;                      // false when corruption was found
    virtual void Release() = 0;                           // destroy; Release the replaced one
    virtual void* New(size_t size) = 0;                   // labelled "new()"
    virtual bool Delete(void* block) = 0;
    virtual void* NewV(size_t size) = 0;  // labelled "new[]"
    virtual bool DeleteV(void* block) = 0;

protected:
    constexpr ICppMemIface() = default;
    ~ICppMemIface() = default;
};

// Called on the faulting thread with the exception code and the fault's record and context.
// A translator ends by throwing; if it returns, the fault takes its default course.
typedef void (*tarnrtl_Translator)(unsigned int code, _EXCEPTION_POINTERS* info);

extern "C" {
TARNRT_API ICppMemIface* tarnrtl_GetMemIface();
TARNRT_API ICppMemIface* tarnrtl_SetMemIface(ICppMemIface* iface);  // returns the one replaced

// The raw heap. These never call the current interface, so an allocator may take its own
// memory here. tarnrtl_GetSize answers 0, without touching it, for any pointer that is not a
// block of the runtime.
TARNRT_API void* tarnrtl_Get(size_t size);
TARNRT_API bool tarnrtl_Free(void* block);
TARNRT_API size_t tarnrtl_GetSize(const void* block);
TARNRT_API void* tarnrtl_Realloc(void* block, size_t size);
TARNRT_API void* tarnrtl_Expand(void* block, size_t size);
TARNRT_API bool tarnrtl_CheckForBugs();
// -2 when the heap is consistent. On Windows the C runtime's <malloc.h> declares the same name
// for importing; inside the runtime, which exports it, only the definition may be seen.
#if !(defined(_WIN32) && defined(TARN_BUILDING_RUNTIME))
TARNRT_API int _heapchk();
#endif

// The fault translator of the calling thread; returns the previous one. The first translator
// set in a process also serves every thread that has not set its own.
TARNRT_API tarnrtl_Translator tarnrtl_SetTranslator(tarnrtl_Translator translator);
TARNRT_API tarnrtl_Translator tarnrtl_GetTranslator();
}

namespace tarn {
// Set with tarnrtl_SetMemIface: the runtime's own interface, which passes every slot straight to
// the raw heap. It is the bottom of every chain and current until an allocator is set.
inline constexpr ICppMemIface* kRawHeapIface = nullptr;
}  // namespace tarn
