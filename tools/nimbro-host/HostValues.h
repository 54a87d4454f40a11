// Values as the host command line types and prints them: numbers, host
// values for a write, type and result names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/types.h"

namespace nimbrohost {

typedef std::basic_string<WChar> WString;

// Large enough for the longest text a read can deliver (1023 characters and
// the terminator) and for "Status_str".
constexpr int32_t kReadCapacity = 1024;

bool SameNoCase(const std::string& a, const char* b);

// Decimal, or hexadecimal after 0x; the whole text, no sign or blank.
bool ParseUnsigned(const std::string& s, uint64_t max, uint64_t* out);

bool ParseSigned(const std::string& s, int64_t min, int64_t max, int64_t* out);

bool ParseDouble(const std::string& s, double* out);

WString Wide(const std::string& text);

std::string Narrow(const WChar* text, size_t len);

size_t BoundedLen(const WChar* s, size_t cap);

std::string Quoted(const std::string& s);

// The host value of a write, laid out as its type says.
struct HostValue {
    union {
        uint8_t u8;
        uint16_t u16;
        uint32_t u32;
        uint64_t u64;
        int8_t i8;
        int16_t i16;
        int32_t i32;
        int64_t i64;
        float f32;
        double f64;
    } num;
    WString text;
    int32_t length = 0; // characters of a text, bytes of a number
};

bool MakeHostValue(int32_t type, const std::string& s, HostValue* v, std::string* error);

std::string FormatValue(int32_t type, const unsigned char* buf, int32_t count);

std::string TypeLabel(int32_t type);

std::string ResultName(int32_t r);

std::string HresultName(int32_t hr);

std::string AccessName(int32_t access);

} // namespace nimbrohost
