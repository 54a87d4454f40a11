// Helpers shared by the item codec's files; not part of its interface.
#pragma once

#include <cstdint>
#include <cstring>

#include "driver/ItemCodec.h"
#include "platform/types.h"
#include "platform/variant.h"
#include "support/ValueTypes.h"

namespace codec {

// Longest text length a String suffix keeps; longer ones are cut to it.
constexpr uint32_t kMaxStringSuffix = 1023;

inline uint64_t LittleEndian(const uint8_t* b, uint32_t n) {
    uint64_t v = 0;
    for (uint32_t i = n; i > 0; --i)
        v = v << 8 | b[i - 1];
    return v;
}

inline bool IsSignedHost(int32_t t) {
    return t == TypeI8 || t == TypeI16 || t == TypeI32 || t == TypeI64;
}

// The VARIANT types that items hold; a write of any other is made as VT_I4
// and a staging of any other has no layout.
inline bool IsItemType(uint16_t vt) {
    switch (vt) {
    case plat::kVtBool:
    case plat::kVtI1:
    case plat::kVtUi1:
    case plat::kVtI2:
    case plat::kVtUi2:
    case plat::kVtUi4:
    case plat::kVtI4:
    case plat::kVtR4:
    case plat::kVtR8:
    case plat::kVtBstr:
        return true;
    default:
        return false;
    }
}

inline void ClearVariant(plat::Variant* v) {
    std::memset(v, 0, sizeof *v);
}

inline uint8_t LowByte(uint32_t v) {
    return static_cast<uint8_t>(v & 0xFF);
}

} // namespace codec
