// Junk on the line and clients that stop reading: the simulator finds the
// next frame at its ENQ, and a stop never waits on a client.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
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

// A positive reply with these data.
std::string Reply(const std::string& data) {
    return simtest::Reply("+" + data);
}

// ---- Splitting the received bytes into frames ----

// Each row: what was received, then per call the frame it gives ("" for none:
// the call returns false) and the junk it drops, and what stays pending.
TEST(SimResync, FramesStartAtTheirLastEnqAndJunkGoesAtTheNext) {
    const std::string r5 = kRead.substr(0, 5), r6 = kRead.substr(0, 6);
    const struct {
        std::string received;
        std::vector<std::pair<std::string, std::string>> calls;
        std::string rest;
    } rows[] = {
        // A frame cut short by a new ENQ is junk too, as for a controller.
        {"ab" + kRead + "\x01" + r6 + kRead + "tail",
         {{kRead, "ab"}, {kRead, "\x01" + r6}, {"", ""}},
         "tail"},
        // Junk goes as soon as an ENQ comes ...
        {"xyz" + r5, {{"", "xyz"}}, r5},
        {"x" + r5, {{"", "x"}}, r5},
        // ... but bytes ending in a CR without one are answered (with a NAK).
        {"no enq\r", {{"no enq\r", ""}, {"", ""}}, ""},
    };
    for (const auto& r : rows) {
        std::string pending = r.received;
        for (const auto& call : r.calls) {
            std::string frame, junk;
            EXPECT_EQ(NextFrame(&pending, &frame, &junk), !call.first.empty()) << r.received;
            EXPECT_EQ(frame, call.first);
            EXPECT_EQ(junk, call.second);
        }
        EXPECT_EQ(pending, r.rest);
    }
}

TEST(SimServerResync, AFrameAfterJunkIsAnsweredAndTheJunkCounted) {
    Simulator sim;
    std::string traced;
    ASSERT_TRUE(sim.SetValue("D", 100, 0x1234));
    ASSERT_TRUE(sim.SetValue("D", 101, 0xABCD));
    sim.SetTrace([&traced](const idecsim::TraceEvent& ev) {
        if (ev.kind == idecsim::TraceEvent::kDiscarded)
            traced += ev.bytes; // trace calls come one at a time
    });
    Client c(sim.Start(0));
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
    EXPECT_EQ(log[0].request + log[1].request, kRead + kRead);
    EXPECT_EQ(std::make_pair(log[0].discarded, log[1].discarded),
              std::make_pair(junk.size(), half.size()));
    sim.Stop();
    EXPECT_EQ(traced, junk + half);
}

// ---- A client that stops reading ----

// The longest block read: each reply is 25 times its request.
const std::string kBigRead = Frame("010RA00000064F0");

// A client with small socket buffers that does not block: it sends long reads
// until the simulator takes no more for a second, stuck on replies that
// nobody reads, and then looks on.
class StubbornClient {
public:
    explicit StubbornClient(uint16_t port) {
        plat::NetStartup();
        s_ = plat::SockCreateTcp();
        int small = 4096;
        // Before connecting: the window offered to the simulator follows it.
        for (int option : {SO_RCVBUF, SO_SNDBUF})
            setsockopt(static_cast<NativeSocket>(s_), SOL_SOCKET, option,
                       reinterpret_cast<const char*>(&small), sizeof small);
        const bool connected = s_ != plat::kInvalidSocket &&
                               plat::SockConnect(s_, plat::HostToNet32(plat::kInaddrLoopback),
                                                 plat::HostToNet16(port)) == 0 &&
                               plat::SockSetNonBlocking(s_, true) == 0;
        // How many were sent whole; rest_ is what is left of the last one.
        size_t at = 0;
        const uint32_t start = plat::TickCount();
        while (connected && plat::TickCount() - start < 60000) {
            const int n =
                plat::SockSend(s_, kBigRead.data() + at, static_cast<int>(kBigRead.size() - at));
            if (n > 0) {
                at = (at + static_cast<size_t>(n)) % kBigRead.size();
                whole += at == 0;
            } else if (plat::NetLastError() != plat::wsa::kEwouldblock) {
                break;
            } else if (plat::SockWait(s_, true, 1000) == 0) {
                stuck = true;
                break;
            }
        }
        rest_ = at == 0 ? "" : kBigRead.substr(at);
    }
    ~StubbornClient() {
        Close();
        plat::NetCleanup();
    }

    // Reads until every request has its reply (or the peer closes, or ms
    // pass), sending out the rest meanwhile; with none, reads until closed.
    std::string Drain(uint32_t ms, size_t crs) {
        std::string in;
        const uint32_t start = plat::TickCount();
        while (static_cast<size_t>(std::count(in.begin(), in.end(), '\r')) < crs &&
               plat::TickCount() - start < ms) {
            if (!rest_.empty() && plat::SockWait(s_, true, 0) == 1) {
                const int n = plat::SockSend(s_, rest_.data(), static_cast<int>(rest_.size()));
                rest_.erase(0, n > 0 ? static_cast<size_t>(n) : 0);
            }
            const int r = plat::SockWait(s_, false, 50);
            if ((closed = r < 0))
                break;
            if (r != 1)
                continue;
            char buf[4096];
            const int n = plat::SockRecv(s_, buf, sizeof buf);
            closed = n == 0 || (n < 0 && plat::NetLastError() != plat::wsa::kEwouldblock);
            if (closed)
                break;
            in.append(buf, static_cast<size_t>(n > 0 ? n : 0));
        }
        return in;
    }
    size_t Requests() const { return whole + !rest_.empty(); }
    void Close() {
        if (s_ != plat::kInvalidSocket)
            plat::SockClose(s_);
        s_ = plat::kInvalidSocket;
    }

    size_t whole = 0;
    bool stuck = false, closed = false;

private:
    plat::SocketHandle s_ = plat::kInvalidSocket;
    std::string rest_;
};

unsigned StopMain(void* p) {
    static_cast<Simulator*>(p)->Stop();
    return 0;
}

// Waiting for a slow reader must lose nothing: every reply arrives whole. And
// a client that never reads does not hold up a stop.
TEST(SimStop, ASlowReaderGetsEveryReplyWholeAndNoReaderHoldsUpAStop) {
    Simulator sim;
    ASSERT_TRUE(sim.SetValue("D", 100, 0x1234));
    const uint16_t port = sim.Start(0);
    ASSERT_NE(port, 0);
    {
        StubbornClient c(port);
        ASSERT_TRUE(c.stuck) << "the simulator kept reading";
        const size_t requests = c.Requests();
        // No time bound: a loaded machine may take minutes; a simulator that
        // stops sending leaves the test to CTest's time-out.
        const std::string in = c.Drain(plat::kInfinite, requests);
        // D100 = 1234, the rest of the 240 bytes zero.
        const std::string one = Reply("1234" + std::string(2 * 238, '0'));
        ASSERT_EQ(in.size(), requests * one.size());
        for (size_t i = 0; i < requests; ++i)
            ASSERT_EQ(in.compare(i * one.size(), one.size(), one), 0) << "reply " << i;
        EXPECT_EQ(sim.ConnectionCount(), 1u);
    }
    ASSERT_TRUE(testutil::WaitUntil([&] { return sim.ConnectionCount() == 0; }, kWait));
    StubbornClient c(port);
    ASSERT_TRUE(c.stuck) << "the simulator kept reading";
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
    c.Drain(kWait, SIZE_MAX);
    EXPECT_TRUE(c.closed) << "the connection was not dropped";
}

} // namespace
