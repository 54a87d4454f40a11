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
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "driver/ItemCodec.h"
#include "platform/variant.h"

namespace {

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "fuzz_item_name: %s\n", what);
    std::abort();
}

void Check(bool ok, const char* what) {
    if (!ok)
        Fail(what);
}

constexpr size_t kMaxBase = 255;

ItemSpec Parse(const std::vector<WChar>& name, bool bitDevice) {
    // Exactly the name and its terminator: ASan sees a read past them.
    std::unique_ptr<WChar[]> block(new WChar[name.size() + 1]);
    if (!name.empty())
        std::memcpy(block.get(), name.data(), name.size() * sizeof(WChar));
    block[name.size()] = 0;
    ItemSpec got;
    std::memset(&got, 0xCD, sizeof got);
    ParseItemName(block.get(), bitDevice, &got);
    for (size_t i = 0; i < name.size(); ++i)
        Check(block[i] == name[i], "the name was changed");
    return got;
}

size_t Length(const WChar* s, size_t cap) {
    size_t n = 0;
    while (n < cap && s[n])
        ++n;
    return n;
}

bool Same(const ItemSpec& a, const ItemSpec& b) {
    const size_t n = Length(a.baseName, 256);
    return n == Length(b.baseName, 256) &&
           std::memcmp(a.baseName, b.baseName, n * sizeof(WChar)) == 0 && a.address == b.address &&
           a.bitMask == b.bitMask && a.vt == b.vt && a.stringLength == b.stringLength;
}

bool IsSpace(WChar c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// The signed decimal after the leading ASCII letters, saturated to 32 bits.
int32_t ExpectedAddress(const std::vector<WChar>& base) {
    size_t i = 0;
    while (i < base.size() &&
           ((base[i] >= 'A' && base[i] <= 'Z') || (base[i] >= 'a' && base[i] <= 'z')))
        ++i;
    while (i < base.size() && IsSpace(base[i]))
        ++i;
    bool negative = false;
    if (i < base.size() && (base[i] == '+' || base[i] == '-'))
        negative = base[i++] == '-';
    int64_t v = 0;
    for (; i < base.size() && base[i] >= '0' && base[i] <= '9'; ++i)
        v = v > 3000000000LL ? v : v * 10 + (base[i] - '0');
    v = negative ? -v : v;
    return v > INT32_MAX ? INT32_MAX : v < INT32_MIN ? INT32_MIN : static_cast<int32_t>(v);
}

bool KnownType(uint16_t vt) {
    switch (vt) {
    case plat::kVtEmpty:
    case plat::kVtBool:
    case plat::kVtI2:
    case plat::kVtUi2:
    case plat::kVtI4:
    case plat::kVtUi4:
    case plat::kVtR4:
    case plat::kVtBstr:
        return true;
    default:
        return false;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    const bool bitDevice = (data[0] & 1) != 0;
    std::vector<WChar> name;
    for (size_t i = 1; i + 1 < size; i += 2)
        name.push_back(static_cast<WChar>(data[i] | data[i + 1] << 8));

    const ItemSpec got = Parse(name, bitDevice);

    // What the parser may see: up to the first NUL, at most 255 characters;
    // the base name is that up to its last full stop.
    std::vector<WChar> seen(name.begin(), name.end());
    for (size_t i = 0; i < seen.size(); ++i)
        if (seen[i] == 0)
            seen.resize(i);
    if (seen.size() > kMaxBase)
        seen.resize(kMaxBase);
    std::vector<WChar> base = seen;
    bool dotted = false;
    for (size_t i = seen.size(); i-- > 0;) {
        if (seen[i] == '.') {
            base.assign(seen.begin(), seen.begin() + static_cast<std::ptrdiff_t>(i));
            dotted = true;
            break;
        }
    }
    const size_t n = Length(got.baseName, 256);
    Check(n < 256, "base name not terminated");
    Check(n <= kMaxBase, "base name longer than 255");
    Check(n == base.size() &&
              (n == 0 || std::memcmp(got.baseName, base.data(), n * sizeof(WChar)) == 0),
          "base name is not the name up to its last full stop");
    Check(got.address == ExpectedAddress(base), "address");
    Check(got.bitMask == kAllBits || (got.bitMask != 0 && (got.bitMask & (got.bitMask - 1)) == 0),
          "bit mask is neither all bits nor one bit");
    Check(KnownType(got.vt), "type is no item type");
    Check((got.stringLength != 0) == (got.vt == plat::kVtBstr), "text length without a text type");
    Check(got.stringLength <= kMaxTextBytes || got.stringLength == 65535, "text length");
    Check(got.vt != plat::kVtBool || bitDevice, "a boolean on a word block");
    if (!dotted)
        Check(got.vt == plat::kVtEmpty && got.bitMask == kAllBits && got.stringLength == 0,
              "a name without a suffix got a type");

    // The other kind of block: only the type and the mask may differ.
    const ItemSpec other = Parse(name, !bitDevice);
    Check(Length(other.baseName, 256) == n &&
              std::memcmp(other.baseName, got.baseName, n * sizeof(WChar)) == 0 &&
              other.address == got.address && other.stringLength == got.stringLength,
          "the block kind changed more than type and mask");

    // The suffix in the other case: the same.
    std::vector<WChar> flipped = name;
    if (dotted) {
        for (size_t i = base.size() + 1; i < seen.size(); ++i) {
            WChar& c = flipped[i];
            if (c >= 'a' && c <= 'z')
                c = static_cast<WChar>(c - 'a' + 'A');
            else if (c >= 'A' && c <= 'Z')
                c = static_cast<WChar>(c - 'A' + 'a');
        }
    }
    Check(Same(Parse(flipped, bitDevice), got), "the case of the suffix matters");

    // The base name with another suffix: the same base and address.
    if (n + 2 <= kMaxBase) {
        std::vector<WChar> again(got.baseName, got.baseName + n);
        again.push_back('.');
        again.push_back('q');
        const ItemSpec second = Parse(again, bitDevice);
        Check(Length(second.baseName, 256) == n &&
                  (n == 0 || std::memcmp(second.baseName, got.baseName, n * sizeof(WChar)) == 0) &&
                  second.address == got.address,
              "the base name parses differently with another suffix");
    }

    ParseItemName(nullptr, bitDevice, nullptr);
    ItemSpec empty;
    ParseItemName(nullptr, bitDevice, &empty);
    Check(empty.baseName[0] == 0 && empty.address == 0 && empty.vt == 0, "null name");
    return 0;
}
