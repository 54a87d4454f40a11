// The driver without memory: the host's calls and the driver object's
// creation while allocations fail or throw, and the block's message.
#include <gtest/gtest.h>

#include <string>

#include "driver/DrvIDec.h"
#include "files.h"
#include "model/LinkModel.h"
#include "platform/module.h"
#include "platform/variant.h"
#include "support/ResLang.h"
#include "testutil/fault_alloc.h"
#include "testutil/testutil.h"

namespace {

using testutil::FaultAlloc;
using testutil::Narrow;
using testutil::W;

// A listed block "D" with two items, on a table whose messages come from
// the built module's string table.
class Block : public drvtest::ModuleTexts {
protected:
    void SetUp() override {
        ModuleTexts::SetUp();
        device_ = Chain(table_);
        ASSERT_NE(device_, nullptr);
        device_->listed = 1;
        device_->highestAddress = device_->rangeEnd[0] = 7999;
        ASSERT_NE(nullptr, device_->CreateItem(W16("D10"), 10, false, 0, 0));
        ASSERT_NE(nullptr, device_->CreateItem(W16("D20"), 20, false, 0, 0));
    }
    void TearDown() override {
        table_.RemoveAll();
        ModuleTexts::TearDown();
    }
    std::string Status() {
        WChar buf[CErrorString::kCapacity] = {};
        device_->Status().GetText(buf, CErrorString::kCapacity);
        return Narrow(buf);
    }

    CLinkTable table_;
    CPlcDevice* device_ = nullptr;
};

TEST_F(Block, AWindowRebuildWithoutMemoryShowsTheMessage) {
    ASSERT_NE(Load(model::kMsgNoMemory), "<none>");
    {
        FaultAlloc faults;
        faults.FailAll();
        EXPECT_FALSE(device_->RebuildWindow(nullptr, false));
    }
    EXPECT_EQ(Load(model::kMsgNoMemory), Status());
    EXPECT_TRUE(device_->RebuildWindow(nullptr, false));
    EXPECT_EQ(Load(model::kMsgNoError), Status());
}

// A listing's text, "<none>" for no list.
std::string List(INimbroDriver* driver, const WChar* name) {
    plat::Bstr list = driver->ListItems(name);
    const std::string text = list ? Narrow(list) : "<none>";
    plat::BstrFree(list);
    return text;
}

TEST_F(Block, ListingAndRegisteringWithoutMemory) {
    CDrvIDec* driver = new CDrvIDec(table_);
    driver->AddRef();
    int32_t type = 0, size = 0, access = 0;
    {
        FaultAlloc faults;
        faults.FailAll();
        EXPECT_EQ("<none>", List(driver, W16("D"))) << "no list rather than a short one";
        // The fixed answers need none of the driver's memory.
        EXPECT_EQ("NOT DEVICE", List(driver, W16("X")));
        // A new item cannot be made: refused, nothing half made.
        EXPECT_EQ(0, driver->RegisterItem(device_, W16("D30"), &type, &size, &access));
        EXPECT_GT(faults.Fired(), 0);
    }
    EXPECT_EQ(2u, device_->ItemCount());
    EXPECT_EQ("D10,D20", List(driver, W16("D")));
    EXPECT_EQ(1, driver->RegisterItem(device_, W16("D30"), &type, &size, &access));
    // The object goes with the table's links (the fixture's among them).
    EXPECT_EQ(0u, driver->Release());
    CLinkTable none;
    CDrvIDec* empty = new CDrvIDec(none);
    empty->AddRef();
    FaultAlloc faults;
    faults.FailAll();
    EXPECT_EQ("NOT LINK", List(empty, W16("D")));
    EXPECT_EQ(0u, empty->Release());
}

// The creation's load and start with each allocation failing, then each
// throwing, in turn: the host always gets a started table, an empty one when
// an exception cut the load or start short, never a half-started one.
TEST(DriverCreation, FailingOrThrowingAllocationsStillGiveAStartedTable) {
    uint32_t links = 0;
    {
        CLinkTable table;
        INimbroDriver* out = nullptr;
        ASSERT_EQ(NIMBRO_S_OK, CreateDriver(table, nullptr, &out, 0, 0));
        links = table.LinkCount();
        ASSERT_GT(links, 0u) << "the settings beside the test name a link";
        out->Release();
    }
    for (FaultAlloc::Mode mode : {FaultAlloc::kFail, FaultAlloc::kThrow}) {
        int emptied = 0, refused = 0;
        for (int nth = 1;; ++nth) {
            ASSERT_LT(nth, 2000);
            CLinkTable table;
            INimbroDriver* out = nullptr;
            int32_t rc;
            int fired;
            {
                FaultAlloc faults;
                faults.FailNth(nth, 1, mode);
                rc = CreateDriver(table, nullptr, &out, 0, 0);
                fired = faults.Fired();
            }
            if (rc != NIMBRO_S_OK) {
                ++refused;
                EXPECT_EQ(NIMBRO_E_OUTOFMEMORY, rc) << nth;
                EXPECT_EQ(nullptr, out) << nth;
                continue;
            }
            ASSERT_NE(nullptr, out);
            EXPECT_TRUE(table.Started()) << "mode " << mode << ", nth " << nth;
            if (table.LinkCount() == 0) {
                ++emptied;
            } else if (fired == 0) {
                EXPECT_EQ(links, table.LinkCount());
            }
            // Calls get answers.
            EXPECT_NE("<none>", List(out, W16("Q"))) << nth;
            EXPECT_EQ(0u, out->Release());
            if (fired == 0)
                break;
        }
        EXPECT_EQ(1, refused) << "the driver object's own allocation, mode " << mode;
        if (mode == FaultAlloc::kThrow) {
            EXPECT_GT(emptied, 0);
        }
    }
}

} // namespace
