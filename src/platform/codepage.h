// UTF-16 <-> 8-bit text and UTF-16 string helpers.
#pragma once

#include "platform/types.h"

namespace plat {

constexpr uint32_t kCpAcp = 0;
constexpr uint32_t kCpUtf7 = 65000;
constexpr uint32_t kCpUtf8 = 65001;
constexpr uint32_t kMbPrecomposed = 0x1;
constexpr uint32_t kWcCompositeCheck = 0x200;

// As MultiByteToWideChar: srcLen -1 includes the terminator; dstCap 0 asks
// for the units needed. Returns units written (or needed), 0 on failure.
// On POSIX the ANSI code page is UTF-8; invalid bytes become U+FFFD.
int MultiByteToWide(uint32_t cp, uint32_t flags, const char* src, int srcLen, WChar* dst,
                    int dstCap);
// As WideCharToMultiByte with no default character.
int WideToMultiByte(uint32_t cp, uint32_t flags, const WChar* src, int srcLen, char* dst,
                    int dstCap);

size_t WStrLen(const WChar* s);
// Case-insensitive comparison in the manner of _wcsicmp (letters folded to
// lower case, then compared as unsigned units).
int WStrICmp(const WChar* a, const WChar* b);
int WStrNICmp(const WChar* a, const WChar* b, size_t n);
WChar WToLower(WChar c);
WChar WToUpper(WChar c);

} // namespace plat
