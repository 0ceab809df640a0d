// Modules, events and switches: finding the instances and resources that modules offer, event
// hooks, the instance library, switches, and the registry of live objects with its file links.
#pragma once

#include "tarnkernl/api.h"
#include "tarnkernl/log.h"
#include "tarnkernl/text.h"

#include <cstdint>

// ---- Instance discovery ----------------------------------------------------------------------

// An exported entry "<prefix><index>": returns the instance it offers.
typedef const void* (*InstanceEntry)();
// Given the entry's address in place of calling it: the instance to append.
typedef const void* (*InstanceConverter)(void* entry);
// Given a module's resource (or the text of its "muiProc_<prefix>" function) with its size in
// bytes: the pointer to append.
typedef const void* (*ResourceConverter)(HINSTANCE module, const void* data, unsigned long size,
                                         void* user);

// Appends to `result` the instances that `module` exports as "<prefix>0" to
// "<prefix><count - 1>" (gaps allowed); returns how many non-null ones were appended.
TARN_API int _FindInstances(pConstVector<void const*>& result, HINSTANCE module, const char* prefix,
                            long count, InstanceConverter converter = nullptr);
// The same for every module matching `mask` in `directory`. A module that yields something stays
// loaded until the library is unloaded; one that yields nothing is released at once. With
// `seen`, a module whose lower-case file name is in the list is skipped, and every file looked
// at is added to it.
TARN_API int _FindInstances(pConstVector<void const*>& result, const char* directory,
                            const char* mask, const char* prefix, long count,
                            InstanceConverter converter = nullptr, Vector<str>* seen = nullptr);

// Appends the text of the module's "muiProc_<prefix>" function (0 or 1 entry) or, without one,
// its raw-data resources named "<prefix>0" to "<prefix><count - 1>".
TARN_API int _FindResources(pConstVector<void const*>& result, HINSTANCE module, const char* prefix,
                            long count, ResourceConverter converter = nullptr,
                            void* user = nullptr);
TARN_API int _FindResources(pConstVector<void const*>& result, const char* directory,
                            const char* mask, const char* prefix, long count,
                            ResourceConverter converter = nullptr, void* user = nullptr);

// ---- Event hooks -----------------------------------------------------------------------------

// The parameter of an event, copied for each handler. It holds an integer or an address.
class EvParam {
public:
    uintptr_t value;

    constexpr EvParam(uintptr_t value = 0) : value(value) {}
    template <class T>
    EvParam(T* address) : value(reinterpret_cast<uintptr_t>(address)) {}
};

// Event identifiers are the application's values, or addresses such as StateChangedEvent().
typedef void (*EventHandler)(void* user, uintptr_t event, EvParam parameter, const void* sender);

struct EventEntry {
    EventHandler handler;  // null: inert
    void* user;
};

class EventPool : public Vector<EventEntry> {};

// Element 0 holds the handlers in the order they were added; each running _Call pushes its own
// copy of them after it, so handlers may add, delete and fire while a call runs: a call never
// runs a handler added after it started or deleted while it runs. Used from one thread at a time.
class EventHook : public pVector<EventPool*> {
public:
    // The registration pool, or null when memory ran out. The same pair may be added again and
    // is then called once per registration.
    TARN_API EventPool* Add(EventHandler handler, void* user);
    // Removes every registration of the pair; true when there was one.
    TARN_API bool Del(EventHandler handler, void* user);
    // Calls every handler; an exception from a handler ends the call, and does not leave it.
    TARN_API void _Call(uintptr_t event, EvParam parameter, const void* sender);
};

// The same identifier for every caller in the process.
TARN_API uintptr_t StateChangedEvent();

// ---- Instance library ------------------------------------------------------------------------

// One kind of object that a module can make, as it exports it.
struct TInstanceDescriptor {
    const char* name;
    void* (*construct)(void* argument);  // null when it declines
    bool (*destruct)(void* object);      // false for an object that is not its own
};

