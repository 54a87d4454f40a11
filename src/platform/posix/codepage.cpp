// Code-page conversion with the size rules of MultiByteToWideChar and
// WideCharToMultiByte. The ANSI code page is UTF-8 here.
#include "platform/codepage.h"

#include <cstring>

namespace plat {

namespace {

constexpr uint32_t kMbErrInvalidChars = 0x8;
constexpr uint32_t kWcErrInvalidChars = 0x80;
constexpr char16_t kReplacement = 0xFFFD;

enum class Page { kUtf8, kCp1252, kLatin1, kAscii, kUnknown };

Page PageOf(uint32_t cp) {
    switch (cp) {
    case kCpAcp:
    case 1: // OEM
    case 2: // Mac
    case 3: // thread ANSI
    case kCpUtf8:
        return Page::kUtf8;
    case 1252:
        return Page::kCp1252;
    case 28591:
        return Page::kLatin1;
    case 20127:
        return Page::kAscii;
    default:
        return Page::kUnknown;
    }
}

// Windows refuses every flag but the error flag for UTF-8 itself; the ANSI
// page (UTF-8 here) takes the usual MB_PRECOMPOSED / WC_COMPOSITECHECK.
bool FlagsOk(uint32_t cp, uint32_t flags, uint32_t errFlag) {
    if (cp == kCpUtf8)
        return (flags & ~errFlag) == 0;
    return true;
}

// 0x80..0x9F of code page 1252; the five unassigned bytes map to the C1
// controls of the same value, as Windows does.
const char16_t k1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

// Decodes UTF-8 into out (may be null: count only). Returns the unit count,
// -1 when strict and the input is invalid.
long DecodeUtf8(const unsigned char* s, size_t n, WChar* out, bool strict) {
    long count = 0;
    auto emit = [&](char32_t c) {
        if (c >= 0x10000) {
            c -= 0x10000;
            if (out) {
                out[count] = static_cast<WChar>(0xD800 + (c >> 10));
                out[count + 1] = static_cast<WChar>(0xDC00 + (c & 0x3FF));
            }
            count += 2;
        } else {
            if (out)
                out[count] = static_cast<WChar>(c);
            ++count;
        }
    };
    size_t i = 0;
    while (i < n) {
        unsigned char b = s[i];
        if (b < 0x80) {
            emit(b);
            ++i;
            continue;
        }
        int need;
        char32_t c;
        unsigned char lo = 0x80, hi = 0xBF; // allowed range of the second byte
        if (b >= 0xC2 && b <= 0xDF) {
            need = 1;
            c = b & 0x1F;
        } else if (b >= 0xE0 && b <= 0xEF) {
            need = 2;
            c = b & 0x0F;
            if (b == 0xE0)
                lo = 0xA0; // overlong
            else if (b == 0xED)
                hi = 0x9F; // surrogates
        } else if (b >= 0xF0 && b <= 0xF4) {
            need = 3;
            c = b & 0x07;
            if (b == 0xF0)
                lo = 0x90;
            else if (b == 0xF4)
                hi = 0x8F; // above U+10FFFF
        } else {
            if (strict)
                return -1;
            emit(kReplacement);
            ++i;
            continue;
        }
        // One U+FFFD per maximal ill-formed subpart.
        size_t j = i + 1;
        int got = 0;
        bool ok = true;
        while (got < need) {
            if (j >= n) {
                ok = false;
                break;
            }
            unsigned char t = s[j];
            unsigned char tlo = got == 0 ? lo : 0x80, thi = got == 0 ? hi : 0xBF;
            if (t < tlo || t > thi) {
                ok = false;
                break;
            }
            c = (c << 6) | (t & 0x3F);
            ++j;
            ++got;
        }
        if (!ok) {
            if (strict)
                return -1;
            emit(kReplacement);
            i = j;
            continue;
        }
        emit(c);
        i = j;
    }
    return count;
}

// Encodes UTF-16 as UTF-8 into out (may be null). -1 when strict and a
// surrogate is unpaired; otherwise it becomes U+FFFD.
long EncodeUtf8(const WChar* s, size_t n, char* out, bool strict) {
    long count = 0;
    auto put = [&](unsigned v) {
        if (out)
            out[count] = static_cast<char>(v);
        ++count;
    };
    for (size_t i = 0; i < n; ++i) {
        char32_t c = static_cast<char16_t>(s[i]);
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < n && static_cast<char16_t>(s[i + 1]) >= 0xDC00 &&
            static_cast<char16_t>(s[i + 1]) <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<char16_t>(s[i + 1]) - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            if (strict)
                return -1;
            c = kReplacement;
        }
        if (c < 0x80) {
            put(c);
        } else if (c < 0x800) {
            put(0xC0 | (c >> 6));
            put(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            put(0xE0 | (c >> 12));
            put(0x80 | ((c >> 6) & 0x3F));
            put(0x80 | (c & 0x3F));
        } else {
            put(0xF0 | (c >> 18));
            put(0x80 | ((c >> 12) & 0x3F));
            put(0x80 | ((c >> 6) & 0x3F));
            put(0x80 | (c & 0x3F));
        }
    }
    return count;
}

char16_t SingleByteToWide(Page page, unsigned char b) {
    if (b < 0x80)
        return b;
    if (page == Page::kCp1252 && b < 0xA0)
        return k1252High[b - 0x80];
    if (page == Page::kAscii)
        return b & 0x7F; // what Windows does with 8-bit input to 20127
    return b;
}

char WideToSingleByte(Page page, char16_t c) {
    if (c < 0x80)
        return static_cast<char>(c);
    if (page == Page::kAscii)
        return '?';
    if (page == Page::kCp1252) {
        for (int i = 0; i < 32; ++i)
            if (k1252High[i] == c)
                return static_cast<char>(0x80 + i);
        if (c >= 0xA0 && c <= 0xFF)
            return static_cast<char>(c);
        return '?';
    }
    return c <= 0xFF ? static_cast<char>(c) : '?';
}

} // namespace

int MultiByteToWide(uint32_t cp, uint32_t flags, const char* src, int srcLen, WChar* dst,
                    int dstCap) {
    Page page = PageOf(cp);
    if (page == Page::kUnknown || !src || srcLen == 0 || srcLen < -1 || dstCap < 0 ||
        (dstCap > 0 && !dst) || !FlagsOk(cp, flags, kMbErrInvalidChars))
        return 0;
    size_t n = srcLen == -1 ? std::strlen(src) + 1 : static_cast<size_t>(srcLen);
    const auto* s = reinterpret_cast<const unsigned char*>(src);
    if (page != Page::kUtf8) {
        if (n > 0x7FFFFFFF)
            return 0;
        if (dstCap == 0)
            return static_cast<int>(n);
        if (n > static_cast<size_t>(dstCap))
            return 0;
        for (size_t i = 0; i < n; ++i)
            dst[i] = static_cast<WChar>(SingleByteToWide(page, s[i]));
        return static_cast<int>(n);
    }
    const bool strict = (flags & kMbErrInvalidChars) != 0;
    long need = DecodeUtf8(s, n, nullptr, strict);
    if (need < 0 || need > 0x7FFFFFFF)
        return 0;
    if (dstCap == 0)
        return static_cast<int>(need);
    if (need > dstCap)
        return 0;
    DecodeUtf8(s, n, dst, strict);
    return static_cast<int>(need);
}

int WideToMultiByte(uint32_t cp, uint32_t flags, const WChar* src, int srcLen, char* dst,
                    int dstCap) {
    Page page = PageOf(cp);
    if (page == Page::kUnknown || !src || srcLen == 0 || srcLen < -1 || dstCap < 0 ||
        (dstCap > 0 && !dst) || !FlagsOk(cp, flags, kWcErrInvalidChars))
        return 0;
    size_t n = srcLen == -1 ? WStrLen(src) + 1 : static_cast<size_t>(srcLen);
    if (page != Page::kUtf8) {
        if (n > 0x7FFFFFFF)
            return 0;
        if (dstCap == 0)
            return static_cast<int>(n);
        if (n > static_cast<size_t>(dstCap))
            return 0;
        for (size_t i = 0; i < n; ++i)
            dst[i] = WideToSingleByte(page, static_cast<char16_t>(src[i]));
        return static_cast<int>(n);
    }
    const bool strict = (flags & kWcErrInvalidChars) != 0;
    long need = EncodeUtf8(src, n, nullptr, strict);
    if (need < 0 || need > 0x7FFFFFFF)
        return 0;
    if (dstCap == 0)
        return static_cast<int>(need);
    if (need > dstCap)
        return 0;
    EncodeUtf8(src, n, dst, strict);
    return static_cast<int>(need);
}

size_t WStrLen(const WChar* s) {
    if (!s)
        return 0;
    size_t n = 0;
    while (s[n])
        ++n;
    return n;
}

} // namespace plat
