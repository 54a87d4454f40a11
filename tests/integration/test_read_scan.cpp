// The read scan and the write queue of a device block against the simulator:
// how items in use group into block reads, the freshness of an item, every
// device type of a controller read and written through the window, the write
// runs, a host thread that changes the window while an exchange is in
// flight, and a write exchange that meets a socket error.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "comm/ReadScan.h"
#include "harness.h"
#include "model/PlcDefinition.h"
#include "platform/socket.h"
#include "platform/wsaerrors.h"
#include "support/LockGuard.h"
#include "testutil/fault_sockets.h"
#include "testutil/testutil.h"

namespace {

using idecsim::FaultKind;
using idecsim::FaultRule;
using itest::Rig;
using testutil::W;

// The controller of the shipped definition file, for driver and simulator.
const char* const kPlcText = itest::kIdecDefinition;

// Variant type codes of staged writes.
constexpr uint8_t kVtI4 = 3;
constexpr uint8_t kVtR8 = 5;
constexpr uint8_t kVtText = 8;
constexpr uint8_t kVtBool = 11;
constexpr uint8_t kVtUi1 = 17;
constexpr uint8_t kVtUi2 = 18;
constexpr uint8_t kVtUi4 = 19;

// The clock of the link table: host accesses and the freshness rule.
std::atomic<uint32_t> gClock{1000000};
uint32_t TestClock() {
    return gClock.load();
}

// ---- the driver's requests on the sockets ----

// Watches the driver's requests as they go out (an ENQ first: the
// simulator's replies never start so): a host action runs on a thread of its
// own while a request of a command is held back, or the receive after one
// fails on the thread that sent it. Made before the simulator starts and gone
// after it stops, so that no thread reads the socket table while it changes.
class Requests {
public:
    Requests() {
        faults.SetHook([this](testutil::SockOp op, const void* data, int len) {
            return See(op, static_cast<const char*>(data), len);
        });
    }
    void BeforeNext(char command, std::function<void()> host) {
        std::lock_guard<std::mutex> g(m_);
        hostCommand_ = command;
        host_ = std::move(host);
    }
    void FailReceiveAfterNext(char command, int code) {
        std::lock_guard<std::mutex> g(m_);
        failCommand_ = command;
        failCode_ = code;
    }
    bool HostPending() const {
        std::lock_guard<std::mutex> g(m_);
        return host_ != nullptr;
    }
    // Requests sent since the last call.
    int TakeSent() {
        std::lock_guard<std::mutex> g(m_);
        const int n = sent_;
        sent_ = 0;
        return n;
    }

    testutil::FaultSockets faults;

private:
    int See(testutil::SockOp op, const char* bytes, int len) {
        std::function<void()> host;
        {
            std::lock_guard<std::mutex> g(m_);
            if (op == testutil::SockOp::kRecv && failing_ == std::this_thread::get_id()) {
                failing_ = std::thread::id();
                return failCode_;
            }
            if (op != testutil::SockOp::kSend || len < 6 || bytes[0] != '\x05')
                return 0;
            ++sent_;
            if (host_ && bytes[4] == hostCommand_)
                host.swap(host_);
            if (failCommand_ != 0 && bytes[4] == failCommand_) {
                failCommand_ = 0;
                failing_ = std::this_thread::get_id();
            }
        }
        if (host)
            std::thread(host).join();
        return 0;
    }

    mutable std::mutex m_;
    char hostCommand_ = 0;
    std::function<void()> host_;
    char failCommand_ = 0;
    int failCode_ = 0;
    std::thread::id failing_;
    int sent_ = 0;
};

// ---- frames ----

// A request as the tests compare it: command and letter, the address in the
// device's own numbering, then what follows the address up to the block
// check. "RA 100 1C" reads 28 bytes from D100.
std::string Describe(const std::string& request) {
    if (request.size() < 17 || request[0] != '\x05')
        return "? " + idecsim::Printable(request);
    const char command = request[4];
    const char letter = request[5];
    const bool hex = std::strchr("Ala.", letter) != nullptr;
    const unsigned long address = std::stoul(request.substr(6, 8), nullptr, hex ? 16 : 10);
    const std::string rest = request.substr(14, request.size() - 14 - 3);
    std::string out = std::string(1, command) + letter + " " + std::to_string(address);
    return rest.empty() ? out : out + " " + rest;
}

std::string Hex2(unsigned v) {
    char text[3];
    std::snprintf(text, sizeof text, "%02X", v & 0xFFu);
    return text;
}

std::string BlockReadOf(char letter, uint32_t address, unsigned bytes) {
    return std::string("R") + letter + " " + std::to_string(address) + " " + Hex2(bytes);
}

std::string BlockWriteOf(char letter, uint32_t address, const std::vector<uint8_t>& data) {
    std::string out = std::string("W") + letter + " " + std::to_string(address) + " " +
                      Hex2(static_cast<unsigned>(data.size()));
    for (uint8_t b : data)
        out += Hex2(b);
    return out;
}

std::string BitWriteOf(char letter, uint32_t address, bool on) {
    return std::string("W") + letter + " " + std::to_string(address) + " " + (on ? "1" : "0");
}

std::string RegisterBitOf(uint32_t address, char bit, bool on) {
    return "W. " + std::to_string(address) + " " + bit + (on ? "1" : "0");
}

// ---- the bench: simulator, link, blocks and items ----

class Bench {
public:
    Bench() = default;
    Bench(const Bench&) = delete;
    Bench& operator=(const Bench&) = delete;
    ~Bench() {
        // The link goes first: its channel must not outlive the peer's
        // threads, and the socket table is put back only after both.
        rig_.reset();
        sim.Stop();
    }

