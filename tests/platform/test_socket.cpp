#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/socket.h"
#include "platform/sync.h"
#include "testutil/fault_sockets.h"
#include "testutil/testutil.h"

namespace {

using plat::kInvalidSocket;
using plat::SocketHandle;

// A connected loopback pair and its listener.
class SocketTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(0, plat::NetStartup()); }

    void TearDown() override {
        for (SocketHandle* s : {&client_, &server_, &listener_})
            if (*s != kInvalidSocket)
                plat::SockClose(*s);
        plat::NetCleanup();
    }

    void Connect() {
        listener_ = plat::SockListen(plat::kInaddrLoopback, 0, 4, &port_);
        ASSERT_NE(kInvalidSocket, listener_) << plat::NetLastError();
        ASSERT_NE(0, port_);
        client_ = plat::SockCreateTcp();
        ASSERT_NE(kInvalidSocket, client_);
        ASSERT_EQ(0, plat::SockConnect(client_, plat::HostToNet32(plat::kInaddrLoopback),
                                       plat::HostToNet16(port_)))
            << plat::NetLastError();
        server_ = plat::SockAccept(listener_);
        ASSERT_NE(kInvalidSocket, server_) << plat::NetLastError();
    }

    static void SendAll(SocketHandle s, const std::string& data) {
        ASSERT_EQ(static_cast<int>(data.size()),
                  plat::SockSend(s, data.data(), static_cast<int>(data.size())))
            << plat::NetLastError();
    }

    // Receives until n bytes came or the peer stops sending for two seconds.
    static std::string Receive(SocketHandle s, size_t n) {
        std::string got;
        char buf[256];
        while (got.size() < n) {
            if (plat::SockWait(s, false, 2000) != 1)
                break;
            int r = plat::SockRecv(s, buf, static_cast<int>(sizeof buf));
            if (r <= 0)
                break;
            got.append(buf, static_cast<size_t>(r));
        }
        return got;
    }

    SocketHandle listener_ = kInvalidSocket;
    SocketHandle client_ = kInvalidSocket;
    SocketHandle server_ = kInvalidSocket;
    uint16_t port_ = 0;
};

// A refused connect: Channel.RefusedConnectionIsRetriedOnEveryOpenOnly.
// A close from another thread waking a blocked wait or receive:
// Channel.CloseFromAnotherThreadWakesBlockedReceive (the channel's Close is
// that shutdown and close).

TEST_F(SocketTest, DataFlowsBothWaysWaitsTimeOutAndPeerCloseIsAZeroByteReceive) {
    Connect();
    int type = 0;
    ASSERT_EQ(0, plat::SockGetType(client_, &type));
    EXPECT_EQ(plat::kSockStream, type);
    EXPECT_EQ(1, plat::SockWait(client_, true, 1000)); // writable once connected
    const std::string request = "\x05"
                                "010RA0000006404";
    SendAll(client_, request);
    EXPECT_EQ(request, Receive(server_, request.size()));

    uint32_t start = plat::TickCount();
    EXPECT_EQ(0, plat::SockWait(client_, false, 200));
    EXPECT_GE(plat::TickCount() - start, 140u);
    // The connection stays usable after a time-out.
    SendAll(server_, "reply");
    ASSERT_EQ(0, plat::SockClose(server_));
    server_ = kInvalidSocket;
    EXPECT_EQ("reply", Receive(client_, 5));
    ASSERT_EQ(1, plat::SockWait(client_, false, 2000));
    char buf[8];
    EXPECT_EQ(0, plat::SockRecv(client_, buf, sizeof buf));
}

TEST_F(SocketTest, SendToAClosedPeerFailsWithADisconnectCode) {
    Connect();
    ASSERT_EQ(0, plat::SockClose(server_));
    server_ = kInvalidSocket;
    // The first sends may still be taken by the stack; the reset comes soon.
    // On POSIX this also shows that no SIGPIPE ends the process.
    char data[512] = {};
    int result = 0;
    for (int i = 0; i < 200 && result >= 0; ++i) {
        result = plat::SockSend(client_, data, sizeof data);
        plat::SleepMs(5);
    }
    ASSERT_EQ(-1, result);
    int code = plat::NetLastError();
    EXPECT_TRUE(code == plat::wsa::kEconnreset || code == plat::wsa::kEconnaborted ||
                code == plat::wsa::kEshutdown)
        << code;
}

TEST_F(SocketTest, ClosedHandlesAddressesAndNames) {
    SocketHandle s = plat::SockCreateTcp();
    ASSERT_NE(kInvalidSocket, s);
    int type = 0;
    EXPECT_EQ(0, plat::SockGetType(s, &type));
    ASSERT_EQ(0, plat::SockClose(s));
    EXPECT_EQ(-1, plat::SockGetType(s, &type));
    EXPECT_EQ(plat::wsa::kEnotsock, plat::NetLastError());
    EXPECT_EQ(-1, plat::SockWait(s, false, 0)); // not ready: an error
    EXPECT_EQ(plat::wsa::kEnotsock, plat::NetLastError());

    uint32_t a = plat::InetAddr("192.168.1.20");
    EXPECT_EQ(0, std::memcmp(&a, "\xC0\xA8\x01\x14", 4)); // network order: bytes as written
    for (const char* bad : {"plc-01.local", "300.1.1.1", static_cast<const char*>(nullptr)})
        EXPECT_EQ(plat::kInaddrNone, plat::InetAddr(bad));
    uint32_t addr = 0;
    ASSERT_EQ(0, plat::ResolveHostName("localhost", &addr)) << plat::NetLastError();
    EXPECT_EQ(plat::HostToNet32(plat::kInaddrLoopback), addr);
    EXPECT_EQ(-1, plat::ResolveHostName("no-such-host.invalid", &addr));
    int code = plat::NetLastError();
    // Not found; a resolver without network may only say "try again".
    EXPECT_TRUE(code == plat::wsa::kHostNotFound || code == plat::wsa::kTryAgain) << code;
}

// The fault table the channel tests script: a failure, a short send and a
// short receive, then the real table back.
TEST_F(SocketTest, FaultTableFailsShortensAndThenLetsCallsThrough) {
    Connect();
    char buf[16] = {};
    {
        testutil::FaultSockets faults;
        faults.FailNth(testutil::SockOp::kWait, 1, plat::wsa::kEnetdown);
        EXPECT_EQ(-1, plat::SockWait(client_, false, 10));
        EXPECT_EQ(plat::wsa::kEnetdown, plat::NetLastError());
        faults.LimitNth(testutil::SockOp::kSend, 1, 2);
        EXPECT_EQ(2, plat::SockSend(client_, "hello", 5));
        EXPECT_EQ(3, plat::SockSend(client_, "llo", 3));
        EXPECT_EQ(2, faults.Calls(testutil::SockOp::kSend));
        faults.LimitNth(testutil::SockOp::kRecv, 1, 2);
        ASSERT_EQ(1, plat::SockWait(server_, false, 2000));
        plat::SleepMs(50); // let the second segment arrive too
        ASSERT_EQ(2, plat::SockRecv(server_, buf, sizeof buf));
        EXPECT_EQ(std::string(buf, 2) + Receive(server_, 3), "hello");
        EXPECT_EQ(3, faults.Fired());
    }
    EXPECT_EQ(plat::DefaultSocketOps().send, plat::SocketOpsTable().send);
}

} // namespace
