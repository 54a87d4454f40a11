// The read scan and the write queue of a device block against the simulator:
// how items in use group into block reads, the freshness of an item, every
// device type of a controller read and written through the window, the write
// runs, a host thread that changes the window while an exchange is in
// flight, and a write exchange that meets a socket error.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "comm/ReadScan.h"
#include "harness.h"
#include "model/PlcDefinition.h"
#include "platform/wsaerrors.h"
#include "support/LockGuard.h"
#include "testutil/fault_sockets.h"
#include "testutil/testutil.h"

namespace {

using testutil::W;
typedef std::vector<uint8_t> Bytes;
typedef std::vector<std::string> Frames;
typedef std::vector<std::pair<uint32_t, uint32_t>> Words; // address, value

// Variant type codes of staged writes.
constexpr uint8_t kVtI4 = 3, kVtR8 = 5, kVtText = 8, kVtBool = 11, kVtUi1 = 17, kVtUi2 = 18,
                  kVtUi4 = 19;

// The clock of the link table: host accesses and the freshness rule.
std::atomic<uint32_t> gClock{1000000};
uint32_t TestClock() {
    return gClock.load();
}

// Bytes written as hex digits, "3412" for {0x34, 0x12}, and back.
Bytes Hex(const std::string& text) {
    Bytes out;
    for (size_t i = 0; i + 1 < text.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    return out;
}
std::string HexOf(const Bytes& bytes) {
    std::string out;
    char two[3];
    for (uint8_t b : bytes)
        out += (std::snprintf(two, sizeof two, "%02X", b), two);
    return out;
}

// A request as the tests compare it: command and letter, the address in the
// device's own numbering, then what follows the address up to the block
// check. "RA 100 1C" reads 28 bytes from D100.
std::string Describe(const std::string& request) {
    if (request.size() < 17 || request[0] != '\x05')
        return "? " + idecsim::Printable(request);
    const char letter = request[5];
    const bool hex = std::strchr("Ala.", letter) != nullptr;
    const unsigned long address = std::stoul(request.substr(6, 8), nullptr, hex ? 16 : 10);
    const std::string rest = request.substr(14, request.size() - 14 - 3);
    return std::string(1, request[4]) + letter + " " + std::to_string(address) +
           (rest.empty() ? "" : " " + rest);
}

// Simulator, link and blocks; the calling thread is the worker. It watches
// the driver's requests as they go out (an ENQ first: the simulator's replies
// never start so): a host action runs on a thread of its own while a request
// of a command is held back, or the receive after one fails on the thread
// that sent it.
class Bench {
public:
    Bench() {
        faults.SetHook([this](testutil::SockOp op, const void* data, int len) {
            return See(op, static_cast<const char*>(data), len);
        });
    }
    ~Bench() {
        // The link goes first: its channel must not outlive the peer's
        // threads, and the socket table is put back only after both.
        rig_.reset();
        sim.Stop();
    }

    // Simulator with the definition's devices, a link with one PLC whose
    // channel is connected, and an empty frame log.
    bool Start() {
        gClock.store(1000000);
        std::string error;
        if (!sim.LoadPlcText(itest::kIdecDefinition, &error) || sim.Start(0) == 0)
            return false;
        rig_.reset(new itest::Rig(sim.Port(), 1));
        rig_->Table().SetTickSource(&TestClock);
        // The frames checked here are the exact runs; the merged plan has
        // scenarios of its own.
        rig_->Table().SetReadPlan(model::kReadPlanExact);
        // The first tick enumerates (the simulator lists nothing yet) and
        // connects the link's channel.
        rig_->Link().OnTick();
        // The enumeration's own connection must have gone, so that the log
        // and the counts hold the link's exchanges only.
        if (!rig_->Connected() ||
            !testutil::WaitUntil([this] { return sim.ConnectionCount() == 1; }, 5000))
            return false;
        sim.ClearFrameLog();
        connects_ = faults.Calls(testutil::SockOp::kConnect);
        TakeSent();
        return true;
    }

    CPlcDrvLink& Link() { return rig_->Link(); }
    itest::Rig& TheRig() { return *rig_; }

    // The PLC's block of a device type with the definition's properties, as
    // the configuration load makes it; writable, so that only the device
    // letters keep contacts from being written.
    CPlcDevice& Block(const char* type) {
        CPlcDefinitionFile file;
        EXPECT_TRUE(file.LoadText(itest::kIdecDefinition, std::strlen(itest::kIdecDefinition)));
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
        EXPECT_GE(item ? item->unitIndex : -1, 0) << name << " is not in the window";
        if (item)
            block.TouchItem(item);
        return item;
    }

    bool Read(CPlcDevice& block) { return idec::ReadScan(Link(), block); }
    bool Write(CPlcDevice& block) { return idec::WriteQueue(Link(), block); }

    // Requests since the last call, described.
    Frames Sent() {
        Frames out;
        for (const idecsim::Exchange& e : sim.FrameLog())
            out.push_back(Describe(e.request));
        sim.ClearFrameLog();
        return out;
    }

    // Connects since Start.
    int Connects() const { return faults.Calls(testutil::SockOp::kConnect) - connects_; }

    void BeforeNext(char command, std::function<void()> host) {
        std::lock_guard<std::mutex> g(m_);
        hostCommand_ = command, host_ = std::move(host);
    }
    void FailReceiveAfterNext(char command, int code) {
        std::lock_guard<std::mutex> g(m_);
        failCommand_ = command, failCode_ = code;
    }
    // Requests sent since the last call.
    int TakeSent() {
        std::lock_guard<std::mutex> g(m_);
        return std::exchange(sent_, 0);
    }

    // Made before the simulator starts and gone after it stops, so that no
    // thread reads the socket table while it changes.
    testutil::FaultSockets faults;
    idecsim::Simulator sim;

private:
    int See(testutil::SockOp op, const char* bytes, int len) {
        std::function<void()> host;
        {
            std::lock_guard<std::mutex> g(m_);
            if (op == testutil::SockOp::kRecv && failing_ == std::this_thread::get_id())
                return failing_ = std::thread::id(), failCode_;
            if (op != testutil::SockOp::kSend || len < 6 || bytes[0] != '\x05')
                return 0;
            ++sent_;
            if (host_ && bytes[4] == hostCommand_)
                host.swap(host_);
            if (failCommand_ != 0 && bytes[4] == failCommand_)
                failCommand_ = 0, failing_ = std::this_thread::get_id();
        }
        if (host)
            std::thread(host).join();
        return 0;
    }

    std::unique_ptr<itest::Rig> rig_;
    int connects_ = 0;
    std::mutex m_;
    char hostCommand_ = 0, failCommand_ = 0;
    std::function<void()> host_;
    int failCode_ = 0, sent_ = 0;
    std::thread::id failing_;
};

// ---- the window ----

typedef plat::Buffer<uint8_t> model::ReadWindow::*Part;

// n bytes of a part of the window at an item: by default what the host reads
// (each word low byte first).
Bytes At(CPlcDevice& block, const CDeviceItem* item, size_t n,
         Part part = &model::ReadWindow::current) {
    LockGuard hold(&block.Lock());
    const uint8_t* p =
        (block.Window().*part).get() + static_cast<size_t>(item->unitIndex) * block.UnitSize();
    return Bytes(p, p + n);
}

uint32_t HostWord(CPlcDevice& block, const CDeviceItem* item) {
    const Bytes b = At(block, item, 2);
    return b[0] | (b[1] << 8);
}

// Masks, then types, staged at an item's bytes.
Bytes Staged(CPlcDevice& block, const CDeviceItem* item, size_t n) {
    Bytes out = At(block, item, n, &model::ReadWindow::writeMask);
    const Bytes types = At(block, item, n, &model::ReadWindow::writeType);
    out.insert(out.end(), types.begin(), types.end());
    return out;
}

// Stages bytes (PLC order) at an item, as the host does: the type at the
// value's first byte, 0 after it.
void Stage(CPlcDevice& block, const CDeviceItem* item, const Bytes& data, const Bytes& masks,
           uint8_t type) {
    LockGuard hold(&block.Lock());
    model::ReadWindow& w = block.Window();
    const size_t at = static_cast<size_t>(item->unitIndex) * block.UnitSize();
    for (size_t i = 0; i < data.size(); ++i) {
        w.writeData[at + i] = data[i];
        w.writeMask[at + i] = masks[i];
        w.writeType[at + i] = i == 0 ? type : 0;
    }
}

// One bench a test, started.
class ReadScanFaults : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(bench.Start()); }
    Bench bench;
};
using ReadScanFreshness = ReadScanFaults;

