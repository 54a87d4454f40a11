// Single exchanges on a link's own channel: what each reply kind leaves as
// the device block's status, replies that come split, late, too long or not
// at all, bytes that belong to no request, and requests the simulator
// carries out.
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
using idecsim::FaultRule;
using itest::Rig;

typedef std::function<void(idecsim::Simulator&)> Faults;

// One rule: kind for one command, the other fields as FaultRule's defaults
// when -1.
Faults With(FaultKind kind, char command, int64_t count = -1, int64_t ms = -1, int code = -1,
            int parts = 0, int bytes = 0) {
    FaultRule r;
    r.kind = kind;
    r.command = command;
    r.count = count;
    r.ms = ms;
    r.code = code;
    r.parts = parts;
    r.bytes = bytes;
    return [r](idecsim::Simulator& s) { s.AddFault(r); };
}

// Simulator memory the reads below expect.
void Fill(idecsim::Simulator& sim) {
    sim.SetValue("D", 100, 0xBEEF);
    sim.SetValue("D", 101, 0x1234);
    sim.SetValue("D", 200, 0x2002);
    sim.SetValue("D", 201, 0x2003);
    sim.SetValue("I", 15, 1);
}
const std::vector<uint8_t> kD100 = {0xBE, 0xEF, 0x12, 0x34};
const std::vector<uint8_t> kD200 = {0x20, 0x02, 0x20, 0x03};

std::vector<uint8_t> ReadD(Rig& rig, CPlcDevice& d, int32_t address, int32_t* status) {
    std::vector<uint8_t> data(4, 0);
    *status = idec::BlockRead(rig.Link(), d, 'A', address, 4, data.data());
    return data;
}

struct Case {
    const char* name;
    std::function<void(idecsim::Simulator&)> faults;
    // Runs the exchanges; returns the last result and may add failures.
    std::function<int32_t(Rig&, CPlcDevice&, std::string*)> run;
    int32_t before; // device status beforehand
    int32_t result;
    int32_t status;
    uint32_t atLeastMs;
};

struct Outcome {
    int32_t result = 99;
    int32_t status = 99;
    uint32_t elapsed = 0;
    std::string failure;
};

int32_t ReadHundred(Rig& rig, CPlcDevice& d, std::string* failure) {
    int32_t status = 0;
    std::vector<uint8_t> data = ReadD(rig, d, 100, &status);
    if (status == 0 && data != kD100)
        *failure = "D100 read back wrong";
    if (status != 0 && data != std::vector<uint8_t>(4, 0))
        *failure = "data stored from a failed read";
    return status;
}

int32_t WriteTen(Rig& rig, CPlcDevice& d, std::string*) {
    const uint8_t bytes[] = {0x00, 0x2A};
    return idec::BlockWrite(rig.Link(), d, 'A', 10, bytes, 2);
}

