// nimbro-host: loads the driver module as a host does and calls its
// interface from the command line. See HelpText().
#pragma once

#include <atomic>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "platform/serial.h"

namespace nimbrohost {

enum class ActionKind { kResolve, kRegister, kRead, kWrite, kList, kWait, kRepeat, kWatch };

struct Action {
    ActionKind kind = ActionKind::kWait;
    std::string device; // device name as given
    std::string item;
    bool hasType = false;           // read: TYPE given
    int32_t type = 0;               // ValueType code
    std::string value;              // write: VALUE as given
    uint32_t count = 0;             // repeat: rounds; watch: refreshes, 0 until stopped
    uint32_t ms = 0;                // wait, repeat: pause; watch: interval
    std::vector<Action> body;       // repeat: the actions of one round
    std::vector<std::string> items; // watch
};

// --connect: the link of a configuration staged for this run alone.
struct Connect {
    std::string target; // host:port or a serial port; empty: no --connect
    bool serial = false;
    uint32_t station = 0; // DeviceNo, the driver's default
    // Serial line settings; only those given are written, the driver's
    // defaults stand for the rest.
    plat::SerialSettings line;
    bool hasBaud = false;
    bool hasDataBits = false;
    bool hasParity = false;
    bool hasStopBits = false;
};

struct Options {
    std::string module; // empty: the default search
    uint32_t port = 0;
    int32_t wordOrder = 0;
    bool help = false;
    Connect connect;
    // Standard output is a terminal: watch redraws its table in place. Not
    // from the arguments; the program asks the platform.
    bool terminal = false;
    std::vector<Action> actions;
};

// Exit codes of Run and of the program.
constexpr int kExitOk = 0;
constexpr int kExitHostFailed = 1; // module not loaded, or NimbroInterface failed
constexpr int kExitUsage = 2;

constexpr uint32_t kMaxWaitMs = 3600000;
constexpr uint32_t kMinWatchIntervalMs = 10;
constexpr uint32_t kDefaultWatchIntervalMs = 1000;

// Reads the arguments after the program name (8-bit text in the system code
// page). False, with a message, for an unknown option, a missing or malformed
// value, or an action that cannot run.
bool ParseCommandLine(int argc, const char* const* argv, Options* out, std::string* error);

std::string HelpText();

// Host type name ("u16", "TypeU16" or "3") to its code; false when unknown.
bool ParseTypeName(const std::string& text, int32_t* type);
const char* TypeName(int32_t type);

// Where the module is looked for without --module: beside this program, then
// where the build put it. The first that exists, else the first candidate.
std::string DefaultModulePath();

// The PLC definition file shipped as config/idec.plc, built in.
const char* ShippedPlcDefinition();

// The device types that a PLC definition's Index line names, in its order.
std::vector<std::string> PlcDeviceTypes(const std::string& definition);

// The configuration file that --connect stages: one link to the target, one
// PLC with the shipped definition and a device block for each of its types.
std::string ConnectConfiguration(const Connect& connect);

// A temporary module folder: a copy of the module beside Nimbro.ini, the
// configuration and the PLC definition, since the driver reads its settings
// beside itself. The folder and all in it go with the object.
class StagedModule {
public:
    StagedModule() = default;
    ~StagedModule();
    StagedModule(const StagedModule&) = delete;
    StagedModule& operator=(const StagedModule&) = delete;

    bool Stage(const std::string& module, const Connect& connect, std::string* error);
    // False when something in the folder could not be removed.
    bool Remove();
    const std::string& Folder() const { return folder_; }
    const std::string& ModulePath() const { return module_; }

private:
    std::string folder_; // empty: nothing staged
    std::string module_;
};

// Loads the module, creates the driver, runs the actions in order, releases
// the driver and frees the module. With --connect the module is a copy in a
// staged folder, removed before Run returns. stop (may be null) cuts waits short and
// skips the actions still to come.
int Run(const Options& options, std::ostream& out, std::ostream& err,
        const std::atomic<bool>* stop = nullptr);

} // namespace nimbrohost
