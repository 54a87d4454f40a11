// The controller itself: device memory, request decoding and answering.
// Not thread-safe; the simulator serialises access.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "PlcDefinition.h"

namespace idecsim {

enum class Op { kBlockRead, kBitRead, kBlockWrite, kBitWrite, kRegisterBitWrite, kAddressList };

struct Request {
    Op op = Op::kBlockRead;
    char letter = 0;
    uint32_t address = 0; // in the device's own numbering
    int count = 0;        // data bytes of block frames
    char bit = 0;         // register-bit write: the bit digit as sent
    char value = 0;       // bit writes: the value character as sent
    std::string data;     // block write: the hex characters as sent
};

struct Decoded {
    enum Kind { kIgnore, kReply, kRequest };
    Kind kind = kIgnore; // kIgnore: another station's frame, no reply
    std::string reply;   // kReply: the NAK for a malformed frame
    Request request;     // kRequest: to be carried out
};

class Plc {
public:
    Plc();

    // Replaces the device types; memory and address lists start empty.
    void SetDeviceTypes(const std::vector<DeviceType>& types);
    std::vector<DeviceType> DeviceTypes() const;

    void SetStation(int station) { station_ = station & 0xFF; }
    int Station() const { return station_; }
    // Block writes of timer and counter presets are refused with code 07.
    void SetPresetsLocked(bool locked) { presetsLocked_ = locked; }

    // Checks a frame (CR included) and says what to do with it.
    Decoded Decode(const std::string& frame) const;
    // Carries out a decoded request; returns the reply.
    std::string Execute(const Request& r);

    // A unit's value (word, byte, dword: high byte first) or, for bit
    // devices, one bit (0/1). False for an unknown device, an address outside
    // its ranges or a value that does not fit.
    bool SetValue(const std::string& device, uint32_t address, uint32_t value);
    bool GetValue(const std::string& device, uint32_t address, uint32_t* value) const;

    // The addresses an address-list query with this letter answers; both
    // letters of a device share one list. Until set, the addresses given to
    // SetValue. False for an unknown letter.
    bool SetAddressList(char letter, const std::vector<uint32_t>& addresses);
    bool AddressList(char letter, std::vector<uint32_t>* addresses) const;

private:
    struct Device {
        DeviceType type;
        std::map<uint64_t, uint8_t> bytes; // PLC order; absent bytes are 0
        std::set<uint32_t> used;           // addresses set through the API
        bool listSet = false;
        std::vector<uint32_t> list;

        uint8_t Byte(uint64_t offset) const;
        void SetByte(uint64_t offset, uint8_t v);
        uint32_t Unit(uint64_t unit) const;
        void SetUnit(uint64_t unit, uint32_t v);
        // Unit of a whole-unit address; false when the address is not the
        // first bit of a unit.
        bool BlockUnit(uint32_t address, uint64_t* unit) const;
        // Unit and bit of a bit address; false for a decimal-octal digit 8 or 9.
        bool BitOf(uint32_t address, uint64_t* unit, int* bit) const;
        bool UnitInRange(uint64_t unit) const;
        bool BitInRange(uint32_t address) const;
    };

    Device* DeviceFor(char letter);
    const Device* DeviceFor(char letter) const;

    std::string BlockRead(Device& d, const Request& r);
    std::string BlockWrite(Device& d, const Request& r);
    std::string BitRead(Device& d, const Request& r);
    std::string BitWrite(Device& d, const Request& r);
    std::string RegisterBitWrite(Device& d, const Request& r);
    std::string AddressListReply(const Device* d) const;
    // Units [first, last] of a block access of count bytes; false when any
    // lies outside the ranges.
    bool BlockSpan(const Device& d, uint32_t address, int count, uint64_t* first) const;

    int station_ = 1;
    bool presetsLocked_ = false;
    std::map<std::string, Device> devices_;
};

// The device type name that a letter reaches ("A" -> "D"), empty when the
// protocol has no such letter.
std::string DeviceOfLetter(char letter);

} // namespace idecsim
