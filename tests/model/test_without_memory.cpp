// The model without memory: every allocation of a configuration load, of an
// item's creation and of a window rebuild fails in turn (or throws), and what
// is left behind is consistent, and complete whenever it says so. The
// block's message is the driver tests' subject (it needs the string table).
#include <gtest/gtest.h>

#include <new>
#include <string>

#include "model/Configuration.h"
#include "model/LinkModel.h"
#include "testutil/fault_alloc.h"
#include "testutil/testutil.h"

namespace {

using testutil::FaultAlloc;
using testutil::W;

const char kDefinition[] = "CpuName: CPU-A\nVersion: 1.00\nIndex: D,I,M\n"
                           "D: D,Word,Dec,1,0,7999,read,write,\n"
                           "I: I,Bit,DecOct,1,0,7,read,\nM: M,Bit,DecOct,1,0,2557,read,write,\n";
const char kConfiguration[] = "[Link0]\nOpenName=127.0.0.1:2101\nDeviceNo=1\n"
                              "[Link0.Plc0]\nName=Press1\n[Link0.Plc0.Dev0]\nDeviceName=D\n"
                              "Name=Speed\nStartAddress=100\nSize=2\nDataType=19\n"
                              "[Link0.Plc0.Dev1]\nDeviceName=D\nName=Label\nStartAddress=200\n"
                              "Size=8\nDataType=8\n[Link0.Plc0.Dev2]\nDeviceName=M\nName=Run\n"
                              "[Link0.Plc1]\nName=Press2\n[Link0.Plc1.Dev0]\nDeviceName=I\n"
                              "Name=Door\nStartAddress=3\n";

// Everything a load builds, in one line.
std::string Shape(CLinkTable& table) {
    std::string out;
    for (uint32_t l = 0; CPlcDrvLink* link = table.GetLink(l); ++l) {
        out += "link " + testutil::Narrow(link->Name()) + " " + link->AddressText() + ";";
        for (uint32_t p = 0; CPlc* plc = link->GetPlc(p); ++p) {
            out += " plc " + testutil::Narrow(plc->Name()) + ":";
            for (uint32_t d = 0; CPlcDevice* dev = plc->GetDevice(d); ++d) {
                out += " " + testutil::Narrow(dev->Name()) + (dev->listed ? "+" : "-") + "(";
                for (uint32_t i = 0; CDeviceItem* item = dev->GetItem(i); ++i)
                    out += testutil::Narrow(item->name) + "@" + std::to_string(item->startAddress) +
                           " ";
                out += ")";
            }
        }
    }
    return out;
}

struct Files {
    testutil::TempDir dir;
    testutil::WString path;
    Files() {
        dir.Write("idec.plc", kDefinition);
        path = dir.Write("NimbroDrvIDec.cfg", kConfiguration);
    }
};

// Each allocation fails (or throws) in turn: a load that says it succeeded is
// complete, and whatever was left goes and loads again (the leak checker watches).
TEST(WithoutMemory, EveryAllocationOfALoadFailsOrThrowsInTurn) {
    Files files;
    CLinkTable reference;
    ASSERT_TRUE(config::LoadConfiguration(reference, files.path.c_str()));
    const std::string whole = Shape(reference);
    for (FaultAlloc::Mode mode : {FaultAlloc::kFail, FaultAlloc::kThrow}) {
        int failed = 0;
        for (int nth = 1;; ++nth) {
            ASSERT_LT(nth, 5000) << "the load never ran out of allocations to fail";
            CLinkTable table;
            bool loaded = false, threw = false;
            int fired;
            {
                FaultAlloc faults;
                faults.FailNth(nth, 1, mode);
                try {
                    loaded = config::LoadConfiguration(table, files.path.c_str());
                } catch (const std::bad_alloc&) {
                    threw = true;
                }
                fired = faults.Fired();
            }
            EXPECT_TRUE(mode == FaultAlloc::kThrow || !threw) << nth;
            if (fired == 0) {
                EXPECT_TRUE(loaded);
                EXPECT_EQ(whole, Shape(table));
                break;
            }
            if (loaded) {
                EXPECT_EQ(whole, Shape(table)) << "a load that succeeds is complete; nth " << nth;
            }
            failed += (mode == FaultAlloc::kThrow ? threw : !loaded) ? 1 : 0;
            ASSERT_TRUE(config::LoadConfiguration(table, files.path.c_str())) << nth;
            EXPECT_EQ(whole, Shape(table)) << nth;
        }
        EXPECT_GT(failed, 0) << mode;
    }
}

// A block of a loaded PLC, its window built, with the items' units filled.
struct Block {
    Files files;
    CLinkTable table;
    CPlcDevice* device = nullptr;
    Block() {
        if (!config::LoadConfiguration(table, files.path.c_str()))
            return;
        device = table.GetLink(0)->FindPlc(W16("Press1"))->FindDevice(W16("D"));
        if (!device || !device->RebuildWindow(nullptr, true))
            device = nullptr;
    }
};

TEST(WithoutMemory, ItemCreationAndWindowGrowthFailInTurn) {
    int noItem = 0, windowKept = 0;
    for (int nth = 1;; ++nth) {
        ASSERT_LT(nth, 1000);
        Block b;
        ASSERT_NE(nullptr, b.device);
        model::ReadWindow& w = b.device->Window();
        const uint32_t units = w.units, items = b.device->ItemCount();
        for (uint32_t u = 0; u < units * b.device->UnitSize(); ++u)
            w.current[u] = static_cast<uint8_t>(u * 7 + 1);
        const std::string before(reinterpret_cast<const char*>(w.current.get()),
                                 units * b.device->UnitSize());
        CDeviceItem* item;
        int fired;
        {
            FaultAlloc faults;
            faults.FailNth(nth);
            // Far beyond the window: it has to grow.
            item = b.device->CreateItem(W16("D5000"), 5000, true, 1, 0);
            fired = faults.Fired();
        }
        if (fired == 0) {
            ASSERT_NE(nullptr, item);
            EXPECT_TRUE(item->attached);
            EXPECT_GT(w.units, units);
            break;
        }
        if (!item) {
            ++noItem;
            EXPECT_EQ(items, b.device->ItemCount()) << nth;
            EXPECT_LT(b.device->FindItem(W16("D5000")), 0) << nth;
        } else {
            // The window could not grow: the old one and its values stay,
            // the new item waits outside it.
            ++windowKept;
            EXPECT_EQ(items + 1, b.device->ItemCount()) << nth;
            ASSERT_EQ(units, w.units) << nth;
            EXPECT_EQ(before, std::string(reinterpret_cast<const char*>(w.current.get()),
                                          units * b.device->UnitSize()))
                << nth;
            EXPECT_FALSE(item->attached) << nth;
        }
    }
    EXPECT_GT(noItem, 0);
    EXPECT_GT(windowKept, 0);
}

TEST(WithoutMemory, AFullRebuildWithoutMemoryLeavesNoWindowAndSaysSo) {
    Block b;
    ASSERT_NE(nullptr, b.device);
    {
        FaultAlloc faults;
        faults.FailAll();
        EXPECT_FALSE(b.device->RebuildWindow(nullptr, false));
        EXPECT_GT(faults.Fired(), 0);
    }
    EXPECT_FALSE(b.device->Window().Allocated());
    // Reads and writes find no window and leave it alone.
    CDeviceItem* speed = b.device->GetItem(static_cast<uint32_t>(b.device->FindItem(W16("Speed"))));
    b.device->MarkInUse(speed);
    EXPECT_TRUE(b.device->ItemIdle(speed));
    // With memory back the next rebuild brings it back.
    EXPECT_TRUE(b.device->RebuildWindow(nullptr, true));
    EXPECT_TRUE(b.device->Window().Allocated());
    EXPECT_FALSE(b.device->ItemIdle(speed));
}

} // namespace
