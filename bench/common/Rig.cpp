#include "Rig.h"

#include <memory>

#include "comm/KQV_IDecCom.h"
#include "comm/RequestEngine.h"
#include "model/PlcDefinition.h"

namespace bench {

// The shipped controller, with a D range wide enough for 10,000 items.
const char kPlcText[] = "CpuName: IDEC-CPU 40\n"
                        "Version: 1.10\n"
                        "Index: I,Q,M,R,T,C,TC,TP,CC,CP,D,P\n"
                        "I: I,Bit,DecOct,2,0,627,30000,30627,read,\n"
                        "Q: Q,Bit,DecOct,2,0,467,30000,30467,read,write,\n"
                        "M: M,Bit,DecOct,2,0,7997,8000,8317,read,write,\n"
                        "R: R,Bit,Dec,1,0,255,read,write,\n"
                        "T: T,Bit,Dec,1,0,1023,read,\n"
                        "C: C,Bit,Dec,1,0,511,read,\n"
                        "TC: TC,Word,Dec,1,0,1023,read,write,\n"
                        "TP: TP,Word,Dec,1,0,1023,read,write,\n"
                        "CC: CC,Word,Dec,1,0,511,read,write,\n"
                        "CP: CP,Word,Dec,1,0,511,read,write,\n"
                        "D: D,Word,Dec,1,0,49999,read,write,\n"
                        "P: P,Dword,Dec,1,0,15,read,write,\n";

namespace {

uint32_t FrozenClock() {
    return 1000000;
}

} // namespace

WString Wide(const std::string& s) {
    return WString(s.begin(), s.end());
}

Rig::Rig(uint16_t port) : link_(new PassLink(&table_)) {
    table_.SetChannelFactory(&CEngineLinkChannel::Create);
    table_.SetTickSource(&FrozenClock);
    link_->SetStationText("01");
    const std::string endpoint = "127.0.0.1:" + std::to_string(port);
    link_->SetAddressText(endpoint.c_str());
    link_->SetChannelKind(idec::kChannelEthernet);
    CPlc* plc = new CPlc(link_);
    plc->SetName(W16("P0"));
    link_->InsertPlc(plc);
    table_.InsertLink(link_);
}

Rig::~Rig() {
    table_.RemoveAll();
}

CPlcDevice* Rig::Block(const char* type) {
    CPlcDefinitionFile file;
    if (!file.LoadText(kPlcText, sizeof kPlcText - 1))
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
        const WString name =
            WString(block.Name()) + Wide(std::to_string(static_cast<long>(a)));
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