    // Simulator with the definition's devices, a link with one PLC whose
    // channel is connected, and an empty frame log. The calling thread is
    // the worker.
    bool Start() {
        gClock.store(1000000);
        std::string error;
        if (!sim.LoadPlcText(kPlcText, &error) || sim.Start(0) == 0)
            return false;
        rig_.reset(new Rig(sim.Port(), 1));
        rig_->Table().SetTickSource(&TestClock);
        // The first tick enumerates (the simulator lists nothing yet) and
        // connects the link's channel.
        rig_->Link().OnTick();
        if (!rig_->Connected())
            return false;
        // The enumeration's own connection must have gone, so that the log
        // and the counts hold the link's exchanges only.
        if (!testutil::WaitUntil([this] { return sim.ConnectionCount() == 1; }, 5000))
            return false;
        sim.ClearFrameLog();
        connects_ = requests.faults.Calls(testutil::SockOp::kConnect);
        requests.TakeSent();
        return true;
    }

    CPlcDrvLink& Link() { return rig_->Link(); }
    Rig& TheRig() { return *rig_; }

    // The PLC's block of a device type with the definition's properties, as
    // the configuration load makes it; writable, so that only the device
    // letters keep contacts from being written.
    CPlcDevice& Block(const char* type) {
        CPlcDefinitionFile file;
        EXPECT_TRUE(file.LoadText(kPlcText, std::strlen(kPlcText)));
        std::unique_ptr<DeviceTypeRecord> record(new DeviceTypeRecord);
        EXPECT_TRUE(file.ParseDeviceType(type, record.get())) << type;
        CPlcDevice* block = GetOrCreatePlcDevice(&rig_->Plc(), *record);
        EXPECT_NE(block, nullptr) << type;
        block->listed = 1;
        block->accessFlags = model::kUnitReadable | model::kUnitWritable;
        return *block;
    }

    // An item brought into use and accessed by the host now.
    CDeviceItem* Item(CPlcDevice& block, const std::string& name, int32_t address,
                      uint16_t textSize = 0) {
        CDeviceItem* item = block.CreateItem(W(name).c_str(), address, true, 1, textSize);
        EXPECT_NE(item, nullptr) << name;
        EXPECT_GE(item ? item->unitIndex : -1, 0) << name << " is not in the window";
        if (item)
            block.TouchItem(item);
        return item;
    }

    bool Read(CPlcDevice& block) { return idec::ReadScan(Link(), block); }
    bool Write(CPlcDevice& block) { return idec::WriteQueue(Link(), block); }

    // Requests since the last call, described.
    std::vector<std::string> Frames() {
        std::vector<std::string> out;
        for (const idecsim::Exchange& e : sim.FrameLog())
            out.push_back(Describe(e.request));
        sim.ClearFrameLog();
        return out;
    }

    // Connects since Start.
    int Connects() const { return requests.faults.Calls(testutil::SockOp::kConnect) - connects_; }

