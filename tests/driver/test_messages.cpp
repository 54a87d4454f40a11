// Message texts: CErrorString, the module's string table and the status
// messages of the link model.
#include <gtest/gtest.h>

#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "files.h"
#include "model/LinkModel.h"
#include "platform/module.h"
#include "support/ErrorString.h"
#include "support/ResLang.h"
#include "testutil/testutil.h"

namespace {

using drvtest::ModuleTexts;
using testutil::Narrow;
using testutil::W;

std::string TextOf(const CErrorString& s) {
    WChar buf[CErrorString::kCapacity + 8];
    s.GetText(buf, CErrorString::kCapacity + 8);
    return Narrow(buf);
}

// Whether a call changed the text, and the text after it: "1 text", "0 text".
std::string After(const CErrorString& s, bool changed) {
    return (changed ? "1 " : "0 ") + TextOf(s);
}

TEST(ErrorString, ChangesComparedWithoutLetterCaseAndCut) {
    CErrorString s;
    EXPECT_EQ(TextOf(s), "");
    const struct {
        const char* text;
        const char* after;
    } steps[] = {
        // clang-format off
        {"", "0 "}, {nullptr, "0 "}, {"Not connected", "1 Not connected"},
        // The stored letter case stays.
        {"NOT CONNECTED", "0 Not connected"}, {"Not connected!", "1 Not connected!"},
        {"", "1 "}, {"x", "1 x"}, {nullptr, "1 "},
        // clang-format on
    };
    for (const auto& st : steps)
        EXPECT_EQ(After(s, s.SetText(st.text ? W(st.text).c_str() : nullptr)), st.after);
    // Long texts, and formats that expand past the end, are cut at 255; the
    // cut text is what a later text is compared with.
    std::string text(300, 'a');
    for (size_t i = 0; i < text.size(); ++i)
        text[i] = static_cast<char>('a' + i % 26);
    EXPECT_EQ(After(s, s.SetText(W(text).c_str())), "1 " + text.substr(0, 255));
    ASSERT_TRUE(s.SetText(W16("other")));
    EXPECT_EQ(After(s, s.SetTextFormat(W16("%s!%d"), W(text).c_str(), 7)),
              "1 " + text.substr(0, 255));
    EXPECT_FALSE(s.SetText(W(text.substr(0, 255)).c_str()));
    // No conversion: stored as given, both percent signs kept; with one the
    // pair becomes one sign.
    EXPECT_EQ(After(s, s.SetTextFormat(W16("100%% done"))), "1 100%% done");
    EXPECT_EQ(After(s, s.SetTextFormat(W16("%d%% done"), 100)), "1 100% done");
    EXPECT_EQ(After(s, s.SetTextFormat(W16("%d%% DONE"), 100)), "0 100% done");
    EXPECT_EQ(After(s, s.SetTextFormat(W16("%08X %S"), 0xBEEFu, "narrow")), "1 0000BEEF narrow");
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
    EXPECT_EQ(After(s, s.SetTextFromId(&lang_, 1010, W16("Link0"), W16("P1"), W16("D"))),
              "1 Error, Invalid device! (Link0,P1,D)");
    EXPECT_EQ(After(s, s.SetTextFromId(&lang_, 1004, W16("Link0"), "plant.cfg")),
              "1 Error, Failed to open link file!\n(Link==Link0, plant.cfg)");
    EXPECT_EQ(After(s, s.SetTextFromId(&lang_, 1008, "a", "b", 0x1Fu)),
              "1 Error, Failed to init link(a--b)(0000001F)!");
    EXPECT_FALSE(s.SetTextFromId(&lang_, 1008, "A", "B", 0x1Fu));
    // An id nobody has gives an empty text, never leftovers.
    EXPECT_EQ(After(s, s.SetTextFromId(&lang_, 4242)), "1 ");
    ASSERT_TRUE(s.SetText(W16("old")));
    EXPECT_EQ(After(s, s.SetTextFromId(nullptr, 999)), "1 ");
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
    CPlcDevice* device = Chain(table);
    ASSERT_NE(device, nullptr);
    CPlc* plc = device->Plc();
    CPlcDrvLink* link = plc->Link();
    EXPECT_EQ(TextOf(link->Status()), "Not connected");
    EXPECT_EQ(TextOf(plc->Status()), "Not connected");
    EXPECT_EQ(TextOf(device->Status()), "");

    ASSERT_TRUE(table.StartAll());
    EXPECT_EQ(TextOf(link->Status()), "No Error.");
    EXPECT_EQ(TextOf(plc->Status()), "No Error.");

    // A block's message stays with the block.
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
    table.SetChannelFactory(&ThrowingChannel::Create);
    CPlcDevice* device = Chain(table);
    ASSERT_NE(device, nullptr);
    CPlcDrvLink* link = device->Plc()->Link();
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
