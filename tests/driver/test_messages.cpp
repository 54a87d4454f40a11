// Message texts: CErrorString, the module's string table and the status
// messages of the link model.
#include <gtest/gtest.h>

#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "model/LinkModel.h"
#include "platform/module.h"
#include "support/ErrorString.h"
#include "support/ResLang.h"
#include "testutil/testutil.h"

namespace {

using testutil::Narrow;
using testutil::W;

std::string TextOf(const CErrorString& s) {
    WChar buf[CErrorString::kCapacity + 8];
    s.GetText(buf, CErrorString::kCapacity + 8);
    return Narrow(buf);
}

TEST(ErrorString, SetTextComparesWithoutLetterCase) {
    CErrorString s;
    EXPECT_EQ(TextOf(s), "");
    EXPECT_TRUE(s.SetText(W16("Not connected")));
    EXPECT_FALSE(s.SetText(W16("NOT CONNECTED")));
    EXPECT_EQ(TextOf(s), "Not connected") << "the stored letter case stays";
    EXPECT_TRUE(s.SetText(W16("Not connected!")));
    EXPECT_EQ(TextOf(s), "Not connected!");
}

TEST(ErrorString, EmptyAndNullTexts) {
    CErrorString s;
    EXPECT_FALSE(s.SetText(W16("")));
    EXPECT_FALSE(s.SetText(nullptr));
    ASSERT_TRUE(s.SetText(W16("x")));
    EXPECT_TRUE(s.SetText(W16("")));
    EXPECT_EQ(TextOf(s), "");
    ASSERT_TRUE(s.SetText(W16("x")));
    EXPECT_TRUE(s.SetText(nullptr));
    EXPECT_EQ(TextOf(s), "");
}

TEST(ErrorString, LongTextsAreCutAt255) {
    CErrorString s;
    std::string text(300, 'a');
    for (size_t i = 0; i < text.size(); ++i)
        text[i] = static_cast<char>('a' + i % 26);
    EXPECT_TRUE(s.SetText(W(text).c_str()));
    EXPECT_EQ(TextOf(s), text.substr(0, 255));
    // A format that expands past the end is cut the same way.
    ASSERT_TRUE(s.SetText(W16("other")));
    EXPECT_TRUE(s.SetTextFormat(W16("%s!%d"), W(text).c_str(), 7));
    EXPECT_EQ(TextOf(s), text.substr(0, 255));
    // The cut text is what a later text is compared with.
    EXPECT_FALSE(s.SetText(W(text.substr(0, 255)).c_str()));
}

TEST(ErrorString, PercentPairs) {
    CErrorString s;
    // No conversion: stored as given, both percent signs kept.
    EXPECT_TRUE(s.SetTextFormat(W16("100%% done")));
    EXPECT_EQ(TextOf(s), "100%% done");
    // With a conversion the pair becomes one sign.
    EXPECT_TRUE(s.SetTextFormat(W16("%d%% done"), 100));
    EXPECT_EQ(TextOf(s), "100% done");
    EXPECT_FALSE(s.SetTextFormat(W16("%d%% DONE"), 100)) << "only the letter case differs";
    EXPECT_TRUE(s.SetTextFormat(W16("%08X %S"), 0xBEEFu, "narrow"));
    EXPECT_EQ(TextOf(s), "0000BEEF narrow");
}

TEST(ErrorString, WritersOnSeveralThreads) {
    CErrorString s;
    const char* texts[] = {"alpha", "beta", "gamma", "delta"};
    std::vector<std::thread> threads;
    for (const char* t : texts) {
        threads.emplace_back([&s, t] {
            testutil::WString w = W(t);
            for (int i = 0; i < 500; ++i) {
                s.SetText(w.c_str());
                s.SetTextFormat(W16("%s %d"), w.c_str(), i);
            }
        });
    }
    for (auto& th : threads)
        th.join();
    std::string last = TextOf(s);
    EXPECT_NE(last.find(" 499"), std::string::npos) << last;
}

// Texts from the built module's string table.
class ModuleTexts : public ::testing::Test {
protected:
    void SetUp() override {
        module_ = plat::ModuleLoad(W(NIMBRO_TEST_MODULE).c_str());
        ASSERT_NE(module_, nullptr);
        // Satellites are built elsewhere: the module itself serves.
        EXPECT_FALSE(lang_.Select(module_));
        ASSERT_EQ(lang_.ResourceModule(), module_);
    }
    void TearDown() override {
        lang_.Unselect();
        if (module_)
            plat::ModuleFree(module_);
    }
    std::string Load(uint32_t id) {
        WChar buf[CErrorString::kCapacity];
        buf[0] = 0;
        if (lang_.LoadText(id, buf, CErrorString::kCapacity) <= 0)
            return "<none>";
        return Narrow(buf);
    }

