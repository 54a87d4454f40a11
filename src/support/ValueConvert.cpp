#include "support/ValueConvert.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <system_error>

#include "platform/ascii.h"
#include "support/Strings.h"

// Float to float narrowing and the saturation bounds below rely on IEEE 754.
static_assert(std::numeric_limits<float>::is_iec559 && std::numeric_limits<double>::is_iec559,
              "IEEE 754 floating types required");

namespace {

bool IsSeparator(WChar c) {
    return c == u',' || c == u'\t' || c == u'\r' || c == u'\n';
}

bool IsBlank(WChar c) {
    return c == u' ' || (c >= u'\t' && c <= u'\r');
}

bool IsDigit(WChar c) {
    return c >= u'0' && c <= u'9';
}

// The parsers read only up to the end of the first field instead of cutting
// the text there, so the caller's text is never written.
const WChar* FieldEnd(const WChar* s) {
    while (*s != 0 && !IsSeparator(*s))
        ++s;
    return s;
}

const WChar* SkipBlanks(const WChar* p, const WChar* end) {
    while (p < end && IsBlank(*p))
        ++p;
    return p;
}

// Sign and decimal magnitude at the start of a field; the magnitude saturates
// at UINT64_MAX and overflow tells that it did.
struct Magnitude {
    bool negative = false;
    bool overflow = false;
    uint64_t value = 0;
};

Magnitude ReadMagnitude(const WChar* text) {
    Magnitude m;
    if (text == nullptr)
        return m;
    const WChar* end = FieldEnd(text);
    const WChar* p = SkipBlanks(text, end);
    if (p < end && (*p == u'+' || *p == u'-')) {
        m.negative = *p == u'-';
        ++p;
    }
    for (; p < end && IsDigit(*p); ++p) {
        const unsigned digit = static_cast<unsigned>(*p - u'0');
        if (m.value > (UINT64_MAX - digit) / 10) {
            m.overflow = true;
            m.value = UINT64_MAX;
        } else if (!m.overflow) {
            m.value = m.value * 10 + digit;
        }
    }
    return m;
}

// Beyond the significant digits a double can need for correct rounding only
// whether anything non-zero was dropped matters.
constexpr int kMaxDigits = 780;
// Written exponents are read up to this; far past where every result is 0 or
// infinite, and small enough that the sums below stay in range.
constexpr int64_t kMaxExponent = 1000000000;

// ---- reading and writing host layouts (little-endian whatever the CPU) ----

uint64_t LoadLE(const void* p, int bytes) {
    const unsigned char* b = static_cast<const unsigned char*>(p);
    uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i)
        v = (v << 8) | b[i];
    return v;
}

void StoreLE(void* p, int bytes, uint64_t v) {
    unsigned char* b = static_cast<unsigned char*>(p);
    for (int i = 0; i < bytes; ++i, v >>= 8)
        b[i] = static_cast<unsigned char>(v & 0xFF);
}

bool IsSignedInt(ValueType t) {
    return t == TypeI8 || t == TypeI16 || t == TypeI32 || t == TypeI64;
}

bool IsFloat(ValueType t) {
    return t == TypeF32 || t == TypeF64;
}

// An integer source widened to 64 bits. A TypeI8 source is sign-extended only
// into signed destinations: the host reads an 8-bit -1 as 255 in unsigned ones.
uint64_t WidenInt(ValueType src, const void* p, bool signedDst) {
    const int width = IntegerBytes(src);
    uint64_t v = LoadLE(p, width);
    const bool signExtend = src == TypeI8 ? signedDst : IsSignedInt(src);
    if (signExtend && width < 8) {
        const uint64_t sign = uint64_t{1} << (width * 8 - 1);
        v = (v ^ sign) - sign;
    }
    return v;
}

double LoadFloat(ValueType src, const void* p) {
    if (src == TypeF32) {
        float f;
        std::memcpy(&f, p, sizeof f);
        return f;
    }
    double d;
    std::memcpy(&d, p, sizeof d);
    return d;
}

