#include "platform/variant.h"

#include <cstddef>
#include <cstring>

#include <windows.h>
#include <oleauto.h>

namespace plat {

static_assert(sizeof(Variant) == sizeof(VARIANT), "Variant must have the size of VARIANT");
static_assert(offsetof(Variant, lVal) == offsetof(VARIANT, lVal),
              "Variant's value must sit where VARIANT keeps it");
static_assert(offsetof(Variant, vt) == offsetof(VARIANT, vt), "Variant's type must lead");
static_assert(sizeof(Bstr) == sizeof(BSTR), "Bstr must be a BSTR");

namespace {

VARIANT* V(Variant* v) {
    return reinterpret_cast<VARIANT*>(v);
}
const VARIANT* V(const Variant* v) {
    return reinterpret_cast<const VARIANT*>(v);
}

} // namespace

Bstr BstrAlloc(const WChar* text) {
    return text ? SysAllocString(text) : nullptr;
}

Bstr BstrAllocLen(const WChar* text, uint32_t len) {
    Bstr b = SysAllocStringLen(text, len);
    // Windows leaves a string allocated without text uninitialised.
    if (b && !text)
        std::memset(b, 0, len * sizeof(WChar));
    return b;
}

void BstrFree(Bstr b) {
    SysFreeString(b);
}

uint32_t BstrLen(Bstr b) {
    return SysStringLen(b);
}

void VariantInit(Variant* v) {
    ::VariantInit(V(v));
}

int32_t VariantClear(Variant* v) {
    return ::VariantClear(V(v));
}

int32_t VariantCopy(Variant* dst, const Variant* src) {
    return ::VariantCopy(V(dst), const_cast<VARIANT*>(V(src)));
}

int32_t VariantChangeType(Variant* dst, const Variant* src, uint16_t vt) {
    return ::VariantChangeType(V(dst), const_cast<VARIANT*>(V(src)), 0, vt);
}

} // namespace plat
