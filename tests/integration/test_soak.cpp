// A running link against a simulator that injects every fault kind at random
// for a few seconds: the link keeps ticking, reconnects, never stores another
// request's data as its own, and works normally once the faults stop.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <random>

#include "harness.h"
#include "platform/sync.h"
#include "testutil/testutil.h"

namespace {

using idecsim::FaultKind;
using idecsim::FaultRule;
using itest::Rig;

const uint8_t kD100[] = {0x11, 0x22, 0x33, 0x44};
const uint8_t kD200[] = {0x55, 0x66, 0x77, 0x88};

// Stands in for the passes: each tick reads two runs whose values differ,
// reads one bit and writes one word, through the engine's exchanges.
class ScanningLink : public CPlcDrvLink {
public:
    explicit ScanningLink(CLinkTable* owner) : CPlcDrvLink(owner), device_(nullptr) {}

    void OnTick() override {
        ticks.fetch_add(1);
        CPlcDrvLink::OnTick();
        CLinkChannel* channel = Channel();
        if (Stopping() || !channel || !channel->IsConnected(false))
            return;
        if (!Read(100, kD100) || !Read(200, kD200))
            return;
        bool on = false;
        if (idec::BitRead(*this, device_, 'x', 15, &on) == 0 && !on)
            wrongData.fetch_add(1);
        const uint8_t bytes[] = {static_cast<uint8_t>(ticks.load()), 0x5A};
        idec::BlockWrite(*this, device_, 'A', 300, bytes, 2);
    }

    std::atomic<uint64_t> ticks{0};
    std::atomic<uint64_t> goodReads{0};
    std::atomic<uint64_t> failedReads{0};
    std::atomic<uint64_t> wrongData{0};

private:
    // False when the read got no reply: the rest of the tick would only
    // wait as long again.
    bool Read(int32_t address, const uint8_t* expected) {
        uint8_t data[4] = {};
        const int32_t status = idec::BlockRead(*this, device_, 'A', address, 4, data);
        if (status != 0) {
            failedReads.fetch_add(1);
            return status != idec::kStatusRecvTimeout;
        }
        if (std::memcmp(data, expected, sizeof data) != 0)
            wrongData.fetch_add(1);
        else
            goodReads.fetch_add(1);
        return true;
    }

    CPlcDevice device_;
};

FaultRule Chance(FaultKind kind, double probability, int64_t ms = -1) {
    FaultRule r;
    r.kind = kind;
    r.probability = probability;
    r.ms = ms;
    return r;
}

TEST(Soak, RandomFaultsWhileTheLinkRuns) {
    idecsim::Simulator sim;
    sim.SetSeed(20261206);
    sim.SetValue("D", 100, 0x1122);
    sim.SetValue("D", 101, 0x3344);
    sim.SetValue("D", 200, 0x5566);
    sim.SetValue("D", 201, 0x7788);
    sim.SetValue("I", 15, 1);
    sim.SetAddressList('A', {100, 101, 200, 201});
    sim.AddFault(Chance(FaultKind::kNoReply, 0.02));
    sim.AddFault(Chance(FaultKind::kLate, 0.02, 2300));
    sim.AddFault(Chance(FaultKind::kDelay, 0.05, 300));
    FaultRule split = Chance(FaultKind::kSplit, 0.08, 30);
    split.parts = 3;
    sim.AddFault(split);
    sim.AddFault(Chance(FaultKind::kNak, 0.05));
    sim.AddFault(Chance(FaultKind::kErrorCode, 0.05));
    sim.AddFault(Chance(FaultKind::kGarbage, 0.05));
    sim.AddFault(Chance(FaultKind::kShort, 0.05));
    ASSERT_NE(sim.Start(0), 0);

    ScanningLink* link = nullptr;
    Rig rig(sim.Port(), 1, "01", [&link](CLinkTable* t) {
        link = new ScanningLink(t);
        return link;
    });
    ASSERT_TRUE(rig.Link().StartLink());

    // Connection faults, switched on and off in turn; the enumeration asked
    // for again now and then.
    std::mt19937 rng(7);
    const uint32_t start = plat::TickCount();
    uint64_t ticksSeen = 0;
    for (int round = 0; itest::Since(start) < 6000; ++round) {
        switch (round % 4) {
        case 0:
            sim.SetCloseAfter(1 + static_cast<int64_t>(rng() % 12));
            break;
        case 1:
            sim.SetCloseAfter(-1);
            sim.SetRefuseConnections(true);
            break;
        case 2:
            sim.SetRefuseConnections(false);
            sim.SetNeverAnswer(true);
            break;
        default:
            sim.SetNeverAnswer(false);
            rig.Link().RequestEnumeration();
            break;
        }
        plat::SleepMs(round % 4 == 2 ? 150 : 500);
        ticksSeen = link->ticks.load();
    }

    sim.ClearFaults();
    sim.SetCloseAfter(-1);
    sim.SetRefuseConnections(false);
    sim.SetNeverAnswer(false);
    const uint64_t goodBefore = link->goodReads.load();
    // A connection made while the PLC was mute times out and is replaced.
    EXPECT_TRUE(
        testutil::WaitUntil([&] { return link->goodReads.load() >= goodBefore + 10; }, 20000))
        << "no recovery after the faults stopped";

    EXPECT_EQ(link->wrongData.load(), 0u);
    // The worker went on ticking through the faults; how often depends on
    // how long the faulty exchanges waited on a loaded machine.
    EXPECT_GE(ticksSeen, 3u);
    EXPECT_GT(link->failedReads.load(), 0u);
    EXPECT_GT(sim.TotalConnections(), 2u);
    uint64_t fired = 0;
    for (int k = 0; k < idecsim::kFaultKindCount; ++k)
        fired += sim.Fired(static_cast<FaultKind>(k));
    EXPECT_GT(fired, 0u);
    EXPECT_TRUE(rig.Link().WorkerRunning());
    EXPECT_EQ(sim.Value("D", 300) & 0xFF, 0x5Au);
}

} // namespace
