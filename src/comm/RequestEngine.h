// The request engine: one request and its reply at a time on a link's
// channel, the verdict kept as the device block's status, and the
// address-list enumeration that creates device blocks and items from what
// the PLC reports.
//
// Every exchange runs on the link's worker, never with a device lock held:
// it waits on the network for up to 2000 ms (reads) or five times 1000 ms
// (writes, address lists), over as many receive calls as the reply takes.
// Bytes waiting before a request belong to no request and are dropped; an
// exchange whose reply did not end in its CR closes the channel, since the
// rest of it could arrive as the next request's reply. Replies are read only
// within the bytes received; one longer than any reply of its kind (1024
// bytes, or an address list's length) gives 12.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "comm/FrameTrace.h"
#include "comm/Frames.h"
#include "comm/KQV_IDecCom.h"
#include "comm/SerialChannel.h"
#include "model/LinkChannel.h"
#include "model/LinkModel.h"
#include "platform/sync.h"

class CEngineLinkChannel;

namespace idec {

class CFrameTrace;

// A read waits this long, over as many receive calls as it takes, for its CR.
constexpr int32_t kReadTimeoutMs = 2000;
// Writes and address-list queries wait this long per receive call...
constexpr int32_t kWriteTimeoutMs = 1000;
// ...and give up after this many calls that brought nothing.
constexpr int kWriteReceiveTries = 5;
// A reply that keeps trickling in without its CR is cut off here.
constexpr int32_t kWriteTotalMs = kWriteTimeoutMs * kWriteReceiveTries;
// Largest piece one receive call takes.
constexpr int32_t kReceiveChunk = 1024;
// An address list may be longer than any other reply: count, entries, BCC.
constexpr int32_t kMaxListEntries = 8192;
constexpr int32_t kMaxListReplyLen = 12 + 8 * kMaxListEntries + 2;
// How long the enumeration waits for its temporary connection.
constexpr int32_t kEnumerationConnectMs = 5000;

// Result of a write exchange that got no reply; the block's status stays.
constexpr int32_t kNoReply = -1;

// What the exchanges of a link go over: its byte channel (nullptr: none),
// its frame trace (nullptr: none) and the station text of its frames. The
// link's channel makes one for each pass; one made from a link (implicitly,
// so that a link stands for its own channel) looks the channel up.
struct ExchangeContext {
    ExchangeContext(CIDecComBase* byteChannel, CFrameTrace* frameTrace, const char* stationText)
        : channel(byteChannel), trace(frameTrace), station(stationText) {}
    ExchangeContext(CPlcDrvLink& link);

    CIDecComBase* channel;
    CFrameTrace* trace;
    const char* station;
};

// Device block exchanges on a context's channel. Each sends one frame built
// with the context's station text, collects the reply and stores the
// verdict in device.deviceStatus, which it also returns.
//
// Reads: no channel object 11; frame not sent or no reply 13; NAK 21; "2"
// the PLC's code; too short 12; 0 with the data. Data bytes come in PLC
// order (as on the wire) and are written only on 0.
int32_t BlockRead(const ExchangeContext& ex, CPlcDevice& device, char letter, int32_t address,
                  int32_t count, uint8_t* data);
int32_t BitRead(const ExchangeContext& ex, CPlcDevice& device, char letter, int32_t address,
                bool* on);

// Writes: kNoReply (status unchanged) when nothing came back or nothing
// could be sent; otherwise 0 for an acknowledgement or the PLC's code.
int32_t BlockWrite(const ExchangeContext& ex, CPlcDevice& device, char letter, int32_t address,
                   const uint8_t* data, int32_t count);
int32_t BitWrite(const ExchangeContext& ex, CPlcDevice& device, char letter, int32_t address,
                 bool on);
int32_t RegisterBitWrite(const ExchangeContext& ex, CPlcDevice& device, char letter,
                         int32_t address, int32_t bit, bool on);

// One address-list query on any channel. kListEntries fills entries with
// the addresses that arrived whole; kListShort also stands for a reply
// whose count or entries are not hexadecimal, or that is too long. sent
// tells whether the query went out at all.
ListReplyKind QueryAddressList(CIDecComBase& channel, const char* station, char letter,
                               std::vector<uint32_t>* entries, bool* sent = nullptr,
                               CFrameTrace* trace = nullptr);

// Item name of an address-list entry: the type name and the value in
// decimal, six digits from 100000, five from 10000, four for x and y, else
// as many as the block's highest address has (at most four). False when
// it does not fit cap units.
bool EnumeratedItemName(const WChar* typeName, char letter, uint32_t value, uint32_t highestAddress,
                        WChar* out, int cap);

// Queries the PLC's address lists on a temporary connection and creates the
// device blocks and items it reports; the temporary channel is registered
// with registry (may be null) while in use. Runs on the link's worker.
void EnumeratePlcWith(CPlcDrvLink& link, CPlc& plc, CEngineLinkChannel* registry);

// 0, or kStatusNak when the last PLC enumerated refused an address-list
// query.
int32_t EnumerationStatus(const CPlcDrvLink& link);

// plat::CurrentThreadId of the calling thread, asked once per thread.
uint32_t ThisThreadId();

} // namespace idec

