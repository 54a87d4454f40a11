// Item names: base name, address, bit, type and text length.
#include "driver/ItemCodec.h"

#include "driver/ItemCodecShared.h"
#include "model/DeviceTypes.h"
#include "platform/ascii.h"
#include "support/Strings.h"

using namespace codec;
using plat::AfterPrefixNoCase;
using plat::EqualsNoCase;

namespace {

bool IsDigit(WChar c) {
    return c >= u'0' && c <= u'9';
}

constexpr int kNameWork = 256;
// A String suffix of 0 marks an item that has no value to deliver.
constexpr uint16_t kNoStringValue = 65535;

// Leading decimal digits modulo 32, exact however long the number.
uint32_t DigitsMod32(const WChar* p) {
    uint32_t v = 0;
    for (; IsDigit(*p); ++p)
        v = (v * 10 + static_cast<uint32_t>(*p - u'0')) % 32;
    return v;
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
            const uint32_t n = plat::LeadingDecimal(number, kMaxStringSuffix);
            parsed->stringLength = n == 0 ? kNoStringValue : static_cast<uint16_t>(n);
        } else if ((number = AfterPrefixNoCase(suffix, "bit")) != nullptr) {
            parsed->bitMask = uint32_t{1} << DigitsMod32(number);
        }
    }
    CopyTextW(parsed->baseName, work, kNameWork);

    parsed->address = model::NumberOfName(work);
    const WChar* p = work;
    while (plat::IsAsciiLetter(*p))
        ++p;

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
