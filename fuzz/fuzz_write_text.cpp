// The write text rules: ConvertHostValue with a host text to every item type
// (and to a type no item has, which is made as a 32-bit integer), then the
// bytes a write would stage. Texts are either arbitrary or built here as
// decimal integers, decimal floating values, hexadecimal and octal integers
// and hexadecimal fractions; for the built ones the value is known and
// checked against the C library's reading of the same text:
//   - integer items: decimal text truncated toward zero through a signed
//     32-bit intermediate (8-, 16-bit and signed 32-bit items) or a signed
//     64-bit one (unsigned 32-bit items), saturating there; "0x" / "0o" texts
//     as hexadecimal / octal (a leading '-' negates modulo 2^32), except on
//     8-bit items, which read every text as decimal; the item keeps the low
//     bits;
//   - 32-bit float items: decimal text as strtod rounds it to float; octal
//     with its sign; a hexadecimal text only as "0x" digits [ "." digits ],
//     anything else there refused (count 1, nothing made);
//   - 64-bit float items and booleans: decimal only; "true" and "false";
//   - text items: the text itself, or an empty one for length 0.
// For every text: nothing read past it (heap block of its exact size), the
// VARIANT of the item's type or empty on failure, the count as documented,
// and staged bytes within their bounds.
//
// Input: byte 0 picks the item type, byte 1 the kind of text (and whether
// length 0 is passed), the rest is the text or the number it is built from.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "NimbroDriver.h"
#include "driver/ItemCodec.h"
#include "platform/codepage.h"
#include "platform/variant.h"

namespace {

[[noreturn]] void Fail(const char* what, const std::string& text = std::string()) {
    std::fprintf(stderr, "fuzz_write_text: %s [%s]\n", what, text.c_str());
    std::abort();
}

const uint16_t kTypes[] = {plat::kVtBool, plat::kVtI1,   plat::kVtUi1,   plat::kVtI2,
                           plat::kVtUi2,  plat::kVtI4,   plat::kVtUi4,   plat::kVtR4,
                           plat::kVtR8,   plat::kVtBstr, plat::kVtEmpty, plat::kVtI8};

enum Mode { kRaw, kDecimal, kHex, kOctal, kHexFraction, kFloat, kModes };

uint64_t Take(const uint8_t*& p, size_t& n, int bytes) {
    uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) {
        v |= static_cast<uint64_t>(n ? *p : 0) << (8 * i);
        if (n) {
            ++p;
            --n;
        }
    }
    return v;
}

std::string Digits(uint64_t v, int base, bool upper) {
    const char* d = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string s;
    do {
        s.insert(s.begin(), d[v % static_cast<uint64_t>(base)]);
        v /= static_cast<uint64_t>(base);
    } while (v);
    return s;
}

int64_t Trunc(double d, double lo, double hi, int64_t min, int64_t max) {
    if (std::isnan(d))
        return 0;
    if (d >= hi)
        return max;
    if (d <= lo)
        return min;
    return static_cast<int64_t>(d);
}

// Decimal text as an integer item takes it.
uint64_t DecimalBits(double d, bool narrow) {
    if (narrow)
        return static_cast<uint64_t>(Trunc(d, -2147483649.0, 2147483648.0, INT32_MIN, INT32_MAX));
    return static_cast<uint64_t>(
        Trunc(d, -9223372036854775809.0, 9223372036854775808.0, INT64_MIN, INT64_MAX));
}

struct Built {
    std::string text;   // ASCII
    bool known = false; // the value below holds
    double decimal = 0; // strtod of the text, blanks skipped
    bool radix = false; // hexadecimal or octal integer
    uint64_t radixBits = 0;
    bool negative = false;
    uint32_t magnitude = 0;
    bool hexFloatOk = false; // a float item takes it as a hexadecimal fraction
    double hexFloat = 0;
};

