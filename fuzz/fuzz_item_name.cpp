// Item names on ParseItemName: the name is copied to a heap block of exactly
// its length and terminator, so that any read past it is caught. The base
// name must be terminated, at most 255 characters, and the name's first 255
// characters up to their last full stop; the address the signed decimal
// after its letters (saturated); the bit mask all ones or one bit; the type
// one of the item types, a text length only with a text type. The block's
// bit-device flag, the case of the suffix and parsing the base name again
// change nothing else.
//
// Input: byte 0 bit 0 is the bit-device flag; the rest are UTF-16 units, low
// byte first.
#include "FuzzKit.h"
#include "driver/ItemCodec.h"
#include "platform/variant.h"

namespace {

using fuzz::Check;
using fuzz::Length;

constexpr size_t kMaxBase = 255;

ItemSpec Parse(const std::vector<WChar>& name, bool bitDevice) {
    const std::unique_ptr<WChar[]> block = fuzz::Exact(name);
    ItemSpec got;
    std::memset(&got, 0xCD, sizeof got);
    ParseItemName(block.get(), bitDevice, &got);
    Check(std::equal(name.begin(), name.end(), block.get()), "the name was changed");
    return got;
}

// The same base name (n units) and address, and with all, the same type.
bool Same(const ItemSpec& a, const ItemSpec& b, size_t n, bool all) {
    return Length(b.baseName, 256) == n &&
           std::memcmp(a.baseName, b.baseName, n * sizeof(WChar)) == 0 && a.address == b.address &&
           (!all || (a.bitMask == b.bitMask && a.vt == b.vt && a.stringLength == b.stringLength));
}

bool IsLetter(WChar c) {
    return (c | 0x20) >= 'a' && (c | 0x20) <= 'z';
}

// The signed decimal after the leading ASCII letters, saturated to 32 bits.
int32_t ExpectedAddress(const std::vector<WChar>& base) {
    size_t i = 0;
    while (i < base.size() && IsLetter(base[i]))
        ++i;
    while (i < base.size() && (base[i] == ' ' || (base[i] >= '\t' && base[i] <= '\r')))
        ++i;
    bool negative = false;
    if (i < base.size() && (base[i] == '+' || base[i] == '-'))
        negative = base[i++] == '-';
    int64_t v = 0;
    for (; i < base.size() && base[i] >= '0' && base[i] <= '9'; ++i)
        v = v > 3000000000LL ? v : v * 10 + (base[i] - '0');
    return fuzz::Sat32(negative ? -v : v);
}

bool KnownType(uint16_t vt) {
    const uint16_t types[] = {plat::kVtEmpty, plat::kVtBool, plat::kVtI2, plat::kVtUi2,
                              plat::kVtI4,    plat::kVtUi4,  plat::kVtR4, plat::kVtBstr};
    return std::find(std::begin(types), std::end(types), vt) != std::end(types);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    fuzz::Input in{data, size};
    const bool bitDevice = (in.Byte() & 1) != 0;
    const std::vector<WChar> name = in.Units();
    const ItemSpec got = Parse(name, bitDevice);

    // What the parser may see: up to the first NUL, at most 255 characters;
    // the base name is that up to its last full stop.
    std::vector<WChar> seen(name.begin(), std::find(name.begin(), name.end(), WChar{0}));
    seen.resize(std::min(seen.size(), kMaxBase));
    const auto dot = std::find(seen.rbegin(), seen.rend(), WChar{'.'});
    const bool dotted = dot != seen.rend();
    const std::vector<WChar> base(seen.begin(), dotted ? dot.base() - 1 : seen.end());
    const size_t n = Length(got.baseName, 256);
    Check(n < 256, "base name not terminated");
    Check(n <= kMaxBase, "base name longer than 255");
    Check(n == base.size() && std::equal(base.begin(), base.end(), got.baseName),
          "base name is not the name up to its last full stop");
    Check(got.address == ExpectedAddress(base), "address");
    Check(got.bitMask == kAllBits || (got.bitMask != 0 && (got.bitMask & (got.bitMask - 1)) == 0),
          "bit mask is neither all bits nor one bit");
    Check(KnownType(got.vt), "type is no item type");
    Check((got.stringLength != 0) == (got.vt == plat::kVtBstr), "text length without a text type");
    Check(got.stringLength <= kMaxTextBytes || got.stringLength == 65535, "text length");
    Check(got.vt != plat::kVtBool || bitDevice, "a boolean on a word block");
    Check(dotted || (got.vt == plat::kVtEmpty && got.bitMask == kAllBits && got.stringLength == 0),
          "a name without a suffix got a type");

    // The other kind of block: only the type and the mask may differ.
    const ItemSpec other = Parse(name, !bitDevice);
    Check(Same(got, other, n, false) && other.stringLength == got.stringLength,
          "the block kind changed more than type and mask");

    // The suffix in the other case: the same.
    std::vector<WChar> flipped = name;
    for (size_t i = base.size() + 1; dotted && i < seen.size(); ++i)
        if (IsLetter(flipped[i]))
            flipped[i] ^= 0x20;
    Check(Same(got, Parse(flipped, bitDevice), n, true), "the case of the suffix matters");

    // The base name with another suffix: the same base and address.
    if (n + 2 <= kMaxBase) {
        std::vector<WChar> again(got.baseName, got.baseName + n);
        again.push_back('.');
        again.push_back('q');
        Check(Same(got, Parse(again, bitDevice), n, false),
              "the base name parses differently with another suffix");
    }

    ParseItemName(nullptr, bitDevice, nullptr);
    ItemSpec empty;
    ParseItemName(nullptr, bitDevice, &empty);
    Check(empty.baseName[0] == 0 && empty.address == 0 && empty.vt == 0, "null name");
    return 0;
}
