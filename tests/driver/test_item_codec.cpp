// Item names, decoding of image bytes, host value conversion and write staging.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "driver/ItemCodec.h"
#include "platform/codepage.h"
#include "support/ValueTypes.h"
#include "testutil/testutil.h"

namespace {

using plat::Variant;
using testutil::Narrow;
using testutil::W;
using Bytes = std::vector<uint8_t>;

constexpr uint16_t kBool = plat::kVtBool, kI1 = plat::kVtI1, kUi1 = plat::kVtUi1;
constexpr uint16_t kI2 = plat::kVtI2, kUi2 = plat::kVtUi2, kI4 = plat::kVtI4;
constexpr uint16_t kUi4 = plat::kVtUi4, kR4 = plat::kVtR4, kR8 = plat::kVtR8;
constexpr uint16_t kBstr = plat::kVtBstr;
constexpr uint32_t kAll = kAllBits;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct OwnedVariant {
    Variant v;
    OwnedVariant() { plat::VariantInit(&v); }
    explicit OwnedVariant(const std::string& text) : OwnedVariant() {
        v.vt = kBstr;
        v.bstrVal = plat::BstrAlloc(W(text).c_str());
    }
    ~OwnedVariant() { plat::VariantClear(&v); }
};

double NumberOf(const Variant& v) {
    return v.vt == kBool  ? v.boolVal
           : v.vt == kI1  ? v.cVal
           : v.vt == kUi1 ? v.bVal
           : v.vt == kI2  ? v.iVal
           : v.vt == kUi2 ? v.uiVal
           : v.vt == kI4  ? v.lVal
           : v.vt == kUi4 ? v.ulVal
           : v.vt == kR4  ? v.fltVal
                          : v.dblVal;
}

Variant Num(uint16_t vt, uint64_t bits) {
    Variant v;
    plat::VariantInit(&v);
    v.vt = vt;
    v.ullVal = bits;
    return v;
}

Variant Single(float f) {
    Variant v = Num(kR4, 0);
    v.fltVal = f;
    return v;
}

Variant Double(double d) {
    Variant v = Num(kR8, 0);
    v.dblVal = d;
    return v;
}

uint64_t LittleEndianOf(const uint8_t* p, int n) {
    uint64_t v = 0;
    for (int i = n - 1; i >= 0; --i)
        v = v << 8 | p[i];
    return v;
}

std::string Hex(const uint8_t* p, int n) {
    std::string s;
    char b[4];
    for (int i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, i ? " %02X" : "%02X", p[i]);
        s += b;
    }
    return s;
}