// The integer destinations, ValueType codes already known and TypeDefault
// already mapped to TypeU32.
void ToInteger(ValueType dstType, void* dst, ValueType srcType, const void* src) {
    const int width = IntegerBytes(dstType);
    const bool signedDst = IsSignedInt(dstType);
    uint64_t bits;
    if (srcType == TypeText) {
        const WChar* text = static_cast<const WChar*>(src);
        if (dstType == TypeBool && plat::EqualsNoCase(text, "true"))
            bits = 1;
        else if (dstType == TypeBool && plat::EqualsNoCase(text, "false"))
            bits = 0;
        else if (dstType == TypeU64)
            bits = ParseUInt64(text);
        else
            bits = static_cast<uint64_t>(ParseInt64(text));
    } else if (IsFloat(srcType)) {
        const double d = LoadFloat(srcType, src);
        bits = static_cast<uint64_t>(width <= 2 ? TruncToI32(d) : TruncToI64(d));
    } else {
        bits = WidenInt(srcType, src, signedDst);
    }
    StoreLE(dst, width, bits);
}

template <typename F> F IntToFloat(ValueType srcType, const void* src) {
    // Straight from the 64-bit integer so that a 64-bit value is rounded once.
    const uint64_t bits = WidenInt(srcType, src, true);
    if (IsSignedInt(srcType))
        return static_cast<F>(static_cast<int64_t>(bits));
    return static_cast<F>(bits);
}

void ToFloat(ValueType dstType, void* dst, ValueType srcType, const void* src) {
    if (dstType == TypeF32) {
        float f;
        if (srcType == TypeText)
            f = static_cast<float>(ParseDouble(static_cast<const WChar*>(src)));
        else if (IsFloat(srcType))
            f = static_cast<float>(LoadFloat(srcType, src));
        else
            f = IntToFloat<float>(srcType, src);
        std::memcpy(dst, &f, sizeof f);
    } else {
        double d;
        if (srcType == TypeText)
            d = ParseDouble(static_cast<const WChar*>(src));
        else if (IsFloat(srcType))
            d = LoadFloat(srcType, src);
        else
            d = IntToFloat<double>(srcType, src);
        std::memcpy(dst, &d, sizeof d);
    }
}

// Decimal digits of v ending at end; returns where they start.
WChar* UnsignedDigits(WChar* end, uint64_t v) {
    do {
        *--end = static_cast<WChar>(u'0' + v % 10);
        v /= 10;
    } while (v != 0);
    return end;
}

// Text of a number into work (kValueTextWork units); returns its length.
int NumberText(WChar* work, ValueType srcType, const void* src) {
    if (IsFloat(srcType))
        return FormatDouble(work, kValueTextWork - 1, LoadFloat(srcType, src));
    const uint64_t bits = WidenInt(srcType, src, true);
    WChar digits[24];
    WChar* const end = digits + 24;
    WChar* p;
    if (IsSignedInt(srcType) && static_cast<int64_t>(bits) < 0) {
        p = UnsignedDigits(end, 0 - bits);
        *--p = u'-';
    } else {
        p = UnsignedDigits(end, bits);
    }
    const int n = static_cast<int>(end - p);
    std::memcpy(work, p, n * sizeof(WChar));
    work[n] = 0;
    return n;
}

bool IsHighSurrogate(WChar c) {
    return c >= 0xD800 && c <= 0xDBFF;
}
bool IsLowSurrogate(WChar c) {
    return c >= 0xDC00 && c <= 0xDFFF;
}

// Copies text into dst within cap (cap >= 1), terminated; a cut falls before
// a surrogate pair rather than inside it.
void CopyBounded(WChar* dst, int cap, const WChar* text) {
    int n = 0;
    while (n < cap - 1 && text[n] != 0)
        ++n;
    if (n > 0 && text[n] != 0 && IsHighSurrogate(text[n - 1]) && IsLowSurrogate(text[n]))
        --n;
    std::memmove(dst, text, n * sizeof(WChar));
    dst[n] = 0;
}

// Magnitudes from here on have more integer digits than the work area holds,
// so their fixed-point text is all integer digits once cut.
constexpr double kHugeFloat = 1e63;

