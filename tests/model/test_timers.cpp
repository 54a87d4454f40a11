// Timers and the link's worker: resolution, ticks on the worker, folding of
// late ticks, and stops that keep their bounds while a tick runs.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "model/LinkModel.h"
#include "model/Timers.h"
#include "platform/mmtimer.h"
#include "platform/sync.h"
#include "testutil/testutil.h"

namespace {

uint32_t Clamp(uint32_t v, const plat::TimerCaps& caps) {
    return v < caps.periodMin ? caps.periodMin : (v > caps.periodMax ? caps.periodMax : v);
}

// Counts the system timer's expiries and the worker's ticks; a tick can be
// held on an event.
class ProbeTimer : public CCdkTimer {
public:
    ProbeTimer() : hold_(true, true) {}
    ~ProbeTimer() override { StopWorker(plat::kInfinite); }

    void OnTimer() override {
        expiries.fetch_add(1);
        CCdkTimer::OnTimer();
    }
    void OnTick() override {
        tickThread.store(plat::CurrentThreadId());
        inTick.store(true);
        hold_.Wait(plat::kInfinite);
        inTick.store(false);
        ticks.fetch_add(1);
    }
    // Ticks wait until Release.
    void Hold() { hold_.Reset(); }
    void ReleaseTicks() { hold_.Set(); }

    std::atomic<int> expiries{0};
    std::atomic<int> ticks{0};
    std::atomic<bool> inTick{false};
    std::atomic<uint32_t> tickThread{0};

private:
    plat::Event hold_;
};

TEST(Timers, ResolutionIsATenthOfThePeriod) {
    plat::TimerCaps caps;
    ASSERT_TRUE(plat::TimerGetDevCaps(&caps));
    // The last two: periods the timer service does not offer come within its range.
    const struct {
        uint32_t period;
        uint32_t resolution;
    } cases[] = {{50, 5}, {15, 1}, {5000, 500}, {19, 1}, {20, 2}, {0, 1}, {4000000, 400000}};
    for (const auto& c : cases) {
        CmmTimer timer;
        ASSERT_TRUE(timer.Start(c.period, CmmTimer::kModeMultimedia)) << c.period;
        EXPECT_EQ(timer.Period(), Clamp(c.period, caps)) << c.period;
        EXPECT_EQ(timer.Resolution(), Clamp(c.resolution, caps)) << c.period;
        EXPECT_TRUE(timer.Stop());
        EXPECT_FALSE(timer.Running());
    }
    // Worked out once, then kept.
    CmmTimer timer;
    ASSERT_TRUE(timer.Start(5000, CmmTimer::kModeMultimedia));
    ASSERT_TRUE(timer.Start(50, CmmTimer::kModeMultimedia));
    EXPECT_EQ(timer.Resolution(), Clamp(500, caps));
    EXPECT_FALSE(timer.Start(50, 0)) << "only the multimedia mode starts a timer";
    EXPECT_FALSE(timer.Running());
    EXPECT_FALSE(timer.Stop());
}

TEST(Timers, TicksRunOnTheWorkerThread) {
    ProbeTimer timer;
    ASSERT_TRUE(timer.Start(50, 1));
    EXPECT_TRUE(timer.HasWorker());
    ASSERT_TRUE(testutil::WaitUntil([&] { return timer.ticks.load() >= 3; }, 10000));
    EXPECT_NE(timer.tickThread.load(), 0u);
    EXPECT_NE(timer.tickThread.load(), plat::CurrentThreadId());
    EXPECT_TRUE(timer.StopWorker(3000));
    EXPECT_FALSE(timer.HasWorker());
    int after = timer.ticks.load();
    plat::SleepMs(200);
    EXPECT_EQ(timer.ticks.load(), after) << "no tick after the stop";
    // Started again after a stop, it ticks again.
    ASSERT_TRUE(timer.Start(50, 1));
    EXPECT_TRUE(testutil::WaitUntil([&] { return timer.ticks.load() > after; }, 10000));
}

TEST(Timers, LateExpiriesFoldIntoOneTick) {
    ProbeTimer timer;
    timer.Hold();
    ASSERT_TRUE(timer.Start(50, 1));
    ASSERT_TRUE(testutil::WaitUntil([&] { return timer.inTick.load(); }, 10000));
    // While the first tick is held, at least three more periods expire.
    int base = timer.expiries.load();
    ASSERT_TRUE(testutil::WaitUntil([&] { return timer.expiries.load() >= base + 3; }, 10000));
    // No expiries from now on; the worker keeps running.
    timer.Stop();
    timer.ReleaseTicks();
    ASSERT_TRUE(testutil::WaitUntil([&] { return timer.ticks.load() >= 2; }, 10000));
    plat::SleepMs(300);
    EXPECT_EQ(timer.ticks.load(), 2) << "the held tick and one pending tick, not one per expiry";
    EXPECT_TRUE(timer.StopWorker(3000));
}

TEST(Timers, StopWorkerKeepsItsBoundWhileATickRuns) {
    ProbeTimer timer;
    timer.Hold();
    ASSERT_TRUE(timer.Start(50, 1));
    ASSERT_TRUE(testutil::WaitUntil([&] { return timer.inTick.load(); }, 10000));
    uint32_t t0 = plat::TickCount();
    EXPECT_FALSE(timer.StopWorker(300));
    EXPECT_GE(plat::TickCount() - t0, 210u);
    EXPECT_TRUE(timer.HasWorker()) << "a busy worker is kept to be waited for";
    timer.ReleaseTicks();
    EXPECT_TRUE(timer.StopWorker(plat::kInfinite));
    EXPECT_EQ(timer.ticks.load(), 1);
}

// A thread whose end is held up after its procedure returned, as the loader's
// lock holds up the end of every thread on Windows while a host releases the
// driver from a static destructor.
plat::Event* g_exitGate = nullptr;
std::atomic<bool> g_exitDone(false);

struct ExitHold {
    bool armed = false;
    ~ExitHold() {
        if (armed) {
            g_exitGate->Wait(plat::kInfinite);
            g_exitDone.store(true);
        }
    }
};
thread_local ExitHold t_exitHold;

class ExitHeldTimer : public CCdkTimer {
public:
    ~ExitHeldTimer() override { StopWorker(plat::kInfinite); }
    void OnTick() override {
        t_exitHold.armed = true;
        ticked.store(true);
    }
    std::atomic<bool> ticked{false};
};

TEST(Timers, StopWaitsForTheWorkerToLeaveNotForItsThreadToEnd) {
    plat::Event gate(true, false);
    g_exitGate = &gate;
    {
        ExitHeldTimer timer;
        ASSERT_TRUE(timer.Start(20, 1));
        ASSERT_TRUE(testutil::WaitUntil([&] { return timer.ticked.load(); }, 10000));
        EXPECT_TRUE(timer.StopWorker(3000));
        EXPECT_FALSE(timer.HasWorker());
        EXPECT_FALSE(g_exitDone.load()) << "its thread has not ended";
    } // the timer goes while its former thread still exists
    gate.Set();
    EXPECT_TRUE(testutil::WaitUntil([] { return g_exitDone.load(); }, 10000));
}

// A link whose turn is held on an event: the stop has to keep its bound.
class HeldLink : public CPlcDrvLink {
public:
    HeldLink(CLinkTable* owner, std::atomic<bool>* destroyed)
        : CPlcDrvLink(owner), hold_(true, false), destroyed_(destroyed) {}
    ~HeldLink() override {
        StopWorker(plat::kInfinite);
        if (destroyed_)
            destroyed_->store(true);
    }
    void OnTick() override {
        inTick.store(true);
        hold_.Wait(holdMs.load());
        ticks.fetch_add(1);
        inTick.store(false);
    }
    void ReleaseTicks() { hold_.Set(); }

