// A simulated IDEC PLC on the computer-link protocol over TCP or a serial
// line, for tests and for commissioning without hardware.
//
//   idecsim::Simulator sim;
//   sim.SetValue("D", 100, 1234);
//   uint16_t port = sim.Start(0);      // ephemeral loopback port
//   ... point the driver at 127.0.0.1:port ...
//   sim.Stop();
//
//   std::string tty = sim.StartPty(plat::SerialSettings()); // 9600 7E1
//   ... point the driver at tty (e.g. /dev/pts/7) ...
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/serial.h"
#include "platform/socket.h"
#include "platform/types.h"

namespace idecsim {

constexpr uint16_t kDefaultPort = 2101;

enum class FaultKind : int {
    // Per request (AddFault).
    kNoReply = 0, // carried out, but no reply is sent
    kDelay,       // reply after ms
    kLate,        // reply after ms (default 6000: past the driver's read and write waits)
    kSplit,       // reply in `parts` TCP segments, `ms` apart
    kNak,         // NAK with `code` instead; the request is not carried out
    kErrorCode,   // refusal ("2") with `code` instead; not carried out
    kGarbage,     // `bytes` random bytes and a CR instead of the reply
    kShort,       // the reply loses its last `bytes` data characters
    // Per connection (SetCloseAfter, SetRefuseConnections, SetNeverAnswer).
    // A serial line is one connection that is never accepted nor closed:
    // only kNeverAnswer applies to it.
    kCloseAfter,  // a connection closed after its N-th request
    kRefuse,      // a new connection closed as soon as it was accepted
    kNeverAnswer, // a request read and left unanswered on a mute connection
};
constexpr int kFaultKindCount = 11;

// "no-reply", "delay", ... as the command line spells them.
const char* FaultName(FaultKind kind);
bool FaultFromName(const std::string& name, FaultKind* kind);

// One per-request fault. A request that a rule's filters admit is eligible;
// the first `skip` eligible requests pass, then each fires with `probability`
// until it has fired `count` times. The first rule that fires wins.
struct FaultRule {
    FaultKind kind = FaultKind::kNoReply;
    int64_t count = -1; // -1: no limit
    double probability = 1.0;
    uint32_t skip = 0;
    uint32_t connection = 0; // 0: every connection
    char command = 0;        // 'R', 'W' or 'L'; 0: every command
    char letter = 0;         // device letter; 0: every letter
    int64_t ms = -1;         // kDelay 0, kLate 6000, kSplit pause 50 when -1
    int code = -1;           // kNak 0x00, kErrorCode 0x06 when -1
    int parts = 0;           // kSplit: 2 when 0
    int bytes = 0;           // kGarbage 8, kShort 2 when 0
};

// One request as it arrived, and what was sent back.
struct Exchange {
    uint64_t seq = 0;        // 1, 2, ... in arrival order over all connections
    uint32_t connection = 0; // 1, 2, ... in accept order
    uint64_t timeMs = 0;     // arrival, ms since Start
    std::string request;     // as received, CR included
    std::string reply;       // as sent; empty when nothing was sent (yet)
    int fault = -1;          // the FaultKind that hit it, -1 none
    size_t discarded = 0;    // junk bytes dropped on its connection just before it
};

struct TraceEvent {
    enum Kind { kConnected, kRequest, kReply, kClosed, kRefused, kDiscarded };
    Kind kind = kConnected;
    uint32_t connection = 0;
    uint64_t timeMs = 0;
    std::string bytes; // kRequest, kReply, kDiscarded (the junk)
    int fault = -1;    // kReply: the FaultKind applied, -1 none
};
typedef std::function<void(const TraceEvent&)> TraceFn;

// A value that moves by itself, as a PLC program would move it.
enum class AnimationKind : int {
    kRamp,    // from FROM towards TO evenly over ms, then again from FROM
    kCounter, // STEP added every ms, wrapping within the unit
    kSquare,  // FROM for the first half of ms, TO for the second
    kWalk,    // starts at FROM; every ms moves by a random amount within STEP
};

struct Animation {
    AnimationKind kind = AnimationKind::kCounter;
    std::string device; // "D"
    uint32_t address = 0;
    uint32_t from = 0;  // ramp, square, walk
    uint32_t to = 0;    // ramp, square
    int64_t step = 1;   // counter (may be negative), walk (largest move, above 0)
    uint32_t ms = 1000; // ramp and square: period; counter and walk: interval
};

class Simulator {
public:
    Simulator();
    ~Simulator(); // stops
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // The controller model: device types from a PLC definition file (the
    // driver's format) or its text; built-in defaults until then. Memory and
    // address lists start empty. Not while running.
    bool LoadPlcFile(const WChar* path, std::string* error);
    bool LoadPlcText(const std::string& text, std::string* error);
    std::vector<std::string> DeviceNames() const;