// Each case on a simulator and link of its own, all at once: their waits
// overlap instead of adding up.
TEST(Exchanges, EachReplyKindLeavesItsStatus) {
    const uint32_t kNone = 0;
    std::vector<Case> cases = {
        {"read answered", nullptr, ReadHundred, 11, 0, 0, kNone},
        {"read without reply", With(FaultKind::kNoReply, 'R'), ReadHundred, 0, 13, 13, 1400},
        {"read NAK", With(FaultKind::kNak, 'R'), ReadHundred, 0, 21, 21, kNone},
        {"read refused 06", With(FaultKind::kErrorCode, 'R'), ReadHundred, 0, 6, 6, kNone},
        {"read refused 0x33", With(FaultKind::kErrorCode, 'R', -1, -1, 0x33), ReadHundred, 0, 0x33,
         0x33, kNone},
        {"read reply short", With(FaultKind::kShort, 'R'), ReadHundred, 0, 12, 12, kNone},
        // Out of range: the PLC refuses; cut short, the refusal's block check
        // stands where its code was and must not be read as one.
        {"read refusal cut short", With(FaultKind::kShort, 'R'),
         [](Rig& rig, CPlcDevice& d, std::string*) {
             int32_t status = 0;
             ReadD(rig, d, 7999, &status);
             return status;
         },
         0, 12, 12, kNone},
        // Well inside the read's two seconds: the cases run all at once.
        {"read delayed within its time-out", With(FaultKind::kDelay, 'R', -1, 400), ReadHundred, 13,
         0, 0, 350},
        {"read split in four", With(FaultKind::kSplit, 'R', -1, 100, -1, 4), ReadHundred, 13, 0, 0,
         250},
        // The late reply to D100 must not become D200's.
        {"late reply", With(FaultKind::kLate, 'R', 1, 2600),
         [](Rig& rig, CPlcDevice& d, std::string* failure) {
             if (ReadHundred(rig, d, failure) != 13)
                 *failure = "the late read did not time out";
             // Only the connect step reconnects the channel the time-out closed.
             if (rig.Connected() || !rig.Channel()->IsConnected(true))
                 *failure = "the time-out left the channel open, or it did not reopen";
             int32_t status = 0;
             if (ReadD(rig, d, 200, &status) != kD200)
                 *failure = "D200 read back another request's data";
             return status;
         },
         0, 0, 0, 1800},
        // More than any reply holds, without a CR: refused, and the next read
        // starts clean.
        {"reply too long", With(FaultKind::kGarbage, 'R', 1, -1, -1, 0, 1500),
         [](Rig& rig, CPlcDevice& d, std::string* failure) {
             int32_t status = 0;
             ReadD(rig, d, 100, &status);
             if (status != 12)
                 *failure = "an overlong reply gave " + std::to_string(status);
             if (rig.Connected() || !rig.Channel()->IsConnected(true))
                 *failure = "the overlong reply left the channel open, or it did not reopen";
             return ReadHundred(rig, d, failure);
         },
         0, 0, 0, kNone},
        {"bit read", nullptr,
         [](Rig& rig, CPlcDevice& d, std::string* failure) {
             bool on = false;
             int32_t status = idec::BitRead(rig.Link(), d, 'x', 15, &on);
             if (!on)
                 *failure = "I15 read as OFF";
             return status;
         },
         11, 0, 0, kNone},
        {"bit read NAK", With(FaultKind::kNak, 'R', 1),
         [](Rig& rig, CPlcDevice& d, std::string*) {
             bool on = false;
             return idec::BitRead(rig.Link(), d, 'x', 15, &on);
         },
         0, 21, 21, kNone},
        {"write acknowledged", nullptr, WriteTen, 13, 0, 0, kNone},
        // The bytes are gone from the queue: the block shows the failure.
        {"write without reply", With(FaultKind::kNoReply, 'W'), WriteTen, 6, idec::kNoReply, 13,
         4500},
        {"write NAK 04", With(FaultKind::kNak, 'W', -1, -1, 4), WriteTen, 0, 4, 4, kNone},
        {"write refused 07", With(FaultKind::kErrorCode, 'W', -1, -1, 7), WriteTen, 0, 7, 7, kNone},
        {"write reply split", With(FaultKind::kSplit, 'W', -1, 300, -1, 3), WriteTen, 13, 0, 0,
         500},
    };

    std::vector<Outcome> outcomes(cases.size());
    std::vector<std::function<void()>> jobs;
    for (size_t i = 0; i < cases.size(); ++i) {
        jobs.push_back([&c = cases[i], &o = outcomes[i]] {
            idecsim::Simulator sim;
            Fill(sim);
            const uint16_t port = sim.Start(0);
            if (port == 0) {
                o.failure = "simulator did not start";
                return;
            }
            Rig rig(port, 1);
            CPlcDevice& d = rig.AddBlock("D", 7999);
            rig.Link().OnTick();
            if (!rig.Connected()) {
                o.failure = "link did not connect";
                return;
            }
            if (c.faults)
                c.faults(sim);
            d.deviceStatus.store(c.before);
            const uint32_t start = plat::TickCount();
            o.result = c.run(rig, d, &o.failure);
            o.elapsed = itest::Since(start);
            o.status = d.deviceStatus.load();
        });
    }
    itest::RunTogether(jobs);

    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        const Outcome& o = outcomes[i];
        SCOPED_TRACE(c.name);
        EXPECT_EQ(o.failure, "");
        EXPECT_EQ(o.result, c.result);
        EXPECT_EQ(o.status, c.status);
        EXPECT_GE(o.elapsed, c.atLeastMs);
    }
}

