#include "HostValues.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "HostCli.h"
#include "NimbroDriver.h"
#include "platform/ascii.h"
#include "platform/codepage.h"
#include "platform/variant.h"

namespace nimbrohost {

namespace {

const char* const kTypeNames[] = {"default", "bool", "u8",  "u16", "u32", "u64", "i8",
                                  "i16",     "i32",  "i64", "f32", "f64", "text"};
const char* const kTypeCodeNames[] = {"TypeDefault", "TypeBool", "TypeU8",  "TypeU16", "TypeU32",
                                      "TypeU64",     "TypeI8",   "TypeI16", "TypeI32", "TypeI64",
                                      "TypeF32",     "TypeF64",  "TypeText"};
constexpr int32_t kTypeCount = 13;

} // namespace

bool SameNoCase(const std::string& a, const char* b) {
    return a.size() == std::strlen(b) && plat::EqualsNoCase(a.c_str(), b);
}

// Decimal, or hexadecimal after 0x; the whole text, no sign or blank.
bool ParseUnsigned(const std::string& s, uint64_t max, uint64_t* out) {
    if (s.empty() || s[0] < '0' || s[0] > '9')
        return false;
    const bool hex = s.size() > 1 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
    errno = 0;
    char* end = nullptr;
    unsigned long long v = std::strtoull(s.c_str(), &end, hex ? 16 : 10);
    if (errno != 0 || end == s.c_str() || *end != '\0' || v > max)
        return false;
    *out = v;
    return true;
}

bool ParseSigned(const std::string& s, int64_t min, int64_t max, int64_t* out) {
    if (s.empty() || s[0] == ' ')
        return false;
    bool neg = s[0] == '-';
    std::string digits = (neg || s[0] == '+') ? s.substr(1) : s;
    uint64_t mag = 0;
    uint64_t limit = neg ? static_cast<uint64_t>(-(min + 1)) + 1 : static_cast<uint64_t>(max);
    if (!ParseUnsigned(digits, limit, &mag))
        return false;
    *out = neg ? static_cast<int64_t>(0 - mag) : static_cast<int64_t>(mag);
    return true;
}

bool ParseDouble(const std::string& s, double* out) {
    if (s.empty() || s[0] == ' ')
        return false;
    char* end = nullptr;
    double v = std::strtod(s.c_str(), &end);
    if (end == s.c_str() || *end != '\0')
        return false;
    *out = v;
    return true;
}

WString Wide(const std::string& text) {
    if (text.empty())
        return WString();
    int len = static_cast<int>(text.size());
    int n = plat::MultiByteToWide(plat::kCpAcp, 0, text.data(), len, nullptr, 0);
    if (n <= 0)
        return WString();
    WString out(static_cast<size_t>(n), 0);
    plat::MultiByteToWide(plat::kCpAcp, 0, text.data(), len, &out[0], n);
    return out;
}

std::string Narrow(const WChar* text, size_t len) {
    if (!text || len == 0)
        return std::string();
    int n = plat::WideToMultiByte(plat::kCpAcp, 0, text, static_cast<int>(len), nullptr, 0);
    if (n <= 0)
        return std::string();
    std::string out(static_cast<size_t>(n), '\0');
    plat::WideToMultiByte(plat::kCpAcp, 0, text, static_cast<int>(len), &out[0], n);
    return out;
}

size_t BoundedLen(const WChar* s, size_t cap) {
    size_t n = 0;
    while (n < cap && s[n])
        ++n;
    return n;
}

std::string Quoted(const std::string& s) {
    return "\"" + s + "\"";
}

bool MakeHostValue(int32_t type, const std::string& s, HostValue* v, std::string* error) {
    std::memset(&v->num, 0, sizeof v->num);
    uint64_t u = 0;
    int64_t i = 0;
    double d = 0;
    bool ok = true;
    switch (type) {
    case TypeBool:
        if (s == "true" || s == "1")
            v->num.u8 = 1;
        else if (s == "false" || s == "0")
            v->num.u8 = 0;
        else
            ok = false;
        v->length = 1;
        break;
    case TypeU8:
        ok = ParseUnsigned(s, 0xFF, &u);
        v->num.u8 = static_cast<uint8_t>(u);
        v->length = 1;
        break;
    case TypeU16:
        ok = ParseUnsigned(s, 0xFFFF, &u);
        v->num.u16 = static_cast<uint16_t>(u);
        v->length = 2;
        break;
    case TypeDefault: // laid out as TypeU32
    case TypeU32:
        ok = ParseUnsigned(s, 0xFFFFFFFFu, &u);
        v->num.u32 = static_cast<uint32_t>(u);
        v->length = 4;
        break;
    case TypeU64:
        ok = ParseUnsigned(s, UINT64_MAX, &u);
        v->num.u64 = u;
        v->length = 8;
        break;
    case TypeI8:
        ok = ParseSigned(s, INT8_MIN, INT8_MAX, &i);
        v->num.i8 = static_cast<int8_t>(i);
        v->length = 1;
        break;
    case TypeI16:
        ok = ParseSigned(s, INT16_MIN, INT16_MAX, &i);
        v->num.i16 = static_cast<int16_t>(i);
        v->length = 2;
        break;
    case TypeI32:
        ok = ParseSigned(s, INT32_MIN, INT32_MAX, &i);
        v->num.i32 = static_cast<int32_t>(i);
        v->length = 4;
        break;
    case TypeI64:
        ok = ParseSigned(s, INT64_MIN, INT64_MAX, &i);
        v->num.i64 = i;
        v->length = 8;
        break;
    case TypeF32:
        ok = ParseDouble(s, &d);
        v->num.f32 = static_cast<float>(d);
        v->length = 4;
        break;
    case TypeF64:
        ok = ParseDouble(s, &d);
        v->num.f64 = d;
        v->length = 8;
        break;
    case TypeText:
        v->text = Wide(s);
        if (!s.empty() && v->text.empty())
            ok = false;
        v->length = static_cast<int32_t>(v->text.size());
        break;
    default:
        ok = false;
        break;
    }
    if (!ok && error)
        *error = "'" + s + "' is not a value of type " + kTypeNames[type];
    return ok;
}

std::string FormatValue(int32_t type, const unsigned char* buf, int32_t count) {
    char text[64];
    switch (type) {
    case TypeBool:
    case TypeU8:
        std::snprintf(text, sizeof text, "%u", static_cast<unsigned>(buf[0]));
        return text;
    case TypeU16: {
        uint16_t v;
        std::memcpy(&v, buf, sizeof v);
        std::snprintf(text, sizeof text, "%u", static_cast<unsigned>(v));
        return text;
    }
    case TypeDefault:
    case TypeU32: {
        uint32_t v;
        std::memcpy(&v, buf, sizeof v);
        std::snprintf(text, sizeof text, "%lu", static_cast<unsigned long>(v));
        return text;
    }
    case TypeU64: {
        uint64_t v;
        std::memcpy(&v, buf, sizeof v);
        std::snprintf(text, sizeof text, "%llu", static_cast<unsigned long long>(v));
        return text;
    }
    case TypeI8:
        std::snprintf(text, sizeof text, "%d", static_cast<int>(static_cast<int8_t>(buf[0])));
        return text;
    case TypeI16: {
        int16_t v;
        std::memcpy(&v, buf, sizeof v);
        std::snprintf(text, sizeof text, "%d", static_cast<int>(v));
        return text;
    }
    case TypeI32: {
        int32_t v;
        std::memcpy(&v, buf, sizeof v);
        std::snprintf(text, sizeof text, "%ld", static_cast<long>(v));
        return text;
    }
    case TypeI64: {
        int64_t v;
        std::memcpy(&v, buf, sizeof v);
        std::snprintf(text, sizeof text, "%lld", static_cast<long long>(v));
        return text;
    }
    case TypeF32: {
        float v;
        std::memcpy(&v, buf, sizeof v);
        std::snprintf(text, sizeof text, "%.9g", static_cast<double>(v));
        return text;
    }
    case TypeF64: {
        double v;
        std::memcpy(&v, buf, sizeof v);
        std::snprintf(text, sizeof text, "%.17g", v);
        return text;
    }
    case TypeText: {
        // The count may exceed the text ("Status_str" reports the capacity).
        size_t cap =
            static_cast<size_t>(count > 0 && count < kReadCapacity ? count : kReadCapacity);
        WChar units[kReadCapacity];
        std::memcpy(units, buf, sizeof units);
        return Quoted(Narrow(units, BoundedLen(units, cap)));
    }
    default:
        return "(no layout for this type)";
    }
}

std::string TypeLabel(int32_t type) {
    char text[48];
    std::snprintf(text, sizeof text, "%s (%ld)", TypeName(type), static_cast<long>(type));
    return text;
}

std::string ResultName(int32_t r) {
    const char* name = nullptr;
    switch (r) {
    case ResultOk:
        name = "ResultOk";
        break;
    case ResultFailed:
        name = "ResultFailed";
        break;
    case ResultNak:
        name = "ResultNak";
        break;
    case ResultTimeout:
        name = "ResultTimeout";
        break;
    case ResultNotReady:
        name = "ResultNotReady";
        break;
    default:
        name = "unknown result";
        break;
    }
    char text[48];
    std::snprintf(text, sizeof text, "%s (%ld)", name, static_cast<long>(r));
    return text;
}

std::string HresultName(int32_t hr) {
    const char* name = "HRESULT";
    if (hr == NIMBRO_S_OK)
        name = "S_OK";
    else if (hr == NIMBRO_E_INVALIDARG)
        name = "E_INVALIDARG";
    else if (hr == NIMBRO_E_OUTOFMEMORY)
        name = "E_OUTOFMEMORY";
    else if (hr == NIMBRO_E_NOINTERFACE)
        name = "E_NOINTERFACE";
    char text[48];
    std::snprintf(text, sizeof text, "%s (0x%08lX)", name,
                  static_cast<unsigned long>(static_cast<uint32_t>(hr)));
    return text;
}

std::string AccessName(int32_t access) {
    switch (access) {
    case 0:
        return "none";
    case NimbroAccessRead:
        return "read";
    case NimbroAccessWrite:
        return "write";
    case NimbroAccessRead | NimbroAccessWrite:
        return "read+write";
    default:
        return "flags " + std::to_string(access);
    }
}

bool ParseTypeName(const std::string& text, int32_t* type) {
    for (int32_t i = 0; i < kTypeCount; ++i) {
        if (SameNoCase(text, kTypeNames[i]) || SameNoCase(text, kTypeCodeNames[i])) {
            *type = i;
            return true;
        }
    }
    uint64_t v = 0;
    if (ParseUnsigned(text, kTypeCount - 1, &v)) {
        *type = static_cast<int32_t>(v);
        return true;
    }
    return false;
}

const char* TypeName(int32_t type) {
    return type >= 0 && type < kTypeCount ? kTypeCodeNames[type] : "unknown type";
}

} // namespace nimbrohost