// ---- grouping ----

struct GroupCase {
    const char* name;
    const char* type;
    // Replaces the block's ranges when not empty: start, end, start, end...
    std::vector<uint32_t> ranges;
    std::vector<std::pair<int32_t, uint16_t>> items; // address, units
    Frames reads;
};

TEST(ReadScanGrouping, ItemsInUseGroupIntoBlockReads) {
    // clang-format off
    const GroupCase cases[] = {
        {"spare units join two words", "D", {}, {{100, 1}, {105, 1}}, {"RA 100 1C"}},
        {"a gap keeps two words apart", "D", {}, {{100, 1}, {120, 1}}, {"RA 100 12", "RA 120 12"}},
        // Item ends at units 60, 101 and 149 of the window; 0..157 in use.
        {"a word run is cut at the first item end past 100 units", "TC", {},
         {{200, 61}, {261, 41}, {302, 48}}, {"Rt 200 CC", "Rt 302 70"}},
        {"the same units of D make one run, read 240 bytes a frame", "D", {},
         {{200, 61}, {261, 41}, {302, 48}}, {"RA 200 F0", "RA 320 4C"}},
        {"each chunk starts where the last one ended", "TC", {}, {{100, 300}},
         {"Rt 100 F0", "Rt 220 F0", "Rt 340 78"}},
        // Spare units of D7995 reach into the second range and meet D8002's.
        {"the end of a range closes the run", "D", {}, {{7995, 1}, {8002, 1}},
         {"RA 7995 0A", "RA 8000 16"}},
        {"units outside the ranges stay out of use", "D", {0, 10, 20, 30}, {{5, 1}, {25, 1}},
         {"RA 5 0C", "RA 25 0C"}},
        {"bit units by decimal-octal address, second range included", "I", {},
         {{15, 1}, {27, 1}, {627, 1}, {30005, 1}}, {"RX 10 02", "RX 620 01", "RX 30000 01"}},
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
        for (const auto& s : c.items) {
            items.push_back(block.CreateItem(W(c.type + std::to_string(s.first)).c_str(), s.first,
                                             false, 0, 0));
            ASSERT_NE(items.back(), nullptr);
            items.back()->size = s.second;
        }
        // One window for them all, every item marked.
        ASSERT_TRUE(block.RebuildWindow(nullptr, true));
        for (CDeviceItem* item : items)
            block.TouchItem(item);
        EXPECT_TRUE(bench.Read(block));
        EXPECT_EQ(bench.Sent(), c.reads);
        EXPECT_EQ(block.deviceStatus.load(), 0);
        for (CDeviceItem* item : items)
            EXPECT_TRUE(item->valid) << testutil::Narrow(item->Name());
    }
}

