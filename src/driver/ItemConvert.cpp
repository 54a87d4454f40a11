// A host value converted into the VARIANT of an item's type.
#include "driver/ItemCodec.h"

#include <cstring>
#include <limits>

#include "driver/ItemCodecShared.h"
#include "platform/ascii.h"
#include "platform/codepage.h"
#include "support/Strings.h"
#include "support/ValueConvert.h"

// Narrowing a double to a float relies on IEEE 754 (out of range gives an
// infinity), as in the value conversion.
static_assert(std::numeric_limits<float>::is_iec559 && std::numeric_limits<double>::is_iec559,
              "IEEE 754 floating types required");

using namespace codec;
using plat::Variant;

namespace {

bool IsSpace(WChar c) {
    return c == u' ' || (c >= u'\t' && c <= u'\r');
}

bool EqualsExact(const WChar* text, const char* word) {
    for (; *word != 0; ++text, ++word)
        if (*text != static_cast<WChar>(*word))
            return false;
    return *text == 0;
}

// Leading white space is skipped here: the decimal reader takes a tab for the
// end of its field.
double DecimalValue(const WChar* text) {
    while (IsSpace(*text))
        ++text;
    return ParseDouble(text);
}

// True when the text holds '0' followed by letter in either case.
bool HasRadixMark(const WChar* text, char letter) {
    const WChar upper = static_cast<WChar>(letter - 'a' + 'A');
    for (; text[0] != 0; ++text)
        if (text[0] == u'0' && (text[1] == static_cast<WChar>(letter) || text[1] == upper))
            return true;
    return false;
}

int RadixDigit(WChar c, int radix) {
    const int d = plat::HexDigitValue(c);
    return d < radix ? d : -1;
}

struct RadixNumber {
    bool negative;
    uint32_t magnitude; // saturated at UINT32_MAX
};

// Hexadecimal or octal integer from the start of the text: white space, a
// sign and one leading "0x" / "0o" (either case) allowed.
RadixNumber ReadRadix(const WChar* p, int radix) {
    RadixNumber r = {false, 0};
    while (IsSpace(*p))
        ++p;
    if (*p == u'+' || *p == u'-')
        r.negative = *p++ == u'-';
    const char mark = radix == 16 ? 'x' : 'o';
    if (p[0] == u'0' && plat::AsciiLower(p[1]) == static_cast<WChar>(mark))
        p += 2;
    for (int d; (d = RadixDigit(*p, radix)) >= 0; ++p) {
        const uint32_t digit = static_cast<uint32_t>(d);
        const uint32_t base = static_cast<uint32_t>(radix);
        r.magnitude =
            r.magnitude > (UINT32_MAX - digit) / base ? UINT32_MAX : r.magnitude * base + digit;
    }
    return r;
}

uint64_t RadixBits(const RadixNumber& r) {
    return r.negative ? (0 - uint64_t{r.magnitude}) & 0xFFFFFFFFu : r.magnitude;
}

// Text to an integer item: hexadecimal or octal when marked so, otherwise the
// decimal value truncated. narrow selects the 32-bit intermediate of 8- and
// 16-bit items and of signed 32-bit ones. The caller keeps the low bits that
// fit the item.
uint64_t IntegerTextBits(const WChar* text, bool narrow) {
    if (HasRadixMark(text, 'x'))
        return RadixBits(ReadRadix(text, 16));
    if (HasRadixMark(text, 'o'))
        return RadixBits(ReadRadix(text, 8));
    const double d = DecimalValue(text);
    return static_cast<uint64_t>(narrow ? TruncToI32(d) : TruncToI64(d));
}

// "0x1A.8": the two characters of the prefix, hexadecimal integer digits up to
// the last full stop, hexadecimal fraction digits after it. False on any
// other character.
bool HexFloatText(const WChar* text, double* out) {
    CMString utf8(text, plat::kCpUtf8);
    const char* s = utf8.Text();
    if (s == nullptr)
        return false;
    const size_t len = std::strlen(s);
    const char* dot = std::strrchr(s, '.');
    const size_t intEnd = dot != nullptr ? static_cast<size_t>(dot - s) : len;
    double value = 0.0;
    for (size_t i = 2; i < intEnd; ++i) {
        const int d = plat::HexDigitValue(s[i]);
        if (d < 0)
            return false;
        value = value * 16.0 + d;
    }
    if (dot != nullptr && intEnd >= 2) {
        double scale = 1.0;
        for (const char* p = dot + 1; *p != 0; ++p) {
            const int d = plat::HexDigitValue(*p);
            if (d < 0)
                return false;
            scale /= 16.0;
            value += d * scale;
        }
    }
    *out = value;
    return true;
}

bool FloatTextValue(const WChar* text, float* out) {
    if (HasRadixMark(text, 'x')) {
        double d;
        if (!HexFloatText(text, &d))
            return false;
        *out = static_cast<float>(d);
    } else if (HasRadixMark(text, 'o')) {
        const RadixNumber r = ReadRadix(text, 8);
        *out = static_cast<float>(r.negative ? -static_cast<double>(r.magnitude)
                                             : static_cast<double>(r.magnitude));
    } else {
        *out = static_cast<float>(DecimalValue(text));
    }
    return true;
}

// The host value read from its layout.
struct HostValue {
    int32_t type;
    uint64_t raw;  // integers as stored, zero-extended
    uint64_t wide; // integers, sign-extended when the host type is signed
    double real;   // floats (a TypeF32 widened)
    float single;  // a TypeF32 as given
    const WChar* text;
};

bool IsIntegerHost(int32_t t) {
    return t != TypeF32 && t != TypeF64 && t != TypeText;
}

HostValue ReadHost(int32_t type, const void* value) {
    HostValue h = {type, 0, 0, 0.0, 0.0f, nullptr};
    const uint8_t* b = static_cast<const uint8_t*>(value);
    uint32_t width = 0;
    switch (type) {
    case TypeBool:
    case TypeU8:
    case TypeI8:
        width = 1;
        break;
    case TypeU16:
    case TypeI16:
        width = 2;
        break;
    case TypeU32:
    case TypeI32:
        width = 4;
        break;
    case TypeU64:
    case TypeI64:
        width = 8;
        break;
    case TypeF32:
        std::memcpy(&h.single, value, sizeof h.single);
        h.real = h.single;
        break;
    case TypeF64:
        std::memcpy(&h.real, value, sizeof h.real);
        break;
    default:
        h.text = static_cast<const WChar*>(value);
        break;
    }
    if (width > 0) {
        h.raw = LittleEndian(b, width);
        h.wide = h.raw;
        if (IsSignedHost(type) && width < 8) {
            const uint64_t sign = uint64_t{1} << (width * 8 - 1);
            h.wide = (h.raw ^ sign) - sign;
        }
    }
    return h;
}

// The integer an integer item receives, before it is cut to the item's width.
// A signed 32-bit item takes a float through the 32-bit intermediate, so that
// one beyond its range stops at its limit of the same sign; the 64-bit one
// (for VT_UI4) would leave the low bits of INT64_MAX there, -1.
uint64_t IntegerItemBits(const HostValue& h, uint16_t vt) {
    const bool byteItem = vt == plat::kVtI1 || vt == plat::kVtUi1;
    const bool narrow = byteItem || vt == plat::kVtI2 || vt == plat::kVtUi2 || vt == plat::kVtI4;
    if (h.type == TypeText) {
        if (byteItem)
            return static_cast<uint64_t>(TruncToI32(DecimalValue(h.text)));
        return IntegerTextBits(h.text, narrow);
    }
    if (!IsIntegerHost(h.type))
        return static_cast<uint64_t>(narrow ? TruncToI32(h.real) : TruncToI64(h.real));
    // An unsigned word takes an 8-bit -1 as 255.
    if (vt == plat::kVtUi2 && h.type == TypeI8)
        return h.raw;
    return h.wide;
}

template <typename F> F IntegerHostAsFloat(const HostValue& h) {
    if (IsSignedHost(h.type))
        return static_cast<F>(static_cast<int64_t>(h.wide));
    return static_cast<F>(h.raw);
}

bool TruthOf(const HostValue& h) {
    if (h.type == TypeText) {
        if (EqualsExact(h.text, "true"))
            return true;
        if (EqualsExact(h.text, "false"))
            return false;
        return DecimalValue(h.text) != 0.0;
    }
    if (!IsIntegerHost(h.type))
        return h.real != 0.0; // NaN counts as true
    return h.raw != 0;
}

// Fixed-point text with the fraction's trailing zeros dropped, and the point
// with them when nothing is left after it.
void FixedPointText(WChar* buf, int cap, double value) {
    int n = FormatDouble(buf, cap, value);
    if (n >= 2 && buf[n - 1] == u'0' && buf[n - 2] == u'.')
        buf[n - 2] = 0;
}

// The text a VT_BSTR item receives; work holds a number's text.
const WChar* TextOf(const HostValue& h, const void* value, int32_t length, WChar* work,
                    int workCap) {
    switch (h.type) {
    case TypeBool:
    case TypeU8:
    case TypeI8:
        return h.raw != 0 ? W16("1") : W16("0");
    case TypeF32:
    case TypeF64:
        FixedPointText(work, workCap, h.real);
        return work;
    case TypeText:
        return length == 0 ? W16("") : h.text;
    default:
        if (!ConvertValue(TypeText, work, static_cast<ValueType>(h.type), value, workCap))
            work[0] = 0;
        return work;
    }
}

} // namespace

