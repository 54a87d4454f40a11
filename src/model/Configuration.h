// Finding and loading the driver configuration: "DebugSetting.ini" may move
// the settings folder, "Nimbro.ini" names the configuration file, which holds
// the scan settings, the link, its PLCs and their device blocks and items.
#pragma once

#include <cstdint>

#include "platform/module.h"
#include "platform/types.h"

class CLinkTable;
class CPlcDrvLink;
class CPlc;
class CPlcDevice;
class CIniFile;

namespace config {

constexpr int32_t kDefaultFileVersion = 3;
constexpr int32_t kMaxFileVersion = 3000;
constexpr uint32_t kMaxPlcs = 126;
constexpr uint32_t kMaxDeviceSections = 65500;

// Folder of a module with its trailing separator.
void ModuleFolder(plat::ModuleHandle module, WChar* out, uint32_t cap);

// The module folder, or the [Setting] SettingDir of its "DebugSetting.ini".
void SettingsFolder(const WChar* moduleFolder, WChar* out, uint32_t cap);

// Path of the configuration file as "Nimbro.ini" in the settings folder names
// it; produced in every case. Returns whether "Nimbro.ini" was loaded.
// logDetail (may be null) receives [HttpServer] LogDetail.
bool FindConfigurationFileIn(const WChar* moduleFolder, WChar* out, uint32_t cap,
                             int32_t* logDetail);
// The same below the folder of the driver module.
bool FindConfigurationFile(plat::ModuleHandle module, WChar* out, uint32_t cap);

// The frame trace file that "Nimbro.ini" names with [NimbroDrvIDec]
// TraceFile (relative to the settings folder); false, out empty, for none.
bool TraceFileIn(const WChar* moduleFolder, WChar* out, uint32_t cap);
bool TraceFile(plat::ModuleHandle module, WChar* out, uint32_t cap);

// Folder of a configuration file: the path cut after its last separator.
void ConfigurationFolder(const WChar* path, WChar* out, uint32_t cap);

// Replaces the table's links with the configuration at path; true when
// everything loaded. The table's host port overrides the link's port.
bool LoadConfiguration(CLinkTable& table, const WChar* path);

// The link's settings and PLCs from its section ("Link0").
bool LoadLink(CPlcDrvLink& link, CIniFile& ini, const char* section, int32_t fileVersion,
              const WChar* configFolder, const WChar* plcFolder);
// One PLC: its settings, its definition file, its device sections.
bool LoadPlc(CPlc& plc, CIniFile& ini, const char* section, int32_t fileVersion,
             const WChar* configFolder, const WChar* plcFolder);
// The item of one device section, into its device block.
bool LoadItem(CPlcDevice& device, CIniFile& ini, const char* section, int32_t fileVersion);

} // namespace config
