// The link turn around its channel: a PLC that refuses connections, and
// passes that run only on a connected channel, at the read interval.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>

#include "harness.h"
#include "platform/sync.h"
#include "testutil/fault_sockets.h"
#include "testutil/testutil.h"

namespace {

using itest::Rig;

// Passes of one block on the engine's channel, counted.
CPlcDevice* gCounted = nullptr;
std::atomic<int> gWritePasses{0}, gReadPasses{0};

class CountingChannel : public CEngineLinkChannel {
public:
    using CEngineLinkChannel::CEngineLinkChannel;
    bool WriteQueue(CPlcDrvLink& link, CPlcDevice& device) override {
        gWritePasses += &device == gCounted;
        return CEngineLinkChannel::WriteQueue(link, device);
    }
    bool ReadScan(CPlcDrvLink& link, CPlcDevice& device) override {
        gReadPasses += &device == gCounted;
        return CEngineLinkChannel::ReadScan(link, device);
    }
    static CLinkChannel* Create(const IDecOpenParams* params) {
        return new CountingChannel(params);
    }
};

// A block D whose passes are counted; every tick may read.
void CountPasses(Rig& rig) {
    gCounted = &rig.AddBlock("D", 7999);
    gWritePasses = 0;
    gReadPasses = 0;
    rig.Table().SetChannelFactory(&CountingChannel::Create);
    rig.Table().SetReadInterval(0);
}

// Without a connection a tick only tries to connect: no pass runs.
TEST(LinkTurn, RefusedConnectionIsRetriedEveryTickWithoutPasses) {
    const uint16_t port = itest::DeadPort();
    ASSERT_NE(port, 0);
    Rig rig(port, 1);
    CountPasses(rig);
    {
        testutil::FaultSockets counts; // counts only, fails nothing
        for (int tick = 0, before = 0; tick < 3; ++tick) {
            rig.Link().OnTick();
            const int now = counts.Calls(testutil::SockOp::kConnect);
            EXPECT_GT(now, before) << "no connect attempt on tick " << tick;
            before = now;
        }
    }
    EXPECT_EQ(gWritePasses.load() + gReadPasses.load(), 0);
    CIDecComBase* channel = rig.Channel();
    ASSERT_NE(channel, nullptr);
    EXPECT_FALSE(rig.Connected());
    EXPECT_EQ(channel->GetLastSocketError(), 10061);
    WChar text[idec::kErrorTextCap];
    channel->GetErrorText(10061, text, idec::kErrorTextCap);
    EXPECT_EQ(testutil::Narrow(text), "[WSAECONNREFUSED]-Connection refused..");
}

// A connected tick writes every time and reads only once the read interval
// has passed since its last read.
TEST(LinkTurn, ConnectedTicksWriteEachTimeAndReadOncePerInterval) {
    idecsim::Simulator sim;
    ASSERT_NE(sim.Start(0), 0);
    Rig rig(sim.Port(), 1);
    CountPasses(rig);
    rig.Link().OnTick();
    ASSERT_TRUE(rig.Connected());
    // An interval that never passes.
    rig.Table().SetReadInterval(UINT32_MAX);
    for (int tick = 0; tick < 4; ++tick) {
        // The tick count moves between ticks, as it does at any scan period.
        const uint32_t before = plat::TickCount();
        while (plat::TickCount() == before)
            plat::SleepMs(1);
        rig.Link().OnTick();
    }
    EXPECT_EQ(gWritePasses.load(), 5);
    EXPECT_EQ(gReadPasses.load(), 1);
}

// An enumeration closes the link's channel; when the connect that follows
// fails, the blocks show it after that same tick.
TEST(LinkTurn, AConnectionAnEnumerationEndedShowsInTheSameTick) {
    idecsim::Simulator sim;
    ASSERT_NE(sim.Start(0), 0);
    Rig rig(sim.Port(), 1);
    CPlcDevice& d = rig.AddBlock("D", 7999);
    rig.Link().OnTick();
    ASSERT_TRUE(rig.Connected());
    sim.Stop();
    d.deviceStatus.store(0);
    rig.Link().RequestEnumeration();
    rig.Link().OnTick();
    EXPECT_FALSE(rig.Connected());
    EXPECT_EQ(d.deviceStatus.load(), model::kStatusNoAnswer);
}

} // namespace
