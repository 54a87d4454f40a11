// Frames answered by the controller model itself, without sockets.
#include <gtest/gtest.h>

#include "Plc.h"
#include "sim_client.h"

using idecsim::Decoded;
using idecsim::Plc;
using simtest::Frame;

namespace {

// What the controller sends back for a frame; empty when it stays silent.
std::string Ask(Plc& plc, const std::string& frame) {
    Decoded d = plc.Decode(frame);
    if (d.kind == Decoded::kIgnore)
        return std::string();
    return d.kind == Decoded::kReply ? d.reply : plc.Execute(d.request);
}

std::string Nak(const std::string& code) {
    std::string f = "\x15"
                    "010" +
                    code;
    return f + simtest::Xor(f) + "\r";
}

std::string Refusal(const std::string& code) {
    std::string f = "\x06"
                    "012" +
                    code;
    return f + simtest::Xor(f) + "\r";
}

std::string Positive(const std::string& data) {
    std::string f = "\x06"
                    "010" +
                    data;
    return f + simtest::Xor(f) + "\r";
}

uint32_t Get(const Plc& plc, const char* dev, uint32_t addr) {
    uint32_t v = 0xDEADBEEF;
    EXPECT_TRUE(plc.GetValue(dev, addr, &v)) << dev << addr;
    return v;
}

} // namespace

TEST(SimProtocol, KnownFramesGetTheirDocumentedReplies) {
    Plc plc;
    ASSERT_TRUE(plc.SetValue("D", 100, 0x1234));
    ASSERT_TRUE(plc.SetValue("D", 101, 0xABCD));
    // The 19-byte block read of 4 bytes from D100 at station 01, block check 21.
    const std::string read("\x05"
                           "010RA0000006404"
                           "21"
                           "\r");
    ASSERT_EQ(read.size(), 19u);
    EXPECT_EQ(Ask(plc, read), std::string("\x06"
                                          "0101234ABCD"
                                          "37"
                                          "\r"));

    // Register-bit write of bit A (10) of D100: only that bit changes.
    EXPECT_EQ(Ask(plc, std::string("\x05"
                                   "010W.00000064A1"
                                   "3F"
                                   "\r")),
              std::string("\x06"
                          "010"
                          "37"
                          "\r"));
    EXPECT_EQ(Get(plc, "D", 100), 0x1634u);
    EXPECT_EQ(Ask(plc, Frame("010W.00000064F1")), Positive(""));
    EXPECT_EQ(Ask(plc, Frame("010W.0000006440")), Positive(""));
    EXPECT_EQ(Get(plc, "D", 100), 0x9624u); // bit 15 set, bit 4 cleared
    EXPECT_EQ(Get(plc, "D", 101), 0xABCDu);

    // Address-list query: the addresses set through the API, count first.
    ASSERT_TRUE(plc.SetValue("D", 12, 7));
    EXPECT_EQ(Ask(plc, std::string("\x05"
                                   "010LA"
                                   "39"
                                   "\r")),
              std::string("\x06"
                          "010"
                          "00000003"
                          "0000000C"
                          "00000064"
                          "00000065"
                          "46"
                          "\r"));
}

