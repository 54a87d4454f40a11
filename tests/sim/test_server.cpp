// The simulator over TCP, seen from a plain socket client: framing, faults,
// the frame log and many connections.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <sstream>
#include <thread>
#include <vector>

#include "CommandLine.h"
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
// Generous: the machine is shared and Wine is slow.
constexpr uint32_t kWait = 5000;

// A rule as --fault spells it.
FaultRule Rule(const std::string& text) {
    FaultRule r;
    std::string error;
    EXPECT_TRUE(idecsim::ParseFaultOption(text, &r, &error)) << error;
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

    // Steps "ASK REPLY" (simtest::Steps). ASK: "R" reads D100-D101, "WHHHH"
    // writes D200, "." sends nothing, "D200?" checks the value there (REPLY in
    // hex), else simtest::Request. REPLY: simtest::Reply, none for silence,
    // "/" before it when it must come in pieces, "@MS" after it when not
    // sooner, "*N" for N bytes of garbage ending in CR. Returns all received.
    std::string Talk(Client& c, const std::string& script) {
        std::string all;
        for (const auto& s : simtest::Steps(script)) {
            SCOPED_TRACE(s.first + " " + s.second);
            std::string ask = s.first, want = s.second;
            if (ask == "D200?") {
                EXPECT_EQ(sim.Value("D", 200), std::stoul(want, nullptr, 16));
                continue;
            }
            const uint32_t start = plat::TickCount();
            const std::string request = ask == "R" ? kRead
                                        : ask[0] == 'W'
                                            ? simtest::Frame("010WA000000C802" + ask.substr(1))
                                        : ask == "." ? ""
                                                     : simtest::Request(ask);
            EXPECT_TRUE(request.empty() || c.Send(request));
            if (want.empty()) {
                EXPECT_EQ(c.ReadOnce(300), "");
                continue;
            }
            if (want[0] == '*') {
                const std::string got = c.ReadReply(kWait);
                EXPECT_EQ(got.size(), std::stoul(want.substr(1)));
                EXPECT_EQ(got.find('\r'), got.size() - 1);
                EXPECT_TRUE(got[0] != '\x06' && got[0] != '\x15');
                all += got;
                continue;
            }
            const bool pieces = want[0] == '/';
            const size_t at = want.find('@');
            const uint32_t after = at == std::string::npos ? 0 : std::stoul(want.substr(at + 1));
            want = Reply(want.substr(pieces, at - pieces));
            std::string got = pieces ? c.ReadOnce(kWait) : "";
            EXPECT_TRUE(!pieces || (!got.empty() && got.size() < want.size())) << got;
            got += c.ReadReply(kWait);
            EXPECT_EQ(got, want);
            EXPECT_GE(plat::TickCount() - start, after);
            all += got;
        }
        return all;
    }

    Simulator sim;
    uint16_t port = 0;
};

} // namespace

