// Private heaps in the manner of HeapCreate and its family. Windows: a real
// private heap. POSIX: blocks from the C heap that the handle keeps track of,
// so that destroying the heap frees whatever is still allocated from it.
//
// A private heap is never serialised: its owner must confine it to one thread
// at a time.
#pragma once

#include "platform/types.h"

namespace plat {

typedef void* HeapHandle; // nullptr when there is none

constexpr uint32_t kHeapNoSerialize = 0x1;
constexpr uint32_t kHeapZeroMemory = 0x8;

// A growable heap with no initial or maximum size; nullptr on failure.
HeapHandle HeapCreatePrivate();
// Frees every block still allocated from the heap, then the heap.
void HeapDestroyPrivate(HeapHandle heap);

// nullptr on failure. kHeapZeroMemory zero-fills the block.
void* HeapAllocFlags(HeapHandle heap, uint32_t flags, size_t bytes);
// Resizes a block (block nullptr: allocates one). kHeapZeroMemory zero-fills
// the bytes added by growth. nullptr on failure, the old block left intact.
void* HeapReAllocFlags(HeapHandle heap, uint32_t flags, void* block, size_t bytes);
// block may be nullptr.
void HeapFreeFlags(HeapHandle heap, void* block);

} // namespace plat