// ---- freshness ----

TEST_F(ReadScanFreshness, OnlyItemsAccessedWithinFiveMinutesAreRead) {
    const struct {
        const char* name;
        uint32_t touchedAt, now;
        bool read;
    } cases[] = {
        {"just accessed", 1000000, 1000000, true},
        {"accessed 300000 ms ago", 1000000, 1300000, true},
        {"accessed 300001 ms ago", 1000000, 1300001, false},
        {"accessed before the tick count wrapped", 0xFFFFF000u, 0x00010000u, true},
        {"accessed long before the wrap", 0xFFF00000u, 0x00010000u, false},
    };
    CPlcDevice& d = bench.Block("D");
    CDeviceItem* item = bench.Item(d, "D100", 100);
    // In use, but never accessed by the host: never read.
    CDeviceItem* idle = d.CreateItem(W("D3000").c_str(), 3000, true, 1, 0);
    ASSERT_TRUE(item && idle);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        gClock.store(c.touchedAt);
        d.TouchItem(item);
        gClock.store(c.now);
        bench.Sent();
        bench.Read(d);
        EXPECT_EQ(bench.Sent(), c.read ? Frames{"RA 100 12"} : Frames());
    }
    EXPECT_FALSE(idle->valid);
}

// ---- every device type, and the write runs ----

