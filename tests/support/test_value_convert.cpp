// ConvertValue for every (source, destination) pair, its edge cases, the
// number parsers and FormatDouble.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "support/ValueConvert.h"
#include "testutil/testutil.h"

namespace {

using testutil::Narrow;
using testutil::W;
using testutil::WString;

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();
const double kMax = std::numeric_limits<double>::max();
const double kTiny = std::numeric_limits<double>::denorm_min();

struct Row {
    ValueType type; // of the source
    int64_t bits;   // integer sources, two's complement
    double real;    // floating sources
    const char* text;
    uint8_t b, u8;
    uint16_t u16;
    uint32_t u32;
    uint64_t u64;
    int8_t i8;
    int16_t i16;
    int32_t i32;
    int64_t i64;
    float f32;
    double f64;
    const char* out;
};

const Row kRows[] = {
    // clang-format off
    //                                   Bool U8   U16    U32          U64                      I8   I16    I32          I64          F32              F64                    Text
    {TypeBool, 1, 0, nullptr,            1,   1,   1,     1,           1,                       1,   1,     1,           1,           1.0f,            1.0,                   "1"},
    {TypeBool, 200, 0, nullptr,          200, 200, 200,   200,         200,                     -56, 200,   200,         200,         200.0f,          200.0,                 "200"},
    {TypeU8, 200, 0, nullptr,            200, 200, 200,   200,         200,                     -56, 200,   200,         200,         200.0f,          200.0,                 "200"},
    {TypeI8, -5, 0, nullptr,             251, 251, 251,   251,         251,                     -5,  -5,    -5,          -5,          -5.0f,           -5.0,                  "-5"},
    {TypeU16, 65534, 0, nullptr,         254, 254, 65534, 65534,       65534,                   -2,  -2,    65534,       65534,       65534.0f,        65534.0,               "65534"},
    {TypeI16, -5, 0, nullptr,            251, 251, 65531, 4294967291u, 18446744073709551611u,   -5,  -5,    -5,          -5,          -5.0f,           -5.0,                  "-5"},
    {TypeU32, 3000000000, 0, nullptr,    0,   0,   24064, 3000000000u, 3000000000u,             0,   24064, -1294967296, 3000000000,  3000000000.0f,   3000000000.0,          "3000000000"},
    {TypeU32, 4294967295, 0, nullptr,    255, 255, 65535, 4294967295u, 4294967295u,             -1,  -1,    -1,          4294967295,  4294967296.0f,   4294967295.0,          "4294967295"},
    {TypeI32, -70000, 0, nullptr,        144, 144, 61072, 4294897296u, 18446744073709481616u,   -112,-4464, -70000,      -70000,      -70000.0f,       -70000.0,              "-70000"},
    {TypeU64, 4886718345, 0, nullptr,    137, 137, 26505, 591751049u,  4886718345u,             -119,26505, 591751049,   4886718345,  4886718464.0f,   4886718345.0,          "4886718345"},
    {TypeU64, -1, 0, nullptr,            255, 255, 65535, 4294967295u, 18446744073709551615u,   -1,  -1,    -1,          -1,          0x1p64f,         0x1p64,                "18446744073709551615"},
    {TypeI64, -4886718345, 0, nullptr,   119, 119, 39031, 3703216247u, 18446744068822833271u,   119, -26505,-591751049,  -4886718345, -4886718464.0f,  -4886718345.0,         "-4886718345"},
    {TypeI64, INT64_MIN, 0, nullptr,     0,   0,   0,     0,           9223372036854775808u,    0,   0,     0,           INT64_MIN,   -0x1p63f,        -0x1p63,               "-9223372036854775808"},
    {TypeF32, 0, -1.9f, nullptr,         255, 255, 65535, 4294967295u, 18446744073709551615u,   -1,  -1,    -1,          -1,          -1.9f,           -1.89999997615814208984375, "-1.9"},
    {TypeF32, 0, 300.7f, nullptr,        44,  44,  300,   300,         300,                     44,  300,   300,         300,         300.7f,          300.70001220703125,    "300.700012"},
    {TypeF64, 0, -70000.9, nullptr,      144, 144, 61072, 4294897296u, 18446744073709481616u,   -112,-4464, -70000,      -70000,      -70000.9f,       -70000.9,              "-70000.9"},
    {TypeF64, 0, 1e-7, nullptr,          0,   0,   0,     0,           0,                       0,   0,     0,           0,           1e-7f,           1e-7,                  "0.0"},
    {TypeText, 0, 0, "-1",               255, 255, 65535, 4294967295u, 18446744073709551615u,   -1,  -1,    -1,          -1,          -1.0f,           -1.0,                  "-1"},
    {TypeText, 0, 0, "12,34",            12,  12,  12,    12,          12,                      12,  12,    12,          12,          12.0f,           12.0,                  "12,34"},
    {TypeText, 0, 0, "True",             1,   0,   0,     0,           0,                       0,   0,     0,           0,           0.0f,            0.0,                   "True"},
    {TypeText, 0, 0, " 70000.9\t5",      112, 112, 4464,  70000,       70000,                   112, 4464,  70000,       70000,       70000.9f,        70000.9,               " 70000.9\t5"},
    {TypeText, 0, 0, "-2.5e3x",          254, 254, 65534, 4294967294u, 18446744073709551614u,   -2,  -2,    -2,          -2,          -2500.0f,        -2500.0,               "-2.5e3x"},
    // clang-format on
};

// Storage for any source or destination, with room to spare behind it.
union Slot {
    uint64_t bits;
    WChar text[80];
};

std::string Bytes(const void* p, size_t n) {
    return std::string(static_cast<const char*>(p), n);
}

void Check(const Row& row, ValueType srcType) {
    Slot src;
    std::memset(&src, 0, sizeof src);
    const float f = static_cast<float>(row.real);
    if (row.text != nullptr)
        std::copy(row.text, row.text + std::strlen(row.text), src.text);
    else if (srcType == TypeF32)
        std::memcpy(&src, &f, sizeof f);
    else if (srcType == TypeF64)
        std::memcpy(&src, &row.real, sizeof row.real);
    else
        src.bits = static_cast<uint64_t>(row.bits); // little-endian: the low bytes come first
    for (int d = TypeDefault; d <= TypeText; ++d) {
        SCOPED_TRACE(testing::Message()
                     << "source " << srcType << " destination " << d << " row " << row.out);
        Slot dst;
        std::memset(&dst, 0xA5, sizeof dst);
        ASSERT_TRUE(ConvertValue(static_cast<ValueType>(d), &dst, srcType, &src, 80));
        if (d == TypeText) {
            EXPECT_EQ(W(row.out), WString(dst.text));
            continue;
        }
        // The expected value's bytes, and nothing written past them.
        const void* want[] = {&row.u32, &row.b,   &row.u8,  &row.u16, &row.u32, &row.u64,
                              &row.i8,  &row.i16, &row.i32, &row.i64, &row.f32, &row.f64};
        const size_t width[] = {4, 1, 1, 2, 4, 8, 1, 2, 4, 8, 4, 8};
        EXPECT_EQ(Bytes(want[d], width[d]), Bytes(&dst, width[d]));
        EXPECT_EQ(0xA5, reinterpret_cast<const unsigned char*>(&dst)[width[d]]);
    }
}

TEST(ConvertValue, EverySourceToEveryDestination) {
    for (const Row& row : kRows) {
        Check(row, row.type);
        if (row.type == TypeU32)
            Check(row, TypeDefault); // read as TypeU32
    }
}

// The destination's bytes, zero-extended, little-endian.
TEST(ConvertValue, EdgeCasesIntoIntegers) {
    const float fMax = std::numeric_limits<float>::max();
    const struct {
        ValueType dst, src;
        double value;
        uint64_t want;
        const char* text = nullptr; // the source when set
    } cases[] = {
        // clang-format off
        // Floats truncate through int32 (through int64 from 32 bits on),
        // saturating at its limits; NaN gives 0.
        {TypeU8, TypeF64, 300.7, 44}, {TypeU8, TypeF64, -1.9, 0xFF}, {TypeU8, TypeF64, 1e300, 0xFF},
        {TypeU8, TypeF64, -1e300, 0}, {TypeBool, TypeF64, kInf, 0xFF}, {TypeI8, TypeF64, kNaN, 0},
        {TypeI16, TypeF64, -1.9, 0xFFFF}, {TypeI16, TypeF64, 4e9, 0xFFFF},
        {TypeI16, TypeF64, -kInf, 0}, {TypeU32, TypeF64, 3e9, 3000000000u},
        {TypeU32, TypeF64, -1.0, 0xFFFFFFFF}, {TypeU32, TypeF64, 1e19, 0xFFFFFFFF},
        {TypeU32, TypeF32, -fMax, 0}, {TypeDefault, TypeF64, kNaN, 0},
        {TypeI64, TypeF64, 1e19, INT64_MAX}, {TypeU64, TypeF32, 1e19, INT64_MAX},
        {TypeI64, TypeF64, -kInf, 1ull << 63}, {TypeI64, TypeF64, -0x1p63, 1ull << 63},
        {TypeI64, TypeF64, -kNaN, 0},
        // Text: a whole word without case for Bool, the first field for the rest.
        {TypeBool, TypeText, 0, 1, "TRUE"}, {TypeBool, TypeText, 0, 0, "False"},
        {TypeBool, TypeText, 0, 2, "2"}, {TypeBool, TypeText, 0, 0, "yes"},
        {TypeBool, TypeText, 0, 0, " true"}, {TypeBool, TypeText, 0, 0, "true,1"},
        {TypeBool, TypeText, 0, 0, "tru"}, {TypeU8, TypeText, 0, 0, "true"},
        {TypeI32, TypeText, 0, 42, " 42"}, {TypeU32, TypeText, 0, 0, "4294967296"},
        {TypeDefault, TypeText, 0, 0xFFFFFFFF, "-1"},
        {TypeU64, TypeText, 0, UINT64_MAX, "18446744073709551615"},
        {TypeI64, TypeText, 0, INT64_MAX, "18446744073709551615"},
        // clang-format on
    };
    for (const auto& c : cases) {
        Slot src, dst;
        const float f = static_cast<float>(c.value);
        if (c.text)
            std::memcpy(src.text, W(c.text).c_str(), (std::strlen(c.text) + 1) * sizeof(WChar));
        else if (c.src == TypeF32)
            std::memcpy(&src, &f, sizeof f);
        else
            std::memcpy(&src, &c.value, sizeof c.value);
        dst.bits = 0;
        EXPECT_TRUE(ConvertValue(c.dst, &dst, c.src, &src, 0));
        EXPECT_EQ(c.want, dst.bits) << c.dst << " from " << c.value << (c.text ? c.text : "");
    }
}

template <typename D, typename S> D Conv(ValueType dstType, ValueType srcType, S src) {
    D dst{};
    EXPECT_TRUE(ConvertValue(dstType, &dst, srcType, &src, 0));
    return dst;
}

TEST(ConvertValue, IntegersIntoFloatsRoundOnce) {
    // Through a double, 2^62 + 2^38 + 1 would lose its last bit and then tie
    // down to 2^62; straight it rounds up.
    EXPECT_EQ(0x1.000002p62f, Conv<float>(TypeF32, TypeI64, (1LL << 62) + (1LL << 38) + 1));
    EXPECT_EQ(0x1.000002p63f, Conv<float>(TypeF32, TypeU64, (1ULL << 63) + (1ULL << 39) + 1));
    EXPECT_TRUE(std::isinf(Conv<float>(TypeF32, TypeF64, 1e300)));
    EXPECT_TRUE(std::isnan(Conv<double>(TypeF64, TypeF32, std::nanf(""))));
}

TEST(ConvertValue, IntoTextFixedPointAndCutToCapacity) {
    const struct {
        ValueType src;
        double value;
        const char* text;
    } floats[] = {
        // clang-format off
        {TypeF64, 0.0000001, "0.0"}, {TypeF64, 1e20, "100000000000000000000.0"},
        {TypeF32, 0.1, "0.1"}, {TypeF64, kNaN, "nan"}, {TypeF32, -kInf, "-inf"},
        {TypeF64, -kTiny, "-0.0"},
        // A huge value keeps the 62 leading characters of its text.
        {TypeF64, -kMax, "-1797693134862315708145274237317043567980705675258449965989174"},
        // clang-format on
    };
    WChar buf[kValueTextWork];
    for (const auto& c : floats) {
        const float f = static_cast<float>(c.value);
        const void* src = c.src == TypeF32 ? static_cast<const void*>(&f) : &c.value;
        ASSERT_TRUE(ConvertValue(TypeText, buf, c.src, src, kValueTextWork));
        EXPECT_EQ(c.text, Narrow(buf));
    }

    // Cut to the capacity, never inside a surrogate pair; nothing past it.
    const WString text = W("a,b\tc\r\nd");
    const WChar pair[] = {'a', 0xD83D, 0xDE00, 'b', 0};
    const uint64_t big = UINT64_MAX;
    const struct {
        ValueType src;
        const void* value;
        int cap;
        WString text;
    } cuts[] = {{TypeText, text.c_str(), 16, text}, {TypeText, text.c_str(), 4, W("a,b")},
                {TypeU64, &big, 5, W("1844")},      {TypeU64, &big, 1, W("")},
                {TypeText, pair, 3, W("a")},        {TypeText, pair, 4, WString(pair, 3)}};
    for (const auto& c : cuts) {
        std::fill(buf, buf + kValueTextWork, WChar('#'));
        ASSERT_TRUE(ConvertValue(TypeText, buf, c.src, c.value, c.cap));
        EXPECT_EQ(c.text, WString(buf));
        EXPECT_EQ(WChar('#'), buf[c.cap]) << c.cap;
    }
}

TEST(ConvertValue, RefusedWritesNothingAndSourceTextIsKept) {
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

    // No parser writes a terminator over a separator, not even for a moment.
    for (const char* s : {"12,34", "-5\t6", "7\r", "8\n9", "1.5e3,x", "no number,1"}) {
        WString in = W(s);
        ParseInt64(&in[0]);
        ParseUInt64(&in[0]);
        ParseDouble(&in[0]);
        for (int t = TypeDefault; t <= TypeText; ++t) {
            WChar out[16];
            ASSERT_TRUE(ConvertValue(static_cast<ValueType>(t), out, TypeText, &in[0], 16));
        }
        EXPECT_EQ(W(s), in);
    }
}

TEST(ParseNumbers, IntegersFirstFieldSignsBlanksAndLimits) {
    const std::string nines(40, '9');
    const struct {
        std::string text;
        int64_t i;
        uint64_t u;
    } cases[] = {
        // clang-format off
        {"  +42", 42, 42}, {"\v-17kg", -17, uint64_t(-17)}, {"12,34", 12, 12}, {"4 2", 4, 4},
        {"7\r\n8", 7, 7}, {" +5,6", 5, 5}, {"-0", 0, 0},
        // A separator ends the field before any blank skipping can pass it.
        {"\t42", 0, 0}, {",42", 0, 0}, {"+-1", 0, 0}, {"- 1", 0, 0}, {"", 0, 0},
        // Overflow gives the nearest limit; a minus wraps the unsigned value.
        {"9223372036854775807", INT64_MAX, INT64_MAX},
        {"9223372036854775808", INT64_MAX, 1ull << 63},
        {"-9223372036854775808", INT64_MIN, 1ull << 63},
        {"-9223372036854775809", INT64_MIN, (1ull << 63) - 1},
        {"18446744073709551615", INT64_MAX, UINT64_MAX},
        {"18446744073709551616", INT64_MAX, UINT64_MAX}, {"-1", -1, UINT64_MAX},
        {"-18446744073709551615", INT64_MIN, 1}, {"-18446744073709551616", INT64_MIN, UINT64_MAX},
        {"-" + nines, INT64_MIN, UINT64_MAX}, {"000000000000000000000000000005", 5, 5},
        // clang-format on
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.i, ParseInt64(W(c.text).c_str())) << c.text;
        EXPECT_EQ(c.u, ParseUInt64(W(c.text).c_str())) << c.text;
    }
    EXPECT_EQ(0, ParseInt64(nullptr));
    EXPECT_EQ(0u, ParseUInt64(nullptr));
}

