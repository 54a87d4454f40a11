#include "HostCli.h"

#include <cstdio>
#include <cstring>
#include <exception>
#include <map>
#include <type_traits>
#include <vector>

#include "HostValues.h"
#include "NimbroDriver.h"
#include "WatchTable.h"
#include "platform/file.h"
#include "platform/module.h"
#include "platform/sync.h"
#include "platform/types.h"
#include "platform/variant.h"

static_assert(std::is_same<NimbroChar, WChar>::value, "host text is the platform's UTF-16");

namespace nimbrohost {

namespace {

// Runs the actions against one driver object.
class Session {
public:
    Session(INimbroDriver* driver, std::ostream& out, const std::atomic<bool>* stop, bool terminal)
        : driver_(driver), out_(out), stop_(stop), terminal_(terminal) {}

    void RunAll(const std::vector<Action>& actions) {
        for (const Action& a : actions) {
            if (Stopped())
                return;
            RunOne(a);
            out_.flush();
        }
    }

private:
    bool Stopped() const { return stop_ && stop_->load(); }

    void RunOne(const Action& a) {
        switch (a.kind) {
        case ActionKind::kResolve:
            Resolve(a.device);
            break;
        case ActionKind::kRegister:
            Register(a);
            break;
        case ActionKind::kRead:
            Read(a);
            break;
        case ActionKind::kWrite:
            Write(a);
            break;
        case ActionKind::kList:
            List(a);
            break;
        case ActionKind::kWait:
            out_ << "wait " << a.ms << " ms\n";
            out_.flush();
            Sleep(a.ms);
            break;
        case ActionKind::kWatch:
            Watch(a);
            break;
        case ActionKind::kRepeat:
            for (uint32_t round = 1; round <= a.count && !Stopped(); ++round) {
                out_ << "round " << round << " of " << a.count << "\n";
                RunAll(a.body);
                if (round < a.count)
                    Sleep(a.ms);
            }
            break;
        }
    }

    // In short slices, so that a stop request is seen.
    void Sleep(uint32_t ms) {
        uint32_t start = plat::TickCount();
        while (!Stopped()) {
            uint32_t done = plat::TickCount() - start;
            if (done >= ms)
                return;
            uint32_t left = ms - done;
            plat::SleepMs(left < 50 ? left : 50);
        }
    }

    NimbroDevice Resolve(const std::string& name) {
        WString w = Wide(name);
        NimbroDevice dev = driver_->ResolveDevice(w.c_str());
        out_ << "ResolveDevice(" << Quoted(name) << ") -> ";
        if (dev) {
            char text[32];
            std::snprintf(text, sizeof text, "%p", dev);
            out_ << "device " << text << "\n";
            devices_[name] = dev;
        } else {
            out_ << "null (not found)\n";
            devices_.erase(name);
        }
        return dev;
    }

    // A known handle stays valid while the driver lives; a name that found
    // nothing is asked again, since enumeration may add device blocks.
    NimbroDevice Device(const std::string& name) {
        auto it = devices_.find(name);
        return it != devices_.end() ? it->second : Resolve(name);
    }

    std::string Call(const char* op, const Action& a) const {
        return std::string(op) + "(" + Quoted(a.device) + ", " + Quoted(a.item);
    }

    void Register(const Action& a) {
        NimbroDevice dev = Device(a.device);
        if (!dev) {
            out_ << Call("RegisterItem", a) << ") not called: no device " << Quoted(a.device)
                 << "\n";
            return;
        }
        WString item = Wide(a.item);
        int32_t type = 0, size = 0, access = 0;
        int32_t r = driver_->RegisterItem(dev, item.c_str(), &type, &size, &access);
        out_ << Call("RegisterItem", a) << ") -> " << r;
        if (r == 1) {
            out_ << " (registered): " << TypeLabel(type) << ", size " << size << ", access "
                 << AccessName(access) << "\n";
            registered_[a.device + '\n' + a.item] = type;
        } else {
            out_ << " (refused)\n";
        }
    }

    void Read(const Action& a) {
        int32_t requested = TypeDefault;
        if (a.hasType) {
            requested = a.type;
        } else {
            // A host reads an item in the type that registering it reported.
            auto it = registered_.find(a.device + '\n' + a.item);
            if (it != registered_.end())
                requested = it->second;
        }
        std::string call = Call("ReadItem", a) + ", " + TypeName(requested) + ")";
        NimbroDevice dev = Device(a.device);
        if (!dev) {
            out_ << call << " not called: no device " << Quoted(a.device) << "\n";
            return;
        }
        WString item = Wide(a.item);
        alignas(8) unsigned char buf[kReadCapacity * sizeof(WChar)];
        std::memset(buf, 0, sizeof buf);
        int32_t type = requested;
        int32_t count = 0;
        int32_t r = driver_->ReadItem(dev, item.c_str(), &type, buf, kReadCapacity, &count, 0);
        out_ << call << " -> " << ResultName(r);
        if (r == ResultOk) {
            if (count > 0)
                out_ << ": " << FormatValue(type, buf, count);
            else
                out_ << ": no value";
            out_ << " [" << TypeName(type) << ", count " << count << "]";
        }
        out_ << "\n";
    }