TEST(Exchanges, WithoutChannelReadsGive11AndWritesSendNothing) {
    Rig rig(itest::DeadPort(), 1);
    CPlcDevice& d = rig.AddBlock("D", 7999);
    d.deviceStatus.store(0);
    uint8_t data[4] = {};
    EXPECT_EQ(idec::BlockRead(rig.Link(), d, 'A', 100, 4, data), idec::kStatusNotInitialized);
    EXPECT_EQ(d.deviceStatus.load(), idec::kStatusNotInitialized);
    bool on = true;
    d.deviceStatus.store(0);
    EXPECT_EQ(idec::BitRead(rig.Link(), d, 'x', 1, &on), idec::kStatusNotInitialized);
    EXPECT_TRUE(on);
    d.deviceStatus.store(0);
    EXPECT_EQ(idec::BitWrite(rig.Link(), d, 'x', 1, true), idec::kNoReply);
    EXPECT_EQ(d.deviceStatus.load(), idec::kStatusNotInitialized);
}

// The requests the simulator carries out show that every frame parsed there
// as meant, the example of a block read byte for byte.
TEST(Exchanges, SimulatorCarriesOutEveryFrame) {
    idecsim::Simulator sim;
    Fill(sim);
    ASSERT_NE(sim.Start(0), 0);
    Rig rig(sim.Port(), 0);
    CPlcDevice d(nullptr);
    rig.Link().OnTick();
    ASSERT_TRUE(rig.Connected());

    int32_t status = -1;
    EXPECT_EQ(ReadD(rig, d, 100, &status), kD100);
    EXPECT_EQ(status, 0);
    const std::string example = std::string("\x05") + "010RA0000006404" + "21" + "\r";
    ASSERT_FALSE(sim.FrameLog().empty());
    EXPECT_EQ(sim.FrameLog().back().request, example);

    const uint8_t words[] = {0x12, 0x34, 0x56, 0x78};
    EXPECT_EQ(idec::BlockWrite(rig.Link(), d, 'A', 10, words, 4), 0);
    EXPECT_EQ(sim.Value("D", 10), 0x1234u);
    EXPECT_EQ(sim.Value("D", 11), 0x5678u);
    EXPECT_EQ(idec::RegisterBitWrite(rig.Link(), d, '.', 20, 11, true), 0);
    EXPECT_EQ(sim.Value("D", 20), 0x0800u);
    EXPECT_EQ(idec::BitWrite(rig.Link(), d, 'a', 17, true), 0);
    EXPECT_EQ(sim.Value("M", 17), 1u);
    EXPECT_EQ(idec::BitWrite(rig.Link(), d, 'y', 5, true), 0);
    EXPECT_EQ(sim.Value("Q", 5), 1u);
    bool on = false;
    EXPECT_EQ(idec::BitRead(rig.Link(), d, 'x', 15, &on), 0);
    EXPECT_TRUE(on);
    EXPECT_EQ(idec::BitRead(rig.Link(), d, 'x', 14, &on), 0);
    EXPECT_FALSE(on);
    for (const idecsim::Exchange& e : sim.FrameLog())
        EXPECT_EQ(e.reply.substr(0, 1), "\x06") << idecsim::Printable(e.request);

    // Letters a frame does not take send nothing: no request reaches the PLC.
    const size_t before = sim.FrameLog().size();
    d.deviceStatus.store(0);
    EXPECT_EQ(idec::BlockRead(rig.Link(), d, 'x', 0, 2, nullptr), idec::kStatusRecvTimeout);
    EXPECT_EQ(idec::RegisterBitWrite(rig.Link(), d, '.', 20, 16, true), idec::kNoReply);
    EXPECT_EQ(idec::BitWrite(rig.Link(), d, 'd', 3, true), idec::kNoReply);
    EXPECT_EQ(sim.FrameLog().size(), before);
}

