// What a write stages: an item's bytes in PLC order with their masks and
// write types, and their merge into the bytes already staged.
#include "driver/ItemCodec.h"

#include <cstring>

#include "driver/ItemCodecShared.h"
#include "platform/codepage.h"
#include "support/Strings.h"

using namespace codec;
using plat::Variant;

namespace {

void Put(StagedBytes* s, uint8_t data, uint8_t mask) {
    s->data[s->count] = data;
    s->mask[s->count] = mask;
    s->type[s->count] = 0;
    ++s->count;
}

// The first PLC word holds the upper half in mode 0 and the lower in mode 1;
// each word goes high byte first.
void PutWord32(StagedBytes* s, uint32_t value, uint32_t mask, int wordOrder) {
    static const int kMode0[4] = {3, 2, 1, 0};
    static const int kMode1[4] = {1, 0, 3, 2};
    const int* order = wordOrder == 1 ? kMode1 : kMode0;
    for (int i = 0; i < 4; ++i)
        Put(s, LowByte(value >> (8 * order[i])), LowByte(mask >> (8 * order[i])));
}

void StageText(const Variant& v, uint16_t stringLength, StagedBytes* out) {
    const int n =
        stringLength == 0 || stringLength > kMaxStringSuffix ? kMaxTextBytes : stringLength;
    CMString utf8(v.bstrVal != nullptr ? v.bstrVal : W16(""), plat::kCpUtf8);
    const char* text = utf8.CStr();
    int len = static_cast<int>(std::strlen(text));
    if (len > n) {
        // Cut before a character that does not fit whole.
        len = n;
        while (len > 0 && (static_cast<uint8_t>(text[len]) & 0xC0) == 0x80)
            --len;
    }
    const int span = stringLength >= 1 && stringLength <= kMaxStringSuffix ? n + 1 : len + 1;
    // What the host is told was written: the UTF-16 units of the bytes kept
    // (a four-byte character is two of them).
    out->textUnits = 0;
    for (int i = 0; i < len; ++i) {
        const uint8_t c = static_cast<uint8_t>(text[i]);
        out->textUnits += (c & 0xC0) == 0x80 ? 0 : c >= 0xF0 ? 2 : 1;
    }
    std::memset(out->data, 0, static_cast<size_t>(span));
    std::memset(out->mask, 0xFF, static_cast<size_t>(span));
    std::memcpy(out->data, text, static_cast<size_t>(len));
    // The type bytes stay within the text: the NUL after a full-length text
    // lies in the next unit, whose type may belong to another staged write.
    out->typeCount = len > 0 ? len : 1;
    std::memset(out->type, 0, static_cast<size_t>(out->typeCount));
    out->count = span;
}

void Stage(const Variant& v, uint16_t vt, uint32_t itemMask, uint32_t nameMask, int wordOrder,
           uint16_t stringLength, uint32_t unitSize, StagedBytes* out) {
    const bool itemBit = itemMask != kAllBits;
    const bool nameBit = nameMask != kAllBits;
    // A one-byte value on a wider unit is the unit's low byte, the one it is
    // read from: the second in PLC order. The first stays unmasked.
    const auto putByte = [&](uint8_t data, uint8_t mask) {
        if (unitSize >= 2)
            Put(out, 0, 0);
        Put(out, data, mask);
    };
    const auto putItemBit = [&](bool on) {
        putByte(on ? LowByte(itemMask) : 0, LowByte(itemMask));
    };
    switch (vt) {
    case plat::kVtI2:
    case plat::kVtUi2: {
        uint32_t w = v.uiVal;
        if (nameBit)
            w = (w != 0 ? 0xFFFFu : 0u) & nameMask;
        if (itemBit) {
            putItemBit(w != 0);
        } else {
            Put(out, LowByte(w >> 8), LowByte(nameMask >> 8));
            Put(out, LowByte(w), LowByte(nameMask));
        }
        break;
    }
    case plat::kVtI4:
    case plat::kVtUi4: {
        uint32_t x = v.ulVal;
        // A named bit is written as on or off, as it reads.
        if (nameBit)
            x = (x != 0 ? kAllBits : 0u) & nameMask;
        if (itemBit)
            putItemBit(x != 0);
        else
            PutWord32(out, x, nameMask, wordOrder);
        break;
    }
    case plat::kVtR4: {
        uint32_t bits;
        std::memcpy(&bits, &v.fltVal, sizeof bits);
        PutWord32(out, bits, kAllBits, wordOrder);
        break;
    }
    case plat::kVtR8: {
        uint64_t bits;
        std::memcpy(&bits, &v.dblVal, sizeof bits);
        for (int i = 0; i < 8; ++i)
            Put(out, static_cast<uint8_t>(bits >> (8 * i)), 0xFF);
        break;
    }
    case plat::kVtBstr:
        StageText(v, stringLength, out);
        break;
    case plat::kVtBool: {
        const bool on = v.boolVal == plat::kVariantTrue;
        const uint32_t bit = on ? (nameBit ? nameMask : 1u) : 0u;
        if (itemBit)
            putItemBit(bit != 0);
        else
            putByte(LowByte(bit), LowByte(nameMask));
        break;
    }
    default: { // VT_I1, VT_UI1
        uint8_t b = v.bVal;
        if (nameBit)
            b = static_cast<uint8_t>((b != 0 ? 0xFFu : 0u) & nameMask);
        if (itemBit)
            putItemBit(b != 0);
        else
            putByte(b, LowByte(nameMask));
        break;
    }
    }
    out->type[0] = static_cast<uint8_t>(vt);
    if (vt != plat::kVtBstr)
        out->typeCount = out->count;
}

} // namespace

bool BuildStaging(const Variant& v, uint16_t vt, uint32_t itemMask, uint32_t nameMask,
                  int wordOrder, uint16_t stringLength, StagedBytes* out, uint32_t unitSize) {
    if (out == nullptr)
        return false;
    out->count = 0;
    out->typeCount = 0;
    out->textUnits = 0;
    if (!IsItemType(vt))
        return false;
    Variant converted;
    plat::VariantInit(&converted);
    const Variant* src = &v;
    if (v.vt != vt) {
        if (plat::VariantChangeType(&converted, &v, vt) < 0) {
            plat::VariantClear(&converted);
            return false;
        }
        src = &converted;
    }
    Stage(*src, vt, itemMask, nameMask, wordOrder, stringLength, unitSize, out);
    plat::VariantClear(&converted);
    return out->count > 0;
}

void MergeStaged(const StagedBytes& s, uint8_t* data, uint8_t* mask, uint8_t* type, int32_t room) {
    if (data == nullptr || mask == nullptr || room <= 0)
        return;
    constexpr int32_t kMax = kMaxTextBytes + 1;
    const auto bound = [&](int32_t n) { return n < 0 ? 0 : n > kMax ? kMax : n > room ? room : n; };
    const int32_t n = bound(s.count);
    for (int32_t i = 0; i < n; ++i) {
        const uint8_t m = s.mask[i];
        // A whole byte replaces; otherwise only its masked bits do, so that
        // bits staged earlier and not yet sent survive.
        data[i] = static_cast<uint8_t>((s.data[i] & m) | (data[i] & ~m));
        mask[i] |= m;
    }
    if (type != nullptr) {
        const int32_t t = bound(s.typeCount);
        for (int32_t i = 0; i < t; ++i)
            type[i] = s.type[i];
    }
}