    plat::ModuleHandle module_ = nullptr;
    CResLang lang_;
};

TEST_F(ModuleTexts, TableTextsAsWritten) {
    EXPECT_EQ(Load(100), "NimbroDrvIDec");
    EXPECT_EQ(Load(999), "No Error.");
    EXPECT_EQ(Load(1000), "Error, Memory not enough.");
    EXPECT_EQ(Load(105),
              "Setting file is not fond. Do you open the default file(NimbroDrvIDec.ini)? ");
    EXPECT_EQ(Load(1003), "Error, Failed to get link file!\n(Link==%s)");
    EXPECT_EQ(Load(10009), "Data overflow!");
    EXPECT_EQ(Load(4242), "<none>");
}

TEST_F(ModuleTexts, MessagesById) {
    CErrorString s;
    EXPECT_TRUE(s.SetTextFromId(&lang_, 1010, W16("Link0"), W16("P1"), W16("D")));
    EXPECT_EQ(TextOf(s), "Error, Invalid device! (Link0,P1,D)");
    EXPECT_TRUE(s.SetTextFromId(&lang_, 1004, W16("Link0"), "plant.cfg"));
    EXPECT_EQ(TextOf(s), "Error, Failed to open link file!\n(Link==Link0, plant.cfg)");
    EXPECT_TRUE(s.SetTextFromId(&lang_, 1008, "a", "b", 0x1Fu));
    EXPECT_EQ(TextOf(s), "Error, Failed to init link(a--b)(0000001F)!");
    EXPECT_FALSE(s.SetTextFromId(&lang_, 1008, "A", "B", 0x1Fu));
    // An id nobody has gives an empty text, never leftovers.
    EXPECT_TRUE(s.SetTextFromId(&lang_, 4242));
    EXPECT_EQ(TextOf(s), "");
    ASSERT_TRUE(s.SetText(W16("old")));
    EXPECT_TRUE(s.SetTextFromId(nullptr, 999));
    EXPECT_EQ(TextOf(s), "");
}

TEST(ResLangBasics, LoadTextBeforeSelectLeavesTheBufferAlone) {
    CResLang lang;
    WChar buf[8] = {W16('k'), W16('e'), W16('e'), W16('p'), 0};
    EXPECT_EQ(lang.LoadText(999, buf, 8), 0);
    EXPECT_EQ(Narrow(buf), "keep");
    EXPECT_FALSE(lang.Select(nullptr));
    EXPECT_EQ(lang.ResourceModule(), nullptr);
}

TEST_F(ModuleTexts, StatusMessagesOfTheModel) {
    CLinkTable table;
    table.SetResLang(&lang_);
    auto* link = new CPlcDrvLink(&table);
    ASSERT_TRUE(table.InsertLink(link));
    auto* plc = new CPlc(link);
    plc->SetName(W16("P1"));
    ASSERT_TRUE(link->InsertPlc(plc));
    auto* device = new CPlcDevice(plc);
    device->SetName(W16("D"));
    ASSERT_TRUE(plc->InsertDevice(device));

    EXPECT_EQ(TextOf(link->Status()), "Not connected");
    EXPECT_EQ(TextOf(plc->Status()), "Not connected");
    EXPECT_EQ(TextOf(device->Status()), "");

    ASSERT_TRUE(table.StartAll());
    EXPECT_EQ(TextOf(link->Status()), "No Error.");
    EXPECT_EQ(TextOf(plc->Status()), "No Error.");

    // A block's message stays with the block.
    link->SetName(W16("Link0"));
    EXPECT_TRUE(
        device->SetMessage(model::kMsgInvalidDevice, link->Name(), plc->Name(), device->Name()));
    EXPECT_EQ(TextOf(device->Status()), "Error, Invalid device! (Link0,P1,D)");
    EXPECT_EQ(TextOf(plc->Status()), "No Error.");
    EXPECT_EQ(TextOf(link->Status()), "No Error.");
    table.RemoveAll();
}

// A channel that is always up and whose write pass throws what it is told.
class ThrowingChannel : public CLinkChannel {
public:
    static inline int kind = 0;
    int32_t Open(bool) override { return 0; }
    bool IsConnected(bool) override { return true; }
    uint32_t Session() const override { return 1; }
    int Close() override { return 0; }
    bool WriteQueue(CPlcDrvLink&, CPlcDevice&) override {
        if (kind == 0)
            throw std::runtime_error("pass broke");
        if (kind == 1)
            throw std::bad_alloc();
        throw 7;
    }
    static CLinkChannel* Create(const IDecOpenParams*) { return new ThrowingChannel; }
};

// A tick that throws goes on at the next tick, and says why in the link's message.
TEST_F(ModuleTexts, TickThatThrowsShowsInTheLinkMessage) {
    CLinkTable table;
    table.SetResLang(&lang_);
    table.SetChannelFactory(&ThrowingChannel::Create);
    auto* link = new CPlcDrvLink(&table);
    link->SetName(W16("Link0"));
    ASSERT_TRUE(table.InsertLink(link));
    auto* plc = new CPlc(link);
    ASSERT_TRUE(link->InsertPlc(plc));
    auto* device = new CPlcDevice(plc);
    device->SetName(W16("D"));
    ASSERT_TRUE(plc->InsertDevice(device));
    const char* expected[] = {"Error, Link turn failed!(Link==Link0)--pass broke",
                              "Error, Memory not enough.",
                              "Error, Link turn failed!(Link==Link0)--"};
    for (int kind = 0; kind < 3; ++kind) {
        ThrowingChannel::kind = kind;
        link->OnTick();
        EXPECT_EQ(TextOf(link->Status()), expected[kind]);
    }
    table.RemoveAll();
}

} // namespace
