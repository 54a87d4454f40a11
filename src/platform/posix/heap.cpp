#include "platform/heap.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace plat {

namespace {

// Every block carries its size (realloc does not zero, so growth must know
// where the old bytes end) and its links in the heap's list (destroying the
// heap frees what is left, as a private heap does).
struct BlockHeader {
    BlockHeader* prev;
    BlockHeader* next;
    size_t size;
};

// The header is padded so that the user part stays suitably aligned.
constexpr size_t kHeaderSize = (sizeof(BlockHeader) + alignof(std::max_align_t) - 1) /
                               alignof(std::max_align_t) * alignof(std::max_align_t);

struct PrivateHeap {
    BlockHeader* head;
};

BlockHeader* HeaderOf(void* block) {
    return reinterpret_cast<BlockHeader*>(static_cast<unsigned char*>(block) - kHeaderSize);
}

void* UserOf(BlockHeader* h) {
    return reinterpret_cast<unsigned char*>(h) + kHeaderSize;
}

void Link(PrivateHeap* heap, BlockHeader* h) {
    h->prev = nullptr;
    h->next = heap->head;
    if (heap->head)
        heap->head->prev = h;
    heap->head = h;
}

void Unlink(PrivateHeap* heap, BlockHeader* h) {
    if (h->prev)
        h->prev->next = h->next;
    else
        heap->head = h->next;
    if (h->next)
        h->next->prev = h->prev;
}

bool TotalSize(size_t bytes, size_t* total) {
    if (bytes > static_cast<size_t>(-1) - kHeaderSize)
        return false;
    *total = bytes + kHeaderSize;
    return true;
}

} // namespace

HeapHandle HeapCreatePrivate() {
    PrivateHeap* heap = new (std::nothrow) PrivateHeap;
    if (heap)
        heap->head = nullptr;
    return heap;
}

void HeapDestroyPrivate(HeapHandle handle) {
    PrivateHeap* heap = static_cast<PrivateHeap*>(handle);
    if (!heap)
        return;
    while (heap->head) {
        BlockHeader* h = heap->head;
        heap->head = h->next;
        std::free(h);
    }
    delete heap;
}

void* HeapAllocFlags(HeapHandle handle, uint32_t flags, size_t bytes) {
    PrivateHeap* heap = static_cast<PrivateHeap*>(handle);
    size_t total = 0;
    if (!heap || !TotalSize(bytes, &total))
        return nullptr;
    BlockHeader* h = static_cast<BlockHeader*>((flags & kHeapZeroMemory) ? std::calloc(1, total)
                                                                         : std::malloc(total));
    if (!h)
        return nullptr;
    h->size = bytes;
    Link(heap, h);
    return UserOf(h);
}

void* HeapReAllocFlags(HeapHandle handle, uint32_t flags, void* block, size_t bytes) {
    PrivateHeap* heap = static_cast<PrivateHeap*>(handle);
    if (!heap)
        return nullptr;
    if (!block)
        return HeapAllocFlags(handle, flags, bytes);
    size_t total = 0;
    if (!TotalSize(bytes, &total))
        return nullptr;
    BlockHeader* old = HeaderOf(block);
    size_t oldSize = old->size;
    // Unlinked first: realloc may move the block, and the neighbours must
    // then point at its new place.
    Unlink(heap, old);
    BlockHeader* h = static_cast<BlockHeader*>(std::realloc(old, total));
    if (!h) {
        Link(heap, old);
        return nullptr;
    }
    h->size = bytes;
    Link(heap, h);
    if ((flags & kHeapZeroMemory) && bytes > oldSize)
        std::memset(static_cast<unsigned char*>(UserOf(h)) + oldSize, 0, bytes - oldSize);
    return UserOf(h);
}

void HeapFreeFlags(HeapHandle handle, void* block) {
    PrivateHeap* heap = static_cast<PrivateHeap*>(handle);
    if (!heap || !block)
        return;
    BlockHeader* h = HeaderOf(block);
    Unlink(heap, h);
    std::free(h);
}

} // namespace plat
