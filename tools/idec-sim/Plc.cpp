#include "Plc.h"

#include <algorithm>

#include "Frames.h"

namespace idecsim {

namespace {

enum Access : unsigned {
    kBlock = 1,    // block read and block write
    kBitRead = 2,  // single-bit read
    kBitWrite = 4, // single-bit write
    kRegisterBit = 8,
};

struct LetterInfo {
    char letter;
    const char* device;
    bool hexAddress;
    unsigned access;
};

// Unit letters and bit letters of one device reach the same memory.
const LetterInfo kLetters[] = {
    {'X', "I", false, kBlock},   {'x', "I", false, kBitRead | kBitWrite},
    {'Y', "Q", false, kBlock},   {'y', "Q", false, kBitRead | kBitWrite},
    {'l', "M", true, kBlock},    {'a', "M", true, kBitRead | kBitWrite},
    {'R', "R", false, kBlock},   {'r', "R", false, kBitRead | kBitWrite},
    {'T', "TP", false, kBlock},  {'t', "TC", false, kBlock},
    {'C', "CP", false, kBlock},  {'c', "CC", false, kBlock},
    {'A', "D", true, kBlock},    {'.', "D", true, kRegisterBit},
    {'d', "T", false, kBitRead}, {'e', "C", false, kBitRead},
    {'k', "P", false, kBlock},
};

const LetterInfo* FindLetter(char c) {
    for (const LetterInfo& l : kLetters)
        if (l.letter == c)
            return &l;
    return nullptr;
}

// Eight address characters; false for a character outside the field's digits.
bool ParseAddress(const std::string& f, size_t pos, bool hex, uint32_t* out) {
    uint32_t v = 0;
    for (size_t i = pos; i < pos + 8; ++i) {
        int d = hex ? HexDigit(f[i]) : (f[i] >= '0' && f[i] <= '9' ? f[i] - '0' : -1);
        if (d < 0)
            return false;
        v = v * (hex ? 16u : 10u) + static_cast<uint32_t>(d);
    }
    *out = v;
    return true;
}

bool ParseHexByte(const std::string& f, size_t pos, int* out) {
    int hi = HexDigit(f[pos]);
    int lo = HexDigit(f[pos + 1]);
    if (hi < 0 || lo < 0)
        return false;
    *out = hi * 16 + lo;
    return true;
}

} // namespace

std::string DeviceOfLetter(char letter) {
    const LetterInfo* l = FindLetter(letter);
    return l ? l->device : std::string();
}

// ---- Device ----

uint8_t Plc::Device::Byte(uint64_t offset) const {
    auto it = bytes.find(offset);
    return it == bytes.end() ? 0 : it->second;
}

void Plc::Device::SetByte(uint64_t offset, uint8_t v) {
    if (v)
        bytes[offset] = v;
    else
        bytes.erase(offset);
}

uint32_t Plc::Device::Unit(uint64_t unit) const {
    uint32_t v = 0;
    const uint64_t base = unit * static_cast<uint64_t>(type.unitSize);
    for (int i = 0; i < type.unitSize; ++i)
        v = (v << 8) | Byte(base + static_cast<uint64_t>(i));
    return v;
}

void Plc::Device::SetUnit(uint64_t unit, uint32_t v) {
    const uint64_t base = unit * static_cast<uint64_t>(type.unitSize);
    for (int i = type.unitSize - 1; i >= 0; --i, v >>= 8)
        SetByte(base + static_cast<uint64_t>(i), static_cast<uint8_t>(v & 0xFF));
}

bool Plc::Device::BlockUnit(uint32_t address, uint64_t* unit) const {
    if (type.radix == -1) {
        *unit = address / 10;
        return address % 10 == 0;
    }
    if (type.bitDevice) {
        *unit = address / 8;
        return address % 8 == 0;
    }
    *unit = address;
    return true;
}

bool Plc::Device::BitOf(uint32_t address, uint64_t* unit, int* bit) const {
    if (type.radix == -1) {
        *unit = address / 10;
        *bit = static_cast<int>(address % 10);
        return *bit < 8;
    }
    const uint32_t bits = type.bitDevice ? 8u : 8u * static_cast<uint32_t>(type.unitSize);
    *unit = address / bits;
    *bit = static_cast<int>(address % bits);
    return true;
}

bool Plc::Device::UnitInRange(uint64_t unit) const {
    uint64_t lo = unit;
    uint64_t hi = unit;
    if (type.radix == -1) {
        lo = unit * 10;
        hi = lo + 7;
    } else if (type.bitDevice) {
        lo = unit * 8;
        hi = lo + 7;
    }
    for (const auto& r : type.ranges)
        if (lo <= r.second && r.first <= hi)
            return true;
    return false;
}

bool Plc::Device::BitInRange(uint32_t address) const {
    uint64_t unit = 0;
    int bit = 0;
    if (!BitOf(address, &unit, &bit))
        return false;
    if (type.bitDevice || type.radix == -1) {
        for (const auto& r : type.ranges)
            if (r.first <= address && address <= r.second)
                return true;
        return false;
    }
    return UnitInRange(unit);
}

// ---- Plc ----

Plc::Plc() {
    SetDeviceTypes(DefaultDeviceTypes());
}

void Plc::SetDeviceTypes(const std::vector<DeviceType>& types) {
    devices_.clear();
    for (const DeviceType& t : types)
        devices_[t.name].type = t;
}

std::vector<DeviceType> Plc::DeviceTypes() const {
    std::vector<DeviceType> out;
    for (const auto& d : devices_)
        out.push_back(d.second.type);
    return out;
}

Plc::Device* Plc::DeviceFor(char letter) {
    const LetterInfo* l = FindLetter(letter);
    if (!l)
        return nullptr;
    auto it = devices_.find(l->device);
    return it == devices_.end() ? nullptr : &it->second;
}

const Plc::Device* Plc::DeviceFor(char letter) const {
    return const_cast<Plc*>(this)->DeviceFor(letter);
}

Decoded Plc::Decode(const std::string& f) const {
    Decoded out;
    out.kind = Decoded::kReply;
    const size_t n = f.size();
    int station = -1;
    if (n >= 3 && f[0] == kEnq && !ParseHexByte(f, 1, &station))
        station = -1;
    // Another station's frame on a shared line is none of our business.
    if (station >= 0 && station != station_ && station != 0xFF) {
        out.kind = Decoded::kIgnore;
        return out;
    }
    if (n < 9 || f[0] != kEnq || f[n - 1] != kCr || station < 0) {
        out.reply = NakReply(station_, kNakFrame);
        return out;
    }
    if (BlockCheck(f.data(), n - 3) != f.substr(n - 3, 2)) {
        out.reply = NakReply(station_, kNakBcc);
        return out;
    }
    const char command = f[4];
    const LetterInfo* l = FindLetter(f[5]);
    if (f[3] != '0') {
        out.reply = NakReply(station_, kNakFrame);
        return out;
    }
    if ((command != 'R' && command != 'W' && command != 'L') || !l) {
        out.reply = NakReply(station_, kNakUnsupported);
        return out;
    }
    Request& r = out.request;
    r.letter = l->letter;
    size_t expected = 0;
    if (command == 'L') {
        r.op = Op::kAddressList;
        expected = 9;
    } else if (command == 'R' && (l->access & kBlock)) {
        r.op = Op::kBlockRead;
        expected = 19;
    } else if (command == 'R' && (l->access & kBitRead)) {
        r.op = Op::kBitRead;
        expected = 17;
    } else if (command == 'W' && (l->access & kBlock)) {
        r.op = Op::kBlockWrite;
        expected = 19; // checked again once the count is known
    } else if (command == 'W' && (l->access & kBitWrite)) {
        r.op = Op::kBitWrite;
        expected = 18;
    } else if (command == 'W' && (l->access & kRegisterBit)) {
        r.op = Op::kRegisterBitWrite;
        expected = 19;
    } else {
        out.reply = NakReply(station_, kNakUnsupported);
        return out;
    }
    if (r.op != Op::kBlockWrite && n != expected) {
        out.reply = NakReply(station_, kNakFrame);
        return out;
    }
    if (r.op == Op::kAddressList) {
        out.kind = Decoded::kRequest;
        return out;
    }
    if (n < 17 || !ParseAddress(f, 6, l->hexAddress, &r.address)) {
        out.reply = NakReply(station_, kNakFrame);
        return out;
    }
    if (r.op == Op::kBlockRead || r.op == Op::kBlockWrite) {
        if (n < 19 || !ParseHexByte(f, 14, &r.count)) {
            out.reply = NakReply(station_, kNakFrame);
            return out;
        }
        if (r.count == 0 || r.count > 240) {
            out.reply = NakReply(station_, kNakCount);
            return out;
        }
        if (r.op == Op::kBlockWrite) {
            if (n != 19 + 2 * static_cast<size_t>(r.count)) {
                out.reply = NakReply(station_, kNakFrame);
                return out;
            }
            r.data = f.substr(16, 2 * static_cast<size_t>(r.count));
        }
    } else if (r.op == Op::kBitWrite) {
        r.value = f[14];
    } else if (r.op == Op::kRegisterBitWrite) {
        r.bit = f[14];
        r.value = f[15];
    }
    if (!DeviceFor(r.letter)) {
        // A letter this controller model has no device for.
        out.reply = NakReply(station_, kNakUnsupported);
        return out;
    }
    out.kind = Decoded::kRequest;
    return out;
}

std::string Plc::Execute(const Request& r) {
    Device* d = DeviceFor(r.letter);
    if (r.op == Op::kAddressList)
        return AddressListReply(d);
    if (!d)
        return NakReply(station_, kNakUnsupported);
    switch (r.op) {
    case Op::kBlockRead:
        return BlockRead(*d, r);
    case Op::kBlockWrite:
        return BlockWrite(*d, r);
    case Op::kBitRead:
        return BitRead(*d, r);
    case Op::kBitWrite:
        return BitWrite(*d, r);
    case Op::kRegisterBitWrite:
        return RegisterBitWrite(*d, r);
    default:
        return NakReply(station_, kNakUnsupported);
    }
}

bool Plc::BlockSpan(const Device& d, uint32_t address, int count, uint64_t* first) const {
    uint64_t unit = 0;
    if (!d.BlockUnit(address, &unit))
        return false;
    const uint64_t size = static_cast<uint64_t>(d.type.unitSize);
    const uint64_t last = (unit * size + static_cast<uint64_t>(count) - 1) / size;
    for (uint64_t u = unit; u <= last; ++u)
        if (!d.UnitInRange(u))
            return false;
    *first = unit;
    return true;
}

std::string Plc::BlockRead(Device& d, const Request& r) {
    uint64_t unit = 0;
    if (!BlockSpan(d, r.address, r.count, &unit))
        return RefusalReply(station_, kNgRange);
    const uint64_t base = unit * static_cast<uint64_t>(d.type.unitSize);
    std::string data;
    data.reserve(2 * static_cast<size_t>(r.count));
    for (int i = 0; i < r.count; ++i)
        data += Hex(d.Byte(base + static_cast<uint64_t>(i)), 2);
    return PositiveReply(station_, data);
}

std::string Plc::BlockWrite(Device& d, const Request& r) {
    std::vector<uint8_t> bytes;
    bytes.reserve(static_cast<size_t>(r.count));
    for (size_t i = 0; i + 1 < r.data.size(); i += 2) {
        int v = 0;
        if (!ParseHexByte(r.data, i, &v))
            return RefusalReply(station_, kNgData);
        bytes.push_back(static_cast<uint8_t>(v));
    }
    uint64_t unit = 0;
    if (!BlockSpan(d, r.address, r.count, &unit))
        return RefusalReply(station_, kNgRange);
    if (presetsLocked_ && (r.letter == 'T' || r.letter == 'C'))
        return RefusalReply(station_, kNgPreset);
    const uint64_t base = unit * static_cast<uint64_t>(d.type.unitSize);
    for (size_t i = 0; i < bytes.size(); ++i)
        d.SetByte(base + i, bytes[i]);
    return PositiveReply(station_, std::string());
}

std::string Plc::BitRead(Device& d, const Request& r) {
    uint64_t unit = 0;
    int bit = 0;
    if (!d.BitOf(r.address, &unit, &bit) || !d.BitInRange(r.address))
        return RefusalReply(station_, kNgRange);
    return PositiveReply(station_, ((d.Unit(unit) >> bit) & 1u) ? "1" : "0");
}

std::string Plc::BitWrite(Device& d, const Request& r) {
    if (r.value != '0' && r.value != '1')
        return RefusalReply(station_, kNgData);
    uint64_t unit = 0;
    int bit = 0;
    if (!d.BitOf(r.address, &unit, &bit) || !d.BitInRange(r.address))
        return RefusalReply(station_, kNgRange);
    uint32_t v = d.Unit(unit);
    v = r.value == '1' ? (v | (1u << bit)) : (v & ~(1u << bit));
    d.SetUnit(unit, v);
    return PositiveReply(station_, std::string());
}

std::string Plc::RegisterBitWrite(Device& d, const Request& r) {
    const int bit = HexDigit(r.bit);
    if (bit < 0 || (r.value != '0' && r.value != '1'))
        return RefusalReply(station_, kNgData);
    uint64_t unit = 0;
    if (d.type.bitDevice || bit >= 8 * d.type.unitSize || !d.BlockUnit(r.address, &unit) ||
        !d.UnitInRange(unit))
        return RefusalReply(station_, kNgRange);
    uint32_t v = d.Unit(unit);
    v = r.value == '1' ? (v | (1u << bit)) : (v & ~(1u << bit));
    d.SetUnit(unit, v);
    return PositiveReply(station_, std::string());
}

std::string Plc::AddressListReply(const Device* d) const {
    std::vector<uint32_t> list;
    if (d)
        list = d->listSet ? d->list : std::vector<uint32_t>(d->used.begin(), d->used.end());
    std::string data = Hex(list.size(), 8);
    for (uint32_t a : list)
        data += Hex(a, 8);
    return PositiveReply(station_, data);
}

bool Plc::SetValue(const std::string& device, uint32_t address, uint32_t value) {
    auto it = devices_.find(device);
    if (it == devices_.end())
        return false;
    Device& d = it->second;
    uint64_t unit = 0;
    if (d.type.bitDevice) {
        int bit = 0;
        if (value > 1 || !d.BitOf(address, &unit, &bit) || !d.BitInRange(address))
            return false;
        uint32_t v = d.Unit(unit);
        d.SetUnit(unit, value ? (v | (1u << bit)) : (v & ~(1u << bit)));
    } else {
        if (!d.BlockUnit(address, &unit) || !d.UnitInRange(unit))
            return false;
        if (d.type.unitSize < 4 && value >> (8 * d.type.unitSize))
            return false;
        d.SetUnit(unit, value);
    }
    d.used.insert(address);
    return true;
}

bool Plc::GetValue(const std::string& device, uint32_t address, uint32_t* value) const {
    auto it = devices_.find(device);
    if (it == devices_.end())
        return false;
    const Device& d = it->second;
    uint64_t unit = 0;
    if (d.type.bitDevice) {
        int bit = 0;
        if (!d.BitOf(address, &unit, &bit) || !d.BitInRange(address))
            return false;
        *value = (d.Unit(unit) >> bit) & 1u;
        return true;
    }
    if (!d.BlockUnit(address, &unit) || !d.UnitInRange(unit))
        return false;
    *value = d.Unit(unit);
    return true;
}

bool Plc::SetAddressList(char letter, const std::vector<uint32_t>& addresses) {
    const LetterInfo* l = FindLetter(letter);
    if (!l)
        return false;
    Device* d = DeviceFor(letter);
    if (!d)
        return false;
    d->listSet = true;
    d->list = addresses;
    std::sort(d->list.begin(), d->list.end());
    d->list.erase(std::unique(d->list.begin(), d->list.end()), d->list.end());
    return true;
}

bool Plc::AddressList(char letter, std::vector<uint32_t>* addresses) const {
    if (!FindLetter(letter))
        return false;
    const Device* d = DeviceFor(letter);
    addresses->clear();
    if (d)
        *addresses = d->listSet ? d->list : std::vector<uint32_t>(d->used.begin(), d->used.end());
    return true;
}

} // namespace idecsim
