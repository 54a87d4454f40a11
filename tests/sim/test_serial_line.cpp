// The simulator on a serial line: a pseudo-terminal pair stands for the
// cable, the test opens the port by name as a driver would.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "IdecSim.h"
#include "platform/serial.h"
#include "platform/sync.h"
#include "sim_client.h"
#include "testutil/testutil.h"

using idecsim::FaultKind;
using idecsim::Simulator;
using plat::kInvalidSerial;
using plat::SerialHandle;
using plat::SerialSettings;
using simtest::Frame;
using Port = simtest::SerialClient;

namespace {

constexpr int32_t kWait = 5000;
// How long a station that stays silent is listened to.
constexpr int32_t kQuietMs = 300;

const std::string kRead = Frame("010RA0000006404"); // D100, D101

std::string Reply(const std::string& data) {
    return simtest::Reply("+" + data);
}

class SimSerial : public ::testing::Test {
protected:
    void SetUp() override {
        char path[128];
        const SerialHandle h = plat::SerialOpenPty(path, sizeof path);
        if (h == kInvalidSerial)
            GTEST_SKIP() << "no pseudo-terminals here";
        plat::SerialClose(h);
        ASSERT_TRUE(sim_.SetValue("D", 100, 0x1234));
        ASSERT_TRUE(sim_.SetValue("D", 101, 0xABCD));
    }
    // Serves a new pty; fatal when it cannot.
    void Serve(const SerialSettings& s = SerialSettings()) {
        tty_ = sim_.StartPty(s);
        ASSERT_FALSE(tty_.empty());
        ASSERT_EQ(sim_.SerialPort(), tty_);
        ASSERT_EQ(sim_.Port(), 0);
    }

