#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "comm/Buf.h"
#include "comm/Frames.h"
#include "testutil/testutil.h"

using namespace idec;

namespace {

// The frame a builder appends, or "-" when it refuses.
std::string Built(const std::function<bool(CBuf&)>& build) {
    CBuf b;
    if (!build(b))
        return b.Length() == 0 ? "-" : "refused but wrote";
    return std::string(reinterpret_cast<const char*>(b.Data()), static_cast<size_t>(b.Length()));
}

std::string Frame(const std::string& body, const std::string& bcc) {
    return "\x05" + body + bcc + "\r";
}

// Reply bytes in a block of exactly their size: AddressSanitizer catches any
// read past the end.
struct Reply {
    explicit Reply(const std::string& s) : bytes(s.begin(), s.end()) {}
    const uint8_t* p() const { return bytes.empty() ? nullptr : bytes.data(); }
    int32_t n() const { return static_cast<int32_t>(bytes.size()); }
    std::vector<uint8_t> bytes;
};

const std::string kAck = "\x06";
const std::string kNakByte = "\x15";

} // namespace

// Each builder's frame (block checks worked out by hand: XOR of ENQ and the
// body), or "-" when it refuses: nothing that would not fit its field, and
// nothing half-written.
TEST(Frames, BuiltFramesAndRefusals) {
    const uint8_t data[] = {0x12, 0xAB};
    const std::vector<uint8_t> big(240, 0xEF);
    std::string ef;
    for (int i = 0; i < 240; ++i)
        ef += "EF";
    using Build = std::function<bool(CBuf&)>;
    const std::pair<Build, std::string> cases[] = {
        // clang-format off
        {[](CBuf& b) { return BuildBlockRead(b, "01", 'A', 100, 4); }, Frame("010RA0000006404", "21")},
        {[](CBuf& b) { return BuildRegisterBitWrite(b, "01", '.', 100, 3, true); }, Frame("010W.0000006431", "4D")},
        {[](CBuf& b) { return BuildListQuery(b, "01", 'A'); }, Frame("010LA", "39")},
        {[](CBuf& b) { return BuildListQuery(b, "01", 'x'); }, Frame("010Lx", "00")},
        {[&](CBuf& b) { return BuildBlockWrite(b, "01", 'A', 100, data, 2); }, Frame("010WA000000640212AB", "22")},
        {[](CBuf& b) { return BuildBitWrite(b, "01", 'a', 17, true); }, Frame("010Wa000000111", "33")},
        {[](CBuf& b) { return BuildBitWrite(b, "01", 'x', 10, false); }, Frame("010Wx000000100", "2A")},
        {[](CBuf& b) { return BuildBlockRead(b, "1F", 'R', 255, 240); }, Frame("1F0RR00000255F0", "36")},
        {[](CBuf& b) { return BuildBlockRead(b, "01", 'A', 255, 2); }, Frame("010RA000000FF02", "25")},
        {[](CBuf& b) { return BuildRegisterBitWrite(b, "01", '.', 0x1234, 10, 0); }, Frame("010W.00001234A0", "38")},
        {[&](CBuf& b) { return BuildBlockWrite(b, "01", 'l', 0x7FFFFFFF, big.data(), 240); },
         Frame("010Wl7FFFFFFFF0" + ef, "08")},
        {[](CBuf& b) { return BuildBlockRead(b, "01", 'A', 0, 0); }, "-"},
        {[](CBuf& b) { return BuildBlockRead(b, "01", 'A', 0, 241); }, "-"},
        {[](CBuf& b) { return BuildBlockRead(b, "01", 'R', 100000000, 1); }, "-"},
        {[](CBuf& b) { return BuildBlockRead(b, "01", 'A', -1, 1); }, "-"},
        {[](CBuf& b) { return BuildBlockRead(b, "1", 'A', 0, 1); }, "-"},
        {[](CBuf& b) { return BuildBlockRead(b, nullptr, 'A', 0, 1); }, "-"},
        {[&](CBuf& b) { return BuildBlockWrite(b, "01", 'A', 0, data, 0); }, "-"},
        {[](CBuf& b) { return BuildBlockWrite(b, "01", 'A', 0, nullptr, 1); }, "-"},
        {[](CBuf& b) { return BuildRegisterBitWrite(b, "01", '.', 0, 16, true); }, "-"},
        {[](CBuf& b) { return BuildListQuery(b, "01", '\r'); }, "-"},
        // clang-format on
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i)
        EXPECT_EQ(Built(cases[i].first), cases[i].second) << "case " << i;
    EXPECT_EQ(Built([](CBuf& b) { return BuildBitRead(b, "01", 'x', 10); }).size(),
              static_cast<size_t>(kBitReadLen));
    EXPECT_EQ(Built(cases[10].first).size(), static_cast<size_t>(BlockWriteLen(240)));
}

