// Case-insensitive comparison of names, the same on every backend: a fold
// that differs between platforms would merge two configured names on one
// and not on the other.
#include "platform/codepage.h"

namespace plat {

namespace {

struct FoldRun {
    uint16_t first;
    uint16_t last;
    uint16_t delta; // added modulo 2^16
    uint8_t stride; // 1: every unit of the run; 2: first, first + 2, ...
};

const FoldRun kFoldRuns[] = {
#include "casefold_data.inc"
};

} // namespace

WChar WFoldCase(WChar w) {
    const uint16_t c = static_cast<uint16_t>(w);
    if (c < 0x80)
        return c >= 'A' && c <= 'Z' ? static_cast<WChar>(c + 32) : w;
    // The run with the lowest last unit at or above c.
    size_t lo = 0, hi = sizeof kFoldRuns / sizeof kFoldRuns[0];
    while (lo < hi) {
        size_t mid = lo + (hi - lo) / 2;
        if (kFoldRuns[mid].last < c)
            lo = mid + 1;
        else
            hi = mid;
    }
    if (lo == sizeof kFoldRuns / sizeof kFoldRuns[0])
        return w;
    const FoldRun& r = kFoldRuns[lo];
    if (c < r.first || (c - r.first) % r.stride != 0)
        return w;
    return static_cast<WChar>(static_cast<uint16_t>(c + r.delta));
}

int WStrNICmp(const WChar* a, const WChar* b, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        int ca = static_cast<uint16_t>(a[i]);
        int cb = static_cast<uint16_t>(b[i]);
        if (ca != cb) {
            // Names are mostly ASCII: fold those here, without the table.
            if ((ca | cb) < 0x80) {
                ca += ca >= 'A' && ca <= 'Z' ? 32 : 0;
                cb += cb >= 'A' && cb <= 'Z' ? 32 : 0;
            } else {
                ca = static_cast<uint16_t>(WFoldCase(a[i]));
                cb = static_cast<uint16_t>(WFoldCase(b[i]));
            }
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