TEST_F(SimServer, AnswersKnownFramesAndLogsThem) {
    Client c(port);
    ASSERT_TRUE(c.Connected());
    Talk(c, "R +1234ABCD; WBEEF +; D200? BEEF");
    // A request in pieces, two requests in one segment, endless bytes without
    // a CR (answered as a frame) and another station's frame.
    ASSERT_TRUE(c.Send(kRead.substr(0, 7)));
    plat::SleepMs(50);
    ASSERT_TRUE(c.Send(kRead.substr(7)));
    Talk(c, ". +1234ABCD");
    ASSERT_TRUE(c.Send(kRead + kRead));
    Talk(c, ". +1234ABCD; . +1234ABCD");
    ASSERT_TRUE(c.Send(std::string(1500, 'x')));
    Talk(c, ". !01; 020RA0000006404; R +1234ABCD");

    std::vector<idecsim::Exchange> log = sim.FrameLog();
    ASSERT_EQ(log.size(), 8u);
    EXPECT_EQ(log[0].request + log[0].reply + log[1].request,
              kRead + kReadReply + simtest::Frame("010WA000000C802BEEF"));
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

// Per-request faults: each row's rules (blanks between them), how often each
// fires, and what a client sees. The log holds what was sent and which
// requests a fault hit.
TEST_F(SimServer, FaultsChangeTheRepliesTheyPick) {
    const struct {
        const char *rules, *fired, *script;
    } rows[] = {
        {"no-reply:count=1", "1", "W0042; D200? 42; R +1234ABCD"},
        {"nak:count=1", "1", "W0042 !00; D200? 0; R +1234ABCD"}, // a refused write changes nothing
        {"error:count=1,code=07", "1", "W0042 ?07; D200? 0; R +1234ABCD"},
        {"delay:count=1,ms=400", "1", "R +1234ABCD@280; R +1234ABCD"},
        // A late reply arrives after the client gave up and asked again: it
        // is the first thing the next read sees.
        {"late:count=1,ms=600", "1", "W0001; R +; . +1234ABCD"},
        {"split:count=1,parts=3,ms=300", "1", "R /+1234ABCD; R +1234ABCD"},
        {"garbage:count=1,bytes=5", "1", "R *6; R +1234ABCD"},
        {"short:count=1", "1", "R +1234AB; R +1234ABCD"}, // one data byte short, else well-formed
        {"nak:cmd=W error:count=1,cmd=R,skip=2", "1 1",
         "R +1234ABCD; R +1234ABCD; R ?06; R +1234ABCD; W0001 !00"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.rules);
        sim.ClearFaults();
        sim.ClearFrameLog();
        ASSERT_TRUE(sim.SetValue("D", 200, 0));
        std::vector<std::pair<int, FaultRule>> ids;
        std::vector<uint64_t> before;
        std::istringstream rules(r.rules);
        for (std::string text; rules >> text;) {
            ids.emplace_back(sim.AddFault(Rule(text)), Rule(text));
            before.push_back(sim.Fired(ids.back().second.kind));
        }
        Client c(port);
        const std::string received = Talk(c, r.script);
        std::istringstream fired(r.fired);
        uint64_t total = 0;
        for (size_t i = 0; i < ids.size(); ++i) {
            uint64_t n = 0;
            fired >> n;
            total += n;
            EXPECT_EQ(sim.RuleFired(ids[i].first), n);
            EXPECT_EQ(sim.Fired(ids[i].second.kind) - before[i], n);
        }
        std::string sent;
        uint64_t hit = 0;
        for (const idecsim::Exchange& e : sim.FrameLog()) {
            sent += e.reply;
            hit += e.fault >= 0;
            EXPECT_TRUE(e.fault < 0 || e.fault == static_cast<int>(ids[0].second.kind) ||
                        e.fault == static_cast<int>(ids.back().second.kind));
        }
        EXPECT_EQ(sent, received);
        EXPECT_EQ(hit, total);
    }

    // A fault for the second connection from here only.
    sim.ClearFaults();
    sim.AddFault(Rule("no-reply:conn=" + std::to_string(sim.TotalConnections() + 2)));
    const uint64_t before = sim.Fired(FaultKind::kNoReply);
    Client c1(port), c2(port);
    Talk(c1, "R +1234ABCD");
    Talk(c2, "R");
    EXPECT_EQ(sim.Fired(FaultKind::kNoReply) - before, 1u);
}

TEST_F(SimServer, EveryReplyWaitsTheReplyDelayAndAFaultsDelayComesOnTop) {
    sim.SetReplyDelay(150);
    EXPECT_EQ(sim.ReplyDelay(), 150u);
    sim.AddFault(Rule("delay:count=1,ms=200"));
    Client c(port);
    Talk(c, "R +1234ABCD@350; W0042 +@150; R +1234ABCD@150");
    EXPECT_EQ(sim.Fired(FaultKind::kDelay), 1u); // the reply delay is no fault
    sim.SetReplyDelay(0);
    Talk(c, "R +1234ABCD");
}

TEST_F(SimServer, ProbabilitiesFireSometimes) {
    const int neverId = sim.AddFault(Rule("garbage:prob=0"));
    const int halfId = sim.AddFault(Rule("nak:prob=0.5"));
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
        Talk(c, "R +1234ABCD; R +1234ABCD");
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
        Talk(c, "R");
        EXPECT_FALSE(c.WaitClosed(100));
        EXPECT_TRUE(testutil::WaitUntil([this] { return sim.ConnectionCount() == 1; }, kWait));
        EXPECT_TRUE(
            testutil::WaitUntil([this] { return sim.Fired(FaultKind::kNeverAnswer) == 1; }, kWait));
        sim.SetNeverAnswer(false); // only new connections speak again
        Talk(c, "R");
    }
    Client c(port);
    Talk(c, "R +1234ABCD");
    EXPECT_EQ(sim.TotalConnections(), 4u);
}

TEST_F(SimServer, ManyClientsAtOnce) {
    const int kClients = 12;
    std::atomic<int> good[kClients] = {};
    std::vector<std::thread> clients;
    for (int k = 0; k < kClients; ++k) {
        clients.emplace_back([this, k, &good] {
            Client c(port);
            for (int i = 0; i < 40; ++i) {
                char write[40], read[40], want[8];
                const unsigned reg = 300u + k, value = static_cast<unsigned>(i * 16 + k);
                std::snprintf(write, sizeof write, "010WA%08X02%04X", reg, value);
                std::snprintf(read, sizeof read, "010RA%08X02", reg);
                std::snprintf(want, sizeof want, "+%04X", value);
                good[k] += c.Ask(simtest::Frame(write)) == Reply("+") &&
                           c.Ask(simtest::Frame(read)) == Reply(want);
            }
        });
    }
    for (int k = 0; k < kClients; ++k) {
        clients[k].join();
        EXPECT_EQ(good[k].load(), 40) << "client " << k;
    }
    EXPECT_EQ(sim.TotalConnections(), static_cast<uint32_t>(kClients));
    EXPECT_EQ(sim.FrameLog().size(), static_cast<size_t>(kClients * 80));
    EXPECT_TRUE(testutil::WaitUntil([this] { return sim.ConnectionCount() == 0; }, kWait));
}

TEST_F(SimServer, StopClosesConnectionsAndStartsAgain) {
    Client c(port);
    Talk(c, "R +1234ABCD");
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