    Requests requests; // before the simulator: outlives its threads
    idecsim::Simulator sim;

private:
    std::unique_ptr<Rig> rig_;
    int connects_ = 0;
};

// ---- the window ----

size_t ByteOf(CPlcDevice& block, const CDeviceItem* item) {
    return static_cast<size_t>(item->unitIndex) * block.UnitSize();
}

std::vector<uint8_t> Current(CPlcDevice& block, const CDeviceItem* item, size_t n) {
    LockGuard hold(&block.Lock());
    const uint8_t* p = block.Window().current.get() + ByteOf(block, item);
    return std::vector<uint8_t>(p, p + n);
}

std::vector<uint8_t> Raw(CPlcDevice& block, const CDeviceItem* item, size_t n) {
    LockGuard hold(&block.Lock());
    const uint8_t* p = block.Window().raw.get() + ByteOf(block, item);
    return std::vector<uint8_t>(p, p + n);
}

// A word of the window as the host reads it: low byte first.
uint32_t HostWord(CPlcDevice& block, const CDeviceItem* item) {
    const std::vector<uint8_t> b = Current(block, item, 2);
    return b[0] | (b[1] << 8);
}

// Masks and types staged at an item's bytes.
std::vector<uint8_t> Pending(CPlcDevice& block, const CDeviceItem* item, size_t n) {
    LockGuard hold(&block.Lock());
    const model::ReadWindow& w = block.Window();
    std::vector<uint8_t> out;
    for (size_t i = 0; i < n; ++i) {
        out.push_back(w.writeMask[ByteOf(block, item) + i]);
        out.push_back(w.writeType[ByteOf(block, item) + i]);
    }
    return out;
}

// Stages bytes (PLC order) at an item, as the host does: the type at the
// value's first byte, 0 after it.
void Stage(CPlcDevice& block, const CDeviceItem* item, const std::vector<uint8_t>& data,
           const std::vector<uint8_t>& masks, uint8_t type) {
    LockGuard hold(&block.Lock());
    model::ReadWindow& w = block.Window();
    const size_t at = ByteOf(block, item);
    for (size_t i = 0; i < data.size(); ++i) {
        w.writeData[at + i] = data[i];
        w.writeMask[at + i] = masks[i];
        w.writeType[at + i] = i == 0 ? type : 0;
    }
}

std::vector<uint8_t> BigEndian(uint32_t value, size_t n) {
    std::vector<uint8_t> out(n);
    for (size_t i = 0; i < n; ++i)
        out[n - 1 - i] = static_cast<uint8_t>(value >> (8 * i));
    return out;
}

// ---- grouping ----

struct Span {
    int32_t address;
    uint16_t size; // units
};

struct GroupCase {
    const char* name;
    const char* type;
    // Replaces the block's ranges when not empty: start, end, start, end...
    std::vector<uint32_t> ranges;
    std::vector<Span> items;
    std::vector<std::string> reads;
};

TEST(ReadScanGrouping, ItemsInUseGroupIntoBlockReads) {
    // clang-format off
    const std::vector<GroupCase> cases = {
        {"spare units join two words", "D", {}, {{100, 1}, {105, 1}}, {BlockReadOf('A', 100, 28)}},
        {"a gap keeps two words apart", "D", {}, {{100, 1}, {120, 1}},
         {BlockReadOf('A', 100, 18), BlockReadOf('A', 120, 18)}},
        // Item ends at units 60, 101 and 149 of the window; 0..157 in use.
        {"a word run is cut at the first item end past 100 units", "TC", {},
         {{200, 61}, {261, 41}, {302, 48}},
         {BlockReadOf('t', 200, 204), BlockReadOf('t', 302, 112)}},
        {"the same units of D make one run, read 240 bytes a frame", "D", {},
         {{200, 61}, {261, 41}, {302, 48}},
         {BlockReadOf('A', 200, 240), BlockReadOf('A', 320, 76)}},
        {"each chunk starts where the last one ended", "TC", {}, {{100, 300}},
         {BlockReadOf('t', 100, 240), BlockReadOf('t', 220, 240), BlockReadOf('t', 340, 120)}},
        // Spare units of D7995 reach into the second range and meet D8002's.
        {"the end of a range closes the run", "D", {}, {{7995, 1}, {8002, 1}},
         {BlockReadOf('A', 7995, 10), BlockReadOf('A', 8000, 22)}},
        {"units outside the ranges stay out of use", "D", {0, 10, 20, 30}, {{5, 1}, {25, 1}},
         {BlockReadOf('A', 5, 12), BlockReadOf('A', 25, 12)}},
        {"bit units by decimal-octal address, second range included", "I", {},
         {{15, 1}, {27, 1}, {627, 1}, {30005, 1}},
         {BlockReadOf('X', 10, 2), BlockReadOf('X', 620, 1), BlockReadOf('X', 30000, 1)}},
    };
    // clang-format on
    for (const GroupCase& c : cases) {
        SCOPED_TRACE(c.name);
        Bench bench;
        ASSERT_TRUE(bench.Start());
        CPlcDevice& block = bench.Block(c.type);
        if (!c.ranges.empty()) {
            block.rangeCount = static_cast<uint32_t>(c.ranges.size() / 2);
            for (size_t r = 0; r < c.ranges.size(); r += 2) {
                block.rangeStart[r / 2] = c.ranges[r];
                block.rangeEnd[r / 2] = c.ranges[r + 1];
            }
            block.lowestAddress = c.ranges.front();
            block.highestAddress = c.ranges.back();
        }
        std::vector<CDeviceItem*> items;
        for (const Span& s : c.items) {
            CDeviceItem* item = block.CreateItem(
                W(std::string(c.type) + std::to_string(s.address)).c_str(), s.address, false, 0, 0);
            ASSERT_NE(item, nullptr);
            item->size = s.size;
            items.push_back(item);
        }
        // One window for them all, every item marked.
        ASSERT_TRUE(block.RebuildWindow(nullptr, true));
        for (CDeviceItem* item : items)
            block.TouchItem(item);
        EXPECT_TRUE(bench.Read(block));
        EXPECT_EQ(bench.Frames(), c.reads);
        EXPECT_EQ(block.deviceStatus.load(), 0);
        for (CDeviceItem* item : items)
            EXPECT_TRUE(item->valid) << testutil::Narrow(item->Name());
    }
}

// ---- freshness ----

struct FreshCase {
    const char* name;
    uint32_t touchedAt;
    uint32_t now;
    bool read;
};

TEST(ReadScanFreshness, OnlyItemsAccessedWithinFiveMinutesAreRead) {
    const std::vector<FreshCase> cases = {
        {"just accessed", 1000000, 1000000, true},
        {"accessed 300000 ms ago", 1000000, 1300000, true},
        {"accessed 300001 ms ago", 1000000, 1300001, false},
        {"accessed before the tick count wrapped", 0xFFFFF000u, 0x00010000u, true},
        {"accessed long before the wrap", 0xFFF00000u, 0x00010000u, false},
    };
    Bench bench;
    ASSERT_TRUE(bench.Start());
    CPlcDevice& d = bench.Block("D");
    CDeviceItem* item = bench.Item(d, "D100", 100);
    // In use, but never accessed by the host: never read.
    CDeviceItem* idle = d.CreateItem(W("D3000").c_str(), 3000, true, 1, 0);
    ASSERT_TRUE(item && idle);
    for (const FreshCase& c : cases) {
        SCOPED_TRACE(c.name);
        gClock.store(c.touchedAt);
        d.TouchItem(item);
        gClock.store(c.now);
        bench.Frames();
        bench.Read(d);
        const std::vector<std::string> expected = {BlockReadOf('A', 100, 18)};
        EXPECT_EQ(bench.Frames(), c.read ? expected : std::vector<std::string>());
    }
    EXPECT_FALSE(idle->valid);
}

TEST(ReadScanFreshness, AnItemAccessedAgainIsReadAgain) {
    Bench bench;
    ASSERT_TRUE(bench.Start());
    CPlcDevice& d = bench.Block("D");
    ASSERT_TRUE(bench.sim.SetValue("D", 100, 0x1111));
    CDeviceItem* item = bench.Item(d, "D100", 100);
    ASSERT_NE(item, nullptr);
    bench.Read(d);
    EXPECT_EQ(HostWord(d, item), 0x1111u);
    EXPECT_TRUE(item->valid);

    ASSERT_TRUE(bench.sim.SetValue("D", 100, 0x2222));
    gClock.fetch_add(model::kFreshMs + 1);
    bench.Frames();
    bench.Read(d);
    EXPECT_EQ(bench.Frames(), std::vector<std::string>());
    EXPECT_EQ(HostWord(d, item), 0x1111u);

    // The host's access after the pause: the old value no longer counts...
    d.TouchItem(item);
    EXPECT_FALSE(item->valid);
    // ...until the next pass has read it.
    bench.Read(d);
    EXPECT_EQ(bench.Frames(), std::vector<std::string>({BlockReadOf('A', 100, 18)}));
    EXPECT_EQ(HostWord(d, item), 0x2222u);
    EXPECT_TRUE(item->valid);
}

// ---- every device type ----

// Bytes written as hex digits, "3412" for {0x34, 0x12}.
std::vector<uint8_t> Hex(const std::string& text) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < text.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    return out;
}

