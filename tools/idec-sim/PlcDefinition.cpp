#include "PlcDefinition.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "platform/ascii.h"
#include "platform/file.h"

namespace idecsim {

namespace {

constexpr int64_t kMaxFileSize = 0xFFFFF; // the driver reads nothing larger
constexpr size_t kMaxNameChars = 31;
constexpr long kMaxRanges = 100;

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}
bool IsEol(char c) {
    return c == '\r' || c == '\n';
}

bool StartsWithNoCase(const std::string& s, const char* prefix) {
    return plat::AfterPrefixNoCase(s.c_str(), prefix) != nullptr;
}

bool EqualsNoCase(const std::string& a, const char* b) {
    return a.size() == std::char_traits<char>::length(b) && plat::EqualsNoCase(a.c_str(), b);
}

std::vector<std::string> SplitCommas(const std::string& s) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t comma = s.find(',', start);
        if (comma == std::string::npos) {
            parts.push_back(s.substr(start));
            return parts;
        }
        parts.push_back(s.substr(start, comma - start));
        start = comma + 1;
    }
}

// strtol in the given base; false for a negative value or one beyond 32 bits.
bool ParseBound(const std::string& text, int base, uint32_t* out) {
    errno = 0;
    long long v = std::strtoll(text.c_str(), nullptr, base);
    if (errno != 0 || v < 0 || v > static_cast<long long>(UINT32_MAX))
        return false;
    *out = static_cast<uint32_t>(v);
    return true;
}

int BoundBase(const std::string& radixText) {
    if (radixText == "Hex" || radixText == "hex")
        return 16;
    if (radixText == "Oct" || radixText == "oct")
        return 8;
    if (radixText == "Bin" || radixText == "bin")
        return 2;
    return 10;
}

int RadixOf(const std::string& radixText) {
    if (EqualsNoCase(radixText, "Oct"))
        return 8;
    if (EqualsNoCase(radixText, "Hex"))
        return 16;
    if (EqualsNoCase(radixText, "DecOct"))
        return -1;
    return 10;
}

void SetUnit(const std::string& unitText, DeviceType* t) {
    t->bitDevice = false;
    if (StartsWithNoCase(unitText, "Bit")) {
        t->bitDevice = true;
        t->unitSize = 1;
    } else if (StartsWithNoCase(unitText, "Byte")) {
        t->unitSize = 1;
    } else if (StartsWithNoCase(unitText, "Dword")) {
        t->unitSize = 4;
    } else {
        t->unitSize = 2;
    }
}

bool SameNameNoCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && EqualsNoCase(a, b.c_str());
}

// One device type line; false (with a reason) when it cannot be used.
bool ParseDeviceLine(const std::string& value, DeviceType* t, std::string* why) {
    std::vector<std::string> f = SplitCommas(value);
    if (f.size() < 4) {
        *why = "fewer than four fields";
        return false;
    }
    t->name = f[0].substr(0, kMaxNameChars);
    if (t->name.empty()) {
        *why = "empty name";
        return false;
    }
    SetUnit(f[1], t);
    t->radix = RadixOf(f[2]);
    errno = 0;
    long n = std::strtol(f[3].c_str(), nullptr, 10);
    if (errno != 0 || n < 1 || n > kMaxRanges) {
        *why = "range count outside 1 to 100";
        return false;
    }
    if (f.size() < 4 + 2 * static_cast<size_t>(n)) {
        *why = "fewer bounds than the range count says";
        return false;
    }
    const int base = BoundBase(f[2]);
    t->ranges.clear();
    for (long i = 0; i < n; ++i) {
        uint32_t lo = 0;
        uint32_t hi = 0;
        if (!ParseBound(f[4 + 2 * i], base, &lo) || !ParseBound(f[5 + 2 * i], base, &hi)) {
            *why = "a bound is negative or too large";
            return false;
        }
        if (hi < lo) {
            *why = "a range ends before it starts";
            return false;
        }
        t->ranges.emplace_back(lo, hi);
    }
    return true;
}

DeviceType Make(const char* name, bool bit, int unitSize, int radix, uint32_t lo, uint32_t hi) {
    DeviceType t;
    t.name = name;
    t.bitDevice = bit;
    t.unitSize = unitSize;
    t.radix = radix;
    t.ranges.emplace_back(lo, hi);
    return t;
}

} // namespace