    void SetStation(int station); // 0-255, default 1
    int Station() const;
    void SetPresetsLocked(bool locked); // timer/counter preset writes get 07

    // Listens on addrHost:port (port 0: any free one) and answers until Stop.
    // Returns the bound port, 0 on failure (see LastError).
    uint16_t Start(uint16_t port = 0, uint32_t addrHost = plat::kInaddrLoopback);
    // Instead of TCP: answers on one serial line until Stop. The line is
    // connection 1 from start to Stop, whoever is on its other side; the
    // reply to each request goes out after the time the line takes to carry
    // it (SerialCharMicros per byte). StartSerial opens a port by name
    // ("/dev/ttyUSB0", "COM3") as a client would; false on failure
    // (LastError: a plat::SerialError). StartPty makes a pseudo-terminal
    // pair, serves its controlling side and returns the port of the other
    // side for a client to open, which may open, close and open it again;
    // empty where there are none (Windows) or the settings are invalid.
    bool StartSerial(const std::string& port, const plat::SerialSettings& settings);
    std::string StartPty(const plat::SerialSettings& settings);
    // Closes the listener or the line, and every connection; waits for their
    // threads.
    void Stop();
    bool Running() const;
    uint16_t Port() const;          // 0 on a serial line
    std::string SerialPort() const; // the port a client opens; empty on TCP
    int LastError() const;          // of the last failed start: WinSock or plat::SerialError

    // Memory, in the device's own numbering: D100 is ("D", 100), I15 is
    // ("I", 15). Words, bytes and dwords by value (high byte first on the
    // wire); bit devices one bit (0/1). False for an unknown device, an
    // address outside its ranges or a value that does not fit.
    bool SetValue(const std::string& device, uint32_t address, uint32_t value);
    bool GetValue(const std::string& device, uint32_t address, uint32_t* value) const;
    uint32_t Value(const std::string& device, uint32_t address) const; // 0 when not readable

    // Address-list answers per letter ('A', 'x', ...; both letters of a
    // device share one list). Until set: the addresses given to SetValue.
    bool SetAddressList(char letter, const std::vector<uint32_t>& addresses);
    std::vector<uint32_t> AddressList(char letter) const;

    // Moves a value by itself from now (or from Start) until Stop, on a
    // thread of the simulator. A client's write to an animated value is
    // overwritten by the next change of a ramp or square wave; a counter or a
    // walk moves on from the written value. False, with a reason, for an
    // unknown device, an address outside its ranges or values that do not fit
    // its unit.
    bool Animate(const Animation& animation, std::string* error);
    void ClearAnimations();

    // Per-request faults. AddFault returns the rule id.
    int AddFault(const FaultRule& rule);
    void RemoveFault(int id);
    void ClearFaults();
    // Per-connection faults; they apply from the next request or accept.
    void SetCloseAfter(int64_t requests); // -1 off; 0 closes at once on accept
    void SetRefuseConnections(bool refuse);
    void SetNeverAnswer(bool mute); // for connections accepted from now on
    // Every reply goes out ms after its request arrived, as a PLC on a real
    // network answers; no fault, it comes before a fault's own delay and,
    // on a serial line, before the time the reply's bytes take on the line.
    // 0 (the default) answers at once. Takes effect from the next request.
    void SetReplyDelay(uint32_t ms);
    uint32_t ReplyDelay() const;
    // How often a kind has fired since Start, a rule since it was added.
    uint64_t Fired(FaultKind kind) const;
    uint64_t RuleFired(int id) const;
    void SetSeed(uint32_t seed); // for probabilities and garbage

    // The frame log: each request with its time and connection.
    std::vector<Exchange> FrameLog() const;
    // Junk bytes dropped ahead of an ENQ since Start, over all connections.
    uint64_t DiscardedBytes() const;
    void ClearFrameLog();
    void SetFrameLogLimit(size_t entries); // oldest dropped beyond it; default 100000

    // Called on connection threads, one call at a time. Set before Start.
    void SetTrace(TraceFn fn);

    uint32_t ConnectionCount() const;  // open now
    uint32_t TotalConnections() const; // accepted since Start, refused ones included

    class Impl;

private:
    std::unique_ptr<Impl> impl_;
};

// Control characters by name in angle brackets: "<ENQ>010RA0000006404 21<CR>"
// (a space before a frame's block check).
std::string Printable(const std::string& bytes, bool markBcc = true);

} // namespace idecsim
