// Every (source, destination) pair of ConvertValue for representative values,
// against results worked out by hand.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "support/ValueConvert.h"

namespace {

typedef std::basic_string<WChar> WString;

struct Source {
    ValueType type;
    uint64_t bits; // integer sources, two's complement
    double real;   // floating sources
    const char* text;
};

Source Int(ValueType t, int64_t v) {
    return {t, static_cast<uint64_t>(v), 0, nullptr};
}
Source UInt(ValueType t, uint64_t v) {
    return {t, v, 0, nullptr};
}
Source Real(ValueType t, double v) {
    return {t, 0, v, nullptr};
}
Source Text(const char* s) {
    return {TypeText, 0, 0, s};
}

struct Row {
    Source src;
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
    const char* text;
};

const Row kRows[] = {
    // clang-format off
    //                                   Bool U8   U16    U32          U64                      I8   I16    I32          I64          F32              F64                    Text
    {Int(TypeBool, 1),                   1,   1,   1,     1,           1,                       1,   1,     1,           1,           1.0f,            1.0,                   "1"},
    {Int(TypeBool, 200),                 200, 200, 200,   200,         200,                     -56, 200,   200,         200,         200.0f,          200.0,                 "200"},
    {Int(TypeU8, 200),                   200, 200, 200,   200,         200,                     -56, 200,   200,         200,         200.0f,          200.0,                 "200"},
    {Int(TypeI8, -5),                    251, 251, 251,   251,         251,                     -5,  -5,    -5,          -5,          -5.0f,           -5.0,                  "-5"},
    {Int(TypeU16, 65534),                254, 254, 65534, 65534,       65534,                   -2,  -2,    65534,       65534,       65534.0f,        65534.0,               "65534"},
    {Int(TypeI16, -5),                   251, 251, 65531, 4294967291u, 18446744073709551611u,   -5,  -5,    -5,          -5,          -5.0f,           -5.0,                  "-5"},
    {Int(TypeU32, 3000000000),           0,   0,   24064, 3000000000u, 3000000000u,             0,   24064, -1294967296, 3000000000,  3000000000.0f,   3000000000.0,          "3000000000"},
    {Int(TypeU32, 4294967295),           255, 255, 65535, 4294967295u, 4294967295u,             -1,  -1,    -1,          4294967295,  4294967296.0f,   4294967295.0,          "4294967295"},
    {Int(TypeI32, -70000),               144, 144, 61072, 4294897296u, 18446744073709481616u,   -112,-4464, -70000,      -70000,      -70000.0f,       -70000.0,              "-70000"},
    {Int(TypeU64, 4886718345),           137, 137, 26505, 591751049u,  4886718345u,             -119,26505, 591751049,   4886718345,  4886718464.0f,   4886718345.0,          "4886718345"},
    {UInt(TypeU64, UINT64_MAX),          255, 255, 65535, 4294967295u, 18446744073709551615u,   -1,  -1,    -1,          -1,          0x1p64f,         0x1p64,                "18446744073709551615"},
    {Int(TypeI64, -4886718345),          119, 119, 39031, 3703216247u, 18446744068822833271u,   119, -26505,-591751049,  -4886718345, -4886718464.0f,  -4886718345.0,         "-4886718345"},
    {Int(TypeI64, INT64_MIN),            0,   0,   0,     0,           9223372036854775808u,    0,   0,     0,           INT64_MIN,   -0x1p63f,        -0x1p63,               "-9223372036854775808"},
    {Real(TypeF32, -1.9f),               255, 255, 65535, 4294967295u, 18446744073709551615u,   -1,  -1,    -1,          -1,          -1.9f,           -1.89999997615814208984375, "-1.9"},
    {Real(TypeF32, 300.7f),              44,  44,  300,   300,         300,                     44,  300,   300,         300,         300.7f,          300.70001220703125,    "300.700012"},
    {Real(TypeF64, -70000.9),            144, 144, 61072, 4294897296u, 18446744073709481616u,   -112,-4464, -70000,      -70000,      -70000.9f,       -70000.9,              "-70000.9"},
    {Real(TypeF64, 1e-7),                0,   0,   0,     0,           0,                       0,   0,     0,           0,           1e-7f,           1e-7,                  "0.0"},
    {Text("-1"),                         255, 255, 65535, 4294967295u, 18446744073709551615u,   -1,  -1,    -1,          -1,          -1.0f,           -1.0,                  "-1"},
    {Text("12,34"),                      12,  12,  12,    12,          12,                      12,  12,    12,          12,          12.0f,           12.0,                  "12,34"},
    {Text("True"),                       1,   0,   0,     0,           0,                       0,   0,     0,           0,           0.0f,            0.0,                   "True"},
    {Text(" 70000.9\t5"),                112, 112, 4464,  70000,       70000,                   112, 4464,  70000,       70000,       70000.9f,        70000.9,               " 70000.9\t5"},
    {Text("-2.5e3x"),                    254, 254, 65534, 4294967294u, 18446744073709551614u,   -2,  -2,    -2,          -2,          -2500.0f,        -2500.0,               "-2.5e3x"},
    // clang-format on
};

// Storage for any source or destination, with room to spare behind it.
union Slot {
    uint64_t bits;
    WChar text[80];
};

// Bytes as hexadecimal, lowest address first, for readable failures.
std::string Hex(const void* p, size_t n) {
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        char two[3];
        std::snprintf(two, sizeof two, "%02x", static_cast<const unsigned char*>(p)[i]);
        out += two;
    }
    return out;
}

void Check(const Row& row, ValueType srcType) {
    Slot src;
    std::memset(&src, 0, sizeof src);
    if (row.src.text != nullptr) {
        for (size_t i = 0; row.src.text[i] != 0; ++i)
            src.text[i] = static_cast<WChar>(row.src.text[i]);
    } else if (srcType == TypeF32) {
        const float f = static_cast<float>(row.src.real);
        std::memcpy(&src, &f, sizeof f);
    } else if (srcType == TypeF64) {
        std::memcpy(&src, &row.src.real, sizeof row.src.real);
    } else {
        src.bits = row.src.bits; // little-endian: the low bytes come first
    }

    for (int d = TypeDefault; d <= TypeText; ++d) {
        const ValueType dstType = static_cast<ValueType>(d);
        SCOPED_TRACE(testing::Message() << "source " << srcType << " destination " << d << " row "
                                        << (row.text ? row.text : ""));
        Slot dst;
        std::memset(&dst, 0xA5, sizeof dst);
        ASSERT_TRUE(ConvertValue(dstType, &dst, srcType, &src, 80));
        if (dstType == TypeText) {
            EXPECT_EQ(WString(row.text, row.text + std::strlen(row.text)), WString(dst.text));
            continue;
        }
        // The expected value's bytes, and nothing written past them.
        const void* want[] = {&row.u32, &row.b,   &row.u8,  &row.u16, &row.u32, &row.u64,
                              &row.i8,  &row.i16, &row.i32, &row.i64, &row.f32, &row.f64};
        const size_t width[] = {4, 1, 1, 2, 4, 8, 1, 2, 4, 8, 4, 8};
        EXPECT_EQ(Hex(want[d], width[d]), Hex(&dst, width[d]));
        EXPECT_EQ(0xA5, reinterpret_cast<const unsigned char*>(&dst)[width[d]]);
    }
}

TEST(ConvertTable, EverySourceToEveryDestination) {
    for (const Row& row : kRows) {
        Check(row, row.src.type);
        // TypeDefault reads as TypeU32.
        if (row.src.type == TypeU32)
            Check(row, TypeDefault);
    }
}

} // namespace