// A value set in the simulator is read into the window, bytes are staged
// (PLC order) and written: the frames their masks ask go out, nothing stays
// staged, and the next read shows what the PLC now holds.
TEST(ReadScanWrites, EveryDeviceIsReadAndWrittenInTheFramesTheMasksAsk) {
    // Longer than one frame: it goes out in frames of 240 bytes.
    // 500 letters and a NUL; words go out whole: the odd text ends with a
    // zero byte more.
    Bytes textBytes(501, 0);
    Words textWords;
    for (size_t i = 0; i < 500; ++i)
        textBytes[i] = static_cast<uint8_t>('A' + i % 26);
    for (uint32_t i = 0; i < 251; ++i)
        textWords.push_back(
            {100 + i, textBytes[2 * i] << 8 | (i < 250 ? textBytes[2 * i + 1] : 0)});
    const std::string textHex = HexOf(textBytes) + "00";
    const struct {
        const char* type;
        int32_t address; // of the item
        uint16_t textSize;
        // The simulator before; for bit devices another address of the
        // item's unit too.
        Words before;
        const char *read, *raw; // the item's window bytes after the read; "": any
        Bytes stage, masks;
        uint8_t vt;
        Frames frames;
        Words after;        // the simulator's memory
        const char* reread; // the window bytes after the next read; "": not read
    } cases[] = {
        // clang-format off
        {"Q", 27, 0, {{27, 1}, {26, 1}}, "C0", "", Hex("00"), Hex("80"), kVtBool, {"Wy 27 0"}, {{27, 0}, {26, 1}}, "40"},
        {"M", 8005, 0, {{8005, 1}, {8004, 1}}, "30", "", Hex("00"), Hex("20"), kVtBool, {"Wa 8005 0"}, {{8005, 0}, {8004, 1}}, "10"},
        {"R", 9, 0, {{9, 1}, {8, 1}}, "03", "", Hex("00"), Hex("02"), kVtBool, {"Wr 9 0"}, {{9, 0}, {8, 1}}, "01"},
        // Contacts are read bit by bit; a write sends nothing.
        {"T", 13, 0, {{13, 1}, {12, 1}}, "20", "", Hex("00"), Hex("20"), kVtBool, {}, {{13, 1}, {12, 1}}, "20"},
        {"C", 11, 0, {{11, 1}, {10, 1}}, "08", "", Hex("00"), Hex("08"), kVtBool, {}, {{11, 1}, {10, 1}}, "08"},
        {"TP", 7, 0, {{7, 0x1234}}, "3412", "1234", Hex("ABCD"), Hex("FFFF"), kVtUi2, {"WT 7 02ABCD"}, {{7, 0xABCD}}, "CDAB"},
        {"TC", 7, 0, {{7, 0x0102}}, "0201", "0102", Hex("0B0A"), Hex("FFFF"), kVtUi2, {"Wt 7 020B0A"}, {{7, 0x0B0A}}, "0A0B"},
        {"CP", 9, 0, {{9, 0x8001}}, "0180", "8001", Hex("007F"), Hex("FFFF"), kVtUi2, {"WC 9 02007F"}, {{9, 0x007F}}, "7F00"},
        {"CC", 9, 0, {{9, 0x00FF}}, "FF00", "00FF", Hex("1200"), Hex("FFFF"), kVtUi2, {"Wc 9 021200"}, {{9, 0x1200}}, "0012"},
        {"D", 105, 0, {{105, 0xBEEF}}, "EFBE", "BEEF", Hex("1357"), Hex("FFFF"), kVtUi2, {"WA 105 021357"}, {{105, 0x1357}}, "5713"},
        {"D", 8005, 0, {{8005, 0x4321}}, "2143", "4321", Hex("FEDC"), Hex("FFFF"), kVtUi2, {"WA 8005 02FEDC"}, {{8005, 0xFEDC}}, "DCFE"},
        {"P", 3, 0, {{3, 0x12345678}}, "34127856", "12345678", Hex("01020304"), Hex("FFFFFFFF"), kVtUi4, {"Wk 3 0401020304"}, {{3, 0x01020304}}, "02010403"},
        {"D", 10, 0, {}, "", "", Hex("DEADBEEF"), Hex("FFFFFFFF"), kVtI4, {"WA 10 04DEADBEEF"}, {{10, 0xDEAD}, {11, 0xBEEF}}, ""},
        {"D", 10, 0, {}, "", "", Hex("0102030405060708"), Bytes(8, 0xFF), kVtR8, {"WA 10 080102030405060708"},
         {{10, 0x0102}, {11, 0x0304}, {12, 0x0506}, {13, 0x0708}}, ""},
        // A 32-bit value across the end of a range: one write each side.
        {"D", 7999, 0, {}, "", "", Hex("11223344"), Hex("FFFFFFFF"), kVtI4, {"WA 7999 021122", "WA 8000 023344"},
         {{7999, 0x1122}, {8000, 0x3344}}, ""},
        // Single bits: of a 32-bit value's second word, of a register's high
        // and low byte, an input at its own address.
        {"D", 10, 0, {}, "", "", Hex("00000010"), Hex("00000010"), kVtI4, {"W. 11 41"}, {{10, 0}, {11, 0x0010}}, ""},
        {"D", 10, 0, {}, "", "", Hex("0800"), Hex("0800"), kVtUi2, {"W. 10 B1"}, {{10, 0x0800}}, ""},
        {"D", 10, 0, {}, "", "", Hex("0008"), Hex("0008"), kVtUi2, {"W. 10 31"}, {{10, 0x0008}}, ""},
        {"I", 15, 0, {}, "", "", Hex("20"), Hex("20"), kVtBool, {"Wx 15 1"}, {{15, 1}, {14, 0}, {16, 0}}, ""},
        // A whole byte of outputs.
        {"Q", 27, 0, {}, "", "", Hex("A5"), Hex("FF"), kVtUi1, {"WY 20 01A5"},
         {{20, 1}, {21, 0}, {22, 1}, {25, 1}, {26, 0}, {27, 1}}, ""},
        // A text past the item's spare units and one frame.
        {"D", 100, 65535, {}, "", "", textBytes, Bytes(textBytes.size(), 0xFF), kVtText,
         {"WA 100 F0" + textHex.substr(0, 480), "WA 220 F0" + textHex.substr(480, 480), "WA 340 16" + textHex.substr(960)},
         textWords, ""},
        // clang-format on
    };
    for (const auto& c : cases) {
        const std::string name = c.type + std::to_string(c.address);
        SCOPED_TRACE(name + " staged " + HexOf(c.stage).substr(0, 16));
        Bench bench;
        ASSERT_TRUE(bench.Start());
        CPlcDevice& block = bench.Block(c.type);
        for (const auto& w : c.before)
            ASSERT_TRUE(bench.sim.SetValue(c.type, w.first, w.second));
        CDeviceItem* item = bench.Item(block, name, c.address, c.textSize);
        ASSERT_NE(item, nullptr);
        bench.Read(block);
        const size_t n = std::strlen(c.read) / 2;
        EXPECT_EQ(At(block, item, n), Hex(c.read));
        EXPECT_EQ(At(block, item, std::strlen(c.raw) / 2, &model::ReadWindow::raw), Hex(c.raw));
        EXPECT_TRUE(item->valid);
        EXPECT_EQ(block.deviceStatus.load(), 0);

        bench.Sent();
        Stage(block, item, c.stage, c.masks, c.vt);
        EXPECT_TRUE(bench.Write(block));
        EXPECT_EQ(bench.Sent(), c.frames);
        for (const auto& w : c.after)
            EXPECT_EQ(bench.sim.Value(c.type, w.first), w.second) << c.type << w.first;
        // Sent or not, nothing stays staged, nothing is left for a second pass.
        EXPECT_EQ(Staged(block, item, c.stage.size()), Bytes(2 * c.stage.size(), 0));
        bench.Write(block);
        EXPECT_EQ(bench.Sent(), Frames());
        if (n == 0)
            continue;
        bench.Read(block);
        EXPECT_EQ(At(block, item, n), Hex(c.reread));
    }
}

