#include "comm/Frames.h"

#include <cstring>

#include "comm/Buf.h"
#include "comm/KQV_IDecCom.h"
#include "model/DeviceTypes.h"
#include "platform/ascii.h"

namespace idec {

namespace {

struct StatusEntry {
    int32_t code;
    const char* name;
    const WChar* nameW;
};

const StatusEntry kStatusNames[] = {
    {kStatusOk, "NO_ERROR", W16("NO_ERROR")},
    {kStatusDataRange, "DATA_RANGE_ERROR", W16("DATA_RANGE_ERROR")},
    {kStatusTimerCounter, "TIMER/COUNTER_SETTING_CHANGE_ERROR",
     W16("TIMER/COUNTER_SETTING_CHANGE_ERROR")},
    {kStatusAsciiData, "ASCII_DATA_ERROR", W16("ASCII_DATA_ERROR")},
    {kStatusNotInitialized, "DEVICE_NOT_INITIALIZE", W16("DEVICE_NOT_INITIALIZE")},
    {kStatusReadSize, "READ_DATA_SIZE_ERROR", W16("READ_DATA_SIZE_ERROR")},
    {kStatusRecvTimeout, "RECV_TIME_OUT", W16("RECV_TIME_OUT")},
    {kStatusNak, "NAK ERROR", W16("NAK ERROR")},
};
const StatusEntry kUnregistered = {-1, "UNREGISTERED_ERROR", W16("UNREGISTERED_ERROR")};

const StatusEntry& FindStatus(int32_t code) {
    for (const StatusEntry& e : kStatusNames)
        if (e.code == code)
            return e;
    return kUnregistered;
}

bool OneOf(char letter, const char* letters) {
    return letter != 0 && std::strchr(letters, letter) != nullptr;
}

const char kHexDigits[] = "0123456789ABCDEF";

// Assembles one frame in a fixed array; the block check is added last.
class FrameWriter {
public:
    FrameWriter() : len_(0) {}

    bool Start(const char* station, char command, char letter) {
        if (!station || !station[0] || !station[1])
            return false;
        Put(kEnq);
        Put(static_cast<uint8_t>(station[0]));
        Put(static_cast<uint8_t>(station[1]));
        Put('0');
        Put(static_cast<uint8_t>(command));
        Put(static_cast<uint8_t>(letter));
        return true;
    }

    // Eight-character address field, decimal or hexadecimal.
    bool Address(int32_t address, bool hex) {
        if (address < 0 || (!hex && address > kMaxDecimalAddress))
            return false;
        uint32_t v = static_cast<uint32_t>(address);
        const uint32_t base = hex ? 16u : 10u;
        for (int i = 7; i >= 0; --i) {
            bytes_[len_ + static_cast<size_t>(i)] = static_cast<uint8_t>(kHexDigits[v % base]);
            v /= base;
        }
        len_ += 8;
        return true;
    }

    void Hex2(uint8_t v) {
        Put(static_cast<uint8_t>(kHexDigits[v >> 4]));
        Put(static_cast<uint8_t>(kHexDigits[v & 0x0F]));
    }

    void Put(uint8_t b) { bytes_[len_++] = b; }