TEST(ItemCodecName, SuffixesAndAddresses) {
    struct Row {
        const char* name;
        bool bitDevice;
        const char* base;
        int32_t address;
        uint32_t mask;
        uint16_t vt, length;
        bool ok = true; // makes an item
    };
    const Row rows[] = {
        // clang-format off
        {"D100", false, "D100", 100, kAll, 0, 0}, {"100", false, "100", 100, kAll, 0, 0},
        {"D100.X", false, "D100", 100, kAll, kUi2, 0}, {"d7.LONG", false, "d7", 7, kAll, kI4, 0},
        {"D100.Bit3", false, "D100", 100, 8, kUi2, 0}, {"D100.Bit", false, "D100", 100, 1, kUi2, 0},
        {"M10.Bit", true, "M10", 10, kAll, kBool, 0}, {"M10.Bit", false, "M10", 10, 1, 0, 0},
        {"M10.Bit40", false, "M10", 10, 1u << 8, 0, 0}, {"D1.Double", false, "D1", 1, kAll, kUi4, 0},
        {"M10.Bit99999999999999999999", false, "M10", 10, 1u << 31, 0, 0},
        {"D5.String", false, "D5", 5, kAll, kBstr, 1024},
        {"D5.String20", false, "D5", 5, kAll, kBstr, 20},
        {"D5.String0", false, "D5", 5, kAll, kBstr, 65535},
        {"D5.String5000", false, "D5", 5, kAll, kBstr, 1023},
        {"D5.String70000", false, "D5", 5, kAll, kBstr, 1023},
        {"D99999999999", false, "D99999999999", INT32_MAX, kAll, 0, 0},
        // Names that would read another address than they show, or split
        // the listing.
        {"X12.34.Word", false, "X12.34", 12, kAll, kUi2, 0, false},
        {"D-99999999999", false, "D-99999999999", INT32_MIN, kAll, 0, 0, false},
        {"", false, "", 0, kAll, 0, 0, false}, {".Long", false, "", 0, kAll, kI4, 0, false},
        {" D100", false, " D100", 0, kAll, 0, 0, false},
        {"D 100", false, "D 100", 100, kAll, 0, 0, false}, {"D", false, "D", 0, kAll, 0, 0, false},
        {"D\xEF\xBC\x91", false, "D\xEF\xBC\x91", 0, kAll, 0, 0, false},
        {"D100x", false, "D100x", 100, kAll, 0, 0, false},
        {"D1,2", false, "D1,2", 1, kAll, 0, 0, false},
        {"D1.Bit3,4", false, "D1", 1, 8, kUi2, 0, false},
        // clang-format on
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        ItemSpec parsed;
        std::memset(&parsed, 0xCD, sizeof parsed);
        EXPECT_EQ(ParseItemName(W(r.name).c_str(), r.bitDevice, &parsed), r.ok);
        EXPECT_EQ(Narrow(parsed.baseName), r.base);
        EXPECT_EQ(parsed.address, r.address);
        EXPECT_EQ(parsed.bitMask, r.mask);
        EXPECT_EQ(parsed.vt, r.vt);
        EXPECT_EQ(parsed.stringLength, r.length);
    }
    // The cut at 255 characters takes the suffix away before it is sought.
    const std::string name = "D7" + std::string(253, 'a') + ".Long";
    ItemSpec parsed;
    ParseItemName(W(name).c_str(), false, &parsed);
    EXPECT_EQ(Narrow(parsed.baseName), name.substr(0, 255));
    EXPECT_EQ(parsed.vt, 0);
}

TEST(ItemCodecTypes, BoolAndUnknownTypesAndStatusNames) {
    EXPECT_EQ(HostTypeOfVariant(kBool), TypeI32);
    EXPECT_EQ(HostTypeOfVariant(plat::kVtI8), TypeI32);
    EXPECT_EQ(VariantSourceType(kBool), TypeI8);
    EXPECT_EQ(DefaultDestination(kBool), TypeBool);
    EXPECT_EQ(DefaultDestination(kUi4), TypeU32);
    WChar buf[32];
    EXPECT_EQ(ErrorCodeName(buf, 13, 32), 13);
    EXPECT_EQ(Narrow(buf), "RECV_TIME_OUT");
    ErrorCodeName(buf, -1, 32);
    EXPECT_EQ(Narrow(buf), "UNREGISTERED_ERROR");
    buf[5] = u'#';
    EXPECT_EQ(ErrorCodeName(buf, 0, 5), 4);
    EXPECT_EQ(buf[5], u'#');
}

