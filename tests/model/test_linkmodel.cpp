// The link model: order and lookups by name, ownership on replacement, item
// creation rules, the port override, and the table's start and stop.
#include <gtest/gtest.h>

#include <algorithm>
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

CPlc* NewPlc(CPlcDrvLink* link, const char* name) {
    auto* plc = new CPlc(link);
    plc->SetName(W(name).c_str());
    return plc;
}

TEST(LinkModel, PlcsInCaseInsensitiveOrderAndFoundInAnyCase) {
    CLinkTable table;
    auto* link = new CPlcDrvLink(&table);
    ASSERT_TRUE(table.InsertLink(link));
    ASSERT_TRUE(link->InsertPlc(NewPlc(link, "B")));
    ASSERT_TRUE(link->InsertPlc(NewPlc(link, "a")));
    ASSERT_TRUE(link->InsertPlc(NewPlc(link, "plc1")));
    ASSERT_EQ(link->PlcCount(), 3u);
    EXPECT_EQ(Narrow(link->FirstPlc()->Name()), "a");
    EXPECT_EQ(Narrow(link->GetPlc(1)->Name()), "B");
    EXPECT_EQ(Narrow(link->GetPlc(2)->Name()), "plc1");
    EXPECT_EQ(link->GetPlc(3), nullptr);
    ASSERT_NE(link->FindPlc(W16("PLC1")), nullptr);
    EXPECT_EQ(Narrow(link->FindPlc(W16("PLC1"))->Name()), "plc1");
    EXPECT_EQ(link->FindPlc(W16("plc")), nullptr);
    EXPECT_EQ(link->FindPlc(nullptr), nullptr);
    EXPECT_EQ(link->FirstPlc()->Link(), link);
}

TEST(LinkModel, BisectionFindsEveryNameAndNothingElse) {
    Tree t;
    std::vector<std::string> names;
    for (int i = 0; i < 97; ++i)
        names.push_back("N" + std::to_string(i * 7919 % 1000));
    for (const auto& n : names) {
        auto* block = new CPlcDevice(t.plc);
        block->SetName(W(n).c_str());
        ASSERT_TRUE(t.plc->InsertDevice(block));
    }
    ASSERT_EQ(t.plc->DeviceCount(), names.size() + 1);
    for (uint32_t i = 1; i < t.plc->DeviceCount(); ++i)
        EXPECT_LT(plat::WStrICmp(t.plc->GetDevice(i - 1)->Name(), t.plc->GetDevice(i)->Name()), 0);
    for (const auto& n : names) {
        std::string lower = n;
        lower[0] = 'n';
        CPlcDevice* found = t.plc->FindDevice(W(lower).c_str());
        ASSERT_NE(found, nullptr) << n;
        EXPECT_EQ(Narrow(found->Name()), n);
    }
    EXPECT_EQ(t.plc->FindDevice(W16("N1000")), nullptr);
    EXPECT_EQ(t.plc->FindDevice(W16("A")), nullptr);
    EXPECT_EQ(t.plc->FindDevice(W16("Z")), nullptr);
    EXPECT_EQ(t.plc->FindDevice(W16("d")), t.block);
}

TEST(LinkModel, EqualNamesReplaceAndTheDisplacedRecordGoes) {
    Tree t;
    CPlc* again = NewPlc(t.link, "");
    ASSERT_TRUE(t.link->InsertPlc(again));
    EXPECT_EQ(t.link->PlcCount(), 1u);
    EXPECT_EQ(t.link->FirstPlc(), again);

    auto* b1 = new CPlcDevice(again);
    b1->SetName(W16("M"));
    auto* b2 = new CPlcDevice(again);
    b2->SetName(W16("m"));
    ASSERT_TRUE(again->InsertDevice(b1));
    ASSERT_TRUE(again->InsertDevice(b2));
    EXPECT_EQ(again->DeviceCount(), 1u);
    EXPECT_EQ(again->FindDevice(W16("M")), b2);
    EXPECT_EQ(b2->Plc(), again);
}

TEST(LinkModel, ItemOfTheSameNameReplacesInBothIndexes) {
    Tree t;
    CDeviceItem* first = t.block->CreateItem(W16("D100"), 100, false, 0, 0);
    CDeviceItem* other = t.block->CreateItem(W16("D050"), 50, false, 0, 0);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(other, nullptr);
    CDeviceItem* second = t.block->CreateItem(W16("d100"), 120, false, 0, 20);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(t.block->ItemCount(), 2u);
    EXPECT_EQ(t.block->GetItem(static_cast<uint32_t>(t.block->FindItem(W16("D100")))), second);
    // The address index no longer holds the displaced item.
    EXPECT_EQ(t.block->GetItemByAddress(0), other);
    EXPECT_EQ(t.block->GetItemByAddress(1), second);
    EXPECT_EQ(t.block->GetItemByAddress(2), nullptr);
}

