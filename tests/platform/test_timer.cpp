#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <set>

#include "platform/mmtimer.h"
#include "platform/sync.h"
#include "testutil/testutil.h"

namespace {

void Count(void* p) {
    ++*static_cast<std::atomic<int>*>(p);
}

// A periodic timer (resolution 1 ms) that calls fn.
uint32_t Every(uint32_t ms, std::function<void()>* fn) {
    return plat::TimerSetPeriodic(
        ms, 1, [](void* p) { (*static_cast<std::function<void()>*>(p))(); }, fn);
}

// Calls counted after they stopped: none may come.
void ExpectNoMoreCalls(const std::atomic<int>& calls, uint32_t ms) {
    int before = calls.load();
    plat::SleepMs(ms);
    EXPECT_EQ(before, calls.load()) << "a call after the kill";
}

TEST(Timer, FiftyMsPeriodTicksAboutTenTimesInHalfASecond) {
    std::atomic<int> ticks{0};
    const uint32_t start = plat::TickCount();
    uint32_t id = plat::TimerSetPeriodic(50, 5, Count, &ticks);
    ASSERT_NE(0u, id);
    plat::SleepMs(500);
    ASSERT_TRUE(plat::TimerKill(id));
    const uint32_t elapsed = plat::TickCount() - start;
    EXPECT_GE(ticks.load(), 5);
    // Never faster than the period, however long the sleep really took.
    EXPECT_LE(ticks.load(), static_cast<int>(elapsed / 50) + 2);
    ExpectNoMoreCalls(ticks, 120);
}

TEST(Timer, SlowCallbackDoesNotMakeTicksPileUp) {
    std::atomic<int> calls{0}, concurrent{0}, maxConcurrent{0};
    std::function<void()> slow = [&] {
        int now = ++concurrent, seen = maxConcurrent.load();
        while (now > seen && !maxConcurrent.compare_exchange_weak(seen, now)) {
        }
        ++calls;
        plat::SleepMs(100); // ten periods
        --concurrent;
    };
    uint32_t id = Every(10, &slow);
    const uint32_t start = plat::TickCount();
    ASSERT_NE(0u, id);
    plat::SleepMs(600);
    ASSERT_TRUE(plat::TimerKill(id));
    const uint32_t elapsed = plat::TickCount() - start;
    // Queued expiries would give a call every period once the first ends;
    // skipped ones give one per callback's length at most.
    EXPECT_GE(calls.load(), 2);
    EXPECT_LE(calls.load(), static_cast<int>(elapsed / 100) + 2);
    EXPECT_EQ(1, maxConcurrent.load());
    // Once skipped, ticks come back at the normal pace.
    std::atomic<int> ticks{0};
    id = plat::TimerSetPeriodic(10, 1, Count, &ticks);
    ASSERT_NE(0u, id);
    EXPECT_TRUE(testutil::WaitUntil([&] { return ticks >= 5; }, 5000));
    EXPECT_TRUE(plat::TimerKill(id));
}

TEST(Timer, KillWaitsForARunningCallback) {
    plat::Event inside{true, false};
    std::atomic<bool> finished{false};
    std::atomic<int> calls{0};
    std::function<void()> fn = [&] {
        finished = false;
        ++calls;
        inside.Set();
        plat::SleepMs(150);
        finished = true;
    };
    uint32_t id = Every(10, &fn);
    ASSERT_NE(0u, id);
    ASSERT_EQ(plat::kWaitFirst, inside.Wait(10000));
    ASSERT_TRUE(plat::TimerKill(id));
    EXPECT_TRUE(finished.load());
    ExpectNoMoreCalls(calls, 100);
    EXPECT_FALSE(plat::TimerKill(id));
}

TEST(Timer, KillFromItsOwnCallbackEndsTheTimer) {
    std::atomic<uint32_t> self{0};
    std::atomic<int> killed{-1}, calls{0};
    std::function<void()> fn = [&] {
        ++calls;
        if (self.load() && killed < 0)
            killed = plat::TimerKill(self.load()) ? 1 : 0;
    };
    uint32_t id = Every(5, &fn);
    ASSERT_NE(0u, id);
    self = id;
    ASSERT_TRUE(testutil::WaitUntil([&] { return killed >= 0; }, 5000));
    EXPECT_EQ(1, killed.load());
    plat::SleepMs(60);
    ExpectNoMoreCalls(calls, 100);
    EXPECT_FALSE(plat::TimerKill(id)); // already gone
}

TEST(Timer, CapsIdsAndUnknownIds) {
    plat::TimerCaps caps{};
    ASSERT_TRUE(plat::TimerGetDevCaps(&caps));
    EXPECT_GE(caps.periodMin, 1u);
    EXPECT_LE(caps.periodMin, 20u);
    EXPECT_GE(caps.periodMax, 1000u);
    ASSERT_TRUE(plat::TimerBeginPeriod(caps.periodMin));
    EXPECT_TRUE(plat::TimerEndPeriod(caps.periodMin));

    std::atomic<int> ticks{0};
    std::set<uint32_t> ids;
    for (int i = 0; i < 4; ++i)
        ids.insert(plat::TimerSetPeriodic(1000, 10, Count, &ticks));
    EXPECT_EQ(4u, ids.size());
    EXPECT_EQ(0u, ids.count(0));
    for (uint32_t id : ids)
        EXPECT_TRUE(plat::TimerKill(id));
    for (uint32_t id : ids)
        EXPECT_FALSE(plat::TimerKill(id));
    EXPECT_FALSE(plat::TimerKill(0));
}

} // namespace