// Image bytes (host order) decoded, and how many of them the value depends on.
TEST(ItemCodecDecode, ValuesByTypeMaskWordOrderAndLength) {
    const double d = 26.5;
    Bytes own(8);
    std::memcpy(own.data(), &d, 8);
    // The image holds each word low byte first (of 1-byte units, as written).
    Bytes r8 = own;
    for (size_t i = 0; i < 8; i += 2)
        std::swap(r8[i], r8[i + 1]);
    struct Row {
        const char* what;
        Bytes bytes;
        uint32_t vt, itemMask, nameMask, unitSize, wordOrder, length;
        bool ok;
        double value;
        size_t valueBytes;
        const char* text = nullptr; // text items; each pair swapped from the PLC's order
    };
    const Row rows[] = {
        // clang-format off
        {"long mode 0", {0x34, 0x12, 0x78, 0x56}, kI4, kAll, kAll, 2, 0, 0, true, 0x12345678, 4},
        {"long mode 1", {0x34, 0x12, 0x78, 0x56}, kUi4, kAll, kAll, 2, 1, 0, true, 0x56781234, 4},
        {"Bit3 set", {0x08, 0x00}, kUi2, kAll, 8, 2, 0, 0, true, 1, 2},
        {"Bit3 clear", {0xF7, 0xFF}, kUi2, kAll, 8, 2, 0, 0, true, 0, 2},
        {"item mask wins", {0x04, 0x00}, kUi2, 0x04, 0x01, 2, 0, 0, true, 1, 1},
        {"long Bit20", {0x10, 0x00, 0x00, 0x00}, kI4, kAll, 1u << 20, 2, 0, 0, true, 1, 4},
        {"float mode 0", {0xD4, 0x41, 0x00, 0x00}, kR4, kAll, kAll, 2, 0, 0, true, 26.5, 4},
        {"float with a bit name", {0xD4, 0x41, 0, 0}, kR4, kAll, 8, 2, 0, 0, false, 0, 4},
        {"double", r8, kR8, kAll, kAll, 2, 1, 0, true, 26.5, 8},
        {"double of 1-byte units", own, kR8, kAll, kAll, 1, 0, 0, true, 26.5, 8},
        // A byte or truth value on a word is its low byte, as it is written.
        {"bool of a word's low byte", {0x01, 0x00}, kBool, kAll, kAll, 2, 0, 0, true, -1, 1},
        {"bool ignores the high byte", {0x00, 0x01}, kBool, kAll, kAll, 2, 0, 0, true, 0, 1},
        {"bool of a 1-byte unit", {0x00, 0x01}, kBool, kAll, kAll, 1, 0, 0, true, 0, 1},
        {"bool Bit3 clear", {0x01, 0x00}, kBool, kAll, 8, 2, 0, 0, true, 0, 1},
        {"signed byte", {0xFF}, kI1, kAll, kAll, 1, 0, 0, true, -1, 1},
        {"signed byte of a word", {0xFB, 0x11}, kI1, kAll, kAll, 2, 0, 0, true, -5, 1},
        // A named bit outside the value never has a value.
        {"word Bit16", {0xFF, 0xFF}, kUi2, kAll, 1u << 16, 2, 0, 0, false, 0, 2},
        {"byte Bit9", {0xFF, 0xFF}, kUi1, kAll, 1u << 9, 2, 0, 0, false, 0, 1},
        {"byte bit", {0x04}, kUi1, kAll, 0x04, 1, 0, 0, true, 1, 1},
        // Never past what is there.
        {"long short of bytes", {0x34, 0x12, 0x78}, kI4, kAll, kAll, 2, 0, 0, false, 0, 4},
        {"bit item needs one byte", {0x08}, kUi2, 0x08, kAll, 1, 0, 0, true, 1, 1},
        {"double short of bytes", Bytes(7, 0x40), kR8, kAll, kAll, 2, 0, 0, false, 0, 8},
        {"bool without its byte", {}, kBool, kAll, kAll, 2, 0, 0, false, 0, 1},
        {"no decoder", {0x01, 0x00}, plat::kVtI8, kAll, kAll, 2, 0, 0, false, 0, 0},
        // Texts: swapped, cut at the length, up to a NUL, never half a character.
        {"swapped pair", {'B', 'A'}, kBstr, kAll, kAll, 2, 0, 2, true, 0, 2, "AB"},
        {"odd length rounds up", {'B', 'A', 0, 'C'}, kBstr, kAll, kAll, 2, 0, 3, true, 0, 3, "ABC"},
        {"cut at the length", {'B', 'A', 'D', 'C'}, kBstr, kAll, kAll, 2, 0, 3, true, 0, 3, "ABC"},
        {"UTF-8", {0xC3, 'a', 0, 0xA9}, kBstr, kAll, kAll, 2, 0, 4, true, 0, 4, "a\xC3\xA9"},
        {"half char", {0xA9, 0xC3, 0xA9, 0xC3}, kBstr, kAll, kAll, 2, 0, 3, true, 0, 3, "\xC3\xA9"},
        {"bit name has no text", {'B', 'A'}, kBstr, kAll, 1, 2, 0, 2, false, 0, 2},
        {"short of bytes", {'B', 'A'}, kBstr, kAll, kAll, 2, 0, 10, false, 0, 10},
        {"text to its NUL", {'B', 'A', 'C', 0}, kBstr, kAll, kAll, 2, 0, 8, false, 0, 3},
        {"NUL past the length", {'B', 'A', 'C', 0}, kBstr, kAll, kAll, 2, 0, 2, true, 0, 2, "AB"},
        {"text without NUL", {'B', 'A', 'D', 'C'}, kBstr, kAll, kAll, 2, 0, 4, true, 0, 4, "ABCD"},
        // clang-format on
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        const uint8_t* bytes = r.bytes.empty() ? nullptr : r.bytes.data();
        OwnedVariant out;
        out.v.ullVal = ~uint64_t{0};
        EXPECT_EQ(DecodeItem(bytes, r.bytes.size(), r.unitSize, r.vt, r.itemMask, r.nameMask,
                             r.wordOrder, r.length, &out.v),
                  r.ok);
        ASSERT_EQ(out.v.vt, r.vt);
        if (r.vt == kBstr) {
            EXPECT_EQ(Narrow(out.v.bstrVal ? out.v.bstrVal : W16("-")), r.text ? r.text : "-");
        } else {
            EXPECT_EQ(NumberOf(out.v), r.value);
        }
        EXPECT_EQ(ValueBytes(bytes, r.bytes.size(), r.vt, r.itemMask, r.length), r.valueBytes);
    }
    // Any longer length reads 1024 bytes and no more.
    Bytes big(1024, 'x');
    OwnedVariant out;
    EXPECT_FALSE(DecodeItem(big.data(), 1023, 2, kBstr, kAll, kAll, 0, 5000, &out.v));
    for (uint16_t length : {1025, 5000}) {
        OwnedVariant text;
        ASSERT_TRUE(DecodeItem(big.data(), 1024, 2, kBstr, kAll, kAll, 0, length, &text.v));
        EXPECT_EQ(plat::BstrLen(text.v.bstrVal), 1024u);
    }
}

