#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "comm/Frames.h"
#include "comm/KQV_IDecCom.h"
#include "platform/socket.h"
#include "platform/sync.h"
#include "support/ErrorString.h"
#include "testutil/fault_sockets.h"
#include "testutil/testutil.h"

using plat::kInvalidSocket;
using plat::SocketHandle;
using testutil::SockOp;
namespace wsa = plat::wsa;

namespace {

IDecOpenParams Params(const std::string& name, uint16_t kind = idec::kChannelEthernet) {
    IDecOpenParams p;
    std::memset(&p, 0, sizeof p);
    std::strncpy(p.openName, name.c_str(), sizeof p.openName - 1);
    p.channelKind = kind;
    return p;
}

std::string ErrorText(CIDecComBase& ch, int code, int cap = idec::kErrorTextCap) {
    WChar text[idec::kErrorTextCap] = {1, 0};
    ch.GetErrorText(code, text, cap);
    return testutil::Narrow(text);
}

// The PLC's side: a loopback listener and what it accepted.
struct Peer {
    explicit Peer(int backlog = 4) {
        listener = plat::SockListen(plat::kInaddrLoopback, 0, backlog, &port);
    }
    ~Peer() {
        for (SocketHandle h : accepted)
            plat::SockClose(h);
        plat::SockClose(listener);
    }
    std::string Name() const { return "127.0.0.1:" + std::to_string(port); }
    SocketHandle Accept() {
        if (plat::SockWait(listener, false, 5000) != 1)
            return kInvalidSocket;
        accepted.push_back(plat::SockAccept(listener));
        return accepted.back();
    }

    SocketHandle listener = kInvalidSocket;
    uint16_t port = 0;
    std::vector<SocketHandle> accepted;
};

bool Write(SocketHandle h, const std::string& s) {
    return plat::SockSend(h, s.data(), static_cast<int>(s.size())) == static_cast<int>(s.size());
}

// WinSock must be up before the peer's listener is made.
struct NetSession {
    NetSession() : ok(plat::NetStartup() == 0) {}
    ~NetSession() { plat::NetCleanup(); }
    bool ok;
};

class Channel : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(net.ok);
        ASSERT_NE(peer.listener, kInvalidSocket);
    }
    // The channel connected to the peer, and the peer's end of it.
    SocketHandle Connect(CIDecComEthernet& c) {
        EXPECT_TRUE(c.IsConnected(true));
        return peer.Accept();
    }
    SocketHandle Connect() { return Connect(ch); }

    NetSession net;
    Peer peer;
    IDecOpenParams params = Params(peer.Name());
    CIDecComEthernet ch{&params};
};

// Runs work on its own thread (a link's worker) until it is inside one of
// ops' socket calls, then stops it from this one (a stopping link); whether
// that woke it. release frees a worker that did not wake before the join.
bool StopWakes(const std::function<void()>& work, std::initializer_list<SockOp> ops,
               const std::function<void()>& stop, const std::function<void()>& release) {
    testutil::FaultSockets calls;
    std::atomic<bool> done{false};
    std::thread t([&] {
        work();
        done = true;
    });
    auto entered = [&] {
        int n = 0;
        for (SockOp op : ops)
            n += calls.Calls(op);
        return n > 0;
    };
    EXPECT_TRUE(testutil::WaitUntil(entered, 10000)) << "the worker never reached its socket call";
    EXPECT_FALSE(done);
    stop();
    const bool woke = testutil::WaitUntil([&] { return done.load(); }, 5000);
    release();
    t.join();
    return woke;
}

} // namespace

