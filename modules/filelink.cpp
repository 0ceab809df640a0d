// The live-object registry (sorted addresses, binary search, never a dereference) and the file
// links kept in the process-wide one.
#include "tarnkernl/files.h"
#include "tarnkernl/modules.h"

#include "log/startorder.h"
#include "platform/win32.h"

#include <cstring>

namespace {

// Zero storage is an empty registry and a lock that initialises itself, so links made by
// static objects built before it work too.
ExistingNodePoolBase::NodeReestr gFileLinks TARN_START(FileLinks);

uintptr_t Address(const void* pointer) { return reinterpret_cast<uintptr_t>(pointer); }

}  // namespace

ExistingNodePoolBase::NodeReestr::~NodeReestr() {
    try {
        addresses.Destroy();
    } catch (...) {
    }
}

unsigned ExistingNodePoolBase::findObjMatchPlaceIdx(NodeReestr& reestr, const void* pointer) {
    const uintptr_t wanted = Address(pointer);
    const uintptr_t* addresses = static_cast<const uintptr_t*>(reestr.addresses.data);
    unsigned low = 0, high = reestr.addresses.Count();
    while (low < high) {
        const unsigned middle = (low + high) / 2;
        if (addresses[middle] >= wanted)
            high = middle;
        else
            low = middle + 1;
    }
    return low;
}

void ExistingNodePoolBase::Insert(NodeReestr& reestr) {
    Vector<uintptr_t>& addresses = reestr.addresses;
    const unsigned place = findObjMatchPlaceIdx(reestr, this);
    if (place < addresses.Count() && *addresses.At(place) == Address(this)) {
        int3call();
        return;
    }
    const uint32_t count = addresses.Count();
    if (!addresses.SetCount(count + 1))
        return;
    uintptr_t* slots = static_cast<uintptr_t*>(addresses.data);
    memmove(slots + place + 1, slots + place, (count - place) * sizeof(uintptr_t));
    slots[place] = Address(this);
}

void ExistingNodePoolBase::Free(NodeReestr& reestr) {
    const unsigned place = findObjMatchPlaceIdx(reestr, this);
    if (place < reestr.addresses.Count() && *reestr.addresses.At(place) == Address(this))
        reestr.addresses.RemoveAt(place);
}

const void* ExistingNodePoolBase::pIs(const void* pointer, NodeReestr& reestr, const void* result) {
    if (!result)
        return nullptr;
    try {
        const unsigned place = findObjMatchPlaceIdx(reestr, pointer);
        return place < reestr.addresses.Count() && *reestr.addresses.At(place) == Address(pointer)
                   ? result
                   : nullptr;
    } catch (...) {
        return nullptr;
    }
}

FileLink::FileLink(const char* fileName, const void* owner, const void* extra)
    : owner(owner), extra(extra) {
    // The name is stored under the lock too: a search on another thread reads it as soon as the
    // link is in the registry.
    LazyLock::Guard guard(gFileLinks.lock);
    Insert(gFileLinks);
    try {
        name = fileName;
    } catch (...) {
        Free(gFileLinks);
        throw;
    }
}

FileLink::~FileLink() {
    LazyLock::Guard guard(gFileLinks.lock);
    Free(gFileLinks);
}

ExistingNodePoolBase::NodeReestr& FileLink::GetNodeReestr() { return gFileLinks; }

FileLink* FileLink::pIs(const void* pointer) {
    LazyLock::Guard guard(gFileLinks.lock);
    return static_cast<FileLink*>(
        const_cast<void*>(ExistingNodePoolBase::pIs(pointer, gFileLinks, pointer)));
}

void* FileLink::_Owner(const char* fileName, FileLinkFilter filter, const void** extraOut) {
    str fullName;
    size_t length = UNI_GetFullPathName(fileName, fullName);
    while (length > 0 && fullName.p[length - 1] == ' ')
        --length;
    const void* owner = nullptr;
    const void* extra = nullptr;
    {
        LazyLock::Guard guard(gFileLinks.lock);
        for (uint32_t i = 0; i < gFileLinks.addresses.Count(); ++i) {
            const FileLink* link = reinterpret_cast<const FileLink*>(*gFileLinks.addresses.At(i));
            const char* name = link->name.p;
            if (length == 0 || !name || _strnicmp(name, fullName.p, length) != 0)
                continue;
            const char* rest = name + length;
            while (*rest == ' ')
                ++rest;
            if (*rest || (filter && !filter(link->owner)))
                continue;
            owner = link->owner;
            extra = link->extra;
        }
    }
    if (extraOut)
        *extraOut = extra;
    return const_cast<void*>(owner);
}
