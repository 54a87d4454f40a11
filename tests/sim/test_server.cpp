// The simulator over TCP, seen from a plain socket client: framing, faults,
// the frame log and many connections.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <vector>

#include "IdecSim.h"
#include "platform/sync.h"
#include "sim_client.h"
#include "testutil/testutil.h"

using idecsim::FaultKind;
using idecsim::FaultRule;
using idecsim::Simulator;
using simtest::Client;
using simtest::Reply;

namespace {

const std::string kRead = simtest::Frame("010RA0000006404");
const std::string kReadReply = Reply("+1234ABCD");
const std::string kOk = Reply("+");
// Generous: the machine is shared and Wine is slow.
constexpr uint32_t kWait = 5000;

std::string WriteD200(const std::string& hex4) {
    return simtest::Frame("010WA000000C802" + hex4);
}

FaultRule Rule(FaultKind kind, int count = -1) {
    FaultRule r;
    r.kind = kind;
    if (count >= 0)
        r.count = count;
    return r;
}

class SimServer : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(sim.SetValue("D", 100, 0x1234));
        ASSERT_TRUE(sim.SetValue("D", 101, 0xABCD));
        port = sim.Start(0);
        ASSERT_NE(port, 0) << "socket error " << sim.LastError();
    }

    Simulator sim;
    uint16_t port = 0;
};

} // namespace

TEST_F(SimServer, AnswersKnownFramesAndLogsThem) {
    Client c(port);
    ASSERT_TRUE(c.Connected());
    EXPECT_EQ(c.Ask(kRead), kReadReply);
    EXPECT_EQ(c.Ask(WriteD200("BEEF")), kOk);
    EXPECT_EQ(sim.Value("D", 200), 0xBEEFu);
    // A request in pieces, and two requests in one segment.
    ASSERT_TRUE(c.Send(kRead.substr(0, 7)));
    plat::SleepMs(50);
    ASSERT_TRUE(c.Send(kRead.substr(7)));
    EXPECT_EQ(c.ReadReply(kWait), kReadReply);
    ASSERT_TRUE(c.Send(kRead + kRead));
    EXPECT_EQ(c.ReadReply(kWait), kReadReply);
    EXPECT_EQ(c.ReadReply(kWait), kReadReply);

    std::vector<idecsim::Exchange> log = sim.FrameLog();
    ASSERT_EQ(log.size(), 5u);
    EXPECT_EQ(log[0].request + log[0].reply + log[1].request,
              kRead + kReadReply + WriteD200("BEEF"));
    for (size_t i = 0; i < log.size(); ++i) {
        EXPECT_EQ(log[i].connection, 1u);
        EXPECT_EQ(log[i].fault, -1);
        if (i > 0) {
            EXPECT_EQ(log[i].seq, log[i - 1].seq + 1);
            EXPECT_GE(log[i].timeMs, log[i - 1].timeMs);
        }
    }
    sim.ClearFrameLog();
    EXPECT_TRUE(sim.FrameLog().empty());
}

TEST_F(SimServer, EndlessBytesWithoutCrAndOtherStations) {
    Client c(port);
    ASSERT_TRUE(c.Send(std::string(1500, 'x')));
    EXPECT_EQ(c.ReadReply(kWait), Reply("!01"));
    EXPECT_EQ(c.Ask(kRead), kReadReply);
    ASSERT_TRUE(c.Send(simtest::Frame("020RA0000006404")));
    EXPECT_EQ(c.ReadOnce(300), "");
    EXPECT_EQ(c.Ask(kRead), kReadReply);
    EXPECT_EQ(sim.FrameLog().size(), 4u);
}

// Faults that replace a reply: each used once, then the plain answer.
TEST_F(SimServer, NoReplyNakAndErrorFaultsReplaceTheReply) {
    FaultRule err = Rule(FaultKind::kErrorCode, 1);
    err.code = 0x07;
    const struct {
        FaultRule rule;
        const char* reply;
        uint32_t d200; // a refused write changes nothing
    } rows[] = {{Rule(FaultKind::kNoReply, 1), "", 0x42},
                {Rule(FaultKind::kNak, 1), "!00", 0},
                {err, "?07", 0}};
    for (const auto& r : rows) {
        SCOPED_TRACE(r.reply);
        sim.ClearFaults();
        sim.ClearFrameLog();
        ASSERT_TRUE(sim.SetValue("D", 200, 0));
        const int id = sim.AddFault(r.rule);
        Client c(port);
        ASSERT_TRUE(c.Send(WriteD200("0042")));
        EXPECT_EQ(*r.reply ? c.ReadReply(kWait) : c.ReadOnce(400), Reply(r.reply));
        EXPECT_EQ(sim.Value("D", 200), r.d200);
        EXPECT_EQ(c.Ask(kRead), kReadReply); // count used up
        EXPECT_EQ(sim.Fired(r.rule.kind), 1u);
        EXPECT_EQ(sim.RuleFired(id), 1u);
        EXPECT_EQ(sim.FrameLog()[0].fault, static_cast<int>(r.rule.kind));
        EXPECT_EQ(sim.FrameLog()[0].reply, Reply(r.reply));
    }
}

