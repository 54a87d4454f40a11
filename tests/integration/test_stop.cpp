// A link stops within its 3000 ms wait even while its worker is blocked in a
// connect or a receive, on the link's own channel or on the enumeration's
// temporary one.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <mutex>

#include "harness.h"
#include "platform/socket.h"
#include "platform/sync.h"
#include "testutil/testutil.h"

namespace {

using itest::Rig;

// Connects under way, by port, seen through the socket table: a connect that
// hangs shows nothing else.
std::mutex g_connectLock;
std::map<uint16_t, int> g_connecting;
plat::SocketOps g_savedOps;

int CountingConnect(plat::SocketHandle s, uint32_t addrNet, uint16_t portNet) {
    {
        std::lock_guard<std::mutex> hold(g_connectLock);
        ++g_connecting[plat::NetToHost16(portNet)];
    }
    int rc = g_savedOps.connect(s, addrNet, portNet);
    std::lock_guard<std::mutex> hold(g_connectLock);
    --g_connecting[plat::NetToHost16(portNet)];
    return rc;
}

bool Connecting(uint16_t port) {
    std::lock_guard<std::mutex> hold(g_connectLock);
    auto it = g_connecting.find(port);
    return it != g_connecting.end() && it->second > 0;
}

// Stands in for a pass that writes: one block write per tick, whose reply
// may take five receive time-outs.
class WritingLink : public CPlcDrvLink {
public:
    explicit WritingLink(CLinkTable* owner) : CPlcDrvLink(owner), device_(nullptr) {}
    void OnTick() override {
        CPlcDrvLink::OnTick();
        const uint8_t bytes[] = {0, 1};
        if (!Stopping())
            idec::BlockWrite(*this, device_, 'A', 10, bytes, 2);
    }

private:
    CPlcDevice device_;
};

struct StopCase {
    const char* name;
    bool skipped = false;
    bool blocked = false;     // the worker was inside the wait when stopped
    bool workerEnded = false; // within the stop's own wait
    uint32_t stopMs = 0;
    uint32_t destroyMs = 0;
    std::string failure;
};

// Starts the link, waits until inside returns true, then stops and
// destroys it.
void StopWhile(Rig& rig, StopCase* c, const std::function<bool()>& inside) {
    if (!rig.Link().StartLink()) {
        c->failure = "link did not start";
        return;
    }
    c->blocked = testutil::WaitUntil(inside, 10000);
    // Let the worker settle into its wait.
    plat::SleepMs(200);
    const uint32_t start = plat::TickCount();
    rig.Link().StopLink();
    c->stopMs = itest::Since(start);
    c->workerEnded = !rig.Link().HasWorker();
    c->destroyMs = rig.Destroy();
}

TEST(Stop, BoundedWhileTheWorkerWaitsOnTheNetwork) {
    StopCase cases[4];
    cases[0].name = "temporary channel in a receive";
    cases[1].name = "link channel in a receive";
    cases[2].name = "temporary channel in a connect";
    cases[3].name = "link channel in a connect";

    auto receiving = [](StopCase* c, int plcs, const Rig::LinkMaker& make) {
        idecsim::Simulator sim;
        sim.SetNeverAnswer(true);
        if (sim.Start(0) == 0) {
            c->failure = "simulator did not start";
            return;
        }
        Rig rig(sim.Port(), plcs, "01", make);
        StopWhile(rig, c, [&] { return !sim.FrameLog().empty(); });
    };
    auto connecting = [](StopCase* c, int plcs) {
        itest::FullListener full;
        if (!full.Full()) {
            c->skipped = true;
            return;
        }
        Rig rig(full.Port(), plcs);
        StopWhile(rig, c, [&] { return Connecting(full.Port()); });
    };
    g_savedOps = plat::SocketOpsTable();
    plat::SocketOpsTable().connect = CountingConnect;
    itest::RunTogether({
        [&] { receiving(&cases[0], 1, nullptr); },
        [&] { receiving(&cases[1], 0, [](CLinkTable* t) { return new WritingLink(t); }); },
        [&] { connecting(&cases[2], 1); },
        [&] { connecting(&cases[3], 0); },
    });
    plat::SocketOpsTable() = g_savedOps;

    for (const StopCase& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.skipped) {
            std::printf("[ SKIPPED  ] %s: the listen queue never filled here\n", c.name);
            continue;
        }
        EXPECT_EQ(c.failure, "");
        EXPECT_TRUE(c.blocked);
        EXPECT_TRUE(c.workerEnded) << "stop took " << c.stopMs << " ms";
        // The stop's wait and one exchange time-out at the very most.
        EXPECT_LT(c.stopMs + c.destroyMs, 3000u + 5000u);
    }
}

} // namespace
