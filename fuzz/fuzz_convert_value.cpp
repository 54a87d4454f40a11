// ConvertValue from text into every destination, and from raw bytes of every
// number type (NaN, infinities and huge floats included) into every
// destination, with guards around what it writes.
#include "FuzzKit.h"
#include "support/ValueConvert.h"

namespace {

using fuzz::Check;

constexpr unsigned char kGuard = 0xA5;
constexpr int kRoom = 1100; // UTF-16 units of the destination area

// Bytes that each destination may write; 0 for text.
int Width(int type) {
    static const int widths[] = {4, 1, 1, 2, 4, 8, 1, 2, 4, 8, 4, 8, 0};
    return type >= 0 && type <= 12 ? widths[type] : 0;
}

size_t Units(const WChar* s) {
    return fuzz::Length(s, SIZE_MAX);
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
    Check(ok == expected, "unexpected result");
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(area);
    size_t from = 0;
    if (ok && dstType == TypeText) {
        const WChar* end = std::find(area, area + cap, WChar(0));
        Check(end != area + cap, "text result not terminated within its capacity");
        from = (end - area + 1) * sizeof(WChar);
    } else if (ok) {
        from = Width(dstType);
    }
    Check(std::all_of(bytes + from, bytes + std::max(from, span),
                      [](unsigned char b) { return b == kGuard; }),
          "wrote past the destination");
    return ok ? area : nullptr;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2)
        return 0;
    const int dstType = data[0] % 14; // 13 is refused
    const int cap = static_cast<int>(data[1]) * 4 - 2;
    fuzz::Input in{data + 2, size - 2};
    std::vector<WChar> text = in.Units();
    text.push_back(0);
    const std::vector<WChar> before = text;

    WChar area[kRoom];
    const WChar* out = Convert(area, dstType, cap, TypeText, text.data());
    Check(text == before, "source text changed");
    if (out != nullptr && dstType == TypeText) {
        const size_t n = Units(out);
        Check(std::equal(out, out + n, text.data()), "text result is not a prefix of the source");
        Check(n >= Units(text.data()) || n + 2 >= static_cast<size_t>(cap),
              "text result cut short");
    }

    // The same bytes as every number type.
    unsigned char raw[8] = {};
    std::memcpy(raw, data + 2, size - 2 < 8 ? size - 2 : 8);
    for (int src = TypeDefault; src <= TypeF64; ++src) {
        const WChar* number = Convert(area, TypeText, kValueTextWork, src, raw);
        Check(Units(number) <= static_cast<size_t>(kValueTextWork - 2),
              "number text longer than the work area allows");
        // Integer texts read back as the value.
        uint64_t bits = 0;
        std::memcpy(&bits, raw, 8);
        Check(src != TypeU64 || ParseUInt64(number) == bits, "TypeU64 text does not read back");
        Check(src != TypeI64 || ParseInt64(number) == static_cast<int64_t>(bits),
              "TypeI64 text does not read back");
        Check(src != TypeI32 || ParseInt64(number) == static_cast<int32_t>(bits),
              "TypeI32 text does not read back");
        Convert(area, dstType, cap, src, raw);
    }
    return 0;
}
