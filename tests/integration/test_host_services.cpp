// The host services end to end: a CDrvIDec on a link table whose one link
// runs against the simulator on loopback, with the device blocks of the
// shipped controller definition (config/idec.plc). What a write does is
// checked in the simulator's memory, with the expected words worked out by
// hand; what a read gives is checked against values put into the simulator.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#if defined(__linux__)
#include <sys/syscall.h>
#include <unistd.h>

#include <fstream>
#endif

#include "NimbroDriver.h"
#include "driver/DrvIDec.h"
#include "harness.h"
#include "model/PlcDefinition.h"
#include "platform/sync.h"
#include "platform/variant.h"
#include "support/LockGuard.h"
#include "testutil/testutil.h"

namespace {

using idecsim::FaultKind;
using idecsim::FaultRule;
using itest::Rig;
using testutil::Narrow;
using testutil::W;
using testutil::WaitUntil;
using testutil::WString;

// WinSock needs starting before the simulator makes its sockets.
class Network : public ::testing::Environment {
public:
    void SetUp() override { ASSERT_EQ(plat::NetStartup(), 0); }
    void TearDown() override { plat::NetCleanup(); }
};
const auto* const kNetwork = ::testing::AddGlobalTestEnvironment(new Network);

// The shipped controller definition, for the driver and the simulator alike.
const char* const kDefinition = itest::kIdecDefinition;

const char kDeviceTypes[] = "I,Q,M,R,T,TC,TP,C,CC,CP,D,P";

// Bound of every wait for the link; reads time out after two seconds, so a
// few of them fit.
constexpr uint32_t kBound = 15000;
constexpr uint32_t kCanary = 0xC0DEC0DEu;
constexpr WChar kCanaryUnit = 0x7E7E;

// ---- a link channel the tests can hold ----

// Enumeration gate: 0 passes, 1 holds until released, 2 holds until released
// or the link stops.
std::atomic<int> gGate{0};
std::atomic<bool> gGateEntered{false};
std::atomic<bool> gGateRelease{false};
// Read scans are skipped while paused; each skip is counted.
std::atomic<bool> gScanPaused{false};
std::atomic<uint64_t> gScansSkipped{0};

class GatedChannel : public CEngineLinkChannel {
public:
    explicit GatedChannel(const IDecOpenParams* params) : CEngineLinkChannel(params) {}

    void EnumeratePlc(CPlcDrvLink& link, CPlc& plc) override {
        const int gate = gGate.load();
        if (gate == 0) {
            CEngineLinkChannel::EnumeratePlc(link, plc);
            return;
        }
        gGateEntered.store(true);
        while (!gGateRelease.load() && !(gate == 2 && link.Stopping()))
            std::this_thread::yield();
    }

    bool ReadScan(CPlcDrvLink& link, CPlcDevice& device) override {
        if (gScanPaused.load()) {
            gScansSkipped.fetch_add(1);
            return false;
        }
        return CEngineLinkChannel::ReadScan(link, device);
    }

    static CLinkChannel* Create(const IDecOpenParams* params) {
        return new (std::nothrow) GatedChannel(params);
    }
};

// The clock of host accesses and of the scan's freshness rule.
std::atomic<uint32_t> gClock{5000000};
uint32_t TestClock() {
    return gClock.load();
}

const NimbroChar* N(const WChar* text) {
    return reinterpret_cast<const NimbroChar*>(text);
}
const NimbroChar* N(const WString& text) {
    return N(text.c_str());
}

// Text as PLC words: two bytes a word, the first in the high byte, a NUL
// after the text.
void SetText(idecsim::Simulator& sim, uint32_t address, std::string bytes) {
    bytes += '\0';
    if (bytes.size() % 2 != 0)
        bytes += '\0';
    for (size_t i = 0; i < bytes.size(); i += 2)
        sim.SetValue("D", address + static_cast<uint32_t>(i / 2),
                     static_cast<uint32_t>(static_cast<uint8_t>(bytes[i])) << 8 |
                         static_cast<uint8_t>(bytes[i + 1]));
}

size_t ListQueries(const idecsim::Simulator& sim) {
    size_t n = 0;
    for (const idecsim::Exchange& e : sim.FrameLog())
        n += e.request.size() > 4 && e.request[4] == 'L';
    return n;
}

struct Options {
    std::function<void(idecsim::Simulator&)> simulator; // before it starts
    std::function<void(CPlc&)> blocks;                  // before the link starts
    bool gated = false;                                 // the link gets a GatedChannel
    bool testClock = false;                             // the table runs on TestClock
};

struct TextRead {
    int32_t result;
    int32_t count;
    std::string text;
};

struct HostValue {
    int32_t type;
    double number;
    const char* text;
};

class HostServices : public ::testing::Test {
protected:
    void SetUp() override {
        gGate.store(0);
        gGateEntered.store(false);
        gGateRelease.store(false);
        gScanPaused.store(false);
    }

    void TearDown() override {
        gGateRelease.store(true);
        gScanPaused.store(false);
        driver_.reset();
        rig_.reset();
        sim_.Stop();
    }

    // Simulator, link, blocks from the definition (all listed), a running
    // link with a short scan, and the driver object with the D handle.
    void Begin(const Options& o = Options()) {
        std::string error;
        ASSERT_TRUE(sim_.LoadPlcText(kDefinition, &error)) << error;
        // No address lists: the enumeration creates no items of its own.
        for (char letter : std::string("xyarTtCcAdek"))
            ASSERT_TRUE(sim_.SetAddressList(letter, {})) << letter;
        if (o.simulator)
            o.simulator(sim_);
        const uint16_t port = sim_.Start(0);
        ASSERT_NE(port, 0);
        rig_.reset(new Rig(port, 1));
        CLinkTable& table = rig_->Table();
        if (o.gated)
            table.SetChannelFactory(&GatedChannel::Create);
        if (o.testClock)
            table.SetTickSource(&TestClock);
        const std::string path = Narrow(dir_.Write("idec.plc", kDefinition).c_str());
        std::snprintf(rig_->Plc().plcFile, sizeof rig_->Plc().plcFile, "%s", path.c_str());
        ASSERT_TRUE(ReadPlcDefinition(&rig_->Plc(), nullptr, nullptr));
        ASSERT_EQ(rig_->Plc().DeviceCount(), 12u);
        if (o.blocks)
            o.blocks(rig_->Plc());
        table.SetScanPeriod(10);
        table.SetReadInterval(10);
        table.StartAll();
        driver_.reset(new CDrvIDec(table));
        d_ = Resolve("D");
        ASSERT_NE(d_, nullptr);
    }

    // Begin with the first enumeration held in the gated channel: gate 1
    // until released, 2 also until the link stops.
    void BeginHeld(int gate) {
        gGate.store(gate);
        Options o;
        o.gated = true;
        ASSERT_NO_FATAL_FAILURE(Begin(o));
        ASSERT_TRUE(WaitUntil(
            [&] { return gGateEntered.load() && rig_->Link().FirstEnumerationRunning(); }, kBound));
    }

    NimbroDevice Resolve(const std::string& name) { return driver_->ResolveDevice(N(W(name))); }
    CPlcDevice& Block(const char* name) { return *rig_->Plc().FindDevice(W(name).c_str()); }

    // Takes the block's lock (after the PLC's, in the model's order).
    static CDeviceItem* ItemOf(CPlcDevice& b, const char* name) {
        LockGuard hold(&b.Lock());
        const int32_t at = b.FindItem(W(name).c_str());
        return at < 0 ? nullptr : b.GetItem(static_cast<uint32_t>(at));
    }

    int32_t Register(NimbroDevice dev, const std::string& item, int32_t* type = nullptr,
                     int32_t* size = nullptr, int32_t* access = nullptr) {
        return driver_->RegisterItem(dev, N(W(item)), type, size, access);
    }

    int32_t Read(NimbroDevice dev, const std::string& item, int32_t type, void* buffer,
                 int32_t capacity, int32_t* count) {
        return driver_->ReadItem(dev, N(W(item)), &type, buffer, capacity, count, 0);
    }

    int32_t ReadU32(NimbroDevice dev, const std::string& item, uint32_t* value) {
        int32_t count = -1;
        return Read(dev, item, TypeU32, value, 1, &count);
    }