// The leading characters of the fixed-point text of a huge integral value,
// exact as printf gives them, but without printing the whole (up to 309 digit)
// text: a stack big integer divided down in base 10^9.
int HugeFloatText(WChar* work, int room, double value) {
    int exp;
    const double frac = std::frexp(std::fabs(value), &exp);
    const uint64_t mant = static_cast<uint64_t>(std::ldexp(frac, 53)); // exact: 53 bits
    exp -= 53;                                                         // >= 0 here
    uint32_t limbs[34] = {};                                           // 1088 bits > 2^1024
    int used = exp / 32 + 3;
    const int shift = exp % 32;
    const uint64_t low = (mant & 0xFFFFFFFFu) << shift;          // < 2^63
    const uint64_t high = (low >> 32) + ((mant >> 32) << shift); // < 2^53
    limbs[exp / 32] = static_cast<uint32_t>(low);
    limbs[exp / 32 + 1] = static_cast<uint32_t>(high);
    limbs[exp / 32 + 2] = static_cast<uint32_t>(high >> 32);
    uint32_t chunks[40]; // base 10^9, least significant first
    int nChunks = 0;
    while (used > 0) {
        uint64_t rem = 0;
        for (int i = used - 1; i >= 0; --i) {
            const uint64_t cur = (rem << 32) | limbs[i];
            limbs[i] = static_cast<uint32_t>(cur / 1000000000u);
            rem = cur % 1000000000u;
        }
        chunks[nChunks++] = static_cast<uint32_t>(rem);
        while (used > 0 && limbs[used - 1] == 0)
            --used;
    }
    int len = 0;
    if (value < 0 && len < room)
        work[len++] = u'-';
    for (int c = nChunks - 1; c >= 0 && len < room; --c) {
        WChar digits[9];
        uint32_t v = chunks[c];
        for (int i = 8; i >= 0; --i, v /= 10)
            digits[i] = static_cast<WChar>(u'0' + v % 10);
        int first = 0;
        while (c == nChunks - 1 && first < 8 && digits[first] == u'0')
            ++first;
        for (int i = first; i < 9 && len < room; ++i)
            work[len++] = digits[i];
    }
    work[len] = 0;
    return len;
}

} // namespace

int IntegerBytes(ValueType t) {
    switch (t) {
    case TypeBool:
    case TypeU8:
    case TypeI8:
        return 1;
    case TypeU16:
    case TypeI16:
        return 2;
    case TypeU32:
    case TypeI32:
        return 4;
    case TypeU64:
    case TypeI64:
        return 8;
    default:
        return 0;
    }
}

int64_t ParseInt64(const WChar* text) {
    const Magnitude m = ReadMagnitude(text);
    if (m.negative) {
        if (m.value > uint64_t{1} << 63)
            return INT64_MIN;
        return static_cast<int64_t>(0 - m.value);
    }
    if (m.value > static_cast<uint64_t>(INT64_MAX))
        return INT64_MAX;
    return static_cast<int64_t>(m.value);
}

uint64_t ParseUInt64(const WChar* text) {
    const Magnitude m = ReadMagnitude(text);
    if (m.overflow)
        return UINT64_MAX;
    return m.negative ? 0 - m.value : m.value;
}

double ParseDouble(const WChar* text) {
    if (text == nullptr)
        return 0.0;
    const WChar* end = FieldEnd(text);
    const WChar* p = SkipBlanks(text, end);
    bool negative = false;
    if (p < end && (*p == u'+' || *p == u'-')) {
        negative = *p == u'-';
        ++p;
    }
    // The significant digits go to an ASCII buffer as an integer mantissa;
    // exponent10 scales it: value = mantissa * 10^exponent10.
    char buf[kMaxDigits + 32];
    int nDigits = 0;
    bool anyDigit = false;
    bool dropped = false; // a non-zero digit past kMaxDigits
    int64_t exponent10 = 0;
    for (; p < end && IsDigit(*p); ++p) {
        anyDigit = true;
        if (nDigits == 0 && *p == u'0')
            continue;
        if (nDigits < kMaxDigits)
            buf[nDigits++] = static_cast<char>(*p);
        else {
            dropped |= *p != u'0';
            ++exponent10;
        }
    }
    if (p < end && *p == u'.') {
        const WChar* q = p + 1;
        for (; q < end && IsDigit(*q); ++q) {
            anyDigit = true;
            if (nDigits < kMaxDigits) {
                if (nDigits > 0 || *q != u'0')
                    buf[nDigits++] = static_cast<char>(*q);
                --exponent10;
            } else {
                dropped |= *q != u'0';
            }
        }
        // A point without any digit is no number ("." or "-.").
        if (anyDigit)
            p = q;
    }
    if (!anyDigit)
        return 0.0;
    if (p < end && (*p == u'e' || *p == u'E')) {
        const WChar* q = p + 1;
        bool expNegative = false;
        if (q < end && (*q == u'+' || *q == u'-')) {
            expNegative = *q == u'-';
            ++q;
        }
        // Without digits the "e" is not part of the number.
        if (q < end && IsDigit(*q)) {
            int64_t e = 0;
            for (; q < end && IsDigit(*q); ++q)
                if (e < kMaxExponent)
                    e = e * 10 + (*q - u'0');
            exponent10 += expNegative ? -e : e;
        }
    }
    if (nDigits == 0)
        return negative ? -0.0 : 0.0;
    // The magnitude lies in [10^(nDigits-1+exponent10), 10^(nDigits+exponent10)).
    const int64_t magnitude = nDigits + exponent10;
    double value;
    if (magnitude > 310) {
        value = std::numeric_limits<double>::infinity();
    } else if (magnitude < -330) {
        value = 0.0;
    } else {
        // A trailing 1 stands for the dropped digits, so that rounding sees
        // them as more than nothing.
        if (dropped) {
            buf[nDigits++] = '1';
            --exponent10;
        }
        char* out = buf + nDigits;
        *out++ = 'e';
        const std::to_chars_result r = std::to_chars(out, buf + sizeof buf, exponent10);
        const std::from_chars_result f =
            std::from_chars(buf, r.ptr, value, std::chars_format::scientific);
        if (f.ec == std::errc::result_out_of_range)
            value = magnitude > 0 ? std::numeric_limits<double>::infinity() : 0.0;
        else if (f.ec != std::errc())
            value = 0.0;
    }
    return negative ? -value : value;
}

