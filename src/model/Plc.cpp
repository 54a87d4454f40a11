// A PLC of a link: its settings and the devices polled on it.
#include <cstdarg>

#include "model/LinkModel.h"
#include "model/NameOrder.h"
#include "support/LockGuard.h"
#include "support/Strings.h"

CPlc::CPlc(CPlcDrvLink* link) : timeout(0), retryNumber(0), link_(link) {
    plcFile[0] = 0;
    stationNumber[0] = 0;
    name_[0] = 0;
    devices_.Configure(&model::CompareNames<CPlcDevice>, sizeof(void*));
    status_.SetText(W16("Not connected"));
}

CPlc::~CPlc() {
    StopPolling();
    RemoveDevices();
}

void CPlc::SetName(const WChar* name) {
    CopyTextW(name_, name, model::kNameCap);
}

CPlcDevice* CPlc::FindDevice(const WChar* name) const {
    LockGuard hold(&devicesLock_);
    return model::FindByName<CPlcDevice>(devices_, name);
}

CPlcDevice* CPlc::GetDevice(uint32_t index) const {
    LockGuard hold(&devicesLock_);
    return model::PointerAt<CPlcDevice>(devices_, index);
}

uint32_t CPlc::DeviceCount() const {
    LockGuard hold(&devicesLock_);
    return devices_.Count();
}

bool CPlc::InsertDevice(CPlcDevice* device) {
    if (!device)
        return false;
    CPlcDevice* displaced = nullptr;
    bool ok;
    {
        LockGuard hold(&devicesLock_);
        ok = model::InsertByName(devices_, device, &displaced);
    }
    if (!ok) {
        delete device;
        return false;
    }
    device->SetPlc(this);
    delete displaced;
    return true;
}

void CPlc::RemoveDevices() {
    LockGuard hold(&devicesLock_);
    for (uint32_t i = 0; i < devices_.Count(); ++i)
        delete model::PointerAt<CPlcDevice>(devices_, i);
    devices_.Clear();
}

void CPlc::StopPolling() {
    for (uint32_t i = 0;; ++i) {
        CPlcDevice* device = GetDevice(i);
        if (!device)
            break;
        device->StopPolling();
    }
}

const CResLang* CPlc::ResLang() const {
    return link_ ? link_->ResLang() : nullptr;
}

bool CPlc::SetMessage(uint32_t id, ...) {
    va_list args;
    va_start(args, id);
    bool changed = status_.SetTextFromIdV(ResLang(), id, args);
    va_end(args);
    return changed;
}