    // Polls until the item reads ResultOk with the value.
    bool ReadsSoon(NimbroDevice dev, const std::string& item, uint32_t expected) {
        return WaitUntil(
            [&] {
                uint32_t v = 0;
                return ReadU32(dev, item, &v) == ResultOk && v == expected;
            },
            kBound);
    }

    TextRead ReadText(NimbroDevice dev, const std::string& item) {
        std::vector<WChar> buf(1100, 0);
        TextRead r{0, -1, std::string()};
        r.result =
            Read(dev, item, TypeText, buf.data(), static_cast<int32_t>(buf.size()), &r.count);
        if (r.result == ResultOk)
            r.text = Narrow(buf.data());
        return r;
    }

    bool ReadsTextSoon(NimbroDevice dev, const std::string& item, const std::string& expected) {
        return WaitUntil(
            [&] {
                TextRead r = ReadText(dev, item);
                return r.result == ResultOk && r.text == expected;
            },
            kBound);
    }

    uint32_t StatusOf(NimbroDevice dev) {
        uint32_t code = kCanary;
        int32_t count = -1;
        EXPECT_EQ(Read(dev, "Status", TypeDefault, &code, 1, &count), ResultOk);
        return code;
    }

    std::string StatusText(NimbroDevice dev) {
        std::vector<WChar> buf(256, 0);
        int32_t count = -1;
        EXPECT_EQ(Read(dev, "Status_str", TypeText, buf.data(), 256, &count), ResultOk);
        return Narrow(buf.data());
    }

    int32_t Write(NimbroDevice dev, const std::string& item, const HostValue& v,
                  int32_t* count = nullptr) {
        uint8_t raw[8] = {};
        const void* value = raw;
        WString text;
        // The host's own layout of the value: its bytes as the type holds them.
        auto put = [&](auto x) { std::memcpy(raw, &x, sizeof x); };
        switch (v.type) {
        case TypeU16:
            put(static_cast<uint16_t>(v.number));
            break;
        case TypeI16:
            put(static_cast<int16_t>(v.number));
            break;
        case TypeU32:
            put(static_cast<uint32_t>(v.number));
            break;
        case TypeF32:
            put(static_cast<float>(v.number));
            break;
        case TypeF64:
            put(v.number);
            break;
        case TypeText:
            text = W(v.text);
            value = text.c_str();
            break;
        default:
            ADD_FAILURE() << "no layout for host type " << v.type;
        }
        int32_t ignored = -1;
        return driver_->WriteItem(dev, N(W(item)), v.type, value, static_cast<int32_t>(text.size()),
                                  count ? count : &ignored, 0);
    }

    std::string List(const NimbroChar* name) {
        NimbroBstr b = driver_->ListItems(name);
        if (!b)
            return "(null)";
        std::string text = Narrow(reinterpret_cast<const WChar*>(b));
        plat::BstrFree(reinterpret_cast<plat::Bstr>(b));
        return text;
    }
    std::string List(const std::string& name) { return List(N(W(name))); }

    // Read scans stop; true once a pass has skipped one, so that no scan
    // that began before is still running.
    bool PauseScans() {
        const uint64_t before = gScansSkipped.load();
        gScanPaused.store(true);
        return WaitUntil([&] { return gScansSkipped.load() > before + 1; }, kBound);
    }
    void ResumeScans() { gScanPaused.store(false); }

