#include "model/DeviceTypes.h"

#include "platform/ascii.h"

namespace model {

namespace {

struct DeviceType {
    const WChar* name;
    char unitLetter;
    char bitLetter;
    char listLetter; // the letter whose address list names this type's items
};

const DeviceType kTypes[] = {
    {W16("I"), 'X', 'x', 'x'},  {W16("Q"), 'Y', 'y', 'y'},  {W16("M"), 'l', 'a', 'a'},
    {W16("R"), 'R', 'r', 'r'},  {W16("TP"), 'T', 'T', 'T'}, {W16("TC"), 't', 't', 't'},
    {W16("CP"), 'C', 'C', 'C'}, {W16("CC"), 'c', 'c', 'c'}, {W16("D"), 'A', '.', 'A'},
    {W16("T"), 'd', 'd', 'd'},  {W16("C"), 'e', 'e', 'e'},  {W16("P"), 'k', 'k', 'k'},
};

const DeviceType* Find(const WChar* typeName) {
    if (!typeName)
        return nullptr;
    for (const DeviceType& t : kTypes) {
        size_t i = 0;
        while (t.name[i] && t.name[i] == typeName[i])
            ++i;
        if (!t.name[i] && !typeName[i])
            return &t;
    }
    return nullptr;
}

} // namespace

char UnitAccessLetter(const WChar* typeName) {
    const DeviceType* t = Find(typeName);
    return t ? t->unitLetter : 0;
}

char BitAccessLetter(const WChar* typeName) {
    const DeviceType* t = Find(typeName);
    return t ? t->bitLetter : 0;
}

int32_t NumberOfName(const WChar* name) {
    if (!name)
        return 0;
    const WChar* p = name;
    while (plat::IsAsciiLetter(*p))
        ++p;
    while (*p == W16(' ') || (*p >= W16('\t') && *p <= W16('\r')))
        ++p;
    bool negative = false;
    if (*p == W16('+') || *p == W16('-'))
        negative = *p++ == W16('-');
    const uint32_t limit = negative ? uint32_t{1} << 31 : static_cast<uint32_t>(INT32_MAX);
    const uint32_t magnitude = plat::LeadingDecimal(p, limit);
    return negative ? static_cast<int32_t>(0 - static_cast<int64_t>(magnitude))
                    : static_cast<int32_t>(magnitude);
}

const WChar* TypeNameOfListLetter(char letter) {
    for (const DeviceType& t : kTypes)
        if (letter != 0 && t.listLetter == letter)
            return t.name;
    return W16("");
}

} // namespace model
