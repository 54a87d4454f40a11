// PLC definition files (idec.plc and the like): the controller's device types
// with their unit size, numbering, address ranges and access.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/types.h"

class CPlc;
class CPlcDevice;

// The file's header, each value cut to its field.
struct PlcDefinitionHeader {
    char cpuName[50];
    char versionText[32];
    int16_t version; // Version x 100, truncated
    char index[10240];
    char hlpName[20];
};

// One device type line, for example "D: D,Word,Dec,1,0,7999,read,write,".
struct DeviceTypeRecord {
    static constexpr uint32_t kMaxRanges = 100;

    char name[255];
    char unit[20];
    char radix[10];
    // The count as written; may lie outside 1..100.
    int32_t declaredRanges;
    // Pairs held in starts/ends: the declared count limited to 0..100.
    uint32_t rangeCount;
    uint32_t starts[kMaxRanges];
    uint32_t ends[kMaxRanges];
    char access[1024];
};

// Device block properties that a record stands for.
struct DeviceTypeProperties {
    uint32_t rangeCount; // 0: the record gave no range, the block keeps its own
    uint32_t starts[DeviceTypeRecord::kMaxRanges];
    uint32_t ends[DeviceTypeRecord::kMaxRanges];
    uint32_t lowestAddress;
    uint32_t highestAddress;
    int32_t radix; // 8, 10, 16, or -1 for decimal-octal numbering
    uint32_t unitCode;
    uint32_t bytesPerUnit;
    bool bitDevice;
    uint32_t access; // bit 0 read, bit 1 write
};

// Loaded text of one definition file with its key lookup.
class CPlcDefinitionFile {
public:
    // Files of this size or more are not read.
    static constexpr uint32_t kMaxFileSize = 0xFFFFF;

    CPlcDefinitionFile() = default;
    CPlcDefinitionFile(const CPlcDefinitionFile&) = delete;
    CPlcDefinitionFile& operator=(const CPlcDefinitionFile&) = delete;

    // Reads an existing file whole; false when missing, unreadable or too large.
    bool Load(const WChar* path);
    // Takes text from memory instead.
    bool LoadText(const char* data, size_t size);

    // Value of a key that begins a line ("Key: value", "Key = value", "Key, ...").
    bool FindValue(const char* key, size_t* valueBegin, size_t* valueEnd) const;
    // The value cut to outSize - 1 bytes; false (out empty) when not found.
    bool GetValue(const char* key, char* out, size_t outSize) const;

    // True when CpuName is present and not empty.
    bool ReadHeader(PlcDefinitionHeader* header) const;
    // True when the line of key was found; the record is cleared either way.
    bool ParseDeviceType(const char* key, DeviceTypeRecord* record) const;

    const std::string& Text() const { return text_; }

private:
    std::string text_; // file bytes; c_str() gives the zero after them
    // Where lines start, made on the first lookup.
    mutable std::vector<size_t> lineStarts_;
    mutable bool linesIndexed_ = false;
};

// Index entries: split at commas, each cut to 127 bytes, empty ones skipped.
std::vector<std::string> SplitPlcIndex(const char* index);

// Numbering of a device block from the radix text (case-insensitive).
int32_t PlcRadixFromText(const char* radix);
// Base in which the bounds are written ("Hex"/"hex", "Oct"/"oct", "Bin"/"bin").
int PlcBoundsBase(const char* radix);
// Access flags from the access text.
uint32_t PlcAccessFromText(const char* access);
// Unit code, bytes per unit and bit-device flag from the unit text.
void PlcUnitFromText(const char* unit, uint32_t* unitCode, uint32_t* bytesPerUnit, bool* bitDevice);
void PlcPropertiesFromRecord(const DeviceTypeRecord& record, DeviceTypeProperties* props);

// Folder of the definition files: registry value PLCDir, else the folder of
// the host executable. Ends with a separator unless empty.
void PlcDefinitionFolder(WChar* out, uint32_t cap);

// Path of a definition file: a relative name goes below the configuration
// folder, and a path still relative below plcFolder. False when it does not fit.
bool PlcDefinitionPath(const char* plcFile, const WChar* configFolder, const WChar* plcFolder,
                       WChar* out, uint32_t cap);

// Marks the PLC's device blocks as not listed, then creates a block for each
// device type the PLC's definition file lists. True when at least one was.
// *noMemory (optional) tells whether a listed type was left out for want of
// memory.
bool ReadPlcDefinition(CPlc* plc, const WChar* configFolder, const WChar* plcFolder,
                       bool* noMemory = nullptr);

// The PLC's block of the record's name; a new one gets the record's properties.
// nullptr for a record without a name, or without memory.
CPlcDevice* GetOrCreatePlcDevice(CPlc* plc, const DeviceTypeRecord& record);
