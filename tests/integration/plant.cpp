#include "plant.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <new>
#include <thread>

#include "model/Configuration.h"
#include "platform/socket.h"
#include "platform/sync.h"
#include "platform/variant.h"

namespace itest {

using testutil::Narrow;
using testutil::W;

std::atomic<int> gGate{0};
std::atomic<bool> gGateEntered{false};
std::atomic<bool> gGateRelease{false};
std::atomic<bool> gScanPaused{false};
std::atomic<bool> gWritesHeld{false};
std::atomic<uint32_t> gClock{5000000};

namespace {

std::atomic<uint64_t> gScansSkipped{0};
std::atomic<uint64_t> gScansSeen{0};

// WinSock needs starting before the simulator makes its sockets.
class Network : public ::testing::Environment {
public:
    void SetUp() override { ASSERT_EQ(plat::NetStartup(), 0); }
    void TearDown() override { plat::NetCleanup(); }
};
const auto* const kNetwork = ::testing::AddGlobalTestEnvironment(new Network);

// The relay that runs the tests under Wine (NIMBRO_SERIAL_RELAY=host:port):
// a connection asking 'B' is answered "COMa COMb\n", two COM ports joined as
// by a null-modem cable until the connection closes.
const char* RelayAddress() {
    return std::getenv("NIMBRO_SERIAL_RELAY");
}

plat::SocketHandle AskRelay(char kind, std::string* answer) {
    const std::string where = RelayAddress() ? RelayAddress() : "";
    const size_t colon = where.find(':');
    if (colon == std::string::npos)
        return plat::kInvalidSocket;
    plat::SocketHandle s = plat::SockCreateTcp();
    if (s == plat::kInvalidSocket)
        return s;
    const uint16_t port = static_cast<uint16_t>(std::atoi(where.c_str() + colon + 1));
    char c = kind;
    if (plat::SockConnect(s, plat::InetAddr(where.substr(0, colon).c_str()),
                          plat::HostToNet16(port)) != 0 ||
        plat::SockSend(s, &c, 1) != 1) {
        plat::SockClose(s);
        return plat::kInvalidSocket;
    }
    // The wait is a cap against a hang only.
    while (plat::SockWait(s, false, 30000) == 1 && plat::SockRecv(s, &c, 1) == 1 && c != '\n')
        *answer += c;
    return s;
}

uint32_t TestClock() {
    return gClock.load();
}

class GatedChannel : public CEngineLinkChannel {
public:
    explicit GatedChannel(const IDecOpenParams* params) : CEngineLinkChannel(params) {}
    void EnumeratePlc(CPlcDrvLink& link, CPlc& plc) override {
        const int gate = gGate.load();
        if (gate == 0)
            return CEngineLinkChannel::EnumeratePlc(link, plc);
        gGateEntered.store(true);
        while (!gGateRelease.load() && !(gate == 2 && link.Stopping()))
            std::this_thread::yield();
    }
    bool ReadScan(CPlcDrvLink& link, CPlcDevice& device) override {
        gScansSeen.fetch_add(1);
        if (!gScanPaused.load())
            return CEngineLinkChannel::ReadScan(link, device);
        gScansSkipped.fetch_add(1);
        return false;
    }
    bool WriteQueue(CPlcDrvLink& link, CPlcDevice& device) override {
        return !gWritesHeld.load() && CEngineLinkChannel::WriteQueue(link, device);
    }
    static CLinkChannel* Create(const IDecOpenParams* params) {
        return new (std::nothrow) GatedChannel(params);
    }
};

} // namespace

Plant::Plant() {
    gGate.store(0);
    gGateEntered.store(false);
    gGateRelease.store(false);
    gScanPaused.store(false);
    gWritesHeld.store(false);
    gClock.store(5000000);
}

Plant::~Plant() {
    gGateRelease.store(true);
    gScanPaused.store(false);
    gWritesHeld.store(false);
    driver.reset();
    table.RemoveAll();
    sim.Stop();
    if (relay_ != plat::kInvalidSocket)
        plat::SockClose(relay_);
    table.SetResLang(nullptr);
    lang_.Unselect();
    if (texts_)
        plat::ModuleFree(texts_);
}

void Plant::Start(const PlantOptions& o) {
    std::string def = kIdecDefinition;
    for (const std::string& line : o.lines) {
        const std::string head = "\n" + line.substr(0, line.find(':') + 1) + " ";
        const size_t at = def.find(head);
        ASSERT_NE(at, std::string::npos) << line;
        def.replace(at + 1, def.find('\n', at + 1) - at - 1, line);
    }
    std::string error;
    ASSERT_TRUE(sim.LoadPlcText(def, &error)) << error;
    // No address lists: every item is the configuration's or the host's.
    for (char letter : std::string("xyarTtCcAdek"))
        ASSERT_TRUE(sim.SetAddressList(letter, {})) << letter;
    for (const auto& set : o.memory)
        set(sim);
    dir_.Write("idec.plc", def);
    std::string endpoint;
    if (o.serial) {
        texts_ = plat::ModuleLoad(W(NIMBRO_TEST_MODULE).c_str());
        ASSERT_NE(texts_, nullptr);
        lang_.Select(texts_);
        table.SetResLang(&lang_);
        portName_ = Narrow(dir_.Join("port").c_str());
        ASSERT_TRUE(StartLine(o.simLine)) << "no line for the simulator";
        endpoint = portName_ + "\n" + o.line;
    } else {
        port = sim.Start(0);
        ASSERT_NE(port, 0);
        endpoint = Endpoint(port);
    }
    const std::string scan = std::to_string(o.scan);
    const testutil::WString path = dir_.Write(
        "a.cfg", "[PlcConfig]\nOPCScanTiming=" + scan + "\nReadDeviceTimer=" + scan +
                     "\nReadPlan=" + o.plan + "\n[Link0]\nOpenName=" + endpoint +
                     "\nDeviceNo=1\n[Link0.Plc0]\nName=P\nStationNumber=01\n" + o.devices);
    table.SetChannelFactory(o.gated ? &GatedChannel::Create : &CEngineLinkChannel::Create);
    if (o.testClock)
        table.SetTickSource(&TestClock);
    ASSERT_TRUE(config::LoadConfiguration(table, path.c_str()));
    for (const std::string& name : o.unlisted) {
        ASSERT_NE(Block(name), nullptr) << name;
        Block(name)->listed = 0;
    }
    if (o.ticked)
        table.SetReadInterval(0);
    else
        table.StartAll();
    driver.reset(new CDrvIDec(table));
}

bool Plant::StartLine(const plat::SerialSettings& line) {
    if (Bridged())
        return sim.StartSerial(simPort_, line);
    const std::string path = sim.StartPty(line);
    if (path.empty())
        return Bridge() && sim.StartSerial(simPort_, line);
    std::error_code ec;
    std::filesystem::remove(portName_, ec);
    std::filesystem::create_symlink(path, portName_, ec);
    return !ec;
}

bool Plant::Bridge() {
    std::string names;
    relay_ = AskRelay('B', &names);
    const size_t space = names.find(' ');
    if (relay_ == plat::kInvalidSocket || space == std::string::npos)
        return false;
    simPort_ = names.substr(0, space);
    portName_ = names.substr(space + 1);
    return true;
}

bool Plant::LinesServed() {
    char path[128];
    const plat::SerialHandle h = plat::SerialOpenPty(path, sizeof path);
    if (h != plat::kInvalidSerial)
        plat::SerialClose(h);
    return h != plat::kInvalidSerial || RelayAddress();
}

void Plant::Tick() {
    // A read pass runs when the clock has moved since the last one.
    plat::SleepMs(2);
    Link().OnTick();
}

CPlcDevice* Plant::Block(const std::string& name) {
    CPlc* plc = Link().GetPlc(0);
    return plc ? plc->FindDevice(W(name).c_str()) : nullptr;
}

NimbroDevice Plant::Resolve(const std::string& name) {
    return driver->ResolveDevice(N(W(name)));
}

int32_t Plant::Read(NimbroDevice dev, const std::string& item, int32_t* type, void* buf,
                    int32_t cap, int32_t* count) {
    return driver->ReadItem(dev, N(W(item)), type, buf, cap, count, 0);
}

int32_t Plant::ReadU32(NimbroDevice dev, const std::string& item, uint32_t* value) {
    int32_t type = TypeU32, count = -1;
    return Read(dev, item, &type, value, 1, &count);
}

bool Plant::ReadsSoon(NimbroDevice dev, const std::string& item, uint32_t value) {
    return testutil::WaitUntil(
        [&] {
            uint32_t v = 0;
            return ReadU32(dev, item, &v) == ResultOk && v == value;
        },
        kBound);
}

std::string Plant::ReadText(NimbroDevice dev, const std::string& item, int32_t* result) {
    std::vector<WChar> buf(1100, 0);
    int32_t type = TypeText, count = -1;
    const int32_t r = Read(dev, item, &type, buf.data(), 1100, &count);
    if (result)
        *result = r;
    return r == ResultOk ? Narrow(buf.data()) : std::string();
}

int32_t Plant::Write(NimbroDevice dev, const std::string& item, int32_t type, double number,
                     const std::string& text, int32_t* count, int32_t length) {
    // The host's own layout of the value: its bytes as the type holds them.
    uint8_t raw[8] = {};
    auto put = [&](auto x) { std::memcpy(raw, &x, sizeof x); };
    const testutil::WString wide = W(text);
    const void* value = raw;
    type == TypeI16    ? put(static_cast<int16_t>(number))
    : type == TypeU32  ? put(static_cast<uint32_t>(number))
    : type == TypeI32  ? put(static_cast<int32_t>(number))
    : type == TypeF32  ? put(static_cast<float>(number))
    : type == TypeF64  ? put(number)
    : type != TypeText ? put(static_cast<uint16_t>(number))
                       : void(value = wide.c_str());
    int32_t ignored = -1;
    return driver->WriteItem(dev, N(W(item)), type, value,
                             length >= 0 ? length : static_cast<int32_t>(wide.size()),
                             count ? count : &ignored, 0);
}

int32_t Plant::Register(NimbroDevice dev, const std::string& item, int32_t* type, int32_t* size,
                        int32_t* access) {
    return driver->RegisterItem(dev, N(W(item)), type, size, access);
}

std::string Plant::List(const NimbroChar* name) {
    NimbroBstr b = driver->ListItems(name);
    if (!b)
        return "(null)";
    std::string text = Narrow(reinterpret_cast<const WChar*>(b));
    plat::BstrFree(reinterpret_cast<plat::Bstr>(b));
    return text;
}

size_t Plant::ListQueries() const {
    size_t n = 0;
    for (const idecsim::Exchange& e : sim.FrameLog())
        n += e.request.size() > 4 && e.request[4] == 'L';
    return n;
}

bool Plant::PauseScans() {
    const uint64_t before = gScansSkipped.load();
    gScanPaused.store(true);
    return testutil::WaitUntil([&] { return gScansSkipped.load() > before + 1; }, kBound);
}

bool Plant::HoldWrites() {
    // Blocks with nothing staged see no write pass: two read passes after
    // the hold show that a write pass begun before it has ended.
    const uint64_t before = gScansSeen.load();
    gWritesHeld.store(true);
    return testutil::WaitUntil([&] { return gScansSeen.load() > before + 1; }, kBound);
}

} // namespace itest