int FormatDouble(WChar* buf, int cap, double value) {
    if (buf == nullptr || cap < 1)
        return 0;
    // The printf forms of NaN and infinity differ between C runtimes, and
    // printing a huge value whole would need more than the work area.
    WChar work[kValueTextWork] = {};
    int len;
    if (std::isnan(value)) {
        len = CopyTextW(work, W16("nan"), kValueTextWork);
    } else if (std::isinf(value)) {
        len = CopyTextW(work, value < 0 ? W16("-inf") : W16("inf"), kValueTextWork);
    } else if (std::fabs(value) >= kHugeFloat) {
        len = HugeFloatText(work, kValueTextWork - 1, value);
    } else {
        len = FormatText(work, kValueTextWork, W16("%f"), value);
    }
    // Trust only what is inside the work area.
    work[kValueTextWork - 1] = 0;
    if (len < 0 || len >= kValueTextWork || work[len] != 0) {
        len = 0;
        while (work[len] != 0)
            ++len;
    }
    int point = -1;
    for (int i = 0; i < len; ++i)
        if (work[i] == u'.')
            point = i;
    if (point >= 0) {
        while (len - 1 > point + 1 && work[len - 1] == u'0')
            --len;
        work[len] = 0;
    }
    const int n = len < cap - 1 ? len : cap - 1;
    std::memcpy(buf, work, n * sizeof(WChar));
    buf[n] = 0;
    return n;
}

bool ConvertValue(ValueType dstType, void* dst, ValueType srcType, const void* src, int dstCap) {
    const auto known = [](ValueType t) { return t >= TypeDefault && t <= TypeText; };
    if (!known(dstType) || !known(srcType) || dst == nullptr || src == nullptr)
        return false;
    if (dstType == TypeDefault)
        dstType = TypeU32;
    if (srcType == TypeDefault)
        srcType = TypeU32;

    if (dstType == TypeText) {
        if (dstCap < 1)
            return false;
        if (srcType == TypeText) {
            CopyBounded(static_cast<WChar*>(dst), dstCap, static_cast<const WChar*>(src));
        } else {
            WChar work[kValueTextWork];
            NumberText(work, srcType, src);
            CopyBounded(static_cast<WChar*>(dst), dstCap, work);
        }
    } else if (IsFloat(dstType)) {
        ToFloat(dstType, dst, srcType, src);
    } else {
        ToInteger(dstType, dst, srcType, src);
    }
    return true;
}

int64_t TruncToI32(double d) {
    if (std::isnan(d))
        return 0;
    if (d >= 2147483648.0)
        return INT32_MAX;
    if (d <= -2147483649.0)
        return INT32_MIN;
    return static_cast<int32_t>(d);
}

int64_t TruncToI64(double d) {
    if (std::isnan(d))
        return 0;
    if (d >= 9223372036854775808.0)
        return INT64_MAX;
    if (d < -9223372036854775808.0)
        return INT64_MIN;
    return static_cast<int64_t>(d);
}
