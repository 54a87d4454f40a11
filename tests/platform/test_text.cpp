#include <gtest/gtest.h>

#include <string>

#include "platform/codepage.h"
#include "testutil/testutil.h"

namespace {

using testutil::WString;

// G r ü ß e, space, euro sign, space, G clef (a surrogate pair), space, 日 本
const WChar kMixed[] = {0x47, 0x72,   0xFC,   0xDF, 0x65,   0x20,   0x20AC,
                        0x20, 0xD834, 0xDD1E, 0x20, 0x65E5, 0x672C, 0};
const char kMixedUtf8[] = "Gr\xC3\xBC\xC3\x9F"
                          "e \xE2\x82\xAC \xF0\x9D\x84\x9E \xE6\x97\xA5\xE6\x9C\xAC";

// Converts to 8-bit text and back (sizes asked first), as the driver does.
std::string RoundTrip(uint32_t cp, const WString& text, WString* back) {
    const int wlen = static_cast<int>(text.size());
    int bytes = plat::WideToMultiByte(cp, 0, text.c_str(), wlen, nullptr, 0);
    std::string out(static_cast<size_t>(bytes > 0 ? bytes : 0), '\0');
    EXPECT_EQ(bytes, plat::WideToMultiByte(cp, 0, text.c_str(), wlen, &out[0], bytes));
    // UTF-8 takes no flags.
    const uint32_t flags = cp == plat::kCpUtf8 ? 0 : plat::kMbPrecomposed;
    int units = plat::MultiByteToWide(cp, flags, out.data(), bytes, nullptr, 0);
    back->assign(static_cast<size_t>(units > 0 ? units : 0), 0);
    EXPECT_EQ(units, plat::MultiByteToWide(cp, flags, out.data(), bytes, &(*back)[0], units));
    return out;
}

TEST(CodePage, RoundTripsOfUtf8AndAnsiText) {
    WString back;
    EXPECT_EQ(std::string(kMixedUtf8), RoundTrip(plat::kCpUtf8, kMixed, &back));
    EXPECT_EQ(WString(kMixed), back);
    // Text that every usual ANSI code page (UTF-8 here, 1252 on western Windows) holds.
    const WChar latin[] = {0x47, 0x72, 0xFC, 0xDF, 0x65, 0x20, 0xC4, 0xE9, 0};
    EXPECT_GT(RoundTrip(plat::kCpAcp, latin, &back).size(), 7u);
    EXPECT_EQ(WString(latin), back);
}

TEST(CodePage, SizeRulesOfTheConversions) {
    // -1 counts the terminator, an explicit length does not add one.
    EXPECT_EQ(4, plat::MultiByteToWide(plat::kCpUtf8, 0, "abc", -1, nullptr, 0));
    EXPECT_EQ(3, plat::MultiByteToWide(plat::kCpUtf8, 0, "abc", 3, nullptr, 0));
    EXPECT_EQ(0, plat::MultiByteToWide(plat::kCpUtf8, 0, "abc", 0, nullptr, 0));

    WChar w[4] = {0x7777, 0x7777, 0x7777, 0x7777};
    EXPECT_EQ(0, plat::MultiByteToWide(plat::kCpUtf8, 0, "abc", -1, w, 3)); // no room for the NUL
    EXPECT_EQ(4, plat::MultiByteToWide(plat::kCpUtf8, 0, "abc", -1, w, 4));
    EXPECT_EQ(WString(W16("abc")), WString(w));

    const WChar u[] = {0xFC, 0}; // ü: two bytes in UTF-8
    EXPECT_EQ(3, plat::WideToMultiByte(plat::kCpUtf8, 0, u, -1, nullptr, 0));
    EXPECT_EQ(2, plat::WideToMultiByte(plat::kCpUtf8, 0, u, 1, nullptr, 0));
    char b[3] = {'x', 'x', 'x'};
    EXPECT_EQ(0,
              plat::WideToMultiByte(plat::kCpUtf8, 0, u, 1, b, 1)); // half a character does not fit
    EXPECT_EQ(2, plat::WideToMultiByte(plat::kCpUtf8, 0, u, 1, b, 2));
    EXPECT_EQ('\xC3', b[0]);
    EXPECT_EQ('\xBC', b[1]);
    EXPECT_EQ(0, plat::WideToMultiByte(plat::kCpUtf8, 0, nullptr, -1, nullptr, 0));
}

TEST(CodePage, InvalidInputBecomesReplacementCharacter) {
    WChar w[8] = {};
    ASSERT_EQ(3, plat::MultiByteToWide(plat::kCpUtf8, 0,
                                       "a\xFF"
                                       "b",
                                       3, w, 8));
    EXPECT_EQ(W16('a'), w[0]);
    EXPECT_EQ(static_cast<WChar>(0xFFFD), w[1]);
    EXPECT_EQ(W16('b'), w[2]);

    const WChar lone[] = {0x41, 0xD800, 0x42, 0}; // unpaired high surrogate
    char b[8] = {};
    ASSERT_EQ(5, plat::WideToMultiByte(plat::kCpUtf8, 0, lone, 3, b, 8));
    EXPECT_EQ(std::string("A\xEF\xBF\xBD"
                          "B"),
              std::string(b, 5));
}

TEST(WideText, CaseInsensitiveComparison) {
    EXPECT_EQ(0, plat::WStrICmp(W16("Status_str"), W16("STATUS_STR")));
    EXPECT_EQ(0, plat::WStrICmp(W16(""), W16("")));
    EXPECT_LT(plat::WStrICmp(W16("abc"), W16("ABD")), 0);
    EXPECT_GT(plat::WStrICmp(W16("abcd"), W16("ABC")), 0);
    // Letters are folded to lower case first, so '_' sorts before them.
    EXPECT_LT(plat::WStrICmp(W16("_"), W16("A")), 0);
    EXPECT_LT(plat::WStrICmp(W16("["), W16("a")), 0);

    EXPECT_EQ(0, plat::WStrNICmp(W16("D100.Bit3"), W16("d100.long"), 5));
    EXPECT_NE(0, plat::WStrNICmp(W16("D100.Bit3"), W16("d100.long"), 6));
    EXPECT_EQ(0, plat::WStrNICmp(W16("ab"), W16("AB"), 10)); // stops at the terminator

    EXPECT_EQ(9u, plat::WStrLen(W16("D100.Long")));
    EXPECT_EQ(0u, plat::WStrLen(W16("")));
}

// Names that one platform would merge and another keep apart: every
// backend folds with the same table, so these hold on each of them.
TEST(WideText, CaseFoldingIsUnicodesSimpleFolding) {
    const struct {
        WChar upper, folded;
    } pairs[] = {
        {W16('A'), W16('a')}, {0xC4, 0xE4},     // Ä ä
        {0x386, 0x3AC},       {0x3A3, 0x3C3},   // Ά ά, Σ σ
        {0x3C2, 0x3C3},                         // final sigma ς folds with σ
        {0x1EA0, 0x1EA1},     {0x531, 0x561},   // Ạ ạ, Armenian Ա ա
        {0x2160, 0x2170},     {0x24B6, 0x24D0}, // Roman numeral Ⅰ ⅰ, Ⓐ ⓐ
        {0x1E9E, 0xDF},                         // capital sharp s folds to ß
        {0xFF21, 0xFF41},     {0x10A0, 0x2D00}, // fullwidth Ａ ａ, Georgian Ⴀ ⴀ
        {0xAB70, 0x13A0},                       // Cherokee folds to its capitals
    };
    for (const auto& p : pairs) {
        EXPECT_EQ(p.folded, plat::WFoldCase(p.upper)) << std::hex << unsigned(p.upper);
        EXPECT_EQ(p.folded, plat::WFoldCase(p.folded)) << std::hex << unsigned(p.folded);
        const WChar a[] = {W16('X'), p.upper, 0}, b[] = {W16('x'), p.folded, 0};
        EXPECT_EQ(0, plat::WStrICmp(a, b)) << std::hex << unsigned(p.upper);
    }
    // No simple folding: these stay apart from what they resemble.
    for (WChar alone : {WChar(0x130), WChar(0x131), WChar(0xDF), WChar(0xD7), WChar(0xD834),
                        WChar(0xDD1E), W16('1'), W16('_')})
        EXPECT_EQ(alone, plat::WFoldCase(alone)) << std::hex << unsigned(alone);
    EXPECT_NE(0, plat::WStrICmp(W16("\u0130D"), W16("iD"))); // İ is not i
    EXPECT_NE(0, plat::WStrICmp(W16("STRA\u00DFE"), W16("strasse")));
}

TEST(WideText, FoldingTwiceChangesNothing) {
    for (uint32_t c = 0; c <= 0xFFFF; ++c) {
        WChar once = plat::WFoldCase(static_cast<WChar>(c));
        ASSERT_EQ(once, plat::WFoldCase(once)) << std::hex << c;
    }
}

} // namespace