TEST(Frames, AcceptedLettersPerBuilder) {
    const uint8_t data[2] = {0, 0};
    std::string got[6];
    for (char c = '!'; c <= '~'; ++c) {
        CBuf b[6];
        const bool ok[6] = {BuildBlockRead(b[0], "01", c, 1, 2),
                            BuildBitRead(b[1], "01", c, 1),
                            BuildBlockWrite(b[2], "01", c, 1, data, 2),
                            BuildBitWrite(b[3], "01", c, 1, true),
                            BuildRegisterBitWrite(b[4], "01", c, 1, 1, true),
                            BuildListQuery(b[5], "01", c)};
        for (int i = 0; i < 6; ++i)
            if (ok[i])
                got[i] += c;
    }
    EXPECT_EQ(got[0], "ACRTXYcklt");
    EXPECT_EQ(got[1], "derxy");
    EXPECT_EQ(got[2], "ACRTXYcklt");
    EXPECT_EQ(got[3], "arxy");
    EXPECT_EQ(got[4], ".");
    EXPECT_EQ(got[5].size(), static_cast<size_t>('~' - '!' + 1));
}

TEST(Frames, DeviceLettersBothWays) {
    const char* rows[][3] = {{"I", "X", "x"},  {"Q", "Y", "y"},  {"M", "l", "a"},  {"R", "R", "r"},
                             {"TP", "T", "T"}, {"TC", "t", "t"}, {"CP", "C", "C"}, {"CC", "c", "c"},
                             {"D", "A", "."},  {"T", "d", "d"},  {"C", "e", "e"},  {"P", "k", "k"}};
    for (const auto& r : rows) {
        EXPECT_EQ(UnitLetter(testutil::W(r[0]).c_str()), r[1][0]) << r[0];
        EXPECT_EQ(BitLetter(testutil::W(r[0]).c_str()), r[2][0]) << r[0];
    }
    for (const char* bad : {"d", "tc", "DD", ""})
        EXPECT_EQ(UnitLetter(testutil::W(bad).c_str()), 0) << bad;
    EXPECT_EQ(BitLetter(nullptr), 0);

    // Back from each enumerated letter to a type whose row holds it.
    for (const char* l = kListLetters; *l; ++l) {
        const WChar* type = TypeNameOfLetter(*l);
        EXPECT_TRUE(type[0] && (UnitLetter(type) == *l || BitLetter(type) == *l)) << *l;
    }
    EXPECT_EQ(testutil::Narrow(TypeNameOfLetter('T')), "TP");
    for (char c : {'X', 'l', '.', '\0'})
        EXPECT_EQ(TypeNameOfLetter(c)[0], 0) << c;
}

TEST(Frames, HexTextAndStatusNames) {
    EXPECT_EQ(HexToNumber("fF", 2), 255u);
    EXPECT_EQ(HexToNumber("G1", 2), 1u); // a non-digit shifts and adds nothing
    EXPECT_EQ(HexToNumber("1234", 2), 0x12u);
    EXPECT_EQ(HexToNumber("1\0002", 3), 1u);
    EXPECT_STREQ(StatusName(7), "TIMER/COUNTER_SETTING_CHANGE_ERROR");
    EXPECT_STREQ(StatusName(99), "UNREGISTERED_ERROR");
    EXPECT_EQ(testutil::Narrow(StatusNameW(21)), "NAK ERROR");
}

