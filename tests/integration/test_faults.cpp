// What the host is told while the plant fails: a PLC that goes away, a range
// the PLC refuses, a value whose words lie in two reads or past a range, a
// write whose reply never comes. A link on the model API runs against the
// simulator, ticked by the test, with the driver object's host services on
// top; no timer runs, so each pass happens when the test says.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "NimbroDriver.h"
#include "driver/DrvIDec.h"
#include "harness.h"
#include "model/PlcDefinition.h"
#include "platform/socket.h"
#include "testutil/testutil.h"

namespace {

using idecsim::FaultKind;
using idecsim::FaultRule;
using itest::Rig;
using testutil::W;

class Network : public ::testing::Environment {
public:
    void SetUp() override { ASSERT_EQ(plat::NetStartup(), 0); }
    void TearDown() override { plat::NetCleanup(); }
};
const auto* const kNetwork = ::testing::AddGlobalTestEnvironment(new Network);

// The simulator's D has a gap: D0-D120 and D2000-D2010.
const char kGapLine[] = "D: D,Word,Dec,2,0,120,2000,2010,read,write,";

std::string Definition(bool gap) {
    std::string text = itest::kIdecDefinition;
    if (gap) {
        const std::string line = "D: D,Word,Dec,2,0,7999,8000,8499,read,write,";
        text.replace(text.find(line), line.size(), kGapLine);
    }
    return text;
}

// A plant: the simulator, a link to it with blocks D and M, and the host
// services. Ticks are the test's.
class Plant {
public:
    explicit Plant(bool gap = false) : gap_(gap) {}

    bool Start() {
        std::string error;
        if (!sim.LoadPlcText(Definition(gap_), &error))
            return false;
        for (uint32_t a = 0; a <= 120; ++a)
            sim.SetValue("D", a, a);
        sim.SetValue("D", 2000, 2000);
        port = sim.Start(0);
        if (port == 0)
            return false;
        rig.reset(new Rig(port, 1));
        d = Block("D");
        tc = Block("TC");
        if (!d || !tc)
            return false;
        rig->Table().SetReadInterval(0);
        driver.reset(new CDrvIDec(rig->Table()));
        rig->Link().OnTick(); // enumeration and connection
        return rig->Connected();
    }

    // One link turn. A read pass runs when the clock has moved since the
    // last one, whatever the interval: the pause makes sure it has.
    void Tick() {
        plat::SleepMs(2);
        rig->Link().OnTick();
    }

    // Ticks until the item reads ResultOk (a bound on ticks, not on time).
    bool Settle(CPlcDevice* block, const char* item, int ticks = 4) {
        for (int i = 0; i < ticks; ++i) {
            uint32_t v = 0;
            if (Read(block, item, &v) == ResultOk)
                return true;
            Tick();
        }
        return false;
    }

    int32_t Read(CPlcDevice* block, const std::string& item, uint32_t* value,
                 int32_t type = TypeU32) {
        int32_t count = 0;
        *value = 0;
        return driver->ReadItem(block, N(item), &type, value, 1, &count, 0);
    }
    uint32_t Status(CPlcDevice* block) {
        uint32_t v = 0;
        return Read(block, "Status", &v, TypeDefault) == ResultOk ? v : 0xFFFFFFFFu;
    }
    int32_t WriteU16(CPlcDevice* block, const std::string& item, uint16_t value) {
        int32_t count = 0;
        return driver->WriteItem(block, N(item), TypeU16, &value, 0, &count, 0);
    }
    const NimbroChar* N(const std::string& text) {
        names_.push_back(W(text));
        return reinterpret_cast<const NimbroChar*>(names_.back().c_str());
    }

    idecsim::Simulator sim;
    uint16_t port = 0;
    std::unique_ptr<Rig> rig;
    std::unique_ptr<CDrvIDec> driver;
    CPlcDevice* d = nullptr;
    CPlcDevice* tc = nullptr;

private:
    // The block as the configuration load makes it from the definition.
    CPlcDevice* Block(const char* type) {
        const std::string text = Definition(gap_);
        CPlcDefinitionFile file;
        DeviceTypeRecord record;
        if (!file.LoadText(text.c_str(), text.size()) || !file.ParseDeviceType(type, &record))
            return nullptr;
        CPlcDevice* block = GetOrCreatePlcDevice(&rig->Plc(), record);
        if (block)
            block->listed = 1;
        return block;
    }

