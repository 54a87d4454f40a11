// Sorted array of fixed-size elements in one zero-filled block (from
// plat::Alloc), searched by bisection with a comparison supplied by the owner.
//
// No lock of its own: the owner confines every use of one array to one thread
// at a time.
#pragma once

#include "platform/types.h"

// Compares a key with an element (both of the array's element size) and
// answers like strcmp.
typedef int (*BinCompareFn)(const void* key, const void* element);

class CBinArray {
public:
    // Storage grows and shrinks in steps of this many elements.
    static constexpr uint32_t kGrowStep = 16;

    // Insert results.
    enum InsertResult : int { kInsertFailed = 0, kInserted = 1, kReplaced = 2 };
    // Remove results.
    enum RemoveResult : int { kRemoveFailed = 0, kRemoved = 1, kNotFound = 2 };

    CBinArray();
    virtual ~CBinArray();
    CBinArray(const CBinArray&) = delete;
    CBinArray& operator=(const CBinArray&) = delete;

    // False, changing nothing, when cmp is null or elementSize is 0.
    bool Configure(BinCompareFn cmp, uint16_t elementSize);

    // Bisection for key: the last index looked at and, in *lastResult, the
    // last comparison result. An empty array (or no key) gives 0 and -1.
    uint32_t Bisect(const void* key, int* lastResult) const;

    // True when an element equal to key exists; it is then copied into key.
    // index and lastResult (optional) receive what the bisection ended on.
    bool Find(void* key, uint32_t* index = nullptr, int* lastResult = nullptr) const;

    // Inserts in order, or overwrites the equal element. kInsertFailed,
    // kInserted or kReplaced; *index (optional) is where the element stands.
    int Insert(const void* element, uint32_t* index = nullptr);

    // kRemoved, or kNotFound when index >= count.
    int RemoveAt(uint32_t index);

    // Removes the element equal to key: kRemoved, kNotFound, or kRemoveFailed
    // when the array is not configured. With copyNeighbour, key first
    // receives the element after the removed one, or the one before when it
    // was the last, or zeros when it was the only one.
    int Remove(void* key, bool copyNeighbour);

    // Removes the element at index: kRemoved, or kRemoveFailed when the array
    // is not configured or index is out of range. A non-null neighbour
    // receives the neighbour as Remove(key, true) describes.
    int RemoveIndex(uint32_t index, void* neighbour);

    // Copies the element at index into out; false when index >= count.
    bool Get(uint32_t index, void* out) const;
    // The element at index in place, nullptr when out of range. Valid until
    // the next change of the array.
    const void* At(uint32_t index) const { return index < count_ ? Element(index) : nullptr; }

    // Frees the storage; count and capacity 0.
    void Clear();

    uint32_t Count() const { return count_; }
    uint32_t Capacity() const { return capacity_; }
    uint16_t ElementSize() const { return elementSize_; }
    bool Configured() const { return compare_ != nullptr && elementSize_ != 0; }

private:
    void* Element(uint32_t index) const {
        return data_ + static_cast<size_t>(index) * elementSize_;
    }
    // A block of capacity elements holding the count_ ones there are, the
    // rest zero; false (nothing changed) without memory.
    bool Resize(uint32_t capacity);
    void CopyNeighbour(uint32_t index, void* out) const;

    uint8_t* data_;
    uint32_t count_;
    uint32_t capacity_;
    uint16_t elementSize_;
    BinCompareFn compare_;
};
