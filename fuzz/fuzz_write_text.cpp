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

#include "FuzzKit.h"
#include "NimbroDriver.h"
#include "driver/ItemCodec.h"
#include "platform/variant.h"

namespace {

using fuzz::Check;

// Item types and the bytes a write of each stages; the last two are no item
// type and made as 32-bit integers.
const uint16_t kTypes[] = {plat::kVtBool, plat::kVtI1,   plat::kVtUi1,   plat::kVtI2,
                           plat::kVtUi2,  plat::kVtI4,   plat::kVtUi4,   plat::kVtR4,
                           plat::kVtR8,   plat::kVtBstr, plat::kVtEmpty, plat::kVtI8};
const int kWidths[] = {1, 1, 1, 2, 2, 4, 4, 4, 8, 0, 4, 4};

enum Mode { kRaw, kDecimal, kHex, kOctal, kHexFraction, kFloat, kModes };

std::string Digits(uint64_t v, int base, bool upper) {
    const char* d = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string s;
    do {
        s.insert(s.begin(), d[v % static_cast<uint64_t>(base)]);
        v /= static_cast<uint64_t>(base);
    } while (v);
    return s;
}

// Decimal text as an integer item takes it: truncated, saturated at the
// intermediate's ends.
uint64_t DecimalBits(double d, bool narrow) {
    const double hi = narrow ? 2147483648.0 : 9223372036854775808.0;
    const int64_t max = narrow ? INT32_MAX : INT64_MAX, min = narrow ? INT32_MIN : INT64_MIN;
    return static_cast<uint64_t>(std::isnan(d)                     ? 0
                                 : d >= hi                         ? max
                                 : d <= -hi - (narrow ? 1.0 : 0.0) ? min
                                                                   : static_cast<int64_t>(d));
}

struct Built {
    std::string text;   // ASCII
    bool known = false; // the value below holds
    double decimal = 0; // strtod of the text, blanks skipped
    bool radix = false; // hexadecimal or octal integer
    uint64_t radixBits = 0;
    double signedValue = 0;  // the octal integer with its sign
    bool hexFloatOk = false; // a float item takes it as a hexadecimal fraction
    double hexFloat = 0;
};

Built Build(Mode mode, fuzz::Input& in) {
    Built b;
    const uint8_t deco = in.Byte();
    const std::string blanks(deco & 3, ' ');
    const bool negative = (deco & 4) != 0, upper = (deco & 8) != 0;
    switch (mode) {
    case kDecimal: {
        const int64_t k = static_cast<int64_t>(in.Le(8)) >> (deco >> 4);
        b.text = blanks + (negative && k >= 0 ? "+" : "") + std::to_string(k);
        break;
    }
    case kFloat: {
        double d;
        const uint64_t bits = in.Le(8);
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
        const uint32_t v = static_cast<uint32_t>(in.Le(4));
        const bool hex = mode == kHex;
        b.text = blanks + (negative ? "-" : "") + "0" +
                 (hex ? (upper ? "X" : "x") : (upper ? "O" : "o")) + Digits(v, hex ? 16 : 8, upper);
        b.radix = true;
        b.radixBits = negative ? (0 - uint64_t{v}) & 0xFFFFFFFFu : v;
        b.signedValue = negative ? -static_cast<double>(v) : v;
        b.hexFloatOk = hex && blanks.empty() && !negative;
        b.hexFloat = v;
        break;
    }
    case kHexFraction: {
        const uint32_t whole = static_cast<uint32_t>(in.Le(3));
        const int places = 1 + (deco >> 5) % 6;
        const uint32_t frac = static_cast<uint32_t>(in.Le(3)) & ((1u << (4 * places)) - 1);
        const bool noWhole = (deco & 16) != 0;
        std::string f = Digits(frac, 16, upper);
        f.insert(f.begin(), static_cast<size_t>(places) - f.size(), '0');
        b.text =
            std::string(upper ? "0X" : "0x") + (noWhole ? "" : Digits(whole, 16, upper)) + "." + f;
        b.radix = b.hexFloatOk = true;
        b.radixBits = noWhole ? 0 : whole;
        b.hexFloat = (noWhole ? 0.0 : whole) + frac / std::pow(16.0, places);
        break;
    }
    default:
        return b;
    }
    b.known = true;
    // The decimal reading skips blanks; hexadecimal and octal texts read "0"
    // (or "-0") there.
    b.decimal = b.radix ? 0.0 : std::strtod(b.text.c_str(), nullptr);
    return b;
}

// Equal bits, or both zero.
template <typename T> bool SameNumber(T a, T b) {
    return std::memcmp(&a, &b, sizeof a) == 0 || (a == 0 && b == 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2)
        return 0;
    fuzz::Input in{data, size};
    const size_t typeIndex = in.Byte() % (sizeof kTypes / sizeof kTypes[0]);
    const uint16_t vt = kTypes[typeIndex];
    const int width = kWidths[typeIndex];
    const Mode mode = static_cast<Mode>(data[1] % kModes);
    const bool emptyLength = (in.Byte() & 0x80) != 0;

    Built built;
    std::vector<WChar> text;
    if (mode == kRaw) {
        text = in.Units();
    } else {
        built = Build(mode, in);
        const std::basic_string<WChar> w = fuzz::Wide(built.text);
        text.assign(w.begin(), w.end());
    }
    const size_t units = fuzz::Length(text.data(), text.size());
    const std::unique_ptr<WChar[]> block = fuzz::Exact(text);
    const int32_t length = emptyLength ? 0 : static_cast<int32_t>(units);

    plat::Variant out;
    std::memset(&out, 0xCD, sizeof out);
    int32_t count = -7;
    const bool ok = ConvertHostValue(TypeText, block.get(), length, vt, &out, &count);
    const std::string& shown = built.text;

    const uint16_t target = typeIndex >= 10 ? uint16_t{plat::kVtI4} : vt;
    if (!ok) {
        Check(target == plat::kVtR4 || target == plat::kVtBstr,
              "a text was refused by a type that takes every text", shown);
        Check(out.vt == plat::kVtEmpty && count == (target == plat::kVtR4 ? 1 : 0),
              "a refusal left a value or a wrong count", shown);
        Check(!built.known || target != plat::kVtR4 || (mode == kHex && !built.hexFloatOk),
              "a float item refused a well-formed text", shown);
        return 0;
    }
    Check(out.vt == target, "the VARIANT has another type", shown);
    if (target == plat::kVtBstr) {
        const size_t want = length == 0 ? 0 : units;
        Check(fuzz::Length(out.bstrVal, SIZE_MAX) == want && static_cast<size_t>(count) == want &&
                  std::memcmp(out.bstrVal, block.get(), want * sizeof(WChar)) == 0,
              "a text item did not get the text", shown);
    } else {
        Check(count == 1, "a number did not count 1", shown);
    }

    if (built.known) {
        switch (target) {
        case plat::kVtBool:
            Check((out.boolVal == plat::kVariantTrue) != (built.decimal == 0.0) &&
                      (out.boolVal == plat::kVariantTrue || out.boolVal == plat::kVariantFalse),
                  "boolean", shown);
            break;
        case plat::kVtR4: {
            Check(mode != kHex || built.hexFloatOk,
                  "a float item took a hexadecimal text with a sign or blanks", shown);
            const double want = mode == kHex || mode == kHexFraction ? built.hexFloat
                                : mode == kOctal                     ? built.signedValue
                                                                     : built.decimal;
            Check(SameNumber(static_cast<float>(want), out.fltVal), "float item", shown);
            break;
        }
        case plat::kVtR8:
            Check(SameNumber(built.decimal, out.dblVal), "double item", shown);
            break;
        case plat::kVtBstr:
            break;
        default: {
            const bool byteItem = width == 1;
            const uint64_t want = built.radix && !byteItem
                                      ? built.radixBits
                                      : DecimalBits(built.decimal, target != plat::kVtUi4);
            const uint64_t got = width == 1 ? out.bVal : width == 2 ? out.uiVal : out.ulVal;
            Check(got == (want & ((uint64_t{1} << (8 * width)) - 1)), "integer item", shown);
        }
        }
    }

    // What a write of it stages stays within its bounds.
    StagedBytes staged;
    std::memset(&staged, 0xCD, sizeof staged);
    const uint16_t stringLength = static_cast<uint16_t>(data[0] * 5);
    if (BuildStaging(out, target, kAllBits, kAllBits, data[1] & 1, stringLength, &staged)) {
        Check(staged.count >= 1 && staged.count <= kMaxTextBytes + 1 && staged.typeCount >= 1 &&
                  staged.typeCount <= staged.count,
              "staged byte count", shown);
        Check(target == plat::kVtBstr || staged.count == width, "staged width", shown);
    }
    plat::VariantClear(&out);
    return 0;
}