TEST(ItemCodecDeliver, FloatsSaturateAndTextsStayInTheHostBuffer) {
    struct Row {
        Variant v;
        int32_t dest, size; // the destination and its bytes
        int64_t expected;   // its low bytes are what lands
    };
    const Row rows[] = {
        // clang-format off
        {Single(1e30f), TypeI32, 4, INT32_MAX}, {Single(-1e30f), TypeI32, 4, INT32_MIN},
        {Double(1e30), TypeU16, 2, 0xFFFF}, {Double(-5.5), TypeU32, 4, 0},
        {Double(-5.5), TypeI8, 1, -5}, {Double(kNaN), TypeI64, 8, 0},
        {Double(1e300), TypeI64, 8, INT64_MAX}, {Double(-1e300), TypeI64, 8, INT64_MIN},
        // Integers keep value conversion's rule: copied, extended or their
        // low bits, as a host lays out a word it reads as signed.
        {Num(kUi4, 3000000000u), TypeI32, 4, -1294967296},
        {Num(kUi4, 3000000000u), TypeU16, 2, 0x5E00}, {Num(kI2, 0xFFFB), TypeU16, 2, 0xFFFB},
        {Num(kI2, 0xFFFB), TypeI64, 8, -5}, {Num(kI4, 0xFFFFFF38), TypeI8, 1, 0x38},
        {Num(kI4, 0xFFFFFF38), TypeU64, 8, -200}, {Num(kUi2, 256), TypeBool, 1, 1},
        {Num(kUi2, 0x1234), TypeDefault, 2, 0x1234},
        // clang-format on
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << "row " << (&r - rows));
        uint8_t buf[9];
        std::memset(buf, 0xA5, sizeof buf);
        int32_t count = -1;
        ASSERT_TRUE(DeliverValue(r.v, r.v.vt, r.dest, buf, 1, &count));
        EXPECT_EQ(count, 1);
        // The destination's bytes; the byte after them untouched.
        EXPECT_EQ(LittleEndianOf(buf, r.size),
                  static_cast<uint64_t>(r.expected) & (~uint64_t{0} >> (64 - 8 * r.size)));
        EXPECT_EQ(buf[r.size], 0xA5);
    }
    int32_t count = 77;
    uint8_t buf[8] = {};
    EXPECT_FALSE(DeliverValue(Num(kUi2, 1), kUi2, 13, buf, 1, &count));
    EXPECT_EQ(count, 77);

    // Texts: never past the capacity, terminator included; a number that
    // does not fit whole is refused, a text is cut (never inside a pair).
    const OwnedVariant str(std::string(1024, 'q')), pair("ab\xF0\x9F\x98\x80");
    struct Text {
        const Variant* v;
        int32_t capacity, count; // count 77: refused
        std::string text;
    };
    const Variant word = Num(kUi2, 4660);
    const Text texts[] = {
        // clang-format off
        {&word, 5, 1, "4660"}, {&word, 4, 77, ""}, {&word, 0, 77, ""},
        {&str.v, 2000, 1023, std::string(1023, 'q')}, {&str.v, 3, 2, "qq"}, {&str.v, 0, 77, ""},
        {&str.v, -1, 77, ""}, {&pair.v, 4, 2, "ab"}, {&pair.v, 5, 4, "ab\xF0\x9F\x98\x80"},
        // clang-format on
    };
    for (const Text& t : texts) {
        SCOPED_TRACE(testing::Message() << t.text << " in " << t.capacity);
        std::vector<WChar> out(1100, 0x7E7E);
        count = 77;
        const bool ok = t.count != 77;
        EXPECT_EQ(DeliverValue(*t.v, t.v->vt, TypeText, out.data(), t.capacity, &count), ok);
        EXPECT_EQ(count, t.count);
        EXPECT_EQ(ok ? Narrow(out.data()) : "", t.text);
        for (size_t i = ok ? plat::WStrLen(out.data()) + 1 : 0; i < out.size(); ++i)
            ASSERT_EQ(out[i], 0x7E7E) << "unit " << i;
    }
}
// A host value laid out as the host lays it out.
struct HostIn {
    int32_t type;
    Bytes bytes;
};
HostIn Int(int32_t type, int64_t i) {
    Bytes b(8);
    for (int k = 0; k < 8; ++k)
        b[k] = static_cast<uint8_t>(static_cast<uint64_t>(i) >> (8 * k));
    return {type, b};
}
HostIn Real(int32_t type, double f) {
    const float single = static_cast<float>(f);
    Bytes b(8);
    std::memcpy(b.data(), type == TypeF32 ? static_cast<const void*>(&single) : &f,
                type == TypeF32 ? 4 : 8);
    return {type, b};
}
HostIn Text(const char* text) {
    const testutil::WString w = W(text);
    const auto* p = reinterpret_cast<const uint8_t*>(w.c_str());
    return {TypeText, Bytes(p, p + (w.size() + 1) * sizeof(WChar))};
}

