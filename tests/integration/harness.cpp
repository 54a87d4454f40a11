#include "harness.h"

#include <thread>

#include "Frames.h"
#include "platform/sync.h"
#include "testutil/testutil.h"

namespace itest {

std::string Endpoint(uint16_t port) {
    return "127.0.0.1:" + std::to_string(port);
}

Rig::Rig(uint16_t port, int plcs, const char* station, const LinkMaker& make)
    : link_(make ? make(&table_) : new CPlcDrvLink(&table_)) {
    table_.SetChannelFactory(&CEngineLinkChannel::Create);
    link_->SetStationText(station);
    link_->SetAddressText(Endpoint(port).c_str());
    link_->SetChannelKind(idec::kChannelEthernet);
    for (int i = 0; i < plcs; ++i) {
        CPlc* plc = new CPlc(link_);
        plc->SetName(testutil::W("P" + std::to_string(i)).c_str());
        link_->InsertPlc(plc);
    }
    table_.InsertLink(link_);
}

Rig::~Rig() {
    table_.RemoveAll();
}

CPlc& Rig::Plc(uint32_t index) {
    return *link_->GetPlc(index);
}

CPlcDevice& Rig::AddBlock(const char* name, uint32_t highest, uint32_t plc) {
    CPlc& owner = Plc(plc);
    CPlcDevice* block = new CPlcDevice(&owner);
    block->SetName(testutil::W(name).c_str());
    block->highestAddress = highest;
    block->rangeEnd[0] = highest;
    block->defined = 1;
    owner.InsertDevice(block);
    return *owner.FindDevice(testutil::W(name).c_str());
}

CIDecComBase* Rig::Channel() {
    auto* channel = dynamic_cast<CEngineLinkChannel*>(link_->Channel());
    return channel ? channel->Channel() : nullptr;
}

bool Rig::Connected() {
    CIDecComBase* channel = Channel();
    return channel && channel->GetState() == idec::kStateConnected;
}

uint32_t Rig::Destroy() {
    const uint32_t start = plat::TickCount();
    table_.RemoveAll();
    return Since(start);
}

std::vector<std::string> Requests(const idecsim::Simulator& sim, uint32_t connection) {
    std::vector<std::string> out;
    for (const idecsim::Exchange& e : sim.FrameLog())
        if (e.connection == connection)
            out.push_back(e.request);
    return out;
}

std::string ListQueryFrame(const std::string& station, char letter) {
    std::string frame = std::string(1, idecsim::kEnq) + station + "0L" + letter;
    return frame + idecsim::BlockCheck(frame) + idecsim::kCr;
}

FullListener::FullListener() : listener_(plat::kInvalidSocket), port_(0), full_(false) {
    listener_ = plat::SockListen(plat::kInaddrLoopback, 0, 1, &port_);
    if (listener_ == plat::kInvalidSocket)
        return;
    // Non-blocking connects until one stays pending: the queue is full.
    for (int i = 0; i < 32 && !full_; ++i) {
        plat::SocketHandle s = plat::SockCreateTcp();
        if (s == plat::kInvalidSocket)
            return;
        fillers_.push_back(s);
        plat::SockSetNonBlocking(s, true);
        plat::SockConnect(s, plat::HostToNet32(plat::kInaddrLoopback), plat::HostToNet16(port_));
        full_ = plat::SockWait(s, true, 300) == 0;
    }
}

FullListener::~FullListener() {
    for (plat::SocketHandle s : fillers_)
        plat::SockClose(s);
    if (listener_ != plat::kInvalidSocket)
        plat::SockClose(listener_);
}

uint16_t DeadPort() {
    uint16_t port = 0;
    plat::SocketHandle s = plat::SockListen(plat::kInaddrLoopback, 0, 1, &port);
    if (s != plat::kInvalidSocket)
        plat::SockClose(s);
    return port;
}

void RunTogether(const std::vector<std::function<void()>>& jobs) {
    std::vector<std::thread> threads;
    for (const auto& job : jobs)
        threads.emplace_back(job);
    for (std::thread& t : threads)
        t.join();
}

uint32_t Since(uint32_t start) {
    return plat::TickCount() - start;
}

} // namespace itest
