// The address-list enumeration of a link's PLCs against the simulator: query
// order and frames, the blocks and items it creates, and how it ends.
#include <gtest/gtest.h>

#include "harness.h"
#include "platform/module.h"
#include "support/ResLang.h"
#include "testutil/fault_alloc.h"
#include "testutil/testutil.h"

namespace {

using idecsim::FaultKind;
using idecsim::FaultRule;
using itest::ListQueryFrame;
using itest::Requests;
using itest::Rig;
using testutil::Narrow;
using testutil::W;

// WinSock needs starting before the tests make sockets of their own.
class Network : public ::testing::Environment {
public:
    void SetUp() override { ASSERT_EQ(plat::NetStartup(), 0); }
    void TearDown() override { plat::NetCleanup(); }
};
const auto* const kNetwork = ::testing::AddGlobalTestEnvironment(new Network);

std::vector<std::string> ItemNames(CPlcDevice& block) {
    std::vector<std::string> names;
    for (uint32_t i = 0; i < block.ItemCount(); ++i)
        names.push_back(Narrow(block.GetItem(i)->Name()));
    return names;
}

int32_t StartOf(CPlcDevice& block, const char* item) {
    int32_t at = block.FindItem(W(item).c_str());
    return at < 0 ? -1 : block.GetItem(static_cast<uint32_t>(at))->startAddress;
}

FaultRule ListRule(FaultKind kind, char letter) {
    FaultRule r;
    r.kind = kind;
    r.command = 'L';
    r.letter = letter;
    return r;
}

TEST(Enumeration, QueriesEveryLetterInOrderOnTemporaryConnectionsThenConnects) {
    idecsim::Simulator sim;
    sim.SetStation(0x1F);
    ASSERT_TRUE(sim.SetAddressList('A', {12, 100, 20000, 123456}));
    ASSERT_TRUE(sim.SetAddressList('x', {12}));
    const uint16_t port = sim.Start(0);
    ASSERT_NE(port, 0);

    Rig rig(port, 2, "1F");
    // P0 has no D block; P1 has one numbered to 7999, as a definition gives.
    CPlcDevice& known = rig.AddBlock("D", 7999, 1);
    rig.Link().OnTick();

    const std::string letters = "xyarTtCcAdek";
    for (uint32_t conn = 1; conn <= 2; ++conn) {
        std::vector<std::string> sent = Requests(sim, conn);
        ASSERT_EQ(sent.size(), letters.size()) << "connection " << conn;
        for (size_t i = 0; i < letters.size(); ++i)
            EXPECT_EQ(sent[i], ListQueryFrame("1F", letters[i]))
                << "connection " << conn << " query " << i;
    }
    for (const idecsim::Exchange& e : sim.FrameLog())
        ASSERT_EQ(e.reply.substr(0, 1), "\x06") << idecsim::Printable(e.request);

    // The temporary connections are gone; the link's own one is the third.
    EXPECT_TRUE(rig.Connected());
    EXPECT_TRUE(testutil::WaitUntil([&] { return sim.TotalConnections() == 3; }, 5000));
    EXPECT_TRUE(testutil::WaitUntil([&] { return sim.ConnectionCount() == 1; }, 5000));
    EXPECT_TRUE(Requests(sim, 3).empty());
    EXPECT_TRUE(rig.Link().EnumerationDone());
    EXPECT_TRUE(rig.Link().EnumeratedOnce());
    EXPECT_FALSE(rig.Link().FirstEnumerationRunning());

    // Created with default properties: its highest address (128) has three
    // digits, so its names do too.
    CPlcDevice* made = rig.Plc(0).FindDevice(W16("D"));
    ASSERT_NE(made, nullptr);
    EXPECT_EQ(ItemNames(*made), (std::vector<std::string>{"D012", "D100", "D123456", "D20000"}));
    EXPECT_EQ(ItemNames(known), (std::vector<std::string>{"D0012", "D0100", "D123456", "D20000"}));
    EXPECT_EQ(StartOf(known, "D0012"), 12);
    EXPECT_EQ(StartOf(known, "D0100"), 100);
    EXPECT_EQ(StartOf(known, "D123456"), 123456);
    for (uint32_t p = 0; p < 2; ++p) {
        CPlcDevice* inputs = rig.Plc(p).FindDevice(W16("I"));
        ASSERT_NE(inputs, nullptr);
        EXPECT_EQ(ItemNames(*inputs), (std::vector<std::string>{"I0012"}));
        // Empty lists create nothing.
        EXPECT_EQ(rig.Plc(p).FindDevice(W16("Q")), nullptr);
        EXPECT_EQ(rig.Plc(p).DeviceCount(), 2u);
    }

    // Asked again, the same lists create nothing new.
    rig.Link().RequestEnumeration();
    rig.Link().OnTick();
    EXPECT_EQ(known.ItemCount(), 4u);
    EXPECT_EQ(made->ItemCount(), 4u);
    EXPECT_EQ(Requests(sim, 4).size(), letters.size());
}

TEST(Enumeration, NakOrSilenceEndsThePlcsQueries) {
    // One PLC refuses its first query; another falls silent at its third.
    idecsim::Simulator nak;
    nak.AddFault(ListRule(FaultKind::kNak, 'x'));
    idecsim::Simulator silent;
    ASSERT_TRUE(silent.SetAddressList('x', {3}));
    ASSERT_TRUE(silent.SetAddressList('A', {5}));
    silent.AddFault(ListRule(FaultKind::kNoReply, 'a'));
    silent.SetCloseAfter(3); // the silence ends in a close: no five-second wait
    ASSERT_NE(nak.Start(0), 0);
    ASSERT_NE(silent.Start(0), 0);

    Rig refused(nak.Port(), 1);
    refused.Link().OnTick();
    EXPECT_EQ(Requests(nak, 1), std::vector<std::string>{ListQueryFrame("01", 'x')});
    EXPECT_EQ(refused.Plc().DeviceCount(), 0u);
    // The link still opens its own connection.
    EXPECT_TRUE(refused.Connected());
    EXPECT_TRUE(testutil::WaitUntil([&] { return nak.TotalConnections() == 2; }, 5000));

    Rig quiet(silent.Port(), 1);
    quiet.Link().OnTick();
    std::vector<std::string> sent = Requests(silent, 1);
    EXPECT_EQ(sent, (std::vector<std::string>{ListQueryFrame("01", 'x'), ListQueryFrame("01", 'y'),
                                              ListQueryFrame("01", 'a')}));
    ASSERT_NE(quiet.Plc().FindDevice(W16("I")), nullptr);
    EXPECT_EQ(quiet.Plc().FindDevice(W16("D")), nullptr);
    EXPECT_TRUE(quiet.Connected());
}

TEST(Enumeration, SplitRepliesAreCollectedAndDamagedListsCreateNothing) {
    idecsim::Simulator sim;
    ASSERT_TRUE(sim.SetAddressList('A', {1, 2, 3}));
    ASSERT_TRUE(sim.SetAddressList('x', {4, 5}));
    ASSERT_TRUE(sim.SetAddressList('y', {6, 7}));
    ASSERT_TRUE(sim.SetAddressList('r', {8}));
    FaultRule split = ListRule(FaultKind::kSplit, 'A');
    split.parts = 5;
    split.ms = 150;
    sim.AddFault(split);
    // Two data characters fewer: the count promises more than arrives.
    sim.AddFault(ListRule(FaultKind::kShort, 'x'));
    FaultRule garbage = ListRule(FaultKind::kGarbage, 'y');
    garbage.bytes = 40;
    sim.AddFault(garbage);
    ASSERT_NE(sim.Start(0), 0);

    Rig rig(sim.Port(), 1);
    rig.Link().OnTick();
    size_t queries = 0;
    for (const idecsim::Exchange& e : sim.FrameLog())
        queries += e.request.size() > 4 && e.request[4] == 'L';
    EXPECT_EQ(queries, 12u);
    CPlcDevice* d = rig.Plc().FindDevice(W16("D"));
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(ItemNames(*d), (std::vector<std::string>{"D001", "D002", "D003"}));
    EXPECT_EQ(rig.Plc().FindDevice(W16("I")), nullptr);
    EXPECT_EQ(rig.Plc().FindDevice(W16("Q")), nullptr);
    ASSERT_NE(rig.Plc().FindDevice(W16("R")), nullptr);
}

TEST(Enumeration, ItemNameWidths) {
    struct Case {
        const char* type;
        char letter;
        uint32_t value;
        uint32_t highest;
        const char* name;
    };
    const Case cases[] = {
        {"D", 'A', 5, 7999, "D0005"},   {"D", 'A', 5, 128, "D005"},
        {"D", 'A', 5, 0, "D0005"},      {"D", 'A', 5, 9, "D5"},
        {"D", 'A', 5, 99999, "D0005"},  {"D", 'A', 10000, 9, "D10000"},
        {"D", 'A', 99999, 9, "D99999"}, {"D", 'A', 100000, 9, "D100000"},
        {"I", 'x', 12, 9, "I0012"},     {"Q", 'y', 3, 627, "Q0003"},
        {"TP", 'T', 7, 1023, "TP0007"}, {"M", 'a', 123, 79, "M123"},
    };
    for (const Case& c : cases) {
        WChar out[model::kNameCap];
        ASSERT_TRUE(idec::EnumeratedItemName(W(c.type).c_str(), c.letter, c.value, c.highest, out,
                                             model::kNameCap));
        EXPECT_EQ(Narrow(out), c.name) << c.value << " in " << c.type << " to " << c.highest;
    }
    WChar tiny[4];
    EXPECT_FALSE(idec::EnumeratedItemName(W16("D"), 'A', 12, 7999, tiny, 4));
}

// Each allocation of a tick that enumerates fails in turn: the listing is
// whole, or the link's message says that memory ran out.
TEST(Enumeration, AnAllocationThatFailsIsNeverASilentlyShortListing) {
    plat::ModuleHandle module = plat::ModuleLoad(W(NIMBRO_TEST_MODULE).c_str());
    ASSERT_NE(module, nullptr);
    CResLang lang;
    lang.Select(module);
    WChar text[CErrorString::kCapacity] = {};
    lang.LoadText(model::kMsgNoMemory, text, CErrorString::kCapacity);
    const std::string noMemory = Narrow(text);
    ASSERT_FALSE(noMemory.empty());

    idecsim::Simulator sim;
    ASSERT_TRUE(sim.SetAddressList('A', {1, 2}));
    ASSERT_TRUE(sim.SetAddressList('x', {4}));
    ASSERT_NE(sim.Start(0), 0);
    const auto listing = [](Rig& rig) {
        std::vector<std::string> all;
        for (uint32_t d = 0; d < rig.Plc().DeviceCount(); ++d)
            for (const std::string& name : ItemNames(*rig.Plc().GetDevice(d)))
                all.push_back(name);
        return all;
    };
    std::vector<std::string> whole;
    {
        Rig rig(sim.Port(), 1);
        rig.Link().OnTick();
        whole = listing(rig);
        ASSERT_EQ(whole.size(), 3u);
    }
    int shown = 0;
    for (int nth = 1;; ++nth) {
        ASSERT_LT(nth, 500);
        Rig rig(sim.Port(), 1);
        rig.Table().SetResLang(&lang);
        int fired;
        {
            testutil::FaultAlloc faults;
            faults.FailNth(nth);
            rig.Link().OnTick();
            fired = faults.Fired();
        }
        rig.Link().Status().GetText(text, CErrorString::kCapacity);
        const bool said = Narrow(text) == noMemory;
        shown += said;
        EXPECT_TRUE(listing(rig) == whole || said) << "allocation " << nth;
        if (!fired)
            break;
    }
    EXPECT_GT(shown, 0);
    lang.Unselect();
    plat::ModuleFree(module);
}

} // namespace
