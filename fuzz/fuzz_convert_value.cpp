// ConvertValue from text into every destination, and from raw bytes of every
// number type (NaN, infinities and huge floats included) into every
// destination, with guards around what it writes.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "support/ValueConvert.h"

namespace {

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "fuzz_convert_value: %s\n", what);
    std::abort();
}

constexpr unsigned char kGuard = 0xA5;
constexpr int kRoom = 1100; // UTF-16 units of the destination area

// Bytes that each destination may write; 0 for text.
int Width(int type) {
    static const int widths[] = {4, 1, 1, 2, 4, 8, 1, 2, 4, 8, 4, 8, 0};
    return type >= 0 && type <= 12 ? widths[type] : 0;
}

size_t Units(const WChar* s) {
    size_t n = 0;
    while (s[n] != 0)
        ++n;
    return n;
}

// Converts into a guarded area and checks that nothing past the destination's
// width or capacity changed. Returns the result text for text destinations.
const WChar* Convert(WChar (&area)[kRoom], int dstType, int cap, int srcType, const void* src) {
    // Guards over the capacity and a little beyond: enough to see an overrun.
    const size_t span = std::min<size_t>(kRoom, (cap > 0 ? cap : 0) + 16) * sizeof(WChar);
    std::memset(area, kGuard, span);
    const bool ok = ConvertValue(static_cast<ValueType>(dstType), area,
                                 static_cast<ValueType>(srcType), src, cap);
    const bool known = dstType >= 0 && dstType <= 12 && srcType >= 0 && srcType <= 12;
    const bool expected = known && (dstType != TypeText || cap >= 1);
    if (ok != expected)
        Fail("unexpected result");
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(area);
    size_t from = 0;
    if (ok && dstType == TypeText) {
        const WChar* end = std::find(area, area + cap, WChar(0));
        if (end == area + cap)
            Fail("text result not terminated within its capacity");
        from = (end - area + 1) * sizeof(WChar);
    } else if (ok) {
        from = Width(dstType);
    }
    for (size_t i = from; i < span; ++i)
        if (bytes[i] != kGuard)
            Fail("wrote past the destination");
    return ok ? area : nullptr;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2)
        return 0;
    const int dstType = data[0] % 14; // 13 is refused
    const int cap = static_cast<int>(data[1]) * 4 - 2;
    std::vector<WChar> text;
    for (size_t i = 2; i + 1 < size; i += 2)
        text.push_back(static_cast<WChar>(data[i] | (data[i + 1] << 8)));
    text.push_back(0);
    const std::vector<WChar> before = text;

    WChar area[kRoom];
    const WChar* out = Convert(area, dstType, cap, TypeText, text.data());
    if (text != before)
        Fail("source text changed");
    if (out != nullptr && dstType == TypeText) {
        const size_t n = Units(out);
        if (std::memcmp(out, text.data(), n * sizeof(WChar)) != 0)
            Fail("text result is not a prefix of the source");
        if (n < Units(text.data()) && n + 2 < static_cast<size_t>(cap))
            Fail("text result cut short");
    }

    // The same bytes as every number type.
    unsigned char raw[8] = {};
    std::memcpy(raw, data + 2, size - 2 < 8 ? size - 2 : 8);
    for (int src = TypeDefault; src <= TypeF64; ++src) {
        const WChar* number = Convert(area, TypeText, kValueTextWork, src, raw);
        if (Units(number) > static_cast<size_t>(kValueTextWork - 2))
            Fail("number text longer than the work area allows");
        // Integer texts read back as the value.
        uint64_t bits = 0;
        std::memcpy(&bits, raw, 8);
        if (src == TypeU64 && ParseUInt64(number) != bits)
            Fail("TypeU64 text does not read back");
        if (src == TypeI64 && ParseInt64(number) != static_cast<int64_t>(bits))
            Fail("TypeI64 text does not read back");
        if (src == TypeI32 && ParseInt64(number) != static_cast<int32_t>(bits))
            Fail("TypeI32 text does not read back");
        Convert(area, dstType, cap, src, raw);
    }
    return 0;
}
