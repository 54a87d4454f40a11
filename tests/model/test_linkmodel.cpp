// The link model: order and lookups by name, ownership on replacement, item
// creation rules, the port override, and the table's start and stop.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "model/LinkModel.h"
#include "platform/codepage.h"
#include "testutil/testutil.h"

namespace {

using testutil::Narrow;
using testutil::W;

struct Tree {
    CLinkTable table;
    CPlcDrvLink* link;
    CPlc* plc;
    CPlcDevice* block;

    explicit Tree(const WChar* blockName = W16("D")) {
        link = new CPlcDrvLink(&table);
        table.InsertLink(link);
        plc = new CPlc(link);
        link->InsertPlc(plc);
        block = new CPlcDevice(plc);
        block->SetName(blockName);
        plc->InsertDevice(block);
    }
};

template <class T> T* Named(T* record, const char* name) {
    record->SetName(W(name).c_str());
    return record;
}

TEST(LinkModel, PlcsInCaseInsensitiveOrderFoundInAnyCaseAndReplacedByEqualNames) {
    Tree t;
    for (const char* name : {"B", "a", "plc1"})
        ASSERT_TRUE(t.link->InsertPlc(Named(new CPlc(t.link), name)));
    std::string order;
    for (uint32_t i = 0; CPlc* p = t.link->GetPlc(i); ++i)
        order += Narrow(p->Name()) + ",";
    EXPECT_EQ(",a,B,plc1,", order);
    ASSERT_NE(nullptr, t.link->FindPlc(W16("PLC1")));
    EXPECT_EQ("plc1", Narrow(t.link->FindPlc(W16("PLC1"))->Name()));
    EXPECT_EQ(nullptr, t.link->FindPlc(W16("plc")));
    EXPECT_EQ(nullptr, t.link->FindPlc(nullptr));
    EXPECT_EQ(t.link, t.link->FirstPlc()->Link());

    // An equal name takes the place (the displaced record goes: the leak checker watches).
    CPlc* again = Named(new CPlc(t.link), "");
    ASSERT_TRUE(t.link->InsertPlc(again));
    EXPECT_EQ(4u, t.link->PlcCount());
    EXPECT_EQ(again, t.link->FirstPlc());
    CPlcDevice* m = Named(new CPlcDevice(again), "m");
    ASSERT_TRUE(again->InsertDevice(Named(new CPlcDevice(again), "M")));
    ASSERT_TRUE(again->InsertDevice(m));
    EXPECT_EQ(1u, again->DeviceCount());
    EXPECT_EQ(m, again->FindDevice(W16("M")));
    EXPECT_EQ(again, m->Plc());
}

TEST(LinkModel, BisectionFindsEveryNameAndNothingElse) {
    Tree t;
    std::vector<std::string> names;
    for (int i = 0; i < 97; ++i) {
        names.push_back("N" + std::to_string(i * 7919 % 1000));
        ASSERT_TRUE(t.plc->InsertDevice(Named(new CPlcDevice(t.plc), names.back().c_str())));
    }
    ASSERT_EQ(t.plc->DeviceCount(), names.size() + 1);
    for (uint32_t i = 1; i < t.plc->DeviceCount(); ++i)
        EXPECT_LT(plat::WStrICmp(t.plc->GetDevice(i - 1)->Name(), t.plc->GetDevice(i)->Name()), 0);
    for (const auto& n : names) {
        CPlcDevice* found = t.plc->FindDevice(W("n" + n.substr(1)).c_str());
        ASSERT_NE(found, nullptr) << n;
        EXPECT_EQ(Narrow(found->Name()), n);
    }
    for (const WChar* none : {W16("N1000"), W16("A"), W16("Z")})
        EXPECT_EQ(t.plc->FindDevice(none), nullptr);
    EXPECT_EQ(t.plc->FindDevice(W16("d")), t.block);
}

// The items' names, in the order of the address index.
std::string ByAddress(CPlcDevice* d) {
    std::string out;
    for (uint32_t i = 0; CDeviceItem* item = d->GetItemByAddress(i); ++i)
        out += Narrow(item->name) + " ";
    return out;
}

CDeviceItem* ItemNamed(CPlcDevice* d, const WChar* name) {
    int32_t at = d->FindItem(name);
    return at < 0 ? nullptr : d->GetItem(static_cast<uint32_t>(at));
}

TEST(LinkModel, ItemIndexesOrderReplaceAndRemove) {
    Tree t;
    for (const auto& c : std::vector<std::pair<const char*, int32_t>>{
             {"D30", 30}, {"Db", 10}, {"D20", 20}, {"Da", 10}, {"Dneg", -5}, {"D100", 100}})
        ASSERT_NE(nullptr, t.block->CreateItem(W(c.first).c_str(), c.second, false, 0, 0));
    // By address, then by name.
    EXPECT_EQ("Dneg Da Db D20 D30 D100 ", ByAddress(t.block));
    // The same name replaces the item in both indexes.
    CDeviceItem* second = t.block->CreateItem(W16("d100"), 25, false, 0, 20);
    ASSERT_NE(nullptr, second);
    EXPECT_EQ(6u, t.block->ItemCount());
    EXPECT_EQ(second, ItemNamed(t.block, W16("D100")));
    EXPECT_EQ("Dneg Da Db D20 d100 D30 ", ByAddress(t.block));

    ASSERT_TRUE(t.block->RemoveItem(ItemNamed(t.block, W16("Db"))));
    EXPECT_EQ(-1, t.block->FindItem(W16("Db")));
    EXPECT_EQ("Dneg Da D20 d100 D30 ", ByAddress(t.block));
    // An item of the same name that the block does not hold is not removed.
    CDeviceItem stranger;
    std::copy_n(W16("Da"), 3, stranger.name);
    EXPECT_FALSE(t.block->RemoveItem(&stranger));
    EXPECT_FALSE(t.block->RemoveItem(nullptr));
    EXPECT_EQ(5u, t.block->ItemCount());
}

TEST(LinkModel, ItemCreationRules) {
    Tree t;
    CDeviceItem* word = t.block->CreateItem(W16("D17"), 17, false, 0, 0);
    ASSERT_NE(nullptr, word);
    EXPECT_TRUE(word->baseDataType == 18 && word->size == 1 && word->textSize == 0);
    EXPECT_TRUE(word->attribute == 3 && word->unitIndex == -1 && word->block == t.block);
    // A text of no fixed size has none yet.
    for (const auto& text : {std::make_pair(20, 20), std::make_pair(65535, 0)}) {
        CDeviceItem* item =
            t.block->CreateItem(W16("D200"), 200, false, 0, static_cast<uint16_t>(text.first));
        ASSERT_NE(nullptr, item);
        EXPECT_EQ(model::kTypeText, item->dataType);
        EXPECT_EQ(text.second, item->textSize);
    }
    std::string longName(40, 'D');
    CDeviceItem* cut = t.block->CreateItem(W(longName).c_str(), 1, false, 0, 0);
    ASSERT_NE(nullptr, cut);
    EXPECT_EQ(longName.substr(0, 31), Narrow(cut->name));
    EXPECT_EQ(nullptr, t.block->CreateItem(nullptr, 1, false, 0, 0));

    // Bit masks, types, the block's unit and spare after the item; -1: not looked at.
    const struct {
        const char* block;
        bool decOct, bits;
        int unit;
        const char* item;
        int32_t address;
        int64_t mask;
        int type, unitAfter;
    } rows[] = {{"D", false, false, -1, "D17", 17, 0xFFFFFFFF, 18, -1}, // radix 16 word block
                {"D", false, false, -1, "P0001", 1, -1, 19, model::kUnitLongByName},
                {"I", true, false, -1, "I17", 17, 1 << 7, -1, -1}, // bit 7 of the second byte
                {"I", true, false, -1, "I40", 40, 1, -1, -1},
                {"I", true, false, -1, "I18", 18, 0, -1, -1}, // 8 and 9 name no bit
                {"M", false, true, model::kUnitBit, "M3", 3, 8, 11, -1},
                {"R", false, false, model::kUnitByte, "R1", 1, -1, 17, -1},
                {"R", false, false, model::kUnitDoubleWord, "R2", 2, -1, 19, -1},
                {"R", false, false, -1, "p5", 5, -1, 18, model::kUnitWord}}; // not the P rule
    for (const auto& r : rows) {
        Tree b(W(r.block).c_str());
        if (r.decOct)
            b.block->radix = model::kRadixDecimalOctal;
        b.block->bitDevice = r.bits;
        if (r.unit >= 0)
            b.block->unitCode = static_cast<decltype(b.block->unitCode)>(r.unit);
        CDeviceItem* item = b.block->CreateItem(W(r.item).c_str(), r.address, false, 0, 0);
        ASSERT_NE(nullptr, item) << r.item;
        EXPECT_TRUE(r.mask < 0 || static_cast<uint32_t>(r.mask) == item->bitMask) << r.item;
        EXPECT_TRUE(r.type < 0 || r.type == item->dataType) << r.item;
        EXPECT_TRUE(r.unitAfter < 0 || uint32_t(r.unitAfter) == b.block->unitCode) << r.item;
        EXPECT_EQ(r.block[0] == 'D' ? model::kExtensionLarge : model::kExtensionDefault,
                  b.block->extension)
            << r.item; // only D blocks use the A letter
    }
}

// Items a configuration puts outside the block's ranges cannot be read; they
// must not stretch the window (toward a huge allocation) nor, below the
// block's lowest unit, leave the block without one.
TEST(LinkModel, ItemsOutsideTheRangesStayOutOfTheWindow) {
    Tree t;
    CPlcDevice* d = t.block;
    d->listed = 1;
    d->highestAddress = d->rangeEnd[0] = 7999;
    std::vector<CDeviceItem*> items;
    const std::pair<const char*, int32_t> at[] = {
        {"Good", 10}, {"Other", 7999}, {"Below", -5}, {"Above", 8000}, {"Far", 2000000000}};
    for (const auto& a : at) {
        items.push_back(new CDeviceItem);
        items.back()->startAddress = a.second;
        std::copy_n(W(a.first).c_str(), std::strlen(a.first) + 1, items.back()->name);
        ASSERT_TRUE(d->InsertItem(items.back()));
    }
    ASSERT_TRUE(d->RebuildWindow(nullptr, true));
    const model::ReadWindow& w = d->Window();
    int32_t first = 0, last = 0;
    ASSERT_TRUE(d->UnitOf(10, &first, nullptr) && d->UnitOf(7999, &last, nullptr));
    EXPECT_EQ(first, w.start);
    EXPECT_EQ(last + 1, w.start + w.length);
    for (size_t i = 0; i < items.size(); ++i)
        EXPECT_EQ(i < 2, items[i]->attached) << at[i].first;
    EXPECT_FALSE(d->ItemIdle(items[0]));
}

TEST(LinkModel, PortOverrideReplacesWhatFollowsTheFirstColon) {
    CLinkTable table;
    CPlcDrvLink link(&table);
    // At the end of the field the number is cut, not written past it.
    const std::string full = std::string(253, 'h') + ":";
    const struct {
        std::string address;
        uint32_t port;
        std::string result;
    } cases[] = {{"10.0.0.5:2101", 0, "10.0.0.5:2101"},
                 {"plc:1:2", 7, "plc:7"},
                 {"nocolon", 7, "nocolon"},
                 {full, 65535, full + "6"},
                 {"10.0.0.5:2101", 5000, "10.0.0.5:5000"}};
    for (const auto& c : cases) {
        link.SetAddressText(c.address.c_str());
        link.ApplyPortOverride(c.port);
        EXPECT_EQ(c.result, link.AddressText()) << c.address << " " << c.port;
    }
    EXPECT_EQ(5000u, link.PortOverride());
}

TEST(LinkTable, EmptyTableStartsAndLinksAreFoundByName) {
    CLinkTable table;
    EXPECT_TRUE(table.StartAll());
    EXPECT_TRUE(table.Started());
    EXPECT_TRUE(table.StopAll());
    EXPECT_FALSE(table.Started());

    auto* unnamed = new CPlcDrvLink(&table);
    auto* named = Named(new CPlcDrvLink(&table), "Line2");
    ASSERT_TRUE(table.InsertLink(named));
    ASSERT_TRUE(table.InsertLink(unnamed));
    EXPECT_EQ(table.FindLink(W16("")), unnamed) << "the configured link has an empty name";
    EXPECT_EQ(table.FindLink(W16("LINE2")), named);
    EXPECT_EQ(table.FindLink(W16("Link0")), nullptr);
    EXPECT_EQ(table.GetLink(0), unnamed);
    table.RemoveAll();
    EXPECT_EQ(table.LinkCount(), 0u);
    EXPECT_EQ(table.FindLink(W16("")), nullptr);
}

} // namespace