Built Build(Mode mode, const uint8_t*& p, size_t& n) {
    Built b;
    const uint8_t deco = static_cast<uint8_t>(Take(p, n, 1));
    const std::string blanks(deco & 3, ' ');
    const bool negative = (deco & 4) != 0;
    const bool upper = (deco & 8) != 0;
    switch (mode) {
    case kDecimal: {
        const int64_t k = static_cast<int64_t>(Take(p, n, 8)) >> (deco >> 4);
        b.text = blanks + ((deco & 4) && k >= 0 ? "+" : "") + std::to_string(k);
        break;
    }
    case kFloat: {
        double d;
        const uint64_t bits = Take(p, n, 8);
        std::memcpy(&d, &bits, sizeof d);
        if (!std::isfinite(d))
            d = static_cast<double>(static_cast<int64_t>(bits)) / 65536.0;
        char buf[64];
        std::snprintf(buf, sizeof buf, (deco & 16) ? "%.17g" : "%.6f", d);
        b.text = blanks + buf;
        break;
    }
    case kHex:
    case kOctal: {
        const uint32_t v = static_cast<uint32_t>(Take(p, n, 4));
        const bool hex = mode == kHex;
        b.text = blanks + (negative ? "-" : "") + "0" +
                 (hex ? (upper ? "X" : "x") : (upper ? "O" : "o")) + Digits(v, hex ? 16 : 8, upper);
        b.radix = true;
        b.radixBits = negative ? (0 - uint64_t{v}) & 0xFFFFFFFFu : v;
        b.negative = negative;
        b.magnitude = v;
        b.hexFloatOk = hex && blanks.empty() && !negative;
        b.hexFloat = v;
        break;
    }
    case kHexFraction: {
        const uint32_t whole = static_cast<uint32_t>(Take(p, n, 3));
        const int places = 1 + (deco >> 5) % 6;
        const uint32_t frac = static_cast<uint32_t>(Take(p, n, 3)) & ((1u << (4 * places)) - 1);
        std::string f = Digits(frac, 16, upper);
        f.insert(f.begin(), static_cast<size_t>(places) - f.size(), '0');
        b.text = std::string(upper ? "0X" : "0x") + ((deco & 16) ? "" : Digits(whole, 16, upper)) +
                 "." + f;
        b.radix = true;
        b.radixBits = (deco & 16) ? 0 : whole;
        b.hexFloatOk = true;
        b.hexFloat = ((deco & 16) ? 0.0 : whole) + frac / std::pow(16.0, places);
        break;
    }
    default:
        return b;
    }
    b.known = true;
    // The decimal reading skips blanks; hexadecimal and octal texts read "0"
    // (or "-0") there.
    b.decimal = std::strtod(b.text.c_str(), nullptr);
    if (b.radix)
        b.decimal = 0.0;
    return b;
}

uint64_t IntegerOf(const plat::Variant& v, uint16_t vt) {
    switch (vt) {
    case plat::kVtI1:
    case plat::kVtUi1:
        return v.bVal;
    case plat::kVtI2:
    case plat::kVtUi2:
        return v.uiVal;
    default:
        return v.ulVal;
    }
}

