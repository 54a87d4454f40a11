#include "platform/codepage.h"

#include <cwchar>

#include <windows.h>

namespace plat {

namespace {

// Windows refuses any flag for UTF-7 and UTF-8.
uint32_t FlagsFor(uint32_t cp, uint32_t flags) {
    return cp == kCpUtf7 || cp == kCpUtf8 ? 0 : flags;
}

} // namespace

int MultiByteToWide(uint32_t cp, uint32_t flags, const char* src, int srcLen, WChar* dst,
                    int dstCap) {
    return MultiByteToWideChar(cp, FlagsFor(cp, flags), src, srcLen, dst, dstCap);
}

int WideToMultiByte(uint32_t cp, uint32_t flags, const WChar* src, int srcLen, char* dst,
                    int dstCap) {
    return WideCharToMultiByte(cp, FlagsFor(cp, flags), src, srcLen, dst, dstCap, nullptr, nullptr);
}

size_t WStrLen(const WChar* s) {
    return s ? std::wcslen(s) : 0;
}

WChar WToLower(WChar c) {
    if (c < 0x80)
        return c >= L'A' && c <= L'Z' ? static_cast<WChar>(c + 32) : c;
    // One unit at a time and independent of the user's locale, as CharLowerW.
    WChar out = c;
    if (LCMapStringW(LOCALE_INVARIANT, LCMAP_LOWERCASE, &c, 1, &out, 1) != 1)
        return c;
    return out;
}

WChar WToUpper(WChar c) {
    if (c < 0x80)
        return c >= L'a' && c <= L'z' ? static_cast<WChar>(c - 32) : c;
    WChar out = c;
    if (LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, &c, 1, &out, 1) != 1)
        return c;
    return out;
}

int WStrNICmp(const WChar* a, const WChar* b, size_t n) {
    // Not _wcsnicmp: in the C runtime's default locale it folds A-Z only, and
    // names must compare the same as on the other backend.
    for (size_t i = 0; i < n; ++i) {
        int ca = static_cast<uint16_t>(a[i]);
        int cb = static_cast<uint16_t>(b[i]);
        if (ca != cb) {
            ca = static_cast<uint16_t>(WToLower(a[i]));
            cb = static_cast<uint16_t>(WToLower(b[i]));
            if (ca != cb)
                return ca - cb;
        }
        if (ca == 0)
            return 0;
    }
    return 0;
}

int WStrICmp(const WChar* a, const WChar* b) {
    return WStrNICmp(a, b, static_cast<size_t>(-1));
}

} // namespace plat