// A 32-bit view of a word item takes the next word too, one of its spare
// units. When the run's first read ends on the item's own word and the read
// after it fails, no value may come of the view: its second word was never
// read.
TEST_F(ReadScanFaults, AThirtyTwoBitItemNeedsBothWordsRead) {
    CPlcDevice& d = bench.Block("D");
    std::vector<CDeviceItem*> items;
    for (int32_t n = 1; n <= 120; n += 7) {
        ASSERT_TRUE(bench.sim.SetValue("D", static_cast<uint32_t>(n), static_cast<uint32_t>(n)));
        items.push_back(bench.Item(d, "D" + std::to_string(n), n));
        ASSERT_NE(items.back(), nullptr);
    }
    idecsim::FaultRule refuse;
    refuse.kind = idecsim::FaultKind::kErrorCode, refuse.command = 'R';
    refuse.skip = 1, refuse.count = 1;
    bench.sim.AddFault(refuse);
    bench.Read(d);
    ASSERT_EQ(bench.Sent(), Frames({"RA 1 F0", "RA 121 10"}));
    EXPECT_NE(d.ItemReadStatus(items.back(), 4), 0);
    EXPECT_EQ(d.ItemReadStatus(items[16], 2), 0);
    EXPECT_EQ(HostWord(d, items[16]), 113u);
}

