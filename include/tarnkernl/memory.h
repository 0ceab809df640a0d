// Memory management: the library's allocators behind the runtime's memory interface, the
// start-up phase and the heap check.
#pragma once

#include "tarnkernl/api.h"
#include "tarnkernl/tarnrt.h"

// The base of the library's allocators: the runtime's twelve slots and, behind them, a virtual
// destructor.
class TARN_API AllocatorBase : public ICppMemIface {
public:
    virtual ~AllocatorBase() = default;
};

// The plain allocator: every operation goes to the runtime's raw heap under the memory lock.
// Its own operations call one another by their DirectMem versions, never through an override,
// so a derived allocator can take its raw memory from them.
class TARN_API DirectMem : public AllocatorBase {
public:
    DirectMem() = default;
    // Uninstalls the allocator.
    ~DirectMem() override;
    DirectMem(const DirectMem&) = delete;
    DirectMem& operator=(const DirectMem&) = delete;

    void* Get(size_t size) override;
    bool Free(void* block) override;
    void* Realloc(void* block, size_t size) override;
    void* Expand(void* block, size_t size) override;
    bool FreeAll() override;
    size_t GetSize(const void* block) override;
    bool CheckForBugs() override;
    // Destroys the allocator (it was made with operator new), then releases the interface it
    // replaced: releasing the current interface unwinds the whole chain below it.
    void Release() override;
    void* New(size_t size) override;
    bool Delete(void* block) override;
    void* NewV(size_t size) override;
    bool DeleteV(void* block) override;

    // Makes this the current interface and remembers the one it replaced.
    void Install();
    // When this is the current interface, the remembered one becomes current again.
    void Uninstall();

    ICppMemIface* replaced = nullptr;  // null when it replaced nothing or is not installed
};

// The allocator installed while the library is attached, before the pools stand.
class TARN_API StartupDirectMem : public DirectMem {
public:
    ~StartupDirectMem() override = default;
};

// A plain allocator with a name, which says in the log when it goes. The name's text is not
// copied: it must outlive the allocator.
class TARN_API StackedMem : public DirectMem {
public:
    explicit StackedMem(const char* name) : name(name) {}
    // "[ ", the name and " closed]\r\n" into the log.
    ~StackedMem() override;

    const char* name;
};

static_assert(sizeof(void*) != 4 || sizeof(DirectMem) == 8, "the 32-bit layout");
static_assert(sizeof(void*) != 4 || sizeof(StackedMem) == 12, "the 32-bit layout");

// Ends the start-up phase: blocks allocated from now on are the application's, and are listed
// when they are never released. Looks for the companion module again. Exported under its plain
// name, as the family's programs import it.
extern "C" TARN_API void EndStartup();
// True when the runtime finds its heap consistent.
TARN_API bool CheckMemory();
