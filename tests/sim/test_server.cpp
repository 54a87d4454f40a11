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
using simtest::Frame;

namespace {

const std::string kRead = std::string("\x05"
                                      "010RA0000006404"
                                      "21"
                                      "\r");
const std::string kReadReply = std::string("\x06"
                                           "0101234ABCD"
                                           "37"
                                           "\r");
// Generous: the machine is shared and Wine is slow.
constexpr uint32_t kWait = 5000;

class SimServer : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(sim.SetValue("D", 100, 0x1234));
        ASSERT_TRUE(sim.SetValue("D", 101, 0xABCD));
        port = sim.Start(0);
        ASSERT_NE(port, 0) << "socket error " << sim.LastError();
    }

    FaultRule Rule(FaultKind kind) {
        FaultRule r;
        r.kind = kind;
        return r;
    }

    Simulator sim;
    uint16_t port = 0;
};

std::string WriteD200(const std::string& hex4) {
    return Frame("010WA000000C802" + hex4);
}

} // namespace

TEST_F(SimServer, AnswersKnownFramesAndLogsThem) {
    Client c(port);
    ASSERT_TRUE(c.Connected());
    EXPECT_EQ(c.Ask(kRead), kReadReply);
    EXPECT_EQ(c.Ask(WriteD200("BEEF")), std::string("\x06"
                                                    "010"
                                                    "37"
                                                    "\r"));
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
    EXPECT_EQ(log[0].request, kRead);
    EXPECT_EQ(log[0].reply, kReadReply);
    EXPECT_EQ(log[1].request, WriteD200("BEEF"));
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

TEST_F(SimServer, EndlessBytesWithoutCrAreRefusedNotBuffered) {
    Client c(port);
    ASSERT_TRUE(c.Send(std::string(1500, 'x')));
    std::string reply = c.ReadReply(kWait);
    EXPECT_EQ(reply, std::string("\x15"
                                 "01001"
                                 "25"
                                 "\r"));
    EXPECT_EQ(c.Ask(kRead), kReadReply);
}

TEST_F(SimServer, OtherStationsGetSilence) {
    Client c(port);
    ASSERT_TRUE(c.Send(Frame("020RA0000006404")));
    EXPECT_EQ(c.ReadOnce(300), "");
    EXPECT_EQ(c.Ask(kRead), kReadReply);
    EXPECT_EQ(sim.FrameLog().size(), 2u);
}

TEST_F(SimServer, NoReplyCarriesTheRequestOutButSendsNothing) {
    FaultRule r = Rule(FaultKind::kNoReply);
    r.count = 1;
    int id = sim.AddFault(r);
    Client c(port);
    ASSERT_TRUE(c.Send(WriteD200("0042")));
    EXPECT_EQ(c.ReadOnce(400), "");
    EXPECT_EQ(sim.Value("D", 200), 0x42u);
    EXPECT_EQ(c.Ask(kRead), kReadReply); // count used up
    EXPECT_EQ(sim.Fired(FaultKind::kNoReply), 1u);
    EXPECT_EQ(sim.RuleFired(id), 1u);
    EXPECT_EQ(sim.FrameLog()[0].fault, static_cast<int>(FaultKind::kNoReply));
    EXPECT_EQ(sim.FrameLog()[0].reply, "");
}

TEST_F(SimServer, DelayedAndLateRepliesComeAfterTheirWait) {
    FaultRule d = Rule(FaultKind::kDelay);
    d.ms = 400;
    d.count = 1;
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
    FaultRule l = Rule(FaultKind::kLate);
    l.ms = 600;
    l.count = 1;
    sim.AddFault(l);
    ASSERT_TRUE(c.Send(WriteD200("0001")));
    EXPECT_EQ(c.ReadOnce(200), "");
    ASSERT_TRUE(c.Send(kRead));
    EXPECT_EQ(c.ReadReply(kWait), std::string("\x06"
                                              "010"
                                              "37"
                                              "\r"));
    EXPECT_EQ(c.ReadReply(kWait), kReadReply);
    EXPECT_EQ(sim.Fired(FaultKind::kLate), 1u);
}

TEST_F(SimServer, SplitRepliesArriveInPieces) {
    FaultRule r = Rule(FaultKind::kSplit);
    r.parts = 3;
    r.ms = 300;
    sim.AddFault(r);
    Client c(port);
    ASSERT_TRUE(c.Send(kRead));
    std::string first = c.ReadOnce(kWait);
    EXPECT_FALSE(first.empty());
    EXPECT_LT(first.size(), kReadReply.size());
    std::string all = first + c.ReadReply(kWait);
    EXPECT_EQ(all, kReadReply);
    EXPECT_EQ(sim.Fired(FaultKind::kSplit), 1u);
}

TEST_F(SimServer, NakAndErrorFaultsReplaceTheReplyAndRefuseTheWork) {
    FaultRule nak = Rule(FaultKind::kNak);
    nak.count = 1;
    sim.AddFault(nak);
    FaultRule err = Rule(FaultKind::kErrorCode);
    err.code = 0x07;
    err.count = 1;
    sim.AddFault(err);
    Client c(port);
    EXPECT_EQ(c.Ask(WriteD200("1111")), std::string("\x15"
                                                    "01000"
                                                    "24"
                                                    "\r"));
    std::string refusal = "\x06"
                          "01207";
    EXPECT_EQ(c.Ask(WriteD200("2222")), refusal + simtest::Xor(refusal) + "\r");
    EXPECT_EQ(sim.Value("D", 200), 0u);
    EXPECT_EQ(c.Ask(WriteD200("3333")), std::string("\x06"
                                                    "010"
                                                    "37"
                                                    "\r"));
    EXPECT_EQ(sim.Value("D", 200), 0x3333u);
    EXPECT_EQ(sim.Fired(FaultKind::kNak), 1u);
    EXPECT_EQ(sim.Fired(FaultKind::kErrorCode), 1u);
}

TEST_F(SimServer, GarbageAndShortRepliesAreMalformed) {
    FaultRule g = Rule(FaultKind::kGarbage);
    g.bytes = 5;
    g.count = 1;
    sim.AddFault(g);
    FaultRule s = Rule(FaultKind::kShort);
    s.count = 1;
    sim.AddFault(s);
    Client c(port);
    std::string garbage = c.Ask(kRead);
    ASSERT_EQ(garbage.size(), 6u);
    EXPECT_NE(garbage[0], '\x06');
    EXPECT_NE(garbage[0], '\x15');
    EXPECT_EQ(garbage.find('\r'), 5u);
    // One data byte short, but otherwise a well-formed frame.
    std::string shortReply = c.Ask(kRead);
    ASSERT_EQ(shortReply.size(), kReadReply.size() - 2);
    EXPECT_EQ(shortReply.substr(0, 10), kReadReply.substr(0, 10));
    EXPECT_EQ(shortReply.substr(10, 2), simtest::Xor(shortReply.substr(0, 10)));
    EXPECT_EQ(c.Ask(kRead), kReadReply);
    EXPECT_EQ(sim.Fired(FaultKind::kGarbage), 1u);
    EXPECT_EQ(sim.Fired(FaultKind::kShort), 1u);
}

TEST_F(SimServer, FaultFiltersPickTheirRequests) {
    FaultRule w = Rule(FaultKind::kNak);
    w.command = 'W';
    int writes = sim.AddFault(w);
    FaultRule third = Rule(FaultKind::kErrorCode);
    third.command = 'R';
    third.skip = 2;
    third.count = 1;
    int thirdId = sim.AddFault(third);
    Client c(port);
    EXPECT_EQ(c.Ask(kRead), kReadReply);
    EXPECT_EQ(c.Ask(kRead), kReadReply);
    EXPECT_EQ(c.Ask(kRead).substr(3, 3), "206");
    EXPECT_EQ(c.Ask(kRead), kReadReply);
    EXPECT_EQ(c.Ask(WriteD200("0001"))[0], '\x15');
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
        EXPECT_EQ(c.Ask(kRead), kReadReply);
        EXPECT_EQ(c.Ask(kRead), kReadReply);
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
        char body[40];
        std::snprintf(body, sizeof body, "010WA%08X02%04X", reg, value);
        if (c.Ask(Frame(body)) != std::string("\x06"
                                              "010"
                                              "37"
                                              "\r"))
            continue;
        std::snprintf(body, sizeof body, "010RA%08X02", reg);
        std::string reply = c.Ask(Frame(body));
        char want[8];
        std::snprintf(want, sizeof want, "%04X", value);
        if (reply.size() == 11 && reply.substr(4, 4) == want)
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
}

TEST(SimServerStart, ABusyPortFails) {
    Simulator a;
    uint16_t port = a.Start(0);
    ASSERT_NE(port, 0);
    Simulator b;
    EXPECT_EQ(b.Start(port), 0);
    EXPECT_NE(b.LastError(), 0);
}