TEST_F(SimServer, DelayedAndLateRepliesComeAfterTheirWait) {
    FaultRule d = Rule(FaultKind::kDelay, 1);
    d.ms = 400;
    sim.AddFault(d);
    Client c(port);
    uint32_t start = plat::TickCount();
    ASSERT_TRUE(c.Send(kRead));
    EXPECT_EQ(c.ReadOnce(100), "");
    EXPECT_EQ(c.ReadReply(kWait), kReadReply);
    EXPECT_GE(plat::TickCount() - start, 280u);
    EXPECT_EQ(sim.Fired(FaultKind::kDelay), 1u);

    // A late reply arrives after the client gave up and asked again: it is
    // the first thing the next read sees.
    FaultRule l = Rule(FaultKind::kLate, 1);
    l.ms = 600;
    sim.AddFault(l);
    ASSERT_TRUE(c.Send(WriteD200("0001")));
    EXPECT_EQ(c.ReadOnce(200), "");
    ASSERT_TRUE(c.Send(kRead));
    EXPECT_EQ(c.ReadReply(kWait), kOk);
    EXPECT_EQ(c.ReadReply(kWait), kReadReply);
    EXPECT_EQ(sim.Fired(FaultKind::kLate), 1u);
}

TEST_F(SimServer, SplitGarbageAndShortReplies) {
    FaultRule split = Rule(FaultKind::kSplit, 1);
    split.parts = 3;
    split.ms = 300;
    sim.AddFault(split);
    FaultRule g = Rule(FaultKind::kGarbage, 1);
    g.bytes = 5;
    sim.AddFault(g);
    sim.AddFault(Rule(FaultKind::kShort, 1));
    Client c(port);
    ASSERT_TRUE(c.Send(kRead));
    std::string first = c.ReadOnce(kWait);
    EXPECT_FALSE(first.empty());
    EXPECT_LT(first.size(), kReadReply.size());
    EXPECT_EQ(first + c.ReadReply(kWait), kReadReply);

    std::string garbage = c.Ask(kRead);
    ASSERT_EQ(garbage.size(), 6u);
    EXPECT_NE(garbage[0], '\x06');
    EXPECT_NE(garbage[0], '\x15');
    EXPECT_EQ(garbage.find('\r'), 5u);
    // One data byte short, but otherwise a well-formed frame.
    EXPECT_EQ(c.Ask(kRead), Reply("+1234AB"));
    EXPECT_EQ(c.Ask(kRead), kReadReply);
    for (FaultKind k : {FaultKind::kSplit, FaultKind::kGarbage, FaultKind::kShort})
        EXPECT_EQ(sim.Fired(k), 1u) << static_cast<int>(k);
}

TEST_F(SimServer, FaultFiltersPickTheirRequests) {
    FaultRule w = Rule(FaultKind::kNak);
    w.command = 'W';
    int writes = sim.AddFault(w);
    FaultRule third = Rule(FaultKind::kErrorCode, 1);
    third.command = 'R';
    third.skip = 2;
    int thirdId = sim.AddFault(third);
    Client c(port);
    for (const char* r : {"+1234ABCD", "+1234ABCD", "?06", "+1234ABCD"})
        EXPECT_EQ(c.Ask(kRead), Reply(r));
    EXPECT_EQ(c.Ask(WriteD200("0001")), Reply("!00"));
    EXPECT_EQ(sim.RuleFired(writes), 1u);
    EXPECT_EQ(sim.RuleFired(thirdId), 1u);

    // A fault for the second connection only.
    sim.ClearFaults();
    FaultRule second = Rule(FaultKind::kNoReply);
    second.connection = 2;
    sim.AddFault(second);
    Client c2(port);
    EXPECT_EQ(c.Ask(kRead), kReadReply);
    ASSERT_TRUE(c2.Send(kRead));
    EXPECT_EQ(c2.ReadOnce(300), "");
    EXPECT_EQ(sim.Fired(FaultKind::kNoReply), 1u);
}

