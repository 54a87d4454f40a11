// A link built on the model API for the benchmarks: a table whose links get
// the engine's channel, one link with one PLC pointed at a loopback port,
// and device blocks made from a definition line as the configuration load
// makes them. The table's clock stands still, so that items the benchmark
// touched once stay in the scan however long it runs.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "model/LinkModel.h"

namespace bench {

// A link whose read pass the benchmark may run itself.
class PassLink : public CPlcDrvLink {
public:
    explicit PassLink(CLinkTable* owner) : CPlcDrvLink(owner) {}
    // One read pass over every block, as a tick runs it.
    void ReadOnce() { Pass(&CLinkChannel::ReadScan); }
};

// The definition lines of the devices the benchmarks use.
const std::string& PlcText();

typedef std::basic_string<WChar> WString;
WString Wide(const std::string& s);

class Rig {
public:
    explicit Rig(uint16_t port);
    // A serial link instead: the port a client opens (a pseudo-terminal's
    // name) at baud bit/s, 7E1 as the line settings default to.
    Rig(const std::string& serialPort, uint32_t baud);
    ~Rig();
    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;

    CLinkTable& Table() { return table_; }
    PassLink& Link() { return *link_; }
    CPlc& Plc() { return *link_->FirstPlc(); }
    // The block of a type of PlcText(), readable and writable.
    CPlcDevice* Block(const char* type);
    // The same from another definition text (kShippedControllerText, say).
    CPlcDevice* Block(const char* type, const std::string& definition);
    // Items of a block: name prefix + address, `size` units each, in the
    // window and touched now. False when one could not be made.
    bool AddItems(CPlcDevice& block, const std::vector<int32_t>& addresses, uint16_t size = 1,
                  uint16_t textSize = 0);
    // The first tick: the enumeration (empty), the connection and a pass.
    // True when the link's channel is connected afterwards.
    bool FirstTick();
    bool Connected();

private:
    void Join();

    CLinkTable table_;
    PassLink* link_;
};

// The middle of v (the mean of the two middle ones for an even count); 0 when empty.
inline double Median(std::vector<double> v) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const size_t m = v.size() / 2;
    return v.size() % 2 ? v[m] : (v[m - 1] + v[m]) / 2;
}

} // namespace bench