TEST(LinkModel, AddressIndexOrdersByAddressThenName) {
    Tree t;
    ASSERT_NE(t.block->CreateItem(W16("D30"), 30, false, 0, 0), nullptr);
    ASSERT_NE(t.block->CreateItem(W16("Db"), 10, false, 0, 0), nullptr);
    ASSERT_NE(t.block->CreateItem(W16("D20"), 20, false, 0, 0), nullptr);
    ASSERT_NE(t.block->CreateItem(W16("Da"), 10, false, 0, 0), nullptr);
    ASSERT_NE(t.block->CreateItem(W16("Dneg"), -5, false, 0, 0), nullptr);
    std::vector<std::string> order;
    for (uint32_t i = 0; i < t.block->ItemCount(); ++i)
        order.push_back(Narrow(t.block->GetItemByAddress(i)->name));
    EXPECT_EQ(order, (std::vector<std::string>{"Dneg", "Da", "Db", "D20", "D30"}));
}

TEST(LinkModel, ItemCreationRules) {
    Tree t;
    CDeviceItem* word = t.block->CreateItem(W16("D17"), 17, false, 0, 0);
    ASSERT_NE(word, nullptr);
    EXPECT_EQ(word->bitMask, 0xFFFFFFFFu) << "radix 16 word block";
    EXPECT_EQ(word->dataType, 18);
    EXPECT_EQ(word->baseDataType, 18);
    EXPECT_EQ(word->size, 1);
    EXPECT_EQ(word->textSize, 0);
    EXPECT_EQ(word->attribute, 3u);
    EXPECT_EQ(word->unitIndex, -1);
    EXPECT_EQ(word->block, t.block);
    EXPECT_EQ(t.block->extension, model::kExtensionLarge) << "D blocks use the A letter";

    CDeviceItem* text = t.block->CreateItem(W16("D200"), 200, false, 0, 20);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(text->dataType, model::kTypeText);
    EXPECT_EQ(text->textSize, 20);
    CDeviceItem* open = t.block->CreateItem(W16("D300"), 300, false, 0, 65535);
    ASSERT_NE(open, nullptr);
    EXPECT_EQ(open->dataType, model::kTypeText);
    EXPECT_EQ(open->textSize, 0);

    CDeviceItem* p = t.block->CreateItem(W16("P0001"), 1, false, 0, 0);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(t.block->unitCode, model::kUnitLongByName);
    EXPECT_EQ(p->dataType, 19);
    // Lower-case p is not the rule.
    Tree lower(W16("R"));
    lower.block->CreateItem(W16("p5"), 5, false, 0, 0);
    EXPECT_EQ(lower.block->unitCode, model::kUnitWord);
    EXPECT_EQ(lower.block->extension, model::kExtensionDefault);

    std::string longName(40, 'D');
    CDeviceItem* cut = t.block->CreateItem(W(longName).c_str(), 1, false, 0, 0);
    ASSERT_NE(cut, nullptr);
    EXPECT_EQ(Narrow(cut->name), longName.substr(0, 31));
    EXPECT_EQ(t.block->CreateItem(nullptr, 1, false, 0, 0), nullptr);
}

TEST(LinkModel, BitMasksOfDecimalOctalAndBitBlocks) {
    Tree octal(W16("I"));
    octal.block->radix = model::kRadixDecimalOctal;
    CDeviceItem* i17 = octal.block->CreateItem(W16("I17"), 17, false, 0, 0);
    ASSERT_NE(i17, nullptr);
    // The bit within its byte: I17 is bit 7 of the second byte.
    EXPECT_EQ(i17->bitMask, 1u << 7);
    CDeviceItem* i40 = octal.block->CreateItem(W16("I40"), 40, false, 0, 0);
    EXPECT_EQ(i40->bitMask, 1u);
    // 8 and 9 name no bit in decimal-octal numbering.
    CDeviceItem* i18 = octal.block->CreateItem(W16("I18"), 18, false, 0, 0);
    EXPECT_EQ(i18->bitMask, 0u);

    Tree bits(W16("M"));
    bits.block->bitDevice = 1;
    bits.block->unitCode = model::kUnitBit;
    CDeviceItem* m3 = bits.block->CreateItem(W16("M3"), 3, false, 0, 0);
    EXPECT_EQ(m3->bitMask, 8u);
    EXPECT_EQ(m3->dataType, 11);

    Tree bytes(W16("R"));
    bytes.block->unitCode = model::kUnitByte;
    EXPECT_EQ(bytes.block->CreateItem(W16("R1"), 1, false, 0, 0)->dataType, 17);
    bytes.block->unitCode = model::kUnitDoubleWord;
    EXPECT_EQ(bytes.block->CreateItem(W16("R2"), 2, false, 0, 0)->dataType, 19);
}

