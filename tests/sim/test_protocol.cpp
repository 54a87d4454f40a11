// Frames answered by the controller model itself, without sockets.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "Plc.h"
#include "sim_client.h"

using idecsim::Decoded;
using idecsim::Plc;

namespace {

// A script of simtest::Steps: a request (simtest::Request) and its reply
// (simtest::Reply), or "DEVADDR?" and the value held there in hex.
void Talk(Plc& plc, const std::string& script) {
    for (const auto& s : simtest::Steps(script)) {
        SCOPED_TRACE(s.first);
        if (s.first.back() == '?') {
            const size_t digits = s.first.find_first_of("0123456789");
            uint32_t v = 0xDEADBEEF;
            EXPECT_TRUE(plc.GetValue(s.first.substr(0, digits),
                                     std::strtoul(s.first.c_str() + digits, nullptr, 10), &v));
            EXPECT_EQ(v, std::strtoul(s.second.c_str(), nullptr, 16));
            continue;
        }
        const Decoded d = plc.Decode(simtest::Request(s.first));
        const std::string got = d.kind == Decoded::kIgnore  ? ""
                                : d.kind == Decoded::kReply ? d.reply
                                                            : plc.Execute(d.request);
        EXPECT_EQ(got, simtest::Reply(s.second));
    }
}

} // namespace

TEST(SimProtocol, KnownFramesGetTheirDocumentedReplies) {
    Plc plc;
    ASSERT_TRUE(plc.SetValue("D", 100, 0x1234));
    ASSERT_TRUE(plc.SetValue("D", 101, 0xABCD));
    ASSERT_TRUE(plc.SetValue("D", 12, 7));
    // Whole frames, block checks included. A register-bit write changes only
    // its bit (A, then F set, 4 cleared). The address list: the addresses set
    // through the API, count first.
    Talk(plc, "<ENQ>010RA000000640421<CR> <ACK>0101234ABCD37<CR>;"
              "<ENQ>010W.00000064A13F<CR> <ACK>01037<CR>; D100? 1634;"
              "010W.00000064F1 +; 010W.0000006440 +; D100? 9624; D101? ABCD;"
              "<ENQ>010LA39<CR> <ACK>010000000030000000C000000640000006546<CR>");
}

TEST(SimProtocol, MalformedFramesGetNakCodes) {
    Plc plc;
    // A wrong block check. Hex fields are upper-case: a lower-case block check
    // does not match, a lower-case address digit makes no address.
    Talk(plc, "<ENQ>010RA000000640422<CR> !00; <ENQ>010RA00000068022B<CR> +0000;"
              "<ENQ>010RA00000068022b<CR> !00; 010RA0000006b02 !01;"
              // No ENQ, too short, not "0" in byte 3.
              "010RA000000640424<CR> !01; 010R !01; 011RA0000006404 !01;"
              // One byte too long or short for its command.
              "010RA00000064040 !01; 010Rx0000001 !01; 010WA0000006402123 !01;"
              // Unknown command, unknown letter, a letter without such access.
              "010QA0000006404 !03; 010RZ0000006404 !03; 010LZ !03; 010R.00000064 !03;"
              "010Wd000000051 !03;"
              // Byte counts 0 and above 240; 240 itself is fine.
              "010RA0000006400 !04; 010RA00000064F1 !04; 010RA00000064F0 +" +
                  std::string(480, '0'));
}

TEST(SimProtocol, RefusalsCarryDataCodesAndChangeNothing) {
    Plc plc;
    ASSERT_TRUE(plc.SetValue("D", 7998, 0x1111));
    // D8000 lies outside 0-7999; so does the tail of a long read. Then data
    // that are not upper-case hex digits.
    Talk(plc, "010RA00001F4002 ?06; 010RA00001F3E06 ?06; 010WA00001F3E06222233334444 ?06;"
              "010WA00001F3E0212G4 ?0A; 010WA00001F3E0212a4 ?0A; 010W.00001F3EA2 ?0A;"
              "010Wx000000102 ?0A; D7998? 1111");
    plc.SetPresetsLocked(true);
    Talk(plc, "010WT00000003020064 ?07; TP3? 0");
    plc.SetPresetsLocked(false);
    Talk(plc, "010WT00000003020064 +; TP3? 64");
}

TEST(SimProtocol, StationsOtherThanOursAreIgnored) {
    Plc plc;
    // FF reaches whichever controller is on the line; it answers as itself.
    Talk(plc, "020RA0000006402; FF0RA0000006402 +0000");
    plc.SetStation(0x1F);
    Talk(plc, "010RA0000006402; 1F0RA0000006402 <ACK>1F0000041<CR>");
}

TEST(SimProtocol, UnitAndBitLettersReachTheSameBits) {
    Plc plc;
    ASSERT_TRUE(plc.SetValue("R", 9, 1));
    ASSERT_TRUE(plc.SetValue("T", 5, 1));
    // Inputs, decimal-octal: X at 10 is the byte I10-I17; no bit 8 or 9, and
    // unit access starts at bit 0.
    Talk(plc, "010WX0000001001A5 +; I10? 1; I11? 0; I15? 1; I17? 1;"
              "<ENQ>010Rx000000151A<CR> <ACK>010106<CR>; 010Wx000000131 +;"
              "010RX0000001001 +AD; 010Rx00000018 ?06; 010RX0000001301 ?06;"
              // Internal relays take hexadecimal digits: 11 is M17, 0A is M10.
              "010Wa000000111 +; M17? 1; 010Rl0000000A01 +80;"
              // Shift registers count 8 bits a byte in decimal.
              "010RR0000000801 +02; 010Rr00000009 +1; 010Wr000000090 +; R9? 0;"
              // Timer contacts are read bit by bit with their own numbers.
              "010Rd00000005 +1; 010Rd00000004 +0;"
              // Block writes land high byte first; an odd count reaches the high
              // byte of the last word only.
              "010WA000000640412345678 +; D100? 1234; D101? 5678;"
              "010WA0000006403AABBCC +; D101? CC78; 010RA0000006306 +0000AABBCC78");
}

TEST(SimProtocol, AddressListsFollowTheConfiguredLists) {
    Plc plc;
    Talk(plc, "010Lx +00000000");
    ASSERT_TRUE(plc.SetValue("I", 12, 1));
    Talk(plc, "010Lx +000000010000000C");
    // An explicit list wins, sorted, and the unit letter shares it.
    ASSERT_TRUE(plc.SetAddressList('X', {17, 5, 17}));
    Talk(plc, "010Lx +000000020000000500000011");
    ASSERT_TRUE(plc.SetAddressList('x', {}));
    Talk(plc, "010LX +00000000");
    EXPECT_FALSE(plc.SetAddressList('Z', {1}));
}

TEST(SimProtocol, ApiValuesAreCheckedAgainstRangesAndUnitSize) {
    Plc plc;
    uint32_t v = 0;
    EXPECT_FALSE(plc.SetValue("D", 8000, 1));
    EXPECT_FALSE(plc.SetValue("D", 1, 0x10000));
    EXPECT_FALSE(plc.SetValue("I", 8, 1));  // no bit 8 in decimal-octal
    EXPECT_FALSE(plc.SetValue("I", 10, 2)); // a bit is 0 or 1
    EXPECT_FALSE(plc.SetValue("Dx", 1, 1));
    EXPECT_FALSE(plc.GetValue("D", 8000, &v));
    EXPECT_TRUE(plc.SetValue("D", 0, 0xFFFF));
    Talk(plc, "D0? FFFF");
}
