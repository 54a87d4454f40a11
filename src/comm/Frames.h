// IDEC computer-link frames: request builders, the block check, the device
// letters, reply tests and the device status codes that replies produce.
//
// Every reply helper takes the reply's length and reads nothing beyond it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/types.h"

class CBuf;
class CIDecComBase;

namespace idec {

constexpr uint8_t kEnq = 0x05;
constexpr uint8_t kNak = 0x15;
constexpr uint8_t kCr = 0x0D;

constexpr int32_t kMaxBlockBytes = 240;
constexpr int32_t kBlockReadLen = 19;
constexpr int32_t kBitReadLen = 17;
constexpr int32_t kBitWriteLen = 18;
constexpr int32_t kRegisterBitWriteLen = 19;
constexpr int32_t kListQueryLen = 9;
constexpr int32_t BlockWriteLen(int32_t count) {
    return 19 + 2 * count;
}
constexpr int32_t kMaxFrameLen = 19 + 2 * kMaxBlockBytes;
// Largest decimal address that fits the eight-digit field.
constexpr int32_t kMaxDecimalAddress = 99999999;
// No reply to a request of ours is longer; one that is means the stream is
// out of step.
constexpr int32_t kMaxReplyLen = 1024;

// The letters the address-list enumeration queries, in order.
constexpr char kListLetters[] = "xyarTtCcAdek";
constexpr int kListLetterCount = 12;

// Device status codes.
constexpr int32_t kStatusOk = 0;
constexpr int32_t kStatusDataRange = 6;
constexpr int32_t kStatusTimerCounter = 7;
constexpr int32_t kStatusAsciiData = 10;
constexpr int32_t kStatusNotInitialized = 11;
constexpr int32_t kStatusReadSize = 12;
constexpr int32_t kStatusRecvTimeout = 13;
constexpr int32_t kStatusNak = 21;

// "NO_ERROR", ..., "UNREGISTERED_ERROR" for codes without a name of their own.
const char* StatusName(int32_t code);
const WChar* StatusNameW(int32_t code);

// Letter for whole-unit and single-bit access to a device type; 0 when the
// type name (compared exactly) is not known.
char UnitLetter(const WChar* typeName);
char BitLetter(const WChar* typeName);
// Device type name of an address-list letter; "" for other letters.
const WChar* TypeNameOfLetter(char letter);
// True for letters whose address field is hexadecimal.
bool IsHexAddressLetter(char letter);

// Exclusive-or of n bytes.
uint8_t BlockCheck(const uint8_t* bytes, size_t n);
// Reads up to len characters (stopping early at a NUL): each shifts the value
// four bits left and adds its digit value, 0 for a non-digit.
uint32_t HexToNumber(const char* text, size_t len);

// Frame builders: append one complete frame to out. False, with out
// unchanged, when the letter is not one the frame accepts or an argument does
// not fit its field (station not two characters, address negative or wider
// than eight digits, count outside 1..240, bit above 15).
bool BuildBlockRead(CBuf& out, const char* station, char letter, int32_t address, int32_t count);
bool BuildBitRead(CBuf& out, const char* station, char letter, int32_t address);
bool BuildBlockWrite(CBuf& out, const char* station, char letter, int32_t address,
                     const uint8_t* data, int32_t count);
bool BuildBitWrite(CBuf& out, const char* station, char letter, int32_t address, bool on);
bool BuildRegisterBitWrite(CBuf& out, const char* station, char letter, int32_t address,
                           int32_t bit, bool on);
bool BuildListQuery(CBuf& out, const char* station, char letter);

// Build the frame and hand it to the channel in one send. True when the
// channel took it.
bool SendBlockRead(CIDecComBase& channel, const char* station, char letter, int32_t address,
                   int32_t count);
bool SendBitRead(CIDecComBase& channel, const char* station, char letter, int32_t address);
bool SendBlockWrite(CIDecComBase& channel, const char* station, char letter, int32_t address,
                    const uint8_t* data, int32_t count);
bool SendBitWrite(CIDecComBase& channel, const char* station, char letter, int32_t address,
                  bool on);
bool SendRegisterBitWrite(CIDecComBase& channel, const char* station, char letter, int32_t address,
                          int32_t bit, bool on);
bool SendListQuery(CIDecComBase& channel, const char* station, char letter);

enum ReplyKind : int {
    kReplyNone,     // no byte
    kReplyNak,      // byte 0 is NAK
    kReplyError,    // byte 3 is "2"
    kReplyPositive, // anything else
};

ReplyKind ClassifyReply(const uint8_t* reply, int32_t n);
// The PLC's error code from bytes 4-5; -1 when the reply ends before them.
int32_t ReplyErrorCode(const uint8_t* reply, int32_t n);

// Verdicts, as device status codes. Lengths count every byte received; a read
// reply's length includes its CR.
//
// Replies too short to hold what their kind promises: a NAK always counts as
// a NAK (21 for reads; for writes its code, or 21 when the code is cut off);
// an error reply ("2") cut off before its code gives 12. A negative reply
// whose code reads as 0 gives 21, never 0. A reply longer than kMaxReplyLen
// gives 12.
int32_t JudgeBlockRead(const uint8_t* reply, int32_t n, int32_t count);
// *bitOn is set only when the verdict is 0.
int32_t JudgeBitRead(const uint8_t* reply, int32_t n, bool* bitOn);
// An empty reply keeps the previous status.
int32_t JudgeWrite(const uint8_t* reply, int32_t n, int32_t previous);

// Decodes count data bytes (two hexadecimal digits each, from byte 4) of a
// block-read reply into out, in the order received. False, out untouched,
// when the reply does not hold them.
bool DecodeBlockData(const uint8_t* reply, int32_t n, int32_t count, uint8_t* out);

enum ListReplyKind : int {
    kListEmpty,   // nothing received: the PLC's enumeration ends
    kListNak,     // refused: enumeration status 21
    kListError,   // error reply ("2"): nothing for this letter
    kListShort,   // positive, but cut off before its count: nothing for this letter
    kListEntries, // count read; see available
};

struct AddressList {
    ListReplyKind kind;
    uint32_t declared;  // the count the reply states
    uint32_t available; // entries that arrived whole (at most declared)
    int32_t errorCode;  // for kListError, -1 when cut off
};

AddressList ParseAddressList(const uint8_t* reply, int32_t n);
// Entry index (below available) of an address-list reply of n bytes; false
// when it did not arrive whole.
bool AddressListEntry(const uint8_t* reply, int32_t n, uint32_t index, uint32_t* value);

} // namespace idec
