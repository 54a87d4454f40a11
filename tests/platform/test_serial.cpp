#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/serial.h"
#include "platform/socket.h"
#include "testutil/testutil.h"

namespace {

using plat::kInvalidSerial;
using plat::kInvalidSocket;
using plat::SerialHandle;
using plat::SerialSettings;
using plat::SocketHandle;

// The far end of the line, standing for the PLC: natively the controlling
// side of a pseudo-terminal pair. Windows has none; under Wine a relay
// (NIMBRO_SERIAL_RELAY=host:port) makes the pair, links a COM port to it
// and carries the controlling side over a loopback connection.
class OtherSide {
public:
    ~OtherSide() { Close(); }

    // The name a client opens, and a name of the same kind with no port.
    bool Start(std::string* port, std::string* missing) {
        char path[128] = {};
        master_ = plat::SerialOpenPty(path, sizeof path);
        if (master_ != kInvalidSerial) {
            *port = path;
            *missing = "/nonexistent/tty";
            return true;
        }
        const char* relay = std::getenv("NIMBRO_SERIAL_RELAY");
        if (!relay || plat::NetStartup() != 0)
            return false;
        conn_ = Connect(relay, 'P');
        std::string names = Line(conn_);
        const size_t space = names.find(' ');
        if (space == std::string::npos)
            return false;
        *port = names.substr(0, space);
        *missing = names.substr(space + 1);
        return true;
    }
    void Close() {
        if (master_ != kInvalidSerial)
            plat::SerialClose(master_);
        if (conn_ != kInvalidSocket)
            plat::SockClose(conn_);
        master_ = kInvalidSerial;
        conn_ = kInvalidSocket;
    }
    int Write(const std::string& data) {
        const int n = static_cast<int>(data.size());
        if (master_ != kInvalidSerial)
            return plat::SerialWrite(master_, data.data(), n);
        return plat::SockSend(conn_, data.data(), n);
    }
    // As SerialRead: the count, 0 when nothing came within ms, -1 at the end.
    int Read(char* buf, int cap, int32_t ms) {
        if (master_ != kInvalidSerial)
            return plat::SerialRead(master_, buf, cap, ms);
        const int ready = plat::SockWait(conn_, false, ms);
        if (ready <= 0)
            return ready;
        const int n = plat::SockRecv(conn_, buf, cap);
        return n > 0 ? n : -1;
    }
    // The speed and stop bits this side sees on the line.
    bool Settings(SerialSettings* out) {
        if (master_ != kInvalidSerial)
            return plat::SerialLineSettings(master_, out);
        const SocketHandle s = Connect(std::getenv("NIMBRO_SERIAL_RELAY"), 'S');
        const std::string line = Line(s);
        plat::SockClose(s);
        unsigned long baud = 0, stop = 0;
        char* end = nullptr;
        baud = std::strtoul(line.c_str(), &end, 10);
        stop = std::strtoul(end, nullptr, 10);
        out->baud = static_cast<uint32_t>(baud);
        out->stopBits = static_cast<uint8_t>(stop);
        return baud != 0;
    }

private:
    static SocketHandle Connect(const char* relay, char kind) {
        const std::string where = relay;
        const size_t colon = where.find(':');
        SocketHandle s = plat::SockCreateTcp();
        if (colon == std::string::npos || s == kInvalidSocket ||
            plat::SockConnect(s, plat::InetAddr(where.substr(0, colon).c_str()),
                              plat::HostToNet16(static_cast<uint16_t>(
                                  std::atoi(where.c_str() + colon + 1)))) != 0 ||
            plat::SockSend(s, &kind, 1) != 1) {
            ADD_FAILURE() << "no relay at " << where;
            return s;
        }
        return s;
    }
    // One answer line of the relay; the wait is a cap against a hang only.
    static std::string Line(SocketHandle s) {
        std::string line;
        char c;
        while (plat::SockWait(s, false, 30000) == 1 && plat::SockRecv(s, &c, 1) == 1 && c != '\n')
            line += c;
        return line;
    }

