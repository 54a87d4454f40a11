// VARIANT and BSTR. Windows: OLE Automation itself. POSIX: a compatible
// subset with the same layout and type codes.
#pragma once

#include "platform/types.h"

namespace plat {

typedef WChar* Bstr;

enum VarType : uint16_t {
    kVtEmpty = 0,
    kVtI2 = 2,
    kVtI4 = 3,
    kVtR4 = 4,
    kVtR8 = 5,
    kVtBstr = 8,
    kVtBool = 11,
    kVtI1 = 16,
    kVtUi1 = 17,
    kVtUi2 = 18,
    kVtUi4 = 19,
    kVtI8 = 20,
    kVtUi8 = 21,
};

// Bytes of a value of a numeric type as the PLC holds it (VT_BOOL one byte);
// 0 for the other types.
constexpr uint32_t VariantBytes(uint16_t vt) {
    switch (vt) {
    case kVtBool:
    case kVtI1:
    case kVtUi1:
        return 1;
    case kVtI2:
    case kVtUi2:
        return 2;
    case kVtI4:
    case kVtR4:
    case kVtUi4:
        return 4;
    case kVtR8:
        return 8;
    default:
        return 0;
    }
}

constexpr int16_t kVariantTrue = -1;
constexpr int16_t kVariantFalse = 0;

// Same layout as the Windows VARIANT.
struct Variant {
    uint16_t vt;
    uint16_t reserved1;
    uint16_t reserved2;
    uint16_t reserved3;
    union {
        int16_t iVal;
        int32_t lVal;
        float fltVal;
        double dblVal;
        Bstr bstrVal;
        int16_t boolVal;
        int8_t cVal;
        uint8_t bVal;
        uint16_t uiVal;
        uint32_t ulVal;
        int64_t llVal;
        uint64_t ullVal;
        void* pad[2];
    };
};

// HRESULT-like results: 0 success, negative failure.
constexpr int32_t kHrOk = 0;
constexpr int32_t kHrTypeMismatch = static_cast<int32_t>(0x80020005);
constexpr int32_t kHrOverflow = static_cast<int32_t>(0x8002000A);
constexpr int32_t kHrOutOfMemory = static_cast<int32_t>(0x8007000E);
constexpr int32_t kHrInvalidArg = static_cast<int32_t>(0x80070057);

Bstr BstrAlloc(const WChar* text);                  // nullptr for nullptr
Bstr BstrAllocLen(const WChar* text, uint32_t len); // text may be nullptr: zero-filled
void BstrFree(Bstr b);
uint32_t BstrLen(Bstr b); // units, 0 for nullptr

void VariantInit(Variant* v);
int32_t VariantClear(Variant* v);
int32_t VariantCopy(Variant* dst, const Variant* src);
// Converts src to type vt into dst (dst may be src). The subset that the
// driver needs: between the numeric types above, VT_BOOL and VT_BSTR.
int32_t VariantChangeType(Variant* dst, const Variant* src, uint16_t vt);

} // namespace plat