TEST_F(SimServer, ProbabilitiesFireSometimes) {
    FaultRule never = Rule(FaultKind::kGarbage);
    never.probability = 0.0;
    int neverId = sim.AddFault(never);
    FaultRule half = Rule(FaultKind::kNak);
    half.probability = 0.5;
    int halfId = sim.AddFault(half);
    Client c(port);
    int naks = 0;
    for (int i = 0; i < 200; ++i) {
        std::string reply = c.Ask(kRead);
        ASSERT_FALSE(reply.empty());
        naks += reply[0] == '\x15';
    }
    EXPECT_EQ(sim.RuleFired(neverId), 0u);
    EXPECT_EQ(sim.RuleFired(halfId), static_cast<uint64_t>(naks));
    EXPECT_GT(naks, 40);
    EXPECT_LT(naks, 160);
}

TEST_F(SimServer, ConnectionFaults) {
    sim.SetCloseAfter(2);
    {
        Client c(port);
        EXPECT_EQ(c.Ask(kRead) + c.Ask(kRead), kReadReply + kReadReply);
        EXPECT_TRUE(c.WaitClosed(kWait));
    }
    EXPECT_EQ(sim.Fired(FaultKind::kCloseAfter), 1u);
    sim.SetCloseAfter(-1);

    sim.SetRefuseConnections(true);
    {
        Client c(port);
        ASSERT_TRUE(c.Connected());
        EXPECT_TRUE(c.WaitClosed(kWait));
    }
    EXPECT_EQ(sim.Fired(FaultKind::kRefuse), 1u);
    sim.SetRefuseConnections(false);

    sim.SetNeverAnswer(true);
    {
        Client c(port);
        ASSERT_TRUE(c.Send(kRead));
        EXPECT_EQ(c.ReadOnce(400), "");
        EXPECT_FALSE(c.WaitClosed(100));
        EXPECT_TRUE(testutil::WaitUntil([this] { return sim.ConnectionCount() == 1; }, kWait));
        EXPECT_TRUE(
            testutil::WaitUntil([this] { return sim.Fired(FaultKind::kNeverAnswer) == 1; }, kWait));
        sim.SetNeverAnswer(false); // only new connections speak again
        ASSERT_TRUE(c.Send(kRead));
        EXPECT_EQ(c.ReadOnce(300), "");
    }
    Client c(port);
    EXPECT_EQ(c.Ask(kRead), kReadReply);
    EXPECT_EQ(sim.TotalConnections(), 4u);
}

namespace {

struct Worker {
    uint16_t port = 0;
    int index = 0;
    std::atomic<int> good{0};
    plat::Thread thread;
};

unsigned RunWorker(void* p) {
    Worker* w = static_cast<Worker*>(p);
    Client c(w->port);
    const unsigned reg = 300u + static_cast<unsigned>(w->index);
    for (int i = 0; i < 40; ++i) {
        const unsigned value = static_cast<unsigned>(i * 16 + w->index);
        char write[40], read[40], want[8];
        std::snprintf(write, sizeof write, "010WA%08X02%04X", reg, value);
        std::snprintf(read, sizeof read, "010RA%08X02", reg);
        std::snprintf(want, sizeof want, "+%04X", value);
        if (c.Ask(simtest::Frame(write)) == kOk && c.Ask(simtest::Frame(read)) == Reply(want))
            ++w->good;
    }
    return 0;
}

} // namespace

TEST_F(SimServer, ManyClientsAtOnce) {
    const int kClients = 12;
    std::vector<std::unique_ptr<Worker>> workers;
    for (int i = 0; i < kClients; ++i) {
        workers.emplace_back(new Worker);
        workers.back()->port = port;
        workers.back()->index = i;
    }
    for (auto& w : workers)
        ASSERT_TRUE(w->thread.Start(RunWorker, w.get()));
    for (auto& w : workers)
        ASSERT_TRUE(w->thread.Join(60000));
    for (auto& w : workers)
        EXPECT_EQ(w->good.load(), 40) << "client " << w->index;
    EXPECT_EQ(sim.TotalConnections(), static_cast<uint32_t>(kClients));
    EXPECT_EQ(sim.FrameLog().size(), static_cast<size_t>(kClients * 80));
    EXPECT_TRUE(testutil::WaitUntil([this] { return sim.ConnectionCount() == 0; }, kWait));
}

TEST_F(SimServer, StopClosesConnectionsAndStartsAgain) {
    Client c(port);
    EXPECT_EQ(c.Ask(kRead), kReadReply);
    EXPECT_EQ(sim.ConnectionCount(), 1u);
    sim.Stop();
    EXPECT_FALSE(sim.Running());
    EXPECT_TRUE(c.WaitClosed(kWait));
    EXPECT_EQ(sim.ConnectionCount(), 0u);
    uint16_t again = sim.Start(0);
    ASSERT_NE(again, 0);
    Client c2(again);
    EXPECT_EQ(c2.Ask(kRead), kReadReply); // memory survives a restart
    // A busy port fails.
    Simulator b;
    EXPECT_EQ(b.Start(again), 0);
    EXPECT_NE(b.LastError(), 0);
}
