#include "model/BinArray.h"

#include <cstring>

#include "platform/alloc.h"

namespace {

// Bytes for count elements, false when that does not fit in size_t.
bool StorageBytes(uint32_t count, uint16_t elementSize, size_t* bytes) {
    if (elementSize != 0 && count > static_cast<size_t>(-1) / elementSize)
        return false;
    *bytes = static_cast<size_t>(count) * elementSize;
    return true;
}

} // namespace

CBinArray::CBinArray()
    : data_(nullptr), count_(0), capacity_(0), elementSize_(0), compare_(nullptr) {}

CBinArray::~CBinArray() {
    Clear();
}

bool CBinArray::Resize(uint32_t capacity) {
    size_t bytes = 0;
    if (!StorageBytes(capacity, elementSize_, &bytes))
        return false;
    uint8_t* p;
    try {
        p = static_cast<uint8_t*>(plat::Alloc(bytes));
    } catch (...) {
        // Owners undo by result codes; an exception halfway would skip that.
        p = nullptr;
    }
    if (!p)
        return false;
    size_t keep = static_cast<size_t>(count_) * elementSize_;
    if (data_)
        std::memcpy(p, data_, keep);
    std::memset(p + keep, 0, bytes - keep);
    plat::Free(data_);
    data_ = p;
    capacity_ = capacity;
    return true;
}

bool CBinArray::Configure(BinCompareFn cmp, uint16_t elementSize) {
    if (!cmp || elementSize == 0)
        return false;
    // Stored elements would be misread with another size.
    if (count_ != 0 && elementSize != elementSize_)
        return false;
    compare_ = cmp;
    elementSize_ = elementSize;
    return true;
}

uint32_t CBinArray::Bisect(const void* key, int* lastResult) const {
    int r = -1;
    uint32_t mid = 0;
    if (count_ != 0 && key && compare_) {
        uint32_t lo = 0;
        uint32_t hi = count_;
        // lo only moves onto an element below the key, so the range halves
        // rounding up: bit length of n steps bring it to one element, and
        // one more step compares that one.
        int steps = 1;
        for (uint32_t n = count_; n != 0; n >>= 1)
            ++steps;
        while (steps-- > 0) {
            mid = lo + (hi - lo) / 2;
            r = compare_(key, Element(mid));
            if (r == 0)
                break;
            if (r > 0)
                lo = mid;
            else
                hi = mid;
        }
    }
    if (lastResult)
        *lastResult = r;
    return mid;
}

bool CBinArray::Find(void* key, uint32_t* index, int* lastResult) const {
    int r = -1;
    uint32_t i = Bisect(key, &r);
    if (index)
        *index = i;
    if (lastResult)
        *lastResult = r;
    if (r != 0 || count_ == 0 || !compare_)
        return false;
    std::memcpy(key, Element(i), elementSize_);
    return true;
}

int CBinArray::Insert(const void* element, uint32_t* index) {
    if (!Configured() || !element)
        return kInsertFailed;
    if (count_ == 0) {
        if (!data_ && !Resize(kGrowStep))
            return kInsertFailed;
        std::memcpy(data_, element, elementSize_);
        count_ = 1;
        if (index)
            *index = 0;
        return kInserted;
    }

    int r = -1;
    uint32_t at = Bisect(element, &r);
    if (r == 0) {
        std::memcpy(Element(at), element, elementSize_);
        if (index)
            *index = at;
        return kReplaced;
    }
    if (count_ + 1 > capacity_) {
        if (capacity_ > UINT32_MAX - kGrowStep || !Resize(capacity_ + kGrowStep))
            return kInsertFailed;
    }
    if (r > 0)
        ++at;
    std::memmove(Element(at + 1), Element(at), static_cast<size_t>(count_ - at) * elementSize_);
    std::memcpy(Element(at), element, elementSize_);
    ++count_;
    if (index)
        *index = at;
    return kInserted;
}

int CBinArray::RemoveAt(uint32_t index) {
    if (index >= count_)
        return kNotFound;
    std::memmove(Element(index), Element(index + 1),
                 static_cast<size_t>(count_ - index - 1) * elementSize_);
    --count_;
    if (count_ == 0) {
        Clear();
    } else if (capacity_ > kGrowStep && count_ < capacity_ - kGrowStep) {
        // A failed shrink keeps the larger block.
        Resize(capacity_ - kGrowStep);
    }
    return kRemoved;
}

void CBinArray::CopyNeighbour(uint32_t index, void* out) const {
    if (index + 1 < count_)
        std::memcpy(out, Element(index + 1), elementSize_);
    else if (count_ > 1)
        std::memcpy(out, Element(index - 1), elementSize_);
    else
        std::memset(out, 0, elementSize_);
}

int CBinArray::Remove(void* key, bool copyNeighbour) {
    if (!Configured())
        return kRemoveFailed;
    int r = -1;
    uint32_t at = Bisect(key, &r);
    if (r != 0)
        return kNotFound;
    if (copyNeighbour)
        CopyNeighbour(at, key);
    return RemoveAt(at);
}

int CBinArray::RemoveIndex(uint32_t index, void* neighbour) {
    if (!Configured() || index >= count_)
        return kRemoveFailed;
    if (neighbour)
        CopyNeighbour(index, neighbour);
    return RemoveAt(index);
}

bool CBinArray::Get(uint32_t index, void* out) const {
    if (index >= count_ || !out)
        return false;
    std::memcpy(out, Element(index), elementSize_);
    return true;
}

void CBinArray::Clear() {
    plat::Free(data_);
    data_ = nullptr;
    count_ = 0;
    capacity_ = 0;
}
