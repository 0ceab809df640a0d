// Which holder's array holds a pointer, in constant time: a two-level table over the address
// space in granules of the arrays' size. An array of that size touches at most two granules, and
// a granule at most two arrays (the one that ends in it and the one that begins in it).
#pragma once

#include "tarnkernl/api.h"

#include <cstddef>
#include <cstdint>

namespace tarn {

struct Holder;

class TARN_API HolderMap {
public:
    static constexpr int kGranuleBits = 20;  // the arrays' size, 1 MB

    HolderMap() = default;
    ~HolderMap();
    HolderMap(const HolderMap&) = delete;
    HolderMap& operator=(const HolderMap&) = delete;

    // The holder whose array contains `p`, or null.
    Holder* Find(uintptr_t p) const;
    // False when no memory is left for the map's part of the address space.
    bool Add(Holder* holder);
    void Remove(const Holder* holder);

private:
    static constexpr int kAddressBits = sizeof(void*) == 8 ? 48 : 32;
    static constexpr int kGranules = kAddressBits - kGranuleBits;
    static constexpr int kLeafBits = kGranules < 14 ? kGranules : 14;
    static constexpr int kRootBits = kGranules - kLeafBits;

    // The holders whose arrays touch each granule of one part of the address space. The parts
    // are taken from the runtime as arrays appear in them and kept: arrays come and go in the
    // same few places.
    struct Leaf {
        Holder* holders[size_t(1) << kLeafBits][2];
    };

    Holder* (*Slots(uintptr_t granule) const)[2];
    bool Put(uintptr_t granule, Holder* holder);

    Leaf* root_[size_t(1) << kRootBits] = {};
};

}  // namespace tarn
