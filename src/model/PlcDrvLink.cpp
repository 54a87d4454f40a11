#include <cstdio>
#include <cstring>
#include <new>

#include "model/LinkModel.h"
#include "model/NameOrder.h"
#include "support/LockGuard.h"
#include "support/Strings.h"

CPlcDrvLink::CPlcDrvLink(CLinkTable* owner)
    : portOverride_(0), enumerationWanted_(1), enumerationServed_(0), firstEnumerationRunning_(0),
      enumeratedOnce_(0), owner_(owner), lastReadTime_(0), channel_(nullptr), stop_(0) {
    name_[0] = 0;
    station_[0] = 0;
    lineNote_[0] = 0;
    std::memset(&openParams_, 0, sizeof openParams_);
    plcs_.Configure(&model::CompareNames<CPlc>, sizeof(void*));
    status_.SetText(W16("Not connected"));
}

CPlcDrvLink::~CPlcDrvLink() {
    // A tick that outlived the stop bound still uses the link; owners free a
    // link only once StopLink has seen its worker leave.
    if (!StopLink())
        StopWorker(plat::kInfinite);
    RemovePlcs();
    delete channel_.exchange(nullptr);
}

void CPlcDrvLink::SetName(const WChar* name) {
    CopyTextW(name_, name, model::kNameCap);
}

void CPlcDrvLink::SetStationText(const char* text) {
    CopyTextA(station_, text, sizeof station_);
}

void CPlcDrvLink::SetLine(uint32_t baud, uint8_t dataBits, char parity, uint8_t stopBits,
                          const char* note) {
    openParams_.baudRate = baud;
    openParams_.dataBits = dataBits;
    openParams_.parity = parity;
    openParams_.stopBits = stopBits;
    CopyTextA(lineNote_, note ? note : "", sizeof lineNote_);
}

void CPlcDrvLink::SetAddressText(const char* text) {
    CopyTextA(openParams_.openName, text, sizeof openParams_.openName);
}

void CPlcDrvLink::ApplyPortOverride(uint32_t port) {
    portOverride_ = port;
    if (port == 0)
        return;
    char* colon = std::strchr(openParams_.openName, ':');
    if (!colon)
        return;
    size_t room =
        sizeof openParams_.openName - static_cast<size_t>(colon + 1 - openParams_.openName);
    std::snprintf(colon + 1, room, "%d", static_cast<int32_t>(port));
}

const CResLang* CPlcDrvLink::ResLang() const {
    return owner_ ? owner_->ResLang() : nullptr;
}

bool CPlcDrvLink::SetMessage(uint32_t id, ...) {
    va_list args;
    va_start(args, id);
    bool changed = status_.SetTextFromIdV(ResLang(), id, args);
    va_end(args);
    return changed;
}

CPlc* CPlcDrvLink::GetPlc(uint32_t index) const {
    return model::PointerAt<CPlc>(plcs_, index);
}

CPlc* CPlcDrvLink::FindPlc(const WChar* name) const {
    return model::FindByName<CPlc>(plcs_, name);
}

bool CPlcDrvLink::InsertPlc(CPlc* plc) {
    if (!plc)
        return false;
    CPlc* displaced = nullptr;
    bool ok;
    {
        LockGuard hold(&lock_);
        ok = model::InsertByName(plcs_, plc, &displaced);
    }
    if (!ok) {
        delete plc;
        return false;
    }
    plc->SetLink(this);
    // Nothing can reach a PLC that lost its place any more.
    delete displaced;
    return true;
}

void CPlcDrvLink::RemovePlcs() {
    LockGuard hold(&lock_);
    for (uint32_t i = 0; i < plcs_.Count(); ++i)
        delete model::PointerAt<CPlc>(plcs_, i);
    plcs_.Clear();
}

bool CPlcDrvLink::StartLink() {
    if (Running())
        return true;
    for (uint32_t p = 0; p < PlcCount(); ++p) {
        CPlc* plc = GetPlc(p);
        for (uint32_t d = 0;; ++d) {
            CPlcDevice* device = plc->GetDevice(d);
            if (!device)
                break;
            device->RebuildWindow(nullptr, false);
        }
        plc->SetMessage(model::kMsgNoError);
    }
    stop_.store(0);
    uint32_t period = owner_ ? owner_->ScanPeriod() : model::kDefaultScanPeriod;
    if (!Start(period, 1)) {
        stop_.store(1);
        return false;
    }
    if (lineNote_[0])
        SetMessage(model::kMsgLineSetting, Name(), lineNote_);
    else
        SetMessage(model::kMsgNoError);
    return true;
}

bool CPlcDrvLink::StopLink() {
    stop_.store(1);
    if (CLinkChannel* channel = channel_.load())
        channel->Close();
    // A worker still in its tick may hold the link lock: no wait on it.
    if (!StopWorker(model::kStopWaitMs))
        return false;
    LockGuard hold(&lock_);
    for (uint32_t p = 0; p < PlcCount(); ++p)
        GetPlc(p)->StopPolling();
    return true;
}