// A PLC side under the test's own control, for replies the simulator does
// not make.
class RawPeer {
public:
    RawPeer() : listener_(plat::kInvalidSocket), conn_(plat::kInvalidSocket), port_(0) {
        listener_ = plat::SockListen(plat::kInaddrLoopback, 0, 4, &port_);
    }
    ~RawPeer() {
        if (conn_ != plat::kInvalidSocket)
            plat::SockClose(conn_);
        if (listener_ != plat::kInvalidSocket)
            plat::SockClose(listener_);
    }
    uint16_t Port() const { return port_; }
    bool Accept() {
        if (plat::SockWait(listener_, false, 5000) != 1)
            return false;
        conn_ = plat::SockAccept(listener_);
        return conn_ != plat::kInvalidSocket;
    }
    bool Send(const std::string& s) {
        return plat::SockSend(conn_, s.data(), static_cast<int>(s.size())) ==
               static_cast<int>(s.size());
    }
    // One request, CR included; empty after 5 s or a close.
    std::string ReadFrame() {
        std::string frame;
        char c = 0;
        while (plat::SockWait(conn_, false, 5000) == 1 && plat::SockRecv(conn_, &c, 1) == 1) {
            frame += c;
            if (c == idecsim::kCr)
                return frame;
        }
        return std::string();
    }

private:
    plat::SocketHandle listener_;
    plat::SocketHandle conn_;
    uint16_t port_;
};

std::string Positive(const std::string& data) {
    return idecsim::PositiveReply(1, data);
}

TEST(Exchanges, BytesOfNoRequestAreDiscardedAndCutRepliesReadOnlyWhatCame) {
    RawPeer peer;
    ASSERT_NE(peer.Port(), 0);
    Rig rig(peer.Port(), 0);
    CPlcDevice d(nullptr);
    rig.Link().OnTick();
    ASSERT_TRUE(peer.Accept());
    ASSERT_TRUE(rig.Connected());

    // Per request: the reply, and bytes sent after it on their own.
    struct Step {
        std::string reply;
        std::string after;
    };
    const std::vector<Step> steps = {
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
            peer.Send(steps[i].reply);
            if (!steps[i].after.empty()) {
                testutil::WaitUntil([&] { return taken.load() > static_cast<int>(i); }, 10000);
                peer.Send(steps[i].after);
                ++strays;
            }
        }
    });
    EXPECT_TRUE(testutil::WaitUntil([&] { return strays.load() == 1; }, 10000));
    plat::SleepMs(200);
    uint8_t data[2] = {};
    EXPECT_EQ(idec::BlockRead(rig.Link(), d, 'A', 100, 2, data), 0);
    EXPECT_EQ(data[0], 0xBE);
    EXPECT_EQ(data[1], 0xEF);
    taken.store(1);
    if (!testutil::WaitUntil([&] { return strays.load() == 2; }, 10000))
        ADD_FAILURE() << "the PLC did not send its stray reply";
    // Sent is not yet delivered: loopback may hand it over a moment later.
    plat::SleepMs(200);
    const uint8_t bytes[] = {1, 2};
    EXPECT_EQ(idec::BlockWrite(rig.Link(), d, 'A', 10, bytes, 2), idec::kStatusNak);
    EXPECT_EQ(idec::BlockRead(rig.Link(), d, 'A', 100, 2, data), idec::kStatusReadSize);
    EXPECT_EQ(idec::BitWrite(rig.Link(), d, 'x', 1, true), idec::kStatusReadSize);
    bool on = false;
    EXPECT_EQ(idec::BitRead(rig.Link(), d, 'x', 1, &on), 0);
    EXPECT_TRUE(on);
    EXPECT_EQ(idec::BlockRead(rig.Link(), d, 'A', 100, 2, data), 0);
    EXPECT_EQ(data[0], 0xCA);
    EXPECT_EQ(data[1], 0xFE);
    plc.join();
    EXPECT_EQ(unexpected, "");
    // All of it on the one connection: nothing forced a reconnect.
    EXPECT_TRUE(rig.Connected());
}

} // namespace
