// Shared pieces of the integration tests: a link built on the model API and
// pointed at a loopback port, the simulator's frame log in readable form,
// and a listener whose queue is full.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "ControllerText.h"
#include "IdecSim.h"
#include "comm/RequestEngine.h"
#include "model/LinkModel.h"
#include "platform/socket.h"

namespace itest {

std::string Endpoint(uint16_t port);

// The controller of config/idec.plc, for the simulator and the driver alike.
inline constexpr const char* kIdecDefinition = kShippedControllerText;

// A link table whose links get the engine's channel, with one link (made by
// make, or a plain CPlcDrvLink) pointed at 127.0.0.1:port and plcs PLCs named
// P0, P1, ... Stops and destroys the link when it goes.
class Rig {
public:
    typedef std::function<CPlcDrvLink*(CLinkTable*)> LinkMaker;

    Rig(uint16_t port, int plcs, const char* station = "01", const LinkMaker& make = nullptr);
    ~Rig();
    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;

    CLinkTable& Table() { return table_; }
    CPlcDrvLink& Link() { return *link_; }
    CPlc& Plc(uint32_t index = 0);
    // A word block such as "D" with one range 0..highest on a PLC.
    CPlcDevice& AddBlock(const char* name, uint32_t highest, uint32_t plc = 0);
    // The byte channel of the link; nullptr before the first tick.
    CIDecComBase* Channel();
    // True when the link's channel is connected (asks without reopening).
    bool Connected();
    // Stops and destroys the link now; how long that took.
    uint32_t Destroy();

private:
    CLinkTable table_;
    CPlcDrvLink* link_;
};

// Requests of the frame log on one connection, in order.
std::vector<std::string> Requests(const idecsim::Simulator& sim, uint32_t connection);

// The list-query frame for a station and letter, block check by the
// simulator's own code.
std::string ListQueryFrame(const std::string& station, char letter);

// A loopback listener that never accepts, its queue filled so that the next
// connect to it hangs. Full() is false where the queue would not fill.
class FullListener {
public:
    FullListener();
    ~FullListener();
    FullListener(const FullListener&) = delete;
    FullListener& operator=(const FullListener&) = delete;

    bool Full() const { return full_; }
    uint16_t Port() const { return port_; }

private:
    plat::SocketHandle listener_;
    uint16_t port_;
    std::vector<plat::SocketHandle> fillers_;
    bool full_;
};

// A port on which nothing listens.
uint16_t DeadPort();

// Runs every job on a thread of its own and waits for them all.
void RunTogether(const std::vector<std::function<void()>>& jobs);

uint32_t Since(uint32_t start);

} // namespace itest