TEST(ItemCodecConvert, HostValuesToItemTypes) {
    struct Row {
        HostIn in;
        uint16_t vt;
        double number;              // numeric items; NaN: refused
        const char* text = nullptr; // text items
        int32_t count = 1;
    };
    const float kTenth = 0.1f;
    const Row rows[] = {
        // clang-format off
        // "0x" anywhere: hexadecimal from the start.
        {Text("0x10"), kUi2, 16}, {Text("0X10"), kUi2, 16}, {Text("0o17"), kUi2, 15},
        {Text("12.9"), kUi2, 12}, {Text("3e9"), kI2, -1},
        {Text("-3.7"), kI2, -3}, {Text("10x5"), kI4, 16}, {Text(" -0x10"), kI4, -16},
        {Text("0xFFFFFFFF"), kI4, -1}, {Text("70000"), kI2, 4464}, {Text("300.7"), kUi1, 44},
        {Text("0x1A.8"), kR4, 26.5}, {Text("0x.8"), kR4, 0.5}, {Text("0x1G"), kR4, kNaN},
        {Text("0x1.8.8"), kR4, kNaN}, {Text("0.1"), kR4, kTenth}, {Text("true"), kBool, -1},
        {Text("True"), kBool, 0}, {Text("0.5"), kBool, -1}, {Real(TypeF64, kNaN), kBool, -1},
        {Real(TypeF64, -3.7), kI2, -3}, {Real(TypeF64, 3e9), kUi4, 3e9},
        // Beyond the intermediate integer (32-bit for 8- and 16-bit items,
        // 64-bit for 32-bit items) the value saturates there, then is cut.
        {Real(TypeF64, 1e30), kI2, -1}, {Real(TypeF64, 1e30), kUi4, 4294967295.0},
        {Real(TypeF64, kNaN), kI4, 0}, {Int(TypeI8, -1), kUi2, 255},
        {Int(TypeI8, -1), kUi4, 4294967295.0}, {Int(TypeU16, 0xFFFF), kI4, 65535},
        {Int(TypeU16, 0x1FF), kI1, -1}, {Real(TypeF32, 0.1), kR8, kTenth},
        {Int(TypeU16, 5), plat::kVtI8, 5}, // made as VT_I4
        {Int(TypeU8, 7), kBstr, 0, "1"}, {Int(TypeI16, -12), kBstr, 0, "-12", 3},
        {Int(TypeU64, -1), kBstr, 0, "18446744073709551615", 20},
        {Real(TypeF64, 2.5), kBstr, 0, "2.5", 3}, {Real(TypeF64, 2.0), kBstr, 0, "2"},
        {Real(TypeF64, -0.25), kBstr, 0, "-0.25", 5}, {Real(TypeF32, 0.1), kBstr, 0, "0.1", 3},
        {Text("h\xC3\xA9llo"), kBstr, 0, "h\xC3\xA9llo", 5},
        {Int(TypeDefault, 5), kI4, kNaN, nullptr, 0}, {Int(13, 5), kBstr, kNaN, nullptr, 0},
        // clang-format on
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << "row " << (&r - rows) << " to " << r.vt);
        OwnedVariant out;
        int32_t count = -7;
        const bool ok = !std::isnan(r.number);
        EXPECT_EQ(ConvertHostValue(r.in.type, r.in.bytes.data(), -1, r.vt, &out.v, &count), ok);
        EXPECT_EQ(count, r.count);
        if (!ok) {
            EXPECT_EQ(out.v.vt, plat::kVtEmpty);
        } else if (r.text != nullptr) {
            ASSERT_EQ(out.v.vt, kBstr);
            EXPECT_EQ(Narrow(out.v.bstrVal), r.text);
        } else {
            EXPECT_EQ(out.v.vt, r.vt == plat::kVtI8 ? kI4 : r.vt);
            EXPECT_EQ(NumberOf(out.v), r.number);
        }
    }
    // Length 0 makes an empty text.
    OwnedVariant out;
    int32_t count = -1;
    ASSERT_TRUE(ConvertHostValue(TypeText, W16("abc"), 0, kBstr, &out.v, &count));
    EXPECT_EQ(Narrow(out.v.bstrVal), "");
    EXPECT_EQ(count, 0);
}

