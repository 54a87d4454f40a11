#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

#include "comm/SerialChannel.h"
#include "platform/serial.h"
#include "platform/sync.h"
#include "testutil/testutil.h"

using plat::kInvalidSerial;

namespace {

IDecOpenParams LineParams(const std::string& port, uint32_t baud = 9600) {
    IDecOpenParams p;
    std::memset(&p, 0, sizeof p);
    std::strncpy(p.openName, port.c_str(), sizeof p.openName - 1);
    p.channelKind = model::kChannelSerial;
    p.baudRate = baud;
    p.dataBits = 7;
    p.parity = 'E';
    p.stopBits = 1;
    return p;
}

std::string Text(CIDecComBase& ch, int code) {
    WChar text[idec::kErrorTextCap] = {1, 0};
    ch.GetErrorText(code, text, idec::kErrorTextCap);
    return testutil::Narrow(text);
}

// A pseudo-terminal: the controlling side plays the PLC.
class SerialChannelTest : public ::testing::Test {
protected:
    void SetUp() override {
        char path[128] = {};
        plc_ = plat::SerialOpenPty(path, sizeof path);
        if (plc_ == kInvalidSerial)
            GTEST_SKIP() << "no pseudo-terminals here";
        params_ = LineParams(path);
    }
    void TearDown() override {
        if (plc_ != kInvalidSerial)
            plat::SerialClose(plc_);
    }
    std::string PlcReads(size_t n) {
        std::string got;
        char buf[64];
        while (got.size() < n) {
            const int r = plat::SerialRead(plc_, buf, sizeof buf, 2000);
            if (r <= 0)
                break;
            got.append(buf, static_cast<size_t>(r));
        }
        return got;
    }