uint64_t WidthMask(uint16_t vt) {
    switch (vt) {
    case plat::kVtI1:
    case plat::kVtUi1:
        return 0xFF;
    case plat::kVtI2:
    case plat::kVtUi2:
        return 0xFFFF;
    default:
        return 0xFFFFFFFFu;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2)
        return 0;
    const uint16_t vt = kTypes[data[0] % (sizeof kTypes / sizeof kTypes[0])];
    const Mode mode = static_cast<Mode>(data[1] % kModes);
    const bool emptyLength = (data[1] & 0x80) != 0;
    const uint8_t* p = data + 2;
    size_t n = size - 2;

    Built built;
    std::vector<WChar> text;
    if (mode == kRaw) {
        for (size_t i = 0; i + 1 < n; i += 2)
            text.push_back(static_cast<WChar>(p[i] | p[i + 1] << 8));
    } else {
        built = Build(mode, p, n);
        for (char c : built.text)
            text.push_back(static_cast<WChar>(c));
    }
    size_t units = 0;
    while (units < text.size() && text[units])
        ++units;
    // Exactly the text and its terminator.
    std::unique_ptr<WChar[]> block(new WChar[text.size() + 1]);
    if (!text.empty())
        std::memcpy(block.get(), text.data(), text.size() * sizeof(WChar));
    block[text.size()] = 0;
    const int32_t length = emptyLength ? 0 : static_cast<int32_t>(units);

    plat::Variant out;
    std::memset(&out, 0xCD, sizeof out);
    int32_t count = -7;
    const bool ok = ConvertHostValue(TypeText, block.get(), length, vt, &out, &count);
    const std::string shown = built.text;

    const bool itemType = vt != plat::kVtEmpty && vt != plat::kVtI8;
    const uint16_t target = itemType ? vt : uint16_t{plat::kVtI4};
    if (!ok) {
        if (target != plat::kVtR4 && target != plat::kVtBstr)
            Fail("a text was refused by a type that takes every text", shown);
        if (out.vt != plat::kVtEmpty || count != (target == plat::kVtR4 ? 1 : 0))
            Fail("a refusal left a value or a wrong count", shown);
        if (built.known && target == plat::kVtR4 && !(mode == kHex && !built.hexFloatOk))
            Fail("a float item refused a well-formed text", shown);
        return 0;
    }
    if (out.vt != target)
        Fail("the VARIANT has another type", shown);

    if (target == plat::kVtBstr) {
        const size_t made = plat::WStrLen(out.bstrVal);
        const size_t want = length == 0 ? 0 : units;
        if (made != want || static_cast<size_t>(count) != want ||
            std::memcmp(out.bstrVal, block.get(), want * sizeof(WChar)) != 0)
            Fail("a text item did not get the text", shown);
    } else if (count != 1) {
        Fail("a number did not count 1", shown);
    }

    if (built.known) {
        switch (target) {
        case plat::kVtBool:
            if ((out.boolVal == plat::kVariantTrue) != (built.decimal != 0.0) ||
                (out.boolVal != plat::kVariantTrue && out.boolVal != plat::kVariantFalse))
                Fail("boolean", shown);
            break;
        case plat::kVtR4: {
            float want;
            if (mode == kHex && !built.hexFloatOk)
                Fail("a float item took a hexadecimal text with a sign or blanks", shown);
            if (mode == kHex || mode == kHexFraction)
                want = static_cast<float>(built.hexFloat);
            else if (mode == kOctal)
                want = static_cast<float>(built.negative ? -static_cast<double>(built.magnitude)
                                                         : static_cast<double>(built.magnitude));
            else
                want = static_cast<float>(built.decimal);
            if (std::memcmp(&want, &out.fltVal, sizeof want) != 0 &&
                !(want == 0 && out.fltVal == 0))
                Fail("float item", shown);
            break;
        }
        case plat::kVtR8:
            if (std::memcmp(&built.decimal, &out.dblVal, sizeof(double)) != 0 &&
                !(built.decimal == 0 && out.dblVal == 0))
                Fail("double item", shown);
            break;
        case plat::kVtBstr:
            break;
        default: {
            const bool byteItem = target == plat::kVtI1 || target == plat::kVtUi1;
            const bool narrow = byteItem || target == plat::kVtI2 || target == plat::kVtUi2 ||
                                target == plat::kVtI4;
            uint64_t want;
            if (built.radix && !byteItem)
                want = built.radixBits;
            else
                want = DecimalBits(built.decimal, narrow);
            if (IntegerOf(out, target) != (want & WidthMask(target)))
                Fail("integer item", shown);
            break;
        }
        }
    }

    // What a write of it stages stays within its bounds.
    StagedBytes staged;
    std::memset(&staged, 0xCD, sizeof staged);
    const uint16_t stringLength = static_cast<uint16_t>(data[0] * 5);
    if (BuildStaging(out, target, kAllBits, kAllBits, data[1] & 1, stringLength, &staged)) {
        if (staged.count < 1 || staged.count > kMaxTextBytes + 1 || staged.typeCount < 1 ||
            staged.typeCount > staged.count)
            Fail("staged byte count", shown);
        if (target != plat::kVtBstr) {
            const int width =
                target == plat::kVtR8                                                        ? 8
                : (target == plat::kVtI4 || target == plat::kVtUi4 || target == plat::kVtR4) ? 4
                : (target == plat::kVtI2 || target == plat::kVtUi2)                          ? 2
                                                                                             : 1;
            if (staged.count != width)
                Fail("staged width", shown);
        }
    }
    plat::VariantClear(&out);
    return 0;
}
