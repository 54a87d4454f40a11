#include "platform/types.h"

#include <cwchar>

namespace plat {

const WChar kPathSep = L'\\';

bool IsPathSep(WChar c) {
    return c == L'\\' || c == L'/';
}

bool PathIsAbsolute(const WChar* path) {
    if (!path || !path[0])
        return false;
    if (path[1] == L':')
        return true; // drive letter
    if (path[0] == L'\\' && path[1] == L'\\')
        return true;                             // UNC
    return std::wcsstr(path, L"://") != nullptr; // URL
}

} // namespace plat
