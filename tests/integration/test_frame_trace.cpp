// The frame trace of a running link: on when the settings name a file, and
// nothing formats records when they do not.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "harness.h"
#include "support/LockGuard.h"
#include "testutil/testutil.h"

namespace {

using itest::Rig;

TEST(FrameTraceLink, EveryExchangeOfATickIsTracedOnlyWhenAsked) {
    for (bool traced : {true, false}) {
        SCOPED_TRACE(traced ? "a trace file" : "no setting");
        idecsim::Simulator sim;
        ASSERT_TRUE(sim.SetValue("D", 100, 1234));
        ASSERT_NE(sim.Start(0), 0);
        testutil::TempDir dir;
        const testutil::WString path = dir.Join("frames.log");
        {
            Rig rig(sim.Port(), 1);
            if (traced)
                rig.Table().SetTraceFile(path.c_str());
            rig.Link().OnTick(); // the enumeration's queries, then the connection
            ASSERT_TRUE(rig.Connected());
            auto* channel = dynamic_cast<CEngineLinkChannel*>(rig.Link().Channel());
            ASSERT_NE(channel, nullptr);
            EXPECT_EQ(channel->Trace() != nullptr, traced);
        }
        EXPECT_FALSE(sim.FrameLog().empty());
        if (!traced)
            continue;
        const std::string text = testutil::ReadFile(path);
        // Every address-list query went out, and each got its reply with it.
        for (char letter : std::string("xyarTtCcAdek"))
            EXPECT_NE(text.find(std::string("> <ENQ>010L") + letter), std::string::npos)
                << letter << "\n"
                << text;
        EXPECT_NE(text.find("< <ACK>010000000010000006434<CR>"), std::string::npos) << text;
        EXPECT_EQ(sim.FrameLog().size() * 2,
                  static_cast<size_t>(std::count(text.begin(), text.end(), '\n')))
            << "one request and one reply line per frame";
    }
}

// The worker looks up the trace file under the link lock. A host thread
// holding the table lock (a listing, a reload, a stop waiting for the
// worker) must not hold it up there.
TEST(FrameTraceLink, TheWorkerTracesWhileTheTableIsHeld) {
    idecsim::Simulator sim;
    ASSERT_NE(sim.Start(0), 0);
    testutil::TempDir dir;
    const testutil::WString path = dir.Join("frames.log");
    Rig rig(sim.Port(), 1);
    rig.Table().SetTraceFile(path.c_str());
    LockGuard host(&rig.Table().Lock());
    ASSERT_TRUE(rig.Link().StartLink());
    // The enumeration's twelve list queries.
    EXPECT_TRUE(testutil::WaitUntil([&] { return sim.FrameLog().size() >= 12; }, 10000));
    host.UnlockAll();
    rig.Link().StopLink();
    EXPECT_NE(testutil::ReadFile(path).find("> <ENQ>010Lx"), std::string::npos);
}

} // namespace