// ---- a host thread during an exchange ----

TEST_F(ReadScanFaults, ItemCreatedBelowDuringAReadKeepsEveryValueItsOwn) {
    CPlcDevice& d = bench.Block("D");
    ASSERT_TRUE(bench.sim.SetValue("D", 105, 0x0105) && bench.sim.SetValue("D", 110, 0x0110));
    CDeviceItem* d110 = bench.Item(d, "D110", 110);
    ASSERT_NE(d110, nullptr);
    bench.Read(d);
    ASSERT_EQ(HostWord(d, d110), 0x0110u);

    // The next read brings another value, while the host puts an item in
    // front of D110: the window grows at its start and D110 moves up.
    ASSERT_TRUE(bench.sim.SetValue("D", 110, 0x0220));
    CDeviceItem* d105 = nullptr;
    bench.BeforeNext('R', [&] { d105 = bench.Item(d, "D105", 105); });
    bench.Read(d);
    ASSERT_NE(d105, nullptr);
    ASSERT_EQ(d110->unitIndex - d105->unitIndex, 5);
    // The bytes of the run belong to the old unit indexes: D105 must not show
    // D110's value, and D110 keeps its own.
    EXPECT_TRUE(HostWord(d, d105) == 0u && !d105->valid);
    EXPECT_EQ(HostWord(d, d110), 0x0110u);

    bench.Read(d);
    EXPECT_EQ(HostWord(d, d105), 0x0105u);
    EXPECT_EQ(HostWord(d, d110), 0x0220u);
    EXPECT_TRUE(d105->valid && d110->valid);
}

TEST_F(ReadScanFaults, ItemRemovedDuringItsReadIsNotTouched) {
    CPlcDevice& d = bench.Block("D");
    ASSERT_TRUE(bench.sim.SetValue("D", 100, 0x0100) && bench.sim.SetValue("D", 104, 0x0104));
    CDeviceItem* d100 = bench.Item(d, "D100", 100);
    CDeviceItem* d104 = bench.Item(d, "D104", 104);
    ASSERT_TRUE(d100 && d104);
    // D104 goes while the run that holds both is read.
    bool removed = false;
    bench.BeforeNext('R', [&] { removed = d.RemoveItem(d104); });
    bench.Read(d);
    ASSERT_TRUE(removed);
    EXPECT_EQ(d.ItemCount(), 1u);
    bench.Read(d);
    EXPECT_EQ(HostWord(d, d100), 0x0100u);
    EXPECT_TRUE(d100->valid);
}

