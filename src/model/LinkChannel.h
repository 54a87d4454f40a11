// What a link asks of its channel. The communication layer supplies the
// channel through the link table's factory; the link model itself never
// depends on a channel class, so it builds and runs without one.
#pragma once

#include <cstdint>
#include <new>

#include "comm/KQV_IDecCom.h"

class CPlc;
class CPlcDrvLink;

class CLinkChannel {
public:
    CLinkChannel() = default;
    virtual ~CLinkChannel();
    CLinkChannel(const CLinkChannel&) = delete;
    CLinkChannel& operator=(const CLinkChannel&) = delete;

    virtual int32_t Open(bool blocking) = 0;
    virtual bool IsConnected(bool openIfClosed) = 0;
    // May come from another thread than the worker's (a stopping link).
    virtual int Close() = 0;
    // The byte channel, for the exchanges of the passes.
    virtual CIDecComBase* Channel() = 0;
    // The address-list enumeration of one PLC, on a temporary channel that a
    // Close from a stopping link reaches too. Nothing by default.
    virtual void EnumeratePlc(CPlcDrvLink&, CPlc&) {}
};

// A channel class C (constructed from the open parameters) as a link channel.
template <class C> class CLinkChannelOf : public CLinkChannel {
public:
    explicit CLinkChannelOf(const IDecOpenParams* params) : channel_(params) {}
    int32_t Open(bool blocking) override { return channel_.Open(blocking); }
    bool IsConnected(bool openIfClosed) override { return channel_.IsConnected(openIfClosed); }
    int Close() override { return channel_.Close(); }
    CIDecComBase* Channel() override { return &channel_; }

    // A factory for CLinkTable::SetChannelFactory.
    static CLinkChannel* Create(const IDecOpenParams* params) {
        return new (std::nothrow) CLinkChannelOf<C>(params);
    }

private:
    C channel_;
};
