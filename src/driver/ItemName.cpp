// Item names: base name, address, bit, type and text length.
#include "driver/ItemCodec.h"

#include "driver/ItemCodecShared.h"
#include "platform/ascii.h"
#include "support/Strings.h"

using namespace codec;
using plat::AfterPrefixNoCase;
using plat::EqualsNoCase;

namespace {

constexpr int kNameWork = 256;
// A String suffix of 0 marks an item that has no value to deliver.
constexpr uint16_t kNoStringValue = 65535;

bool IsAsciiLetter(WChar c) {
    return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z');
}

// Leading decimal digits; the value stops growing at limit.
uint32_t DigitsSaturated(const WChar* p, uint32_t limit) {
    uint32_t v = 0;
    for (; IsDigit(*p); ++p) {
        const uint32_t digit = static_cast<uint32_t>(*p - u'0');
        v = v > (limit - digit) / 10 ? limit : v * 10 + digit;
    }
    return v;
}

// Leading decimal digits modulo 32, exact however long the number.
uint32_t DigitsMod32(const WChar* p) {
    uint32_t v = 0;
    for (; IsDigit(*p); ++p)
        v = (v * 10 + static_cast<uint32_t>(*p - u'0')) % 32;
    return v;
}

// Optional white space and sign, then decimal digits, saturated to 32 bits.
int32_t SignedDecimal(const WChar* p) {
    while (IsSpace(*p))
        ++p;
    bool negative = false;
    if (*p == u'+' || *p == u'-')
        negative = *p++ == u'-';
    const uint32_t limit = negative ? uint32_t{1} << 31 : static_cast<uint32_t>(INT32_MAX);
    const uint32_t magnitude = DigitsSaturated(p, limit);
    return negative ? static_cast<int32_t>(0 - static_cast<int64_t>(magnitude))
                    : static_cast<int32_t>(magnitude);
}

} // namespace

bool ParseItemName(const WChar* name, bool bitDevice, ItemSpec* parsed) {
    if (parsed == nullptr)
        return false;
    parsed->address = 0;
    parsed->bitMask = kAllBits;
    parsed->vt = plat::kVtEmpty;
    parsed->stringLength = 0;
    WChar work[kNameWork];
    CopyTextW(work, name != nullptr ? name : W16(""), kNameWork);

    WChar* dot = nullptr;
    for (WChar* p = work; *p != 0; ++p)
        if (*p == u'.')
            dot = p;
    if (dot != nullptr) {
        *dot = 0;
        const WChar* suffix = dot + 1;
        // Data registers are words unless the suffix says otherwise.
        if (work[0] == u'D' || work[0] == u'd')
            parsed->vt = plat::kVtUi2;
        const WChar* number;
        if (EqualsNoCase(suffix, "bit")) {
            if (bitDevice)
                parsed->vt = plat::kVtBool;
            else
                parsed->bitMask = 1;
        } else if (EqualsNoCase(suffix, "word")) {
            parsed->vt = plat::kVtUi2;
        } else if (EqualsNoCase(suffix, "integer")) {
            parsed->vt = plat::kVtI2;
        } else if (EqualsNoCase(suffix, "double")) {
            parsed->vt = plat::kVtUi4;
        } else if (EqualsNoCase(suffix, "long")) {
            parsed->vt = plat::kVtI4;
        } else if (EqualsNoCase(suffix, "float")) {
            parsed->vt = plat::kVtR4;
        } else if (EqualsNoCase(suffix, "string")) {
            parsed->vt = plat::kVtBstr;
            parsed->stringLength = kMaxTextBytes;
        } else if ((number = AfterPrefixNoCase(suffix, "string")) != nullptr) {
            parsed->vt = plat::kVtBstr;
            const uint32_t n = DigitsSaturated(number, kMaxStringSuffix);
            parsed->stringLength = n == 0 ? kNoStringValue : static_cast<uint16_t>(n);
        } else if ((number = AfterPrefixNoCase(suffix, "bit")) != nullptr) {
            parsed->bitMask = uint32_t{1} << DigitsMod32(number);
        }
    }
    CopyTextW(parsed->baseName, work, kNameWork);

    const WChar* p = work;
    while (IsAsciiLetter(*p))
        ++p;
    parsed->address = SignedDecimal(p);

    // Letters, then the address in ASCII digits and nothing else: a blank,
    // a sign, other digits or no digits would read an address the name does
    // not show, and a comma would split the listing.
    bool wellFormed = IsDigit(*p);
    while (IsDigit(*p))
        ++p;
    wellFormed = wellFormed && *p == 0;
    for (const WChar* c = name != nullptr ? name : W16(""); *c != 0; ++c)
        wellFormed = wellFormed && *c != u',';
    return wellFormed;
}
