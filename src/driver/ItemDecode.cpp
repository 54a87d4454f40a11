// An item's image bytes decoded into a VARIANT, and a VARIANT delivered to the
// host as the type it asks for.
#include "driver/ItemCodec.h"

#include <cmath>
#include <cstring>

#include "driver/ItemCodecShared.h"
#include "platform/codepage.h"
#include "support/ValueConvert.h"

using namespace codec;
using plat::Variant;

namespace {

uint32_t Word32(const uint8_t* b, int wordOrder) {
    if (wordOrder == 1)
        return b[0] | uint32_t{b[1]} << 8 | uint32_t{b[2]} << 16 | uint32_t{b[3]} << 24;
    return b[2] | uint32_t{b[3]} << 8 | uint32_t{b[0]} << 16 | uint32_t{b[1]} << 24;
}

// UTF-8 bytes of text[0, len) without a last character whose bytes run past
// len: a text cut at its item's length must not end in half a character.
size_t WholeCharacters(const char* text, size_t len) {
    size_t lead = len;
    while (lead > 0 && (static_cast<uint8_t>(text[lead - 1]) & 0xC0) == 0x80)
        --lead;
    if (lead == 0)
        return len;
    const uint8_t c = static_cast<uint8_t>(text[lead - 1]);
    const size_t need = (c & 0xE0) == 0xC0   ? 2
                        : (c & 0xF0) == 0xE0 ? 3
                        : (c & 0xF8) == 0xF0 ? 4
                                             : 1;
    return len - (lead - 1) < need ? lead - 1 : len;
}

bool DecodeText(const uint8_t* bytes, size_t available, uint16_t stringLength, Variant* out) {
    size_t n = (static_cast<size_t>(stringLength) + 1) & ~size_t{1};
    if (n > kMaxTextBytes)
        n = kMaxTextBytes;
    if (n > available)
        return false;
    char raw[kMaxTextBytes + 1];
    if (n > 0)
        std::memcpy(raw, bytes, n);
    // The image holds host order; the text was written in PLC order.
    for (size_t i = 0; i + 1 < n; i += 2) {
        const char c = raw[i];
        raw[i] = raw[i + 1];
        raw[i + 1] = c;
    }
    const size_t end = stringLength < kMaxTextBytes ? stringLength : kMaxTextBytes;
    raw[end] = 0;
    raw[WholeCharacters(raw, std::strlen(raw))] = 0;
    // No UTF-8 byte yields more than one UTF-16 unit, so the text never has
    // more characters than the string length.
    WChar text[kMaxTextBytes + 1];
    if (plat::MultiByteToWide(plat::kCpUtf8, 0, raw, -1, text, kMaxTextBytes + 1) <= 0)
        text[0] = 0;
    out->bstrVal = plat::BstrAlloc(text);
    return out->bstrVal != nullptr;
}

} // namespace

int32_t HostTypeOfVariant(uint16_t vt) {
    switch (vt) {
    case plat::kVtI2:
        return TypeI16;
    case plat::kVtI4:
        return TypeI32;
    case plat::kVtR4:
        return TypeF32;
    case plat::kVtR8:
        return TypeF64;
    case plat::kVtBstr:
        return TypeText;
    case plat::kVtI1:
        return TypeI8;
    case plat::kVtUi1:
        return TypeU8;
    case plat::kVtUi2:
        return TypeU16;
    case plat::kVtUi4:
        return TypeU32;
    default:
        return TypeI32;
    }
}

