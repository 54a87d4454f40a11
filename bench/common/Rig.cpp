#include "Rig.h"

#include <memory>

#include "ControllerText.h"
#include "comm/KQV_IDecCom.h"
#include "comm/RequestEngine.h"
#include "model/OpenParams.h"
#include "model/PlcDefinition.h"
#include "platform/serial.h"

namespace bench {

// The shipped controller, with a D range wide enough for 10,000 items.
const std::string& PlcText() {
    static const std::string text = [] {
        std::string t = kShippedControllerText;
        const std::string line = "D: D,Word,Dec,2,0,7999,8000,8499,read,write,";
        const size_t at = t.find(line);
        if (at != std::string::npos)
            t.replace(at, line.size(), "D: D,Word,Dec,1,0,49999,read,write,");
        return t;
    }();
    return text;
}

namespace {

uint32_t FrozenClock() {
    return 1000000;
}

} // namespace

WString Wide(const std::string& s) {
    return WString(s.begin(), s.end());
}

Rig::Rig(uint16_t port) : link_(new PassLink(&table_)) {
    const std::string endpoint = "127.0.0.1:" + std::to_string(port);
    link_->SetAddressText(endpoint.c_str());
    link_->SetChannelKind(idec::kChannelEthernet);
    Join();
}

Rig::Rig(const std::string& serialPort, uint32_t baud) : link_(new PassLink(&table_)) {
    // What a configuration's OpenName (a port name) and BaudRate make.
    link_->SetAddressText(serialPort.c_str());
    link_->SetChannelKind(model::kChannelSerial);
    const plat::SerialSettings line;
    link_->SetLine(baud, line.dataBits, line.parity, line.stopBits, nullptr);
    Join();
}

void Rig::Join() {
    table_.SetChannelFactory(&CEngineLinkChannel::Create);
    table_.SetTickSource(&FrozenClock);
    // The frame and exchange figures are those of the exact runs, one a
    // group of units in use; bench_plan sets each plan itself.
    table_.SetReadPlan(model::kReadPlanExact);
    link_->SetStationText("01");
    CPlc* plc = new CPlc(link_);
    plc->SetName(W16("P0"));
    link_->InsertPlc(plc);
    table_.InsertLink(link_);
}

Rig::~Rig() {
    table_.RemoveAll();
}

CPlcDevice* Rig::Block(const char* type) {
    return Block(type, PlcText());
}

CPlcDevice* Rig::Block(const char* type, const std::string& definition) {
    CPlcDefinitionFile file;
    if (!file.LoadText(definition.data(), definition.size()))
        return nullptr;
    std::unique_ptr<DeviceTypeRecord> record(new DeviceTypeRecord);
    if (!file.ParseDeviceType(type, record.get()))
        return nullptr;
    CPlcDevice* block = GetOrCreatePlcDevice(&Plc(), *record);
    if (!block)
        return nullptr;
    block->listed = 1;
    block->accessFlags = model::kUnitReadable | model::kUnitWritable;
    return block;
}

bool Rig::AddItems(CPlcDevice& block, const std::vector<int32_t>& addresses, uint16_t size,
                   uint16_t textSize) {
    std::vector<CDeviceItem*> items;
    for (int32_t a : addresses) {
        const WString name = WString(block.Name()) + Wide(std::to_string(static_cast<long>(a)));
        CDeviceItem* item = block.CreateItem(name.c_str(), a, false, 0, textSize);
        if (!item)
            return false;
        item->size = size;
        items.push_back(item);
    }
    // One window for them all, every item marked.
    if (!block.RebuildWindow(nullptr, true))
        return false;
    for (CDeviceItem* item : items)
        block.TouchItem(item);
    return true;
}

bool Rig::FirstTick() {
    link_->OnTick();
    return Connected();
}

bool Rig::Connected() {
    auto* channel = dynamic_cast<CEngineLinkChannel*>(link_->Channel());
    return channel && channel->Channel()->GetState() == idec::kStateConnected;
}

} // namespace bench
