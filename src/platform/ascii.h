// ASCII character helpers for names, keywords and numbers in protocol and
// settings text, for 8-bit and UTF-16 text alike. They never depend on a
// locale: any unit outside ASCII is neither a letter nor a digit here and
// folds to itself.
#pragma once

#include <cstdint>

namespace plat {

template <typename C> constexpr bool IsAsciiLetter(C c) {
    return (c >= C('A') && c <= C('Z')) || (c >= C('a') && c <= C('z'));
}

template <typename C> constexpr C AsciiLower(C c) {
    return c >= C('A') && c <= C('Z') ? static_cast<C>(c - C('A') + C('a')) : c;
}

// The value of a hexadecimal digit of either case; -1 for any other unit.
template <typename C> constexpr int HexDigitValue(C c) {
    if (c >= C('0') && c <= C('9'))
        return static_cast<int>(c - C('0'));
    if (c >= C('a') && c <= C('f'))
        return static_cast<int>(c - C('a')) + 10;
    if (c >= C('A') && c <= C('F'))
        return static_cast<int>(c - C('A')) + 10;
    return -1;
}

// The value of the leading decimal digits of text; it stops growing at limit.
template <typename C> uint32_t LeadingDecimal(const C* text, uint32_t limit) {
    uint32_t v = 0;
    for (; *text >= C('0') && *text <= C('9'); ++text) {
        const uint32_t digit = static_cast<uint32_t>(*text - C('0'));
        v = v > (limit - digit) / 10 ? limit : v * 10 + digit;
    }
    return v;
}

// The text after prefix when text begins with it, ASCII case ignored; null
// otherwise. prefix is ASCII.
template <typename C> const C* AfterPrefixNoCase(const C* text, const char* prefix) {
    for (; *prefix != 0; ++text, ++prefix)
        if (AsciiLower(*text) != static_cast<C>(AsciiLower(*prefix)))
            return nullptr;
    return text;
}

// True when text and word are the same ASCII case ignored. word is ASCII.
template <typename C> bool EqualsNoCase(const C* text, const char* word) {
    const C* rest = AfterPrefixNoCase(text, word);
    return rest != nullptr && *rest == 0;
}

} // namespace plat