bool DecodeItem(const uint8_t* bytes, size_t available, uint32_t unitSize, uint16_t vt,
                uint32_t itemMask, uint32_t nameMask, int wordOrder, uint16_t stringLength,
                Variant* out) {
    if (out == nullptr)
        return false;
    ClearVariant(out);
    out->vt = vt;
    if (bytes == nullptr)
        available = 0;
    const bool itemBit = itemMask != kAllBits;
    const bool nameBit = nameMask != kAllBits;
    // A bit item is judged by its first byte alone.
    const bool firstByteOnly =
        itemBit && vt != plat::kVtBool && vt != plat::kVtBstr && available >= 1;
    const bool itemBitSet = firstByteOnly && (bytes[0] & LowByte(itemMask)) != 0;
    switch (vt) {
    case plat::kVtI2:
    case plat::kVtUi2: {
        if (firstByteOnly) {
            out->uiVal = itemBitSet ? 1 : 0;
            return true;
        }
        if (itemBit || available < 2 || (nameBit && (nameMask & 0xFFFFu) == 0))
            return false;
        uint32_t w = bytes[0] | uint32_t{bytes[1]} << 8;
        if (nameBit)
            w = (w & nameMask) != 0 ? 1 : 0;
        out->uiVal = static_cast<uint16_t>(w);
        return true;
    }
    case plat::kVtI4:
    case plat::kVtUi4: {
        if (firstByteOnly) {
            out->ulVal = itemBitSet ? 1 : 0;
            return true;
        }
        if (itemBit || available < 4)
            return false;
        uint32_t x = Word32(bytes, wordOrder);
        if (nameBit)
            x = (x & nameMask) != 0 ? 1 : 0;
        out->ulVal = x;
        return true;
    }
    case plat::kVtR4: {
        if (firstByteOnly) {
            out->fltVal = itemBitSet ? 1.0f : 0.0f;
            return true;
        }
        if (itemBit || nameBit || available < 4)
            return false;
        const uint32_t bits = Word32(bytes, wordOrder);
        std::memcpy(&out->fltVal, &bits, sizeof bits);
        return true;
    }
    case plat::kVtR8: {
        if (firstByteOnly) {
            out->dblVal = itemBitSet ? 1.0 : 0.0;
            return true;
        }
        if (itemBit || nameBit || available < 8)
            return false;
        // A double is written in its own byte order; the image holds words
        // low byte first, so the pairs are put back before reading it.
        uint8_t own[8];
        for (int i = 0; i < 8; ++i)
            own[i] = unitSize >= 2 ? bytes[i ^ 1] : bytes[i];
        const uint64_t bits = LittleEndian(own, 8);
        std::memcpy(&out->dblVal, &bits, sizeof bits);
        return true;
    }
    case plat::kVtBool: {
        // One byte, as it is written: on a wider unit its low byte.
        if (available < 1 || (!itemBit && nameBit && LowByte(nameMask) == 0))
            return false;
        uint32_t number = bytes[0];
        if (itemBit)
            number &= itemMask;
        else if (nameBit)
            number &= nameMask;
        out->boolVal = number != 0 ? plat::kVariantTrue : plat::kVariantFalse;
        return true;
    }
    case plat::kVtI1:
    case plat::kVtUi1: {
        if (available < 1 || (!itemBit && nameBit && LowByte(nameMask) == 0))
            return false;
        uint8_t b = bytes[0];
        if (itemBit)
            b = itemBitSet ? 1 : 0;
        else if (nameBit)
            b = (b & LowByte(nameMask)) != 0 ? 1 : 0;
        out->bVal = b;
        return true;
    }
    case plat::kVtBstr:
        if (nameBit)
            return false;
        return DecodeText(bytes, available, stringLength, out);
    default:
        return false;
    }
}

size_t ValueBytes(const uint8_t* bytes, size_t available, uint16_t vt, uint32_t itemMask,
                  uint16_t stringLength) {
    if (vt == plat::kVtBstr) {
        const size_t n = stringLength < kMaxTextBytes ? stringLength : kMaxTextBytes;
        // The text is in PLC order: each pair of the image swapped.
        for (size_t i = 0; bytes != nullptr && i < n; ++i)
            if ((i ^ 1) < available && bytes[i ^ 1] == 0)
                return i + 1;
        return n;
    }
    if (!IsItemType(vt))
        return 0;
    if (itemMask != kAllBits)
        return 1;
    return plat::VariantBytes(vt);
}

int32_t VariantSourceType(uint16_t vt) {
    switch (vt) {
    case plat::kVtI2:
    case plat::kVtI4:
    case plat::kVtR4:
    case plat::kVtR8:
    case plat::kVtBstr:
    case plat::kVtI1:
    case plat::kVtUi1:
    case plat::kVtUi2:
        return HostTypeOfVariant(vt);
    case plat::kVtBool:
        return TypeI8;
    default:
        return TypeU32;
    }
}

int32_t DefaultDestination(uint16_t vt) {
    return vt == plat::kVtBool ? TypeBool : VariantSourceType(vt);
}