TEST(LinkModel, RemoveItemTakesItOutOfBothIndexes) {
    Tree t;
    CDeviceItem* a = t.block->CreateItem(W16("D1"), 1, false, 0, 0);
    CDeviceItem* b = t.block->CreateItem(W16("D2"), 2, false, 0, 0);
    ASSERT_TRUE(t.block->RemoveItem(a));
    EXPECT_EQ(t.block->ItemCount(), 1u);
    EXPECT_EQ(t.block->FindItem(W16("D1")), -1);
    EXPECT_EQ(t.block->GetItemByAddress(0), b);
    EXPECT_EQ(t.block->GetItemByAddress(1), nullptr);
    // An item of the same name that the block does not hold is not removed.
    CDeviceItem stranger;
    stranger.name[0] = W16('D');
    stranger.name[1] = W16('2');
    stranger.name[2] = 0;
    EXPECT_FALSE(t.block->RemoveItem(&stranger));
    EXPECT_FALSE(t.block->RemoveItem(nullptr));
    EXPECT_EQ(t.block->ItemCount(), 1u);
}

// Items a configuration puts outside the block's ranges cannot be read; they
// must not stretch the window (toward a huge allocation) nor, below the
// block's lowest unit, leave the block without one.
TEST(LinkModel, ItemsOutsideTheRangesStayOutOfTheWindow) {
    Tree t;
    CPlcDevice* d = t.block;
    d->listed = 1;
    d->highestAddress = d->rangeEnd[0] = 7999;
    auto add = [&](const char* name, int32_t address) {
        auto* item = new CDeviceItem;
        item->startAddress = address;
        std::string n = name;
        for (size_t i = 0; i <= n.size(); ++i)
            item->name[i] = static_cast<WChar>(i < n.size() ? n[i] : 0);
        EXPECT_TRUE(d->InsertItem(item));
        return item;
    };
    CDeviceItem* good = add("Good", 10);
    CDeviceItem* other = add("Other", 7999);
    CDeviceItem* below = add("Below", -5);
    CDeviceItem* above = add("Above", 8000);
    CDeviceItem* far = add("Far", 2000000000);
    ASSERT_TRUE(d->RebuildWindow(nullptr, true));
    const model::ReadWindow& w = d->Window();
    int32_t first = 0, last = 0;
    ASSERT_TRUE(d->UnitOf(10, &first, nullptr));
    ASSERT_TRUE(d->UnitOf(7999, &last, nullptr));
    EXPECT_EQ(first, w.start);
    EXPECT_EQ(last + 1, w.start + w.length);
    EXPECT_TRUE(good->attached);
    EXPECT_TRUE(other->attached);
    for (CDeviceItem* out : {below, above, far})
        EXPECT_FALSE(out->attached) << Narrow(out->name);
    EXPECT_FALSE(d->ItemIdle(good));
}

TEST(LinkModel, PortOverrideReplacesWhatFollowsTheFirstColon) {
    CLinkTable table;
    CPlcDrvLink link(&table);
    link.SetAddressText("10.0.0.5:2101");
    link.ApplyPortOverride(0);
    EXPECT_STREQ(link.AddressText(), "10.0.0.5:2101");
    link.ApplyPortOverride(5000);
    EXPECT_STREQ(link.AddressText(), "10.0.0.5:5000");
    EXPECT_EQ(link.PortOverride(), 5000u);
    link.SetAddressText("plc:1:2");
    link.ApplyPortOverride(7);
    EXPECT_STREQ(link.AddressText(), "plc:7");
    link.SetAddressText("nocolon");
    link.ApplyPortOverride(7);
    EXPECT_STREQ(link.AddressText(), "nocolon");
    // At the end of the field the number is cut, not written past it.
    std::string full(253, 'h');
    full += ":";
    link.SetAddressText(full.c_str());
    link.ApplyPortOverride(65535);
    EXPECT_EQ(std::string(link.AddressText()), full + "6");
}

TEST(LinkTable, EmptyTableStartsAndLinksAreFoundByName) {
    CLinkTable table;
    EXPECT_EQ(table.ScanPeriod(), 50u);
    EXPECT_EQ(table.ReadInterval(), 250u);
    EXPECT_TRUE(table.StartAll());
    EXPECT_TRUE(table.Started());
    EXPECT_TRUE(table.StopAll());
    EXPECT_FALSE(table.Started());

    auto* unnamed = new CPlcDrvLink(&table);
    auto* named = new CPlcDrvLink(&table);
    named->SetName(W16("Line2"));
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