    testutil::TempDir dir_;
    idecsim::Simulator sim_;
    std::unique_ptr<Rig> rig_;
    std::unique_ptr<CDrvIDec> driver_;
    NimbroDevice d_ = nullptr;
};

// ---- status items ----

TEST_F(HostServices, StatusReadsTheBlocksCodeAndStatusTextNeverPassesTheBuffer) {
    Options o;
    o.simulator = [](idecsim::Simulator& s) { s.SetValue("D", 100, 7); };
    ASSERT_NO_FATAL_FAILURE(Begin(o));
    ASSERT_TRUE(ReadsSoon(d_, "D100", 7));

    for (const char* name : {"Status", "STATUS", "status"}) {
        for (int32_t type :
             {int32_t{TypeDefault}, int32_t{TypeU32}, int32_t{TypeI32}, TypeU32 | 0x8000}) {
            uint32_t code = kCanary;
            int32_t t = type;
            int32_t count = -1;
            EXPECT_EQ(driver_->ReadItem(d_, N(W(name)), &t, &code, 1, &count, 0), ResultOk)
                << name << " as " << type;
            EXPECT_EQ(t, TypeU32) << name << " as " << type;
            EXPECT_EQ(count, 1) << name << " as " << type;
            EXPECT_EQ(code, 0u) << name << " as " << type;
        }
    }
    for (int32_t type : {TypeText, TypeU16, TypeF64, TypeBool}) {
        uint32_t code = kCanary;
        int32_t t = type;
        int32_t count = -1;
        EXPECT_EQ(driver_->ReadItem(d_, N(W("Status")), &t, &code, 1, &count, 0), ResultFailed)
            << type;
        EXPECT_EQ(code, kCanary) << type;
        EXPECT_EQ(count, -1) << type;
        EXPECT_EQ(t, type);
    }

    // The text is cut to the host's capacity, terminator included; the count
    // is the capacity; nothing past it is touched.
    struct Cut {
        int32_t capacity;
        const char* text;
    };
    const Cut cuts[] = {{1, ""},         {2, "N"},         {5, "NO_E"},       {8, "NO_ERRO"},
                        {9, "NO_ERROR"}, {10, "NO_ERROR"}, {256, "NO_ERROR"}, {300, "NO_ERROR"}};
    for (const Cut& c : cuts) {
        std::vector<WChar> buf(320, kCanaryUnit);
        int32_t type = TypeText;
        int32_t count = -1;
        ASSERT_EQ(Read(d_, "Status_str", type, buf.data(), c.capacity, &count), ResultOk)
            << c.capacity;
        EXPECT_EQ(count, c.capacity);
        EXPECT_EQ(Narrow(buf.data()), c.text) << c.capacity;
        for (size_t i = static_cast<size_t>(c.capacity); i < buf.size(); ++i)
            ASSERT_EQ(buf[i], kCanaryUnit) << "unit " << i << " of capacity " << c.capacity;
    }
    // No room even for the terminator, or another type: nothing written.
    struct Refused {
        int32_t capacity;
        int32_t type;
    };
    const Refused refused[] = {{0, TypeText}, {-1, TypeText}, {256, TypeDefault}, {256, TypeU32}};
    for (const Refused& r : refused) {
        std::vector<WChar> buf(320, kCanaryUnit);
        int32_t count = -1;
        EXPECT_EQ(Read(d_, "Status_str", r.type, buf.data(), r.capacity, &count), ResultFailed)
            << r.capacity << " as " << r.type;
        EXPECT_EQ(count, -1);
        EXPECT_EQ(buf, std::vector<WChar>(320, kCanaryUnit)) << r.capacity << " as " << r.type;
    }

    // Neither can be written.
    for (const char* name : {"Status", "Status_str"}) {
        int32_t count = -1;
        EXPECT_EQ(Write(d_, name, {TypeU32, 1, nullptr}, &count), ResultFailed) << name;
    }
}

TEST_F(HostServices, UnlistedBlockBuildsNoWindowAndReportsStatus1010) {
    Options o;
    o.blocks = [](CPlc& plc) { plc.FindDevice(W16("TC"))->listed = 0; };
    o.simulator = [](idecsim::Simulator& s) {
        s.SetValue("TC", 5, 55);
        s.SetValue("D", 100, 9);
    };
    ASSERT_NO_FATAL_FAILURE(Begin(o));
    NimbroDevice tc = Resolve("TC");
    ASSERT_NE(tc, nullptr);

    uint32_t v = kCanary;
    EXPECT_EQ(ReadU32(tc, "TC5", &v), ResultNotReady);
    EXPECT_EQ(StatusOf(tc), 1010u);
    EXPECT_EQ(StatusText(tc), "UNREGISTERED_ERROR");
    // Still so after the link has read another block.
    ASSERT_TRUE(ReadsSoon(d_, "D100", 9));
    EXPECT_EQ(ReadU32(tc, "TC5", &v), ResultFailed);
    EXPECT_EQ(v, kCanary);
    EXPECT_EQ(Write(tc, "TC5", {TypeU16, 1, nullptr}), ResultFailed);
    EXPECT_EQ(StatusOf(tc), 1010u);
    CPlcDevice& block = Block("TC");
    LockGuard hold(&block.Lock());
    EXPECT_FALSE(block.Window().Allocated());
}

// ---- reads ----

TEST_F(HostServices, FirstReadIsNotReadyThenTheSimulatorsValueFollows) {
    Options o;
    o.simulator = [](idecsim::Simulator& s) { s.SetValue("D", 100, 4321); };
    ASSERT_NO_FATAL_FAILURE(Begin(o));

    uint32_t v = kCanary;
    int32_t count = -5;
    EXPECT_EQ(Read(d_, "D100", TypeU32, &v, 1, &count), ResultNotReady);
    EXPECT_EQ(count, -5);
    EXPECT_EQ(v, kCanary);

    ASSERT_TRUE(ReadsSoon(d_, "D100", 4321));
    EXPECT_EQ(Read(d_, "D100", TypeU32, &v, 1, &count), ResultOk);
    EXPECT_EQ(count, 1);
    // The natural type of a word is 16 bits: two bytes, the rest untouched.
    uint8_t raw[4] = {0xA5, 0xA5, 0xA5, 0xA5};
    EXPECT_EQ(Read(d_, "D100", TypeDefault, raw, 1, &count), ResultOk);
    EXPECT_EQ(raw[0] | raw[1] << 8, 4321);
    EXPECT_EQ(raw[2], 0xA5);
    EXPECT_EQ(raw[3], 0xA5);

    sim_.SetValue("D", 100, 1234);
    EXPECT_TRUE(ReadsSoon(d_, "D100", 1234));
}

TEST_F(HostServices, NotReadyUntilTheScanHasReadTheItemSinceItCameIntoUse) {
    gClock.store(5000000);
    Options o;
    o.gated = true;
    o.testClock = true;
    o.simulator = [](idecsim::Simulator& s) {
        s.SetValue("D", 20, 20);
        s.SetValue("D", 100, 100);
    };
    ASSERT_NO_FATAL_FAILURE(Begin(o));
    ASSERT_TRUE(ReadsSoon(d_, "D20", 20)); // the block's status is 0 from here
    uint32_t v = 0;

    // Created: nothing read yet, however often the host asks.
    ASSERT_TRUE(PauseScans());
    EXPECT_EQ(ReadU32(d_, "D100", &v), ResultNotReady);
    EXPECT_EQ(ReadU32(d_, "D100", &v), ResultNotReady);
    EXPECT_EQ(Register(d_, "D100"), 1);
    EXPECT_EQ(ReadU32(d_, "D100", &v), ResultNotReady);
    EXPECT_EQ(StatusOf(d_), 0u);
    ResumeScans();
    ASSERT_TRUE(ReadsSoon(d_, "D100", 100));

    // Untouched for exactly five minutes the value still counts; for longer,
    // any access (read, registration, write) makes it wait for a new read.
    struct Stale {
        const char* how;
        std::function<void()> touch;
    };
    const Stale stale[] = {
        {"read", [&] { EXPECT_EQ(ReadU32(d_, "D20", &v), ResultNotReady); }},
        {"registration", [&] { EXPECT_EQ(Register(d_, "D20"), 1); }},
        {"write",
         [&] {
             EXPECT_EQ(Write(d_, "D20", {TypeU16, 20, nullptr}), ResultOk);
         }},
    };
    for (const Stale& s : stale) {
        ASSERT_TRUE(PauseScans()) << s.how;
        gClock.fetch_add(300000);
        EXPECT_EQ(ReadU32(d_, "D20", &v), ResultOk) << s.how;
        EXPECT_EQ(v, 20u);
        gClock.fetch_add(300001);
        s.touch();
        EXPECT_EQ(ReadU32(d_, "D20", &v), ResultNotReady) << s.how;
        ResumeScans();
        ASSERT_TRUE(ReadsSoon(d_, "D20", 20)) << s.how;
    }

    // Rebuilt: an enumeration that adds items rebuilds the window.
    ASSERT_TRUE(PauseScans());
    ASSERT_TRUE(sim_.SetAddressList('A', {100}));
    rig_->Link().RequestEnumeration();
    ASSERT_TRUE(WaitUntil(
        [&] { return rig_->Link().EnumerationDone() && ItemOf(Block("D"), "D0100") != nullptr; },
        kBound));
    EXPECT_EQ(ReadU32(d_, "D100", &v), ResultNotReady);
    EXPECT_EQ(ReadU32(d_, "D20", &v), ResultNotReady);
    ResumeScans();
    EXPECT_TRUE(ReadsSoon(d_, "D100", 100));
    EXPECT_TRUE(ReadsSoon(d_, "D20", 20));
}

TEST_F(HostServices, ThirtyTwoBitItemsFollowTheWordOrder) {
    Options o;
    o.simulator = [](idecsim::Simulator& s) {
        s.SetValue("D", 100, 0x1234);
        s.SetValue("D", 101, 0x5678);
        s.SetValue("P", 5, 0x12345678);
    };
    ASSERT_NO_FATAL_FAILURE(Begin(o));
    NimbroDevice p = Resolve("P");
    ASSERT_NE(p, nullptr);
    struct Row {
        NimbroDevice block;
        int32_t mode;
        const char* item;
        uint32_t value;
    };
    const Row rows[] = {
        {d_, 0, "D100.Long", 0x12345678u},   {d_, 1, "D100.Long", 0x56781234u},
        {d_, 0, "D100.Double", 0x12345678u}, {d_, 1, "D100.Double", 0x56781234u},
        {p, 0, "P5", 0x12345678u},
    };
    for (const Row& r : rows) {
        driver_->SetWordOrder(r.mode);
        EXPECT_TRUE(ReadsSoon(r.block, r.item, r.value)) << r.item << " in mode " << r.mode;
    }
}

TEST_F(HostServices, BitItemsReadTheirOwnBit) {
    ASSERT_NO_FATAL_FAILURE(Begin());
    // Each row: an item, a neighbour in the same byte or word, and how the
    // simulator holds the item's bit on (neighbour off) or off (neighbour on).
    struct Row {
        const char* block;
        const char* item;
        const char* neighbour;
        std::function<bool(bool on)> set;
    };
    auto bits = [this](const char* device, uint32_t address, uint32_t neighbour) {
        return [this, device, address, neighbour](bool on) {
            return sim_.SetValue(device, address, on ? 1 : 0) &&
                   sim_.SetValue(device, neighbour, on ? 0 : 1);
        };
    };
    auto word = [this](uint32_t address, uint32_t on, uint32_t off) {
        return [this, address, on, off](bool state) {
            return sim_.SetValue("D", address, state ? on : off);
        };
    };
    const Row rows[] = {
        // Every other bit of the word set, or only the neighbour.
        {"D", "D100.Bit3", "D100.Bit2", word(100, 0xFFFB, 0x0004)},
        {"D", "D107.Bit15", "D107.Bit14", word(107, 0x8000, 0x4000)},
        // Bit devices, past their first byte and in a second range.
        {"I", "I15", "I14", bits("I", 15, 14)},
        {"M", "M17", "M16", bits("M", 17, 16)},
        {"R", "R9", "R8", bits("R", 9, 8)},
        {"I", "I30627", "I30626", bits("I", 30627, 30626)},
        {"M", "M8317", "M8316", bits("M", 8317, 8316)},
    };
    for (const Row& r : rows) {
        NimbroDevice block = Resolve(r.block);
        ASSERT_NE(block, nullptr) << r.block;
        for (bool on : {true, false, true}) {
            ASSERT_TRUE(r.set(on)) << r.item;
            EXPECT_TRUE(WaitUntil(
                [&] {
                    uint32_t mine = 9, other = 9;
                    return ReadU32(block, r.item, &mine) == ResultOk &&
                           ReadU32(block, r.neighbour, &other) == ResultOk &&
                           mine == (on ? 1u : 0u) && other == (on ? 0u : 1u);
                },
                kBound))
                << r.item << (on ? " on" : " off");
        }
    }
}

TEST_F(HostServices, TextItems) {
    Options o;
    o.simulator = [](idecsim::Simulator& s) {
        // "ABCDEFG" and its NUL, two bytes a word, the first high.
        s.SetValue("D", 200, 0x4142);
        s.SetValue("D", 201, 0x4344);
        s.SetValue("D", 202, 0x4546);
        s.SetValue("D", 203, 0x4700);
        // U+00E9 in UTF-8 (C3 A9), then a NUL word.
        s.SetValue("D", 240, 0xC3A9);
        s.SetValue("D", 241, 0x0000);
    };
    ASSERT_NO_FATAL_FAILURE(Begin(o));
    struct Row {
        const char* item;
        const char* text;
        int32_t count;
    };
    const Row rows[] = {
        {"D200.String8", "ABCDEFG", 7},
        {"D200.String4", "ABCD", 4},
        {"D240.String4", "\xC3\xA9", 1},
    };
    for (const Row& r : rows) {
        EXPECT_TRUE(ReadsTextSoon(d_, r.item, r.text)) << r.item;
        EXPECT_EQ(ReadText(d_, r.item).count, r.count) << r.item;
    }

    // String0: an answer without a value, the buffer untouched.
    std::vector<WChar> buf(1100, kCanaryUnit);
    int32_t count = -1;
    EXPECT_EQ(Read(d_, "D200.String0", TypeText, buf.data(), 1100, &count), ResultOk);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(buf, std::vector<WChar>(1100, kCanaryUnit));
}

// ---- registration ----

TEST_F(HostServices, RegistrationChecksLettersAndRanges) {
    Options o;
    o.simulator = [](idecsim::Simulator& s) { s.SetValue("D", 100, 31); };
    ASSERT_NO_FATAL_FAILURE(Begin(o));

    struct Accepted {
        const char* block;
        const char* item;
        int32_t type;
        int32_t size;
        int32_t access;
    };
    const Accepted accepted[] = {
        {"D", "D100", TypeU16, 1, 3},          {"D", "D100.Long", TypeI32, 1, 3},
        {"D", "D100.Float", TypeF32, 1, 3},    {"D", "D100.Integer", TypeI16, 1, 3},
        {"D", "D300.String8", TypeText, 9, 3}, {"M", "M17", TypeI32, 1, 3},
        {"I", "I15", TypeI32, 1, 1},           {"I", "I30627", TypeI32, 1, 1},
        {"TC", "TC5", TypeU16, 1, 3},          {"D", "status", TypeU32, 1, 1},
        {"I", "STATUS_STR", TypeText, 256, 1},
    };
    for (const Accepted& a : accepted) {
        int32_t type = -1, size = -1, access = -1;
        EXPECT_EQ(Register(Resolve(a.block), a.item, &type, &size, &access), 1) << a.item;
        EXPECT_EQ(type, a.type) << a.item;
        EXPECT_EQ(size, a.size) << a.item;
        EXPECT_EQ(access, a.access) << a.item;
    }
    EXPECT_EQ(Register(d_, "D101", nullptr, nullptr, nullptr), 1);

    // A lower-case letter, another block's letters, an address outside every
    // range: refused, and no item made.
    struct Refused {
        const char* block;
        const char* item;
    };
    const Refused refused[] = {{"D", "d100"},  {"D", "DM5"},   {"D", "d9"},
                               {"D", "D9000"}, {"I", "I1000"}, {"R", "R256"}};
    for (const Refused& r : refused) {
        CPlcDevice& block = Block(r.block);
        const uint32_t before = block.ItemCount();
        EXPECT_EQ(Register(Resolve(r.block), r.item), 0) << r.item;
        EXPECT_EQ(block.ItemCount(), before) << r.item;
    }
    // Out of range also for reads and writes.
    uint32_t v = kCanary;
    const uint32_t before = Block("D").ItemCount();
    EXPECT_EQ(ReadU32(d_, "D9000", &v), ResultNotReady);
    EXPECT_EQ(Write(d_, "D9000", {TypeU16, 1, nullptr}), ResultFailed);
    EXPECT_EQ(Block("D").ItemCount(), before);
    EXPECT_EQ(v, kCanary);

    // A read takes the name that registration refused.
    EXPECT_TRUE(ReadsSoon(d_, "d100", 31));
}

TEST_F(HostServices, LongerTextGrowsTheItemInPlace) {
    Options o;
    o.simulator = [](idecsim::Simulator& s) { SetText(s, 250, "ABCDEFGHIJKLMNOPQRS"); };
    ASSERT_NO_FATAL_FAILURE(Begin(o));

    int32_t type = -1, size = -1;
    ASSERT_EQ(Register(d_, "D250.String8", &type, &size), 1);
    EXPECT_EQ(size, 9);
    CDeviceItem* item = ItemOf(Block("D"), "D250");
    ASSERT_NE(item, nullptr);
    const uint32_t items = Block("D").ItemCount();
    EXPECT_TRUE(ReadsTextSoon(d_, "D250.String8", "ABCDEFGH"));

    ASSERT_EQ(Register(d_, "D250.String20", &type, &size), 1);
    EXPECT_EQ(type, TypeText);
    EXPECT_EQ(size, 21);
    EXPECT_EQ(ItemOf(Block("D"), "D250"), item);
    EXPECT_EQ(Block("D").ItemCount(), items);
    {
        LockGuard hold(&Block("D").Lock());
        EXPECT_EQ(item->textSize, 20);
    }
    EXPECT_TRUE(ReadsTextSoon(d_, "D250.String20", "ABCDEFGHIJKLMNOPQRS"));
    EXPECT_EQ(ItemOf(Block("D"), "D250"), item);
}

// ---- writes ----

TEST_F(HostServices, WritesReachTheSimulatorsMemory) {
    Options o;
    o.simulator = [](idecsim::Simulator& s) {
        for (uint32_t a = 400; a < 440; ++a)
            s.SetValue("D", a, 0xEEEE);
        s.SetValue("D", 432, 0xA0A0);
        s.SetValue("D", 433, 0xFFFF);
    };
    ASSERT_NO_FATAL_FAILURE(Begin(o));
    ASSERT_TRUE(ReadsSoon(d_, "D0", 0)); // the block's status is 0 from here

    typedef std::vector<std::pair<uint32_t, uint32_t>> Words;
    struct Row {
        const char* item;
        HostValue value;
        int32_t mode;
        int32_t count;
        Words words; // address, value
    };
    const Row rows[] = {
        {"D400", {TypeU16, 5, nullptr}, 0, 1, {{400, 5}}},
        {"D401", {TypeText, 0, "0x10"}, 0, 1, {{401, 16}}},
        {"D402", {TypeText, 0, "0o17"}, 0, 1, {{402, 15}}},
        {"D403", {TypeText, 0, "12.9"}, 0, 1, {{403, 12}}},
        // 26.5 = 0x41D40000; mode 0 sends the high word first.
        {"D404.Float", {TypeText, 0, "0x1A.8"}, 0, 1, {{404, 0x41D4}, {405, 0x0000}}},
        {"D406.Float", {TypeF32, 26.5, nullptr}, 1, 1, {{406, 0x0000}, {407, 0x41D4}}},
        {"D408.Integer", {TypeF64, -3.7, nullptr}, 0, 1, {{408, 0xFFFD}}},
        // Beyond a signed 32-bit item: its limits.
        {"D409.Long", {TypeF64, 1e30, nullptr}, 0, 1, {{409, 0x7FFF}, {410, 0xFFFF}}},
        {"D411.Long", {TypeF64, -1e30, nullptr}, 0, 1, {{411, 0x8000}, {412, 0x0000}}},
        {"D413.Long", {TypeU32, 0x12345678, nullptr}, 0, 1, {{413, 0x1234}, {414, 0x5678}}},
        {"D415.Long", {TypeU32, 0x12345678, nullptr}, 1, 1, {{415, 0x5678}, {416, 0x1234}}},
        {"D417.Double", {TypeU32, 0xCAFEBABE, nullptr}, 0, 1, {{417, 0xCAFE}, {418, 0xBABE}}},
        {"D419", {TypeI16, -2, nullptr}, 0, 1, {{419, 0xFFFE}}},
        {"D436.Long", {TypeText, 0, "1e30"}, 0, 1, {{436, 0x7FFF}, {437, 0xFFFF}}},
        {"D438.Long", {TypeText, 0, "-5e9"}, 0, 1, {{438, 0x8000}, {439, 0x0000}}},
        // "ABC", its NUL and zeros to the item's nine bytes, in whole words:
        // the ninth is D424's high byte, and a zero fills its low byte.
        {"D420.String8",
         {TypeText, 0, "ABC"},
         0,
         3,
         {{420, 0x4142}, {421, 0x4300}, {422, 0}, {423, 0}, {424, 0}}},
    };
    for (const Row& r : rows) {
        driver_->SetWordOrder(r.mode);
        int32_t count = -1;
        EXPECT_EQ(Write(d_, r.item, r.value, &count), ResultOk) << r.item;
        EXPECT_EQ(count, r.count) << r.item;
    }

    // A bad hexadecimal float: refused, and nothing staged.
    driver_->SetWordOrder(0);
    {
        CPlcDevice& block = Block("D");
        LockGuard hold(&block.Lock()); // the write pass waits
        int32_t count = -1;
        EXPECT_EQ(Write(d_, "D426.Float", {TypeText, 0, "0x1G"}, &count), ResultFailed);
        EXPECT_EQ(count, 1);
        CDeviceItem* item = ItemOf(block, "D426");
        ASSERT_NE(item, nullptr);
        ASSERT_GE(item->unitIndex, 0);
        const model::ReadWindow& w = block.Window();
        for (size_t b = 0; b < 4; ++b)
            EXPECT_EQ(w.writeMask[static_cast<size_t>(item->unitIndex) * 2 + b], 0) << b;
    }

    // Bits staged before one pass (the pass waits for the block's lock)
    // merge; the other bits of the words stay as they were.
    {
        LockGuard hold(&Block("D").Lock());
        EXPECT_EQ(Write(d_, "D432.Bit3", {TypeU16, 1, nullptr}), ResultOk);
        EXPECT_EQ(Write(d_, "D432.Bit0", {TypeU16, 1, nullptr}), ResultOk);
        EXPECT_EQ(Write(d_, "D433.Bit15", {TypeU16, 0, nullptr}), ResultOk);
        EXPECT_EQ(Write(d_, "D433.Bit8", {TypeU16, 0, nullptr}), ResultOk);
    }

    Words expected = {{432, 0xA0A9}, {433, 0x7EFF}};
    for (const Row& r : rows)
        expected.insert(expected.end(), r.words.begin(), r.words.end());
    const bool all = WaitUntil(
        [&] {
            for (const auto& w : expected)
                if (sim_.Value("D", w.first) != w.second)
                    return false;
            return true;
        },
        kBound);
    EXPECT_TRUE(all);
    for (const auto& w : expected)
        EXPECT_EQ(sim_.Value("D", w.first), w.second) << "D" << w.first;
    EXPECT_EQ(sim_.Value("D", 426), 0xEEEEu);
    EXPECT_EQ(sim_.Value("D", 427), 0xEEEEu);
}

// ---- what could mislead the host ----

// Configured items of the D block, before the link starts.
void MakeItems(CPlc& plc, std::initializer_list<std::pair<int32_t, uint16_t>> typed,
               std::initializer_list<std::pair<int32_t, uint16_t>> texts) {
    CPlcDevice* d = plc.FindDevice(W16("D"));
    for (const auto& t : typed) {
        CDeviceItem* item =
            d->CreateItem(W("D" + std::to_string(t.first)).c_str(), t.first, false, 0, 0);
        item->dataType = item->baseDataType = t.second;
    }
    for (const auto& t : texts)
        d->CreateItem(W("D" + std::to_string(t.first)).c_str(), t.first, false, 0, t.second);
}

TEST_F(HostServices, ByteValuesOnWordsSaturatingReadsAndUndecodableItems) {
    Options o;
    o.simulator = [](idecsim::Simulator& s) {
        s.SetValue("D", 50, 0x11AA);
        s.SetValue("D", 51, 0x0001);
        s.SetValue("D", 70, 0x7149); // 1e30f, high word first
        s.SetValue("D", 71, 0xF2CA);
    };
    o.blocks = [](CPlc& plc) {
        MakeItems(plc,
                  {{50, plat::kVtI1}, {51, plat::kVtBool}, {52, plat::kVtI8}, {70, plat::kVtR4}},
                  {});
    };
    ASSERT_NO_FATAL_FAILURE(Begin(o));
    const auto readsI32 = [&](const char* item, int32_t expected) {
        return WaitUntil(
            [&] {
                int32_t v = 0, count = -1;
                return Read(d_, item, TypeI32, &v, 1, &count) == ResultOk && v == expected;
            },
            kBound);
    };
    ASSERT_TRUE(readsI32("D50", -86)); // the low byte
    ASSERT_TRUE(readsI32("D51", 1));
    // A float beyond the destination reads as its limit, never sign-flipped.
    EXPECT_TRUE(readsI32("D70", INT32_MAX));
    sim_.SetValue("D", 70, 0xF149);
    EXPECT_TRUE(readsI32("D70", INT32_MIN));
    // No decoder: a failure, never a 0 shown as good.
    uint32_t v = kCanary;
    EXPECT_EQ(ReadU32(d_, "D52", &v), ResultFailed);
    EXPECT_EQ(v, kCanary);

    // Written as read: only the item's byte of the word changes.
    EXPECT_EQ(Write(d_, "D50", {TypeI16, -5, nullptr}), ResultOk);
    EXPECT_EQ(Write(d_, "D51", {TypeU16, 0, nullptr}), ResultOk);
    EXPECT_TRUE(WaitUntil(
        [&] { return sim_.Value("D", 50) == 0x11FBu && sim_.Value("D", 51) == 0u; }, kBound));
    EXPECT_TRUE(readsI32("D50", -5));
    EXPECT_TRUE(readsI32("D51", 0));
}

TEST_F(HostServices, WritesThatWouldNotBeSentWholeAreRefused) {
    ASSERT_NO_FATAL_FAILURE(Begin());
    NimbroDevice tc = Resolve("TC");
    ASSERT_TRUE(ReadsSoon(tc, "TC5", 0));
    ASSERT_TRUE(ReadsSoon(d_, "D100", 0));
    ASSERT_TRUE(ReadsSoon(d_, "D8499", 0));
    struct Row {
        NimbroDevice block;
        const char* item;
        int32_t result;
    };
    const Row rows[] = {
        {tc, "TC5.Bit3", ResultFailed},      // no single-bit write for TC
        {d_, "D100.Bit16", ResultFailed},    // outside the word
        {d_, "D100.Bit31", ResultFailed},    //
        {d_, "D8499.Long", ResultFailed},    // past the range's end
        {d_, "D8499.String2", ResultFailed}, // its NUL too
        {d_, "D8498.Long", ResultOk},        // control: fits
        {d_, "D100.Bit15", ResultOk},        //
    };
    for (const Row& r : rows) {
        CPlcDevice& block = *static_cast<CPlcDevice*>(r.block);
        LockGuard hold(&block.Lock()); // the write pass waits
        EXPECT_EQ(Write(r.block, r.item, {TypeU16, 1, nullptr}), r.result) << r.item;
        const model::ReadWindow& w = block.Window();
        uint32_t staged = 0;
        for (uint32_t b = 0; b < w.units * block.UnitSize(); ++b)
            staged += w.writeMask[b] != 0;
        EXPECT_EQ(staged != 0, r.result == ResultOk) << r.item;
    }
    EXPECT_TRUE(WaitUntil([&] { return sim_.Value("D", 100) == 0x8000u; }, kBound));

    // Without a connection nothing is accepted: it could not be sent.
    sim_.Stop();
    ASSERT_TRUE(WaitUntil([&] { return Block("D").LinkSession() == 0; }, kBound));
    EXPECT_EQ(Write(d_, "D100", {TypeU16, 5, nullptr}), ResultTimeout);
}

TEST_F(HostServices, TextsKeepTheirLengthsAndTheHostsBuffer) {
    Options o;
    o.simulator = [](idecsim::Simulator& s) {
        s.SetValue("D", 5, 7);
        s.SetValue("D", 62, 0xEEEE);
        s.SetValue("D", 92, 0xEEEE);
        SetText(s, 80, "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9");
        SetText(s, 300, std::string(40, 'x'));
        SetText(s, 400, "GROWN");
        s.SetValue("D", 100, 4660);
    };
    o.blocks = [](CPlc& plc) { MakeItems(plc, {}, {{60, 4}}); };
    ASSERT_NO_FATAL_FAILURE(Begin(o));

    // A configured text: a longer one is cut to it, its NUL sent too; a
    // plain name keeps its length.
    int32_t count = -1;
    ASSERT_TRUE(ReadsSoon(d_, "D5", 7));
    EXPECT_EQ(Write(d_, "D60", {TypeText, 0, "ABCDEFG"}, &count), ResultOk);
    EXPECT_EQ(count, 4);
    // Its NUL and a zero fill D62: words go out whole.
    EXPECT_TRUE(WaitUntil([&] { return sim_.Value("D", 62) == 0u; }, kBound));
    EXPECT_EQ(sim_.Value("D", 60), 0x4142u);
    EXPECT_EQ(sim_.Value("D", 61), 0x4344u);
    EXPECT_TRUE(ReadsTextSoon(d_, "D60", "ABCD"));
    EXPECT_EQ(ReadText(d_, "D60").count, 4);

    // Counts and cuts are whole characters.
    EXPECT_EQ(Write(d_, "D90.String5", {TypeText, 0, "\xC3\xA9\xC3\xA9\xC3\xA9"}, &count),
              ResultOk);
    EXPECT_EQ(count, 2);
    EXPECT_TRUE(WaitUntil([&] { return sim_.Value("D", 92) == 0u; }, kBound));
    EXPECT_EQ(sim_.Value("D", 91), 0xC3A9u);
    EXPECT_TRUE(ReadsTextSoon(d_, "D80.String3", "\xC3\xA9"));
    EXPECT_EQ(ReadText(d_, "D80.String3").count, 1);

    // Never past the capacity: a number that does not fit is refused, a
    // text is cut; nothing after the capacity is touched.
    EXPECT_TRUE(ReadsTextSoon(d_, "D300.String40", std::string(40, 'x')));
    ASSERT_TRUE(ReadsSoon(d_, "D100", 4660));
    struct Cut {
        const char* item;
        int32_t capacity;
        int32_t result;
        const char* text;
    };
    const Cut cuts[] = {{"D100", 0, ResultFailed, ""},      {"D100", 4, ResultFailed, ""},
                        {"D100", 5, ResultOk, "4660"},      {"D300.String40", 0, ResultFailed, ""},
                        {"D300.String40", 1, ResultOk, ""}, {"D300.String40", 4, ResultOk, "xxx"}};
    for (const Cut& c : cuts) {
        std::vector<WChar> buf(64, kCanaryUnit);
        count = -1;
        EXPECT_EQ(Read(d_, c.item, TypeText, buf.data(), c.capacity, &count), c.result)
            << c.item << " in " << c.capacity;
        if (c.result == ResultOk) {
            EXPECT_EQ(Narrow(buf.data()), c.text) << c.item << " in " << c.capacity;
        }
        for (size_t i = static_cast<size_t>(c.capacity); i < buf.size(); ++i)
            ASSERT_EQ(buf[i], kCanaryUnit) << c.item << " in " << c.capacity << " unit " << i;
    }

    // A longer text grows the item and waits for its new bytes.
    ASSERT_TRUE(ReadsSoon(d_, "D400", 0x4752));
    EXPECT_EQ(ReadText(d_, "D400.String50").result, ResultNotReady);
    EXPECT_TRUE(ReadsTextSoon(d_, "D400", "GROWN"));

    // String0 answers for its own call: D5 stays a word.
    EXPECT_EQ(Register(d_, "D5.String0"), 1);
    EXPECT_EQ(ReadText(d_, "D5.String0").count, 0);
    EXPECT_EQ(Write(d_, "D5.String0", {TypeText, 0, "x"}, &count), ResultOk);
    EXPECT_EQ(count, 0);
    EXPECT_TRUE(ReadsSoon(d_, "D5", 7));
    EXPECT_EQ(Write(d_, "D5", {TypeU16, 9, nullptr}), ResultOk);
    EXPECT_TRUE(WaitUntil([&] { return sim_.Value("D", 5) == 9u; }, kBound));
}

TEST_F(HostServices, MalformedNamesMakeNoItem) {
    ASSERT_NO_FATAL_FAILURE(Begin());
    ASSERT_TRUE(ReadsSoon(d_, "D0", 0));
    const uint32_t before = Block("D").ItemCount();
    for (const char* name : {"", ".Long", " D100", "D", "D\xEF\xBC\x91", "D1,2", "D7x"}) {
        uint32_t v = kCanary;
        EXPECT_EQ(Register(d_, name), 0) << name;
        EXPECT_EQ(ReadU32(d_, name, &v), ResultFailed) << name;
        EXPECT_EQ(Write(d_, name, {TypeU16, 1, nullptr}), ResultFailed) << name;
        EXPECT_EQ(v, kCanary) << name;
    }
    EXPECT_EQ(Block("D").ItemCount(), before);
    EXPECT_EQ(List("D"), "D0");
}

// A write the host staged survives a rebuild of the block's window (the
// enumeration rebuilds once per letter it makes items for) until a write
// pass sends it.
TEST_F(HostServices, StagedWriteSurvivesAWindowRebuild) {
    Options o;
    o.simulator = [](idecsim::Simulator& s) { s.SetValue("D", 2010, 8); };
    ASSERT_NO_FATAL_FAILURE(Begin(o));
    ASSERT_EQ(Register(d_, "D2000"), 1);
    ASSERT_TRUE(ReadsSoon(d_, "D2010", 8));
    {
        // No write pass runs while the link lock is held.
        LockGuard hold(&rig_->Link().Lock());
        ASSERT_EQ(Write(d_, "D2000", {TypeU16, 1234, nullptr}), ResultOk);
        Block("D").RebuildWindow(nullptr, false);
    }
    EXPECT_TRUE(WaitUntil([&] { return sim_.Value("D", 2000) == 1234u; }, kBound));
    EXPECT_EQ(sim_.Value("D", 2010), 8u);
}

// ---- status transitions ----

// An item that cannot be written (a configured read-only item of a writable
// block) never answers a write as accepted: nothing would ever send it.
TEST_F(HostServices, AWriteThatCannotBeStagedIsRefused) {
    ASSERT_NO_FATAL_FAILURE(Begin());
    ASSERT_TRUE(ReadsSoon(d_, "D0", 0));
    CPlcDevice& d = Block("D");
    CDeviceItem* item = nullptr;
    {
        LockGuard hold(&d.Lock());
        item = d.GetItem(static_cast<uint32_t>(d.FindItem(W16("D0"))));
        ASSERT_NE(item, nullptr);
        item->attribute = 1; // read only
    }
    int32_t count = -1;
    EXPECT_EQ(Write(d_, "D0", {TypeU16, 7, nullptr}, &count), ResultFailed);
    {
        LockGuard hold(&d.Lock());
        const model::ReadWindow& w = d.Window();
        const size_t at = static_cast<size_t>(item->unitIndex) * d.UnitSize();
        EXPECT_EQ(w.writeMask[at], 0) << "nothing staged";
        item->attribute = 3;
    }
    EXPECT_EQ(Write(d_, "D0", {TypeU16, 7, nullptr}, &count), ResultOk);
}

TEST_F(HostServices, StatusFollowsTheSimulatorsFaults) {
    Options o;
    o.simulator = [](idecsim::Simulator& s) { s.SetValue("D", 100, 1); };
    ASSERT_NO_FATAL_FAILURE(Begin(o));
    ASSERT_TRUE(ReadsSoon(d_, "D100", 1));
    EXPECT_EQ(StatusOf(d_), 0u);
    EXPECT_EQ(StatusText(d_), "NO_ERROR");

    struct Row {
        const char* name;
        FaultKind kind;
        char command;
        uint32_t status;
        const char* text;
        int32_t result;
    };
    const Row rows[] = {
        {"no reply", FaultKind::kNoReply, 0, 13, "RECV_TIME_OUT", ResultTimeout},
        {"NAK", FaultKind::kNak, 'R', 21, "NAK ERROR", ResultNak},
    };
    uint32_t value = 1;
    for (const Row& r : rows) {
        FaultRule rule;
        rule.kind = r.kind;
        rule.command = r.command;
        const int id = sim_.AddFault(rule);
        ASSERT_TRUE(WaitUntil([&] { return StatusOf(d_) == r.status; }, kBound)) << r.name;
        uint32_t v = kCanary;
        int32_t count = -1;
        EXPECT_EQ(Read(d_, "D100", TypeU32, &v, 1, &count), r.result) << r.name;
        EXPECT_EQ(v, kCanary) << r.name;
        EXPECT_EQ(count, -1) << r.name;
        EXPECT_EQ(StatusText(d_), r.text) << r.name;
        // Refused reads leave the connection up: a write is still sent.
        if (r.command == 'R') {
            EXPECT_EQ(Write(d_, "D100", {TypeU16, 5, nullptr}), ResultOk);
            EXPECT_TRUE(WaitUntil([&] { return sim_.Value("D", 100) == 5u; }, kBound));
        }
        // The value changes while the fault lasts and is read once it ends.
        sim_.SetValue("D", 100, ++value);
        sim_.RemoveFault(id);
        EXPECT_TRUE(ReadsSoon(d_, "D100", value)) << r.name;
        EXPECT_EQ(StatusOf(d_), 0u) << r.name;
        EXPECT_EQ(StatusText(d_), "NO_ERROR") << r.name;
    }
    // A PLC gone: both items show the channel's error, not the block's code.
    sim_.Stop();
    EXPECT_TRUE(WaitUntil([&] { return StatusOf(d_) == 10061u; }, kBound));
    EXPECT_EQ(StatusText(d_), "[WSAECONNREFUSED]-Connection refused..");
    EXPECT_EQ(Block("D").deviceStatus.load(), 13);
}

// ---- listing ----

TEST_F(HostServices, ListItemsSortsByAddressAndAnswersFixedTexts) {
    ASSERT_NO_FATAL_FAILURE(Begin());
    for (const char* item : {"D5", "D100", "D20"})
        ASSERT_EQ(Register(d_, item), 1) << item;
    EXPECT_EQ(List("D"), "D5,D20,D100");
    EXPECT_EQ(List("d"), "D5,D20,D100");
    ASSERT_EQ(Register(Resolve("R"), "R9"), 1);
    EXPECT_EQ(List("R"), "R9");
    EXPECT_EQ(List("M"), "");
    EXPECT_EQ(List("XYZ"), "NOT DEVICE");
    EXPECT_EQ(List("DX"), "NOT DEVICE");

    // Many items, made out of order: every one is listed, in address order.
    std::string expected = "D5,D20,D100";
    for (uint32_t a = 1000; a < 1300; ++a)
        expected += ",D" + std::to_string(a);
    for (uint32_t i = 0; i < 300; ++i)
        ASSERT_EQ(Register(d_, "D" + std::to_string(1000 + i * 7919 % 300)), 1) << i;
    EXPECT_EQ(List("D"), expected);

    // No name: the link enumerates again before the answer.
    for (const NimbroChar* name : {N(W16("")), static_cast<const NimbroChar*>(nullptr)}) {
        const size_t before = ListQueries(sim_);
        EXPECT_EQ(List(name), kDeviceTypes);
        EXPECT_GT(ListQueries(sim_), before);
    }
}

// An ask made while a pass runs is not answered by that pass: the pass
// ending after it must not count as the enumeration the listing waits for.
TEST_F(HostServices, EnumerationAskedDuringAPassGetsAPassOfItsOwn) {
    ASSERT_NO_FATAL_FAILURE(BeginHeld(1));
    CPlcDrvLink& link = rig_->Link();
    const uint32_t ticket = link.RequestEnumeration();
    gGate.store(0); // the next pass talks to the simulator
    gGateRelease.store(true);
    ASSERT_TRUE(WaitUntil([&] { return link.EnumeratedSince(ticket); }, kBound));
    EXPECT_TRUE(link.EnumerationDone());
    EXPECT_EQ(ListQueries(sim_), 12u);
}

// ListItems with no name asks for an enumeration and waits for it without
// holding the link table; a reload on another thread meanwhile destroys the
// link it waits on, and a new one (often at the freed one's address) is held
// in its first enumeration.
TEST_F(HostServices, ListingWithNoNameMeetsAReload) {
    Options o;
    o.gated = true;
    ASSERT_NO_FATAL_FAILURE(Begin(o));
    CLinkTable& table = rig_->Table();
    ASSERT_TRUE(WaitUntil([&] { return rig_->Link().EnumeratedOnce(); }, kBound));
    gGate.store(2);
    std::atomic<bool> answered{false};
    std::string listed;
    std::thread host([&] {
        listed = List(static_cast<const NimbroChar*>(nullptr));
        answered.store(true);
    });
    EXPECT_TRUE(WaitUntil([&] { return gGateEntered.load(); }, kBound)) << "no wait began";
    table.RemoveAll();
    auto* link = new CPlcDrvLink(&table);
    link->SetStationText("01");
    link->SetAddressText(itest::Endpoint(sim_.Port()).c_str());
    link->SetChannelKind(idec::kChannelEthernet);
    link->InsertPlc(new CPlc(link));
    ASSERT_TRUE(table.InsertLink(link));
    table.StartAll();
    // The wait ends with its link, well before its own bound of 10 s.
    EXPECT_TRUE(WaitUntil([&] { return answered.load(); }, 5000));
    gGateRelease.store(true);
    host.join();
    EXPECT_EQ(listed, kDeviceTypes);
}

TEST(HostServicesNoLink, EveryListingSaysNotLink) {
    CLinkTable table;
    CDrvIDec driver(table);
    for (const NimbroChar* name :
         {N(W16("D")), N(W16("")), static_cast<const NimbroChar*>(nullptr)}) {
        NimbroBstr b = driver.ListItems(name);
        ASSERT_NE(b, nullptr);
        EXPECT_EQ(Narrow(reinterpret_cast<const WChar*>(b)), "NOT LINK");
        plat::BstrFree(reinterpret_cast<plat::Bstr>(b));
    }
}

// ---- the first enumeration ----

// Host calls that wait for the link's first enumeration give up when the
// link stops, while the enumeration still runs.
TEST_F(HostServices, CallsWaitingForTheFirstEnumerationFailWhenTheLinkStops) {
    ASSERT_NO_FATAL_FAILURE(BeginHeld(1));
    CPlcDrvLink& link = rig_->Link();

    std::atomic<bool> calling{false};
    std::atomic<bool> done{false};
    int32_t read = -1, write = -1, status = -1;
    std::thread host([&] {
        calling.store(true);
        uint32_t v = 0;
        read = ReadU32(d_, "D100", &v);
        write = Write(d_, "D100", {TypeU16, 1, nullptr});
        int32_t count = -1;
        status = Read(d_, "Status", TypeDefault, &v, 1, &count);
        done.store(true);
    });
    ASSERT_TRUE(WaitUntil([&] { return calling.load(); }, kBound));
    EXPECT_FALSE(done.load()); // waiting while the enumeration runs
    std::thread stopper([&] { link.StopLink(); });
    const bool finished = WaitUntil([&] { return done.load(); }, kBound);
    EXPECT_TRUE(link.FirstEnumerationRunning()); // the answer did not wait for its end
    gGateRelease.store(true);
    stopper.join();
    host.join();
    EXPECT_TRUE(finished);
    EXPECT_EQ(read, ResultFailed);
    EXPECT_EQ(write, ResultFailed);
    EXPECT_EQ(status, ResultFailed);
}

#if defined(__linux__)
// True when the thread sleeps in the kernel.
bool ThreadSleeps(long tid) {
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string line;
    if (!std::getline(stat, line))
        return false;
    const size_t paren = line.rfind(')');
    return paren != std::string::npos && paren + 2 < line.size() && line[paren + 2] == 'S';
}
#endif

// The stop that ends the enumeration at once: a call that was waiting still
// fails, although the enumeration is over when it looks again.
TEST_F(HostServices, CallWaitingForTheFirstEnumerationFailsWhenTheStopEndsIt) {
#if !defined(__linux__)
    GTEST_SKIP() << "needs the thread states of /proc";
#else
    ASSERT_NO_FATAL_FAILURE(BeginHeld(2));
    CPlcDrvLink& link = rig_->Link();

    std::atomic<long> tid{0};
    int32_t read = -1;
    const WString item = W("D100");
    std::thread host([&] {
        uint32_t v = 0;
        int32_t type = TypeU32;
        int32_t count = -1;
        // Nothing between here and the wait may sleep.
        tid.store(static_cast<long>(syscall(SYS_gettid)));
        read = driver_->ReadItem(d_, N(item), &type, &v, 1, &count, 0);
    });
    // Asleep: inside the wait, the only place where the call sleeps.
    const bool waiting =
        WaitUntil([&] { return tid.load() != 0 && ThreadSleeps(tid.load()); }, kBound);
    link.StopLink();
    host.join();
    ASSERT_TRUE(waiting);
    EXPECT_FALSE(link.FirstEnumerationRunning());
    EXPECT_EQ(read, ResultFailed);
#endif
}

// ---- many host threads ----

class HostServicesConcurrency : public HostServices {};

// Eight host threads register, read, write and list while the link scans
// and the simulator changes its values. Every value of D[n] is n plus a
// multiple of 1000, so a value that belongs to another item (or was never
// read) shows.
TEST_F(HostServicesConcurrency, NoReadGetsAnotherItemsValue) {
    constexpr uint32_t kWords = 40;
    const std::string kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    Options o;
    o.simulator = [&](idecsim::Simulator& s) {
        for (uint32_t n = 1; n < 500; ++n)
            s.SetValue("D", n, n);
        SetText(s, 600, kAlphabet);
    };
    ASSERT_NO_FATAL_FAILURE(Begin(o));
    for (uint32_t n = 1; n <= kWords + 1; ++n)
        ASSERT_EQ(Register(d_, "D" + std::to_string(n)), 1);
    for (uint32_t n = 1; n <= kWords + 1; ++n)
        ASSERT_TRUE(ReadsSoon(d_, "D" + std::to_string(n), n)) << n;

    std::atomic<bool> stop{false};
    std::thread changer([&] {
        for (uint32_t k = 1; !stop.load(); k = (k + 1) % 60) {
            for (uint32_t n = 1; n <= kWords + 1; ++n)
                sim_.SetValue("D", n, n + 1000 * k);
            plat::SleepMs(2);
        }
    });

    // Each thread keeps its own tally: a shared counter would order the
    // threads for the race detector and hide the races looked for.
    struct Tally {
        uint64_t goodReads = 0;
        std::vector<std::string> failures;
    };
    std::vector<Tally> tallies(8);
    constexpr int kIterations = 300;
    auto host = [&](int t) {
        Tally& tally = tallies[static_cast<size_t>(t)];
        auto fail = [&tally](const std::string& what) {
            if (tally.failures.size() < 5)
                tally.failures.push_back(what);
        };
        std::vector<WChar> text(1100);
        for (int i = 0; i < kIterations; ++i) {
            const uint32_t n = 1 + static_cast<uint32_t>(i * 7 + t * 5) % kWords;
            const std::string name = "D" + std::to_string(n);
            uint32_t v = 0;
            switch ((i + t) % 8) {
            case 0:
                if (Register(d_, name) != 1)
                    fail("register " + name);
                break;
            case 1: {
                const int32_t r = ReadU32(d_, name, &v);
                if (r == ResultOk) {
                    ++tally.goodReads;
                    if (v % 1000 != n)
                        fail(name + " read " + std::to_string(v));
                }
                break;
            }
            case 2: {
                const uint32_t value = n + 1000 * (1 + static_cast<uint32_t>(i + t) % 60);
                const int32_t r = Write(d_, name, {TypeU16, static_cast<double>(value), nullptr});
                if (r != ResultOk)
                    fail(name + " write gave " + std::to_string(r));
                break;
            }
            case 3: {
                // Unsigned: a negative .Long saturates at 0 as a TypeU32.
                if (ReadU32(d_, name + ".Double", &v) == ResultOk) {
                    ++tally.goodReads;
                    if ((v >> 16) % 1000 != n || (v & 0xFFFF) % 1000 != n + 1)
                        fail(name + ".Double read " + std::to_string(v));
                }
                break;
            }
            case 4: {
                // New items while the others are read: the window grows.
                const uint32_t a =
                    100 + static_cast<uint32_t>(t) * 50 + static_cast<uint32_t>(i) % 50;
                const std::string made = "D" + std::to_string(a);
                if (Register(d_, made) != 1)
                    fail("register " + made);
                if (ReadU32(d_, made, &v) == ResultOk) {
                    ++tally.goodReads;
                    if (v % 1000 != a)
                        fail(made + " read " + std::to_string(v));
                }
                break;
            }
            case 5: {
                const std::string listed = List("D");
                if (listed.compare(0, 3, "D1,") != 0)
                    fail("listed " + listed.substr(0, 40));
                if (Resolve("D") != d_)
                    fail("resolved another handle");
                break;
            }
            case 6: {
                // A text that grows while others read it.
                const uint32_t length = 2 + static_cast<uint32_t>(i + t) % 30;
                const std::string item = "D600.String" + std::to_string(length);
                if (Register(d_, item) != 1)
                    fail("register " + item);
                const TextRead r = ReadText(d_, item);
                if (r.result == ResultOk &&
                    (r.text.size() > length || kAlphabet.compare(0, r.text.size(), r.text) != 0))
                    fail(item + " read " + r.text);
                break;
            }
            default: {
                int32_t count = -1;
                Read(d_, "D600", TypeDefault, text.data(), static_cast<int32_t>(text.size()),
                     &count);
                break;
            }
            }
            if (i % 2 == 0)
                plat::SleepMs(1);
        }
    };
    std::vector<std::function<void()>> jobs;
    for (int t = 0; t < 8; ++t)
        jobs.push_back([&host, t] { host(t); });
    itest::RunTogether(jobs);
    stop.store(true);
    changer.join();

    uint64_t goodReads = 0;
    for (const Tally& tally : tallies) {
        goodReads += tally.goodReads;
        for (const std::string& f : tally.failures)
            ADD_FAILURE() << f;
    }
    EXPECT_GT(goodReads, 0u);
    EXPECT_TRUE(ReadsTextSoon(d_, "D600.String30", kAlphabet));
}

// Registrations, reads and writes of existing items while other threads
// make items (which attaches them and changes the block's access flags) and
// grow a text item (which changes its type), all under the block's lock.
TEST_F(HostServicesConcurrency, ItemsMadeAndGrownWhileOthersUseTheBlock) {
    Options o;
    o.simulator = [](idecsim::Simulator& s) {
        s.SetValue("D", 5, 5);
        SetText(s, 700, "ABCDEFGHIJKLMNOPQRSTUVWXYZ");
    };
    ASSERT_NO_FATAL_FAILURE(Begin(o));
    ASSERT_TRUE(ReadsSoon(d_, "D5", 5));
    ASSERT_EQ(Register(d_, "D700"), 1);

    constexpr int kIterations = 250;
    // Per thread, so that no shared counter orders the threads.
    std::vector<int> refused(6, 0);
    std::vector<int> wrong(6, 0);
    std::vector<std::function<void()>> jobs;
    for (int t = 0; t < 2; ++t) {
        jobs.push_back([&, t] {
            for (int i = 0; i < kIterations; ++i)
                refused[t] += Register(d_, "D" + std::to_string(2000 + t * kIterations + i)) != 1;
        });
    }
    jobs.push_back([&] {
        for (int i = 0; i < kIterations; ++i) {
            refused[2] += Register(d_, "D700.String" + std::to_string(2 + i % 40)) != 1;
            ReadText(d_, "D700.String2");
        }
    });
    for (int t = 3; t < 5; ++t) {
        jobs.push_back([&, t] {
            for (int i = 0; i < kIterations; ++i) {
                int32_t type = -1, size = -1, access = -1;
                refused[t] += Register(d_, "D5", &type, &size, &access) != 1;
                wrong[t] += access != 3;
                // The others take the block's lock in this gap.
                plat::SleepMs(1);
                wrong[t] += Write(d_, "D5", {TypeU16, 5, nullptr}) != ResultOk;
                plat::SleepMs(1);
            }
        });
    }
    jobs.push_back([&] {
        std::vector<WChar> text(1100);
        for (int i = 0; i < kIterations; ++i) {
            int32_t count = -1;
            Read(d_, "D700", TypeDefault, text.data(), static_cast<int32_t>(text.size()), &count);
            plat::SleepMs(1);
            int32_t type = -1;
            refused[5] += Register(d_, "D700", &type) != 1;
            plat::SleepMs(1);
        }
    });
    itest::RunTogether(jobs);
    EXPECT_EQ(refused, std::vector<int>(6, 0));
    EXPECT_EQ(wrong, std::vector<int>(6, 0));
    EXPECT_EQ(Block("D").ItemCount(), 2u + 2u * kIterations);
}

} // namespace
