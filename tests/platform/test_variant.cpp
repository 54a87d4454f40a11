#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/variant.h"
#include "testutil/testutil.h"

namespace {

using plat::Variant;

// Owns a VARIANT for one test.
struct Var : Variant {
    Var() { plat::VariantInit(this); }
    explicit Var(const char* utf8) : Var() {
        vt = plat::kVtBstr;
        bstrVal = plat::BstrAlloc(testutil::W(utf8).c_str());
    }
    template <typename T> Var(uint16_t type, T value) : Var() {
        vt = type;
        std::memcpy(&llVal, &value, sizeof value);
    }
    ~Var() { plat::VariantClear(this); }
    Var(const Var&) = delete;
    Var& operator=(const Var&) = delete;
};

std::string Text(const Variant& v) {
    EXPECT_EQ(plat::kVtBstr, v.vt);
    return v.vt == plat::kVtBstr ? testutil::Narrow(v.bstrVal) : std::string();
}

int32_t Change(Variant* dst, const Variant& src, uint16_t vt) {
    return plat::VariantChangeType(dst, &src, vt);
}

TEST(Bstr, LengthPrefixedAndTerminated) {
    plat::Bstr b = plat::BstrAlloc(W16("D100"));
    ASSERT_NE(nullptr, b);
    EXPECT_EQ(4u, plat::BstrLen(b));
    uint32_t bytes;
    std::memcpy(&bytes, reinterpret_cast<const char*>(b) - 4, 4);
    EXPECT_EQ(8u, bytes);
    EXPECT_EQ(0, b[4]);
    plat::BstrFree(b);

    const WChar withNul[] = {W16('a'), 0, W16('b')};
    b = plat::BstrAllocLen(withNul, 3);
    ASSERT_NE(nullptr, b);
    EXPECT_EQ(3u, plat::BstrLen(b));
    EXPECT_EQ(W16('b'), b[2]);
    plat::BstrFree(b);

    b = plat::BstrAllocLen(nullptr, 5);
    ASSERT_NE(nullptr, b);
    for (int i = 0; i <= 5; ++i)
        EXPECT_EQ(0, b[i]);
    plat::BstrFree(b);

    EXPECT_EQ(nullptr, plat::BstrAlloc(nullptr));
    EXPECT_EQ(0u, plat::BstrLen(nullptr));
}

TEST(Variant, CopyIsDeepAndClearEmpties) {
    Var a("Status_str"), b;
    ASSERT_EQ(plat::kHrOk, plat::VariantCopy(&b, &a));
    ASSERT_EQ(plat::kVtBstr, b.vt);
    EXPECT_NE(a.bstrVal, b.bstrVal);
    b.bstrVal[0] = W16('X');
    EXPECT_EQ("Status_str", Text(a));
    EXPECT_EQ("Xtatus_str", Text(b));
    // Copying over a text frees it (the sanitizers would see a leak).
    Var n(plat::kVtI4, int32_t{7});
    ASSERT_EQ(plat::kHrOk, plat::VariantCopy(&b, &n));
    EXPECT_EQ(7, b.lVal);
    EXPECT_EQ(plat::kHrOk, plat::VariantClear(&a));
    EXPECT_EQ(plat::kVtEmpty, a.vt);
}

TEST(VariantChangeType, RealToIntegerRoundsHalfToEven) {
    const struct {
        double in;
        int32_t out;
    } cases[] = {{2.5, 2}, {3.5, 4},    {-2.5, -2},  {-3.5, -4}, {0.5, 0},
                 {1.5, 2}, {2.4999, 2}, {2.5001, 3}, {-0.4, 0},  {-2147483648.5, INT32_MIN}};
    for (auto& c : cases) {
        Var v;
        ASSERT_EQ(plat::kHrOk, Change(&v, Var(plat::kVtR8, c.in), plat::kVtI4)) << c.in;
        EXPECT_EQ(plat::kVtI4, v.vt);
        EXPECT_EQ(c.out, v.lVal) << c.in;
    }
}

TEST(VariantChangeType, OutOfRangeIsOverflowAndLeavesTheTargetAlone) {
    Var v(plat::kVtI4, int32_t{123});
    EXPECT_EQ(plat::kHrOverflow, Change(&v, Var(plat::kVtR8, 65535.5), plat::kVtUi2)); // 65536
    EXPECT_EQ(plat::kHrOverflow, Change(&v, Var(plat::kVtR8, -0.6), plat::kVtUi1));
    EXPECT_EQ(plat::kHrOverflow, Change(&v, Var(plat::kVtR8, 2147483647.5), plat::kVtI4));
    EXPECT_EQ(plat::kHrOverflow, Change(&v, Var(plat::kVtR8, 1e300), plat::kVtR4));
    EXPECT_EQ(plat::kHrOverflow, Change(&v, Var(plat::kVtR8, 1e30), plat::kVtI8));
    EXPECT_EQ(plat::kHrOverflow, Change(&v, Var(plat::kVtI4, int32_t{40000}), plat::kVtI2));
    EXPECT_EQ(plat::kHrOverflow, Change(&v, Var(plat::kVtI4, int32_t{-1}), plat::kVtUi2));
    EXPECT_EQ(plat::kHrOverflow, Change(&v, Var(plat::kVtI2, int16_t{-1}), plat::kVtUi4));
    EXPECT_EQ(plat::kHrOverflow, Change(&v, Var("70000"), plat::kVtUi2));
    EXPECT_EQ(plat::kVtI4, v.vt);
    EXPECT_EQ(123, v.lVal);
}

TEST(VariantChangeType, SameWidthSignedAndUnsignedPassTheBits) {
    Var v;
    ASSERT_EQ(plat::kHrOk, Change(&v, Var(plat::kVtI4, int32_t{-1}), plat::kVtUi4));
    EXPECT_EQ(4294967295u, v.ulVal);
    ASSERT_EQ(plat::kHrOk, Change(&v, Var(plat::kVtUi1, uint8_t{200}), plat::kVtI1));
    EXPECT_EQ(-56, v.cVal);
    ASSERT_EQ(plat::kHrOk, Change(&v, Var(plat::kVtUi2, uint16_t{40000}), plat::kVtI2));
    EXPECT_EQ(-25536, v.iVal);
    ASSERT_EQ(plat::kHrOk, Change(&v, Var(plat::kVtUi2, uint16_t{40000}), plat::kVtI4));
    EXPECT_EQ(40000, v.lVal);
}

TEST(VariantChangeType, Booleans) {
    Var v;
    ASSERT_EQ(plat::kHrOk, Change(&v, Var(plat::kVtI4, int32_t{5}), plat::kVtBool));
    EXPECT_EQ(plat::kVariantTrue, v.boolVal);
    ASSERT_EQ(plat::kHrOk, Change(&v, Var(plat::kVtI4, int32_t{0}), plat::kVtBool));
    EXPECT_EQ(plat::kVariantFalse, v.boolVal);
    ASSERT_EQ(plat::kHrOk, Change(&v, Var(plat::kVtR8, 0.25), plat::kVtBool));
    EXPECT_EQ(plat::kVariantTrue, v.boolVal);

    Var t(plat::kVtBool, plat::kVariantTrue);
    ASSERT_EQ(plat::kHrOk, Change(&v, t, plat::kVtI2));
    EXPECT_EQ(-1, v.iVal);
    // True into an unsigned type is all ones, not an overflow.
    ASSERT_EQ(plat::kHrOk, Change(&v, t, plat::kVtUi1));
    EXPECT_EQ(255, v.bVal);
    // Without VARIANT_ALPHABOOL a boolean is written as its number.
    ASSERT_EQ(plat::kHrOk, Change(&v, t, plat::kVtBstr));
    EXPECT_EQ("-1", Text(v));
    ASSERT_EQ(plat::kHrOk, Change(&v, Var(plat::kVtBool, plat::kVariantFalse), plat::kVtBstr));
    EXPECT_EQ("0", Text(v));

    for (const char* s : {"True", "true", "1", "-3", "False", "0"}) {
        ASSERT_EQ(plat::kHrOk, Change(&v, Var(s), plat::kVtBool)) << s;
        bool truth = std::strcmp(s, "False") != 0 && std::strcmp(s, "0") != 0;
        EXPECT_EQ(truth ? plat::kVariantTrue : plat::kVariantFalse, v.boolVal) << s;
    }
}

TEST(VariantChangeType, TextToNumbers) {
    Var v;
    const struct {
        const char* in;
        double out;
    } good[] = {{" 42 ", 42}, {"-7", -7}, {"+5", 5},  {"1.25", 1.25},
                {".5", 0.5},  {"5.", 5},  {"\t7", 7}, {"1e3", 1000}};
    for (auto& g : good) {
        ASSERT_EQ(plat::kHrOk, Change(&v, Var(g.in), plat::kVtR8)) << g.in;
        EXPECT_DOUBLE_EQ(g.out, v.dblVal) << g.in;
    }
    ASSERT_EQ(plat::kHrOk, Change(&v, Var("2.5"), plat::kVtI4));
    EXPECT_EQ(2, v.lVal);
    ASSERT_EQ(plat::kHrOk, Change(&v, Var("9223372036854775807"), plat::kVtI8));
    EXPECT_EQ(INT64_MAX, v.llVal); // all 64 bits, not via a double
    // A word only means something to VT_BOOL.
    for (const char* bad : {"True", "abc", "", "  ", "12abc", "--1", "1e", "1 2", "0x10"})
        EXPECT_EQ(plat::kHrTypeMismatch, Change(&v, Var(bad), plat::kVtI4)) << bad;
}

TEST(VariantChangeType, NumbersToShortestText) {
    const struct {
        double in;
        const char* out;
    } reals[] = {{1.5, "1.5"},    {3.0, "3"},
                 {0.1, "0.1"},    {-1234.5678, "-1234.5678"},
                 {1e20, "1E+20"}, {1e-5, "1E-05"},
                 {-0.0, "0"},     {123456789012345678.0, "1.23456789012346E+17"}};
    Var v;
    for (auto& r : reals) {
        ASSERT_EQ(plat::kHrOk, Change(&v, Var(plat::kVtR8, r.in), plat::kVtBstr));
        EXPECT_EQ(r.out, Text(v));
    }
    // Single precision shows seven digits, not 0.100000001490116.
    ASSERT_EQ(plat::kHrOk, Change(&v, Var(plat::kVtR4, 0.1f), plat::kVtBstr));
    EXPECT_EQ("0.1", Text(v));
    ASSERT_EQ(plat::kHrOk, Change(&v, Var(plat::kVtR4, 12345678.0f), plat::kVtBstr));
    EXPECT_EQ("1.234568E+07", Text(v));
    ASSERT_EQ(plat::kHrOk, Change(&v, Var(plat::kVtI4, int32_t{-123}), plat::kVtBstr));
    EXPECT_EQ("-123", Text(v));
    ASSERT_EQ(plat::kHrOk, Change(&v, Var(plat::kVtUi4, uint32_t{4000000000u}), plat::kVtBstr));
    EXPECT_EQ("4000000000", Text(v));
}

TEST(VariantChangeType, InPlaceChangeFreesTheOldText) {
    Var v("12");
    ASSERT_EQ(plat::kHrOk, plat::VariantChangeType(&v, &v, plat::kVtI2));
    EXPECT_EQ(plat::kVtI2, v.vt);
    EXPECT_EQ(12, v.iVal);
    ASSERT_EQ(plat::kHrOk, plat::VariantChangeType(&v, &v, plat::kVtBstr));
    EXPECT_EQ("12", Text(v));
    Var x("x"); // a failed change keeps the text
    EXPECT_EQ(plat::kHrTypeMismatch, plat::VariantChangeType(&x, &x, plat::kVtR8));
    EXPECT_EQ("x", Text(x));
}

} // namespace
