// The driver object that NimbroInterface hands to the host.
#pragma once

#include <atomic>
#include <cstdint>

#include "NimbroDriver.h"
#include "platform/module.h"
#include "platform/sync.h"

class CLinkTable;
class CPlcDevice;
class CDeviceItem;
struct ItemSpec;
namespace plat {
struct Variant;
}

class CDrvIDec : public INimbroDriver {
public:
    // Reference count 0; the creator takes the first reference with AddRef.
    explicit CDrvIDec(CLinkTable& table);

    int32_t NIMBRO_COMCALL QueryInterface(const NimbroGuid* iid, void** out) override;
    uint32_t NIMBRO_COMCALL AddRef() override;
    // At 0 the object is destroyed; at a count already 0 nothing happens.
    uint32_t NIMBRO_COMCALL Release() override;
    NimbroDevice NIMBRO_COMCALL ResolveDevice(const NimbroChar* deviceName) override;
    void NIMBRO_COMCALL Reserved(int32_t value) override;
    int32_t NIMBRO_COMCALL RegisterItem(NimbroDevice device, const NimbroChar* itemName,
                                        int32_t* valueType, int32_t* size,
                                        int32_t* access) override;
    int32_t NIMBRO_COMCALL ReadItem(NimbroDevice device, const NimbroChar* itemName,
                                    int32_t* valueType, void* buffer, int32_t capacity,
                                    int32_t* count, int32_t unused) override;
    int32_t NIMBRO_COMCALL WriteItem(NimbroDevice device, const NimbroChar* itemName,
                                     int32_t valueType, const void* value, int32_t length,
                                     int32_t* count, int32_t unused) override;
    NimbroBstr NIMBRO_COMCALL ListItems(const NimbroChar* deviceName) override;
    // Stops and empties the link table (process-wide: also when other driver
    // objects still live).
    virtual ~CDrvIDec();

    CDrvIDec(const CDrvIDec&) = delete;
    CDrvIDec& operator=(const CDrvIDec&) = delete;

    // 0: the first PLC word of a 32-bit value holds its upper 16 bits; 1: the lower.
    int32_t WordOrder() const { return wordOrder_; }
    // Values other than 0 and 1 give 0.
    void SetWordOrder(int32_t mode) { wordOrder_ = mode == 1 ? 1 : 0; }
    CLinkTable& Table() const { return table_; }
    plat::CriticalSection& ObjectLock() { return lock_; }
    int32_t RefCount() const { return refs_.load(); }

private:
    // Stages a converted value in the block's write arrays under the device
    // lock; a text takes textLength bytes (0: no bound) and *textUnits gets
    // the UTF-16 units staged. False when the item cannot take it or the
    // link could not send it whole (nothing staged).
    bool Stage(CPlcDevice* device, CDeviceItem* item, const plat::Variant& value, uint16_t vt,
               const ItemSpec& parsed, int32_t* textUnits);

    std::atomic<int32_t> refs_;
    int32_t wordOrder_;
    plat::CriticalSection lock_;
    CLinkTable& table_;
};

// The steps of NimbroInterface on a given link table; module is the driver
// module, whose folder holds the settings.
int32_t CreateDriver(CLinkTable& table, plat::ModuleHandle module, INimbroDriver** out,
                     uint32_t hostPort, int32_t wordOrder);
