// Basic types shared by the whole project: the UTF-16 character type and
// path conventions of the platform.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
typedef wchar_t WChar;
#define W16(s) L##s
#define NIMBRO_STDCALL __stdcall
#else
typedef char16_t WChar;
#define W16(s) u##s
#define NIMBRO_STDCALL
#endif

static_assert(sizeof(WChar) == 2, "WChar must be a UTF-16 unit");

namespace plat {

constexpr uint32_t kMaxPath = 260;
constexpr uint32_t kInfinite = 0xFFFFFFFFu;

// The separator this platform writes between folder and file name.
extern const WChar kPathSep;

// True for a character that separates path components here.
bool IsPathSep(WChar c);

// True when the path does not depend on a base folder (drive letter, UNC or
// URL on Windows; a leading '/' on POSIX).
bool PathIsAbsolute(const WChar* path);

} // namespace plat
