#include "support/AutoFreeMem.h"

#include <cstdlib>
#include <cstring>

#include "platform/alloc.h"

CAutoFreeMem::CAutoFreeMem(size_t elementSize, size_t count)
    : block_(nullptr), count_(0), elementSize_(elementSize ? elementSize : 1) {
    if (count)
        SetSize(count);
}

CAutoFreeMem::~CAutoFreeMem() {
    Free();
}

bool CAutoFreeMem::BytesFor(size_t count, size_t* bytes) const {
    if (count > static_cast<size_t>(-1) / elementSize_)
        return false;
    *bytes = count * elementSize_;
    return true;
}

void CAutoFreeMem::Free() {
    plat::Free(block_);
    block_ = nullptr;
    count_ = 0;
}

bool CAutoFreeMem::SetSize(size_t count) {
    if (count == count_)
        return count == 0 || block_ != nullptr;
    Free();
    if (count == 0)
        return true;
    size_t bytes = 0;
    if (!BytesFor(count, &bytes))
        return false;
    block_ = plat::Alloc(bytes);
    if (!block_)
        return false;
    std::memset(block_, 0, bytes);
    count_ = count;
    return true;
}

bool CAutoFreeMem::ResizeKeep(size_t count) {
    if (count == 0) {
        Free();
        return true;
    }
    size_t bytes = 0;
    if (!BytesFor(count, &bytes)) {
        Free();
        return false;
    }
    void* p = plat::Alloc(bytes);
    if (!p) {
        Free();
        return false;
    }
    size_t old = Bytes();
    if (block_)
        std::memcpy(p, block_, old < bytes ? old : bytes);
    if (bytes > old)
        std::memset(static_cast<unsigned char*>(p) + old, 0, bytes - old);
    plat::Free(block_);
    block_ = p;
    count_ = count;
    return true;
}
