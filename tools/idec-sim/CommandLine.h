// The idec-sim command line: options, help and the run loop.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "IdecSim.h"

namespace idecsim {

struct ValueSetting {
    std::string device;
    uint32_t address = 0;
    uint32_t value = 0;
    std::string text; // as given, for messages
};

struct CliOptions {
    uint16_t port = kDefaultPort;
    std::string bind = "127.0.0.1";
    // A serial line instead of TCP: a port by name, or a pseudo-terminal pair.
    std::string serial;
    bool pty = false;
    plat::SerialSettings line; // 9600 7E1
    int station = 1;
    std::string plcFile;
    std::vector<ValueSetting> sets;
    std::vector<std::pair<char, std::vector<uint32_t>>> lists;
    std::vector<Animation> animations;
    std::vector<std::string> animationTexts; // as given, for messages
    bool trace = false;
    bool lockPresets = false;
    std::vector<FaultRule> faults;
    int64_t closeAfter = -1;
    bool refuse = false;
    bool neverAnswer = false;
    uint32_t seed = 1;
    uint32_t replyDelay = 0; // ms after each request's arrival
    bool help = false;
};

// Reads the arguments after the program name. False, with a message, for an
// unknown or misspelt option, a missing or malformed value, or a stray word.
bool ParseCommandLine(int argc, const char* const* argv, CliOptions* out, std::string* error);

std::string HelpText();

// A fault as --fault spells it: KIND or KIND:key=value,key=value.
bool ParseFaultOption(const std::string& text, FaultRule* out, std::string* error);

// Runs the simulator until stop turns true. 0 after a clean stop, 1 when it
// cannot start, 2 for an --animate that the controller cannot carry out.
// onListening (may be empty) gets the bound port, onServing the serial port
// that a client opens.
int RunSimulator(const CliOptions& options, std::ostream& out, std::ostream& err,
                 const std::atomic<bool>& stop,
                 const std::function<void(uint16_t)>& onListening = nullptr,
                 const std::function<void(const std::string&)>& onServing = nullptr);

} // namespace idecsim
