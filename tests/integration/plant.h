// A plant for the host services end to end: the simulator with the shipped
// controller definition, a link loaded from a configuration file as the
// driver loads it, and the driver object on its table. Shared by the
// scenario runner and the tests that need threads of their own.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "IdecSim.h"
#include "NimbroDriver.h"
#include "driver/DrvIDec.h"
#include "harness.h"
#include "platform/module.h"
#include "platform/serial.h"
#include "platform/socket.h"
#include "support/ResLang.h"
#include "testutil/testutil.h"

namespace itest {

// Hooks of the gated channel. Enumeration gate: 0 passes, 1 holds until
// released, 2 holds until released or the link stops. Read scans are skipped
// while paused; write passes likewise while writes are held.
extern std::atomic<int> gGate;
extern std::atomic<bool> gGateEntered;
extern std::atomic<bool> gGateRelease;
extern std::atomic<bool> gScanPaused;
extern std::atomic<bool> gWritesHeld;
// The table's clock when a plant runs on the test clock.
extern std::atomic<uint32_t> gClock;

// Bound of every wait for the link; reads time out after two seconds.
constexpr uint32_t kBound = 15000;

struct PlantOptions {
    std::vector<std::string> lines; // definition lines replacing those of their device
    std::string devices;            // configuration sections [Link0.Plc0.DevN]
    std::vector<std::string> unlisted;
    std::vector<std::function<void(idecsim::Simulator&)>> memory; // before the simulator starts
    bool gated = false;                                           // the link gets the gated channel
    bool testClock = false;                                       // the table runs on gClock
    bool ticked = false; // no timer: the test ticks the link
    uint32_t scan = 10;  // scan period and read interval
    std::string plan;    // [PlcConfig] ReadPlan, when set
    // A serial link to the simulator on a pseudo-terminal, reached through a
    // link in the plant's folder (so that a restarted simulator's new
    // terminal is the same port); where the system has no pseudo-terminals,
    // through the relay's null-modem pair of COM ports (Plant::Bridged).
    // line holds [Link0] line keys.
    bool serial = false;
    std::string line;
    plat::SerialSettings simLine;
};

inline const NimbroChar* N(const testutil::WString& text) {
    return reinterpret_cast<const NimbroChar*>(text.c_str());
}

class Plant {
public:
    Plant();
    ~Plant();
    Plant(const Plant&) = delete;
    Plant& operator=(const Plant&) = delete;

    // Fatal failures when the plant cannot start.
    void Start(const PlantOptions& o);
    void Tick(); // ticked plants: one turn, after the clock has moved
    // Serial plants: the simulator on a new pseudo-terminal behind the port,
    // or on its end of the bridged pair again.
    bool StartLine(const plat::SerialSettings& line);
    const std::string& PortName() const { return portName_; }
    // The line is the relay's pair: the link's port stays open when the
    // simulator closes its end, so the link sees a silent line.
    bool Bridged() const { return !simPort_.empty(); }
    // Serial plants can start here: pseudo-terminals, or a relay to them.
    static bool LinesServed();
    CPlcDrvLink& Link() { return *table.GetLink(0); }
    CPlcDevice* Block(const std::string& name);
    NimbroDevice Resolve(const std::string& name);

    int32_t Read(NimbroDevice dev, const std::string& item, int32_t* type, void* buf, int32_t cap,
                 int32_t* count);
    int32_t ReadU32(NimbroDevice dev, const std::string& item, uint32_t* value);
    bool ReadsSoon(NimbroDevice dev, const std::string& item, uint32_t value);
    std::string ReadText(NimbroDevice dev, const std::string& item, int32_t* result = nullptr);
    int32_t Write(NimbroDevice dev, const std::string& item, int32_t type, double number,
                  const std::string& text = "", int32_t* count = nullptr, int32_t length = -1);
    int32_t Register(NimbroDevice dev, const std::string& item, int32_t* type = nullptr,
                     int32_t* size = nullptr, int32_t* access = nullptr);
    std::string List(const NimbroChar* name);
    size_t ListQueries() const;
    // True once a scan pass has skipped, so no scan begun before still runs.
    bool PauseScans();
    // Write passes stop; true once one has been skipped, so that none that
    // began before is still sending.
    bool HoldWrites();

    idecsim::Simulator sim;
    CLinkTable table;
    std::unique_ptr<CDrvIDec> driver;
    uint16_t port = 0;

private:
    bool Bridge();

    testutil::TempDir dir_;
    std::string portName_;
    // The bridged pair: the simulator's port, and the relay's connection
    // that keeps the pair.
    std::string simPort_;
    plat::SocketHandle relay_ = plat::kInvalidSocket;
    // Serial plants: the link's messages come from the module's string table.
    plat::ModuleHandle texts_ = nullptr;
    CResLang lang_;
};

} // namespace itest
