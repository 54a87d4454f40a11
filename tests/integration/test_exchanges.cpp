// Single exchanges on a link's own channel: what each reply kind leaves as
// the device block's status, replies that come split, late, too long or not
// at all, bytes that belong to no request, requests without a channel or
// without a frame, and requests the simulator carries out.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>

#include "Frames.h"
#include "harness.h"
#include "platform/sync.h"
#include "testutil/testutil.h"

namespace {

using idecsim::FaultKind;
using itest::Rig;

// One rule: kind for one command, the other fields as FaultRule's defaults
// when -1.
std::function<void(idecsim::Simulator&)> With(FaultKind kind, char command, int64_t count = -1,
                                              int64_t ms = -1, int code = -1, int parts = 0,
                                              int bytes = 0) {
    idecsim::FaultRule r;
    r.kind = kind, r.command = command, r.count = count, r.ms = ms, r.code = code;
    r.parts = parts, r.bytes = bytes;
    return [r](idecsim::Simulator& s) { s.AddFault(r); };
}

typedef std::vector<uint8_t> Bytes;
const int32_t kNR = idec::kNoReply;
const Bytes kD100 = {0xBE, 0xEF, 0x12, 0x34}, kD200 = {0x20, 0x02, 0x20, 0x03};

// What a case's exchanges run on; they add to failure.
struct Ctx {
    Rig& rig;
    CPlcDevice& d;
    idecsim::Simulator& sim;
    std::string failure;
    int32_t Read(int32_t address, Bytes* out = nullptr) {
        Bytes data(4, 0);
        const int32_t status = idec::BlockRead(rig.Link(), d, 'A', address, 4, data.data());
        if (out)
            *out = data;
        return status;
    }
    void Check(bool ok, const std::string& what) {
        if (!ok)
            failure += what + "; ";
    }
    // The channel a failure closed is closed, and only the connect step reopens it.
    void Reopens(const std::string& what) {
        Check(!rig.Connected() && rig.Channel()->IsConnected(true),
              what + " left the channel open, or it did not reopen");
    }
};

int32_t ReadHundred(Ctx& x) {
    Bytes data;
    const int32_t status = x.Read(100, &data);
    x.Check(status != 0 || data == kD100, "D100 read back wrong");
    x.Check(status == 0 || data == Bytes(4, 0), "data stored from a failed read");
    return status;
}

int32_t WriteTen(Ctx& x) {
    const uint8_t bytes[] = {0x00, 0x2A};
    return idec::BlockWrite(x.rig.Link(), x.d, 'A', 10, bytes, 2);
}

int32_t BitRead(Ctx& x, int32_t address, bool* on) {
    return idec::BitRead(x.rig.Link(), x.d, 'x', address, on);
}

struct Case {
    const char* name;
    std::function<void(idecsim::Simulator&)> faults;
    std::function<int32_t(Ctx&)> run; // the last result
    int32_t before;                   // device status beforehand
    int32_t result, status;
    uint32_t atLeastMs;
};

struct Outcome {
    int32_t result = 99, status = 99;
    uint32_t elapsed = 0;
    std::string failure;
};

// Each case on a simulator and link of its own, all at once: their waits
// overlap instead of adding up.
TEST(Exchanges, EachReplyKindLeavesItsStatus) {
    // clang-format off
    const std::vector<Case> cases = {
        // The request as it goes out, byte for byte.
        {"read answered", nullptr, [](Ctx& x) {
             const int32_t status = ReadHundred(x);
             const std::vector<idecsim::Exchange> log = x.sim.FrameLog();
             x.Check(!log.empty() && log.back().request == "\x05" "010RA0000006404" "21\r", "read frame");
             return status; }, 11, 0, 0, 0},
        {"read without reply", With(FaultKind::kNoReply, 'R'), ReadHundred, 0, 13, 13, 1400},
        {"read NAK", With(FaultKind::kNak, 'R'), ReadHundred, 0, 21, 21, 0},
        {"read refused 06", With(FaultKind::kErrorCode, 'R'), ReadHundred, 0, 6, 6, 0},
        {"read refused 0x33", With(FaultKind::kErrorCode, 'R', -1, -1, 0x33), ReadHundred, 0, 0x33, 0x33, 0},
        {"read reply short", With(FaultKind::kShort, 'R'), ReadHundred, 0, 12, 12, 0},
        // Out of range: the PLC refuses; cut short, the refusal's block check
        // stands where its code was and must not be read as one.
        {"read refusal cut short", With(FaultKind::kShort, 'R'), [](Ctx& x) { return x.Read(7999); }, 0, 12, 12, 0},
        // Well inside the read's two seconds: the cases run all at once.
        {"read delayed within its time-out", With(FaultKind::kDelay, 'R', -1, 400), ReadHundred, 13, 0, 0, 350},
        {"read split in four", With(FaultKind::kSplit, 'R', -1, 100, -1, 4), ReadHundred, 13, 0, 0, 250},
        // The late reply to D100 must not become D200's.
        {"late reply", With(FaultKind::kLate, 'R', 1, 2600), [](Ctx& x) {
             x.Check(ReadHundred(x) == 13, "the late read did not time out");
             x.Reopens("the time-out");
             Bytes data;
             const int32_t status = x.Read(200, &data);
             x.Check(data == kD200, "D200 read back another request's data");
             return status; }, 0, 0, 0, 1800},
        // More than any reply holds, without a CR: refused, and the next read
        // starts clean.
        {"reply too long", With(FaultKind::kGarbage, 'R', 1, -1, -1, 0, 1500), [](Ctx& x) {
             x.Check(x.Read(100) == 12, "an overlong reply was not refused");
             x.Reopens("the overlong reply");
             return ReadHundred(x); }, 0, 0, 0, 0},
        {"bit read", nullptr, [](Ctx& x) {
             bool on = false, off = true;
             x.Check(BitRead(x, 14, &off) == 0 && !off, "I14 read as ON");
             const int32_t status = BitRead(x, 15, &on);
             x.Check(on, "I15 read as OFF");
             return status; }, 11, 0, 0, 0},
        {"bit read NAK", With(FaultKind::kNak, 'R', 1), [](Ctx& x) { bool on = false; return BitRead(x, 15, &on); }, 0, 21, 21, 0},
        {"write acknowledged", nullptr, WriteTen, 13, 0, 0, 0},
        // The bytes are gone from the queue: the block shows the failure.
        {"write without reply", With(FaultKind::kNoReply, 'W'), WriteTen, 6, kNR, 13, 4500},
        {"write NAK 04", With(FaultKind::kNak, 'W', -1, -1, 4), WriteTen, 0, 4, 4, 0},
        {"write refused 07", With(FaultKind::kErrorCode, 'W', -1, -1, 7), WriteTen, 0, 7, 7, 0},
        {"write reply split", With(FaultKind::kSplit, 'W', -1, 300, -1, 3), WriteTen, 13, 0, 0, 500},
        // Refused at the cap, not read on to its CR: the connection starts over.
        {"write reply too long", With(FaultKind::kGarbage, 'W', 1, -1, -1, 0, 1500), [](Ctx& x) {
             const int32_t status = WriteTen(x);
             x.Reopens("the overlong write reply");
             return status; }, 0, 12, 12, 0},
        // Letters a frame does not take send nothing: no request reaches the PLC.
        {"no frame for the letter", nullptr, [](Ctx& x) {
             const size_t before = x.sim.FrameLog().size();
             x.Check(idec::BlockRead(x.rig.Link(), x.d, 'x', 0, 2, nullptr) == 13, "read 'x'");
             x.Check(idec::RegisterBitWrite(x.rig.Link(), x.d, '.', 20, 16, true) == kNR, "bit 16");
             const int32_t r = idec::BitWrite(x.rig.Link(), x.d, 'd', 3, true);
             x.Check(x.sim.FrameLog().size() == before, "a frame was sent");
             return r; }, 0, kNR, 13, 0},
        // Without a channel reads give 11 and writes send nothing.
        {"no channel", nullptr, [](Ctx& x) {
             Rig dead(itest::DeadPort(), 1);
             bool on = true;
             x.Check(idec::BitRead(dead.Link(), x.d, 'x', 1, &on) == 11 && on, "bit read");
             x.d.deviceStatus.store(0);
             x.Check(idec::BitWrite(dead.Link(), x.d, 'x', 1, true) == kNR && x.d.deviceStatus.load() == 11, "bit write");
             x.d.deviceStatus.store(0);
             return idec::BlockRead(dead.Link(), x.d, 'A', 100, 4, nullptr); }, 0, 11, 11, 0},
    };
    // clang-format on

    std::vector<Outcome> outcomes(cases.size());
    std::vector<std::function<void()>> jobs;
    for (size_t i = 0; i < cases.size(); ++i) {
        jobs.push_back([&c = cases[i], &o = outcomes[i]] {
            idecsim::Simulator sim;
            for (auto w : {std::pair<uint32_t, uint32_t>{100, 0xBEEF},
                           {101, 0x1234},
                           {200, 0x2002},
                           {201, 0x2003}})
                sim.SetValue("D", w.first, w.second);
            sim.SetValue("I", 15, 1);
            Rig rig(sim.Start(0), 1);
            CPlcDevice& d = rig.AddBlock("D", 7999);
            rig.Link().OnTick();
            if (sim.Port() == 0 || !rig.Connected()) {
                o.failure = "link did not connect";
                return;
            }
            if (c.faults)
                c.faults(sim);
            d.deviceStatus.store(c.before);
            Ctx x{rig, d, sim, ""};
            const uint32_t start = plat::TickCount();
            o.result = c.run(x);
            o.elapsed = itest::Since(start);
            o.status = d.deviceStatus.load();
            o.failure = x.failure;
        });
    }
    itest::RunTogether(jobs);
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].name);
        EXPECT_EQ(outcomes[i].failure, "");
        EXPECT_EQ(outcomes[i].result, cases[i].result);
        EXPECT_EQ(outcomes[i].status, cases[i].status);
        EXPECT_GE(outcomes[i].elapsed, cases[i].atLeastMs);
    }
}