    void Write(const Action& a) {
        std::string call = Call("WriteItem", a) + ", " + TypeName(a.type) + ", " + a.value + ")";
        NimbroDevice dev = Device(a.device);
        if (!dev) {
            out_ << call << " not called: no device " << Quoted(a.device) << "\n";
            return;
        }
        HostValue v;
        if (!MakeHostValue(a.type, a.value, &v, nullptr)) // checked when parsed
            return;
        const void* data = a.type == TypeText ? static_cast<const void*>(v.text.c_str())
                                              : static_cast<const void*>(&v.num);
        WString item = Wide(a.item);
        int32_t count = 0;
        int32_t r = driver_->WriteItem(dev, item.c_str(), a.type, data, v.length, &count, 0);
        out_ << call << " -> " << ResultName(r) << ", count " << count << "\n";
    }

    // The type a host reads an item in: what registering it reported. A
    // refused registration leaves the default type.
    int32_t WatchType(NimbroDevice dev, const std::string& device, const std::string& item,
                      bool* refused) {
        auto it = registered_.find(device + '\n' + item);
        *refused = false;
        if (it != registered_.end())
            return it->second;
        WString w = Wide(item);
        int32_t type = TypeDefault, size = 0, access = 0;
        if (driver_->RegisterItem(dev, w.c_str(), &type, &size, &access) != 1) {
            *refused = true;
            return TypeDefault;
        }
        registered_[device + '\n' + item] = type;
        return type;
    }

    std::string StatusText(NimbroDevice dev) {
        alignas(8) unsigned char buf[kReadCapacity * sizeof(WChar)];
        std::memset(buf, 0, sizeof buf);
        int32_t type = TypeText;
        int32_t count = 0;
        const WString name = Wide("Status_str");
        int32_t r = driver_->ReadItem(dev, name.c_str(), &type, buf, kReadCapacity, &count, 0);
        if (r != ResultOk || type != TypeText)
            return "(" + ResultName(r) + ")";
        WChar units[kReadCapacity];
        std::memcpy(units, buf, sizeof units);
        return Narrow(units, BoundedLen(units, kReadCapacity));
    }

    // Reads the items and the block's status every interval and shows them
    // as a table. The age is the time since the value shown last changed
    // (its first good read counts as a change).
    void Watch(const Action& a) {
        NimbroDevice dev = Device(a.device);
        if (!dev) {
            out_ << "watch " << Quoted(a.device) << " not started: no device " << Quoted(a.device)
                 << "\n";
            return;
        }
        struct Watched {
            std::string item;
            WString name;
            int32_t type = TypeDefault;
            bool refused = false;
            bool hasValue = false;
            std::string value;
            int32_t valueType = TypeDefault;
            uint32_t changedAt = 0;
        };
        std::vector<Watched> watched;
        for (const std::string& item : a.items) {
            Watched w;
            w.item = item;
            w.name = Wide(item);
            w.type = WatchType(dev, a.device, item, &w.refused);
            watched.push_back(w);
        }
        WatchTable table(terminal_);
        uint32_t refresh = 0;
        while (!Stopped() && (a.count == 0 || refresh < a.count)) {
            ++refresh;
            std::vector<WatchRow> rows;
            for (Watched& w : watched) {
                alignas(8) unsigned char buf[kReadCapacity * sizeof(WChar)];
                std::memset(buf, 0, sizeof buf);
                int32_t type = w.type;
                int32_t count = 0;
                int32_t r =
                    driver_->ReadItem(dev, w.name.c_str(), &type, buf, kReadCapacity, &count, 0);
                const uint32_t now = plat::TickCount();
                if (r == ResultOk && count > 0) {
                    std::string v = FormatValue(type, buf, count);
                    if (!w.hasValue || v != w.value || type != w.valueType)
                        w.changedAt = now;
                    w.hasValue = true;
                    w.value = v;
                    w.valueType = type;
                }
                WatchRow row;
                row.item = w.item;
                row.value = w.hasValue ? w.value : "-";
                row.type =
                    w.refused ? "(not registered)" : TypeName(w.hasValue ? w.valueType : w.type);
                row.result = ResultName(r);
                row.age = w.hasValue ? FormatAge(now - w.changedAt) : "-";
                rows.push_back(row);
            }
            const std::string status = StatusText(dev);
            for (WatchRow& row : rows)
                row.status = status;
            std::string title =
                "watch " + Quoted(a.device) + ": refresh " + std::to_string(refresh);
            if (a.count > 0)
                title += " of " + std::to_string(a.count);
            title += ", every " + std::to_string(a.ms) + " ms";
            if (a.count == 0)
                title += ", Ctrl+C ends";
            out_ << table.Render(title, rows);
            out_.flush();
            if (a.count == 0 || refresh < a.count)
                Sleep(a.ms);
        }
        out_ << "watch " << Quoted(a.device) << " ended after " << refresh << " refresh"
             << (refresh == 1 ? "" : "es") << "\n";
    }

