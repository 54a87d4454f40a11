#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <iomanip>
#include <sstream>
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

const std::pair<const char*, uint16_t> kTypes[] = {
    {"I1", plat::kVtI1}, {"UI1", plat::kVtUi1}, {"I2", plat::kVtI2},    {"UI2", plat::kVtUi2},
    {"I4", plat::kVtI4}, {"UI4", plat::kVtUi4}, {"I8", plat::kVtI8},    {"R4", plat::kVtR4},
    {"R8", plat::kVtR8}, {"S", plat::kVtBstr},  {"BOOL", plat::kVtBool}};

uint16_t Type(const std::string& name) {
    for (const auto& t : kTypes)
        if (name == t.first)
            return t.second;
    ADD_FAILURE() << "no type " << name;
    return plat::kVtEmpty;
}

// One row "FROM VALUE TO": what the change gives, as text (a text value is
// in single quotes); a failed change must leave the target alone.
std::string Change(const std::string& row) {
    std::istringstream in(row);
    std::string from, to, text;
    double n = 0;
    in >> from;
    Var src(from == "S" && in >> std::quoted(text, '\'') ? text.c_str() : "");
    if (from != "S") {
        in >> n;
        plat::VariantClear(&src);
        src.vt = Type(from);
        if (src.vt == plat::kVtR8)
            src.dblVal = n;
        else if (src.vt == plat::kVtR4)
            src.fltVal = static_cast<float>(n);
        else
            src.llVal = static_cast<int64_t>(n); // little-endian: the narrow fields too
    }
    in >> to;
    const uint16_t vt = Type(to);
    Var v(plat::kVtI4, int32_t{123});
    int32_t hr = plat::VariantChangeType(&v, &src, vt);
    if (hr != plat::kHrOk)
        return v.vt != plat::kVtI4 || v.lVal != 123 ? "target changed"
               : hr == plat::kHrOverflow            ? "overflow"
               : hr == plat::kHrTypeMismatch        ? "mismatch"
                                                    : "hr " + std::to_string(hr);
    char buf[64];
    if (v.vt != vt || vt == plat::kVtBstr)
        return v.vt != vt ? "vt " + std::to_string(v.vt) : Text(v);
    if (vt == plat::kVtR4 || vt == plat::kVtR8)
        std::snprintf(buf, sizeof buf, "%.17g", vt == plat::kVtR4 ? v.fltVal : v.dblVal);
    return vt == plat::kVtR4 || vt == plat::kVtR8     ? buf
           : vt == plat::kVtI1                        ? std::to_string(v.cVal)
           : vt == plat::kVtUi1                       ? std::to_string(v.bVal)
           : vt == plat::kVtI2 || vt == plat::kVtBool ? std::to_string(v.iVal)
           : vt == plat::kVtUi2                       ? std::to_string(v.uiVal)
           : vt == plat::kVtI4                        ? std::to_string(v.lVal)
           : vt == plat::kVtUi4                       ? std::to_string(v.ulVal)
                                                      : std::to_string(v.llVal);
}

