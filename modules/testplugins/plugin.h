// What the test plug-ins share: each tells the program that loaded it when it arrives and when
// it leaves, through the program's exported "tarnTestPluginEvent" (when it has one).
#pragma once

#include "tarnkernl/api.h"
#include "platform/win32.h"

#include <cstdio>

namespace tarn::test {

// Counts through an inline static, which the compiler makes a GNU-unique symbol unless told
// not to: a plug-in with one still has to leave the process when it is released.
inline int& PresenceCount() {
    static int count;
    return count;
}

inline void RecordPluginEvent(const char* plugin, const char* event) {
    typedef void (*Recorder)(const char* text);
    FARPROC entry = GetProcAddress(GetModuleHandleA(nullptr), "tarnTestPluginEvent");
    if (!entry)
        return;
    char text[64];
    snprintf(text, sizeof text, "%s %s", plugin, event);
    reinterpret_cast<Recorder>(reinterpret_cast<void*>(entry))(text);
}

class Presence {
public:
    explicit Presence(const char* plugin) : plugin_(plugin) {
        ++PresenceCount();
        RecordPluginEvent(plugin_, "loaded");
    }
    ~Presence() {
        --PresenceCount();
        RecordPluginEvent(plugin_, "unloaded");
    }

private:
    const char* plugin_;
};

}  // namespace tarn::test