TEST_F(ReadScanFaults, WriteStagedDuringAWriteOfTheSameBytesIsSentNext) {
    CPlcDevice& d = bench.Block("D");
    CDeviceItem* d10 = bench.Item(d, "D10", 10);
    ASSERT_NE(d10, nullptr);
    Stage(d, d10, {0x12, 0x34}, {0xFF, 0xFF}, kVtUi2);
    bench.BeforeNext('W', [&] { Stage(d, d10, {0xAB, 0xCD}, {0xFF, 0xFF}, kVtUi2); });
    bench.Write(d);
    EXPECT_EQ(bench.sim.Value("D", 10), 0x1234u);
    // The host's second value is still staged, and goes out with the next
    // pass.
    EXPECT_EQ(Staged(d, d10, 2), Bytes({0xFF, 0xFF, kVtUi2, 0}));
    bench.Sent();
    bench.Write(d);
    EXPECT_EQ(bench.Sent(), Frames{"WA 10 02ABCD"});
    EXPECT_EQ(bench.sim.Value("D", 10), 0xABCDu);
}

// The link's own turns on a worker thread while a host thread creates items
// at both ends of the window and stages writes. Run under ThreadSanitizer too.
TEST_F(ReadScanFaults, HostCreatesItemsWhileTheWorkerScans) {
    bench.TheRig().Table().SetReadInterval(0);
    CPlcDevice& d = bench.Block("D");
    // Addresses alternately below and above the ones before them.
    std::vector<int32_t> addresses;
    std::map<int32_t, uint32_t> expected;
    for (int32_t k = 0; k < 80; ++k)
        for (int32_t a : {2000 - 7 * k, 2007 + 7 * k}) {
            addresses.push_back(a);
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
                Stage(d, item, {uint8_t(expected[a] >> 8), uint8_t(expected[a])}, {0xFF, 0xFF},
                      kVtUi2);
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

// A write exchange ends on a reset without reopening: a reopened connection
// would have waited for a reply to a request never sent there, and lost the
// error. Whether the PLC took it is unknown: the block shows the failure,
// and bits left after the reset are not sent on a new connection.
const uint8_t kTwo[] = {0x00, 0x2A};

TEST(ReadScanSocketError, AWriteExchangeEndsOnAResetWithoutReopening) {
    const std::function<int32_t(Bench&, CPlcDevice&)> writes[] = {
        [](Bench& b, CPlcDevice& d) { return idec::BlockWrite(b.Link(), d, 'A', 10, kTwo, 2); },
        [](Bench& b, CPlcDevice& d) { return idec::BitWrite(b.Link(), d, 'y', 20, true); },
        [](Bench& b, CPlcDevice& d) {
            return idec::RegisterBitWrite(b.Link(), d, '.', 10, 3, true);
        },
        // Two bits staged: the queue stops after the first.
        [](Bench& b, CPlcDevice&) {
            CPlcDevice& q = b.Block("Q");
            CDeviceItem* item = b.Item(q, "Q20", 20);
            if (!item)
                return int32_t{0};
            Stage(q, item, {0x03}, {0x03}, kVtBool);
            b.Write(q);
            EXPECT_EQ(b.sim.Value("Q", 21), 0u);
            EXPECT_EQ(Staged(q, item, 1), Bytes({0, 0}));
            return idec::kNoReply;
        },
    };
    for (size_t i = 0; i < std::size(writes); ++i) {
        SCOPED_TRACE(i);
        Bench bench;
        ASSERT_TRUE(bench.Start());
        CPlcDevice& d = bench.Block("D");
        d.deviceStatus.store(0);
        bench.FailReceiveAfterNext('W', plat::wsa::kEconnreset);
        EXPECT_EQ(writes[i](bench, d), idec::kNoReply);
        EXPECT_EQ(bench.TakeSent(), 1);
        EXPECT_EQ(bench.Link().Channel()->LastSocketError(), plat::wsa::kEconnreset);
        if (i == 3)
            continue; // the bits' own block holds the status
        EXPECT_EQ(bench.Connects(), 0);
        EXPECT_FALSE(bench.TheRig().Connected());
        EXPECT_EQ(d.deviceStatus.load(), idec::kStatusRecvTimeout);
    }
}

} // namespace
