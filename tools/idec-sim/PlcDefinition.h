// Device types of a simulated controller: read from a PLC definition file
// (the format the driver reads) or built in.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/types.h"

namespace idecsim {

struct DeviceType {
    std::string name;       // "D", "TP", ... compared exactly
    bool bitDevice = false; // units are bytes of 8 numbered bits
    int unitSize = 2;       // bytes per unit: 1, 2 or 4
    int radix = 10;         // -1 decimal-octal (last digit is the bit 0-7), 8, 10 or 16
    std::vector<std::pair<uint32_t, uint32_t>> ranges; // inclusive, in the device's numbering
};

// The controller the simulator is when no definition file is given.
std::vector<DeviceType> DefaultDeviceTypes();

// Reads the device types of a definition text. False, with a reason, when
// the text has no CpuName or defines no usable device type. Lines that cannot
// be used are skipped and described in *warnings (may be null).
bool ParsePlcDefinition(const std::string& text, std::vector<DeviceType>* out, std::string* error,
                        std::vector<std::string>* warnings);

// Reads a definition file (at most 1 MiB) and parses it.
bool LoadPlcDefinition(const WChar* path, std::vector<DeviceType>* out, std::string* error,
                       std::vector<std::string>* warnings);

// The value of a key line ("Key: value", "Key = value", "Key, value"): the
// key must begin a line, after at most one blank. False when there is none.
bool FindKeyValue(const std::string& text, const std::string& key, std::string* value);

} // namespace idecsim