    plat::SerialHandle plc_ = kInvalidSerial;
    IDecOpenParams params_;
};

TEST_F(SerialChannelTest, ExchangesBytesAndTimesOutWithoutAnError) {
    CIDecComSerial ch(&params_);
    EXPECT_EQ(0u, ch.Session());
    ASSERT_EQ(idec::kStateConnected, ch.Open(false));
    const uint32_t first = ch.Session();
    EXPECT_NE(0u, first);
    EXPECT_TRUE(ch.IsConnected(false));
    ASSERT_EQ(5, ch.Send("\x05"
                         "01R\r",
                         5));
    EXPECT_EQ("\x05"
              "01R\r",
              PlcReads(5));
    ASSERT_EQ(3, plat::SerialWrite(plc_,
                                   "\x06"
                                   "0\r",
                                   3));
    char buf[16];
    std::string got;
    while (got.size() < 3) {
        const int n = ch.Receive(buf, sizeof buf, 2000);
        ASSERT_GT(n, 0);
        got.append(buf, static_cast<size_t>(n));
    }
    EXPECT_EQ("\x06"
              "0\r",
              got);
    EXPECT_EQ(-1, ch.Receive(buf, sizeof buf, 0));
    EXPECT_EQ(-1, ch.Receive(buf, sizeof buf, 120)); // more than one slice
    EXPECT_EQ(0, ch.LastReceiveError());
    EXPECT_EQ(0, ch.GetLastSocketError());
    // A reopen is a new connection.
    ch.Close();
    EXPECT_EQ(0u, ch.Session());
    EXPECT_FALSE(ch.IsConnected(false));
    EXPECT_TRUE(ch.IsConnected(true));
    EXPECT_NE(first, ch.Session());
}

TEST_F(SerialChannelTest, PortsThatCannotBeHadAndALineThatWentAway) {
    // Held by another program (or link): 10002; not there: 10001.
    int error = -1;
    plat::SerialHandle other = plat::SerialOpen(params_.openName, plat::SerialSettings(), &error);
    ASSERT_NE(kInvalidSerial, other);
    IDecOpenParams missing = LineParams("/nonexistent/ttyX");
    struct Row {
        IDecOpenParams* params;
        int code;
        const char* text;
    } rows[] = {{&params_, idec::kErrPortBusy, "The COM Port you set is alredy used."},
                {&missing, idec::kErrPortOpen, "Can not open the COM port."}};
    for (const Row& r : rows) {
        CIDecComSerial ch(r.params);
        EXPECT_EQ(idec::kStateFailed, ch.Open(false));
        EXPECT_FALSE(ch.IsConnected(false));
        EXPECT_EQ(r.code, ch.GetLastSocketError());
        EXPECT_EQ(r.text, Text(ch, r.code));
    }
    plat::SerialClose(other);

    // The device goes away under a receive: closed, reported, opened anew
    // by the next connect (here it cannot be: the pty is gone).
    CIDecComSerial ch(&params_);
    ASSERT_EQ(idec::kStateConnected, ch.Open(false));
    plat::SerialClose(plc_);
    plc_ = kInvalidSerial;
    char buf[8];
    EXPECT_EQ(0, ch.Receive(buf, sizeof buf, 2000));
    EXPECT_EQ(idec::kErrPortOpen, ch.LastReceiveError());
    EXPECT_EQ(0u, ch.Session());
    EXPECT_FALSE(ch.IsConnected(true));
    EXPECT_EQ(idec::kErrPortOpen, ch.GetLastSocketError());
}

TEST_F(SerialChannelTest, ACloseFromAnotherThreadEndsAWaitAndAnAbortEveryOpen) {
    CIDecComSerial ch(&params_);
    ASSERT_EQ(idec::kStateConnected, ch.Open(false));
    std::atomic<int> got{99};
    std::thread reader([&] {
        char buf[8];
        got = ch.Receive(buf, sizeof buf, -1);
    });
    plat::SleepMs(20);
    ch.Abort();
    reader.join();
    EXPECT_EQ(0, got.load());
    EXPECT_EQ(0, ch.Open(false));
    EXPECT_FALSE(ch.IsConnected(true));
}

plat::SerialSettings gAsked;
plat::SerialHandle Capture(const char*, const plat::SerialSettings& s, int* error) {
    gAsked = s;
    *error = plat::kSerialNoPort;
    return kInvalidSerial;
}

TEST(SerialLine, ThePortIsAskedForTheLinksLineSettings) {
    IDecOpenParams p = LineParams("/dev/ttyS0", 19200);
    p.dataBits = 8;
    p.parity = 'O';
    p.stopBits = 2;
    IDecOpenParams unset = LineParams("/dev/ttyS0", 0); // no settings: 9600 7E1
    unset.dataBits = 0;
    plat::SerialOpsTable().open = &Capture;
    for (IDecOpenParams* params : {&p, &unset}) {
        CIDecComSerial ch(params);
        EXPECT_EQ(idec::kStateFailed, ch.Open(false));
    }
    plat::ResetSerialOps();
    EXPECT_EQ(9600u, gAsked.baud);
    EXPECT_EQ(7, gAsked.dataBits);
    EXPECT_EQ('E', gAsked.parity);
    EXPECT_EQ(1, gAsked.stopBits);
    plat::SerialOpsTable().open = &Capture;
    CIDecComSerial ch(&p);
    ch.Open(false);
    plat::ResetSerialOps();
    EXPECT_EQ(19200u, gAsked.baud);
    EXPECT_EQ(8, gAsked.dataBits);
    EXPECT_EQ('O', gAsked.parity);
    EXPECT_EQ(2, gAsked.stopBits);
}

TEST(SerialLine, LineTimeGrowsWithCharactersAndSlowerLines) {
    IDecOpenParams fast = LineParams("/dev/ttyS0", 9600), slow = LineParams("/dev/ttyS0", 1200);
    CIDecComSerial a(&fast), b(&slow);
    // The longest read reply, 487 characters of ten bits.
    EXPECT_EQ(508, a.LineMs(487));
    EXPECT_EQ(4059, b.LineMs(487));
    EXPECT_EQ(0, a.LineMs(0));
    IDecOpenParams tcp = LineParams("127.0.0.1:1");
    tcp.channelKind = model::kChannelEthernet;
    CIDecComEthernet e(&tcp);
    EXPECT_EQ(0, e.LineMs(487));
    // A serial channel never opens a TCP address, nor TCP a port.
    CIDecComSerial wrongKind(&tcp);
    EXPECT_EQ(0, wrongKind.Open(false));
}

} // namespace
