// The current memory interface and its starting value, the pass-through to the raw heap; the
// release of the interface at the end of the process.
#include "runtime/heap.h"

#include "tarnkernl/tarnrt.h"

#include <atomic>

namespace tarn {
namespace {

// The bottom of every chain of interfaces: each slot goes straight to the raw heap.
class RawHeapIface final : public ICppMemIface {
public:
    void* Get(size_t size) override { return tarnrtl_Get(size); }
    bool Free(void* block) override { return tarnrtl_Free(block); }
    void* Realloc(void* block, size_t size) override {
        if (block && size == 0) {
            tarnrtl_Free(block);
            return nullptr;
        }
        return tarnrtl_Realloc(block, size);
    }
    void* Expand(void* block, size_t size) override { return tarnrtl_Expand(block, size); }
    bool FreeAll() override { return false; }
    size_t GetSize(const void* block) override { return tarnrtl_GetSize(block); }
    bool CheckForBugs() override { return tarnrtl_CheckForBugs(); }
    void Release() override {}
    void* New(size_t size) override { return tarnrtl_Get(size); }
    bool Delete(void* block) override { return tarnrtl_Free(block); }
    void* NewV(size_t size) override { return tarnrtl_Get(size); }
    bool DeleteV(void* block) override { return tarnrtl_Free(block); }
};

// Both constant-initialised: the process allocates before any constructor of the runtime runs.
constinit RawHeapIface gRawHeap;
constinit std::atomic<ICppMemIface*> gCurrent{&gRawHeap};

// Runs after every static destructor of the process and after the finalisation of every module
// that depends on the runtime (on Windows: at the runtime's process detach). The interface is
// still current while it releases its chain (its report may allocate); allocations and releases
// that come afterwards (the C library's own) go to the raw heap.
__attribute__((destructor)) void ReleaseAtProcessEnd() {
    gCurrent.load(std::memory_order_acquire)->Release();
    gCurrent.store(&gRawHeap, std::memory_order_release);
}

}  // namespace

ICppMemIface* CurrentMemIface() { return gCurrent.load(std::memory_order_acquire); }

}  // namespace tarn

extern "C" ICppMemIface* tarnrtl_GetMemIface() { return tarn::CurrentMemIface(); }

extern "C" ICppMemIface* tarnrtl_SetMemIface(ICppMemIface* iface) {
    return tarn::gCurrent.exchange(iface != tarn::kRawHeapIface ? iface : &tarn::gRawHeap,
                                   std::memory_order_acq_rel);
}
