// The plain allocator and its installation: each operation passes to the runtime's raw heap
// under the memory lock and times the runtime's call; the named allocator that says in the log
// when it goes.
#include "tarnkernl/memory.h"

#include "log/startorder.h"
#include "memory/companion.h"
#include "platform/win32.h"
#include "tarnkernl/log.h"

#include <cinttypes>
#include <cstring>

namespace tarn {
namespace {

// The thread's last system error as text, for the allocation reports. Built first thing where a
// runtime call failed, before anything else can change the error.
class LastErrorText {
public:
    LastErrorText() { PrintError(text, sizeof text, GetLastError()); }

    char text[512];
};

uint64_t CyclesSince(uint64_t start) { return ReadTimeStampCounter() - start; }

// The start-up allocator: from the library's attach on, every allocation of the process passes
// the library. It is never destroyed by the library: the runtime releases the chain at the end.
struct StartupAllocator {
    StartupAllocator() { (new StartupDirectMem)->Install(); }
} gStartupAllocator TARN_START(StartupAllocator);

}  // namespace
}  // namespace tarn

using namespace tarn;

DirectMem::~DirectMem() { Uninstall(); }

void* DirectMem::Get(size_t size) {
    if (size == 0)
        return nullptr;
    LazyLock::Guard guard(MemoryLock());
    try {
        uint64_t start = tarn::ReadTimeStampCounter();
        void* block = tarnrtl_Get(size);
        TARN_RTL_DUMMY_ENTRY("GlobalAlloc(%d bytes) : %d CPU cycles", size, CyclesSince(start));
        if (!block) {
            LastErrorText reason;
            exceptout("memory allocation( %" PRId32 " bytes) failed. GetLastError(%s)\r\n",
                      static_cast<int32_t>(size), reason.text);
        }
        return block;
    } catch (...) {
        LastErrorText reason;
        exceptout("tarnrtl_Get(%d) catch. GetLastError(%s)\r\n", static_cast<int>(size),
                  reason.text);
        return nullptr;
    }
}

// A pointer the runtime does not know, or a release it refuses, breaks into the debugger under
// "/int3"; the callers report it in their own words.
bool DirectMem::Free(void* block) {
    if (!block)
        return true;
    LazyLock::Guard guard(MemoryLock());
    try {
        size_t size = tarnrtl_GetSize(block);
        uint64_t start = tarn::ReadTimeStampCounter();
        bool freed = size != 0 && tarnrtl_Free(block);
        if (freed)
            TARN_RTL_DUMMY_ENTRY("GlobalFree(%d bytes) success: %d CPU cycles", size,
                                 CyclesSince(start));
        else
            TARN_RTL_DUMMY_ENTRY("GlobalFree(%d bytes) failed: %d CPU cycles", size,
                                 CyclesSince(start));
        if (!freed)
            int3call();
        return freed;
    } catch (...) {
        return false;
    }
}

// When the runtime cannot resize, a new block takes the data and the old one goes; the old block
// stays as it was when no new one can be had.
void* DirectMem::Realloc(void* block, size_t size) {
    if (size == 0) {
        DirectMem::Free(block);
        return nullptr;
    }
    if (!block)
        return DirectMem::Get(size);
    LazyLock::Guard guard(MemoryLock());
    void* result = nullptr;
    try {
        uint64_t start = tarn::ReadTimeStampCounter();
        result = tarnrtl_Realloc(block, size);
        TARN_RTL_DUMMY_ENTRY("tarnrtl_Realloc(%d bytes): %d CPU cycles", size, CyclesSince(start));
        if (result)
            return result;
        LastErrorText reason;
        size_t oldSize = DirectMem::GetSize(block);
        exceptout("GlobalRealloc() error: GetLastError(%s)data=0x%" PRIXPTR
                  "; newsize=%d, oldsize=%d?, caller EIP=0x%" PRIXPTR "\r\n",
                  reason.text, reinterpret_cast<uintptr_t>(block), static_cast<int>(size),
                  static_cast<int>(oldSize), MarkStack::GetFirstIP());
        result = DirectMem::Get(size);
        if (!result)
            return nullptr;
        size_t length = oldSize != 0 && oldSize < size ? oldSize : size;
        // A block the runtime does not know may be memory released already, which the new
        // block can cover in part: the copy must allow for the overlap.
        if (!IsBadReadPtr(block, length))
            memmove(result, block, length);
        if (oldSize != 0)
            DirectMem::Free(block);
        return result;
    } catch (...) {
        return result;
    }
}

void* DirectMem::Expand(void* block, size_t size) {
    if (size == 0) {
        DirectMem::Free(block);
        return nullptr;
    }
    if (!block)
        return nullptr;
    LazyLock::Guard guard(MemoryLock());
    try {
        uint64_t start = tarn::ReadTimeStampCounter();
        void* result = tarnrtl_Expand(block, size);
        TARN_RTL_DUMMY_ENTRY("tarnrtl_Exapnd(%d bytes): %d CPU cycles", size, CyclesSince(start));
        return result;
    } catch (...) {
        return nullptr;
    }
}

bool DirectMem::FreeAll() { return false; }

size_t DirectMem::GetSize(const void* block) {
    LazyLock::Guard guard(MemoryLock());
    try {
        return tarnrtl_GetSize(block);
    } catch (...) {
        return 0;
    }
}

bool DirectMem::CheckForBugs() { return tarnrtl_CheckForBugs(); }

void DirectMem::Release() {
    ICppMemIface* previous = replaced;
    delete this;
    if (previous)
        previous->Release();
}

void* DirectMem::New(size_t size) { return DirectMem::Get(size); }

bool DirectMem::Delete(void* block) { return DirectMem::Free(block); }

void* DirectMem::NewV(size_t size) { return DirectMem::Get(size); }

bool DirectMem::DeleteV(void* block) { return DirectMem::Free(block); }

void DirectMem::Install() {
    replaced = nullptr;
    if (tarnrtl_GetMemIface() != this)
        replaced = tarnrtl_SetMemIface(this);
}

void DirectMem::Uninstall() {
    if (tarnrtl_GetMemIface() != this)
        return;
    tarnrtl_SetMemIface(replaced);
    replaced = nullptr;
}

StackedMem::~StackedMem() {
    logdump("[ ", -1);
    logdump(name, -1);
    logdump(" closed]\r\n", -1);
}