TEST(ItemCodecStage, BytesAndMasksInPlcOrder) {
    struct Row {
        const char* what;
        Variant v;
        uint32_t vt, itemMask, nameMask, wordOrder;
        const char *data, *mask;
        uint32_t unitSize = 1;
    };
    const Row rows[] = {
        {"word", Num(kUi2, 5), kUi2, kAll, kAll, 0, "00 05", "FF FF"},
        {"Bit3", Num(kUi2, 1), kUi2, kAll, 8, 0, "00 08", "00 08"},
        {"bit item off", Num(kUi2, 0), kUi2, 0x04, kAll, 0, "00", "04"},
        {"long mode 0", Num(kI4, 0x12345678), kI4, kAll, kAll, 0, "12 34 56 78", "FF FF FF FF"},
        {"long mode 1", Num(kUi4, 0x12345678), kUi4, kAll, kAll, 1, "56 78 12 34", "FF FF FF FF"},
        {"long Bit20", Num(kI4, 7), kI4, kAll, 1u << 20, 1, "00 00 00 10", "00 00 00 10"},
        {"float", Single(26.5f), kR4, kAll, 8, 1, "00 00 41 D4", "FF FF FF FF"},
        {"bool", Num(kBool, 0xFFFF), kBool, kAll, kAll, 0, "01", "FF"},
        {"bool Bit3", Num(kBool, 0xFFFF), kBool, kAll, 8, 0, "08", "08"},
        {"byte Bit2", Num(kI1, 3), kI1, kAll, 4, 0, "04", "04"},
        {"changed type", Num(kI4, 0x1234), kUi2, kAll, kAll, 0, "12 34", "FF FF"},
        // On a word: the low byte, the second in PLC order, the high untouched.
        {"bool on a word", Num(kBool, 0), kBool, kAll, kAll, 0, "00 00", "00 FF", 2},
        {"byte on a word", Num(kI1, 0xFB), kI1, kAll, kAll, 0, "00 FB", "00 FF", 2},
        {"byte Bit2 on a word", Num(kUi1, 1), kUi1, kAll, 4, 0, "00 04", "00 04", 2},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        StagedBytes s;
        ASSERT_TRUE(
            BuildStaging(r.v, r.vt, r.itemMask, r.nameMask, r.wordOrder, 0, &s, r.unitSize));
        EXPECT_EQ(Hex(s.data, s.count), r.data);
        EXPECT_EQ(Hex(s.mask, s.count), r.mask);
        ASSERT_EQ(s.typeCount, s.count);
        EXPECT_EQ(s.type[0], r.vt);
        EXPECT_EQ(Hex(s.type + 1, s.count - 1), Hex(Bytes(8, 0).data(), s.count - 1));
    }
    StagedBytes s;
    for (uint16_t vt : {uint16_t{0}, uint16_t{plat::kVtI8}}) {
        EXPECT_FALSE(BuildStaging(Num(kI4, 1), vt, kAll, kAll, 0, 0, &s)) << vt;
        EXPECT_EQ(s.count, 0);
    }
}