struct DeviceCase {
    const char* type;
    int32_t address;
    // Bit devices: another address of the item's unit, set in the simulator
    // too; -1 for word devices.
    int32_t neighbour;
    uint32_t value;     // in the simulator before the read
    const char* read;   // the item's window bytes after the read
    const char* stage;  // staged, PLC order
    const char* masks;  // staged masks
    uint8_t type_;      // staged type
    uint32_t written;   // in the simulator after the write
    const char* reread; // the window bytes after the next read
    bool contact;       // read bit by bit; a write sends nothing
};

TEST(ReadScanDevices, EveryDeviceTypeIsReadAndWrittenAtItsAddress) {
    const std::vector<DeviceCase> cases = {
        {"Q", 27, 26, 1, "C0", "00", "80", kVtBool, 0, "40", false},
        {"M", 8005, 8004, 1, "30", "00", "20", kVtBool, 0, "10", false},
        {"R", 9, 8, 1, "03", "00", "02", kVtBool, 0, "01", false},
        {"T", 13, 12, 1, "20", "00", "20", kVtBool, 1, "20", true},
        {"C", 11, 10, 1, "08", "00", "08", kVtBool, 1, "08", true},
        {"TP", 7, -1, 0x1234, "3412", "ABCD", "FFFF", kVtUi2, 0xABCD, "CDAB", false},
        {"TC", 7, -1, 0x0102, "0201", "0B0A", "FFFF", kVtUi2, 0x0B0A, "0A0B", false},
        {"CP", 9, -1, 0x8001, "0180", "007F", "FFFF", kVtUi2, 0x007F, "7F00", false},
        {"CC", 9, -1, 0x00FF, "FF00", "1200", "FFFF", kVtUi2, 0x1200, "0012", false},
        {"D", 105, -1, 0xBEEF, "EFBE", "1357", "FFFF", kVtUi2, 0x1357, "5713", false},
        {"D", 8005, -1, 0x4321, "2143", "FEDC", "FFFF", kVtUi2, 0xFEDC, "DCFE", false},
        {"P", 3, -1, 0x12345678, "34127856", "01020304", "FFFFFFFF", kVtUi4, 0x01020304, "02010403",
         false},
    };
    for (const DeviceCase& c : cases) {
        const std::string name = c.type + std::to_string(c.address);
        SCOPED_TRACE(name);
        const std::vector<uint8_t> read = Hex(c.read), stage = Hex(c.stage);
        Bench bench;
        ASSERT_TRUE(bench.Start());
        CPlcDevice& block = bench.Block(c.type);
        ASSERT_TRUE(bench.sim.SetValue(c.type, static_cast<uint32_t>(c.address), c.value));
        if (c.neighbour >= 0) {
            ASSERT_TRUE(bench.sim.SetValue(c.type, static_cast<uint32_t>(c.neighbour), 1));
        }
        CDeviceItem* item = bench.Item(block, name, c.address);
        ASSERT_NE(item, nullptr);

        bench.Read(block);
        EXPECT_EQ(Current(block, item, read.size()), read);
        if (c.neighbour < 0) {
            EXPECT_EQ(Raw(block, item, read.size()), BigEndian(c.value, read.size()));
        }
        EXPECT_TRUE(item->valid);
        EXPECT_EQ(block.deviceStatus.load(), 0);

        bench.requests.TakeSent();
        Stage(block, item, stage, Hex(c.masks), c.type_);
        bench.Write(block);
        EXPECT_EQ(bench.sim.Value(c.type, static_cast<uint32_t>(c.address)), c.written);
        if (c.neighbour >= 0) {
            EXPECT_EQ(bench.sim.Value(c.type, static_cast<uint32_t>(c.neighbour)), 1u);
        }
        EXPECT_EQ(bench.requests.TakeSent(), c.contact ? 0 : 1);
        // Sent or not, nothing stays staged.
        EXPECT_EQ(Pending(block, item, stage.size()), std::vector<uint8_t>(2 * stage.size(), 0));

        bench.Read(block);
        EXPECT_EQ(Current(block, item, read.size()), Hex(c.reread));
    }
}

