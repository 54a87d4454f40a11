// Junk on the line and clients that stop reading: the simulator finds the
// next frame at its ENQ, and a stop never waits on a client.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Frames.h"
#include "IdecSim.h"
#include "platform/socket.h"
#include "platform/sync.h"
#include "sim_client.h"
#include "testutil/testutil.h"

#if defined(_WIN32)
#include <winsock2.h>
typedef SOCKET NativeSocket;
#else
#include <sys/socket.h>
typedef int NativeSocket;
#endif

using idecsim::NextFrame;
using idecsim::Simulator;
using simtest::Client;
using simtest::Frame;

namespace {

constexpr uint32_t kWait = 5000;
// A hang guard only: a stop that works takes a fraction of this.
constexpr uint32_t kStopBound = 10000;

const std::string kRead = Frame("010RA0000006404");

std::string Reply(const std::string& data) {
    std::string f = "\x06"
                    "010" +
                    data;
    return f + simtest::Xor(f) + "\r";
}

// ---- Splitting the received bytes into frames ----

TEST(SimResync, FramesStartAtTheirLastEnq) {
    std::string pending = "ab" + kRead + "\x01" + kRead.substr(0, 6) + kRead + "tail";
    std::string frame, junk;
    ASSERT_TRUE(NextFrame(&pending, &frame, &junk));
    EXPECT_EQ(frame, kRead);
    EXPECT_EQ(junk, "ab");
    junk.clear();
    // A frame cut short by a new ENQ is junk too, as for a controller.
    ASSERT_TRUE(NextFrame(&pending, &frame, &junk));
    EXPECT_EQ(frame, kRead);
    EXPECT_EQ(junk, "\x01" + kRead.substr(0, 6));
    junk.clear();
    EXPECT_FALSE(NextFrame(&pending, &frame, &junk));
    EXPECT_EQ(pending, "tail");
    EXPECT_TRUE(junk.empty());
}

TEST(SimResync, JunkGoesAsSoonAsAnEnqComesButWithoutOneItIsAFrame) {
    std::string pending = "xyz" + kRead.substr(0, 5);
    std::string frame, junk;
    EXPECT_FALSE(NextFrame(&pending, &frame, &junk));
    EXPECT_EQ(junk, "xyz");
    EXPECT_EQ(pending, kRead.substr(0, 5));

    // Bytes ending in a CR without an ENQ are answered (with a NAK) as before.
    pending = "no enq\r";
    junk.clear();
    ASSERT_TRUE(NextFrame(&pending, &frame, &junk));
    EXPECT_EQ(frame, "no enq\r");
    EXPECT_TRUE(junk.empty());
    EXPECT_TRUE(pending.empty());
}

class SimServerResync : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(sim.SetValue("D", 100, 0x1234));
        ASSERT_TRUE(sim.SetValue("D", 101, 0xABCD));
        sim.SetTrace([this](const idecsim::TraceEvent& ev) {
            if (ev.kind == idecsim::TraceEvent::kDiscarded)
                traced += ev.bytes; // trace calls come one at a time
        });
        port = sim.Start(0);
        ASSERT_NE(port, 0);
    }

    Simulator sim;
    uint16_t port = 0;
    std::string traced;
};

TEST_F(SimServerResync, AFrameAfterJunkIsAnsweredAndTheJunkCounted) {
    Client c(port);
    ASSERT_TRUE(c.Connected());
    const std::string junk = std::string("\x01\x02") + "zz";
    EXPECT_EQ(c.Ask(junk + kRead, kWait), Reply("1234ABCD"));
    // Junk in a segment of its own, the frame in the next one.
    const std::string half = kRead.substr(0, 9);
    ASSERT_TRUE(c.Send(half));
    EXPECT_EQ(c.Ask(kRead, kWait), Reply("1234ABCD"));

    EXPECT_EQ(sim.DiscardedBytes(), junk.size() + half.size());
    const std::vector<idecsim::Exchange> log = sim.FrameLog();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].request, kRead);
    EXPECT_EQ(log[0].discarded, junk.size());
    EXPECT_EQ(log[1].request, kRead);
    EXPECT_EQ(log[1].discarded, half.size());
    sim.Stop();
    EXPECT_EQ(traced, junk + half);
}

// ---- A client that stops reading ----