TEST(ParseNumbers, DoubleLongestDecimalPrefixRangeAndRounding) {
    const std::string z200k(200000, '0'), z400(400, '0'), z800(800, '0'), z1000(1000, '0');
    const struct {
        std::string text;
        double value;
    } cases[] = {
        // clang-format off
        {"3.25", 3.25}, {"  -0.5e2", -50.0}, {".5", 0.5}, {"5.", 5.0}, {"-.5e-1", -0.05},
        {"1e", 1.0}, {"1e+", 1.0}, {"1.5,2.5", 1.5}, {"2.0.3", 2.0}, {"", 0}, {".", 0}, {"-", 0},
        {"-.", 0}, {"e5", 0}, {"+e1", 0}, {"x1", 0}, {"\t1", 0}, {"inf", 0}, {"nan", 0},
        {"1e400", kInf}, {"-1e400", -kInf}, {"1" + z400, kInf}, {"1e99999999999999999999999", kInf},
        {"1e-400", 0}, {"1e-99999999999999999999999", 0}, {"0e99999", 0}, {"0." + z400 + "1", 0},
        {"4.9406564584124654e-324", kTiny}, {"1.7976931348623157e308", kMax},
        {"1" + z800 + "e-800", 1}, {"0." + z800 + "1e801", 1},
        // Digits count into the exponent however many there are.
        {"0." + z200k + "1e200001", 1}, {"1" + z200k + "e-200000", 1},
        // 2^53 + 1 lies halfway between two doubles: ties to even goes down,
        // and any non-zero digit however far behind goes up.
        {"9007199254740993", 9007199254740992.0}, {"9007199254740993." + z1000, 9007199254740992.0},
        {"9007199254740993." + z1000 + "1", 9007199254740994.0},
        {"9007199254740993" + z1000 + "1e-1001", 9007199254740994.0},
        // clang-format on
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.value, ParseDouble(W(c.text).c_str())) << c.text.substr(0, 40);
    EXPECT_EQ(0.0, ParseDouble(nullptr));
    EXPECT_TRUE(std::signbit(ParseDouble(W16("-0.0"))));
}