TEST(ItemCodecStage, WhatIsStagedDecodesToTheSameValue) {
    // The scan turns PLC order into host order by swapping each pair.
    const Variant values[] = {Num(kI4, 0x12345678), Num(kUi4, 0xFEDCBA98), Single(-1234.5f),
                              Num(kI2, 0x8001),     Double(-1234.0625e10), Num(kI1, 0xFB),
                              Num(kUi1, 0x80),      Num(kBool, 0),         Num(kBool, 0xFFFF)};
    for (int mode = 0; mode < 2; ++mode) {
        for (const Variant& v : values) {
            SCOPED_TRACE(testing::Message() << "mode " << mode << " vt " << v.vt);
            StagedBytes s;
            ASSERT_TRUE(BuildStaging(v, v.vt, kAll, kAll, mode, 0, &s, 2));
            // The other byte of the unit holds the opposite of the value.
            Bytes host(s.data, s.data + s.count);
            for (int i = 0; i < s.count; ++i)
                host[i] = static_cast<uint8_t>((s.data[i] & s.mask[i]) | (~s.data[i] & ~s.mask[i]));
            for (size_t i = 0; i + 1 < host.size(); i += 2)
                std::swap(host[i], host[i + 1]);
            OwnedVariant back;
            ASSERT_TRUE(
                DecodeItem(host.data(), host.size(), 2, v.vt, kAll, kAll, mode, 0, &back.v));
            EXPECT_EQ(NumberOf(back.v), NumberOf(v));
        }
    }
}

