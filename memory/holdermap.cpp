// The map from addresses to holders of the low-fragmentation pool.
#include "memory/holdermap.h"

#include "memory/lowfrag.h"
#include "platform/check.h"

#include <cstring>
#include <initializer_list>

namespace tarn {

HolderMap::~HolderMap() {
    for (Leaf* leaf : root_)
        tarnrtl_Free(leaf);
}

Holder* (*HolderMap::Slots(uintptr_t granule) const)[2] {
    Leaf* leaf = root_[granule >> kLeafBits];
    return leaf ? &leaf->holders[granule & ((uintptr_t(1) << kLeafBits) - 1)] : nullptr;
}

Holder* HolderMap::Find(uintptr_t p) const {
    const uintptr_t granule = p >> kGranuleBits;
    if (granule >> kGranules)
        return nullptr;
    Holder*(*slots)[2] = Slots(granule);
    if (!slots)
        return nullptr;
    for (Holder* holder : *slots) {
        if (holder && holder->Contains(p))
            return holder;
    }
    return nullptr;
}

bool HolderMap::Put(uintptr_t granule, Holder* holder) {
    Leaf*& leaf = root_[granule >> kLeafBits];
    if (!leaf) {
        leaf = static_cast<Leaf*>(tarnrtl_Get(sizeof(Leaf)));
        if (!leaf)
            return false;
        memset(leaf, 0, sizeof(Leaf));
    }
    Holder*(&slots)[2] = leaf->holders[granule & ((uintptr_t(1) << kLeafBits) - 1)];
    // A granule touches at most two arrays: a third would push one out of the map.
    TARN_RAW_CHECK(!slots[0] || !slots[1], "a granule of the holder map has a free slot");
    slots[slots[0] ? 1 : 0] = holder;
    return true;
}

bool HolderMap::Add(Holder* holder) {
    const uintptr_t first = holder->array >> kGranuleBits;
    const uintptr_t last = (holder->array + kHolderArray - 1) >> kGranuleBits;
    if ((last >> kGranules) || !Put(first, holder))
        return false;
    if (last != first && !Put(last, holder)) {
        Remove(holder);
        return false;
    }
    return true;
}

void HolderMap::Remove(const Holder* holder) {
    for (uintptr_t p : {holder->array, holder->array + kHolderArray - 1}) {
        if (Holder * (*slots)[2] = Slots(p >> kGranuleBits)) {
            for (Holder*& slot : *slots) {
                if (slot == holder)
                    slot = nullptr;
            }
        }
    }
}

}  // namespace tarn
