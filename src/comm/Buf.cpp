#include "comm/Buf.h"

#include <cstdlib>
#include <cstring>

CBuf::CBuf(int32_t initialCapacity)
    : owns_(1), data_(nullptr), position_(0), length_(0), capacity_(0) {
    if (initialCapacity > 0) {
        data_ = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(initialCapacity)));
        if (data_)
            capacity_ = initialCapacity;
    }
}

CBuf::~CBuf() {
    if (owns_)
        std::free(data_);
}

void CBuf::Reset() {
    if (owns_)
        std::free(data_);
    data_ = nullptr;
    capacity_ = 0;
    position_ = 0;
    length_ = 0;
    owns_ = 1;
}

int32_t CBuf::Append(const void* bytes, int32_t n) {
    if (n < 1 || !bytes)
        return 0;
    // 64-bit sums: a huge n must fail, not wrap.
    int64_t end = static_cast<int64_t>(position_) + n;
    if (end > INT32_MAX)
        return 0;
    if (end > capacity_) {
        int64_t want =
            (static_cast<int64_t>(capacity_) + n + kGrowStep - 1) / kGrowStep * kGrowStep;
        if (want > INT32_MAX)
            return 0;
        // Bytes from inside the block itself must survive its move.
        const uint8_t* src = static_cast<const uint8_t*>(bytes);
        bool inside = data_ && src >= data_ && src < data_ + capacity_;
        size_t offset = inside ? static_cast<size_t>(src - data_) : 0;
        uint8_t* p = static_cast<uint8_t*>(std::realloc(data_, static_cast<size_t>(want)));
        if (!p)
            return 0;
        data_ = p;
        capacity_ = static_cast<int32_t>(want);
        if (inside)
            bytes = p + offset;
    }
    std::memmove(data_ + position_, bytes, static_cast<size_t>(n));
    position_ += n;
    if (position_ > length_)
        length_ = position_;
    return n;
}
