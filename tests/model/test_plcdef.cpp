#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "model/PlcDefinition.h"
#include "platform/file.h"
#include "testutil/testutil.h"

using testutil::TempDir;

namespace {

const char kExample[] = "; controller definition\n"
                        "CpuName: CPU-A\n"
                        "Version: 1.00\n"
                        "Index: D,I,Q\n"
                        "D: D,Word,Dec,1,0,7999,read,write,\n"
                        "I: I,Bit,DecOct,2,0,7,10,17,read,\n"
                        "Q: Q,Byte,Hex,1,0,FF,none\n";

std::string Value(const std::string& text, const char* key) {
    CPlcDefinitionFile f;
    f.LoadText(text.data(), text.size());
    char out[256];
    return f.GetValue(key, out, sizeof out) ? out : "<none>";
}

DeviceTypeRecord Parse(const std::string& text, const char* key = "X") {
    CPlcDefinitionFile f;
    f.LoadText(text.data(), text.size());
    DeviceTypeRecord r;
    f.ParseDeviceType(key, &r);
    return r;
}

DeviceTypeProperties Props(const std::string& line) {
    DeviceTypeProperties p;
    PlcPropertiesFromRecord(Parse(line), &p);
    return p;
}

} // namespace

TEST(PlcDefinition, WorkedExampleGivesThreeDeviceTypes) {
    CPlcDefinitionFile f;
    ASSERT_TRUE(f.LoadText(kExample, sizeof kExample - 1));
    PlcDefinitionHeader h;
    ASSERT_TRUE(f.ReadHeader(&h));
    EXPECT_STREQ("CPU-A", h.cpuName);
    EXPECT_EQ(100, h.version);
    ASSERT_EQ((std::vector<std::string>{"D", "I", "Q"}), SplitPlcIndex(h.index));

    const struct {
        const char* key;
        uint32_t bytes, unit, ranges, low, high, access;
        int32_t radix;
        bool bit;
    } want[] = {{"D", 2, 2, 1, 0, 7999, 3, 10, false},
                {"I", 1, 0, 2, 0, 17, 1, -1, true},
                {"Q", 1, 1, 1, 0, 255, 0, 16, false}};
    for (const auto& w : want) {
        DeviceTypeRecord r;
        DeviceTypeProperties p;
        ASSERT_TRUE(f.ParseDeviceType(w.key, &r));
        PlcPropertiesFromRecord(r, &p);
        EXPECT_STREQ(w.key, r.name);
        EXPECT_EQ(w.bytes, p.bytesPerUnit) << w.key;
        EXPECT_EQ(w.unit, p.unitCode) << w.key;
        EXPECT_EQ(w.ranges, p.rangeCount) << w.key;
        EXPECT_EQ(w.low, p.lowestAddress) << w.key;
        EXPECT_EQ(w.high, p.highestAddress) << w.key;
        EXPECT_EQ(w.access, p.access) << w.key;
        EXPECT_EQ(w.radix, p.radix) << w.key;
        EXPECT_EQ(w.bit, p.bitDevice) << w.key;
    }
    DeviceTypeProperties i;
    PlcPropertiesFromRecord(Parse(kExample, "I"), &i);
    EXPECT_EQ(10u, i.starts[1]); // DecOct bounds are decimal
    DeviceTypeRecord none;
    EXPECT_FALSE(f.ParseDeviceType("M", &none));
    EXPECT_STREQ("", none.name);
}

