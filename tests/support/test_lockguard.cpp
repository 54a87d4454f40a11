#include "support/LockGuard.h"
#include "support/AutoFreeMem.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "platform/alloc.h"
#include "platform/sync.h"

namespace {

// Whether another thread could enter the section right now.
bool FreeForOthers(plat::CriticalSection& cs) {
    bool entered = false;
    std::thread t([&] {
        entered = cs.TryEnter();
        if (entered)
            cs.Leave();
    });
    t.join();
    return entered;
}

bool AllZero(const void* p, size_t n) {
    const unsigned char* b = static_cast<const unsigned char*>(p);
    return std::all_of(b, b + n, [](unsigned char c) { return c == 0; });
}

} // namespace

TEST(LockGuard, EntriesAndReleases) {
    plat::CriticalSection cs;
    {
        LockGuard guard(&cs); // locks by default
        EXPECT_EQ(1, guard.EntryCount());
        EXPECT_FALSE(FreeForOthers(cs));
    }
    EXPECT_TRUE(FreeForOthers(cs));
    EXPECT_THROW(
        {
            LockGuard guard(&cs, true);
            guard.Lock();
            throw std::runtime_error("failed pass");
        },
        std::runtime_error);
    EXPECT_TRUE(FreeForOthers(cs));

    cs.Enter(); // the thread's own entry, outside the guard: never left by it
    {
        LockGuard guard(&cs, false);
        EXPECT_EQ(0, guard.EntryCount());
        guard.Lock();
        guard.Lock();
        EXPECT_EQ(2, guard.EntryCount());
        guard.UnlockAll();
        guard.UnlockAll();
        EXPECT_EQ(0, guard.EntryCount());
        EXPECT_FALSE(FreeForOthers(cs));
        guard.Lock(); // held again after a full release; the destructor releases it
    }
    EXPECT_FALSE(FreeForOthers(cs));
    cs.Leave();
    EXPECT_TRUE(FreeForOthers(cs));

    LockGuard absent(nullptr, true);
    absent.Lock();
    EXPECT_EQ(2, absent.EntryCount());
    absent.UnlockAll();
    EXPECT_EQ(0, absent.EntryCount());
}

TEST(CAutoFreeMem, SetSizeAndResizeKeep) {
    EXPECT_EQ(1u, CAutoFreeMem(0, 3).ElementSize());
    CAutoFreeMem m(sizeof(uint32_t), 10);
    ASSERT_NE(nullptr, m.Data());
    EXPECT_EQ(40u, m.Bytes());
    EXPECT_TRUE(AllZero(m.Data(), m.Bytes()));
    m.As<uint32_t>()[9] = 0xDEADBEEF;
    void* before = m.Data();
    EXPECT_TRUE(m.SetSize(10)); // same count: same block, contents kept
    EXPECT_EQ(before, m.Data());
    EXPECT_EQ(0xDEADBEEFu, m.As<uint32_t>()[9]);
    ASSERT_TRUE(m.SetSize(12)); // another count: a fresh zero-filled block
    EXPECT_EQ(48u, m.Bytes());
    EXPECT_TRUE(AllZero(m.Data(), m.Bytes()));
    EXPECT_TRUE(m.SetSize(0));
    EXPECT_EQ(nullptr, m.Data());
    // A size whose byte count overflows is refused, not allocated short.
    EXPECT_FALSE(m.SetSize(static_cast<size_t>(-1)));
    EXPECT_EQ(0u, m.Count());

    // Fresh blocks come dirty here, as a used heap hands them out.
    plat::AllocOpsTable().alloc = [](size_t n) {
        void* p = plat::DefaultAllocOps().alloc(n);
        return p ? std::memset(p, 0xA5, n) : nullptr;
    };
    CAutoFreeMem k(2, 4);
    std::memset(k.Data(), 0x5A, k.Bytes());
    const bool grown = k.ResizeKeep(100);
    plat::ResetAllocOps();
    ASSERT_TRUE(grown);
    EXPECT_EQ(200u, k.Bytes());
    const unsigned char* b = k.As<unsigned char>();
    EXPECT_EQ(8, std::count(b, b + 8, 0x5A));
    EXPECT_TRUE(AllZero(b + 8, 192));
    ASSERT_TRUE(k.ResizeKeep(2));
    EXPECT_EQ(0x5A, k.As<unsigned char>()[3]);
    EXPECT_FALSE(k.ResizeKeep(static_cast<size_t>(-1)));
    EXPECT_EQ(nullptr, k.Data());
    EXPECT_EQ(0u, k.Count());
    ASSERT_TRUE(k.ResizeKeep(3));
    EXPECT_TRUE(k.ResizeKeep(0));
    EXPECT_EQ(nullptr, k.Data());
}
