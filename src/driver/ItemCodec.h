// The pure half of the host item services: item names, the decoding of an
// item's image bytes into a VARIANT and on to the host, the conversion of a
// host value into an item's VARIANT, and the bytes and masks that a write
// stages. Nothing here touches the link model, a lock or a read window, so
// the services can call it while they hold a device lock.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/types.h"
#include "platform/variant.h"

// A bit mask with every bit set: the item names no single bit.
constexpr uint32_t kAllBits = 0xFFFFFFFFu;
// Longest text an item holds, in bytes of UTF-8.
constexpr int kMaxTextBytes = 1024;

struct ItemSpec {
    WChar baseName[256];   // the name before its last full stop, at most 255 characters
    int32_t address;       // the decimal number after the base name's letters
    uint32_t bitMask;      // kAllBits unless a bit suffix selects one bit
    uint16_t vt;           // 0 when the name fixes no type
    uint16_t stringLength; // text bytes from a String suffix; 0 when none
};

// Splits an item name such as "D100.Bit3" into base name, address, bit mask,
// VARIANT type and text length. The parsed name is always filled (a name it cannot
// read gives address 0 and no type); false when the base name is not ASCII
// letters followed by ASCII digits, or the name holds a comma: such a name
// must make no item, since it would read another address than it shows or
// break the listing. A null name counts as empty.
bool ParseItemName(const WChar* name, bool bitDevice, ItemSpec* parsed);

// Host type code that RegisterItem reports for a VARIANT type.
int32_t HostTypeOfVariant(uint16_t vt);

// Copies the name of a device status code into buf (cap units, terminator
// included); returns the characters written.
int ErrorCodeName(WChar* buf, int32_t code, int cap);

// Decodes an item's bytes (host order: each 16-bit word low byte first) into
// out, which is initialised first and always holds type vt afterwards.
// available is what may be read from bytes. False, with out at 0 or a null
// text, when the type has no value under the given masks (a named bit outside
// the value's width included) or its bytes are not all available. itemMask
// and nameMask are kAllBits when unset. A byte or truth value on a wider unit
// is the unit's low byte (bytes[0]); a text is never cut inside a character.
bool DecodeItem(const uint8_t* bytes, size_t available, uint32_t unitSize, uint16_t vt,
                uint32_t itemMask, uint32_t nameMask, int wordOrder, uint16_t stringLength,
                plat::Variant* out);

// Bytes from the item's start that a decode of type vt depends on: the
// value's width (one byte for a bit item, a byte and a truth value), or for a
// text the bytes up to and including its first NUL within stringLength (all
// of stringLength without one; bytes in host order as for DecodeItem). 0 for
// a type without a value.
size_t ValueBytes(const uint8_t* bytes, size_t available, uint16_t vt, uint32_t itemMask,
                  uint16_t stringLength);

// The host type a decoded VARIANT of type vt is converted from, and the one
// it is delivered as when the host asks for type 0.
int32_t VariantSourceType(uint16_t vt);
int32_t DefaultDestination(uint16_t vt);

// Delivers a decoded VARIANT of type vt to the host buffer as requestedType
// (0: the default destination) and sets count to 1, or to the UTF-16 units of
// a text. capacity bounds a text destination in UTF-16 units, terminator
// included: a text is cut to it (never inside a surrogate pair), a number
// whose text does not fit is refused. Integer destinations saturate at their
// limits (NaN gives 0). False, nothing written and count unchanged, when the
// type code is not one the host knows or the text has no room.
bool DeliverValue(const plat::Variant& v, uint16_t vt, int32_t requestedType, void* buffer,
                  int32_t capacity, int32_t* count);

// Converts a host value of hostType into out, a VARIANT of the item's type vt
// (types without a rule of their own become VT_I4). length 0 writes an empty
// text to a VT_BSTR item. count gets 1 for a number, the characters of a made
// text; on failure 0 for a host type without a rule, 1 for a bad hexadecimal
// float text. out is initialised first and stays empty on failure.
bool ConvertHostValue(int32_t hostType, const void* value, int32_t length, uint16_t vt,
                      plat::Variant* out, int32_t* count);

// What one write stages at an item's first byte: the bytes in PLC order (each
// 16-bit word high byte first), their masks (0xFF whole byte) and write types.
struct StagedBytes {
    uint8_t data[kMaxTextBytes + 1];
    uint8_t mask[kMaxTextBytes + 1];
    uint8_t type[kMaxTextBytes + 1];
    int32_t count;     // bytes of data and mask
    int32_t typeCount; // leading bytes of type to store
    int32_t textUnits; // a text: its UTF-16 units that were staged
};

// Builds what a write of v to an item of type vt stages; v is changed to vt
// first when it holds another type. A byte or truth value on units of
// unitSize >= 2 goes to the unit's low byte (the second in PLC order), the
// byte it is read from. False when nothing is to be staged (a type without a
// layout, or a failed change of type).
bool BuildStaging(const plat::Variant& v, uint16_t vt, uint32_t itemMask, uint32_t nameMask,
                  int wordOrder, uint16_t stringLength, StagedBytes* out, uint32_t unitSize = 1);

// Merges staged bytes into write data, mask and type arrays from the item's
// first byte: bits outside a byte's mask keep their earlier staged value, and
// masks accumulate until sent. At most room bytes are touched; type may be
// null.
void MergeStaged(const StagedBytes& s, uint8_t* data, uint8_t* mask, uint8_t* type, int32_t room);