    std::atomic<bool> inTick{false};
    std::atomic<int> ticks{0};
    std::atomic<uint32_t> holdMs{plat::kInfinite};

private:
    plat::Event hold_;
    std::atomic<bool>* destroyed_;
};

TEST(LinkWorker, StartedLinkTicksWithTheScanPeriod) {
    CLinkTable table;
    auto* link = new CPlcDrvLink(&table);
    ASSERT_TRUE(table.InsertLink(link));
    EXPECT_FALSE(link->EnumeratedOnce());
    table.SetScanPeriod(30);
    ASSERT_TRUE(table.StartAll());
    EXPECT_TRUE(link->Running());
    EXPECT_EQ(link->Period(), 30u);
    EXPECT_FALSE(link->Stopping());
    // The first tick runs the (still empty) enumeration pass.
    ASSERT_TRUE(testutil::WaitUntil([&] { return link->EnumeratedOnce(); }, 10000));
    EXPECT_TRUE(link->EnumerationDone());
    EXPECT_FALSE(link->FirstEnumerationRunning());
    // No channel factory: no channel, no pass.
    EXPECT_EQ(link->Channel(), nullptr);
    link->RequestEnumeration();
    EXPECT_TRUE(testutil::WaitUntil([&] { return link->EnumerationDone(); }, 10000));
    EXPECT_TRUE(table.StopAll());
    EXPECT_TRUE(link->Stopping());
    EXPECT_FALSE(link->HasWorker());
}

TEST(LinkWorker, StopReturnsWithinItsBoundWhileATickRuns) {
    CLinkTable table;
    std::atomic<bool> destroyed(false);
    auto* link = new HeldLink(&table, &destroyed);
    ASSERT_TRUE(table.InsertLink(link));
    ASSERT_TRUE(link->StartLink());
    ASSERT_TRUE(testutil::WaitUntil([&] { return link->inTick.load(); }, 10000));
    uint32_t t0 = plat::TickCount();
    EXPECT_FALSE(link->StopLink()) << "the worker is still inside its tick";
    EXPECT_GE(plat::TickCount() - t0, 2500u) << "the stop waits for the tick up to its bound";
    EXPECT_TRUE(link->HasWorker());
    // Once the tick is over the link can go.
    link->ReleaseTicks();
    table.RemoveAll();
    EXPECT_TRUE(destroyed.load());
}

TEST(LinkWorker, UnloadOfTheTableStopsRunningLinks) {
    std::atomic<bool> destroyed(false);
    std::unique_ptr<CLinkTable> table(new CLinkTable);
    auto* link = new HeldLink(table.get(), &destroyed);
    link->holdMs.store(100);
    ASSERT_TRUE(table->InsertLink(link));
    ASSERT_TRUE(table->StartAll());
    ASSERT_TRUE(testutil::WaitUntil([&] { return link->ticks.load() >= 1; }, 10000));
    table.reset();
    EXPECT_TRUE(destroyed.load()) << "a worker that left in time lets its link be freed";
}

} // namespace