    void List(const Action& a) {
        WString name = Wide(a.device);
        NimbroBstr list = driver_->ListItems(name.c_str());
        out_ << "ListItems(" << Quoted(a.device) << ") -> ";
        if (!list) {
            out_ << "null\n";
            return;
        }
        // The length prefix bounds the text; the listing itself ends at a NUL.
        size_t len = BoundedLen(list, plat::BstrLen(list));
        out_ << Quoted(Narrow(list, len)) << "\n";
        plat::BstrFree(list);
    }

    INimbroDriver* driver_;
    std::ostream& out_;
    const std::atomic<bool>* stop_;
    bool terminal_;
    std::map<std::string, NimbroDevice> devices_;
    std::map<std::string, int32_t> registered_;
};

std::string FolderOf(const WString& path) {
    size_t cut = path.size();
    while (cut > 0 && !plat::IsPathSep(path[cut - 1]))
        --cut;
    return Narrow(path.c_str(), cut);
}

} // namespace

std::string DefaultModulePath() {
    std::vector<std::string> candidates;
    WChar exe[plat::kMaxPath];
    uint32_t n = plat::ModulePath(nullptr, exe, plat::kMaxPath);
    if (n > 0)
        candidates.push_back(FolderOf(WString(exe, n)) + NIMBRO_HOST_MODULE_NAME);
#ifdef NIMBRO_HOST_BUILD_MODULE
    candidates.push_back(NIMBRO_HOST_BUILD_MODULE);
#endif
    if (candidates.empty())
        return NIMBRO_HOST_MODULE_NAME;
    for (const std::string& c : candidates) {
        WString w = Wide(c);
        if (plat::PathExists(w.c_str()))
            return c;
    }
    return candidates.front();
}

namespace {

int RunModule(const std::string& path, const Options& options, std::ostream& out, std::ostream& err,
              const std::atomic<bool>* stop) {
    WString wpath = Wide(path);
    bool hasFolder = false;
    for (WChar c : wpath)
        hasFolder = hasFolder || plat::IsPathSep(c);
    // A bare name would send the loader through its search path.
    if (!hasFolder)
        wpath = WString(1, W16('.')) + plat::kPathSep + wpath;

    out << "module " << path << "\n";
    plat::ModuleHandle module = plat::ModuleLoad(wpath.c_str());
    if (!module) {
        err << "nimbro-host: cannot load the module " << path << "\n";
        return kExitHostFailed;
    }
    void* symbol = plat::ModuleSymbol(module, "NimbroInterface");
    if (!symbol) {
        err << "nimbro-host: " << path << " does not export NimbroInterface\n";
        plat::ModuleFree(module);
        return kExitHostFailed;
    }
    NimbroInterfaceFn create;
    std::memcpy(&create, &symbol, sizeof create);

    INimbroDriver* driver = nullptr;
    int32_t hr = create(&driver, options.port, options.wordOrder);
    out << "NimbroInterface(hostPort " << options.port << ", wordOrder " << options.wordOrder
        << ") -> " << HresultName(hr) << "\n";
    if (hr != NIMBRO_S_OK || !driver) {
        if (hr == NIMBRO_S_OK)
            err << "nimbro-host: NimbroInterface succeeded without a driver\n";
        out.flush();
        plat::ModuleFree(module);
        return kExitHostFailed;
    }
    out.flush();

    int rc = kExitOk;
    try {
        Session session(driver, out, stop, options.terminal);
        session.RunAll(options.actions);
    } catch (const std::exception& e) {
        // Still release the driver: its links run threads inside the module.
        err << "nimbro-host: " << e.what() << "\n";
        rc = kExitHostFailed;
    }
    if (stop && stop->load())
        out << "stopped: remaining actions skipped\n";
    uint32_t left = driver->Release();
    out << "Release() -> " << left << "\n";
    plat::ModuleFree(module);
    out << "module freed\n";
    out.flush();
    return rc;
}

} // namespace

int Run(const Options& options, std::ostream& out, std::ostream& err,
        const std::atomic<bool>* stop) {
    const std::string path = options.module.empty() ? DefaultModulePath() : options.module;
    if (options.connect.target.empty())
        return RunModule(path, options, out, err, stop);
    // The staged folder goes on every path out of here: a failed stage, a
    // module that does not load, a stop request.
    StagedModule staged;
    std::string why;
    const bool ok = staged.Stage(path, options.connect, &why);
    if (!staged.Folder().empty())
        out << "staged " << staged.Folder() << " for " << options.connect.target << "\n";
    int rc = kExitHostFailed;
    if (ok)
        rc = RunModule(staged.ModulePath(), options, out, err, stop);
    else
        err << "nimbro-host: --connect: " << why << "\n";
    const std::string folder = staged.Folder();
    if (staged.Remove()) {
        if (!folder.empty())
            out << "removed " << folder << "\n";
    } else {
        err << "nimbro-host: cannot remove " << folder << "\n";
        rc = kExitHostFailed;
    }
    out.flush();
    return rc;
}

} // namespace nimbrohost