TEST_F(Channel, OpenChecksTheNameAndResolvesOnce) {
    testutil::FaultSockets faults;
    for (const IDecOpenParams& p : {Params("127.0.0.1"), Params(peer.Name(), 2)}) {
        CIDecComEthernet bad(&p);
        EXPECT_EQ(bad.Open(false), 0);
        EXPECT_EQ(bad.GetState(), idec::kStateClosed);
    }
    EXPECT_EQ(faults.Calls(SockOp::kCreate), 0);

    // A name that is not found now is looked up again at the next Open.
    IDecOpenParams p = Params("localhost:" + std::to_string(peer.port) + "junk");
    CIDecComEthernet c(&p);
    faults.FailNext(SockOp::kResolve, wsa::kHostNotFound);
    EXPECT_EQ(c.Open(false), 0);
    EXPECT_EQ(c.Open(false), idec::kStateOpening);
    EXPECT_EQ(c.RemotePort(), plat::HostToNet16(peer.port));
    EXPECT_EQ(c.Open(false), 0); // state 1: nothing touched
    EXPECT_EQ(faults.Calls(SockOp::kCreate), 1);
    c.Close();
    EXPECT_EQ(c.Open(false), idec::kStateOpening);
    EXPECT_EQ(faults.Calls(SockOp::kResolve), 2);
}

// A receive time-out (-1: the default one) leaves the connection open.
TEST_F(Channel, CarriesBytesTimesOutAndClosesOnDestruction) {
    SocketHandle remote;
    {
        CIDecComEthernet c(&params);
        // Only an open connects: a send on a closed channel sends nothing.
        EXPECT_FALSE(idec::SendBlockRead(c, "01", 'A', 100, 4));
        remote = Connect(c);
        EXPECT_TRUE(idec::SendBlockRead(c, "01", 'A', 100, 4));
        char buf[32] = {};
        ASSERT_EQ(plat::SockWait(remote, false, 5000), 1);
        EXPECT_EQ(std::string(buf, static_cast<size_t>(plat::SockRecv(remote, buf, sizeof buf))),
                  "\x05"
                  "010RA000000640421\r");
        EXPECT_EQ(c.GetState(), idec::kStateConnected);
        ASSERT_TRUE(Write(remote, "abc"));
        char small[3] = {0, 0, 'Z'};
        EXPECT_EQ(c.Receive(small, 2, 2000), 2);
        EXPECT_EQ(small[2], 'Z');
        EXPECT_EQ(c.Receive(small, 0, 2000), -1);
        EXPECT_EQ(c.GetLastSocketError(), 0);
        EXPECT_EQ(c.Receive(buf, sizeof buf, 2000), 1); // the "c" left over
        EXPECT_EQ(c.SetDefaultTimeout(300), -1);
        for (int32_t timeout : {1000, -1}) {
            const uint32_t start = plat::TickCount();
            EXPECT_EQ(c.Receive(buf, sizeof buf, timeout), -1);
            EXPECT_GE(plat::TickCount() - start, timeout < 0 ? 210u : 700u);
            EXPECT_EQ(c.GetState(), idec::kStateConnected);
        }
        ASSERT_TRUE(Write(remote, "late"));
        EXPECT_EQ(c.Receive(buf, sizeof buf, 2000), 4);
    }
    ASSERT_EQ(plat::SockWait(remote, false, 3000), 1);
    char c;
    EXPECT_LE(plat::SockRecv(remote, &c, 1), 0);
}

TEST_F(Channel, RefusedConnectionIsRetriedOnEveryOpenOnly) {
    testutil::FaultSockets faults;
    plat::SockClose(peer.listener);
    peer.listener = kInvalidSocket;
    EXPECT_EQ(ch.Open(false), idec::kStateFailed);
    EXPECT_EQ(ch.GetLastSocketError(), wsa::kEconnrefused);
    EXPECT_EQ(ErrorText(ch, ch.GetLastSocketError()), "[WSAECONNREFUSED]-Connection refused..");
    EXPECT_FALSE(ch.IsConnected(true));
    char buf[4];
    EXPECT_EQ(ch.Receive(buf, sizeof buf, 100), 0);
    EXPECT_EQ(ch.Send("x", 1), 0);
    // The open and IsConnected(true) tried; the receive and the send did not.
    EXPECT_EQ(faults.Calls(SockOp::kCreate), 2);
    EXPECT_EQ(ch.GetState(), idec::kStateFailed);
    EXPECT_EQ(ch.Session(), 0u);
}