bool ConvertHostValue(int32_t hostType, const void* value, int32_t length, uint16_t vt,
                      Variant* out, int32_t* count) {
    int32_t made = 0;
    const bool ok = [&] {
        if (out == nullptr)
            return false;
        ClearVariant(out);
        if (value == nullptr || hostType < TypeBool || hostType > TypeText)
            return false;
        made = 1;
        const uint16_t target = IsItemType(vt) ? vt : uint16_t{plat::kVtI4};
        const HostValue h = ReadHost(hostType, value);
        switch (target) {
        case plat::kVtBool:
            out->boolVal = TruthOf(h) ? plat::kVariantTrue : plat::kVariantFalse;
            break;
        case plat::kVtI1:
            out->cVal = static_cast<int8_t>(static_cast<uint8_t>(IntegerItemBits(h, target)));
            break;
        case plat::kVtUi1:
            out->bVal = static_cast<uint8_t>(IntegerItemBits(h, target));
            break;
        case plat::kVtI2:
            out->iVal = static_cast<int16_t>(static_cast<uint16_t>(IntegerItemBits(h, target)));
            break;
        case plat::kVtUi2:
            out->uiVal = static_cast<uint16_t>(IntegerItemBits(h, target));
            break;
        case plat::kVtI4:
            out->lVal = static_cast<int32_t>(static_cast<uint32_t>(IntegerItemBits(h, target)));
            break;
        case plat::kVtUi4:
            out->ulVal = static_cast<uint32_t>(IntegerItemBits(h, target));
            break;
        case plat::kVtR4:
            if (hostType == TypeText) {
                if (!FloatTextValue(h.text, &out->fltVal))
                    return false; // the count stays 1: the type was right, the text not
            } else if (hostType == TypeF32) {
                out->fltVal = h.single;
            } else if (hostType == TypeF64) {
                out->fltVal = static_cast<float>(h.real);
            } else {
                out->fltVal = IntegerHostAsFloat<float>(h);
            }
            break;
        case plat::kVtR8:
            if (hostType == TypeText)
                out->dblVal = DecimalValue(h.text);
            else if (IsIntegerHost(hostType))
                out->dblVal = IntegerHostAsFloat<double>(h);
            else
                out->dblVal = h.real;
            break;
        default: { // VT_BSTR
            WChar work[kValueTextWork];
            const WChar* text = TextOf(h, value, length, work, kValueTextWork);
            out->bstrVal = plat::BstrAlloc(text);
            if (out->bstrVal == nullptr) {
                made = 0;
                return false;
            }
            made = static_cast<int32_t>(plat::WStrLen(text));
            break;
        }
        }
        out->vt = target;
        return true;
    }();
    if (!ok && out != nullptr)
        ClearVariant(out);
    if (count != nullptr)
        *count = made;
    return ok;
}