TEST(SimProtocol, MalformedFramesGetNakCodes) {
    Plc plc;
    // Wrong block check.
    EXPECT_EQ(Ask(plc, std::string("\x05"
                                   "010RA0000006404"
                                   "22"
                                   "\r")),
              Nak("00"));
    // Hex fields are upper-case: a lower-case block check does not match,
    // a lower-case address digit makes no address.
    EXPECT_EQ(Ask(plc, std::string("\x05"
                                   "010RA0000006802"
                                   "2B"
                                   "\r")),
              Positive("0000"));
    EXPECT_EQ(Ask(plc, std::string("\x05"
                                   "010RA0000006802"
                                   "2b"
                                   "\r")),
              Nak("00"));
    EXPECT_EQ(Ask(plc, Frame("010RA0000006b02")), Nak("01"));
    // No ENQ, too short, not "0" in byte 3.
    EXPECT_EQ(Ask(plc, "010RA0000006404" + simtest::Xor("010RA0000006404") + "\r"), Nak("01"));
    EXPECT_EQ(Ask(plc, Frame("010R")), Nak("01"));
    EXPECT_EQ(Ask(plc, Frame("011RA0000006404")), Nak("01"));
    // A frame one byte too long or short for its command.
    EXPECT_EQ(Ask(plc, Frame("010RA00000064040")), Nak("01"));
    EXPECT_EQ(Ask(plc, Frame("010Rx0000001")), Nak("01"));
    EXPECT_EQ(Ask(plc, Frame("010WA0000006402123")), Nak("01"));
    // Unknown command, unknown letter, a letter that has no such access.
    EXPECT_EQ(Ask(plc, Frame("010QA0000006404")), Nak("03"));
    EXPECT_EQ(Ask(plc, Frame("010RZ0000006404")), Nak("03"));
    EXPECT_EQ(Ask(plc, Frame("010LZ")), Nak("03"));
    EXPECT_EQ(Ask(plc, Frame("010R.00000064")), Nak("03"));
    EXPECT_EQ(Ask(plc, Frame("010Wd000000051")), Nak("03"));
    // Byte counts 0 and above 240; 240 itself is fine.
    EXPECT_EQ(Ask(plc, Frame("010RA0000006400")), Nak("04"));
    EXPECT_EQ(Ask(plc, Frame("010RA00000064F1")), Nak("04"));
    EXPECT_EQ(Ask(plc, Frame("010RA00000064F0")).size(), 7u + 480u);
}

TEST(SimProtocol, RefusalsCarryDataCodesAndChangeNothing) {
    Plc plc;
    ASSERT_TRUE(plc.SetValue("D", 7998, 0x1111));
    // D8000 lies outside 0-7999; so does the tail of a read that runs past the end.
    EXPECT_EQ(Ask(plc, Frame("010RA00001F4002")), Refusal("06"));
    EXPECT_EQ(Ask(plc, Frame("010RA00001F3E06")), Refusal("06"));
    EXPECT_EQ(Ask(plc, Frame("010WA00001F3E06222233334444")), Refusal("06"));
    EXPECT_EQ(Get(plc, "D", 7998), 0x1111u);
    // Data that are not upper-case hex digits.
    EXPECT_EQ(Ask(plc, Frame("010WA00001F3E0212G4")), Refusal("0A"));
    EXPECT_EQ(Ask(plc, Frame("010WA00001F3E0212a4")), Refusal("0A"));
    EXPECT_EQ(Ask(plc, Frame("010W.00001F3EA2")), Refusal("0A"));
    EXPECT_EQ(Ask(plc, Frame("010Wx000000102")), Refusal("0A"));
    EXPECT_EQ(Get(plc, "D", 7998), 0x1111u);
    // Timer presets while they are locked.
    plc.SetPresetsLocked(true);
    EXPECT_EQ(Ask(plc, Frame("010WT00000003020064")), Refusal("07"));
    EXPECT_EQ(Get(plc, "TP", 3), 0u);
    plc.SetPresetsLocked(false);
    EXPECT_EQ(Ask(plc, Frame("010WT00000003020064")), Positive(""));
    EXPECT_EQ(Get(plc, "TP", 3), 100u);
}

TEST(SimProtocol, StationsOtherThanOursAreIgnored) {
    Plc plc;
    EXPECT_EQ(Ask(plc, Frame("020RA0000006402")), "");
    // FF reaches whichever controller is on the line; it answers as itself.
    EXPECT_EQ(Ask(plc, Frame("FF0RA0000006402")), Positive("0000"));
    plc.SetStation(0x1F);
    EXPECT_EQ(Ask(plc, Frame("010RA0000006402")), "");
    std::string reply = Ask(plc, Frame("1F0RA0000006402"));
    EXPECT_EQ(reply.substr(0, 4), "\x06"
                                  "1F0");
}

