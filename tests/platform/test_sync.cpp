#include <gtest/gtest.h>

#include <atomic>
#include <functional>

#include "platform/sync.h"
#include "testutil/testutil.h"

namespace {

using plat::Event;
using plat::Thread;

// Runs fn on a platform thread of its own; Join before it goes.
struct Worker {
    std::function<void()> fn;
    Thread t;
    explicit Worker(std::function<void()> f) : fn(std::move(f)) {
        EXPECT_TRUE(t.Start(
            [](void* p) -> unsigned {
                static_cast<Worker*>(p)->fn();
                return 0;
            },
            this));
    }
};

TEST(CriticalSection, IsRecursiveAndExcludesOtherThreads) {
    plat::CriticalSection cs;
    cs.Enter();
    ASSERT_TRUE(cs.TryEnter()); // same thread again
    std::atomic<int> tryResult{-1};
    std::atomic<bool> entered{false};
    Worker probe([&] {
        tryResult = cs.TryEnter() ? 1 : 0;
        cs.Enter(); // blocks until the owner has left twice
        entered = true;
        cs.Leave();
    });
    ASSERT_TRUE(testutil::WaitUntil([&] { return tryResult >= 0; }, 5000));
    EXPECT_EQ(0, tryResult);
    cs.Leave();
    plat::SleepMs(50);
    EXPECT_FALSE(entered); // still held once
    cs.Leave();
    ASSERT_TRUE(probe.t.Join(5000));
    EXPECT_TRUE(entered);

    // Re-entries and last leaves racing with another thread's entries: no
    // increment is lost.
    int64_t count = 0;
    auto bump = [&] {
        for (int i = 0; i < 100000; ++i) {
            cs.Enter();
            cs.Enter();
            ++count;
            cs.Leave();
            cs.Leave();
        }
    };
    Worker other(bump);
    bump();
    ASSERT_TRUE(other.t.Join(10000));
    EXPECT_EQ(200000, count);
}

TEST(Event, AutoResetFoldsSetsManualResetStaysSetAndWaitAnyConsumesOne) {
    Event e(false, false), manual(true, true), tick(false, false), stop(false, false);
    ASSERT_TRUE(e.Valid());
    EXPECT_TRUE(e.Set());
    EXPECT_TRUE(e.Set());
    EXPECT_EQ(plat::kWaitFirst, e.Wait(0));
    uint32_t start = plat::TickCount();
    const uint64_t startUs = plat::MonotonicMicros();
    EXPECT_EQ(plat::kWaitTimeout, e.Wait(100));
    EXPECT_GE(plat::TickCount() - start, 70u);
    EXPECT_GE(plat::MonotonicMicros() - startUs, 70000u); // the fine clock keeps pace

    EXPECT_EQ(plat::kWaitFirst, manual.Wait(0));
    EXPECT_EQ(plat::kWaitFirst, manual.Wait(0));
    EXPECT_TRUE(manual.Reset());
    EXPECT_EQ(plat::kWaitTimeout, manual.Wait(0));

    tick.Set();
    stop.Set();
    EXPECT_EQ(plat::kWaitFirst, plat::WaitAny(tick, stop, 0));
    // The second stays set for the next wait.
    EXPECT_EQ(plat::kWaitSecond, plat::WaitAny(tick, stop, 0));
    EXPECT_EQ(plat::kWaitTimeout, plat::WaitAny(tick, stop, 20));
    manual.Set(); // a manual-reset event is never consumed
    EXPECT_EQ(plat::kWaitSecond, plat::WaitAny(tick, manual, 0));
    EXPECT_EQ(plat::kWaitSecond, plat::WaitAny(tick, manual, 0));
}

TEST(WaitAny, WakesForASetOnEitherEventFromAnotherThread) {
    Event tick(false, false), stop(true, false);
    for (Event* which : {&tick, &stop}) {
        Worker w([which] {
            plat::SleepMs(30);
            which->Set();
        });
        EXPECT_EQ(which == &tick ? plat::kWaitFirst : plat::kWaitSecond,
                  plat::WaitAny(tick, stop, 10000));
        ASSERT_TRUE(w.t.Join(5000));
    }
}

// Producer sets the tick event many times; the consumer counts wake-ups and
// notes, at each, how many sets had begun. Every set is seen or folded into a
// later wake-up (the last wake-up comes after the last set), none is invented
// (never more wake-ups than sets, and none left over) and the stop event ends
// the loop.
TEST(WaitAny, WorkerLoopSeesTicksAndStops) {
    constexpr int kSets = 200;
    Event tick{false, false}, stop{true, false};
    std::atomic<int> begun{0}, wakeUps{0}, seen{0}; // seen: begun, as the last wake-up found it
    std::atomic<bool> overrun{false};
    Worker worker([&] {
        while (plat::WaitAny(tick, stop, plat::kInfinite) == plat::kWaitFirst) {
            const int n = ++wakeUps, b = begun.load();
            if (n > b)
                overrun = true; // a wake-up no set accounts for
            seen = b;
        }
    });
    for (int i = 0; i < kSets; ++i) {
        begun.fetch_add(1);
        tick.Set();
        if (i % 20 == 0)
            plat::SleepMs(2);
    }
    EXPECT_TRUE(testutil::WaitUntil([&] { return seen.load() == kSets; }, 5000))
        << "the last set was lost";
    stop.Set();
    ASSERT_TRUE(worker.t.Join(5000));
    EXPECT_FALSE(overrun.load());
    EXPECT_LE(wakeUps.load(), kSets);
    EXPECT_EQ(plat::kWaitTimeout, tick.Wait(0)) << "a set left over after the loop saw them all";
}

TEST(Thread, JoinWithALimitGivesUpAndKnowsTheCurrentThread) {
    struct Ctx {
        Thread t;
        Event go{true, false};
        std::atomic<int> insideIsCurrent{-1};
        std::atomic<uint32_t> id{0};
    } ctx;
    EXPECT_FALSE(ctx.t.IsCurrent());
    ASSERT_TRUE(ctx.t.Start(
        [](void* p) -> unsigned {
            auto* c = static_cast<Ctx*>(p);
            c->go.Wait(plat::kInfinite);
            c->insideIsCurrent = c->t.IsCurrent() ? 1 : 0;
            c->id = plat::CurrentThreadId();
            return 0;
        },
        &ctx));
    EXPECT_TRUE(ctx.t.Started());
    EXPECT_FALSE(ctx.t.IsCurrent());
    EXPECT_FALSE(ctx.t.Start([](void*) -> unsigned { return 0; }, nullptr)); // already running
    uint32_t start = plat::TickCount();
    EXPECT_FALSE(ctx.t.Join(100));
    EXPECT_GE(plat::TickCount() - start, 70u);
    EXPECT_TRUE(ctx.t.Started()); // still joinable
    ctx.go.Set();
    ASSERT_TRUE(ctx.t.Join(10000));
    EXPECT_FALSE(ctx.t.Started());
    EXPECT_EQ(1, ctx.insideIsCurrent.load());
    EXPECT_NE(0u, plat::CurrentThreadId());
    EXPECT_NE(plat::CurrentThreadId(), ctx.id.load());
}

TEST(Thread, DestroyingAnUnjoinedThreadLetsItFinish) {
    auto* done = new std::atomic<bool>(false);
    {
        Thread t;
        ASSERT_TRUE(t.Start(
            [](void* p) -> unsigned {
                plat::SleepMs(50);
                static_cast<std::atomic<bool>*>(p)->store(true);
                return 0;
            },
            done));
    }
    EXPECT_TRUE(testutil::WaitUntil([&] { return done->load(); }, 10000));
    plat::SleepMs(20); // let the detached thread leave before the flag goes
    delete done;
}

// Both backends fill every field of the local time in its calendar range
// (months and days from 1, not from 0).
TEST(Time, TickCountAdvancesWithSleepAndLocalTimeFieldsAreInRange) {
    uint32_t a = plat::TickCount();
    plat::SleepMs(60);
    EXPECT_GE(plat::TickCount() - a, 40u); // unsigned difference survives the wrap

    plat::LocalTime t{};
    plat::GetLocalTimeNow(&t);
    const struct {
        int value, low, high;
    } fields[] = {{t.year, 2020, 9999}, {t.month, 1, 12},  {t.day, 1, 31},         {t.hour, 0, 23},
                  {t.minute, 0, 59},    {t.second, 0, 60}, {t.millisecond, 0, 999}};
    for (const auto& f : fields) {
        EXPECT_GE(f.value, f.low);
        EXPECT_LE(f.value, f.high);
    }
}

} // namespace
