// A link stops within its 3000 ms wait even while its worker is blocked in a
// connect or a receive, on the link's own channel or on the enumeration's
// temporary one.
#include <gtest/gtest.h>

#include <cstdio>
#include <mutex>
#include <set>

#include "harness.h"
#include "platform/socket.h"
#include "platform/sync.h"
#include "testutil/fault_sockets.h"
#include "testutil/testutil.h"

namespace {

using itest::Rig;

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
    rig.Destroy();
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
    // Ports a connect went to: one to a full listener hangs until closed.
    std::mutex lock;
    std::set<uint16_t> connected;
    testutil::FaultSockets sockets;
    sockets.SetHook([&](testutil::SockOp op, const void* data, int) {
        if (op == testutil::SockOp::kConnect) {
            std::lock_guard<std::mutex> hold(lock);
            connected.insert(plat::NetToHost16(*static_cast<const uint16_t*>(data)));
        }
        return 0;
    });
    auto connecting = [&](StopCase* c, int plcs) {
        itest::FullListener full;
        if (!full.Full()) {
            c->skipped = true;
            return;
        }
        Rig rig(full.Port(), plcs);
        StopWhile(rig, c, [&] {
            std::lock_guard<std::mutex> hold(lock);
            return connected.count(full.Port()) != 0;
        });
    };
    itest::RunTogether({
        [&] { receiving(&cases[0], 1, nullptr); },
        [&] { receiving(&cases[1], 0, [](CLinkTable* t) { return new WritingLink(t); }); },
        [&] { connecting(&cases[2], 1); },
        [&] { connecting(&cases[3], 0); },
    });

    for (const StopCase& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.skipped) {
            std::printf("[ SKIPPED  ] %s: the listen queue never filled here\n", c.name);
            continue;
        }
        EXPECT_EQ(c.failure, "");
        EXPECT_TRUE(c.blocked);
        // Ended by the stop's own bounded wait, not by a time-out later.
        EXPECT_TRUE(c.workerEnded) << "stop took " << c.stopMs << " ms";
    }
}

} // namespace
