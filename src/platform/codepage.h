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
// Case-insensitive comparison, the same on every platform and in every
// locale: each unit is folded with WFoldCase, then the units are compared
// as unsigned numbers.
int WStrICmp(const WChar* a, const WChar* b);
int WStrNICmp(const WChar* a, const WChar* b, size_t n);
// Unicode's simple case folding of one UTF-16 unit (casefold_data.inc,
// made by gen_casefold.pl): mostly the lower case, one unit for one unit.
// Units without a folding, surrogates among them, stay as they are.
WChar WFoldCase(WChar c);

} // namespace plat
