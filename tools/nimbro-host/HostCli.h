// nimbro-host: loads the driver module as a host does and calls its
// interface from the command line. See HelpText().
#pragma once

#include <atomic>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

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

struct Options {
    std::string module; // empty: the default search
    uint32_t port = 0;
    int32_t wordOrder = 0;
    bool help = false;
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

// Loads the module, creates the driver, runs the actions in order, releases
// the driver and frees the module. stop (may be null) cuts waits short and
// skips the actions still to come.
int Run(const Options& options, std::ostream& out, std::ostream& err,
        const std::atomic<bool>* stop = nullptr);

} // namespace nimbrohost
