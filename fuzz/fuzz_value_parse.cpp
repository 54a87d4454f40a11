// The number parsers against the C library's on the same first field, and
// FormatDouble of what they read.
#include <cmath>

#include "FuzzKit.h"
#include "support/ValueConvert.h"

namespace {

using fuzz::Check;

bool IsSeparator(WChar c) {
    return c == ',' || c == '\t' || c == '\r' || c == '\n';
}

// The first field as 8-bit text, or false when it holds anything but ASCII.
bool AsciiField(const std::vector<WChar>& text, std::string& out) {
    for (WChar c : text) {
        if (c == 0 || IsSeparator(c))
            return true;
        if (c >= 0x80)
            return false;
        out += static_cast<char>(c);
    }
    return true;
}

// Only digits, signs, points, exponents and blanks: then strtod reads the same
// decimal grammar (no hexadecimal, infinity or NaN spellings).
bool DecimalOnly(const std::string& s) {
    return s.find_first_not_of("0123456789+-.eE \v\f") == std::string::npos;
}

void CheckFormat(double d) {
    WChar buf[80];
    for (int cap : {0, 1, 2, 7, 63, 64, 70}) {
        for (WChar& c : buf)
            c = 0x5A5A;
        const int n = FormatDouble(buf, cap, d);
        Check(n >= 0 && n < (cap > 0 ? cap : 1) && (cap == 0 || buf[n] == 0),
              "FormatDouble length");
        Check(std::all_of(buf + cap, std::end(buf), [](WChar c) { return c == 0x5A5A; }),
              "FormatDouble wrote past its capacity");
    }
    // Six decimals: reading the text back is within half a millionth.
    if (std::fabs(d) < 1e12) {
        FormatDouble(buf, 64, d);
        Check(std::fabs(ParseDouble(buf) - d) <= 5.0000001e-7 + std::fabs(d) * 1e-15,
              "FormatDouble text does not read back");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    // Odd first byte: UTF-16 units from byte pairs; even: one unit a byte,
    // which reaches the number grammar much sooner.
    fuzz::Input in{data + 1, size - 1};
    std::vector<WChar> text(data + 1, data + size);
    if (data[0] & 1)
        text = in.Units();
    text.push_back(0);
    const std::vector<WChar> before = text;

    const int64_t i64 = ParseInt64(text.data());
    const uint64_t u64 = ParseUInt64(text.data());
    const double dbl = ParseDouble(text.data());
    Check(text == before, "parser changed its text");

    std::string field;
    if (AsciiField(text, field)) {
        Check(i64 == std::strtoll(field.c_str(), nullptr, 10), "ParseInt64 differs from strtoll");
        Check(u64 == std::strtoull(field.c_str(), nullptr, 10),
              "ParseUInt64 differs from strtoull");
        const double ref = std::strtod(field.c_str(), nullptr);
        Check(!DecimalOnly(field) || std::memcmp(&ref, &dbl, sizeof ref) == 0,
              "ParseDouble differs from strtod");
    }
    CheckFormat(dbl);
    if (size >= 9) {
        double raw;
        std::memcpy(&raw, data + size - 8, sizeof raw);
        CheckFormat(raw);
    }
    return 0;
}
