// Switches: observers told of every change of a shared value, newest first, under the switch's
// re-entrant lock.
#include "tarnkernl/modules.h"

namespace {

bool Matches(const SwitchObserver& observer, SwitchCallback callback, void* user) {
    return observer.callback == callback && observer.user == user;
}

// A callback that throws counts as one that asked to go.
bool Ask(const SwitchObserver& observer) {
    try {
        return observer.callback(observer.user);
    } catch (...) {
        return false;
    }
}

}  // namespace

bool SwitchBase::Register(SwitchCallback callback, void* user) {
    if (!callback)
        return false;
    LazyLock::Guard guard(lock);
    const SwitchObserver observer{callback, user};
    if (!Ask(observer))
        return false;
    try {
        return observers.Append(observer) != nullptr;
    } catch (...) {
        return false;
    }
}

bool SwitchBase::UnRegister(SwitchCallback callback, void* user) {
    if (!callback)
        return false;
    LazyLock::Guard guard(lock);
    bool removed = false;
    try {
        for (uint32_t i = observers.Count(); i > 0; --i) {
            if (Matches(*observers.At(i - 1), callback, user)) {
                observers.RemoveAt(i - 1);
                removed = true;
            }
        }
    } catch (...) {
    }
    return removed;
}

void SwitchBase::Change() {
    LazyLock::Guard guard(lock);
    try {
        // Callbacks may remove observers: an index past the end is skipped, and one that asks to
        // go is removed only while it is still in its place.
        for (uint32_t i = observers.Count(); i > 0; --i) {
            if (i - 1 >= observers.Count())
                continue;
            const SwitchObserver observer = *observers.At(i - 1);
            if (!Ask(observer) && i - 1 < observers.Count() &&
                Matches(*observers.At(i - 1), observer.callback, observer.user))
                observers.RemoveAt(i - 1);
        }
    } catch (...) {
    }
}

SwitchStr& SwitchStr::operator=(const char* text) {
    value = text;
    Change();
    return *this;
}

const char* SwitchStr::operator()(const char* text, int length) {
    const char* result = value.AssignN(text, length);
    Change();
    return result;
}

void SwitchStr::Destroy() {
    value.Clear();
    Change();
}
