// An owned zero-filled heap block.
#pragma once

#include <cstddef>

// One heap block of count x element size bytes, zero-filled, freed with the
// object.
class CAutoFreeMem {
public:
    // elementSize 0 counts as 1.
    explicit CAutoFreeMem(size_t elementSize = 1, size_t count = 0);
    ~CAutoFreeMem();
    CAutoFreeMem(const CAutoFreeMem&) = delete;
    CAutoFreeMem& operator=(const CAutoFreeMem&) = delete;

    // The same count keeps the block; otherwise a new zero-filled block
    // replaces it (none for 0). False when a block was wanted but not had;
    // the count is 0 then.
    bool SetSize(size_t count);
    // Keeps the contents; added bytes are zero-filled. 0 or a failed
    // reallocation frees the block and leaves count 0 (false on failure).
    bool ResizeKeep(size_t count);

    void* Data() const { return block_; }
    template <class T> T* As() const { return static_cast<T*>(block_); }
    size_t Count() const { return count_; }
    size_t ElementSize() const { return elementSize_; }
    size_t Bytes() const { return count_ * elementSize_; }

private:
    bool BytesFor(size_t count, size_t* bytes) const;
    void Free();

    void* block_;
    size_t count_;
    size_t elementSize_;
};
