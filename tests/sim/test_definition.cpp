// PLC definition files: the device types the simulator takes from them.
#include <gtest/gtest.h>

#include "IdecSim.h"
#include "Plc.h"
#include "PlcDefinition.h"
#include "sim_client.h"
#include "testutil/testutil.h"

using idecsim::DeviceType;
using idecsim::FindKeyValue;
using idecsim::ParsePlcDefinition;

namespace {

const char kExample[] = "; controller definition\r\n"
                        "CpuName: CPU-A\r\n"
                        "Version: 1.00\r\n"
                        "Index: D,I,Q\r\n"
                        "D: D,Word,Dec,1,0,7999,read,write,\r\n"
                        "I: I,Bit,DecOct,2,0,7,10,17,read,\r\n"
                        "Q: Q,Byte,Hex,1,0,FF,none\r\n";

const DeviceType* Find(const std::vector<DeviceType>& types, const std::string& name) {
    for (const DeviceType& t : types)
        if (t.name == name)
            return &t;
    return nullptr;
}

typedef std::vector<std::pair<uint32_t, uint32_t>> Ranges;

} // namespace

TEST(SimDefinition, ReadsUnitsNumberingAndRanges) {
    std::vector<DeviceType> types;
    std::string error;
    ASSERT_TRUE(ParsePlcDefinition(kExample, &types, &error, nullptr)) << error;
    ASSERT_EQ(types.size(), 3u);
    const DeviceType* d = Find(types, "D");
    const DeviceType* i = Find(types, "I");
    const DeviceType* q = Find(types, "Q");
    ASSERT_TRUE(d && i && q);
    EXPECT_FALSE(d->bitDevice);
    EXPECT_EQ(d->unitSize, 2);
    EXPECT_EQ(d->radix, 10);
    EXPECT_EQ(d->ranges, (Ranges{{0, 7999}}));
    EXPECT_TRUE(i->bitDevice);
    EXPECT_EQ(i->radix, -1);
    EXPECT_EQ(i->ranges, (Ranges{{0, 7}, {10, 17}}));
    EXPECT_EQ(q->unitSize, 1);
    EXPECT_EQ(q->radix, 16);
    EXPECT_EQ(q->ranges, (Ranges{{0, 255}}));
}

TEST(SimDefinition, KeysMustBeginALine) {
    std::string v;
    EXPECT_TRUE(FindKeyValue("CpuName: X", "CpuName", &v));
    EXPECT_EQ(v, "X");
    EXPECT_TRUE(FindKeyValue("a\n CpuName = Y  \nb", "CpuName", &v));
    EXPECT_EQ(v, "Y  "); // blanks at the end belong to the value
    EXPECT_TRUE(FindKeyValue("a\n\tCpuName,Z", "CpuName", &v));
    EXPECT_EQ(v, "Z");
    EXPECT_FALSE(FindKeyValue("a\n  CpuName: W", "CpuName", &v));
    EXPECT_FALSE(FindKeyValue("x CpuName: W", "CpuName", &v));
    // DM is not D; the later D line is.
    EXPECT_TRUE(FindKeyValue("DM: wrong\nD: right", "D", &v));
    EXPECT_EQ(v, "right");
}

TEST(SimDefinition, UnusableTextsAndLinesAreRejected) {
    std::vector<DeviceType> types;
    std::string error;
    std::vector<std::string> warnings;
    EXPECT_FALSE(ParsePlcDefinition("CpuName:\nIndex: D\nD: D,Word,Dec,1,0,9,r,w,\n", &types,
                                    &error, nullptr));
    EXPECT_FALSE(
        ParsePlcDefinition("Index: D\nD: D,Word,Dec,1,0,9,r,w,\n", &types, &error, nullptr));
    const char text[] = "CpuName: C\n"
                        "Index: A,B,C,E,,F,G,H\n"
                        "A: D,Word,Dec,0,\n"            // no ranges
                        "B: D,Word,Dec,101,0,1\n"       // too many
                        "C: D,Word,Dec,2,0,9\n"         // bounds missing
                        "E: D,Word,Dec,1,-5,9,r,w,\n"   // negative bound
                        "F: TP,Word,HEX,1,10,20,r,w,\n" // HEX: radix 16, bounds decimal
                        "G: TP,Word,Dec,1,0,5,r,w,\n"   // same name again: ignored
                        "H: CC,Dword,hex,1,10,1F,r,w,\n";
    ASSERT_TRUE(ParsePlcDefinition(text, &types, &error, &warnings)) << error;
    EXPECT_EQ(warnings.size(), 4u);
    ASSERT_EQ(types.size(), 2u);
    EXPECT_EQ(types[0].name, "TP");
    EXPECT_EQ(types[0].radix, 16);
    EXPECT_EQ(types[0].ranges, (Ranges{{10, 20}}));
    EXPECT_EQ(types[1].unitSize, 4);
    EXPECT_EQ(types[1].ranges, (Ranges{{16, 31}}));
}

TEST(SimDefinition, TheSimulatorAnswersWithTheFileRanges) {
    testutil::TempDir dir;
    idecsim::Simulator sim;
    std::string error;
    EXPECT_FALSE(sim.LoadPlcFile(dir.Join("missing.plc").c_str(), &error));
    ASSERT_TRUE(sim.LoadPlcFile(dir.Write("cpu.plc", kExample).c_str(), &error)) << error;
    EXPECT_EQ(sim.DeviceNames(), (std::vector<std::string>{"D", "I", "Q"}));
    EXPECT_TRUE(sim.SetValue("I", 17, 1));
    EXPECT_FALSE(sim.SetValue("I", 20, 1));
    EXPECT_FALSE(sim.SetValue("M", 0, 1));

    idecsim::Plc plc;
    std::vector<DeviceType> types;
    ASSERT_TRUE(ParsePlcDefinition(kExample, &types, &error, nullptr));
    plc.SetDeviceTypes(types);
    auto ask = [&plc](const std::string& body) {
        idecsim::Decoded d = plc.Decode(simtest::Frame(body));
        return d.kind == idecsim::Decoded::kReply ? d.reply : plc.Execute(d.request);
    };
    EXPECT_EQ(ask("010RX0000000002").substr(3, 1), "0");
    EXPECT_EQ(ask("010RX0000000003").substr(3, 3), "206"); // I20-I27 do not exist
    // No device M in this controller: its letters are unsupported, its list empty.
    EXPECT_EQ(ask("010Rl0000000001").substr(0, 6), "\x15"
                                                   "01003");
    EXPECT_EQ(ask("010La").substr(4, 8), "00000000");
}

TEST(SimDefinition, OversizedFilesAreNotRead) {
    testutil::TempDir dir;
    std::string big(0xFFFFF, ' ');
    big.replace(0, sizeof kExample - 1, kExample);
    idecsim::Simulator sim;
    std::string error;
    EXPECT_FALSE(sim.LoadPlcFile(dir.Write("big.plc", big).c_str(), &error));
    EXPECT_TRUE(sim.LoadPlcFile(dir.Write("ok.plc", big.substr(0, 0xFFFFE)).c_str(), &error))
        << error;
}
