// The link turn: what a link does on each tick of its timer, on its worker.
#include <exception>
#include <new>

#include "model/LinkModel.h"
#include "platform/sync.h"
#include "support/LockGuard.h"

namespace {

// Clears a flag when the scope ends, also by an exception: host services
// wait while the first enumeration runs.
class FlagReset {
public:
    explicit FlagReset(std::atomic<int32_t>& flag) : flag_(flag) {}
    ~FlagReset() { flag_.store(0); }
    FlagReset(const FlagReset&) = delete;
    FlagReset& operator=(const FlagReset&) = delete;

private:
    std::atomic<int32_t>& flag_;
};

} // namespace

CLinkChannel::~CLinkChannel() = default;

void CPlcDrvLink::OnTick() {
    try {
        // Blocks the passes cannot reach show it before a connect that may
        // take long; values stop counting as good from the moment the
        // connection went (CPlcDevice::ItemReadStatus).
        if (!ChannelConnected())
            MarkLinkDown();
        const uint32_t wanted = enumerationWanted_.load();
        if (enumerationServed_.load() != wanted) {
            EnumerationPass();
            enumerationServed_.store(wanted);
        }
        if (!stop_.load())
            ConnectStep();
        if (!ChannelConnected()) {
            MarkLinkDown();
            return;
        }
        uint32_t now = plat::TickCount();
        Pass(&CLinkChannel::WriteQueue);
        uint32_t interval = owner_ ? owner_->ReadInterval() : model::kDefaultReadInterval;
        // A wrapped tick count (now below the last read) reads at once.
        if (now >= lastReadTime_ && now - lastReadTime_ <= interval) {
            if (!ChannelConnected())
                MarkLinkDown();
            return;
        }
        lastReadTime_ = now;
        Pass(&CLinkChannel::ReadScan);
        if (!ChannelConnected())
            MarkLinkDown();
    } catch (const std::bad_alloc&) {
        SetMessage(model::kMsgNoMemory);
    } catch (const std::exception& e) {
        // The next tick runs normally; a fault that recurs shows here.
        SetMessage(model::kMsgTickFailed, Name(), e.what());
    } catch (...) {
        SetMessage(model::kMsgTickFailed, Name(), "");
    }
}

void CPlcDrvLink::EnumerationPass() {
    if (CLinkChannel* channel = channel_.load())
        channel->Close();
    if (!enumeratedOnce_.load())
        firstEnumerationRunning_.store(1);
    {
        FlagReset done(firstEnumerationRunning_);
        for (uint32_t p = 0; p < PlcCount(); ++p)
            EnumeratePlc(GetPlc(p));
    }
    enumeratedOnce_.store(1);
}

void CPlcDrvLink::EnumeratePlc(CPlc* plc) {
    // The link's channel comes first: the enumeration's temporary channel is
    // kept with it, where a stop of the link reaches it.
    CLinkChannel* channel = channel_.load();
    if (!channel) {
        CLinkTable::ChannelFactory make = owner_ ? owner_->GetChannelFactory() : nullptr;
        if (!make)
            return;
        channel = make(&openParams_);
        if (!channel) {
            SetMessage(model::kMsgNoMemory);
            return;
        }
        channel_.store(channel);
    }
    if (plc && !stop_.load())
        channel->EnumeratePlc(*this, *plc);
}

void CPlcDrvLink::ConnectStep() {
    CLinkChannel* channel = channel_.load();
    if (!channel) {
        CLinkTable::ChannelFactory make = owner_ ? owner_->GetChannelFactory() : nullptr;
        // No factory: the process has no channel kind to offer yet.
        if (!make)
            return;
        channel = make(&openParams_);
        if (!channel) {
            SetMessage(model::kMsgNoMemory);
            return;
        }
        channel_.store(channel);
        if (stop_.load())
            return;
    }
    if (!channel->IsConnected(true))
        channel->Open(false);
}

// Asks without reconnecting: only the connect step connects.
bool CPlcDrvLink::ChannelConnected() {
    CLinkChannel* channel = channel_.load();
    return channel && channel->Session() != 0;
}

// Without the link lock: PLCs go only once the worker has left the link,
// and a block array has its own lock.
void CPlcDrvLink::MarkLinkDown() {
    for (uint32_t p = 0; p < PlcCount(); ++p) {
        CPlc* plc = GetPlc(p);
        for (uint32_t d = 0; plc; ++d) {
            CPlcDevice* device = plc->GetDevice(d);
            if (!device)
                break;
            int32_t good = 0;
            device->deviceStatus.compare_exchange_strong(good, model::kStatusNoAnswer);
        }
    }
}

// The write and the read pass: each block of each PLC in turn, under the
// link lock, until a stop or a lost connection.
void CPlcDrvLink::Pass(bool (CLinkChannel::*step)(CPlcDrvLink&, CPlcDevice&)) {
    LockGuard hold(&lock_);
    for (uint32_t p = 0; p < PlcCount(); ++p) {
        CPlc* plc = GetPlc(p);
        for (uint32_t d = 0; plc; ++d) {
            if (stop_.load() || !ChannelConnected())
                return;
            CPlcDevice* device = plc->GetDevice(d);
            if (!device)
                break;
            (channel_.load()->*step)(*this, *device);
        }
    }
}