// A byte count before the text, a terminator after it; text given or zeros.
TEST(Bstr, LengthPrefixedTerminatedAndZeroFilled) {
    const WChar withNul[] = {W16('a'), 0, W16('b')};
    const struct {
        const WChar* text;
        int len; // -1: BstrAlloc
    } cases[] = {{W16("D100"), -1}, {withNul, 3}, {nullptr, 1}, {nullptr, 7}, {nullptr, 300}};
    for (const auto& c : cases) {
        plat::Bstr b = c.len < 0 ? plat::BstrAlloc(c.text) : plat::BstrAllocLen(c.text, c.len);
        ASSERT_NE(nullptr, b);
        const uint32_t n = c.len < 0 ? 4u : static_cast<uint32_t>(c.len);
        uint32_t bytes;
        std::memcpy(&bytes, reinterpret_cast<const char*>(b) - 4, 4);
        EXPECT_EQ(n, plat::BstrLen(b));
        EXPECT_EQ(2 * n, bytes);
        for (uint32_t i = 0; i <= n; ++i)
            EXPECT_EQ(i < n && c.text ? c.text[i] : 0, b[i]) << "unit " << i << " of " << n;
        plat::BstrFree(b);
    }
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

TEST(VariantChangeType, Conversions) {
    // Rows "FROM VALUE TO = RESULT;".
    const std::string cases =
        // Reals round half to even.
        "R8 2.5 I4 = 2; R8 3.5 I4 = 4; R8 -2.5 I4 = -2; R8 -3.5 I4 = -4; R8 0.5 I4 = 0;"
        "R8 1.5 I4 = 2; R8 2.4999 I4 = 2; R8 2.5001 I4 = 3; R8 -0.4 I4 = 0;"
        "R8 -2147483648.5 I4 = -2147483648;"
        // Out of range (after the rounding) is an overflow.
        "R8 65535.5 UI2 = overflow; R8 -0.6 UI1 = overflow; R8 2147483647.5 I4 = overflow;"
        "R8 1e300 R4 = overflow; R8 1e30 I8 = overflow; I4 40000 I2 = overflow;"
        "I4 -1 UI2 = overflow; I2 -1 UI4 = overflow; S '70000' UI2 = overflow;"
        // Same width signed and unsigned pass the bits.
        "I4 -1 UI4 = 4294967295; UI1 200 I1 = -56; UI2 40000 I2 = -25536; UI2 40000 I4 = 40000;"
        // True into an unsigned type is all ones, not an overflow; without
        // VARIANT_ALPHABOOL a boolean is written as its number.
        "I4 5 BOOL = -1; I4 0 BOOL = 0; R8 0.25 BOOL = -1; BOOL -1 I2 = -1; BOOL -1 UI1 = 255;"
        "BOOL -1 S = -1; BOOL 0 S = 0; S 'True' BOOL = -1; S 'true' BOOL = -1; S '1' BOOL = -1;"
        "S '-3' BOOL = -1; S 'False' BOOL = 0; S '0' BOOL = 0;"
        // Text to numbers (all 64 bits, not via a double); a word only means
        // something to VT_BOOL.
        "S ' 42 ' R8 = 42; S '-7' R8 = -7; S '+5' R8 = 5; S '1.25' R8 = 1.25; S '.5' R8 = 0.5;"
        "S '5.' R8 = 5; S '\t7' R8 = 7; S '1e3' R8 = 1000; S '2.5' I4 = 2;"
        "S '9223372036854775807' I8 = 9223372036854775807; S 'True' I4 = mismatch;"
        "S 'abc' I4 = mismatch; S '' I4 = mismatch; S '  ' I4 = mismatch;"
        "S '12abc' I4 = mismatch; S '--1' I4 = mismatch; S '1e' I4 = mismatch;"
        "S '1 2' I4 = mismatch; S '0x10' I4 = mismatch;"
        // Numbers to their shortest text; single precision shows seven digits.
        "R8 1.5 S = 1.5; R8 3 S = 3; R8 0.1 S = 0.1; R8 -1234.5678 S = -1234.5678;"
        "R8 1e20 S = 1E+20; R8 1e-5 S = 1E-05; R8 -0 S = 0;"
        "R8 123456789012345678 S = 1.23456789012346E+17; R4 0.1 S = 0.1;"
        "R4 12345678 S = 1.234568E+07; I4 -123 S = -123; UI4 4000000000 S = 4000000000;";
    std::istringstream rows(cases);
    for (std::string row; std::getline(rows, row, ';');) {
        size_t eq = row.find(" = ");
        ASSERT_NE(std::string::npos, eq) << row;
        EXPECT_EQ(row.substr(eq + 3), Change(row.substr(0, eq))) << row;
    }
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