TEST_F(Channel, SendKeepsTryingThroughWouldBlockAndPartialSends) {
    SocketHandle remote = Connect();
    const std::string frame = "\x05"
                              "010RA000000640421\r";
    {
        testutil::FaultSockets faults;
        faults.FailNext(SockOp::kSend, wsa::kEwouldblock, 2);
        faults.FailNth(SockOp::kSend, 3, wsa::kEnobufs);
        for (int i = 4; i < 12; ++i)
            faults.LimitNth(SockOp::kSend, i, 3);
        EXPECT_EQ(ch.Send(frame.data(), 19), 19);
        EXPECT_EQ(faults.Calls(SockOp::kSend), 3 + 7);
    }
    std::string got;
    char buf[32];
    while (got.size() < frame.size() && plat::SockWait(remote, false, 2000) == 1)
        got.append(buf, static_cast<size_t>(plat::SockRecv(remote, buf, sizeof buf)));
    EXPECT_EQ(got, frame);
}

// A peer's close is 102 and closes; disconnect errors close, other errors do
// not; a closed channel connects again at the next use, in a new session.
TEST_F(Channel, DisconnectErrorsCloseOtherErrorsDoNot) {
    plat::SockClose(Connect());
    peer.accepted.clear();
    char buf[8];
    EXPECT_EQ(ch.Receive(buf, sizeof buf, 2000), 0);
    EXPECT_EQ(ch.GetLastSocketError(), idec::kErrRemoteClosed);
    EXPECT_EQ(ch.LastReceiveError(), idec::kErrRemoteClosed);
    EXPECT_EQ(ch.GetState(), idec::kStateClosed);
    EXPECT_FALSE(ch.IsSocketValid());
    EXPECT_EQ(ErrorText(ch, ch.GetLastSocketError()), "Disconnected by remote.");
    ASSERT_TRUE(Write(Connect(), "x"));
    EXPECT_EQ(ch.Receive(buf, sizeof buf, 2000), 1);
    EXPECT_EQ(ch.GetLastSocketError(), 0);

    testutil::FaultSockets faults;
    faults.FailNext(SockOp::kRecv, wsa::kEinval);
    EXPECT_EQ(ch.Receive(buf, sizeof buf, -1), -1);
    EXPECT_EQ(ch.GetLastSocketError(), wsa::kEinval);
    EXPECT_EQ(ch.GetState(), idec::kStateConnected);
    faults.FailNext(SockOp::kRecv, wsa::kEconnreset);
    EXPECT_EQ(ch.Receive(buf, sizeof buf, -1), -1);
    EXPECT_EQ(ch.GetLastSocketError(), wsa::kEconnreset);
    EXPECT_EQ(ch.GetState(), idec::kStateClosed);
    EXPECT_FALSE(ch.IsSocketValid());
    // A timed-out look keeps the error the host is shown.
    EXPECT_EQ(ch.Receive(buf, sizeof buf, 0), 0);
    EXPECT_EQ(ch.GetLastSocketError(), wsa::kEconnreset);

    const uint32_t first = (Connect(), ch.Session());
    EXPECT_NE(first, 0u);
    for (int32_t timeout : {0, 50}) { // the first look only, and the readiness wait
        EXPECT_EQ(ch.Receive(buf, sizeof buf, timeout), -1);
        EXPECT_EQ(ch.LastReceiveError(), 0);
        EXPECT_EQ(ch.GetLastSocketError(), wsa::kEconnreset);
    }
    faults.FailNext(SockOp::kSend, wsa::kEconnaborted);
    EXPECT_EQ(ch.Send("x", 1), 0);
    EXPECT_EQ(ch.GetState(), idec::kStateClosed);
    EXPECT_EQ(ch.Session(), 0u);
    EXPECT_NE((Connect(), ch.Session()), first);
    EXPECT_EQ(ErrorText(ch, ch.GetLastSocketError()),
              "[WSAECONNABORTED]-Software caused connection abort.");
}

