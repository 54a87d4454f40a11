#include "support/LockGuard.h"
#include "support/AutoFreeMem.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <thread>
#include <vector>

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

void ThrowWhileHolding(plat::CriticalSection& cs) {
    LockGuard guard(&cs, true);
    guard.Lock();
    throw std::runtime_error("failed pass");
}

} // namespace

TEST(LockGuard, HoldsForItsScopeAndReleasesOnExit) {
    plat::CriticalSection cs;
    {
        LockGuard guard(&cs, true);
        EXPECT_EQ(1, guard.EntryCount());
        EXPECT_FALSE(FreeForOthers(cs));
    }
    EXPECT_TRUE(FreeForOthers(cs));

    EXPECT_THROW(ThrowWhileHolding(cs), std::runtime_error);
    EXPECT_TRUE(FreeForOthers(cs));
}

TEST(LockGuard, UnlockAllLeavesEveryEntry) {
    plat::CriticalSection cs;
    LockGuard guard(&cs, false);
    EXPECT_EQ(0, guard.EntryCount());
    EXPECT_TRUE(FreeForOthers(cs));

    guard.Lock();
    guard.Lock();
    EXPECT_EQ(2, guard.EntryCount());
    EXPECT_FALSE(FreeForOthers(cs));
    guard.UnlockAll();
    EXPECT_EQ(0, guard.EntryCount());
    EXPECT_TRUE(FreeForOthers(cs));

    // Held again after a full release; the destructor releases it.
    guard.Lock();
    EXPECT_FALSE(FreeForOthers(cs));
}

TEST(LockGuard, NeverLeavesMoreThanItEntered) {
    plat::CriticalSection cs;
    cs.Enter(); // the thread's own entry, outside the guard
    {
        LockGuard guard(&cs, true);
        guard.UnlockAll();
        guard.UnlockAll();
        EXPECT_EQ(0, guard.EntryCount());
    }
    EXPECT_FALSE(FreeForOthers(cs));
    cs.Leave();
    EXPECT_TRUE(FreeForOthers(cs));
}

TEST(LockGuard, AbsentSectionIsIgnored) {
    LockGuard guard(nullptr, true);
    guard.Lock();
    EXPECT_EQ(2, guard.EntryCount());
    guard.UnlockAll();
    EXPECT_EQ(0, guard.EntryCount());
}

TEST(LockGuard, SerialisesThreads) {
    plat::CriticalSection cs;
    int64_t total = 0; // guarded by cs only
    const int kRounds = 20000;
    auto work = [&] {
        for (int i = 0; i < kRounds; ++i) {
            LockGuard guard(&cs);
            int64_t v = total;
            total = v + 1;
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t)
        threads.emplace_back(work);
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(3 * kRounds, total);
}

namespace {

bool AllZero(const void* p, size_t n) {
    const unsigned char* b = static_cast<const unsigned char*>(p);
    return std::all_of(b, b + n, [](unsigned char c) { return c == 0; });
}

} // namespace

TEST(CAutoFreeMem, SetSizeGivesZeroFilledBlocks) {
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
    EXPECT_TRUE(AllZero(m.Data(), m.Bytes()));
    EXPECT_EQ(48u, m.Bytes());

    EXPECT_TRUE(m.SetSize(0));
    EXPECT_EQ(nullptr, m.Data());
    // A size whose byte count overflows is refused, not allocated short.
    EXPECT_FALSE(m.SetSize(static_cast<size_t>(-1)));
    EXPECT_EQ(0u, m.Count());
}

TEST(CAutoFreeMem, ResizeKeepKeepsContentsAndZeroFillsGrowth) {
    CAutoFreeMem m(2, 4);
    std::memset(m.Data(), 0x5A, m.Bytes());
    ASSERT_TRUE(m.ResizeKeep(100));
    EXPECT_EQ(200u, m.Bytes());
    const unsigned char* b = m.As<unsigned char>();
    EXPECT_EQ(8, std::count(b, b + 8, 0x5A));
    EXPECT_TRUE(AllZero(b + 8, 192));

    ASSERT_TRUE(m.ResizeKeep(2));
    EXPECT_EQ(0x5A, m.As<unsigned char>()[3]);
    EXPECT_FALSE(m.ResizeKeep(static_cast<size_t>(-1)));
    EXPECT_EQ(nullptr, m.Data());
    EXPECT_EQ(0u, m.Count());
    ASSERT_TRUE(m.ResizeKeep(3));
    EXPECT_TRUE(m.ResizeKeep(0));
    EXPECT_EQ(nullptr, m.Data());
}
