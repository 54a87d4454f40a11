// The host's value type codes: how the host lays out a value it reads or
// writes. The host-facing header defines the same codes under the same guard,
// so either header may come first.
#pragma once

#include <cstdint>

#ifndef NIMBRO_VALUE_TYPES_DEFINED
#define NIMBRO_VALUE_TYPES_DEFINED
enum ValueType : int32_t {
    TypeDefault = 0, // laid out as TypeU32
    TypeBool,        // one byte, 0 or 1
    TypeU8,
    TypeU16,
    TypeU32,
    TypeU64,
    TypeI8,
    TypeI16,
    TypeI32,
    TypeI64,
    TypeF32,
    TypeF64,
    TypeText // NUL-terminated UTF-16
};
#endif
