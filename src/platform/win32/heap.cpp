#include "platform/heap.h"

#include <windows.h>

namespace plat {

namespace {

DWORD NativeFlags(uint32_t flags) {
    DWORD out = 0;
    if (flags & kHeapNoSerialize)
        out |= HEAP_NO_SERIALIZE;
    if (flags & kHeapZeroMemory)
        out |= HEAP_ZERO_MEMORY;
    return out;
}

} // namespace

HeapHandle HeapCreatePrivate() {
    return ::HeapCreate(HEAP_NO_SERIALIZE, 0, 0);
}

void HeapDestroyPrivate(HeapHandle heap) {
    if (heap)
        ::HeapDestroy(static_cast<HANDLE>(heap));
}

void* HeapAllocFlags(HeapHandle heap, uint32_t flags, size_t bytes) {
    if (!heap)
        return nullptr;
    return ::HeapAlloc(static_cast<HANDLE>(heap), NativeFlags(flags), bytes);
}

void* HeapReAllocFlags(HeapHandle heap, uint32_t flags, void* block, size_t bytes) {
    if (!heap)
        return nullptr;
    // HeapReAlloc refuses a null block.
    if (!block)
        return HeapAllocFlags(heap, flags, bytes);
    return ::HeapReAlloc(static_cast<HANDLE>(heap), NativeFlags(flags), block, bytes);
}

void HeapFreeFlags(HeapHandle heap, void* block) {
    if (heap && block)
        ::HeapFree(static_cast<HANDLE>(heap), NativeFlags(kHeapNoSerialize), block);
}

} // namespace plat