// ---- write runs ----

struct WriteCase {
    const char* name;
    const char* type;
    int32_t address; // of the item
    uint16_t textSize;
    std::vector<uint8_t> stage;
    std::vector<uint8_t> masks;
    uint8_t type_;
    std::vector<std::string> frames;
    // Simulator values afterwards: address, value.
    std::vector<std::pair<uint32_t, uint32_t>> memory;
};

std::vector<uint8_t> TextBytes(const std::string& text) {
    std::vector<uint8_t> out(text.begin(), text.end());
    out.push_back(0);
    return out;
}

TEST(ReadScanWrites, StagedBytesGoOutInTheFramesTheirMasksAsk) {
    // Longer than one frame: it goes out in frames of 240 bytes.
    std::string text;
    while (text.size() < 500)
        text += "The quick brown fox jumps over ";
    const std::vector<uint8_t> textBytes = TextBytes(text.substr(0, 500));
    // Words go out whole: the odd text ends with a zero byte more.
    std::vector<uint8_t> textFrame = textBytes;
    textFrame.resize((textFrame.size() + 1) & ~size_t{1}, 0);
    auto chunk = [&](size_t from, size_t to) {
        return std::vector<uint8_t>(textFrame.begin() + from, textFrame.begin() + to);
    };
    std::vector<std::pair<uint32_t, uint32_t>> textWords;
    for (size_t i = 0; i < textBytes.size(); i += 2) {
        const uint32_t low = i + 1 < textBytes.size() ? textBytes[i + 1] : 0;
        textWords.push_back({100 + static_cast<uint32_t>(i / 2), (textBytes[i] << 8) | low});
    }
    auto ff = [](size_t n) { return std::vector<uint8_t>(n, 0xFF); };
    // clang-format off
    const std::vector<WriteCase> cases = {
        {"a 32-bit value on two words goes out whole", "D", 10, 0, Hex("DEADBEEF"), ff(4), kVtI4,
         {BlockWriteOf('A', 10, Hex("DEADBEEF"))}, {{10, 0xDEAD}, {11, 0xBEEF}}},
        {"a 64-bit value on four words goes out whole", "D", 10, 0, Hex("0102030405060708"),
         ff(8), kVtR8, {BlockWriteOf('A', 10, Hex("0102030405060708"))},
         {{10, 0x0102}, {11, 0x0304}, {12, 0x0506}, {13, 0x0708}}},
        {"a 32-bit value across the end of a range, one write each side", "D", 7999, 0,
         Hex("11223344"), ff(4), kVtI4,
         {BlockWriteOf('A', 7999, Hex("1122")), BlockWriteOf('A', 8000, Hex("3344"))},
         {{7999, 0x1122}, {8000, 0x3344}}},
        {"a bit in the second word of a 32-bit value", "D", 10, 0, Hex("00000010"),
         Hex("00000010"), kVtI4, {RegisterBitOf(11, '4', true)}, {{10, 0}, {11, 0x0010}}},
        {"a bit of a register's high byte", "D", 10, 0, Hex("0800"), Hex("0800"), kVtUi2,
         {RegisterBitOf(10, 'B', true)}, {{10, 0x0800}}},
        {"a bit of a register's low byte", "D", 10, 0, Hex("0008"), Hex("0008"), kVtUi2,
         {RegisterBitOf(10, '3', true)}, {{10, 0x0008}}},
        {"an input bit at its own address", "I", 15, 0, Hex("20"), Hex("20"), kVtBool,
         {BitWriteOf('x', 15, true)}, {{15, 1}, {14, 0}, {16, 0}}},
        {"a whole byte of outputs", "Q", 27, 0, Hex("A5"), ff(1), kVtUi1,
         {BlockWriteOf('Y', 20, Hex("A5"))},
         {{20, 1}, {21, 0}, {22, 1}, {25, 1}, {26, 0}, {27, 1}}},
        {"a text past the item's spare units and one frame", "D", 100, 65535, textBytes,
         ff(textBytes.size()), kVtText,
         {BlockWriteOf('A', 100, chunk(0, 240)), BlockWriteOf('A', 220, chunk(240, 480)),
          BlockWriteOf('A', 340, chunk(480, 502))},
         textWords},
    };
    // clang-format on
    for (const WriteCase& c : cases) {
        SCOPED_TRACE(c.name);
        Bench bench;
        ASSERT_TRUE(bench.Start());
        CPlcDevice& block = bench.Block(c.type);
        CDeviceItem* item =
            bench.Item(block, c.type + std::to_string(c.address), c.address, c.textSize);
        ASSERT_NE(item, nullptr);
        bench.Read(block);
        bench.Frames();
        Stage(block, item, c.stage, c.masks, c.type_);
        EXPECT_TRUE(bench.Write(block));
        EXPECT_EQ(bench.Frames(), c.frames);
        for (const auto& m : c.memory)
            EXPECT_EQ(bench.sim.Value(c.type, m.first), m.second) << c.type << m.first;
        EXPECT_EQ(Pending(block, item, c.stage.size()),
                  std::vector<uint8_t>(2 * c.stage.size(), 0));
        // Nothing left for a second pass.
        bench.Write(block);
        EXPECT_EQ(bench.Frames(), std::vector<std::string>());
    }
}

