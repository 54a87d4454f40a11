// Items of the configuration file end to end: a configuration and a
// controller definition loaded as the driver loads them, a link to the
// simulator, and the host services on it.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "NimbroDriver.h"
#include "driver/DrvIDec.h"
#include "harness.h"
#include "model/Configuration.h"
#include "testutil/testutil.h"

namespace {

using testutil::W;
using testutil::WaitUntil;
using testutil::WString;

class Network : public ::testing::Environment {
public:
    void SetUp() override { ASSERT_EQ(plat::NetStartup(), 0); }
    void TearDown() override { plat::NetCleanup(); }
};
const auto* const kNetwork = ::testing::AddGlobalTestEnvironment(new Network);

constexpr uint32_t kBound = 15000;

const NimbroChar* N(const WString& text) {
    return reinterpret_cast<const NimbroChar*>(text.c_str());
}

class ConfigItems : public ::testing::Test {
protected:
    void TearDown() override {
        driver_.reset();
        table_.RemoveAll();
        sim_.Stop();
    }

    // The shipped definition, its M line replaced when mLine is given, for
    // the simulator and the driver; a configuration of the device sections
    // `devices`; values put into the simulator before it starts.
    void Begin(const std::string& devices, const std::string& mLine,
               const std::vector<std::pair<std::string, std::pair<uint32_t, uint32_t>>>& values) {
        std::string plc = itest::kIdecDefinition;
        if (!mLine.empty()) {
            const size_t at = plc.find("\nM: ") + 1;
            plc.replace(at, plc.find('\n', at) - at, mLine);
        }
        std::string error;
        ASSERT_TRUE(sim_.LoadPlcText(plc, &error)) << error;
        // No address lists: every item is the configuration's or the host's.
        for (char letter : std::string("xyarTtCcAdek"))
            ASSERT_TRUE(sim_.SetAddressList(letter, {})) << letter;
        for (const auto& v : values)
            ASSERT_TRUE(sim_.SetValue(v.first, v.second.first, v.second.second));
        const uint16_t port = sim_.Start(0);
        ASSERT_NE(port, 0);
        dir_.Write("idec.plc", plc);
        const WString path = dir_.Write(
            "a.cfg", "[PlcConfig]\nOPCScanTiming=10\nReadDeviceTimer=10\n[Link0]\n"
                     "OpenName=" +
                         itest::Endpoint(port) + "\nDeviceNo=1\n[Link0.Plc0]\nName=P\n" + devices);
        table_.SetChannelFactory(&CEngineLinkChannel::Create);
        ASSERT_TRUE(config::LoadConfiguration(table_, path.c_str()));
        table_.StartAll();
        driver_.reset(new CDrvIDec(table_));
    }

    NimbroDevice Resolve(const char* name) { return driver_->ResolveDevice(N(W(name))); }

    int32_t ReadU32(const char* block, const char* item, uint32_t* value) {
        int32_t type = TypeU32, count = -1;
        return driver_->ReadItem(Resolve(block), N(W(item)), &type, value, 1, &count, 0);
    }

    int32_t ReadText(const char* block, const char* item) {
        std::vector<WChar> buf(64, 0);
        int32_t type = TypeText, count = -1;
        return driver_->ReadItem(Resolve(block), N(W(item)), &type, buf.data(), 64, &count, 0);
    }

    int32_t Write(const char* block, const char* item, int32_t type, const void* value,
                  int32_t length) {
        int32_t count = -1;
        return driver_->WriteItem(Resolve(block), N(W(item)), type, value, length, &count, 0);
    }

