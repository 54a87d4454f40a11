// Conversion of one host value into another value type: numbers between
// widths and signedness, numbers to decimal text, text to numbers and truth
// values. No heap, no shared state: safe on any thread.
#pragma once

#include <cstdint>

#include "platform/types.h"
#include "support/ValueTypes.h"

// Units of the stack work area in which number texts are built, terminator
// included; a number read as text is at most kValueTextWork - 2 characters.
constexpr int kValueTextWork = 64;

// Converts the value at src, laid out as srcType, into dst as dstType.
// TypeDefault counts as TypeU32 on both sides. A TypeText source is read up
// to its NUL and never modified. dstCap is the room of a TypeText
// destination in UTF-16 units, terminator included (ignored otherwise): a
// longer result keeps its first dstCap - 1 units (a surrogate pair is never
// split) and is always terminated.
// Returns false, writing nothing, when a type code is not 0 to 12, a pointer
// is null, or a TypeText destination has no room (dstCap < 1). Otherwise the
// conversion itself never fails: text that is no number gives 0.
// Floating values that the intermediate integer cannot hold saturate at its
// limits (signed 32-bit for 8- and 16-bit destinations, signed 64-bit for the
// others); NaN gives 0.
bool ConvertValue(ValueType dstType, void* dst, ValueType srcType, const void* src, int dstCap);

// Bytes of an integer type, a truth value counted as one byte; 0 for any
// other type.
int IntegerBytes(ValueType t);

// The number in the first field of text, the field ending at the first of
// ",\t\r\n" or the NUL. Leading blanks are skipped; what follows the number
// is ignored; no number gives 0. Null text gives 0.
// Decimal only: optional sign, digits with an optional point, optional
// exponent. Overflow gives an infinity, underflow 0.
double ParseDouble(const WChar* text);
// Optional sign and decimal digits; beyond the range gives the nearest limit.
int64_t ParseInt64(const WChar* text);
// As ParseInt64; a minus sign negates modulo 2^64, beyond the range gives
// UINT64_MAX whatever the sign.
uint64_t ParseUInt64(const WChar* text);

// Truncation toward zero into a signed 32-bit or 64-bit intermediate that
// never casts an out-of-range value: beyond the limits saturate, NaN gives 0.
int64_t TruncToI32(double d);
int64_t TruncToI64(double d);

// Fixed-point text of value with trailing zeros of the fraction dropped down
// to one digit ("2.0", "-3.25"). At most cap - 1 characters and a terminator
// are written; returns the characters written, 0 when cap < 1.
// NaN gives "nan", infinities "inf" and "-inf". A magnitude whose text does
// not fit the work area (about 1e62 and more) keeps only the leading
// kValueTextWork - 1 characters of its text.
int FormatDouble(WChar* buf, int cap, double value);
