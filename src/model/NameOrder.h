// Helpers of the link model's sorted pointer arrays: element access, the
// case-insensitive name order and the bisection that every lookup by name uses.
#pragma once

#include <cstdint>

#include "model/BinArray.h"
#include "platform/codepage.h"
#include "platform/types.h"

namespace model {

template <class T> T* PointerAt(const CBinArray& array, uint32_t index) {
    const void* slot = array.At(index);
    return slot ? *static_cast<T* const*>(slot) : nullptr;
}

// Array comparison of two records by name.
template <class T> int CompareNames(const void* key, const void* element) {
    const T* a = *static_cast<T* const*>(key);
    const T* b = *static_cast<T* const*>(element);
    return plat::WStrICmp(a->Name(), b->Name());
}

// Bisection over the names: lo = 0, hi = n, at most (bit length of n) + 1
// steps. Index of the record, or -1. A null name finds nothing; an empty one
// finds a record with an empty name.
template <class T> int32_t IndexOfName(const CBinArray& array, const WChar* name) {
    uint32_t n = array.Count();
    if (!name || n == 0)
        return -1;
    int steps = 1;
    for (uint32_t v = n; v; v >>= 1)
        ++steps;
    uint32_t lo = 0;
    uint32_t hi = n;
    for (int s = 0; s < steps; ++s) {
        uint32_t mid = lo + (hi - lo) / 2;
        const T* e = PointerAt<T>(array, mid);
        if (!e)
            return -1;
        int r = plat::WStrICmp(name, e->Name());
        if (r == 0)
            return static_cast<int32_t>(mid);
        if (r < 0)
            hi = mid;
        else
            lo = mid;
    }
    return -1;
}

template <class T> T* FindByName(const CBinArray& array, const WChar* name) {
    int32_t i = IndexOfName<T>(array, name);
    return i < 0 ? nullptr : PointerAt<T>(array, static_cast<uint32_t>(i));
}

// Inserts record in name order. An equal name replaces the element in place;
// *displaced receives the one that gave way (nullptr when none). False when
// the array could not grow.
template <class T> bool InsertByName(CBinArray& array, T* record, T** displaced) {
    *displaced = FindByName<T>(array, record->Name());
    int r = array.Insert(&record);
    if (r == CBinArray::kInsertFailed) {
        *displaced = nullptr;
        return false;
    }
    if (*displaced == record)
        *displaced = nullptr;
    return true;
}

} // namespace model
