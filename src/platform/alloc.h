// The heap blocks of the driver's own objects and buffers. Each of them
// goes through a table of function pointers (AllocOps) that tests may
// replace, as SocketOps does for the sockets, so that they can fail the Nth
// allocation and reach the paths that run without memory. Standard
// containers and strings, the frame buffers (CBuf) and the platform's own
// primitives (locks, events, threads, timers) use the C++ heap directly.
#pragma once

#include <cstddef>
#include <cstring>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

namespace plat {

struct AllocOps {
    // bytes may be 0. nullptr when there is no memory. Blocks of NewObject are
    // freed with delete: a replacement fails calls or hands them on to
    // DefaultAllocOps(), whose blocks ::operator delete frees.
    void* (*alloc)(size_t bytes);
    // A block of alloc, or nullptr.
    void (*free)(void* block);
};

// The live table; tests may change entries and must restore them
// (ResetAllocOps) before they end.
AllocOps& AllocOpsTable();
const AllocOps& DefaultAllocOps();
void ResetAllocOps();

inline void* Alloc(size_t bytes) {
    return AllocOpsTable().alloc(bytes);
}
inline void Free(void* block) {
    AllocOpsTable().free(block);
}

// new (std::nothrow) T(args...) through the table: nullptr without memory,
// destroyed with delete. A constructor's exception passes on, its block freed.
template <class T, class... Args> T* NewObject(Args&&... args) {
    static_assert(alignof(T) <= alignof(std::max_align_t), "over-aligned type");
    void* block = Alloc(sizeof(T));
    if (!block)
        return nullptr;
    try {
        return ::new (block) T(std::forward<Args>(args)...);
    } catch (...) {
        Free(block);
        throw;
    }
}

struct FreeDeleter {
    void operator()(void* block) const { Free(block); }
};

// A zero-filled array of a trivial type.
template <class T> using Buffer = std::unique_ptr<T[], FreeDeleter>;

// count 0 still gives a block. Empty without memory.
template <class T> Buffer<T> NewBuffer(size_t count) {
    static_assert(std::is_trivial<T>::value, "a buffer holds plain data");
    if (count > static_cast<size_t>(-1) / sizeof(T))
        return Buffer<T>();
    void* block = Alloc(count * sizeof(T));
    if (block)
        std::memset(block, 0, count * sizeof(T));
    return Buffer<T>(static_cast<T*>(block));
}

} // namespace plat