// A 32-bit view of a word item takes the next word too, one of its spare
// units. When the run's first read ends on the item's own word and the read
// after it fails, no value may come of the view: its second word was never
// read.
TEST(ReadScanFaults, AThirtyTwoBitItemNeedsBothWordsRead) {
    Bench bench;
    ASSERT_TRUE(bench.Start());
    CPlcDevice& d = bench.Block("D");
    std::vector<CDeviceItem*> items;
    for (int32_t n = 1; n <= 120; n += 7) {
        ASSERT_TRUE(bench.sim.SetValue("D", static_cast<uint32_t>(n), static_cast<uint32_t>(n)));
        items.push_back(bench.Item(d, "D" + std::to_string(n), n));
        ASSERT_NE(items.back(), nullptr);
    }
    CDeviceItem* d120 = items.back();
    FaultRule refuse;
    refuse.kind = FaultKind::kErrorCode;
    refuse.command = 'R';
    refuse.skip = 1;
    refuse.count = 1;
    bench.sim.AddFault(refuse);
    bench.Read(d);
    ASSERT_EQ(bench.Frames(),
              std::vector<std::string>({BlockReadOf('A', 1, 240), BlockReadOf('A', 121, 16)}));
    EXPECT_NE(d.ItemReadStatus(d120, 4), 0);
    EXPECT_EQ(d.ItemReadStatus(items[16], 2), 0);
    EXPECT_EQ(HostWord(d, items[16]), 113u);
}

