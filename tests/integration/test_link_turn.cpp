// The link turn around its channel: a peer that hangs up, a PLC that refuses
// connections, and passes that run only on a connected channel.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>

#include "harness.h"
#include "platform/sync.h"
#include "testutil/fault_sockets.h"
#include "testutil/testutil.h"

namespace {

using idecsim::FaultKind;
using idecsim::FaultRule;
using itest::Rig;
using testutil::Narrow;

std::string ErrorText(CIDecComBase& channel, int code) {
    WChar text[idec::kErrorTextCap];
    channel.GetErrorText(code, text, idec::kErrorTextCap);
    return Narrow(text);
}

// Holds the link lock on a thread of its own while the test runs a tick: a
// tick that starts a pass waits for it.
class LockHolder {
public:
    explicit LockHolder(plat::CriticalSection& lock)
        : release_(true, false), held_(false), thread_([this, &lock] {
              lock.Enter();
              held_.store(true);
              release_.Wait(plat::kInfinite);
              lock.Leave();
          }) {
        while (!held_.load())
            plat::SleepMs(1);
    }
    ~LockHolder() {
        Release();
        thread_.join();
    }
    void Release() { release_.Set(); }

private:
    plat::Event release_;
    std::atomic<bool> held_;
    std::thread thread_;
};

// Runs one tick on a thread; tells whether it finished within ms.
class TickRunner {
public:
    explicit TickRunner(CPlcDrvLink& link)
        : done_(false), thread_([this, &link] {
              link.OnTick();
              done_.store(true);
          }) {}
    ~TickRunner() { thread_.join(); }
    bool DoneWithin(uint32_t ms) {
        return testutil::WaitUntil([this] { return done_.load(); }, ms);
    }

private:
    std::atomic<bool> done_;
    std::thread thread_;
};

TEST(LinkTurn, PeerCloseGives102AndTheNextTickReconnects) {
    idecsim::Simulator sim;
    ASSERT_NE(sim.Start(0), 0);
    Rig rig(sim.Port(), 0);
    CPlcDevice d(nullptr);
    rig.Link().OnTick();
    ASSERT_TRUE(rig.Connected());
    ASSERT_TRUE(testutil::WaitUntil([&] { return sim.TotalConnections() == 1; }, 5000));

    // The PLC hangs up on the next request instead of answering it.
    FaultRule silent;
    silent.kind = FaultKind::kNoReply;
    silent.count = 1;
    sim.AddFault(silent);
    sim.SetCloseAfter(1);
    uint8_t data[2];
    const uint32_t start = plat::TickCount();
    EXPECT_EQ(idec::BlockRead(rig.Link(), d, 'A', 0, 2, data), idec::kStatusRecvTimeout);
    // The close ends the exchange at once, not after its time-out.
    EXPECT_LT(itest::Since(start), 1500u);
    CIDecComBase* channel = rig.Channel();
    ASSERT_NE(channel, nullptr);
    EXPECT_EQ(channel->GetLastSocketError(), idec::kErrRemoteClosed);
    EXPECT_EQ(ErrorText(*channel, channel->GetLastSocketError()), "Disconnected by remote.");
    EXPECT_EQ(channel->GetState(), idec::kStateClosed);

    sim.SetCloseAfter(-1);
    rig.Link().OnTick();
    EXPECT_TRUE(rig.Connected());
    EXPECT_TRUE(testutil::WaitUntil([&] { return sim.TotalConnections() == 2; }, 5000));
    EXPECT_EQ(idec::BlockRead(rig.Link(), d, 'A', 0, 2, data), 0);
}

TEST(LinkTurn, RefusedConnectionIsRetriedEveryTickWithoutPasses) {
    const uint16_t port = itest::DeadPort();
    ASSERT_NE(port, 0);
    Rig rig(port, 1);
    {
        testutil::FaultSockets counts; // counts only, fails nothing
        int before = 0;
        for (int tick = 0; tick < 3; ++tick) {
            LockHolder hold(rig.Link().Lock());
            TickRunner run(rig.Link());
            EXPECT_TRUE(run.DoneWithin(10000)) << "a pass ran on tick " << tick;
            hold.Release(); // before the runner joins its tick
            const int now = counts.Calls(testutil::SockOp::kConnect);
            EXPECT_GT(now, before) << "no connect attempt on tick " << tick;
            before = now;
        }
    }
    CIDecComBase* channel = rig.Channel();
    ASSERT_NE(channel, nullptr);
    EXPECT_FALSE(rig.Connected());
    EXPECT_EQ(channel->GetLastSocketError(), 10061);
    EXPECT_EQ(ErrorText(*channel, 10061), "[WSAECONNREFUSED]-Connection refused..");
}

// Passes of one block on the engine's channel, counted.
CPlcDevice* gCounted = nullptr;
std::atomic<int> gWritePasses{0};
std::atomic<int> gReadPasses{0};

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

// A connected tick writes every time and reads only once the read interval
// has passed since its last read.
TEST(LinkTurn, ConnectedTicksWriteEachTimeAndReadOncePerInterval) {
    idecsim::Simulator sim;
    ASSERT_NE(sim.Start(0), 0);
    Rig rig(sim.Port(), 1);
    gCounted = &rig.AddBlock("D", 7999);
    rig.Table().SetChannelFactory(&CountingChannel::Create);
    rig.Table().SetReadInterval(0);
    rig.Link().OnTick();
    ASSERT_TRUE(rig.Connected());
    // An interval that never passes.
    rig.Table().SetReadInterval(UINT32_MAX);
    for (int tick = 0; tick < 4; ++tick)
        rig.Link().OnTick();
    EXPECT_EQ(gWritePasses.load(), 5);
    EXPECT_EQ(gReadPasses.load(), 1);
}

} // namespace
