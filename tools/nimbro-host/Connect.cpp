// --connect: a module folder staged for one run, so that a link can be tried
// before any configuration is written.
#include <sstream>
#include <vector>

#include "HostCli.h"
#include "HostValues.h"
#include "platform/file.h"

namespace nimbrohost {

namespace {

const char kPlcFileName[] = "idec.plc";
const char kSettingFileName[] = "NimbroDrvIDec.cfg";

std::string Join(const std::string& folder, const std::string& name) {
    WString w = Wide(folder);
    w += plat::kPathSep;
    return Narrow(w.c_str(), w.size()) + name;
}

std::string FileName(const std::string& path) {
    const WString w = Wide(path);
    size_t cut = w.size();
    while (cut > 0 && !plat::IsPathSep(w[cut - 1]))
        --cut;
    return Narrow(w.c_str() + cut, w.size() - cut);
}

bool ReadWhole(const std::string& path, std::string* data) {
    const WString w = Wide(path);
    plat::FileHandle f = plat::FileOpenRead(w.c_str());
    if (!f)
        return false;
    const int64_t size = plat::FileSize(f);
    bool ok = size > 0;
    if (ok) {
        data->resize(static_cast<size_t>(size));
        ok = plat::FileRead(f, &(*data)[0], data->size()) == size;
    }
    plat::FileClose(f);
    return ok;
}

bool WriteWhole(const std::string& path, const std::string& data) {
    const WString w = Wide(path);
    return plat::FileWriteAll(w.c_str(), data.data(), data.size());
}

bool CollectName(const plat::DirEntry& e, void* ctx) {
    const WString name = e.name;
    if (name != W16(".") && name != W16(".."))
        static_cast<std::vector<WString>*>(ctx)->push_back(name);
    return true;
}

} // namespace

std::vector<std::string> PlcDeviceTypes(const std::string& definition) {
    std::vector<std::string> types;
    std::istringstream in(definition);
    for (std::string line; std::getline(in, line);) {
        if (line.compare(0, 6, "Index:") != 0)
            continue;
        std::istringstream list(line.substr(6));
        for (std::string name; std::getline(list, name, ',');) {
            const size_t first = name.find_first_not_of(" \t\r");
            const size_t last = name.find_last_not_of(" \t\r");
            if (first != std::string::npos)
                types.push_back(name.substr(first, last - first + 1));
        }
        break;
    }
    return types;
}

std::string ConnectConfiguration(const Connect& c) {
    std::string cfg = "; staged by nimbro-host --connect for one run\r\n"
                      "[Link0]\r\nOpenName=" +
                      c.target + "\r\nDeviceNo=" + std::to_string(c.station) + "\r\n";
    // A TCP link has no line; the keys are left out rather than ignored.
    if (c.serial) {
        if (c.hasBaud)
            cfg += "BaudRate=" + std::to_string(c.line.baud) + "\r\n";
        if (c.hasDataBits)
            cfg += "DataBits=" + std::to_string(c.line.dataBits) + "\r\n";
        if (c.hasParity)
            cfg += std::string("Parity=") + c.line.parity + "\r\n";
        if (c.hasStopBits)
            cfg += "StopBits=" + std::to_string(c.line.stopBits) + "\r\n";
    }
    cfg += std::string("[Link0.Plc0]\r\nName=PLC\r\nPlcFile=") + kPlcFileName + "\r\n";
    // Every device type gets its block, so that any item of the controller
    // resolves (D100, M17, TP5).
    const std::vector<std::string> types = PlcDeviceTypes(ShippedPlcDefinition());
    for (size_t i = 0; i < types.size(); ++i)
        cfg += "[Link0.Plc0.Dev" + std::to_string(i) + "]\r\nDeviceName=" + types[i] + "\r\n";
    return cfg;
}

StagedModule::~StagedModule() {
    Remove();
}

bool StagedModule::Stage(const std::string& module, const Connect& connect, std::string* error) {
    Remove();
    WChar dir[plat::kMaxPath] = {};
    if (!plat::MakeTempDir(dir, plat::kMaxPath)) {
        *error = "cannot make a temporary folder";
        return false;
    }
    folder_ = Narrow(dir, BoundedLen(dir, plat::kMaxPath));
    std::string data;
    if (!ReadWhole(module, &data)) {
        *error = "cannot read the module " + module;
        return false;
    }
    const std::string copy = Join(folder_, FileName(module));
    const struct {
        std::string path;
        std::string text;
    } files[] = {
        {copy, data},
        {Join(folder_, "Nimbro.ini"),
         std::string("[NimbroDrvIDec]\r\nSettingFile=") + kSettingFileName + "\r\n"},
        {Join(folder_, kSettingFileName), ConnectConfiguration(connect)},
        {Join(folder_, kPlcFileName), ShippedPlcDefinition()},
    };
    for (const auto& f : files) {
        if (!WriteWhole(f.path, f.text)) {
            *error = "cannot write " + f.path;
            return false;
        }
    }
    module_ = copy;
    return true;
}

bool StagedModule::Remove() {
    if (folder_.empty())
        return true;
    const WString dir = Wide(folder_);
    std::vector<WString> names;
    const WString pattern = dir + plat::kPathSep + W16("*");
    plat::FindFiles(pattern.c_str(), CollectName, &names);
    // The driver writes nothing beside itself here but its settings files;
    // whatever else appeared is a file of this folder too.
    for (const WString& name : names) {
        const WString full = dir + plat::kPathSep + name;
        plat::FileRemove(full.c_str());
    }
    if (!plat::DirRemove(dir.c_str()))
        return false;
    folder_.clear();
    module_.clear();
    return true;
}

} // namespace nimbrohost