// A client with small socket buffers that does not block, so that it can
// fill the line and then look on while the simulator is stuck.
class StubbornClient {
public:
    explicit StubbornClient(uint16_t port) {
        plat::NetStartup();
        s_ = plat::SockCreateTcp();
        if (s_ == plat::kInvalidSocket)
            return;
        int small = 4096;
        // Before connecting: the window offered to the simulator follows it.
        const NativeSocket native = static_cast<NativeSocket>(s_);
        setsockopt(native, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&small),
                   sizeof small);
        setsockopt(native, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&small),
                   sizeof small);
        connected_ = plat::SockConnect(s_, plat::HostToNet32(plat::kInaddrLoopback),
                                       plat::HostToNet16(port)) == 0 &&
                     plat::SockSetNonBlocking(s_, true) == 0;
    }
    ~StubbornClient() {
        Close();
        plat::NetCleanup();
    }

    bool Connected() const { return connected_; }

    // Sends whole requests until the simulator takes no more for a second:
    // it has stopped reading, stuck on replies that nobody reads. Returns
    // how many were sent whole; *rest gets what is left of the last one.
    size_t Flood(const std::string& request, std::string* rest) {
        size_t whole = 0;
        size_t at = 0;
        const uint32_t start = plat::TickCount();
        while (plat::TickCount() - start < 60000) {
            int n = plat::SockSend(s_, request.data() + at, static_cast<int>(request.size() - at));
            if (n > 0) {
                at += static_cast<size_t>(n);
                if (at == request.size()) {
                    ++whole;
                    at = 0;
                }
                continue;
            }
            if (plat::NetLastError() != plat::wsa::kEwouldblock)
                break;
            if (plat::SockWait(s_, true, 1000) == 0) {
                stuck_ = true;
                break;
            }
        }
        rest->assign(request, at, std::string::npos);
        if (at == 0)
            rest->clear();
        return whole;
    }
    bool Stuck() const { return stuck_; }

    // Reads until count CRs have come, sending out what is left meanwhile.
    std::string Drain(size_t count, std::string out, uint32_t ms) {
        std::string in;
        size_t crs = 0;
        const uint32_t start = plat::TickCount();
        while (crs < count && plat::TickCount() - start < ms) {
            if (!out.empty() && plat::SockWait(s_, true, 0) == 1) {
                int n = plat::SockSend(s_, out.data(), static_cast<int>(out.size()));
                if (n > 0)
                    out.erase(0, static_cast<size_t>(n));
            }
            if (plat::SockWait(s_, false, 50) != 1)
                continue;
            char buf[4096];
            int n = plat::SockRecv(s_, buf, sizeof buf);
            if (n == 0 || (n < 0 && plat::NetLastError() != plat::wsa::kEwouldblock))
                break;
            for (int i = 0; i < n; ++i)
                crs += buf[i] == '\r' ? 1 : 0;
            if (n > 0)
                in.append(buf, static_cast<size_t>(n));
        }
        return in;
    }

    // True when the peer has closed within ms (unread bytes are skipped).
    bool WaitClosed(uint32_t ms) {
        const uint32_t start = plat::TickCount();
        while (plat::TickCount() - start < ms) {
            int r = plat::SockWait(s_, false, 100);
            if (r < 0)
                return true;
            if (r == 0)
                continue;
            char buf[4096];
            int n = plat::SockRecv(s_, buf, sizeof buf);
            if (n == 0 || (n < 0 && plat::NetLastError() != plat::wsa::kEwouldblock))
                return true;
        }
        return false;
    }

    void Close() {
        if (s_ != plat::kInvalidSocket)
            plat::SockClose(s_);
        s_ = plat::kInvalidSocket;
    }

private:
    plat::SocketHandle s_ = plat::kInvalidSocket;
    bool connected_ = false;
    bool stuck_ = false;
};

// The longest block read: each reply is 25 times its request.
const std::string kBigRead = Frame("010RA00000064F0");

unsigned StopMain(void* p) {
    static_cast<Simulator*>(p)->Stop();
    return 0;
}

TEST(SimStop, AClientThatNeverReadsDoesNotHoldUpAStop) {
    Simulator sim;
    ASSERT_TRUE(sim.SetValue("D", 100, 0x1234));
    const uint16_t port = sim.Start(0);
    ASSERT_NE(port, 0);
    StubbornClient c(port);
    ASSERT_TRUE(c.Connected());
    std::string rest;
    c.Flood(kBigRead, &rest);
    ASSERT_TRUE(c.Stuck()) << "the simulator kept reading";
    EXPECT_EQ(sim.ConnectionCount(), 1u);

    plat::Thread stopper;
    ASSERT_TRUE(stopper.Start(StopMain, &sim));
    const bool stopped = stopper.Join(kStopBound);
    if (!stopped) {
        // Free the simulator so that the test can end.
        c.Close();
        stopper.Join(plat::kInfinite);
    }
    ASSERT_TRUE(stopped) << "Stop() waited on a client that does not read";
    EXPECT_FALSE(sim.Running());
    EXPECT_EQ(sim.ConnectionCount(), 0u);
    EXPECT_TRUE(c.WaitClosed(kWait)) << "the connection was not dropped";
}

// Waiting for a slow reader must lose nothing: every reply arrives whole.
TEST(SimStop, ASlowReaderStillGetsEveryReplyWhole) {
    Simulator sim;
    ASSERT_TRUE(sim.SetValue("D", 100, 0x1234));
    const uint16_t port = sim.Start(0);
    ASSERT_NE(port, 0);
    StubbornClient c(port);
    ASSERT_TRUE(c.Connected());
    std::string rest;
    size_t requests = c.Flood(kBigRead, &rest);
    ASSERT_TRUE(c.Stuck());
    if (!rest.empty())
        ++requests;
    const std::string in = c.Drain(requests, rest, 60000);

    // D100 = 1234, the rest of the 240 bytes zero.
    const std::string one = Reply("1234" + std::string(2 * 238, '0'));
    ASSERT_EQ(in.size(), requests * one.size());
    for (size_t i = 0; i < requests; ++i)
        ASSERT_EQ(in.compare(i * one.size(), one.size(), one), 0) << "reply " << i;
    EXPECT_EQ(sim.ConnectionCount(), 1u);
}

} // namespace