TEST(ItemCodecStage, TextsWithTheirNulAndSpan) {
    struct Row {
        const char* what;
        std::string text;
        uint16_t length;
        const char* data;     // masked 0xFF throughout
        int typeCount, units; // units: what the host is told was written
    };
    const Row rows[] = {
        {"padded to length + 1", "AB", 4, "41 42 00 00 00", 2, 2},
        {"cut to the length", "ABCDEF", 4, "41 42 43 44 00", 4, 4},
        {"no length: the text and its NUL", "AB", 0, "41 42 00", 2, 2},
        {"a character is never split", "a\xC3\xA9", 2, "61 00 00", 1, 1},
        {"two of three kept", "\xC3\xA9\xC3\xA9\xC3\xA9", 5, "C3 A9 C3 A9 00 00", 4, 2},
        {"a pair counts two", "\xF0\x9F\x98\x80", 4, "F0 9F 98 80 00", 4, 2},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        const OwnedVariant v(r.text);
        StagedBytes s;
        ASSERT_TRUE(BuildStaging(v.v, kBstr, kAll, kAll, 0, r.length, &s));
        EXPECT_EQ(Hex(s.data, s.count), r.data);
        EXPECT_EQ(Hex(s.mask, s.count), Hex(Bytes(s.count, 0xFF).data(), s.count));
        EXPECT_EQ(s.typeCount, r.typeCount);
        EXPECT_EQ(s.textUnits, r.units);
        EXPECT_EQ(s.type[0], kBstr);
    }
    // The longest text fills every staged byte: 1024 of text and the NUL.
    const OwnedVariant big(std::string(2000, 'z'));
    StagedBytes s;
    ASSERT_TRUE(BuildStaging(big.v, kBstr, kAll, kAll, 0, 0, &s));
    EXPECT_EQ(s.count, 1025);
    EXPECT_EQ(Hex(s.data + 1023, 2), "7A 00");
}

TEST(ItemCodecStage, MergeKeepsEarlierBitsAndStaysInRoom) {
    uint8_t data[4] = {}, mask[4] = {}, type[4] = {};
    const auto stage = [&](uint64_t value, uint16_t vt, uint32_t nameMask, int32_t room) {
        StagedBytes s;
        ASSERT_TRUE(BuildStaging(Num(vt, value), vt, kAll, nameMask, 0, 0, &s));
        MergeStaged(s, data, mask, type, room);
    };
    stage(1, kUi2, 8, 4);
    stage(1, kUi2, 1, 4);
    EXPECT_EQ(Hex(data, 2) + " / " + Hex(mask, 2), "00 09 / 00 09");
    stage(0, kUi2, 8, 4); // clears only its own bit
    EXPECT_EQ(Hex(data, 2) + " / " + Hex(mask, 2), "00 01 / 00 09");
    stage(0xABCD, kUi2, kAll, 4);
    EXPECT_EQ(Hex(data, 2) + " / " + Hex(mask, 2), "AB CD / FF FF");

    std::memset(data, 0xEE, 4);
    std::memset(mask, 0, 4);
    std::memset(type, 0xEE, 4);
    stage(0x12345678, kI4, kAll, 2);
    EXPECT_EQ(Hex(data, 4) + " / " + Hex(mask, 4) + " / " + Hex(type, 4),
              "12 34 EE EE / FF FF 00 00 / 03 00 EE EE");
    stage(0, kI4, kAll, 0);
    EXPECT_EQ(Hex(data, 4), "12 34 EE EE");
}

} // namespace