// Pointers to descriptors, filled by _FindInstances. The descriptors belong to their modules.
// The members answer null or 0 when called through a null pointer.
class TInstanceLibrary : public pConstVector<void const*> {
public:
    // What the first descriptor of that name makes, null included.
    TARN_API void* ConstructByName(const char* name, void* argument);
    // The first object that any descriptor makes from the template.
    TARN_API void* ConstructByTemplate(void* templ);
    // 1 when a descriptor (of that name, or any when name is null) destroyed the object.
    TARN_API int Destruct(const char* name, void* object);
};

// ---- Switches --------------------------------------------------------------------------------

// Called at registration and after every change; false to be removed.
typedef bool (*SwitchCallback)(void* user);

struct SwitchObserver {
    SwitchCallback callback;
    void* user;
};

// A shared value's observers. The lock is held during every callback and is re-entrant: a
// callback may register, unregister or change the same switch. It must not wait for another
// thread that uses the switch.
class SwitchBase {
public:
    Vector<SwitchObserver> observers;
    LazyLock lock;

    // Calls the callback once; registers it when it answers true.
    TARN_API bool Register(SwitchCallback callback, void* user);
    // Removes every registration of the pair; true when there was one.
    TARN_API bool UnRegister(SwitchCallback callback, void* user);
    // Tells every observer, newest first; one that answers false or throws is removed.
    TARN_API void Change();
};

// A switch whose value is a text. The value changes outside the lock; only the notice is locked.
class SwitchStr : public SwitchBase {
public:
    str value;

    TARN_API SwitchStr& operator=(const char* text);
    // The first `length` characters of the text, as str's setter takes them; its result.
    TARN_API const char* operator()(const char* text, int length);
    // Empties the value and tells the observers.
    TARN_API void Destroy();
};

// ---- Live objects and file links ------------------------------------------------------------

// The base of a kind of object whose live instances are registered by address, so that a
// pointer of unknown age can be checked without being dereferenced.
class ExistingNodePoolBase {
public:
    // The registry of one kind: its live addresses, ascending. The kind's wrappers hold the lock
    // around every operation.
    class NodeReestr {
    public:
        Vector<uintptr_t> addresses;
        LazyLock lock;

        NodeReestr() = default;
        TARN_API ~NodeReestr();
        NodeReestr(const NodeReestr&) = delete;
        NodeReestr& operator=(const NodeReestr&) = delete;
    };

    ExistingNodePoolBase() = default;
    ExistingNodePoolBase(const ExistingNodePoolBase&) = default;
    // A registration belongs to an address: assignment copies none.
    ExistingNodePoolBase& operator=(const ExistingNodePoolBase&) { return *this; }

    // Registers this object's address; a second registration is reported through int3call.
    TARN_API void Insert(NodeReestr& reestr);
    // Unregisters it; nothing happens when it is not registered.
    TARN_API void Free(NodeReestr& reestr);
    // `result` when `pointer` is registered, else null. Never reads *pointer.
    TARN_API static const void* pIs(const void* pointer, NodeReestr& reestr, const void* result);

private:
    // The index of the first address not below `pointer`.
    static unsigned findObjMatchPlaceIdx(NodeReestr& reestr, const void* pointer);
};

// Decides whether an owner found by FileLink::_Owner counts.
typedef bool (*FileLinkFilter)(const void* owner);

// Links a file name to the object that has the file open, for every module to ask.
class FileLink : public ExistingNodePoolBase {
public:
    str name;
    const void* owner;
    const void* extra;

    TARN_API FileLink(const char* name, const void* owner, const void* extra);
    TARN_API ~FileLink();
    FileLink(const FileLink&) = delete;
    FileLink& operator=(const FileLink&) = delete;

    // The process-wide registry of file links.
    TARN_API static NodeReestr& GetNodeReestr();
    static const char* Name() { return "FileLink"; }
    // The pointer as a link when it is a live FileLink, else null. Never reads *pointer.
    TARN_API static FileLink* pIs(const void* pointer);
    static bool Is(const void* pointer) { return pIs(pointer) != nullptr; }
    // The owner of the link at the highest address whose name is the full path of
    // `fileName` in any letter case, perhaps followed by blanks, and whose owner the filter
    // accepts; null when none. `extra`, when given, receives that link's extra value or null.
    TARN_API static void* _Owner(const char* fileName, FileLinkFilter filter, const void** extra);
};