namespace {

// Sign and magnitude of a value bound for an integer destination.
struct Whole {
    bool negative;
    uint64_t magnitude;
};

Whole WholeOfSigned(int64_t i) {
    return i < 0 ? Whole{true, 0 - static_cast<uint64_t>(i)}
                 : Whole{false, static_cast<uint64_t>(i)};
}

Whole WholeOfReal(double d) {
    if (std::isnan(d))
        return {false, 0};
    const double m = std::trunc(std::fabs(d));
    if (m >= 18446744073709551616.0)
        return {d < 0, UINT64_MAX};
    return {d < 0 && m != 0, static_cast<uint64_t>(m)};
}

// The value of a decoded VARIANT of type vt as an integer; false for a type
// that has no number (a text item is read as its decimal integer).
Whole WholeOf(const Variant& v, uint16_t vt, const WChar* text) {
    switch (vt) {
    case plat::kVtBool:
        return {false, v.boolVal == plat::kVariantTrue ? 1u : 0u};
    case plat::kVtI1:
        return WholeOfSigned(v.cVal);
    case plat::kVtUi1:
        return {false, v.bVal};
    case plat::kVtI2:
        return WholeOfSigned(v.iVal);
    case plat::kVtUi2:
        return {false, v.uiVal};
    case plat::kVtI4:
        return WholeOfSigned(v.lVal);
    case plat::kVtR4:
        return WholeOfReal(v.fltVal);
    case plat::kVtR8:
        return WholeOfReal(v.dblVal);
    case plat::kVtBstr: {
        const int64_t i = ParseInt64(text);
        return i == INT64_MAX ? Whole{false, ParseUInt64(text)} : WholeOfSigned(i);
    }
    default:
        return {false, v.ulVal};
    }
}

// A truth value is no integer here.
int IntegerWidth(int32_t type) {
    return type == TypeBool ? 0 : IntegerBytes(static_cast<ValueType>(type));
}

// The destination's bits of w, at the destination's limits when beyond
// them: a value never comes back with its sign or magnitude turned over.
uint64_t Saturated(const Whole& w, int32_t type) {
    const int bits = IntegerWidth(type) * 8;
    if (IsSignedHost(type)) {
        const uint64_t limit = uint64_t{1} << (bits - 1);
        if (w.negative)
            return 0 - (w.magnitude < limit ? w.magnitude : limit);
        return w.magnitude < limit - 1 ? w.magnitude : limit - 1;
    }
    if (w.negative)
        return 0;
    const uint64_t max = bits == 64 ? UINT64_MAX : (uint64_t{1} << bits) - 1;
    return w.magnitude < max ? w.magnitude : max;
}

} // namespace

bool DeliverValue(const Variant& v, uint16_t vt, int32_t requestedType, void* buffer,
                  int32_t capacity, int32_t* count) {
    if (buffer == nullptr)
        return false;
    const int32_t dest = requestedType == TypeDefault ? DefaultDestination(vt) : requestedType;
    if (dest < TypeBool || dest > TypeText)
        return false;
    const WChar* text = v.vt == plat::kVtBstr && v.bstrVal != nullptr ? v.bstrVal : W16("");
    const uint8_t truth = v.boolVal == plat::kVariantTrue ? 1 : 0;
    // Every number starts at the union's first byte.
    const void* src = vt == plat::kVtBstr   ? static_cast<const void*>(text)
                      : vt == plat::kVtBool ? static_cast<const void*>(&truth)
                                            : static_cast<const void*>(&v.ullVal);
    const ValueType from = static_cast<ValueType>(VariantSourceType(vt));
    if (dest == TypeText) {
        if (capacity < 1)
            return false;
        WChar work[kMaxTextBytes] = {};
        int n;
        if (vt == plat::kVtBstr) {
            // Cut to the host's room, never inside a surrogate pair.
            ConvertValue(TypeText, work, TypeText, text,
                         capacity < kMaxTextBytes ? capacity : kMaxTextBytes);
            n = static_cast<int>(plat::WStrLen(work));
        } else {
            // A number cut short would be another number.
            if (!ConvertValue(TypeText, work, from, src, kValueTextWork))
                return false;
            n = static_cast<int>(plat::WStrLen(work));
            if (n + 1 > capacity)
                return false;
        }
        std::memcpy(buffer, work, static_cast<size_t>(n + 1) * sizeof(WChar));
        if (count != nullptr)
            *count = vt == plat::kVtBstr ? n : 1;
        return true;
    }
    // Integers and texts convert as value conversion does (copied, extended
    // or their low bits, as hosts lay them out); only a floating value is
    // saturated, since its low bits would be no value at all.
    const bool floating = vt == plat::kVtR4 || vt == plat::kVtR8;
    if (dest == TypeF32 || dest == TypeF64 || (!floating && dest != TypeBool)) {
        if (!ConvertValue(static_cast<ValueType>(dest), buffer, from, src, kValueTextWork))
            return false;
    } else {
        const Whole w = WholeOf(v, vt, text);
        uint8_t* out = static_cast<uint8_t*>(buffer);
        if (dest == TypeBool) {
            // A text says true or false itself, or is a number.
            uint8_t word = 0;
            if (vt == plat::kVtBstr)
                ConvertValue(TypeBool, &word, TypeText, text, 0);
            out[0] = word != 0 || w.magnitude != 0 ? 1 : 0;
        } else {
            const uint64_t bits = Saturated(w, dest);
            for (int i = 0; i < IntegerWidth(dest); ++i)
                out[i] = static_cast<uint8_t>(bits >> (8 * i));
        }
    }
    if (count != nullptr)
        *count = 1;
    return true;
}
