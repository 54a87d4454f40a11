// What a link asks of the communication layer. The layer supplies it through
// the link table's factory; the link model itself knows no channel class and
// no frame, so it builds and runs without one.
#pragma once

#include <cstdint>

#include "platform/types.h"

class CPlc;
class CPlcDevice;
class CPlcDrvLink;

class CLinkChannel {
public:
    CLinkChannel() = default;
    virtual ~CLinkChannel();
    CLinkChannel(const CLinkChannel&) = delete;
    CLinkChannel& operator=(const CLinkChannel&) = delete;

    virtual int32_t Open(bool blocking) = 0;
    virtual bool IsConnected(bool openIfClosed) = 0;
    // A number for the connection that is up now, new for every connection
    // made; 0 while none is. Any thread; no system call.
    virtual uint32_t Session() const { return 0; }
    // May come from another thread than the worker's (a stopping link).
    virtual int Close() = 0;
    // The address-list enumeration of one PLC. Nothing by default.
    virtual void EnumeratePlc(CPlcDrvLink&, CPlc&) {}
    // The passes over one device block, on the worker with the link lock
    // held: send what the host staged, read what items in use cover.
    virtual bool WriteQueue(CPlcDrvLink&, CPlcDevice&) { return false; }
    virtual bool ReadScan(CPlcDrvLink&, CPlcDevice&) { return false; }
    // The last socket error of the channel (0 none) and its text, which the
    // host sees in a block's status items.
    virtual int LastSocketError() { return 0; }
    virtual void ErrorText(int, WChar* text, int cap) {
        if (text && cap > 0)
            text[0] = 0;
    }
};
