#include <gtest/gtest.h>

#include <string>

#include "platform/serial.h"

namespace {

using plat::kInvalidSerial;
using plat::SerialHandle;
using plat::SerialSettings;

// A pseudo-terminal pair: the controlling side stands for the PLC, the port
// is what a client opens by name.
class SerialTest : public ::testing::Test {
protected:
    void SetUp() override {
        char path[128] = {};
        master_ = plat::SerialOpenPty(path, sizeof path);
        if (master_ == kInvalidSerial)
            GTEST_SKIP() << "no pseudo-terminals here";
        path_ = path;
    }
    void TearDown() override {
        for (SerialHandle* h : {&port_, &master_})
            if (*h != kInvalidSerial)
                plat::SerialClose(*h);
    }
    SerialHandle Open(const SerialSettings& s = SerialSettings(), int* error = nullptr) {
        int e = -1;
        SerialHandle h = plat::SerialOpen(path_.c_str(), s, &e);
        if (error)
            *error = e;
        return h;
    }
    static std::string ReadFor(SerialHandle h, size_t n) {
        std::string got;
        char buf[64];
        while (got.size() < n) {
            const int r = plat::SerialRead(h, buf, sizeof buf, 2000);
            if (r <= 0)
                break;
            got.append(buf, static_cast<size_t>(r));
        }
        return got;
    }

    std::string path_;
    SerialHandle master_ = kInvalidSerial;
    SerialHandle port_ = kInvalidSerial;
};

TEST_F(SerialTest, BytesBothWaysUntranslatedAndAQuietLineTimesOut) {
    int error = -1;
    port_ = Open(SerialSettings(), &error);
    ASSERT_NE(kInvalidSerial, port_);
    EXPECT_EQ(plat::kSerialOk, error);
    char buf[16];
    EXPECT_EQ(0, plat::SerialRead(port_, buf, sizeof buf, 0));
    EXPECT_EQ(0, plat::SerialRead(port_, buf, sizeof buf, 30));
    // CR, LF and control characters pass as they are, without echo.
    const std::string request = "\x05"
                                "01RD\r\n\x7f";
    ASSERT_EQ(static_cast<int>(request.size()),
              plat::SerialWrite(port_, request.data(), static_cast<int>(request.size())));
    EXPECT_EQ(request, ReadFor(master_, request.size()));
    const std::string reply = "\x06"
                              "010\r";
    ASSERT_EQ(5, plat::SerialWrite(master_, reply.data(), 5));
    EXPECT_EQ(reply, ReadFor(port_, reply.size()));
    EXPECT_EQ(0, plat::SerialRead(master_, buf, sizeof buf, 0)); // no echo
    // Input that arrived before a purge is gone.
    ASSERT_EQ(4, plat::SerialWrite(master_, "junk", 4));
    ReadFor(master_, 0);
    plat::SerialRead(port_, buf, 0, 50); // lets it arrive
    plat::SerialPurge(port_);
    EXPECT_EQ(0, plat::SerialRead(port_, buf, sizeof buf, 50));
}

TEST_F(SerialTest, LineSettingsAskedForReachTheLine) {
    struct Row {
        uint32_t baud;
        uint8_t stopBits;
    } rows[] = {{9600, 1}, {1200, 2}, {115200, 1}, {19200, 2}};
    for (const Row& r : rows) {
        SerialSettings s;
        s.baud = r.baud;
        s.stopBits = r.stopBits;
        SerialHandle h = Open(s);
        ASSERT_NE(kInvalidSerial, h) << r.baud;
        SerialSettings seen;
        // Both sides see what the port was given (a pty keeps speed and stop bits).
        for (SerialHandle side : {h, master_}) {
            ASSERT_TRUE(plat::SerialLineSettings(side, &seen));
            EXPECT_EQ(r.baud, seen.baud);
            EXPECT_EQ(r.stopBits, seen.stopBits) << r.baud;
        }
        plat::SerialClose(h);
    }
    SerialSettings bad;
    for (auto change :
         {+[](SerialSettings& s) { s.baud = 1234; }, +[](SerialSettings& s) { s.dataBits = 6; },
          +[](SerialSettings& s) { s.parity = 'M'; }, +[](SerialSettings& s) { s.stopBits = 3; }}) {
        bad = SerialSettings();
        change(bad);
        int error = -1;
        EXPECT_EQ(kInvalidSerial, Open(bad, &error));
        EXPECT_EQ(plat::kSerialSettings, error);
    }
}

TEST_F(SerialTest, APortIsHeldAloneAndMissingPortsAreNoPorts) {
    int error = -1;
    port_ = Open(SerialSettings(), &error);
    ASSERT_NE(kInvalidSerial, port_);
    EXPECT_EQ(kInvalidSerial, Open(SerialSettings(), &error));
    EXPECT_EQ(plat::kSerialBusy, error);
    plat::SerialClose(port_);
    port_ = Open(SerialSettings(), &error);
    EXPECT_NE(kInvalidSerial, port_) << "a closed port is free again " << error;
    for (const char* name : {"/nonexistent/tty", "/dev/null", "relative/tty", ""}) {
        error = -1;
        EXPECT_EQ(kInvalidSerial, plat::SerialOpen(name, SerialSettings(), &error)) << name;
        EXPECT_EQ(plat::kSerialNoPort, error) << name;
    }
}

TEST_F(SerialTest, ThePortReportsAnOtherSideThatWentAway) {
    port_ = Open();
    ASSERT_NE(kInvalidSerial, port_);
    plat::SerialClose(master_);
    master_ = kInvalidSerial;
    char buf[8];
    EXPECT_EQ(-1, plat::SerialRead(port_, buf, sizeof buf, 1000));
}

TEST(SerialNames, CharacterTimeAndPortNames) {
    SerialSettings s; // 9600 7E1: ten bits
    EXPECT_EQ(1042u, plat::SerialCharMicros(s));
    s.parity = 'N';
    s.dataBits = 8;
    s.stopBits = 2;
    s.baud = 1200; // eleven bits
    EXPECT_EQ(9167u, plat::SerialCharMicros(s));
    EXPECT_FALSE(plat::IsSerialPortName("127.0.0.1:2101"));
    EXPECT_FALSE(plat::IsSerialPortName(""));
    EXPECT_FALSE(plat::IsSerialPortName(nullptr));
}

} // namespace
