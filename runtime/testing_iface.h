// For the tests: memory interfaces that forward every slot to the one they replaced; one
// records what passed through it, the other makes one request fail and counts live blocks.
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

// Installed on construction, uninstalled on destruction. The `failing`th request for memory
// (Get, New, NewV, and a Realloc or Expand that obtains or grows a block; 1 is the first), and
// with `thereafter` every later one too, is answered with null without asking the replaced
// interface; every other one is passed on. Counts the blocks obtained through it and not yet
// given back. While a Spare scope is active, requests are neither counted nor failed (a test's
// own checks use it).
class FailingIfaceForTesting : public ICppMemIface {
public:
    explicit FailingIfaceForTesting(long failing, bool thereafter = false)
        : failing_(failing), thereafter_(thereafter) {
        replaced_ = tarnrtl_SetMemIface(this);
    }
    ~FailingIfaceForTesting() { Uninstall(); }
    FailingIfaceForTesting(const FailingIfaceForTesting&) = delete;
    FailingIfaceForTesting& operator=(const FailingIfaceForTesting&) = delete;

    void Uninstall() {
        if (tarnrtl_GetMemIface() == this)
            tarnrtl_SetMemIface(replaced_);
    }
    // Whether the failing request came.
    bool Failed() const { return failing_ > 0 && requests_.load() >= failing_; }
    // Blocks obtained less blocks given back; negative when blocks made before were released.
    long Live() const { return live_.load(); }

    class Spare {
    public:
        explicit Spare(FailingIfaceForTesting& iface) : iface_(iface) { ++iface_.spared_; }
        ~Spare() { --iface_.spared_; }
        Spare(const Spare&) = delete;
        Spare& operator=(const Spare&) = delete;

    private:
        FailingIfaceForTesting& iface_;
    };

    void* Get(size_t size) override { return Obtain(&ICppMemIface::Get, size); }
    bool Free(void* block) override { return GiveBack(&ICppMemIface::Free, block); }
    void* Realloc(void* block, size_t size) override {
        if (!block)
            return Refuse() ? nullptr : Counted(replaced_->Realloc(nullptr, size));
        if (size == 0) {
            live_.fetch_sub(1);
            return replaced_->Realloc(block, 0);
        }
        if (size > replaced_->GetSize(block) && Refuse())
            return nullptr;
        return replaced_->Realloc(block, size);
    }
    void* Expand(void* block, size_t size) override {
        if (block && size > replaced_->GetSize(block) && Refuse())
            return nullptr;
        return replaced_->Expand(block, size);
    }
    bool FreeAll() override { return replaced_->FreeAll(); }
    size_t GetSize(const void* block) override { return replaced_->GetSize(block); }
    bool CheckForBugs() override { return replaced_->CheckForBugs(); }
    void Release() override { replaced_->Release(); }
    void* New(size_t size) override { return Obtain(&ICppMemIface::New, size); }
    bool Delete(void* block) override { return GiveBack(&ICppMemIface::Delete, block); }
    void* NewV(size_t size) override { return Obtain(&ICppMemIface::NewV, size); }
    bool DeleteV(void* block) override { return GiveBack(&ICppMemIface::DeleteV, block); }

private:
    // Counts a request; true when it is the one to fail.
    bool Refuse() {
        if (spared_.load() != 0)
            return false;
        const long request = requests_.fetch_add(1) + 1;
        return failing_ > 0 && (request == failing_ || (thereafter_ && request > failing_));
    }
    void* Counted(void* block) {
        if (block)
            live_.fetch_add(1);
        return block;
    }
    void* Obtain(void* (ICppMemIface::*obtain)(size_t), size_t size) {
        return Refuse() ? nullptr : Counted((replaced_->*obtain)(size));
    }
    bool GiveBack(bool (ICppMemIface::*give)(void*), void* block) {
        const bool released = (replaced_->*give)(block);
        if (block && released)
            live_.fetch_sub(1);
        return released;
    }

    ICppMemIface* replaced_ = nullptr;
    const long failing_;
    const bool thereafter_;
    std::atomic<long> requests_{0};
    std::atomic<long> live_{0};
    std::atomic<int> spared_{0};
};

}  // namespace tarn::test
