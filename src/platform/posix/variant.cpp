// The OLE Automation subset the driver uses: BSTR with its length prefix,
// VARIANT copy and clear, and the type change with OLE's rounding and range
// rules. Text is read as plain decimal (blanks, sign, point, exponent); OLE's
// thousands separators, currency signs and &H forms are not taken.
#include "platform/variant.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

#include "platform/ascii.h"
#include "platform/codepage.h"

namespace plat {

// ---- BSTR ----

Bstr BstrAllocLen(const WChar* text, uint32_t len) {
    // The prefix holds the byte length in 32 bits.
    if (len > (0xFFFFFFFFu - 8) / sizeof(WChar))
        return nullptr;
    size_t bytes = sizeof(uint32_t) + (static_cast<size_t>(len) + 1) * sizeof(WChar);
    auto* block = static_cast<unsigned char*>(std::malloc(bytes));
    if (!block)
        return nullptr;
    uint32_t byteLen = len * static_cast<uint32_t>(sizeof(WChar));
    std::memcpy(block, &byteLen, sizeof byteLen);
    auto* s = reinterpret_cast<WChar*>(block + sizeof(uint32_t));
    if (text)
        std::memcpy(s, text, len * sizeof(WChar));
    else
        std::memset(s, 0, len * sizeof(WChar));
    s[len] = 0;
    return s;
}

Bstr BstrAlloc(const WChar* text) {
    if (!text)
        return nullptr;
    size_t len = WStrLen(text);
    if (len > 0x7FFFFFFF)
        return nullptr;
    return BstrAllocLen(text, static_cast<uint32_t>(len));
}

void BstrFree(Bstr b) {
    if (b)
        std::free(reinterpret_cast<unsigned char*>(b) - sizeof(uint32_t));
}

uint32_t BstrLen(Bstr b) {
    if (!b)
        return 0;
    uint32_t byteLen;
    std::memcpy(&byteLen, reinterpret_cast<unsigned char*>(b) - sizeof(uint32_t), sizeof byteLen);
    return byteLen / sizeof(WChar);
}

// ---- VARIANT ----

void VariantInit(Variant* v) {
    if (v)
        std::memset(v, 0, sizeof *v);
}

int32_t VariantClear(Variant* v) {
    if (!v)
        return kHrInvalidArg;
    if (v->vt == kVtBstr)
        BstrFree(v->bstrVal);
    std::memset(v, 0, sizeof *v);
    return kHrOk;
}

int32_t VariantCopy(Variant* dst, const Variant* src) {
    if (!dst || !src)
        return kHrInvalidArg;
    if (dst == src)
        return kHrOk;
    Variant tmp = *src;
    if (src->vt == kVtBstr && src->bstrVal) {
        tmp.bstrVal = BstrAllocLen(src->bstrVal, BstrLen(src->bstrVal));
        if (!tmp.bstrVal)
            return kHrOutOfMemory;
    }
    VariantClear(dst);
    *dst = tmp;
    return kHrOk;
}

namespace {

// A source value on its way to the target type.
struct Num {
    enum Kind { kInt, kUint, kReal } kind;
    int64_t i;
    uint64_t u;
    double d;
};

Num FromInt(int64_t v) {
    return Num{Num::kInt, v, 0, 0};
}
Num FromUint(uint64_t v) {
    return Num{Num::kUint, 0, v, 0};
}
Num FromReal(double v) {
    return Num{Num::kReal, 0, 0, v};
}

// Round half to even, as OLE does for every real-to-integer change.
double RoundEven(double x) {
    double r = std::floor(x);
    double diff = x - r;
    if (diff > 0.5 || (diff == 0.5 && std::fmod(r, 2.0) != 0.0))
        r += 1.0;
    return r;
}

// The number as an integer within [lo, hi]; false on overflow.
bool ToSigned(const Num& n, int64_t lo, int64_t hi, int64_t* out) {
    switch (n.kind) {
    case Num::kInt:
        if (n.i < lo || n.i > hi)
            return false;
        *out = n.i;
        return true;
    case Num::kUint:
        if (n.u > static_cast<uint64_t>(hi))
            return false;
        *out = static_cast<int64_t>(n.u);
        return true;
    case Num::kReal: {
        if (std::isnan(n.d))
            return false;
        double r = RoundEven(n.d);
        // 2^63 is exact as a double; compare before converting.
        if (r < -9223372036854775808.0 || r >= 9223372036854775808.0)
            return false;
        int64_t v = static_cast<int64_t>(r);
        if (v < lo || v > hi)
            return false;
        *out = v;
        return true;
    }
    }
    return false;
}

bool ToUnsigned(const Num& n, uint64_t hi, uint64_t* out) {
    switch (n.kind) {
    case Num::kInt:
        if (n.i < 0 || static_cast<uint64_t>(n.i) > hi)
            return false;
        *out = static_cast<uint64_t>(n.i);
        return true;
    case Num::kUint:
        if (n.u > hi)
            return false;
        *out = n.u;
        return true;
    case Num::kReal: {
        if (std::isnan(n.d))
            return false;
        double r = RoundEven(n.d);
        if (r < 0.0 || r >= 18446744073709551616.0)
            return false;
        uint64_t v = static_cast<uint64_t>(r);
        if (v > hi)
            return false;
        *out = v;
        return true;
    }
    }
    return false;
}

double ToReal(const Num& n) {
    switch (n.kind) {
    case Num::kInt:
        return static_cast<double>(n.i);
    case Num::kUint:
        return static_cast<double>(n.u);
    case Num::kReal:
        return n.d;
    }
    return 0;
}

bool IsZero(const Num& n) {
    switch (n.kind) {
    case Num::kInt:
        return n.i == 0;
    case Num::kUint:
        return n.u == 0;
    case Num::kReal:
        return n.d == 0.0;
    }
    return true;
}

std::string Narrow(const WChar* s, uint32_t len) {
    std::string out;
    if (!s || len == 0)
        return out;
    int n = WideToMultiByte(kCpUtf8, 0, s, static_cast<int>(len), nullptr, 0);
    if (n <= 0)
        return out;
    out.resize(static_cast<size_t>(n));
    WideToMultiByte(kCpUtf8, 0, s, static_cast<int>(len), &out[0], n);
    return out;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

// Decimal text: blanks, a sign, digits with one optional point, an optional
// exponent, blanks. Integers keep their 64 bits.
bool ParseNumber(const std::string& text, Num* out) {
    size_t b = 0, e = text.size();
    while (b < e && IsBlank(text[b]))
        ++b;
    while (e > b && IsBlank(text[e - 1]))
        --e;
    if (b == e)
        return false;
    std::string t = text.substr(b, e - b);
    size_t i = 0;
    bool neg = false;
    if (t[i] == '+' || t[i] == '-') {
        neg = t[i] == '-';
        ++i;
    }
    size_t digits = 0;
    bool real = false;
    while (i < t.size() && t[i] >= '0' && t[i] <= '9') {
        ++i;
        ++digits;
    }
    if (i < t.size() && t[i] == '.') {
        real = true;
        ++i;
        while (i < t.size() && t[i] >= '0' && t[i] <= '9') {
            ++i;
            ++digits;
        }
    }
    if (digits == 0)
        return false;
    if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
        real = true;
        ++i;
        if (i < t.size() && (t[i] == '+' || t[i] == '-'))
            ++i;
        size_t expDigits = 0;
        while (i < t.size() && t[i] >= '0' && t[i] <= '9') {
            ++i;
            ++expDigits;
        }
        if (expDigits == 0)
            return false;
    }
    if (i != t.size())
        return false;
    if (!real) {
        errno = 0;
        if (neg) {
            long long v = std::strtoll(t.c_str(), nullptr, 10);
            if (errno != ERANGE) {
                *out = FromInt(v);
                return true;
            }
        } else {
            unsigned long long v = std::strtoull(t.c_str(), nullptr, 10);
            if (errno != ERANGE) {
                *out = FromUint(v);
                return true;
            }
        }
    }
    // strtod reads the C locale's point, which is the only one accepted here.
    *out = FromReal(std::strtod(t.c_str(), nullptr));
    return true;
}

// The whole string, NULs in it included, against word, ASCII case ignored.
bool SameWord(const std::string& a, const char* word) {
    return a.size() == std::strlen(word) && EqualsNoCase(a.c_str(), word);
}

// Shortest text that reads back as the value at the type's precision, in
// OLE's style: 1.5, 3, 1E+20, 1E-05.
std::string RealText(double v, int digits) {
    if (v == 0.0)
        return "0";
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*G", digits, v);
    return buf;
}

Bstr TextBstr(const std::string& utf8) {
    if (utf8.empty())
        return BstrAllocLen(nullptr, 0);
    int n = MultiByteToWide(kCpUtf8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    if (n <= 0)
        return nullptr;
    Bstr b = BstrAllocLen(nullptr, static_cast<uint32_t>(n));
    if (b)
        MultiByteToWide(kCpUtf8, 0, utf8.data(), static_cast<int>(utf8.size()), b, n);
    return b;
}

// The source as a number; kHrTypeMismatch for text that is not one.
int32_t SourceNumber(const Variant& src, Num* n, bool forBool) {
    switch (src.vt) {
    case kVtEmpty:
        *n = FromInt(0);
        return kHrOk;
    case kVtI1:
        *n = FromInt(src.cVal);
        return kHrOk;
    case kVtUi1:
        *n = FromInt(src.bVal);
        return kHrOk;
    case kVtI2:
        *n = FromInt(src.iVal);
        return kHrOk;
    case kVtUi2:
        *n = FromInt(src.uiVal);
        return kHrOk;
    case kVtI4:
        *n = FromInt(src.lVal);
        return kHrOk;
    case kVtUi4:
        *n = FromInt(src.ulVal);
        return kHrOk;
    case kVtI8:
        *n = FromInt(src.llVal);
        return kHrOk;
    case kVtUi8:
        *n = FromUint(src.ullVal);
        return kHrOk;
    case kVtR4:
        *n = FromReal(src.fltVal);
        return kHrOk;
    case kVtR8:
        *n = FromReal(src.dblVal);
        return kHrOk;
    case kVtBool:
        *n = FromInt(src.boolVal);
        return kHrOk;
    case kVtBstr: {
        std::string t = Narrow(src.bstrVal, BstrLen(src.bstrVal));
        if (forBool) {
            std::string trimmed = t;
            while (!trimmed.empty() && IsBlank(trimmed.front()))
                trimmed.erase(trimmed.begin());
            while (!trimmed.empty() && IsBlank(trimmed.back()))
                trimmed.pop_back();
            if (SameWord(trimmed, "true")) {
                *n = FromInt(-1);
                return kHrOk;
            }
            if (SameWord(trimmed, "false")) {
                *n = FromInt(0);
                return kHrOk;
            }
        }
        return ParseNumber(t, n) ? kHrOk : kHrTypeMismatch;
    }
    default:
        return kHrTypeMismatch;
    }
}

int32_t ToText(const Variant& src, Bstr* out) {
    std::string t;
    switch (src.vt) {
    case kVtEmpty:
        break;
    // OLE without VARIANT_ALPHABOOL writes a boolean as its number: -1 / 0.
    case kVtBool:
        t = std::to_string(src.boolVal);
        break;
    case kVtR4:
        t = RealText(src.fltVal, 7);
        break;
    case kVtR8:
        t = RealText(src.dblVal, 15);
        break;
    case kVtUi8:
        t = std::to_string(src.ullVal);
        break;
    default: {
        Num n;
        int32_t hr = SourceNumber(src, &n, false);
        if (hr != kHrOk)
            return hr;
        t = std::to_string(n.i);
        break;
    }
    }
    *out = TextBstr(t);
    return *out ? kHrOk : kHrOutOfMemory;
}

// Byte width and signedness of the integer types; 0 for the others.
int IntWidth(uint16_t vt, bool* isSigned) {
    switch (vt) {
    case kVtI1:
        *isSigned = true;
        return 1;
    case kVtUi1:
        *isSigned = false;
        return 1;
    case kVtI2:
        *isSigned = true;
        return 2;
    case kVtUi2:
        *isSigned = false;
        return 2;
    case kVtI4:
        *isSigned = true;
        return 4;
    case kVtUi4:
        *isSigned = false;
        return 4;
    case kVtI8:
        *isSigned = true;
        return 8;
    case kVtUi8:
        *isSigned = false;
        return 8;
    default:
        return 0;
    }
}

} // namespace

int32_t VariantChangeType(Variant* dst, const Variant* src, uint16_t vt) {
    if (!dst || !src)
        return kHrInvalidArg;
    if (src->vt == vt)
        return VariantCopy(dst, src);

    Variant out;
    VariantInit(&out);
    out.vt = vt;
    int32_t hr = kHrOk;
    bool srcSigned = false, dstSigned = false;
    const int srcWidth = IntWidth(src->vt, &srcSigned);
    if (srcWidth != 0 && srcWidth == IntWidth(vt, &dstSigned)) {
        // OLE passes the bits through between the signed and unsigned type of
        // one width (I4 -1 gives UI4 4294967295) instead of reporting overflow.
        std::memcpy(&out.llVal, &src->llVal, static_cast<size_t>(srcWidth));
    } else if (vt == kVtBstr) {
        hr = ToText(*src, &out.bstrVal);
    } else if (vt == kVtEmpty) {
        // nothing to hold
    } else {
        Num n;
        hr = SourceNumber(*src, &n, vt == kVtBool);
        if (hr == kHrOk) {
            int64_t s = 0;
            uint64_t u = 0;
            switch (vt) {
            case kVtI1:
                if (ToSigned(n, INT8_MIN, INT8_MAX, &s))
                    out.cVal = static_cast<int8_t>(s);
                else
                    hr = kHrOverflow;
                break;
            case kVtI2:
                if (ToSigned(n, INT16_MIN, INT16_MAX, &s))
                    out.iVal = static_cast<int16_t>(s);
                else
                    hr = kHrOverflow;
                break;
            case kVtI4:
                if (ToSigned(n, INT32_MIN, INT32_MAX, &s))
                    out.lVal = static_cast<int32_t>(s);
                else
                    hr = kHrOverflow;
                break;
            case kVtI8:
                if (ToSigned(n, INT64_MIN, INT64_MAX, &s))
                    out.llVal = s;
                else
                    hr = kHrOverflow;
                break;
            case kVtUi1:
            case kVtUi2:
            case kVtUi4:
            case kVtUi8: {
                uint64_t hi = vt == kVtUi1   ? UINT8_MAX
                              : vt == kVtUi2 ? UINT16_MAX
                              : vt == kVtUi4 ? UINT32_MAX
                                             : UINT64_MAX;
                // OLE passes VARIANT_TRUE into unsigned types as all ones.
                Num m = n;
                if (src->vt == kVtBool && n.kind == Num::kInt && n.i == -1)
                    m = FromUint(hi);
                if (!ToUnsigned(m, hi, &u)) {
                    hr = kHrOverflow;
                    break;
                }
                if (vt == kVtUi1)
                    out.bVal = static_cast<uint8_t>(u);
                else if (vt == kVtUi2)
                    out.uiVal = static_cast<uint16_t>(u);
                else if (vt == kVtUi4)
                    out.ulVal = static_cast<uint32_t>(u);
                else
                    out.ullVal = u;
                break;
            }
            case kVtR4: {
                double d = ToReal(n);
                if (std::isfinite(d) && std::fabs(d) > std::numeric_limits<float>::max())
                    hr = kHrOverflow;
                else
                    out.fltVal = static_cast<float>(d);
                break;
            }
            case kVtR8:
                out.dblVal = ToReal(n);
                break;
            case kVtBool:
                out.boolVal = IsZero(n) ? kVariantFalse : kVariantTrue;
                break;
            default:
                hr = kHrTypeMismatch;
                break;
            }
        }
    }
    if (hr != kHrOk)
        return hr;
    VariantClear(dst);
    *dst = out;
    return kHrOk;
}

} // namespace plat
