#include "model/Configuration.h"

#include <cstdio>
#include <cstring>
#include <memory>

#include "model/IniFile.h"
#include "model/LinkModel.h"
#include "model/PlcDefinition.h"
#include "platform/alloc.h"
#include "platform/ascii.h"
#include "platform/file.h"
#include "platform/module.h"
#include "platform/serial.h"
#include "support/Strings.h"

namespace config {

namespace {

const WChar kDefaultConfigName[] = W16("NimbroDrvIDec.cfg");

// folder + name when it fits in cap; otherwise empty and false, since a cut
// path would name (and open-always create) some other file.
bool Concat(const WChar* folder, const WChar* name, WChar* out, uint32_t cap) {
    size_t a = plat::WStrLen(folder), b = plat::WStrLen(name);
    if (a + b >= cap) {
        out[0] = 0;
        return false;
    }
    std::memmove(out, folder, a * sizeof(WChar));
    std::memcpy(out + a, name, (b + 1) * sizeof(WChar));
    return true;
}

} // namespace

void ModuleFolder(plat::ModuleHandle module, WChar* out, uint32_t cap) {
    if (!out || cap == 0)
        return;
    out[0] = 0;
    WChar path[plat::kMaxPath] = {};
    uint32_t n = plat::ModulePath(module, path, plat::kMaxPath);
    if (n == 0 || n >= plat::kMaxPath)
        return;
    path[n] = 0;
    while (n > 0 && !plat::IsPathSep(path[n - 1]))
        --n;
    path[n] = 0;
    CopyTextW(out, path, static_cast<int>(cap));
}

void SettingsFolder(const WChar* moduleFolder, WChar* out, uint32_t cap) {
    if (!out || cap == 0)
        return;
    CopyTextW(out, moduleFolder ? moduleFolder : W16(""), static_cast<int>(cap));
    WChar debugPath[plat::kMaxPath];
    if (!Concat(out, W16("DebugSetting.ini"), debugPath, plat::kMaxPath) ||
        !plat::PathExists(debugPath))
        return;
    CIniFile ini;
    if (!ini.OpenFile(debugPath))
        return;
    WChar dir[plat::kMaxPath] = {};
    int n = ini.GetWString("Setting", "SettingDir", W16(""), dir, plat::kMaxPath);
    ini.CloseFile();
    // An absent or empty SettingDir means an empty settings folder.
    out[0] = 0;
    if (n < 2)
        return;
    size_t len = plat::WStrLen(dir);
    if (!plat::IsPathSep(dir[len - 1])) {
        if (len + 1 >= plat::kMaxPath)
            return; // no room for the separator: not a usable folder
        dir[len] = plat::kPathSep;
        dir[len + 1] = 0;
    }
    CopyTextW(out, dir, static_cast<int>(cap));
}

bool FindConfigurationFileIn(const WChar* moduleFolder, WChar* out, uint32_t cap,
                             int32_t* logDetail) {
    if (!out || cap == 0)
        return false;
    out[0] = 0;
    WChar folder[plat::kMaxPath];
    SettingsFolder(moduleFolder, folder, plat::kMaxPath);

    WChar name[plat::kMaxPath];
    CopyTextW(name, kDefaultConfigName, plat::kMaxPath);
    bool loaded = false;
    WChar hostPath[plat::kMaxPath];
    if (Concat(folder, W16("Nimbro.ini"), hostPath, plat::kMaxPath)) {
        CIniFile ini;
        loaded = ini.OpenFile(hostPath);
        if (loaded) {
            // An empty value names no file: keep the default name.
            if (ini.GetWString("NimbroDrvIDec", "SettingFile", kDefaultConfigName, name,
                               plat::kMaxPath) < 2)
                CopyTextW(name, kDefaultConfigName, plat::kMaxPath);
            if (logDetail)
                *logDetail = ini.GetInt("HttpServer", "LogDetail", 0);
        }
        ini.CloseFile();
    }

    // Join in a buffer larger than a path, so that a result that does not fit
    // is seen instead of cut.
    WChar joined[2 * plat::kMaxPath + 2];
    MakeFullPath(name, joined, folder, static_cast<int>(sizeof joined / sizeof joined[0]));
    if (plat::WStrLen(joined) < plat::kMaxPath)
        CopyTextW(out, joined, static_cast<int>(cap));
    return loaded;
}

bool TraceFileIn(const WChar* moduleFolder, WChar* out, uint32_t cap) {
    if (!out || cap == 0)
        return false;
    out[0] = 0;
    WChar folder[plat::kMaxPath];
    SettingsFolder(moduleFolder, folder, plat::kMaxPath);
    WChar hostPath[plat::kMaxPath];
    WChar name[plat::kMaxPath] = {};
    if (!Concat(folder, W16("Nimbro.ini"), hostPath, plat::kMaxPath))
        return false;
    CIniFile ini;
    int n = 0;
    if (ini.OpenFile(hostPath))
        n = ini.GetWString("NimbroDrvIDec", "TraceFile", W16(""), name, plat::kMaxPath);
    ini.CloseFile();
    if (n < 2)
        return false; // absent or empty: no trace
    // A relative name lives in the settings folder; a path that would have
    // to be cut names another file, and is not used.
    WChar joined[2 * plat::kMaxPath + 2];
    MakeFullPath(name, joined, folder, static_cast<int>(sizeof joined / sizeof joined[0]));
    if (plat::WStrLen(joined) >= plat::kMaxPath || plat::WStrLen(joined) >= cap)
        return false;
    CopyTextW(out, joined, static_cast<int>(cap));
    return true;
}

bool TraceFile(plat::ModuleHandle module, WChar* out, uint32_t cap) {
    WChar folder[plat::kMaxPath];
    ModuleFolder(module, folder, plat::kMaxPath);
    return TraceFileIn(folder, out, cap);
}

bool FindConfigurationFile(plat::ModuleHandle module, WChar* out, uint32_t cap) {
    WChar folder[plat::kMaxPath];
    ModuleFolder(module, folder, plat::kMaxPath);
    // Log detail is read for the host's sake; nothing here depends on it.
    int32_t logDetail = 0;
    return FindConfigurationFileIn(folder, out, cap, &logDetail);
}

void ConfigurationFolder(const WChar* path, WChar* out, uint32_t cap) {
    if (!out || cap == 0)
        return;
    CopyTextW(out, path ? path : W16(""), static_cast<int>(cap));
    size_t n = plat::WStrLen(out);
    // A drive colon ends the folder too ("C:a.cfg"); elsewhere ':' is a name.
    bool drive = plat::PathIsAbsolute(out) && n >= 2 && out[1] == W16(':');
    while (n > 0 && !plat::IsPathSep(out[n - 1]) && !(drive && n == 2))
        --n;
    out[n] = 0;
}

namespace {

uint32_t Clamp(uint32_t v, uint32_t lo, uint32_t hi) {
    return v < lo ? lo : (v > hi ? hi : v);
}

uint16_t Saturate16(uint32_t v) {
    return v > 0xFFFF ? 0xFFFF : static_cast<uint16_t>(v);
}

} // namespace

bool LoadItem(CPlcDevice& device, CIniFile& ini, const char* section, int32_t fileVersion) {
    WChar name[model::kNameCap];
    if (ini.GetWString(section, "Name", nullptr, name, model::kNameCap) < 2)
        return true; // a device section without an item
    // Owned here until a device block takes it, also past an exception.
    std::unique_ptr<CDeviceItem> item(plat::NewObject<CDeviceItem>());
    if (!item)
        return false;
    CopyTextW(item->name, name, model::kNameCap);
    item->startAddress = ini.GetInt(section, "StartAddress", 0);
    item->size = static_cast<uint16_t>(ini.GetInt(section, "Size", 1));
    item->dataType = static_cast<uint16_t>(ini.GetInt(section, "DataType", 18));
    item->attribute = static_cast<uint32_t>(ini.GetInt(section, "DeviceAttribute", 0));
    item->textSize = 0;
    if (item->dataType == model::kTypeText) {
        const uint32_t bpu = device.bytesPerUnit;
        if (fileVersion >= 3) {
            // A wrapped 16-bit size would be far too small: keep the largest.
            item->textSize = bpu ? Saturate16(uint32_t{item->size} * bpu) : item->size;
        } else {
            item->textSize = static_cast<uint16_t>(ini.GetInt(section, "StringSize", 1));
            item->size = static_cast<uint16_t>(bpu ? item->textSize / bpu : item->textSize);
        }
        item->lowHiStatus = static_cast<uint16_t>(ini.GetInt(section, "LowHiStatus", 2));
        if (item->lowHiStatus == 1)
            item->dataType = model::kTypeAltText;
    }
    item->baseDataType = item->dataType == model::kTypeAltText ? model::kTypeText : item->dataType;
    if (!device.InsertItem(item.get()))
        return false;
    item.release();
    return true;
}

bool LoadPlc(CPlc& plc, CIniFile& ini, const char* section, int32_t fileVersion,
             const WChar* configFolder, const WChar* plcFolder) {
    plc.RemoveDevices();
    ini.GetString(section, "PlcFile", "", plc.plcFile, 254);
    if (!plc.plcFile[0])
        CopyTextA(plc.plcFile, "idec.plc", sizeof plc.plcFile);
    ini.GetString(section, "StationNumber", "00", plc.stationNumber, sizeof plc.stationNumber);
    plc.retryNumber = static_cast<uint16_t>(ini.GetInt(section, "RetryNumber", 0));
    plc.timeout = ini.GetInt(section, "Timeout", 3);

    bool noMemory = false;
    ReadPlcDefinition(&plc, configFolder, plcFolder, &noMemory);

    bool ok = !noMemory;
    char devSection[64];
    WChar devName[model::kNameCap];
    for (uint32_t m = 0; m < kMaxDeviceSections; ++m) {
        std::snprintf(devSection, sizeof devSection, "%s.Dev%u", section, m);
        if (ini.GetWString(devSection, "DeviceName", nullptr, devName, model::kNameCap) < 2)
            break;
        CPlcDevice* device = plc.FindDevice(devName);
        if (!device) {
            std::unique_ptr<CPlcDevice> made(plat::NewObject<CPlcDevice>(&plc));
            if (!made) {
                ok = false;
                continue;
            }
            made->SetName(devName);
            device = made.get();
            if (!plc.InsertDevice(made.release())) {
                ok = false;
                continue;
            }
        }
        if (!LoadItem(*device, ini, devSection, fileVersion))
            ok = false;
    }
    return ok;
}

// The line keys of a serial link; a value out of range gives way to the
// computer link's usual 9600 7E1 and is named in the link's message.
// Whole decimal text up to 999999; -1 for anything else.
int32_t StrictDecimal(const char* text) {
    int32_t v = 0;
    int n = 0;
    for (; text[n]; ++n) {
        if (text[n] < '0' || text[n] > '9' || n >= 6)
            return -1;
        v = v * 10 + (text[n] - '0');
    }
    return n ? v : -1;
}

void LoadLine(CPlcDrvLink& link, CIniFile& ini, const char* section) {
    plat::SerialSettings line; // 9600 7E1
    char note[96] = {};
    char text[32];
    // Each key alone: a value that would not make a valid line is named.
    auto take = [&](const char* key, bool (*apply)(const char*, plat::SerialSettings&)) {
        ini.GetString(section, key, "", text, sizeof text);
        if (!text[0])
            return;
        plat::SerialSettings tried = line;
        if (apply(text, tried) && plat::SerialSettingsValid(tried)) {
            line = tried;
            return;
        }
        const size_t used = std::strlen(note);
        std::snprintf(note + used, sizeof note - used, "%s%s=%s", used ? ", " : "", key, text);
    };
    take("BaudRate", [](const char* t, plat::SerialSettings& s) {
        s.baud = static_cast<uint32_t>(StrictDecimal(t));
        return StrictDecimal(t) > 0;
    });
    take("DataBits", [](const char* t, plat::SerialSettings& s) {
        s.dataBits = static_cast<uint8_t>(StrictDecimal(t));
        return StrictDecimal(t) > 0 && StrictDecimal(t) < 256;
    });
    take("Parity", [](const char* t, plat::SerialSettings& s) {
        s.parity = static_cast<char>(t[0] & ~0x20); // either case
        return t[1] == 0;
    });
    take("StopBits", [](const char* t, plat::SerialSettings& s) {
        s.stopBits = static_cast<uint8_t>(StrictDecimal(t));
        return StrictDecimal(t) > 0 && StrictDecimal(t) < 256;
    });
    link.SetLine(line.baud, line.dataBits, line.parity, line.stopBits, note);
}

bool LoadLink(CPlcDrvLink& link, CIniFile& ini, const char* section, int32_t fileVersion,
              const WChar* configFolder, const WChar* plcFolder) {
    link.RemovePlcs();
    char address[255] = {};
    ini.GetString(section, "OpenName", "", address, sizeof address);
    link.SetAddressText(address);
    if (link.PortOverride())
        link.ApplyPortOverride(link.PortOverride());

    uint32_t station = static_cast<uint16_t>(ini.GetInt(section, "DeviceNo", 0));
    if (station > 255)
        station = 255;
    char stationText[8];
    std::snprintf(stationText, sizeof stationText, "%02X", station);
    link.SetStationText(stationText);
    // A name without a colon that names a serial port is a serial line.
    if (!std::strchr(address, ':') && plat::IsSerialPortName(address)) {
        link.SetChannelKind(model::kChannelSerial);
        LoadLine(link, ini, section);
    } else {
        link.SetChannelKind(model::kChannelEthernet);
        link.SetLine(0, 0, 0, 0, nullptr);
    }

    bool ok = true;
    char plcSection[64];
    WChar plcName[model::kNameCap];
    for (uint32_t n = 0; n < kMaxPlcs; ++n) {
        std::snprintf(plcSection, sizeof plcSection, "%s.Plc%u", section, n);
        if (ini.GetWString(plcSection, "Name", nullptr, plcName, model::kNameCap) < 2)
            break;
        std::unique_ptr<CPlc> plc(plat::NewObject<CPlc>(&link));
        if (!plc) {
            ok = false;
            continue;
        }
        plc->SetName(plcName);
        if (!LoadPlc(*plc, ini, plcSection, fileVersion, configFolder, plcFolder))
            ok = false;
        if (!link.InsertPlc(plc.release()))
            ok = false;
    }
    if (link.PlcCount() == 0) {
        // Without a named PLC the first section still gives one, unnamed.
        std::snprintf(plcSection, sizeof plcSection, "%s.Plc0", section);
        std::unique_ptr<CPlc> plc(plat::NewObject<CPlc>(&link));
        if (!plc)
            return false;
        if (!LoadPlc(*plc, ini, plcSection, fileVersion, configFolder, plcFolder))
            ok = false;
        if (!link.InsertPlc(plc.release()))
            ok = false;
    }
    return ok;
}

bool LoadConfiguration(CLinkTable& table, const WChar* path) {
    WChar configFolder[plat::kMaxPath];
    ConfigurationFolder(path, configFolder, plat::kMaxPath);
    table.RemoveAll();

    CIniFile ini;
    if (!ini.OpenFile(path)) {
        ini.CloseFile();
        return false;
    }
    int32_t fileVersion = ini.GetInt("FileVersion", "PlcFileVersion", kDefaultFileVersion);
    if (static_cast<uint32_t>(fileVersion) > static_cast<uint32_t>(kMaxFileVersion))
        return false;

    uint32_t scan =
        Clamp(static_cast<uint32_t>(ini.GetInt("PlcConfig", "OPCScanTiming", 50)), 10, 5000);
    uint32_t read = Clamp(static_cast<uint32_t>(ini.GetInt("PlcConfig", "ReadDeviceTimer",
                                                           static_cast<int32_t>(5 * scan))),
                          10, 5 * scan);
    table.SetScanPeriod(scan);
    table.SetReadInterval(read);
    char plan[16] = {};
    ini.GetString("PlcConfig", "ReadPlan", "", plan, sizeof plan);
    table.SetReadPlan(plat::EqualsNoCase(plan, "Exact") ? model::kReadPlanExact
                                                        : model::kReadPlanMerge);

    // Read once per load, so that every PLC of it sees the same folder.
    WChar plcFolder[plat::kMaxPath];
    PlcDefinitionFolder(plcFolder, plat::kMaxPath);

    std::unique_ptr<CPlcDrvLink> link(plat::NewObject<CPlcDrvLink>(&table));
    if (!link)
        return false;
    bool ok = LoadLink(*link, ini, "Link0", fileVersion, configFolder, plcFolder);
    uint32_t port = table.HostPort();
    if (link->Name()[0] == 0 && port != 0)
        link->ApplyPortOverride(port);
    if (!table.InsertLink(link.release()))
        ok = false;
    return ok;
}

} // namespace config

// The link table finds and loads its configuration through the functions above.

bool CLinkTable::FindConfigurationFile(plat::ModuleHandle module, WChar* path, uint32_t cap) {
    return config::FindConfigurationFile(module, path, cap);
}

bool CLinkTable::ReadTraceSetting(plat::ModuleHandle module) {
    WChar path[plat::kMaxPath];
    const bool on = config::TraceFile(module, path, plat::kMaxPath);
    SetTraceFile(on ? path : W16(""));
    return on;
}

bool CLinkTable::LoadConfiguration(const WChar* path) {
    // A load always starts from an empty table.
    return config::LoadConfiguration(*this, path);
}