// One reply judged as the answer to each kind of request: a block read of
// 4 bytes, a single-bit read, and a write whose block had status 99.
TEST(Frames, ReplyVerdicts) {
    const std::string nul(1, '\0');
    struct Case {
        std::string reply;
        int block, bit, write;
    } cases[] = {
        {"", 13, 13, 99},
        {kAck + "010" + "01020304" + "5A", 0, 12, 0}, // (14 - 6) / 2 = 4
        {kAck + "010" + "010203" + "5A" + nul, 12, 12, 0},
        {"?990" + std::string("ABCD0102") + "XX", 0, 12, 0}, // byte 0 and BCC unchecked
        {kAck + "010" + "1" + "00" + nul, 12, 0, 0},
        {kNakByte + "010" + "06" + "00\r", 21, 21, 6},
        {kNakByte, 21, 21, 21},
        {kAck + "012" + "07" + "00\r", 7, 7, 7},
        {kAck + "012" + "0A", 10, 10, 10},
        {kAck + "012" + "3f", 0x3F, 0x3F, 0x3F},
        // Error replies cut off before a whole code.
        {kAck + "012", 12, 12, 12},
        {kAck + "0120" + nul, 12, 12, 12},
        {kAck + "0120\r", 12, 12, 12},
        // A code of 0 must not pass for success.
        {kAck + "012" + "00" + "12", 21, 21, 21},
        {kAck + "012" + "??", 21, 21, 21},
        // Positive, but short; and far longer than any reply of ours.
        {kAck + "01", 12, 12, 0},
        {kAck + "010" + std::string(kMaxReplyLen, '0'), 12, 12, 12},
    };
    for (const Case& c : cases) {
        const Reply r(c.reply);
        bool on = false;
        EXPECT_EQ(JudgeBlockRead(r.p(), r.n(), 4), c.block) << testing::PrintToString(c.reply);
        EXPECT_EQ(JudgeBitRead(r.p(), r.n(), &on), c.bit) << testing::PrintToString(c.reply);
        EXPECT_EQ(JudgeWrite(r.p(), r.n(), 99), c.write) << testing::PrintToString(c.reply);
    }

    const Reply bitOn(kAck + "010" + "1" + "00\r");
    bool on = false;
    ASSERT_EQ(JudgeBitRead(bitOn.p(), bitOn.n(), &on), 0);
    EXPECT_TRUE(on);

    const Reply data(kAck + "010" + "12aB3C" + "00" + nul);
    uint8_t out[4] = {0, 0, 0, 0x77};
    ASSERT_TRUE(DecodeBlockData(data.p(), data.n(), 3, out));
    EXPECT_EQ(out[0], 0x12);
    EXPECT_EQ(out[1], 0xAB);
    EXPECT_EQ(out[2], 0x3C);
    EXPECT_EQ(out[3], 0x77);
    EXPECT_FALSE(DecodeBlockData(data.p(), data.n(), 5, out));
}

TEST(Frames, AddressListReplies) {
    const struct {
        std::string reply;
        int kind;
        std::vector<uint32_t> entries;
    } cases[] = {
        {kAck + "010" + "00000002" + "0000000C" + "00000064" + "7F", kListEntries, {12, 100}},
        // The count promises more than arrived: only whole entries are offered.
        {kAck + "010" + "FFFFFFFF" + "0000000C" + "000000", kListEntries, {12}},
        {kAck + "010" + "00000000", kListEntries, {}},
        {kAck + "010" + "0000000", kListShort, {}},
        {"", kListEmpty, {}},
        {kNakByte, kListNak, {}},
        {kAck + "012" + "06" + "000000000000", kListError, {}},
    };
    for (const auto& c : cases) {
        const Reply r(c.reply);
        const AddressList l = ParseAddressList(r.p(), r.n());
        EXPECT_EQ(l.kind, c.kind) << testing::PrintToString(c.reply);
        EXPECT_EQ(l.available, c.entries.size()) << testing::PrintToString(c.reply);
        for (size_t i = 0; i <= c.entries.size(); ++i) {
            uint32_t a = 0;
            EXPECT_EQ(i < c.entries.size(),
                      AddressListEntry(r.p(), r.n(), static_cast<uint32_t>(i), &a));
            EXPECT_EQ(i < c.entries.size() ? c.entries[i] : 0, a);
        }
    }
    const Reply cut(cases[1].reply), err(cases[6].reply);
    EXPECT_EQ(ParseAddressList(cut.p(), cut.n()).declared, 0xFFFFFFFFu);
    EXPECT_EQ(ParseAddressList(err.p(), err.n()).errorCode, 6);
}
