// The number parsers and FormatDouble: fields, signs, blanks, overflow.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "support/ValueConvert.h"
#include "testutil/testutil.h"

namespace {

using testutil::W;
using testutil::WString;

int64_t I64(const std::string& s) {
    return ParseInt64(W(s).c_str());
}
uint64_t U64(const std::string& s) {
    return ParseUInt64(W(s).c_str());
}
double Dbl(const std::string& s) {
    return ParseDouble(W(s).c_str());
}

TEST(ParseInt64, FirstFieldSignsAndBlanks) {
    EXPECT_EQ(42, I64("  +42"));
    EXPECT_EQ(-17, I64("\v-17kg"));
    EXPECT_EQ(12, I64("12,34"));
    EXPECT_EQ(4, I64("4 2"));
    EXPECT_EQ(7, I64("7\r\n8"));
    // A separator ends the field before any blank skipping can pass it.
    EXPECT_EQ(0, I64("\t42"));
    EXPECT_EQ(0, I64(",42"));
    EXPECT_EQ(0, I64("+-1"));
    EXPECT_EQ(0, I64("- 1"));
    EXPECT_EQ(0, I64(""));
    EXPECT_EQ(0, ParseInt64(nullptr));
}

TEST(ParseInt64, OverflowGivesNearestLimit) {
    EXPECT_EQ(INT64_MAX, I64("9223372036854775807"));
    EXPECT_EQ(INT64_MAX, I64("9223372036854775808"));
    EXPECT_EQ(INT64_MIN, I64("-9223372036854775808"));
    EXPECT_EQ(INT64_MIN, I64("-9223372036854775809"));
    EXPECT_EQ(INT64_MAX, I64("18446744073709551616"));
    EXPECT_EQ(INT64_MIN, I64("-" + std::string(40, '9')));
    EXPECT_EQ(5, I64("000000000000000000000000000005"));
}

TEST(ParseUInt64, MinusWrapsAndOverflowSaturates) {
    EXPECT_EQ(UINT64_MAX, U64("18446744073709551615"));
    EXPECT_EQ(UINT64_MAX, U64("18446744073709551616"));
    EXPECT_EQ(UINT64_MAX, U64("-1"));
    EXPECT_EQ(1u, U64("-18446744073709551615"));
    EXPECT_EQ(UINT64_MAX, U64("-18446744073709551616"));
    EXPECT_EQ(0u, U64("-0"));
    EXPECT_EQ(5u, U64(" +5,6"));
    EXPECT_EQ(0u, ParseUInt64(nullptr));
}

TEST(ParseDouble, LongestDecimalPrefix) {
    EXPECT_EQ(3.25, Dbl("3.25"));
    EXPECT_EQ(-50.0, Dbl("  -0.5e2"));
    EXPECT_EQ(0.5, Dbl(".5"));
    EXPECT_EQ(5.0, Dbl("5."));
    EXPECT_EQ(-0.05, Dbl("-.5e-1"));
    EXPECT_EQ(1.0, Dbl("1e"));
    EXPECT_EQ(1.0, Dbl("1e+"));
    EXPECT_EQ(1.5, Dbl("1.5,2.5"));
    EXPECT_EQ(2.0, Dbl("2.0.3"));
    for (const char* none : {"", ".", "-", "-.", "e5", "+e1", "x1", "\t1", "inf", "nan"})
        EXPECT_EQ(0.0, Dbl(none)) << none;
    EXPECT_EQ(0.0, ParseDouble(nullptr));
    EXPECT_TRUE(std::signbit(Dbl("-0.0")));
}

TEST(ParseDouble, RangeLimits) {
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(inf, Dbl("1e400"));
    EXPECT_EQ(-inf, Dbl("-1e400"));
    EXPECT_EQ(inf, Dbl("1" + std::string(400, '0')));
    EXPECT_EQ(inf, Dbl("1e99999999999999999999999"));
    EXPECT_EQ(0.0, Dbl("1e-400"));
    EXPECT_EQ(0.0, Dbl("1e-99999999999999999999999"));
    EXPECT_EQ(0.0, Dbl("0e99999"));
    EXPECT_EQ(0.0, Dbl("0." + std::string(400, '0') + "1"));
    EXPECT_EQ(std::numeric_limits<double>::denorm_min(), Dbl("4.9406564584124654e-324"));
    EXPECT_EQ(std::numeric_limits<double>::max(), Dbl("1.7976931348623157e308"));
    EXPECT_EQ(1.0, Dbl("1" + std::string(800, '0') + "e-800"));
    EXPECT_EQ(1.0, Dbl("0." + std::string(800, '0') + "1e801"));
    // Digits count into the exponent however many there are.
    EXPECT_EQ(1.0, Dbl("0." + std::string(200000, '0') + "1e200001"));
    EXPECT_EQ(1.0, Dbl("1" + std::string(200000, '0') + "e-200000"));
}

TEST(ParseDouble, RoundsCorrectlyPastManyDigits) {
    // 2^53 + 1 lies halfway between two doubles: ties to even goes down, and
    // any non-zero digit however far behind goes up.
    EXPECT_EQ(9007199254740992.0, Dbl("9007199254740993"));
    EXPECT_EQ(9007199254740992.0, Dbl("9007199254740993." + std::string(1000, '0')));
    EXPECT_EQ(9007199254740994.0, Dbl("9007199254740993." + std::string(1000, '0') + "1"));
    EXPECT_EQ(9007199254740994.0, Dbl("9007199254740993" + std::string(1000, '0') + "1e-1001"));
}

TEST(Parsers, TextUnchangedAroundTheSeparator) {
    for (const char* s : {"12,34", "-5\t6", "7\r", "8\n9", "1.5e3,x", "no number,1"}) {
        WString text = W(s);
        const WString before = text;
        ParseInt64(&text[0]);
        EXPECT_EQ(before, text) << s;
        ParseUInt64(&text[0]);
        EXPECT_EQ(before, text) << s;
        ParseDouble(&text[0]);
        EXPECT_EQ(before, text) << s;
    }
}

std::string Format(double v, int cap = 64) {
    WChar buf[96];
    std::fill(buf, buf + 96, WChar('#'));
    const int n = FormatDouble(buf, cap, v);
    EXPECT_EQ(WChar(0), buf[n]);
    EXPECT_EQ(WChar('#'), buf[cap < 0 ? 0 : cap]);
    return std::string(buf, buf + n);
}

TEST(FormatDouble, TrailingZerosDroppedToOneDigit) {
    EXPECT_EQ("2.0", Format(2.0));
    EXPECT_EQ("1.5", Format(1.5));
    EXPECT_EQ("0.0", Format(0.0));
    EXPECT_EQ("-3.25", Format(-3.25));
    EXPECT_EQ("100.0", Format(100.0));
    EXPECT_EQ("0.000001", Format(0.000001));
    EXPECT_EQ("1234.5678", Format(1234.5678));
    EXPECT_EQ("0.0", Format(std::numeric_limits<double>::denorm_min()));
    EXPECT_EQ("inf", Format(std::numeric_limits<double>::infinity()));
    EXPECT_EQ("nan", Format(-std::numeric_limits<double>::quiet_NaN()));
}

TEST(FormatDouble, StaysWithinCapacity) {
    EXPECT_EQ("1.", Format(1.5, 3));
    EXPECT_EQ("", Format(1.5, 1));
    EXPECT_EQ("-1000", Format(-1e300, 6));
    WChar untouched = 'x';
    EXPECT_EQ(0, FormatDouble(&untouched, 0, 1.0));
    EXPECT_EQ(0, FormatDouble(&untouched, -3, 1.0));
    EXPECT_EQ(WChar('x'), untouched);
    // The work area holds 63 characters; a longer text keeps its leading
    // ones, the same on both sides of the point where printing changes.
    const struct {
        double value;
        const char* text;
    } huge[] = {
        {1e62, "100000000000000003502199685943161173046080317798311825604870144"},
        {9.999999999999999e62, "999999999999999875170255276364105051932774599639662981181079552"},
        {1e63, "100000000000000005785795994272696982739337868917504043817264742"},
        {1e300, "100000000000000005250476025520442024870446858110815915491585411"},
        {-1.7976931348623157e308,
         "-17976931348623157081452742373170435679807056752584499659891747"},
        {1.2345678901234567e200, "123456789012345674980922609384950994995781171363245042470764995"},
    };
    for (const auto& h : huge)
        EXPECT_EQ(h.text, Format(h.value, 80));
    // Its point still fits; only fraction zeros are cut.
    EXPECT_EQ("100000000000000009190283508143378238084034459715684532224.0", Format(1e56, 80));
}

} // namespace