    testutil::TempDir dir_;
    idecsim::Simulator sim_;
    CLinkTable table_;
    std::unique_ptr<CDrvIDec> driver_;
};

// Text items that only the configuration made: a text of 15 bytes goes out
// whole with its terminator, into a D block and into one of another letter.
TEST_F(ConfigItems, ConfiguredTextGoesOutWholeWithItsTerminator) {
    const struct {
        const char* block;
        const char* item;
        uint32_t address;
    } rows[] = {{"D", "Label", 200}, {"TC", "Name", 100}};
    std::vector<std::pair<std::string, std::pair<uint32_t, uint32_t>>> values;
    for (const auto& r : rows)
        for (uint32_t k = 0; k < 8; ++k)
            values.push_back({r.block, {r.address + k, 0x7A7A}});
    ASSERT_NO_FATAL_FAILURE(Begin("[Link0.Plc0.Dev0]\nDeviceName=D\nName=Label\nStartAddress=200\n"
                                  "Size=8\nDataType=8\nDeviceAttribute=3\n"
                                  "[Link0.Plc0.Dev1]\nDeviceName=TC\nName=Name\nStartAddress=100\n"
                                  "Size=8\nDataType=8\nDeviceAttribute=3\n",
                                  "", values));
    const WString text = W("ABCDEFGHIJKLMNO");
    const uint32_t words[] = {0x4142, 0x4344, 0x4546, 0x4748, 0x494A, 0x4B4C, 0x4D4E, 0x4F00};
    for (const auto& r : rows) {
        ASSERT_TRUE(WaitUntil([&] { return ReadText(r.block, r.item) == ResultOk; }, kBound))
            << r.item;
        ASSERT_EQ(Write(r.block, r.item, TypeText, text.c_str(), static_cast<int32_t>(text.size())),
                  ResultOk)
            << r.item;
        EXPECT_TRUE(WaitUntil(
            [&] {
                for (uint32_t k = 0; k < 8; ++k)
                    if (sim_.Value(r.block, r.address + k) != words[k])
                        return false;
                return true;
            },
            kBound))
            << r.item;
    }
}

// A configured item without DeviceAttribute leaves its block to the host's
// items as the definition makes it; the item itself stays unwritable.
TEST_F(ConfigItems, ConfiguredItemWithoutAttributeLeavesTheBlockToTheHost) {
    ASSERT_NO_FATAL_FAILURE(Begin("[Link0.Plc0.Dev0]\nDeviceName=D\nName=Plain\nStartAddress=300\n",
                                  "", {{"D", {100, 1234}}, {"D", {300, 5}}}));
    uint32_t v = 0;
    EXPECT_TRUE(
        WaitUntil([&] { return ReadU32("D", "D100", &v) == ResultOk && v == 1234; }, kBound));
    EXPECT_TRUE(WaitUntil([&] { return ReadU32("D", "Plain", &v) == ResultOk && v == 5; }, kBound));
    const uint16_t value = 77;
    EXPECT_EQ(Write("D", "D110", TypeU16, &value, 0), ResultOk);
    EXPECT_TRUE(WaitUntil([&] { return sim_.Value("D", 110) == 77; }, kBound));
    EXPECT_EQ(Write("D", "Plain", TypeU16, &value, 0), ResultFailed);
}

// A decimal-octal range written to end on 9 (M 0..2559) reads and writes up
// to its last whole unit.
TEST_F(ConfigItems, DecimalOctalRangeEndingOnNineStaysInUse) {
    ASSERT_NO_FATAL_FAILURE(Begin("", "M: M,Bit,DecOct,1,0,2559,read,write,",
                                  {{"M", {0, 1}}, {"M", {2550, 1}}, {"M", {2557, 1}}}));
    const std::pair<const char*, uint32_t> bits[] = {
        {"M0", 1}, {"M1", 0}, {"M2550", 1}, {"M2556", 0}, {"M2557", 1}};
    EXPECT_TRUE(WaitUntil(
        [&] {
            for (const auto& b : bits) {
                uint32_t v = 9;
                if (ReadU32("M", b.first, &v) != ResultOk || v != b.second)
                    return false;
            }
            return true;
        },
        kBound));
    const uint16_t on = 1;
    EXPECT_EQ(Write("M", "M2556", TypeU16, &on, 0), ResultOk);
    EXPECT_TRUE(WaitUntil([&] { return sim_.Value("M", 2556) == 1; }, kBound));
}

} // namespace
