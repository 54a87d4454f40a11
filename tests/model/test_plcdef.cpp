#include <gtest/gtest.h>

#include <cstdio>
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

// What a definition line gives: radix, unit code/bytes a unit, "bit", the
// ranges, [lowest..highest], access.
std::string Props(const std::string& line) {
    DeviceTypeProperties p;
    PlcPropertiesFromRecord(Parse(line, line.substr(0, line.find(':')).c_str()), &p);
    std::string out = "r" + std::to_string(p.radix) + " u" + std::to_string(p.unitCode) + "/" +
                      std::to_string(p.bytesPerUnit) + (p.bitDevice ? " bit" : "");
    for (uint32_t i = 0; i < p.rangeCount; ++i)
        out += " " + std::to_string(p.starts[i]) + ".." + std::to_string(p.ends[i]);
    return out + " [" + std::to_string(p.lowestAddress) + ".." + std::to_string(p.highestAddress) +
           "] a" + std::to_string(p.access);
}

} // namespace

// Bounds are read in base 16, 8 or 2 only for the exact spellings Hex/hex,
// Oct/oct, Bin/bin (DecOct bounds are decimal); a decimal-octal range ends on
// a whole unit; units are known by their prefix, anything else is a word.
TEST(PlcDefinition, DefinitionLinesAndTheirProperties) {
    const std::pair<const char*, const char*> cases[] = {
        {"D: D,Word,Dec,1,0,7999,read,write,", "r10 u2/2 0..7999 [0..7999] a3"},
        {"I: I,Bit,DecOct,2,0,7,10,17,read,", "r-1 u0/1 bit 0..7 10..17 [0..17] a1"},
        {"Q: Q,Byte,Hex,1,0,FF,none", "r16 u1/1 0..255 [0..255] a0"},
        {"X: X,Word,HEX,1,10,20,", "r16 u2/2 10..20 [10..20] a0"},
        {"X: X,Word,hex,1,10,20,", "r16 u2/2 16..32 [16..32] a0"},
        {"X: X,Word,Oct,1,0,17,", "r8 u2/2 0..15 [0..15] a0"},
        {"X: X,Word,oct,1,0,17,", "r8 u2/2 0..15 [0..15] a0"},
        {"X: X,Bit,Bin,1,0,101,", "r10 u0/1 bit 0..5 [0..5] a0"},
        {"X: X,Word,decoct,1,0,9,", "r-1 u2/2 0..7 [0..7] a0"},
        {"X: X,Words,Dec,1,0,9,", "r10 u2/2 0..9 [0..9] a0"},
        {"X: X,Double,Dec,1,0,9,", "r10 u2/2 0..9 [0..9] a0"},
        {"X: X,DWORD,Dec,1,0,9,", "r10 u4/4 0..9 [0..9] a0"},
        {"X: X,bits,Dec,1,0,9,", "r10 u0/1 bit 0..9 [0..9] a0"},
        {"X: X,BYTE,Dec,1,0,9,", "r10 u1/1 0..9 [0..9] a0"},
        {"X: X,Bit,DecOct,1,0,2559,rd,wr,", "r-1 u0/1 bit 0..2557 [0..2557] a3"},
        {"X: X,Bit,DecOct,2,0,7998,8000,8317,rd,wr,",
         "r-1 u0/1 bit 0..7997 8000..8317 [0..8317] a3"},
        {"X: X,Word,decoct,2,0,9,10,18,rd,wr,", "r-1 u2/2 0..7 10..17 [0..17] a3"},
        {"X: X,Bit,Dec,1,0,2559,rd,wr,", "r10 u0/1 bit 0..2559 [0..2559] a3"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.second, Props(c.first)) << c.first;
    const std::pair<const char*, uint32_t> access[] = {{"R,W", 0},  {"RD,WR,", 3}, {"RD,WR", 1},
                                                       {",WR,", 2}, {"none", 0},   {"", 0}};
    for (const auto& a : access)
        EXPECT_EQ(a.second, PlcAccessFromText(a.first)) << a.first;
}

// Where a key counts is LookupMatchesThePlainSearch's subject; here the
// copy of the value, an empty key and bytes no text search stops at.
TEST(PlcDefinition, ValuesAreCopiedAndAnEmptyKeyFindsNothing) {
    EXPECT_EQ("CPU-A", Value("CpuName: CPU-A\n", "CpuName"));
    EXPECT_EQ("<none>", Value("CpuName: x\n", ""));
    EXPECT_EQ("CPU-A", Value(std::string("\0\0\nCpuName: CPU-A", 18), "CpuName"));
}

TEST(PlcDefinition, HeaderNeedsACpuNameAndCutsItsFields) {
    CPlcDefinitionFile f;
    PlcDefinitionHeader h;
    ASSERT_TRUE(f.LoadText(kExample, sizeof kExample - 1));
    ASSERT_TRUE(f.ReadHeader(&h));
    EXPECT_STREQ("CPU-A", h.cpuName);
    EXPECT_EQ(100, h.version);
    EXPECT_EQ((std::vector<std::string>{"D", "I", "Q"}), SplitPlcIndex(h.index));
    // A type not in the file clears what an earlier one left in the record.
    DeviceTypeRecord r;
    ASSERT_TRUE(f.ParseDeviceType("Q", &r));
    EXPECT_FALSE(f.ParseDeviceType("M", &r));
    EXPECT_STREQ("", r.name);

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

TEST(PlcDefinition, RangeCountsAndShortLinesStayInsideTheRecord) {
    // What a record holds: name|unit|radix|declared|kept ranges|first start,
    // second start, last kept end|access (sizes for long fields).
    auto record = [](const std::string& line) {
        DeviceTypeRecord r = Parse(line);
        char buf[200];
        std::snprintf(buf, sizeof buf, "%zu:%.8s|%zu:%.8s|%zu:%.8s|%d|%u|%u,%u,%u|%zu:%.8s",
                      std::strlen(r.name), r.name, std::strlen(r.unit), r.unit,
                      std::strlen(r.radix), r.radix, r.declaredRanges, r.rangeCount, r.starts[0],
                      r.starts[1], r.rangeCount ? r.ends[r.rangeCount - 1] : 0,
                      std::strlen(r.access), r.access);
        return std::string(buf);
    };
    std::string ranges150 = "X: X,Word,Dec,150";
    for (int i = 0; i < 150; ++i)
        ranges150 += "," + std::to_string(i * 10) + "," + std::to_string(i * 10 + 5);
    const std::pair<std::string, const char*> cases[] = {
        // No range, or a negative count: no bound is read, the access text follows.
        {"X: X,Word,Dec,0,rd,wr,", "1:X|4:Word|3:Dec|0|0|0,0,0|6:rd,wr,"},
        {"X: X,Word,Dec,-5,rd,wr,", "1:X|4:Word|3:Dec|-5|0|0,0,0|6:rd,wr,"},
        {"X: X,Word,Dec,abc,rd,wr,", "1:X|4:Word|3:Dec|0|0|0,0,0|6:rd,wr,"},
        // 150 declared and written: 100 kept, the other 50 stepped over.
        {ranges150 + ",rd,wr,", "1:X|4:Word|3:Dec|150|100|0,10,995|6:rd,wr,"},
        // Fewer fields than declared: the last one stands in for the rest.
        {"X: X,Word,Dec,2147483647,1,2,3", "1:X|4:Word|3:Dec|2147483647|100|1,3,3|1:3"},
        {"X: X", "1:X|1:X|1:X|0|0|0,0,0|1:X"},
        {"X:\n", "0:|0:|0:|0|0|0,0,0|0:"},
        {"X: " + std::string(400, 'n') + ",Word," + std::string(30, 'r') + ",1," +
             std::string(50, '7') + ",2," + std::string(2000, 'a') + ",",
         "254:nnnnnnnn|4:Word|9:rrrrrrrr|1|1|2147483647,0,2|1023:aaaaaaaa"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.second, record(c.first)) << c.first.substr(0, 40);
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
