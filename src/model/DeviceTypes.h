// The device types of an IDEC controller and the letters that name them on
// the wire. This is the one table of them: the link model needs the unit
// letter for a block's spare units, the frames need all three.
#pragma once

#include "platform/types.h"

namespace model {

// Letter for whole-unit and single-bit access to a device type; 0 when the
// type name (compared exactly, case-sensitively) is not known.
char UnitAccessLetter(const WChar* typeName);
char BitAccessLetter(const WChar* typeName);
// Device type name of an address-list letter; "" for other letters.
const WChar* TypeNameOfListLetter(char letter);

// The device number of an item name: the decimal number after its leading
// ASCII letters (blanks and a sign may come first), saturated to 32 bits; 0
// when there is none or name is null.
int32_t NumberOfName(const WChar* name);

} // namespace model