// ---- a host thread during an exchange ----

TEST(ReadScanFaults, ItemCreatedBelowDuringAReadKeepsEveryValueItsOwn) {
    Bench bench;
    ASSERT_TRUE(bench.Start());
    CPlcDevice& d = bench.Block("D");
    ASSERT_TRUE(bench.sim.SetValue("D", 105, 0x0105));
    ASSERT_TRUE(bench.sim.SetValue("D", 110, 0x0110));
    CDeviceItem* d110 = bench.Item(d, "D110", 110);
    ASSERT_NE(d110, nullptr);
    bench.Read(d);
    ASSERT_EQ(HostWord(d, d110), 0x0110u);

    // The next read brings another value, while the host puts an item in
    // front of D110: the window grows at its start and D110 moves up.
    ASSERT_TRUE(bench.sim.SetValue("D", 110, 0x0220));
    CDeviceItem* d105 = nullptr;
    bench.requests.BeforeNext('R', [&] { d105 = bench.Item(d, "D105", 105); });
    bench.Read(d);
    ASSERT_FALSE(bench.requests.HostPending());
    ASSERT_NE(d105, nullptr);
    ASSERT_EQ(d110->unitIndex - d105->unitIndex, 5);
    // The bytes of the run belong to the old unit indexes: D105 must not show
    // D110's value, and D110 keeps its own.
    EXPECT_EQ(HostWord(d, d105), 0u);
    EXPECT_FALSE(d105->valid);
    EXPECT_EQ(HostWord(d, d110), 0x0110u);

    bench.Read(d);
    EXPECT_EQ(HostWord(d, d105), 0x0105u);
    EXPECT_EQ(HostWord(d, d110), 0x0220u);
    EXPECT_TRUE(d105->valid);
    EXPECT_TRUE(d110->valid);
}

TEST(ReadScanFaults, ItemRemovedDuringItsReadIsNotTouched) {
    Bench bench;
    ASSERT_TRUE(bench.Start());
    CPlcDevice& d = bench.Block("D");
    ASSERT_TRUE(bench.sim.SetValue("D", 100, 0x0100));
    ASSERT_TRUE(bench.sim.SetValue("D", 104, 0x0104));
    CDeviceItem* d100 = bench.Item(d, "D100", 100);
    CDeviceItem* d104 = bench.Item(d, "D104", 104);
    ASSERT_TRUE(d100 && d104);
    // D104 goes while the run that holds both is read.
    bool removed = false;
    bench.requests.BeforeNext('R', [&] { removed = d.RemoveItem(d104); });
    bench.Read(d);
    ASSERT_TRUE(removed);
    EXPECT_EQ(d.ItemCount(), 1u);
    bench.Read(d);
    EXPECT_EQ(HostWord(d, d100), 0x0100u);
    EXPECT_TRUE(d100->valid);
}

TEST(ReadScanFaults, WriteStagedDuringAWriteOfTheSameBytesIsSentNext) {
    Bench bench;
    ASSERT_TRUE(bench.Start());
    CPlcDevice& d = bench.Block("D");
    CDeviceItem* d10 = bench.Item(d, "D10", 10);
    ASSERT_NE(d10, nullptr);
    Stage(d, d10, {0x12, 0x34}, {0xFF, 0xFF}, kVtUi2);
    bench.requests.BeforeNext('W', [&] { Stage(d, d10, {0xAB, 0xCD}, {0xFF, 0xFF}, kVtUi2); });
    bench.Write(d);
    ASSERT_FALSE(bench.requests.HostPending());
    EXPECT_EQ(bench.sim.Value("D", 10), 0x1234u);
    // The host's second value is still staged...
    EXPECT_EQ(Pending(d, d10, 2), std::vector<uint8_t>({0xFF, kVtUi2, 0xFF, 0}));
    bench.Frames();
    // ...and goes out with the next pass.
    bench.Write(d);
    EXPECT_EQ(bench.Frames(), std::vector<std::string>({BlockWriteOf('A', 10, {0xAB, 0xCD})}));
    EXPECT_EQ(bench.sim.Value("D", 10), 0xABCDu);
}