    bool Finish(CBuf& out) {
        Hex2(BlockCheck(bytes_, len_));
        Put(kCr);
        return out.Append(bytes_, static_cast<int32_t>(len_)) == static_cast<int32_t>(len_);
    }

private:
    uint8_t bytes_[kMaxFrameLen];
    size_t len_;
};

template <typename Build> bool BuildAndSend(CIDecComBase& channel, Build build) {
    CBuf frame;
    if (!build(frame))
        return false;
    return channel.Send(frame.Data(), frame.Length()) > 0;
}

} // namespace

const char* StatusName(int32_t code) {
    return FindStatus(code).name;
}
const WChar* StatusNameW(int32_t code) {
    return FindStatus(code).nameW;
}

char UnitLetter(const WChar* typeName) {
    return model::UnitAccessLetter(typeName);
}

char BitLetter(const WChar* typeName) {
    return model::BitAccessLetter(typeName);
}

const WChar* TypeNameOfLetter(char letter) {
    return model::TypeNameOfListLetter(letter);
}

bool IsHexAddressLetter(char letter) {
    return OneOf(letter, "Ala.");
}

uint8_t BlockCheck(const uint8_t* bytes, size_t n) {
    uint8_t x = 0;
    for (size_t i = 0; i < n; ++i)
        x ^= bytes[i];
    return x;
}

uint32_t HexToNumber(const char* text, size_t len) {
    uint32_t v = 0;
    if (!text)
        return 0;
    for (size_t i = 0; i < len && text[i]; ++i) {
        const int d = plat::HexDigitValue(text[i]);
        v = (v << 4) + static_cast<uint32_t>(d < 0 ? 0 : d);
    }
    return v;
}

bool BuildBlockRead(CBuf& out, const char* station, char letter, int32_t address, int32_t count) {
    if (!OneOf(letter, "AlRTtCcXYk") || count < 1 || count > kMaxBlockBytes)
        return false;
    FrameWriter w;
    if (!w.Start(station, 'R', letter) || !w.Address(address, IsHexAddressLetter(letter)))
        return false;
    w.Hex2(static_cast<uint8_t>(count));
    return w.Finish(out);
}

bool BuildBitRead(CBuf& out, const char* station, char letter, int32_t address) {
    if (!OneOf(letter, "xyrde"))
        return false;
    FrameWriter w;
    if (!w.Start(station, 'R', letter) || !w.Address(address, false))
        return false;
    return w.Finish(out);
}

bool BuildBlockWrite(CBuf& out, const char* station, char letter, int32_t address,
                     const uint8_t* data, int32_t count) {
    if (!OneOf(letter, "AlTtCckXYR") || !data || count < 1 || count > kMaxBlockBytes)
        return false;
    FrameWriter w;
    if (!w.Start(station, 'W', letter) || !w.Address(address, IsHexAddressLetter(letter)))
        return false;
    w.Hex2(static_cast<uint8_t>(count));
    for (int32_t i = 0; i < count; ++i)
        w.Hex2(data[i]);
    return w.Finish(out);
}

bool BuildBitWrite(CBuf& out, const char* station, char letter, int32_t address, bool on) {
    if (!OneOf(letter, "xyra"))
        return false;
    FrameWriter w;
    if (!w.Start(station, 'W', letter) || !w.Address(address, IsHexAddressLetter(letter)))
        return false;
    w.Put(on ? '1' : '0');
    return w.Finish(out);
}

bool BuildRegisterBitWrite(CBuf& out, const char* station, char letter, int32_t address,
                           int32_t bit, bool on) {
    if (letter != '.' || bit < 0 || bit > 15)
        return false;
    FrameWriter w;
    if (!w.Start(station, 'W', letter) || !w.Address(address, true))
        return false;
    w.Put(static_cast<uint8_t>(kHexDigits[bit]));
    w.Put(on ? '1' : '0');
    return w.Finish(out);
}

bool BuildListQuery(CBuf& out, const char* station, char letter) {
    // Any printable letter; a control byte would corrupt the frame.
    if (letter < 0x21 || letter > 0x7E)
        return false;
    FrameWriter w;
    if (!w.Start(station, 'L', letter))
        return false;
    return w.Finish(out);
}

bool SendBlockRead(CIDecComBase& channel, const char* station, char letter, int32_t address,
                   int32_t count) {
    return BuildAndSend(
        channel, [&](CBuf& f) { return BuildBlockRead(f, station, letter, address, count); });
}

bool SendBitRead(CIDecComBase& channel, const char* station, char letter, int32_t address) {
    return BuildAndSend(channel,
                        [&](CBuf& f) { return BuildBitRead(f, station, letter, address); });
}

bool SendBlockWrite(CIDecComBase& channel, const char* station, char letter, int32_t address,
                    const uint8_t* data, int32_t count) {
    return BuildAndSend(channel, [&](CBuf& f) {
        return BuildBlockWrite(f, station, letter, address, data, count);
    });
}

bool SendBitWrite(CIDecComBase& channel, const char* station, char letter, int32_t address,
                  bool on) {
    return BuildAndSend(channel,
                        [&](CBuf& f) { return BuildBitWrite(f, station, letter, address, on); });
}

bool SendRegisterBitWrite(CIDecComBase& channel, const char* station, char letter, int32_t address,
                          int32_t bit, bool on) {
    return BuildAndSend(channel, [&](CBuf& f) {
        return BuildRegisterBitWrite(f, station, letter, address, bit, on);
    });
}

bool SendListQuery(CIDecComBase& channel, const char* station, char letter) {
    return BuildAndSend(channel, [&](CBuf& f) { return BuildListQuery(f, station, letter); });
}

ReplyKind ClassifyReply(const uint8_t* reply, int32_t n) {
    if (!reply || n < 1)
        return kReplyNone;
    if (reply[0] == kNak)
        return kReplyNak;
    if (n > 3 && reply[3] == '2')
        return kReplyError;
    return kReplyPositive;
}

int32_t ReplyErrorCode(const uint8_t* reply, int32_t n) {
    if (!reply || n < 6)
        return -1;
    // A read reply counts its CR (stored as NUL): that is no code digit.
    for (int i = 4; i < 6; ++i)
        if (reply[i] == 0 || reply[i] == kCr)
            return -1;
    return static_cast<int32_t>(HexToNumber(reinterpret_cast<const char*>(reply) + 4, 2));
}

namespace {

// Status of a negative reply: the PLC's code; 21 when the code reads as 0,
// which would pass for success; cutOff when the reply ends before it.
int32_t NegativeVerdict(const uint8_t* reply, int32_t n, int32_t cutOff) {
    const int32_t code = ReplyErrorCode(reply, n);
    if (code < 0)
        return cutOff;
    return code == kStatusOk ? kStatusNak : code;
}

// What a read reply that is not positive leaves as the status; kPositiveRead
// for a positive one, whose size the caller still checks.
constexpr int32_t kPositiveRead = -1;

int32_t ReadReplyVerdict(const uint8_t* reply, int32_t n) {
    switch (ClassifyReply(reply, n)) {
    case kReplyNone:
        return kStatusRecvTimeout;
    case kReplyNak:
        return kStatusNak;
    case kReplyError:
        return NegativeVerdict(reply, n, kStatusReadSize);
    case kReplyPositive:
        break;
    }
    return kPositiveRead;
}

} // namespace

int32_t JudgeBlockRead(const uint8_t* reply, int32_t n, int32_t count) {
    int32_t verdict = ReadReplyVerdict(reply, n);
    if (verdict != kPositiveRead)
        return verdict;
    if (n < 6 || n > kMaxReplyLen || (n - 6) / 2 < count)
        return kStatusReadSize;
    return kStatusOk;
}

int32_t JudgeBitRead(const uint8_t* reply, int32_t n, bool* bitOn) {
    int32_t verdict = ReadReplyVerdict(reply, n);
    if (verdict != kPositiveRead)
        return verdict;
    if (n != 8)
        return kStatusReadSize;
    if (bitOn)
        *bitOn = reply[4] == '1';
    return kStatusOk;
}

int32_t JudgeWrite(const uint8_t* reply, int32_t n, int32_t previous) {
    switch (ClassifyReply(reply, n)) {
    case kReplyNone:
        return previous;
    case kReplyNak:
        return NegativeVerdict(reply, n, kStatusNak);
    case kReplyError:
        return NegativeVerdict(reply, n, kStatusReadSize);
    case kReplyPositive:
        break;
    }
    return n > kMaxReplyLen ? kStatusReadSize : kStatusOk;
}

bool DecodeBlockData(const uint8_t* reply, int32_t n, int32_t count, uint8_t* out) {
    if (!reply || !out || count < 0 || n < 4 || (n - 4) / 2 < count)
        return false;
    const char* p = reinterpret_cast<const char*>(reply) + 4;
    for (int32_t i = 0; i < count; ++i) {
        // Two characters each, read as HexToNumber reads them, but a NUL
        // inside the data must not shorten what was promised.
        const int hi = plat::HexDigitValue(p[2 * i]);
        const int lo = plat::HexDigitValue(p[2 * i + 1]);
        out[i] = static_cast<uint8_t>(((hi < 0 ? 0 : hi) << 4) | (lo < 0 ? 0 : lo));
    }
    return true;
}

AddressList ParseAddressList(const uint8_t* reply, int32_t n) {
    AddressList list = {kListEmpty, 0, 0, -1};
    switch (ClassifyReply(reply, n)) {
    case kReplyNone:
        return list;
    case kReplyNak:
        list.kind = kListNak;
        return list;
    case kReplyError:
        list.kind = kListError;
        list.errorCode = ReplyErrorCode(reply, n);
        return list;
    case kReplyPositive:
        break;
    }
    if (n < 12) {
        list.kind = kListShort;
        return list;
    }
    list.kind = kListEntries;
    list.declared = HexToNumber(reinterpret_cast<const char*>(reply) + 4, 8);
    const uint32_t whole = static_cast<uint32_t>(n - 12) / 8u;
    list.available = list.declared < whole ? list.declared : whole;
    return list;
}

bool AddressListEntry(const uint8_t* reply, int32_t n, uint32_t index, uint32_t* value) {
    if (!reply || !value || n < 12)
        return false;
    if (index >= static_cast<uint32_t>(n - 12) / 8u)
        return false;
    *value =
        HexToNumber(reinterpret_cast<const char*>(reply) + 12 + 8 * static_cast<size_t>(index), 8);
    return true;
}

} // namespace idec