TEST(PlcDefinition, KeysBeginALineAndAreFollowedByASeparator) {
    const struct {
        const char* text;
        const char* key;
        const char* value;
    } cases[] = {
        {"CpuName: CPU-A\n", "CpuName", "CPU-A"},
        {"  CpuName: two blanks\n", "CpuName", "<none>"},
        {"x\n CpuName: one\n", "CpuName", "one"},
        {"x\r\n\tCpuName:tab\r\n", "CpuName", "tab"},
        {"DM: wrong\nD: later\n", "D", "later"},
        {"xD: inside\nx D: after text\n", "D", "<none>"},
        {"Index = D,M\n", "Index", "D,M"},
        {"K \t, rest \r", "K", "rest "},
        {"K:\nL: x", "K", ""},
        {"K", "K", "<none>"},
        {"Ko: no\nK=found", "K", "found"},
        {"a K: K: nested\n", "K", "<none>"},
        {"CpuName: x\n", "", "<none>"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.value, Value(c.text, c.key)) << c.text;
    EXPECT_EQ("CPU-A", Value(std::string("\0\0\nCpuName: CPU-A", 18), "CpuName"));
}

TEST(PlcDefinition, HeaderNeedsACpuNameAndCutsItsFields) {
    CPlcDefinitionFile f;
    PlcDefinitionHeader h;
    std::string text = "CpuName:\nIndex: D\nD: D,Word,Dec,1,0,9,rw,rw,\n";
    f.LoadText(text.data(), text.size());
    EXPECT_FALSE(f.ReadHeader(&h));

    text = "CpuName: " + std::string(80, 'c') +
           "\nVersion: 1.02\nHlpName: " + std::string(40, 'h') +
           "\nIndex: " + std::string(20000, 'i') + "\n";
    f.LoadText(text.data(), text.size());
    ASSERT_TRUE(f.ReadHeader(&h));
    EXPECT_EQ(49u, std::strlen(h.cpuName));
    EXPECT_EQ(19u, std::strlen(h.hlpName));
    EXPECT_EQ(10239u, std::strlen(h.index));
    EXPECT_EQ(102, h.version);
    // Out-of-range versions saturate to 32 bits before the 16-bit cut.
    const std::pair<const char*, int16_t> versions[] = {
        {"1e300", -1}, {"-1e300", 0}, {"nan", 0}, {"655.36", 0}, {"-2.5", -250}};
    for (const auto& v : versions) {
        text = std::string("CpuName: c\nVersion: ") + v.first + "\n";
        f.LoadText(text.data(), text.size());
        ASSERT_TRUE(f.ReadHeader(&h));
        EXPECT_EQ(v.second, h.version) << v.first;
    }
}

TEST(PlcDefinition, RadixUnitAndAccessTexts) {
    EXPECT_EQ(16, Props("X: X,Word,HEX,1,10,20,").radix);
    EXPECT_EQ(20u, Props("X: X,Word,HEX,1,10,20,").highestAddress); // bounds in base 10
    EXPECT_EQ(0x20u, Props("X: X,Word,hex,1,10,20,").highestAddress);
    EXPECT_EQ(15u, Props("X: X,Word,Oct,1,0,17,").highestAddress);
    EXPECT_EQ(8, Props("X: X,Word,oct,1,0,17,").radix);
    EXPECT_EQ(5u, Props("X: X,Bit,Bin,1,0,101,").highestAddress);
    EXPECT_EQ(10, Props("X: X,Bit,Bin,1,0,101,").radix);
    EXPECT_EQ(-1, Props("X: X,Word,decoct,1,0,9,").radix);
    EXPECT_EQ(2u, Props("X: X,Words,Dec,1,0,9,").bytesPerUnit);
    EXPECT_EQ(2u, Props("X: X,Double,Dec,1,0,9,").unitCode);
    EXPECT_EQ(4u, Props("X: X,DWORD,Dec,1,0,9,").bytesPerUnit);
    EXPECT_TRUE(Props("X: X,bits,Dec,1,0,9,").bitDevice);
    EXPECT_EQ(1u, Props("X: X,BYTE,Dec,1,0,9,").unitCode);
    const std::pair<const char*, uint32_t> access[] = {{"R,W", 0},  {"RD,WR,", 3}, {"RD,WR", 1},
                                                       {",WR,", 2}, {"none", 0},   {"", 0}};
    for (const auto& a : access)
        EXPECT_EQ(a.second, PlcAccessFromText(a.first)) << a.first;
}

TEST(PlcDefinition, DecimalOctalRangesEndOnAWholeUnit) {
    const struct {
        const char* line;
        uint32_t end0, end1, highest;
    } cases[] = {
        {"X: X,Bit,DecOct,1,0,2559,rd,wr,", 2557, 0, 2557},
        {"X: X,Bit,DecOct,2,0,7998,8000,8317,rd,wr,", 7997, 8317, 8317},
        {"X: X,Word,decoct,2,0,9,10,18,rd,wr,", 7, 17, 17},
        {"X: X,Bit,Dec,1,0,2559,rd,wr,", 2559, 0, 2559}, // other numberings keep theirs
    };
    for (const auto& c : cases) {
        DeviceTypeProperties p = Props(c.line);
        EXPECT_EQ(c.end0, p.ends[0]) << c.line;
        EXPECT_EQ(c.end1, p.ends[1]) << c.line;
        EXPECT_EQ(c.highest, p.highestAddress) << c.line;
    }
}

TEST(PlcDefinition, RangeCountsAndShortLinesStayInsideTheRecord) {
    // No range, or a negative count: no bound is read, the access text follows the count.
    for (const char* count : {"0", "-5", "abc"}) {
        DeviceTypeRecord r = Parse(std::string("X: X,Word,Dec,") + count + ",rd,wr,");
        EXPECT_EQ(0u, r.rangeCount) << count;
        EXPECT_STREQ("rd,wr,", r.access) << count;
    }
    // 150 declared and written: 100 kept, the other 50 stepped over.
    std::string line = "X: X,Word,Dec,150";
    for (int i = 0; i < 150; ++i)
        line += "," + std::to_string(i * 10) + "," + std::to_string(i * 10 + 5);
    DeviceTypeRecord r = Parse(line + ",rd,wr,");
    EXPECT_EQ(150, r.declaredRanges);
    ASSERT_EQ(100u, r.rangeCount);
    EXPECT_EQ(995u, r.ends[99]);
    EXPECT_STREQ("rd,wr,", r.access);

    // Fewer fields than declared: the last one stands in for the rest.
    r = Parse("X: X,Word,Dec,2147483647,1,2,3");
    EXPECT_EQ(100u, r.rangeCount);
    EXPECT_EQ(3u, r.starts[1]);
    EXPECT_EQ(3u, r.ends[99]);
    EXPECT_STREQ("3", r.access);
    r = Parse("X: X");
    EXPECT_STREQ("X", r.radix);
    EXPECT_EQ(0u, r.rangeCount);
    EXPECT_STREQ("", Parse("X:\n").name);

    r = Parse("X: " + std::string(400, 'n') + ",Word," + std::string(30, 'r') + ",1," +
              std::string(50, '7') + ",2," + std::string(2000, 'a') + ",");
    EXPECT_EQ(254u, std::strlen(r.name));
    EXPECT_EQ(9u, std::strlen(r.radix));
    EXPECT_EQ(static_cast<uint32_t>(INT32_MAX), r.starts[0]);
    EXPECT_EQ(1023u, std::strlen(r.access));
}

TEST(PlcDefinition, LargeIndexesAndFileLimits) {
    EXPECT_EQ((std::vector<std::string>{"D", " M", "TC "}), SplitPlcIndex("D,, M,TC ,"));
    EXPECT_EQ(127u, SplitPlcIndex(std::string(300, 'k').c_str())[0].size());

    // Ten thousand entries with their lines: the value is cut, what is left is found.
    std::string text = "CpuName: big\nIndex: K0";
    for (int i = 1; i < 10000; ++i)
        text += ",K" + std::to_string(i);
    for (int i = 0; i < 10000; ++i)
        text += "\nK" + std::to_string(i) + ": K" + std::to_string(i) + ",Word,Dec,1,0,9,r,w,";
    CPlcDefinitionFile f;
    ASSERT_TRUE(f.LoadText(text.data(), text.size()));
    PlcDefinitionHeader h;
    ASSERT_TRUE(f.ReadHeader(&h));
    auto entries = SplitPlcIndex(h.index);
    ASSERT_GT(entries.size(), 1000u);
    DeviceTypeRecord r;
    size_t found = 0;
    for (const auto& e : entries)
        found += f.ParseDeviceType(e.c_str(), &r) && e == r.name;
    EXPECT_EQ(entries.size(), found);

    TempDir dir;
    auto missing = dir.Join("missing.plc");
    EXPECT_FALSE(f.Load(missing.c_str()));
    EXPECT_FALSE(plat::PathExists(missing.c_str())); // never created
    std::string big(CPlcDefinitionFile::kMaxFileSize, ' ');
    big.replace(0, 10, "CpuName: x");
    EXPECT_FALSE(f.Load(dir.Write("big.plc", big).c_str()));
    EXPECT_FALSE(f.ReadHeader(&h));
    big.pop_back();
    EXPECT_TRUE(f.Load(dir.Write("fits.plc", big).c_str()));
    EXPECT_TRUE(f.ReadHeader(&h));
}

namespace {

// The lookup as plainly written: substring search from the start, resuming
// after whatever a non-counting occurrence made it examine.
bool PlainLookup(const std::string& t, const std::string& key, std::string* value) {
    auto blank = [](char c) { return c == ' ' || c == '\t'; };
    auto eol = [](char c) { return c == '\r' || c == '\n'; };
    for (size_t from = 0, occ; !key.empty() && (occ = t.find(key, from)) != std::string::npos;) {
        size_t p = occ + key.size();
        while (p < t.size() && blank(t[p]))
            ++p;
        bool sep = p < t.size() && std::strchr(":,=", t[p]) && t[p];
        for (p += sep; sep && p < t.size() && blank(t[p]);)
            ++p;
        if (sep &&
            (occ == 0 || eol(t[occ - 1]) || (blank(t[occ - 1]) && (occ == 1 || eol(t[occ - 2]))))) {
            size_t e = p;
            while (e < t.size() && !eol(t[e]))
                ++e;
            return (*value = t.substr(p, e - p)), true;
        }
        from = p;
    }
    return false;
}

} // namespace

TEST(PlcDefinition, LookupMatchesThePlainSearch) {
    const char* keys[] = {"D", "DM", "C", "CpuName", " D", "  ", "D:", "M,D", "a\nD"};
    const char* pieces[] = {"D",  "M",  "C",  "CpuName", ":",  ",", "=", " ",
                            "\t", "\n", "\r", "x",       "DM", ";", "a", ",D"};
    std::mt19937 rng(4242);
    for (int round = 0; round < 3000; ++round) {
        std::string t;
        for (int i = 0, n = rng() % 30; i < n; ++i)
            t += pieces[rng() % 16];
        CPlcDefinitionFile f;
        f.LoadText(t.data(), t.size());
        for (const char* k : keys) {
            std::string want;
            size_t b = 0, e = 0;
            bool found = PlainLookup(t, k, &want);
            ASSERT_EQ(found, f.FindValue(k, &b, &e)) << "key '" << k << "' in '" << t << "'";
            ASSERT_EQ(found ? want : "", t.substr(b, e - b)) << "key '" << k << "' in '" << t;
        }
    }
}
