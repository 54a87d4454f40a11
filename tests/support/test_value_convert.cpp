// ConvertValue edge cases, grouped by destination type. Plain conversions of
// every pair are in the table test.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "support/ValueConvert.h"
#include "testutil/testutil.h"

namespace {

using testutil::Narrow;
using testutil::W;
using testutil::WString;

template <typename D, typename S> D Conv(ValueType dstType, ValueType srcType, S src) {
    D dst{};
    EXPECT_TRUE(ConvertValue(dstType, &dst, srcType, &src, 0));
    return dst;
}

template <typename D> D FromText(ValueType dstType, const char* text) {
    const WString src = W(text);
    D dst{};
    EXPECT_TRUE(ConvertValue(dstType, &dst, TypeText, src.c_str(), 0));
    return dst;
}

template <typename S> std::string ToText(ValueType srcType, S src) {
    WChar buf[kValueTextWork];
    EXPECT_TRUE(ConvertValue(TypeText, buf, srcType, &src, kValueTextWork));
    return Narrow(buf);
}

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

TEST(ConvertToBool, TextComparesWholeWordWithoutCase) {
    EXPECT_EQ(1, FromText<uint8_t>(TypeBool, "TRUE"));
    EXPECT_EQ(0, FromText<uint8_t>(TypeBool, "False"));
    EXPECT_EQ(2, FromText<uint8_t>(TypeBool, "2"));
    EXPECT_EQ(0, FromText<uint8_t>(TypeBool, "yes"));
    EXPECT_EQ(0, FromText<uint8_t>(TypeBool, " true"));
    EXPECT_EQ(0, FromText<uint8_t>(TypeBool, "true,1"));
    EXPECT_EQ(0, FromText<uint8_t>(TypeBool, "tru"));
    EXPECT_EQ(0, FromText<uint8_t>(TypeU8, "true"));
}

// Floats beyond the intermediate integer saturate at its limits; NaN gives 0.
TEST(ConvertTo8Bit, FloatsTruncateThroughInt32) {
    EXPECT_EQ(44, (Conv<uint8_t, double>(TypeU8, TypeF64, 300.7)));
    EXPECT_EQ(255, (Conv<uint8_t, double>(TypeU8, TypeF64, -1.9)));
    EXPECT_EQ(255, (Conv<uint8_t, double>(TypeU8, TypeF64, 1e300)));
    EXPECT_EQ(0, (Conv<uint8_t, double>(TypeU8, TypeF64, -1e300)));
    EXPECT_EQ(255, (Conv<uint8_t, double>(TypeBool, TypeF64, kInf)));
    EXPECT_EQ(0, (Conv<uint8_t, double>(TypeI8, TypeF64, kNaN)));
}

TEST(ConvertTo16Bit, FloatsTruncateThroughInt32) {
    EXPECT_EQ(-1, (Conv<int16_t, double>(TypeI16, TypeF64, -1.9)));
    EXPECT_EQ(-1, (Conv<int16_t, double>(TypeI16, TypeF64, 4e9))); // INT32_MAX, not 4e9
    EXPECT_EQ(0, (Conv<int16_t, double>(TypeI16, TypeF64, -kInf)));
}

TEST(ConvertTo32Bit, FloatsTruncateThroughInt64AndTextWraps) {
    EXPECT_EQ(3000000000u, (Conv<uint32_t, double>(TypeU32, TypeF64, 3000000000.0)));
    EXPECT_EQ(4294967295u, (Conv<uint32_t, double>(TypeU32, TypeF64, -1.0)));
    EXPECT_EQ(0xFFFFFFFFu, (Conv<uint32_t, double>(TypeU32, TypeF64, 1e19)));
    EXPECT_EQ(0u, (Conv<uint32_t, float>(TypeU32, TypeF32, -std::numeric_limits<float>::max())));
    EXPECT_EQ(0u, (Conv<uint32_t, double>(TypeDefault, TypeF64, kNaN)));
    EXPECT_EQ(42, FromText<int32_t>(TypeI32, " 42"));
    EXPECT_EQ(0u, FromText<uint32_t>(TypeU32, "4294967296"));
    EXPECT_EQ(4294967295u, FromText<uint32_t>(TypeDefault, "-1"));
}

TEST(ConvertTo64Bit, TextSignednessAndSaturation) {
    EXPECT_EQ(UINT64_MAX, FromText<uint64_t>(TypeU64, "18446744073709551615"));
    EXPECT_EQ(INT64_MAX, FromText<int64_t>(TypeI64, "18446744073709551615"));
    EXPECT_EQ(INT64_MAX, (Conv<int64_t, double>(TypeI64, TypeF64, 1e19)));
    EXPECT_EQ(INT64_MAX, (Conv<uint64_t, float>(TypeU64, TypeF32, 1e19f)));
    EXPECT_EQ(INT64_MIN, (Conv<int64_t, double>(TypeI64, TypeF64, -kInf)));
    EXPECT_EQ(INT64_MIN, (Conv<int64_t, double>(TypeI64, TypeF64, -9223372036854775808.0)));
    EXPECT_EQ(0, (Conv<int64_t, double>(TypeI64, TypeF64, -kNaN)));
}

TEST(ConvertToFloat, IntegersRoundedOnce) {
    // Through a double, 2^62 + 2^38 + 1 would lose its last bit and then tie
    // down to 2^62; straight it rounds up.
    EXPECT_EQ(0x1.000002p62f,
              (Conv<float, int64_t>(TypeF32, TypeI64, (1LL << 62) + (1LL << 38) + 1)));
    EXPECT_EQ(0x1.000002p63f,
              (Conv<float, uint64_t>(TypeF32, TypeU64, (1ULL << 63) + (1ULL << 39) + 1)));
    EXPECT_TRUE(std::isinf(Conv<float, double>(TypeF32, TypeF64, 1e300)));
    EXPECT_TRUE(std::isnan(Conv<double, float>(TypeF64, TypeF32, std::nanf(""))));
}

TEST(ConvertToText, FixedPointOfFloats) {
    EXPECT_EQ("0.0", ToText<double>(TypeF64, 0.0000001));
    EXPECT_EQ("100000000000000000000.0", ToText<double>(TypeF64, 1e20));
    EXPECT_EQ("0.1", ToText<float>(TypeF32, 0.1f));
    EXPECT_EQ("nan", ToText<double>(TypeF64, kNaN));
    EXPECT_EQ("-inf", ToText<float>(TypeF32, -std::numeric_limits<float>::infinity()));
    EXPECT_EQ("-0.0", ToText<double>(TypeF64, -std::numeric_limits<double>::denorm_min()));
    // A huge value keeps the 62 leading characters of its text.
    EXPECT_EQ("-1797693134862315708145274237317043567980705675258449965989174",
              ToText<double>(TypeF64, -std::numeric_limits<double>::max()));
}

TEST(ConvertToText, ResultCutToCapacity) {
    const WString src = W("a,b\tc\r\nd");
    WChar buf[16];
    ASSERT_TRUE(ConvertValue(TypeText, buf, TypeText, src.c_str(), 16));
    EXPECT_EQ(src, WString(buf));

    std::fill(buf, buf + 16, WChar('#'));
    ASSERT_TRUE(ConvertValue(TypeText, buf, TypeText, src.c_str(), 4));
    EXPECT_EQ(W("a,b"), WString(buf));
    EXPECT_EQ(WChar('#'), buf[4]);

    const uint64_t big = UINT64_MAX;
    ASSERT_TRUE(ConvertValue(TypeText, buf, TypeU64, &big, 5));
    EXPECT_EQ("1844", Narrow(buf));
    EXPECT_EQ(WChar('#'), buf[5]);
    ASSERT_TRUE(ConvertValue(TypeText, buf, TypeU64, &big, 1));
    EXPECT_EQ(WChar(0), buf[0]);
    EXPECT_EQ(WChar('8'), buf[1]);

    // A cut falls before a surrogate pair, never inside it.
    const WChar pair[] = {'a', 0xD83D, 0xDE00, 'b', 0};
    ASSERT_TRUE(ConvertValue(TypeText, buf, TypeText, pair, 3));
    EXPECT_EQ(W("a"), WString(buf));
    ASSERT_TRUE(ConvertValue(TypeText, buf, TypeText, pair, 4));
    EXPECT_EQ(WString(pair, 3), WString(buf));
}

TEST(ConvertRefused, UnknownCodesNullsAndNoRoomWriteNothing) {
    const uint32_t src = 7;
    uint64_t dst = 0x1122334455667788u;
    for (int code : {13, 14, -1, 0x4000, 0x8004}) {
        EXPECT_FALSE(ConvertValue(static_cast<ValueType>(code), &dst, TypeU32, &src, 8));
        EXPECT_FALSE(ConvertValue(TypeU32, &dst, static_cast<ValueType>(code), &src, 8));
    }
    EXPECT_FALSE(ConvertValue(TypeU32, nullptr, TypeU32, &src, 0));
    EXPECT_FALSE(ConvertValue(TypeU32, &dst, TypeU32, nullptr, 0));
    EXPECT_EQ(0x1122334455667788u, dst);

    WChar text[4] = {'x', 'y', 'z', 0};
    EXPECT_FALSE(ConvertValue(TypeText, text, TypeU32, &src, 0));
    EXPECT_FALSE(ConvertValue(TypeText, text, TypeText, W("a").c_str(), -5));
    EXPECT_EQ(W("xyz"), WString(text));
}

TEST(ConvertFromText, SourceTextLeftAsGiven) {
    WString src = W("12,34\t56");
    const WString before = src;
    for (int t = TypeDefault; t <= TypeText; ++t) {
        WChar dst[16];
        ASSERT_TRUE(ConvertValue(static_cast<ValueType>(t), dst, TypeText, &src[0], 16));
        EXPECT_EQ(before, src) << "destination " << t;
    }
}

} // namespace