// The link's own turns on a worker thread while a host thread creates items
// at both ends of the window and stages writes. Run under ThreadSanitizer too.
TEST(ReadScanFaults, HostCreatesItemsWhileTheWorkerScans) {
    Bench bench;
    ASSERT_TRUE(bench.Start());
    bench.TheRig().Table().SetReadInterval(0);
    CPlcDevice& d = bench.Block("D");
    // Addresses alternately below and above the ones before them.
    std::vector<int32_t> addresses;
    for (int32_t k = 0; k < 80; ++k) {
        addresses.push_back(2000 - 7 * k);
        addresses.push_back(2007 + 7 * k);
    }
    std::map<int32_t, uint32_t> expected;
    for (int32_t a : addresses) {
        expected[a] = 0x4000u + static_cast<uint32_t>(a);
        ASSERT_TRUE(bench.sim.SetValue("D", static_cast<uint32_t>(a), expected[a]));
    }

    std::atomic<bool> hostDone{false};
    std::atomic<int> ticks{0};
    std::thread worker([&] {
        while (!hostDone.load() || ticks.load() < 3) {
            bench.Link().OnTick();
            ++ticks;
        }
    });
    std::vector<CDeviceItem*> items;
    std::thread host([&] {
        testutil::WaitUntil([&] { return ticks.load() > 0; }, 5000);
        for (size_t k = 0; k < addresses.size(); ++k) {
            const int32_t a = addresses[k];
            CDeviceItem* item = d.CreateItem(W("D" + std::to_string(a)).c_str(), a, true, 1, 0);
            if (!item)
                continue;
            d.TouchItem(item);
            items.push_back(item);
            if (k % 3 == 0) {
                expected[a] = 0x8000u + static_cast<uint32_t>(a);
                Stage(d, item, BigEndian(expected[a], 2), {0xFF, 0xFF}, kVtUi2);
            }
        }
        hostDone.store(true);
    });
    host.join();
    worker.join();
    ASSERT_EQ(items.size(), addresses.size());

    bench.Write(d);
    bench.Read(d);
    for (CDeviceItem* item : items) {
        const int32_t a = item->startAddress;
        EXPECT_EQ(bench.sim.Value("D", static_cast<uint32_t>(a)), expected[a]) << a;
        EXPECT_EQ(HostWord(d, item), expected[a]) << a;
        EXPECT_TRUE(item->valid) << a;
    }
}

// ---- a socket error in a write exchange ----

struct ErrorCase {
    const char* name;
    std::function<int32_t(CPlcDrvLink&, CPlcDevice&)> write;
};

TEST(ReadScanSocketError, AWriteExchangeEndsOnAResetWithoutReopening) {
    const std::vector<ErrorCase> cases = {
        {"block write",
         [](CPlcDrvLink& link, CPlcDevice& d) {
             const uint8_t bytes[] = {0x00, 0x2A};
             return idec::BlockWrite(link, d, 'A', 10, bytes, 2);
         }},
        {"bit write",
         [](CPlcDrvLink& link, CPlcDevice& d) { return idec::BitWrite(link, d, 'y', 20, true); }},
        {"register-bit write",
         [](CPlcDrvLink& link, CPlcDevice& d) {
             return idec::RegisterBitWrite(link, d, '.', 10, 3, true);
         }},
    };
    for (const ErrorCase& c : cases) {
        SCOPED_TRACE(c.name);
        Bench bench;
        ASSERT_TRUE(bench.Start());
        CPlcDevice& d = bench.Block("D");
        d.deviceStatus.store(0);
        bench.requests.FailReceiveAfterNext('W', plat::wsa::kEconnreset);
        EXPECT_EQ(c.write(bench.Link(), d), idec::kNoReply);
        EXPECT_EQ(bench.requests.TakeSent(), 1);
        // A reopened connection would have waited for a reply to a request
        // never sent there, and lost the error.
        EXPECT_EQ(bench.Connects(), 0);
        EXPECT_FALSE(bench.TheRig().Connected());
        EXPECT_EQ(bench.Link().Channel()->LastSocketError(), plat::wsa::kEconnreset);
        // Whether the PLC took it is unknown: the block shows the failure.
        EXPECT_EQ(d.deviceStatus.load(), idec::kStatusRecvTimeout);
    }
}

TEST(ReadScanSocketError, BitsLeftAfterTheResetAreNotSentOnANewConnection) {
    Bench bench;
    ASSERT_TRUE(bench.Start());
    CPlcDevice& q = bench.Block("Q");
    CDeviceItem* item = bench.Item(q, "Q20", 20);
    ASSERT_NE(item, nullptr);
    Stage(q, item, {0x03}, {0x03}, kVtBool);
    bench.requests.FailReceiveAfterNext('W', plat::wsa::kEconnreset);
    bench.Write(q);
    EXPECT_EQ(bench.requests.TakeSent(), 1);
    EXPECT_EQ(bench.sim.Value("Q", 21), 0u);
    EXPECT_EQ(Pending(q, item, 1), std::vector<uint8_t>({0, 0}));
    EXPECT_EQ(bench.Link().Channel()->LastSocketError(), plat::wsa::kEconnreset);
}

} // namespace
