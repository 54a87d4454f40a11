// Finding and loading the driver configuration: the settings reader and the
// configuration loader of model/Configuration.
#include "model/Configuration.h"
#include "model/LinkModel.h"

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
