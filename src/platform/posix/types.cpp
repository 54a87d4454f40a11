#include "platform/types.h"

namespace plat {

const WChar kPathSep = u'/';

bool IsPathSep(WChar c) {
    return c == u'/';
}

bool PathIsAbsolute(const WChar* path) {
    return path && path[0] == u'/';
}

} // namespace plat