// A stopping link closes (or aborts) the channel from its own thread; the
// worker must come out of recv (no time-out) or of the readiness wait. An
// aborted channel stays closed: a send does not open it again.
TEST_F(Channel, CloseOrAbortFromAnotherThreadWakesBlockedReceive) {
    for (int32_t timeout : {-1, 60000, 0}) {
        const bool abort = timeout == 0;
        CIDecComEthernet c(&params);
        SocketHandle remote = Connect(c);
        std::atomic<int> received{99}, sent{99};
        char buf[16];
        auto work = [&] {
            received = c.Receive(buf, sizeof buf, abort ? 60000 : timeout);
            if (abort)
                sent = c.Send("x", 1);
        };
        EXPECT_TRUE(StopWakes(
            work, {SockOp::kWait, SockOp::kRecv}, [&] { abort ? c.Abort() : c.Close(); },
            [&] { Write(remote, "x"); }))
            << "time-out " << timeout;
        EXPECT_LE(received, 0);
        EXPECT_FALSE(c.IsSocketValid());
        if (abort) {
            EXPECT_EQ(sent, 0);
            EXPECT_EQ(c.Open(false), 0);
            EXPECT_NE(plat::SockWait(peer.listener, false, 100), 1); // no connect pending
        }
    }
}

TEST_F(Channel, CloseFromAnotherThreadWakesBlockedConnect) {
    // Fill the queue of a listener that never accepts until a connect stays
    // pending: the channel's connect then hangs.
    Peer full(1);
    std::vector<SocketHandle> fillers;
    bool hangs = false;
    for (int i = 0; i < 32 && !hangs; ++i) {
        fillers.push_back(plat::SockCreateTcp());
        plat::SockSetNonBlocking(fillers.back(), true);
        plat::SockConnect(fillers.back(), plat::HostToNet32(plat::kInaddrLoopback),
                          plat::HostToNet16(full.port));
        hangs = plat::SockWait(fillers.back(), true, 300) == 0;
    }
    ASSERT_TRUE(hangs) << "the listen queue never filled: no connect would hang";
    IDecOpenParams p = Params(full.Name());
    CIDecComEthernet c(&p);
    std::atomic<int> result{99};
    EXPECT_TRUE(StopWakes([&] { result = c.Open(false); }, {SockOp::kConnect}, [&] { c.Close(); },
                          [&] {
                              for (SocketHandle s : fillers)
                                  plat::SockClose(s);
                              plat::SockClose(full.listener);
                              full.listener = kInvalidSocket;
                          }));
    EXPECT_EQ(result, idec::kStateFailed);
    EXPECT_FALSE(c.IsSocketValid());
}

TEST(ChannelErrors, Texts) {
    CIDecComEthernet ch(nullptr);
    const std::pair<int, const char*> texts[] = {
        {100, "Disconnect All."},
        {101, "DisConnect Invalid Link."},
        {102, "Disconnected by remote."},
        {10061, "[WSAECONNREFUSED]-Connection refused.."},
        {11003, "[WSANO_RECOVERY.]-Non-recoverable error."},
        {11004, "[WSANO_DATA]-Valid name, no data record of requested type.."},
        {12345, "[WSA_NOERROR]-Not a WinSock error.."}};
    for (const auto& t : texts) {
        EXPECT_EQ(ErrorText(ch, t.first), t.second);
        EXPECT_EQ(ch.GetLastSocketError(), t.first);
    }
    EXPECT_EQ(ErrorText(ch, 10061, 5), "[WSA");
    for (int c : {10038, 10050, 10052, 10053, 10054, 10057, 10058, 10060, 10061})
        EXPECT_TRUE(idec::IsDisconnectError(c)) << c;
    EXPECT_FALSE(idec::IsDisconnectError(wsa::kEwouldblock));

    // The holder gets the whole text, whatever the caller's capacity.
    CErrorString holder;
    EXPECT_EQ(ch.SetErrorHolder(&holder), nullptr);
    ch.GetErrorText(10061, nullptr, 0);
    WChar stored[CErrorString::kCapacity];
    holder.GetText(stored, CErrorString::kCapacity);
    EXPECT_EQ(testutil::Narrow(stored), "[WSAECONNREFUSED]-Connection refused..");
}