TEST(SimProtocol, UnitAndBitLettersReachTheSameBits) {
    Plc plc;
    // Inputs, decimal-octal: X at 10 is the byte I10-I17.
    EXPECT_EQ(Ask(plc, Frame("010WX0000001001A5")), Positive(""));
    EXPECT_EQ(Get(plc, "I", 10), 1u);
    EXPECT_EQ(Get(plc, "I", 11), 0u);
    EXPECT_EQ(Get(plc, "I", 15), 1u);
    EXPECT_EQ(Get(plc, "I", 17), 1u);
    EXPECT_EQ(Ask(plc, std::string("\x05"
                                   "010Rx00000015"
                                   "1A"
                                   "\r")),
              std::string("\x06"
                          "0101"
                          "06"
                          "\r"));
    EXPECT_EQ(Ask(plc, Frame("010Wx000000131")), Positive(""));
    EXPECT_EQ(Ask(plc, Frame("010RX0000001001")), Positive("AD"));
    // No bit 8 or 9 in decimal-octal numbering; unit access starts at bit 0.
    EXPECT_EQ(Ask(plc, Frame("010Rx00000018")), Refusal("06"));
    EXPECT_EQ(Ask(plc, Frame("010RX0000001301")), Refusal("06"));

    // Internal relays take hexadecimal address digits: 11 is M17, 0A is M10.
    EXPECT_EQ(Ask(plc, Frame("010Wa000000111")), Positive(""));
    EXPECT_EQ(Get(plc, "M", 17), 1u);
    EXPECT_EQ(Ask(plc, Frame("010Rl0000000A01")), Positive("80"));

    // Shift registers count 8 bits a byte in decimal.
    ASSERT_TRUE(plc.SetValue("R", 9, 1));
    EXPECT_EQ(Ask(plc, Frame("010RR0000000801")), Positive("02"));
    EXPECT_EQ(Ask(plc, Frame("010Rr00000009")), Positive("1"));
    EXPECT_EQ(Ask(plc, Frame("010Wr000000090")), Positive(""));
    EXPECT_EQ(Get(plc, "R", 9), 0u);

    // Timer contacts are read bit by bit with their own numbers.
    ASSERT_TRUE(plc.SetValue("T", 5, 1));
    EXPECT_EQ(Ask(plc, Frame("010Rd00000005")), Positive("1"));
    EXPECT_EQ(Ask(plc, Frame("010Rd00000004")), Positive("0"));
}

TEST(SimProtocol, BlockWritesLandHighByteFirst) {
    Plc plc;
    EXPECT_EQ(Ask(plc, Frame("010WA000000640412345678")), Positive(""));
    EXPECT_EQ(Get(plc, "D", 100), 0x1234u);
    EXPECT_EQ(Get(plc, "D", 101), 0x5678u);
    // An odd count reaches the high byte of the last word only.
    EXPECT_EQ(Ask(plc, Frame("010WA0000006403AABBCC")), Positive(""));
    EXPECT_EQ(Get(plc, "D", 101), 0xCC78u);
    EXPECT_EQ(Ask(plc, Frame("010RA0000006306")), Positive("0000AABBCC78"));
}

TEST(SimProtocol, AddressListsFollowTheConfiguredLists) {
    Plc plc;
    EXPECT_EQ(Ask(plc, Frame("010Lx")), Positive("00000000"));
    ASSERT_TRUE(plc.SetValue("I", 12, 1));
    EXPECT_EQ(Ask(plc, Frame("010Lx")), Positive("00000001"
                                                 "0000000C"));
    // An explicit list wins, sorted, and the unit letter shares it.
    ASSERT_TRUE(plc.SetAddressList('X', {17, 5, 17}));
    EXPECT_EQ(Ask(plc, Frame("010Lx")), Positive("00000002"
                                                 "00000005"
                                                 "00000011"));
    ASSERT_TRUE(plc.SetAddressList('x', {}));
    EXPECT_EQ(Ask(plc, Frame("010LX")), Positive("00000000"));
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
    EXPECT_EQ(Get(plc, "D", 0), 0xFFFFu);
}
