// Event hooks: handlers that may add, delete and fire while a call of their hook runs. Each
// running call dispatches from its own copy of the registrations, pushed behind them.
#include "tarnkernl/modules.h"

#include <cstring>
#include <new>

namespace {

bool Matches(const EventEntry& entry, EventHandler handler, void* user) {
    return entry.handler == handler && entry.user == user;
}

// A running call's copy of the registrations. It lives on the caller's stack and holds a few
// entries in place, so that firing a small hook allocates nothing; a copy that cannot get its
// storage is empty and calls nothing.
class Snapshot : public EventPool {
public:
    explicit Snapshot(const EventPool& registrations) {
        const uint32_t n = registrations.Count();
        if (n <= kInPlace) {
            data = inPlace_;
            capacity = sizeof inPlace_;
            count = n;
        } else if (!SetCount(n)) {
            return;
        }
        if (n)
            memcpy(data, registrations.data, n * sizeof(EventEntry));
    }
    ~Snapshot() {
        if (data == inPlace_) {
            data = nullptr;
            count = capacity = 0;
        }
    }

private:
    static constexpr uint32_t kInPlace = 16;
    EventEntry inPlace_[kInPlace];
};

}  // namespace

EventPool* EventHook::Add(EventHandler handler, void* user) {
    if (Count() == 0) {
        EventPool* pool = new (std::nothrow) EventPool;
        if (!pool || !Append(pool)) {
            delete pool;
            return nullptr;
        }
    }
    EventPool* registrations = *At(0);
    return registrations->Append(EventEntry{handler, user}) ? registrations : nullptr;
}

bool EventHook::Del(EventHandler handler, void* user) {
    if (Count() == 0)
        return false;
    EventPool* registrations = *At(0);
    const uint32_t before = registrations->Count();
    uint32_t kept = 0;
    for (uint32_t i = 0; i < before; ++i) {
        EventEntry entry = *registrations->At(i);
        if (!Matches(entry, handler, user))
            *registrations->At(kept++) = entry;
    }
    for (uint32_t i = kept; i < before; ++i)
        *registrations->At(i) = EventEntry{};
    registrations->SetCount(kept);
    // Calls in progress keep their places in their copies and skip the deleted entries.
    for (uint32_t s = 1; s < Count(); ++s) {
        EventPool* snapshot = *At(s);
        for (uint32_t i = 0; i < snapshot->Count(); ++i) {
            if (Matches(*snapshot->At(i), handler, user))
                *snapshot->At(i) = EventEntry{};
        }
    }
    return kept != before;
}

void EventHook::_Call(uintptr_t event, EvParam parameter, const void* sender) {
    if (Count() == 0)
        return;
    Snapshot snapshot(**At(0));
    if (!Append(&snapshot))
        return;
    try {
        for (uint32_t i = 0; i < snapshot.Count(); ++i) {
            const EventEntry entry = *snapshot.At(i);
            if (entry.handler)
                entry.handler(entry.user, event, parameter, sender);
        }
    } catch (...) {
    }
    // Nested calls have removed their own copies: the last element is this call's, which is
    // not the hook's to delete.
    RemoveAt(Count() - 1);
}

uintptr_t StateChangedEvent() {
    static const char name[] = "StateChangedEvent";
    return reinterpret_cast<uintptr_t>(name);
}
