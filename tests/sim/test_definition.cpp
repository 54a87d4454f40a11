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

// "NAME bit|UNITSIZE RADIX FIRST-LAST ..." for each type, ";" between them.
std::string Describe(const std::vector<DeviceType>& types) {
    std::string out;
    for (const DeviceType& t : types) {
        out += (out.empty() ? "" : "; ") + t.name + (t.bitDevice ? " bit " : " ") +
               std::to_string(t.unitSize) + " " + std::to_string(t.radix);
        for (const auto& r : t.ranges)
            out += " " + std::to_string(r.first) + "-" + std::to_string(r.second);
    }
    return out;
}

} // namespace

TEST(SimDefinition, ReadsUnitsNumberingAndRanges) {
    std::vector<DeviceType> types;
    std::string error;
    std::vector<std::string> warnings;
    ASSERT_TRUE(ParsePlcDefinition(kExample, &types, &error, nullptr)) << error;
    EXPECT_EQ(Describe(types), "D 2 10 0-7999; I bit 1 -1 0-7 10-17; Q 1 16 0-255");
    for (const char* text :
         {"CpuName:\nIndex: D\nD: D,Word,Dec,1,0,9,r,w,\n", "Index: D\nD: D,Word,Dec,1,0,9,r,w,\n"})
        EXPECT_FALSE(ParsePlcDefinition(text, &types, &error, nullptr)) << text;
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
    EXPECT_EQ(Describe(types), "TP 2 16 10-20; CC 4 16 16-31");
}

TEST(SimDefinition, KeysMustBeginALine) {
    // Text, key, the value found ("-" none). Blanks at the end belong to the
    // value; DM is not D, the later D line is.
    const char* rows[][3] = {
        {"CpuName: X", "CpuName", "X"},     {"a\n CpuName = Y  \nb", "CpuName", "Y  "},
        {"a\n\tCpuName,Z", "CpuName", "Z"}, {"a\n  CpuName: W", "CpuName", "-"},
        {"x CpuName: W", "CpuName", "-"},   {"DM: wrong\nD: right", "D", "right"}};
    for (const auto& r : rows) {
        std::string v = "-";
        EXPECT_EQ(FindKeyValue(r[0], r[1], &v), std::string(r[2]) != "-") << r[0];
        EXPECT_EQ(v, r[2]) << r[0];
    }
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
