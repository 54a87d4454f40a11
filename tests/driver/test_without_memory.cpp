// The driver without memory: the host's calls and the driver object's
// creation while allocations fail or throw, and the block's message.
#include <gtest/gtest.h>

#include <string>

#include "driver/DrvIDec.h"
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

// A link, its PLC and a listed block "D" with two items, on a table whose
// messages come from the built module's string table.
class Block : public ::testing::Test {
protected:
    void SetUp() override {
        module_ = plat::ModuleLoad(W(NIMBRO_TEST_MODULE).c_str());
        ASSERT_NE(module_, nullptr);
        lang_.Select(module_);
        table_.SetResLang(&lang_);
        link_ = new CPlcDrvLink(&table_);
        ASSERT_TRUE(table_.InsertLink(link_));
        auto* plc = new CPlc(link_);
        ASSERT_TRUE(link_->InsertPlc(plc));
        device_ = new CPlcDevice(plc);
        device_->SetName(W16("D"));
        device_->listed = 1;
        device_->highestAddress = device_->rangeEnd[0] = 7999;
        ASSERT_TRUE(plc->InsertDevice(device_));
        ASSERT_NE(nullptr, device_->CreateItem(W16("D10"), 10, false, 0, 0));
        ASSERT_NE(nullptr, device_->CreateItem(W16("D20"), 20, false, 0, 0));
    }
    void TearDown() override {
        table_.RemoveAll();
        lang_.Unselect();
        if (module_)
            plat::ModuleFree(module_);
    }
    std::string Text(uint32_t id) {
        WChar buf[CErrorString::kCapacity] = {};
        lang_.LoadText(id, buf, CErrorString::kCapacity);
        return Narrow(buf);
    }
    std::string Status() {
        WChar buf[CErrorString::kCapacity] = {};
        device_->Status().GetText(buf, CErrorString::kCapacity);
        return Narrow(buf);
    }

    plat::ModuleHandle module_ = nullptr;
    CResLang lang_;
    CLinkTable table_;
    CPlcDrvLink* link_ = nullptr;
    CPlcDevice* device_ = nullptr;
};

TEST_F(Block, AWindowRebuildWithoutMemoryShowsTheMessage) {
    ASSERT_NE(Text(model::kMsgNoMemory), "");
    {
        FaultAlloc faults;
        faults.FailAll();
        EXPECT_FALSE(device_->RebuildWindow(nullptr, false));
    }
    EXPECT_EQ(Text(model::kMsgNoMemory), Status());
    EXPECT_TRUE(device_->RebuildWindow(nullptr, false));
    EXPECT_EQ(Text(model::kMsgNoError), Status());
}

TEST_F(Block, ListingAndRegisteringWithoutMemory) {
    CDrvIDec* driver = new CDrvIDec(table_);
    driver->AddRef();
    int32_t type = 0, size = 0, access = 0;
    {
        FaultAlloc faults;
        faults.FailAll();
        EXPECT_EQ(nullptr, driver->ListItems(W16("D"))) << "no list rather than a short one";
        // The fixed answers need none of the driver's memory.
        plat::Bstr other = driver->ListItems(W16("X"));
        ASSERT_NE(nullptr, other);
        EXPECT_EQ("NOT DEVICE", Narrow(other));
        plat::BstrFree(other);
        // A new item cannot be made: refused, nothing half made.
        EXPECT_EQ(0, driver->RegisterItem(device_, W16("D30"), &type, &size, &access));
        EXPECT_GT(faults.Fired(), 0);
    }
    EXPECT_EQ(2u, device_->ItemCount());
    plat::Bstr list = driver->ListItems(W16("D"));
    ASSERT_NE(nullptr, list);
    EXPECT_EQ("D10,D20", Narrow(list));
    plat::BstrFree(list);
    EXPECT_EQ(1, driver->RegisterItem(device_, W16("D30"), &type, &size, &access));
    // The object goes with the table's links (the fixture's among them).
    link_ = nullptr;
    EXPECT_EQ(0u, driver->Release());
    CLinkTable none;
    CDrvIDec* empty = new CDrvIDec(none);
    empty->AddRef();
    FaultAlloc faults;
    faults.FailAll();
    plat::Bstr notLink = empty->ListItems(W16("D"));
    ASSERT_NE(nullptr, notLink);
    EXPECT_EQ("NOT LINK", Narrow(notLink));
    plat::BstrFree(notLink);
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
            plat::Bstr answer = out->ListItems(W16("Q"));
            EXPECT_NE(nullptr, answer) << nth;
            plat::BstrFree(answer);
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