// The channel a link keeps for its life, over TCP or a serial line (by the
// open parameters' channel kind). It also carries what the
// engine keeps per link: the enumeration status, and the enumeration's
// temporary channel while one is in use.
//
// Its ticks call it from one thread. A Close from any other thread is a
// stopping link: this channel and the temporary one are aborted, so that a
// worker blocked in their connect or receive wakes and cannot connect again.
class CEngineLinkChannel : public CLinkChannel {
public:
    explicit CEngineLinkChannel(const IDecOpenParams* params);
    ~CEngineLinkChannel() override;

    int32_t Open(bool blocking) override;
    bool IsConnected(bool openIfClosed) override;
    int Close() override;
    // The byte channel, for the exchanges of the passes. A derived channel
    // may hand out another one (an in-process channel in the fuzz targets);
    // it then also answers Open, IsConnected, Close and LastSocketError.
    virtual CIDecComBase* Channel() { return &Line(); }
    void EnumeratePlc(CPlcDrvLink& link, CPlc& plc) override;
    bool WriteQueue(CPlcDrvLink& link, CPlcDevice& device) override;
    bool ReadScan(CPlcDrvLink& link, CPlcDevice& device) override;
    int LastSocketError() override { return Line().GetLastSocketError(); }
    uint32_t Session() const override { return Line().Session(); }
    void ErrorText(int code, WChar* text, int cap) override;

    // For CLinkTable::SetChannelFactory.
    static CLinkChannel* Create(const IDecOpenParams* params);

    // False, and the channel left unused, once the link is stopping.
    bool AttachTemporary(CIDecComEthernet* temporary);
    void DetachTemporary(CIDecComEthernet* temporary);

    int32_t EnumerationStatus() const { return enumerationStatus_.load(); }
    // The frame trace the host settings asked for, or nullptr.
    idec::CFrameTrace* Trace() const { return trace_.get(); }
    // What the exchanges of a pass of link go over.
    idec::ExchangeContext Exchanges(CPlcDrvLink& link) {
        return idec::ExchangeContext(Channel(), Trace(), link.StationText());
    }
    void SetEnumerationStatus(int32_t status) { enumerationStatus_.store(status); }

private:
    // Called on every connection check and pass: the thread id comes from a
    // per-thread copy (the system call it costs on Linux once per thread),
    // and is written only when another thread took over the ticks.
    void NoteTicking() {
        const uint32_t id = idec::ThisThreadId();
        if (tickThread_.load(std::memory_order_relaxed) != id)
            tickThread_.store(id);
    }
    // Opens the trace once, on the worker, when the table names a file.
    void PrepareTrace(CPlcDrvLink& link);

    CIDecComBase& Line() { return serial_ ? static_cast<CIDecComBase&>(*serial_) : channel_; }
    const CIDecComBase& Line() const {
        return serial_ ? static_cast<const CIDecComBase&>(*serial_) : channel_;
    }

    CIDecComEthernet channel_;
    std::unique_ptr<CIDecComSerial> serial_; // a serial link's line; channel_ then stays closed
    std::atomic<uint32_t> tickThread_;       // the thread that last used the channel
    std::atomic<bool> stopped_;
    std::atomic<int32_t> enumerationStatus_;
    plat::CriticalSection temporaryLock_; // guards temporary_
    CIDecComEthernet* temporary_;
    std::unique_ptr<idec::CFrameTrace> trace_;
    bool traceChecked_;
};