    bool gap_;
    std::vector<testutil::WString> names_;
};

// Connects wait at a gate that the test opens: the PLC whose connect never
// completes.
std::atomic<bool> gGateOpen{true};
std::atomic<int> gGated{0};
int (*gRealConnect)(plat::SocketHandle, uint32_t, uint16_t) = nullptr;
int GatedConnect(plat::SocketHandle s, uint32_t addr, uint16_t port) {
    gGated.fetch_add(1);
    while (!gGateOpen.load())
        std::this_thread::yield();
    return gRealConnect(s, addr, port);
}

class ConnectGate {
public:
    ConnectGate() : saved_(plat::SocketOpsTable()) {
        gRealConnect = saved_.connect;
        gGated.store(0);
        gGateOpen.store(false);
        plat::SocketOpsTable().connect = &GatedConnect;
    }
    ~ConnectGate() { Restore(); }
    void Open() { gGateOpen.store(true); }
    // The table is plain data: put it back only while no other thread uses
    // sockets.
    void Restore() {
        Open();
        if (!restored_)
            plat::SocketOpsTable() = saved_;
        restored_ = true;
    }

private:
    plat::SocketOps saved_;
    bool restored_ = false;
};

// The PLC goes away, and its next connect hangs: host calls still return at
// once, nothing the link read before counts as good, and Status says why;
// writes are refused. When the PLC is back, values are good again only once
// read anew.
TEST(PlantFaults, APlcThatGoesAwayIsNeverReportedGoodAndNeverBlocksTheHost) {
    Plant p;
    ASSERT_TRUE(p.Start());
    uint32_t v = 0;
    // Two runs of D: the first meets the closed connection, the second must
    // not connect under the device lock.
    p.Read(p.d, "D100", &v);
    p.Read(p.d, "D300", &v);
    p.Read(p.tc, "TC7", &v);
    ASSERT_TRUE(p.Settle(p.d, "D300"));
    ASSERT_TRUE(p.Settle(p.d, "D100"));
    ASSERT_TRUE(p.Settle(p.tc, "TC7"));
    EXPECT_EQ(p.WriteU16(p.d, "D101", 7), ResultOk);
    p.Tick();
    EXPECT_EQ(p.sim.Value("D", 101), 7u);

    const uint16_t port = p.port;
    p.sim.Stop();
    ConnectGate gate; // once the simulator's threads are gone
    // The worker meets the closed connection and then the hanging connect,
    // in whichever tick that happens.
    std::atomic<bool> ticking{true};
    std::thread worker([&] {
        while (ticking.load() && gGated.load() == 0)
            p.Tick();
    });
    ASSERT_TRUE(testutil::WaitUntil([] { return gGated.load() > 0; }, 20000));

    // The worker is inside the connect now; every host call answers.
    std::atomic<int> answered{0};
    int32_t results[6] = {};
    uint32_t statuses[2] = {};
    std::thread host([&] {
        uint32_t x = 0;
        results[0] = p.Read(p.d, "D100", &x);
        results[1] = p.Read(p.tc, "TC7", &x);
        results[2] = p.WriteU16(p.d, "D102", 9);
        results[3] = p.WriteU16(p.tc, "TC8", 9);
        results[4] = p.driver->RegisterItem(p.d, p.N("D103"), nullptr, nullptr, nullptr);
        results[5] = p.Read(p.d, "D100.Long", &x);
        statuses[0] = p.Status(p.d);
        statuses[1] = p.Status(p.tc);
        answered.store(1);
    });
    const bool inTime = testutil::WaitUntil([&] { return answered.load() != 0; }, 10000);
    gate.Open();
    host.join();
    ticking.store(false);
    worker.join();
    gate.Restore();
    ASSERT_TRUE(inTime) << "a host call waited on the connect";
    for (int i : {0, 1, 5})
        EXPECT_NE(results[i], ResultOk) << "read " << i << " answered good without a connection";
    EXPECT_NE(results[2], ResultOk) << "a write was accepted that cannot be sent";
    EXPECT_NE(results[3], ResultOk) << "a write was accepted that cannot be sent";
    EXPECT_EQ(results[4], 1);
    for (uint32_t s : statuses)
        EXPECT_NE(s, 0u) << "Status showed no failure";

    // Back again on the same port: good only after a read over the new
    // connection.
    ASSERT_EQ(p.sim.Start(port), port);
    p.sim.SetValue("D", 100, 4321);
    EXPECT_TRUE(p.Settle(p.d, "D100", 6));
    ASSERT_EQ(p.Read(p.d, "D100", &v), ResultOk);
    EXPECT_EQ(v, 4321u);
}

// Rows: runs of one block where the PLC refuses one run's read, a value
// whose second word lies past its range or in the next run, and a text
// bounded by its own range. Each item must answer good exactly when its
// bytes were read whole, with what the PLC holds.
TEST(PlantFaults, AValueIsGoodOnlyWhenTheRunThatReadItReadAllOfIt) {
    Plant p(true);
    ASSERT_TRUE(p.Start());
    p.sim.SetValue("D", 110, 0x6869); // "hi"
    p.sim.SetValue("D", 111, 0);
    p.sim.SetValue("TC", 105, 1);
    p.sim.SetValue("TC", 106, 2);
    uint32_t v = 0;
    // Runs of D: D100-D108, D120, D2000-D2008, D2010. TC0-TC105 is cut at
    // 100 units, TC106 on is a run of its own.
    for (const char* item : {"D100", "D2000", "D120.Long", "D2010"})
        p.Read(p.d, item, &v);
    for (int a = 0; a <= 105; a += 7)
        p.Read(p.tc, "TC" + std::to_string(a), &v);
    p.Read(p.tc, "TC105.Long", &v);
    p.Read(p.tc, "TC112", &v);
    ASSERT_TRUE(p.Settle(p.d, "D2000"));
    ASSERT_TRUE(p.Settle(p.tc, "TC105"));
    EXPECT_EQ(p.Read(p.d, "D100", &v), ResultOk);
    EXPECT_EQ(v, 100u);
    EXPECT_EQ(p.Read(p.d, "D2010", &v), ResultOk);
    // Its second word is past the range's end: never good.
    EXPECT_EQ(p.Read(p.d, "D120", &v), ResultOk);
    EXPECT_EQ(p.Read(p.d, "D120.Long", &v), ResultFailed);

    // One pass: D's first run (D100-D108) and TC's second (from TC106) are
    // refused; the runs after each are read well.
    p.sim.ClearFrameLog();
    p.Tick();
    ASSERT_EQ(p.sim.FrameLog().size(), 6u); // D100, D120, D2000, D2010, TC0, TC106
    FaultRule d100;
    d100.kind = FaultKind::kErrorCode;
    d100.command = 'R';
    d100.letter = 'A';
    d100.count = 1;
    FaultRule tc106 = d100;
    tc106.letter = 't';
    tc106.skip = 1;
    p.sim.AddFault(d100);
    p.sim.AddFault(tc106);
    p.Tick();
    ASSERT_EQ(p.sim.Fired(FaultKind::kErrorCode), 2u);

    EXPECT_EQ(p.Read(p.d, "D100", &v), ResultFailed) << "a refused run kept its old value good";
    EXPECT_EQ(p.Read(p.d, "D2000", &v), ResultOk);
    EXPECT_EQ(v, 2000u);
    EXPECT_EQ(p.Status(p.d), 6u) << "a later good run hid the refusal";
    EXPECT_EQ(p.Read(p.tc, "TC112", &v), ResultFailed);
    ASSERT_EQ(p.Read(p.tc, "TC105.Long", &v), ResultOk);
    EXPECT_EQ(v, 0x00010002u); // word order 0: the first word high

    // A text reads no further than its own item and range: nothing of the
    // gap is asked for.
    p.sim.ClearFrameLog();
    int32_t type = TypeText;
    WChar text[8] = {};
    int32_t count = 0;
    p.driver->ReadItem(p.d, p.N("D110.String8"), &type, text, 8, &count, 0);
    p.Tick();
    p.Tick();
    ASSERT_EQ(p.driver->ReadItem(p.d, p.N("D110.String8"), &type, text, 8, &count, 0), ResultOk);
    EXPECT_EQ(testutil::Narrow(text), "hi");
    for (const idecsim::Exchange& e : p.sim.FrameLog())
        EXPECT_FALSE(e.reply.size() > 3 && e.reply[3] == '2') << "refused: " << e.request;
}

// A first enumeration that hangs (a connect that never completes) holds the
// host's calls for a bounded time only, on the table's clock.
std::atomic<bool> gHoldEnumeration{false};
std::atomic<uint32_t> gClock{1000};
uint32_t TestClock() {
    return gClock.load();
}
class HeldChannel : public CEngineLinkChannel {
public:
    explicit HeldChannel(const IDecOpenParams* params) : CEngineLinkChannel(params) {}
    void EnumeratePlc(CPlcDrvLink& link, CPlc&) override {
        while (gHoldEnumeration.load() && !link.Stopping())
            std::this_thread::yield();
    }
    static CLinkChannel* Create(const IDecOpenParams* params) { return new HeldChannel(params); }
};

TEST(PlantFaults, HostCallsWaitForAHangingFirstEnumerationTenSecondsAtMost) {
    Rig rig(itest::DeadPort(), 1);
    CPlcDevice& d = rig.AddBlock("D", 7999);
    rig.Table().SetChannelFactory(&HeldChannel::Create);
    rig.Table().SetTickSource(&TestClock);
    CDrvIDec driver(rig.Table());
    gHoldEnumeration.store(true);
    std::thread worker([&] { rig.Link().OnTick(); });
    ASSERT_TRUE(testutil::WaitUntil([&] { return rig.Link().FirstEnumerationRunning(); }, 10000));
    std::atomic<int32_t> result{-1};
    std::thread host([&] {
        uint32_t v = 0;
        int32_t type = TypeU32;
        int32_t count = 0;
        const testutil::WString name = W("D100");
        result.store(driver.ReadItem(&d, reinterpret_cast<const NimbroChar*>(name.c_str()), &type,
                                     &v, 1, &count, 0));
    });
    // Nine seconds on the table's clock: still waiting.
    for (int i = 0; i < 9; ++i) {
        gClock.fetch_add(1000);
        plat::SleepMs(20);
    }
    const bool waitedNine = result.load() == -1;
    // Past ten: the call goes on while the enumeration still hangs.
    const bool ended = testutil::WaitUntil(
        [&] {
            gClock.fetch_add(100);
            return result.load() != -1;
        },
        10000);
    const bool stillHanging = rig.Link().FirstEnumerationRunning();
    gHoldEnumeration.store(false);
    host.join();
    worker.join();
    EXPECT_TRUE(waitedNine);
    EXPECT_TRUE(ended);
    EXPECT_TRUE(stillHanging);
    EXPECT_EQ(result.load(), ResultNotReady);
}

// A text on words goes out in whole words: an odd count ends with a zero
// byte after the terminator.
TEST(PlantFaults, ATextOnWordsIsWrittenInWholeWords) {
    Plant p;
    ASSERT_TRUE(p.Start());
    p.sim.SetValue("D", 402, 0xFFFF);
    uint32_t v = 0;
    p.Read(p.d, "D100", &v);
    ASSERT_TRUE(p.Settle(p.d, "D100"));
    const testutil::WString text = W("abcd");
    int32_t count = 0;
    ASSERT_EQ(p.driver->WriteItem(p.d, p.N("D400.String4"), TypeText, text.c_str(), 4, &count, 0),
              ResultOk);
    p.sim.ClearFrameLog();
    p.rig->Table().SetReadInterval(60000); // this tick writes only
    p.Tick();
    ASSERT_EQ(p.sim.FrameLog().size(), 1u);
    EXPECT_EQ(p.sim.FrameLog()[0].request.substr(5, 11), "A0000019006"); // 6 bytes at D400
    EXPECT_EQ(p.sim.Value("D", 400), 0x6162u);
    EXPECT_EQ(p.sim.Value("D", 401), 0x6364u);
    EXPECT_EQ(p.sim.Value("D", 402), 0u);
}

// A write whose reply never comes: whether the PLC took it is unknown and its
// bytes are gone from the queue, so the block shows the failure until one of
// its exchanges succeeds.
TEST(PlantFaults, AWriteWithoutReplyShowsInStatusUntilAnExchangeSucceeds) {
    Plant p;
    ASSERT_TRUE(p.Start());
    uint32_t v = 0;
    p.Read(p.d, "D100", &v);
    ASSERT_TRUE(p.Settle(p.d, "D100"));
    FaultRule silent;
    silent.kind = FaultKind::kNoReply;
    silent.command = 'W';
    silent.count = 1;
    p.sim.AddFault(silent);
    ASSERT_EQ(p.WriteU16(p.d, "D100", 5), ResultOk);
    p.rig->Table().SetReadInterval(60000); // this tick writes only
    p.Tick();
    ASSERT_EQ(p.sim.Fired(FaultKind::kNoReply), 1u);
    EXPECT_NE(p.Status(p.d), 0u);
    p.rig->Table().SetReadInterval(0);
    EXPECT_TRUE(p.Settle(p.d, "D100", 6));
    EXPECT_EQ(p.Status(p.d), 0u);
}

} // namespace