TEST(FormatDouble, TrailingZerosDroppedAndWithinCapacity) {
    const struct {
        double value;
        int cap;
        const char* text;
    } cases[] = {
        // clang-format off
        {2.0, 64, "2.0"}, {1.5, 64, "1.5"}, {0.0, 64, "0.0"}, {-3.25, 64, "-3.25"},
        {100.0, 64, "100.0"}, {0.000001, 64, "0.000001"}, {1234.5678, 64, "1234.5678"},
        {kTiny, 64, "0.0"}, {kInf, 64, "inf"}, {-kNaN, 64, "nan"}, {1.5, 3, "1."}, {1.5, 1, ""},
        {-1e300, 6, "-1000"},
        // The work area holds 63 characters; a longer text keeps its leading
        // ones, the same on both sides of the point where printing changes.
        {1e62, 80, "100000000000000003502199685943161173046080317798311825604870144"},
        {9.999999999999999e62, 80,
        "999999999999999875170255276364105051932774599639662981181079552"},
        {1e63, 80, "100000000000000005785795994272696982739337868917504043817264742"},
        {1e300, 80, "100000000000000005250476025520442024870446858110815915491585411"},
        {-kMax, 80, "-17976931348623157081452742373170435679807056752584499659891747"},
        {1.2345678901234567e200, 80,
        "123456789012345674980922609384950994995781171363245042470764995"},
        // Its point still fits; only fraction zeros are cut.
        {1e56, 80, "100000000000000009190283508143378238084034459715684532224.0"},
        // clang-format on
    };
    for (const auto& c : cases) {
        WChar buf[96];
        std::fill(buf, buf + 96, WChar('#'));
        const int n = FormatDouble(buf, c.cap, c.value);
        EXPECT_EQ(c.text, std::string(buf, buf + n));
        EXPECT_EQ(WChar(0), buf[n]);
        EXPECT_EQ(WChar('#'), buf[c.cap]);
    }
    WChar untouched = 'x';
    EXPECT_EQ(0, FormatDouble(&untouched, 0, 1.0));
    EXPECT_EQ(0, FormatDouble(&untouched, -3, 1.0));
    EXPECT_EQ(WChar('x'), untouched);
}

} // namespace