    SerialHandle master_ = kInvalidSerial;
    SocketHandle conn_ = kInvalidSocket;
};

class SerialTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!other_.Start(&path_, &missing_))
            GTEST_SKIP() << "no pseudo-terminals here, and no relay to one";
    }
    void TearDown() override {
        if (port_ != kInvalidSerial)
            plat::SerialClose(port_);
    }
    SerialHandle Open(const SerialSettings& s = SerialSettings(), int* error = nullptr) {
        int e = -1;
        SerialHandle h = plat::SerialOpen(path_.c_str(), s, &e);
        if (error)
            *error = e;
        return h;
    }
    // Reads until n bytes came or nothing came for two seconds.
    template <typename ReadFn> static std::string ReadFor(size_t n, ReadFn read) {
        std::string got;
        char buf[64];
        while (got.size() < n) {
            const int r = read(buf, n - got.size() < sizeof buf ? static_cast<int>(n - got.size())
                                                                : static_cast<int>(sizeof buf));
            if (r <= 0)
                break;
            got.append(buf, static_cast<size_t>(r));
        }
        return got;
    }
    std::string FromPort(size_t n) {
        return ReadFor(n,
                       [this](char* b, int cap) { return plat::SerialRead(port_, b, cap, 2000); });
    }
    std::string FromOther(size_t n) {
        return ReadFor(n, [this](char* b, int cap) { return other_.Read(b, cap, 2000); });
    }

    OtherSide other_;
    std::string path_;
    std::string missing_;
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
                                "01RD\r\n\x7f\x11\x13\x03";
    ASSERT_EQ(static_cast<int>(request.size()),
              plat::SerialWrite(port_, request.data(), static_cast<int>(request.size())));
    EXPECT_EQ(request, FromOther(request.size()));
    const std::string reply = "\x06"
                              "010\r\n\x11\x13\x04\x1a";
    ASSERT_EQ(static_cast<int>(reply.size()), other_.Write(reply));
    EXPECT_EQ(reply, FromPort(reply.size()));
    EXPECT_EQ(0, other_.Read(buf, sizeof buf, 50)); // no echo
    // Input that arrived and was not read is gone after a purge: the first
    // byte read shows the rest of the write arrived with it.
    ASSERT_EQ(4, other_.Write("junk"));
    EXPECT_EQ("j", FromPort(1));
    plat::SerialPurge(port_);
    EXPECT_EQ(0, plat::SerialRead(port_, buf, sizeof buf, 50));
}

TEST_F(SerialTest, LineSettingsAskedForReachTheLine) {
    struct Row {
        uint32_t baud;
        uint8_t stopBits;
    } rows[] = {{9600, 1}, {1200, 2}, {115200, 1}, {19200, 2}, {19200, 2}}; // last: unchanged
    for (const Row& r : rows) {
        SerialSettings s;
        s.baud = r.baud;
        s.stopBits = r.stopBits;
        SerialHandle h = Open(s);
        ASSERT_NE(kInvalidSerial, h) << r.baud;
        // Both sides see what the port was given (a pty keeps speed and stop bits).
        SerialSettings mine, theirs;
        ASSERT_TRUE(plat::SerialLineSettings(h, &mine));
        ASSERT_TRUE(other_.Settings(&theirs));
        for (const SerialSettings& seen : {mine, theirs}) {
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
    for (const char* name :
         {missing_.c_str(), "/nonexistent/tty", "/dev/null", "relative/tty", "COM0", ""}) {
        error = -1;
        EXPECT_EQ(kInvalidSerial, plat::SerialOpen(name, SerialSettings(), &error)) << name;
        EXPECT_EQ(plat::kSerialNoPort, error) << name;
    }
}

TEST_F(SerialTest, ThePortReportsAnOtherSideThatWentAway) {
    port_ = Open();
    ASSERT_NE(kInvalidSerial, port_);
    other_.Close();
    // A relay lets go a moment later: quiet reads until then, capped.
    char buf[8];
    int r = 0;
    for (int i = 0; i < 30 && r == 0; ++i)
        r = plat::SerialRead(port_, buf, sizeof buf, 1000);
    EXPECT_EQ(-1, r);
}

TEST(SerialNames, CharacterTimeAndPortNames) {
    SerialSettings s; // 9600 7E1: ten bits
    EXPECT_EQ(1042u, plat::SerialCharMicros(s));
    s.parity = 'N';
    s.dataBits = 8;
    s.stopBits = 2;
    s.baud = 1200; // eleven bits
    EXPECT_EQ(9167u, plat::SerialCharMicros(s));
    const bool posix = testutil::PosixBackend();
    struct Row {
        const char* name;
        bool port; // on this system's backend
    } rows[] = {
        {"127.0.0.1:2101", false},
        {"", false},
        {nullptr, false},
        {"/dev/ttyS0", posix},
        {"/dev/pts/3", posix},
        {"COM1", !posix},
        {"com256", !posix},
        {"Com10", !posix},
        {"cOM99", !posix},
        {"COM0", false},
        {"COM257", false},
        {"COM1000", false},
        {"COM", false},
        {"COM01", false},
        {"COM1a", false},
        {"COM-1", false},
        {"LPT1", false},
        {"XCOM1", false},
    };
    for (const Row& r : rows)
        EXPECT_EQ(r.port, plat::IsSerialPortName(r.name)) << (r.name ? r.name : "(null)");
}

} // namespace