std::vector<DeviceType> DefaultDeviceTypes() {
    return {
        Make("I", true, 1, -1, 0, 627),    Make("Q", true, 1, -1, 0, 627),
        Make("M", true, 1, -1, 0, 7997),   Make("R", true, 1, 10, 0, 255),
        Make("T", true, 1, 10, 0, 1023),   Make("C", true, 1, 10, 0, 511),
        Make("TP", false, 2, 10, 0, 1023), Make("TC", false, 2, 10, 0, 1023),
        Make("CP", false, 2, 10, 0, 511),  Make("CC", false, 2, 10, 0, 511),
        Make("D", false, 2, 10, 0, 7999),  Make("P", false, 2, 10, 0, 255),
    };
}

bool FindKeyValue(const std::string& text, const std::string& key, std::string* value) {
    if (key.empty())
        return false;
    const size_t n = text.size();
    size_t from = 0;
    for (;;) {
        size_t pos = text.find(key, from);
        if (pos == std::string::npos)
            return false;
        size_t p = pos + key.size();
        while (p < n && IsBlank(text[p]))
            ++p;
        const bool separator = p < n && (text[p] == ':' || text[p] == ',' || text[p] == '=');
        bool lineStart = pos == 0 || IsEol(text[pos - 1]);
        if (!lineStart && IsBlank(text[pos - 1]))
            lineStart = pos == 1 || IsEol(text[pos - 2]);
        if (separator && lineStart) {
            size_t v = p + 1;
            while (v < n && IsBlank(text[v]))
                ++v;
            size_t end = v;
            while (end < n && !IsEol(text[end]))
                ++end;
            *value = text.substr(v, end - v);
            return true;
        }
        if (separator) {
            ++p;
            while (p < n && IsBlank(text[p]))
                ++p;
        }
        from = p > pos ? p : pos + 1;
    }
}

bool ParsePlcDefinition(const std::string& text, std::vector<DeviceType>* out, std::string* error,
                        std::vector<std::string>* warnings) {
    // Definition files are C-string text: nothing after a NUL counts.
    const std::string body = text.substr(0, text.find('\0'));
    std::string cpu;
    if (!FindKeyValue(body, "CpuName", &cpu) || cpu.empty()) {
        *error = "no CpuName";
        return false;
    }
    std::string index;
    if (!FindKeyValue(body, "Index", &index)) {
        *error = "no Index";
        return false;
    }
    std::vector<DeviceType> types;
    for (std::string key : SplitCommas(index)) {
        key = key.substr(0, 127);
        if (key.empty())
            continue;
        std::string line;
        if (!FindKeyValue(body, key, &line)) {
            if (warnings)
                warnings->push_back("device key '" + key + "': no line");
            continue;
        }
        DeviceType t;
        std::string why;
        if (!ParseDeviceLine(line, &t, &why)) {
            if (warnings)
                warnings->push_back("device key '" + key + "': " + why);
            continue;
        }
        bool known = false;
        for (const DeviceType& d : types)
            known = known || SameNameNoCase(d.name, t.name);
        if (known)
            continue; // the first definition of a name counts
        types.push_back(t);
    }
    if (types.empty()) {
        *error = "no usable device type";
        return false;
    }
    *out = std::move(types);
    return true;
}

bool LoadPlcDefinition(const WChar* path, std::vector<DeviceType>* out, std::string* error,
                       std::vector<std::string>* warnings) {
    plat::FileHandle f = plat::FileOpenRead(path);
    if (!f) {
        *error = "cannot open the file";
        return false;
    }
    int64_t size = plat::FileSize(f);
    if (size < 0 || size >= kMaxFileSize) {
        plat::FileClose(f);
        *error = size < 0 ? "cannot read the file size" : "file too large";
        return false;
    }
    std::string text(static_cast<size_t>(size), '\0');
    size_t got = 0;
    while (got < text.size()) {
        int64_t n = plat::FileRead(f, &text[got], text.size() - got);
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    plat::FileClose(f);
    if (got != text.size()) {
        *error = "cannot read the file";
        return false;
    }
    return ParsePlcDefinition(text, out, error, warnings);
}

} // namespace idecsim
