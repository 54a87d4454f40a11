#include "platform/alloc.h"

namespace plat {

namespace {

void* DefaultAlloc(size_t bytes) {
    return ::operator new(bytes, std::nothrow);
}

void DefaultFree(void* block) {
    ::operator delete(block);
}

} // namespace

const AllocOps& DefaultAllocOps() {
    static const AllocOps ops = {DefaultAlloc, DefaultFree};
    return ops;
}

AllocOps& AllocOpsTable() {
    static AllocOps ops = DefaultAllocOps();
    return ops;
}

void ResetAllocOps() {
    AllocOpsTable() = DefaultAllocOps();
}

} // namespace plat