    Simulator sim_;
    std::string tty_;
};

// Junk before a frame is the TCP tests' subject: both read through one loop.
TEST_F(SimSerial, RequestsAreAnsweredWholeOrInPieces) {
    Serve();
    Port client(tty_);
    ASSERT_TRUE(client.Open());
    // What the client sends, a pause between the pieces.
    const std::vector<std::string> rows[] = {
        {kRead}, {kRead.substr(0, 3), kRead.substr(3, 9), kRead.substr(12)}};
    for (const auto& pieces : rows) {
        for (size_t i = 0; i < pieces.size(); ++i) {
            if (i > 0)
                plat::SleepMs(30);
            ASSERT_TRUE(client.Send(pieces[i]));
        }
        EXPECT_EQ(client.ReadReply(kWait), Reply("1234ABCD")) << pieces.size();
    }
    const std::vector<idecsim::Exchange> log = sim_.FrameLog();
    ASSERT_EQ(log.size(), 2u);
    for (const idecsim::Exchange& e : log) {
        EXPECT_EQ(e.connection, 1u);
        EXPECT_EQ(e.request, kRead);
        EXPECT_EQ(e.reply, Reply("1234ABCD"));
    }
}

TEST_F(SimSerial, AClientMayCloseAndOpenThePortAgain) {
    Serve();
    plat::SleepMs(100); // the line is looked at while nobody is on it
    for (int round = 0; round < 3; ++round) {
        Port client(tty_);
        ASSERT_TRUE(client.Open()) << round;
        // A half frame that the client leaves behind spoils nothing.
        EXPECT_EQ(client.Ask(kRead), Reply("1234ABCD")) << round;
        ASSERT_TRUE(client.Send(kRead.substr(0, 6)));
        client.Close();
        // ... it goes as the client leaves.
        EXPECT_TRUE(testutil::WaitUntil(
            [this, round] { return sim_.DiscardedBytes() == 6u * (round + 1); }, kWait))
            << round;
    }
    EXPECT_EQ(sim_.FrameLog().size(), 3u);
    EXPECT_EQ(sim_.ConnectionCount(), 1u);
    EXPECT_EQ(sim_.TotalConnections(), 1u);
    sim_.Stop();
    EXPECT_EQ(sim_.ConnectionCount(), 0u);
    EXPECT_FALSE(sim_.Running());
}

TEST_F(SimSerial, AReplyTakesTheTimeOfItsBytesOnTheLine) {
    const struct {
        SerialSettings line;
        uint32_t replyDelayMs; // the line's byte time comes on top
    } rows[] = {{SerialSettings{1200, 7, 'E', 1}, 0},
                {SerialSettings{2400, 8, 'N', 2}, 0},
                {SerialSettings{2400, 8, 'N', 2}, 200}};
    const std::string read = Frame("010RA0000006420"); // 32 bytes: 71 reply characters
    for (const auto& row : rows) {
        const SerialSettings& s = row.line;
        sim_.SetReplyDelay(row.replyDelayMs);
        Serve(s);
        Port client(tty_, s);
        ASSERT_TRUE(client.Open());
        const auto t0 = std::chrono::steady_clock::now();
        const std::string reply = client.Ask(read);
        const auto took = std::chrono::duration_cast<std::chrono::microseconds>(
                              std::chrono::steady_clock::now() - t0)
                              .count();
        ASSERT_EQ(reply.size(), 71u) << s.baud;
        EXPECT_GE(took, static_cast<int64_t>(reply.size() * plat::SerialCharMicros(s) +
                                             row.replyDelayMs * 1000))
            << s.baud << " " << row.replyDelayMs;
        client.Close();
        sim_.Stop();
    }
}

TEST_F(SimSerial, RequestFaultsApplyAndOnlyMuteOfTheConnectionFaults) {
    Serve();
    Port client(tty_);
    ASSERT_TRUE(client.Open());
    idecsim::FaultRule nak;
    nak.kind = FaultKind::kNak;
    nak.count = 1;
    nak.connection = 1;
    sim_.AddFault(nak);
    sim_.SetCloseAfter(1); // a line is not closed
    EXPECT_EQ(client.Ask(kRead), simtest::Reply("!00"));
    EXPECT_EQ(client.Ask(kRead), Reply("1234ABCD"));
    EXPECT_EQ(client.Ask(kRead), Reply("1234ABCD"));
    EXPECT_EQ(sim_.Fired(FaultKind::kNak), 1u);
    EXPECT_EQ(sim_.Fired(FaultKind::kCloseAfter), 0u);
    sim_.Stop();

    sim_.SetNeverAnswer(true);
    Serve();
    Port again(tty_);
    ASSERT_TRUE(again.Open());
    EXPECT_EQ(again.Ask(kRead, kQuietMs), "");
    EXPECT_EQ(sim_.Fired(FaultKind::kNeverAnswer), 1u);
}

TEST_F(SimSerial, APortOpenedByNameIsServedAndStartsThatCannotAreRefused) {
    // The pty's controlling side is the client here; the simulator opens the
    // port.
    char path[128];
    Port client(plat::SerialOpenPty(path, sizeof path));
    std::vector<idecsim::TraceEvent::Kind> events;
    sim_.SetTrace([&events](const idecsim::TraceEvent& ev) { events.push_back(ev.kind); });
    ASSERT_TRUE(sim_.StartSerial(path, SerialSettings{19200, 7, 'E', 1}));
    EXPECT_EQ(sim_.SerialPort(), path);
    EXPECT_EQ(sim_.Start(0), 0) << "one line, not TCP beside it";
    EXPECT_TRUE(sim_.StartPty(SerialSettings()).empty());
    EXPECT_EQ(client.Ask(kRead), Reply("1234ABCD"));
    sim_.Stop();
    EXPECT_EQ(events, (std::vector<idecsim::TraceEvent::Kind>{
                          idecsim::TraceEvent::kConnected, idecsim::TraceEvent::kRequest,
                          idecsim::TraceEvent::kReply, idecsim::TraceEvent::kClosed}));

    const struct {
        const char* port;
        SerialSettings line;
        int error;
    } rows[] = {
        {"/nonexistent/tty", SerialSettings(), plat::kSerialNoPort},
        {path, SerialSettings{1234, 7, 'E', 1}, plat::kSerialSettings},
        {nullptr, SerialSettings{9600, 6, 'E', 1}, plat::kSerialSettings}, // StartPty
    };
    for (const auto& r : rows) {
        if (r.port)
            EXPECT_FALSE(sim_.StartSerial(r.port, r.line)) << r.port;
        else
            EXPECT_TRUE(sim_.StartPty(r.line).empty());
        EXPECT_FALSE(sim_.Running());
        EXPECT_EQ(sim_.LastError(), r.error) << (r.port ? r.port : "pty");
    }
    // And TCP again after a line.
    EXPECT_NE(sim_.Start(0), 0);
    EXPECT_TRUE(sim_.SerialPort().empty());
}

} // namespace
