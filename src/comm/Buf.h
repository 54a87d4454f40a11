// Growable byte buffer: frames are built in it, replies and listings
// collected. Content is not NUL-terminated; read Data() and Length().
#pragma once

#include "platform/types.h"

class CBuf {
public:
    // The block grows in steps of this many bytes.
    static constexpr int32_t kGrowStep = 256;

    // 0 allocates nothing; n > 0 allocates n bytes.
    explicit CBuf(int32_t initialCapacity = 0);
    virtual ~CBuf();
    CBuf(const CBuf&) = delete;
    CBuf& operator=(const CBuf&) = delete;

    // Frees the block; empty, position 0, owning again.
    void Reset();

    // Appends n bytes at the position: n on success, 0 otherwise (n < 1, no
    // bytes, or no memory; the buffer is then unchanged).
    int32_t Append(const void* bytes, int32_t n);

    const uint8_t* Data() const { return data_; }
    uint8_t* Data() { return data_; }
    int32_t Length() const { return length_; }
    int32_t Position() const { return position_; }
    int32_t Capacity() const { return capacity_; }
    bool OwnsBlock() const { return owns_ != 0; }

private:
    int32_t owns_;
    uint8_t* data_;
    int32_t position_;
    int32_t length_;
    int32_t capacity_;
};
