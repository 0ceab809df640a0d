// For the runtime's tests: a memory interface that forwards every slot to the one it replaced
// and records what passed through it.
#pragma once

#include "tarnkernl/tarnrt.h"

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace tarn::test {

// Hides a value from the optimiser, which may otherwise drop an allocation with its release,
// or judge a request that is meant to fail at compile time.
template <class T>
T Opaque(T value) {
    asm volatile("" : "+r"(value) : : "memory");
    return value;
}

// A size no request can get: on 64-bit targets the system refuses it; on 32-bit ones (where
// qemu gives a process 4 GB) it is larger than any object may be.
constexpr size_t kUnobtainable =
    sizeof(void*) == 8 ? size_t(PTRDIFF_MAX) - 4096 : size_t(PTRDIFF_MAX) + 4096;

enum class Slot { Get, Free, Realloc, Expand, GetSize, New, Delete, NewV, DeleteV, Release };

// Installed on construction and, unless released by the runtime first, uninstalled on
// destruction. Records at most kCapacity events (without allocating) and forwards every slot.
class RecordingIface : public ICppMemIface {
public:
    struct Event {
        Slot slot;
        const void* block;
        size_t size;
    };
    static constexpr int kCapacity = 256;

    RecordingIface() { replaced_ = tarnrtl_SetMemIface(this); }
    ~RecordingIface() { Uninstall(); }
    RecordingIface(const RecordingIface&) = delete;
    RecordingIface& operator=(const RecordingIface&) = delete;

    void Uninstall() {
        if (tarnrtl_GetMemIface() == this)
            tarnrtl_SetMemIface(replaced_);
    }
    ICppMemIface* replaced() const { return replaced_; }

    // True when an event of `slot` for `block` (null: any) of `size` (SIZE_MAX: any) passed.
    bool Saw(Slot slot, const void* block, size_t size = SIZE_MAX) const {
        int count = count_.load() < kCapacity ? count_.load() : kCapacity;
        for (int i = 0; i < count; ++i) {
            const Event& e = events_[i];
            if (e.slot == slot && (!block || e.block == block) &&
                (size == SIZE_MAX || e.size == size))
                return true;
        }
        return false;
    }

    void* Get(size_t size) override { return Note(Slot::Get, replaced_->Get(size), size); }
    bool Free(void* block) override {
        Note(Slot::Free, block, 0);
        return replaced_->Free(block);
    }
    void* Realloc(void* block, size_t size) override {
        Note(Slot::Realloc, block, size);
        return replaced_->Realloc(block, size);
    }
    void* Expand(void* block, size_t size) override {
        Note(Slot::Expand, block, size);
        return replaced_->Expand(block, size);
    }
    bool FreeAll() override { return replaced_->FreeAll(); }
    size_t GetSize(const void* block) override {
        Note(Slot::GetSize, const_cast<void*>(block), 0);
        return replaced_->GetSize(block);
    }
    bool CheckForBugs() override { return replaced_->CheckForBugs(); }
    void Release() override {
        Note(Slot::Release, nullptr, 0);
        replaced_->Release();
    }
    void* New(size_t size) override { return Note(Slot::New, replaced_->New(size), size); }
    bool Delete(void* block) override {
        Note(Slot::Delete, block, 0);
        return replaced_->Delete(block);
    }
    void* NewV(size_t size) override { return Note(Slot::NewV, replaced_->NewV(size), size); }
    bool DeleteV(void* block) override {
        Note(Slot::DeleteV, block, 0);
        return replaced_->DeleteV(block);
    }

private:
    void* Note(Slot slot, void* block, size_t size) {
        int index = count_.fetch_add(1);
        if (index < kCapacity)
            events_[index] = {slot, block, size};
        return block;
    }

    ICppMemIface* replaced_ = nullptr;
    Event events_[kCapacity] = {};
    std::atomic<int> count_{0};
};

}  // namespace tarn::test
