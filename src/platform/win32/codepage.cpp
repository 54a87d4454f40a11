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

} // namespace plat