// A PLC side under the test's own control, for replies the simulator does
// not make.
class RawPeer {
public:
    RawPeer() { listener_ = plat::SockListen(plat::kInaddrLoopback, 0, 4, &port_); }
    ~RawPeer() {
        for (plat::SocketHandle s : {conn_, listener_})
            if (s != plat::kInvalidSocket)
                plat::SockClose(s);
    }
    bool Accept() {
        if (plat::SockWait(listener_, false, 5000) == 1)
            conn_ = plat::SockAccept(listener_);
        return conn_ != plat::kInvalidSocket;
    }
    void Send(const std::string& s) { plat::SockSend(conn_, s.data(), static_cast<int>(s.size())); }
    // One request, CR included; empty after 5 s or a close.
    std::string ReadFrame() {
        std::string frame;
        char c = 0;
        while (plat::SockWait(conn_, false, 5000) == 1 && plat::SockRecv(conn_, &c, 1) == 1)
            if ((frame += c, c == idecsim::kCr))
                return frame;
        return std::string();
    }

    plat::SocketHandle listener_ = plat::kInvalidSocket, conn_ = plat::kInvalidSocket;
    uint16_t port_ = 0;
};

std::string Positive(const std::string& data) {
    return idecsim::PositiveReply(1, data);
}

TEST(Exchanges, BytesOfNoRequestAreDiscardedAndCutRepliesReadOnlyWhatCame) {
    RawPeer peer;
    ASSERT_NE(peer.port_, 0);
    Rig rig(peer.port_, 0);
    CPlcDevice d(nullptr);
    rig.Link().OnTick();
    ASSERT_TRUE(peer.Accept());
    ASSERT_TRUE(rig.Connected());

    // Per request: the reply, and bytes sent after it on their own.
    const std::vector<std::pair<std::string, std::string>> steps = {
        {Positive("BEEF"), Positive("0BAD")},
        {"\x15"
         "01\r",
         ""}, // NAK cut before its code
        {"\x06"
         "012\r",
         ""}, // refusal cut before its code
        {"\x06"
         "012\r",
         ""},
        {Positive("1"), ""},
        {Positive("CAFE"), ""},
        // A list longer than its count says: strangers' bytes among the entries.
        {Positive("00000001"
                  "0000000C"
                  "0000000D"),
         ""},
    };
    // Stray bytes go out only once the driver is between exchanges: the PLC
    // counts what it has sent, the test what it has taken.
    std::atomic<int> strays{0}, taken{0};
    std::string unexpected;
    std::thread plc([&] {
        // Something no request asked for, before the first request.
        peer.Send(Positive("DEAD"));
        ++strays;
        for (size_t i = 0; i < steps.size(); ++i) {
            if (peer.ReadFrame().empty()) {
                unexpected = "request missing";
                return;
            }
            peer.Send(steps[i].first);
            if (!steps[i].second.empty()) {
                testutil::WaitUntil([&] { return taken.load() > static_cast<int>(i); }, 10000);
                peer.Send(steps[i].second);
                ++strays;
            }
        }
    });
    // Sent is not yet delivered: loopback may hand it over a moment later.
    auto delivered = [&](int n) {
        EXPECT_TRUE(testutil::WaitUntil([&] { return strays.load() == n; }, 10000)) << n;
        plat::SleepMs(200);
    };
    delivered(1);
    uint8_t data[2] = {};
    EXPECT_EQ(idec::BlockRead(rig.Link(), d, 'A', 100, 2, data), 0);
    EXPECT_EQ(Bytes(data, data + 2), Bytes({0xBE, 0xEF}));
    taken.store(1);
    delivered(2);
    const uint8_t bytes[] = {1, 2};
    EXPECT_EQ(idec::BlockWrite(rig.Link(), d, 'A', 10, bytes, 2), idec::kStatusNak);
    EXPECT_EQ(idec::BlockRead(rig.Link(), d, 'A', 100, 2, data), idec::kStatusReadSize);
    EXPECT_EQ(idec::BitWrite(rig.Link(), d, 'x', 1, true), idec::kStatusReadSize);
    bool on = false;
    EXPECT_EQ(idec::BitRead(rig.Link(), d, 'x', 1, &on), 0);
    EXPECT_TRUE(on);
    EXPECT_EQ(idec::BlockRead(rig.Link(), d, 'A', 100, 2, data), 0);
    EXPECT_EQ(Bytes(data, data + 2), Bytes({0xCA, 0xFE}));
    std::vector<uint32_t> entries = {7};
    EXPECT_EQ(idec::QueryAddressList(*rig.Channel(), "01", 'A', &entries), idec::kListShort);
    EXPECT_EQ(entries, std::vector<uint32_t>());
    plc.join();
    EXPECT_EQ(unexpected, "");
    // All of it on the one connection: nothing forced a reconnect.
    EXPECT_TRUE(rig.Connected());
}

} // namespace
