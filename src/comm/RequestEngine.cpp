#include "comm/RequestEngine.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

#include "comm/Buf.h"
#include "comm/FrameTrace.h"
#include "model/DeviceTypes.h"
#include "platform/alloc.h"
#include "platform/ascii.h"
#include "support/LockGuard.h"

namespace idec {

namespace {

// Receive calls spent discarding what an earlier exchange left behind before
// the stream counts as flooded.
constexpr int kMaxDiscardCalls = 64;
// The longest read reply: ACK, station, code, 240 bytes as 480 digits, block
// check and CR.
constexpr int32_t kLongestReadReply = 1 + 2 + 1 + 480 + 2 + 1;
// Pause after a receive error, so that a failing socket is not hammered.
constexpr uint32_t kErrorPauseMs = 100;

enum class Pattern {
    kRead,    // until CR or kReadTimeoutMs; the CR kept as a NUL
    kUntilCr, // until CR, five empty receives or kWriteTotalMs; the CR dropped
};

struct Collected {
    bool sent = false;
    bool complete = false; // ended by its CR
    bool overlong = false; // more bytes than any such reply holds
    int32_t length = 0;
};

uint32_t Since(uint32_t start) {
    return plat::TickCount() - start;
}

// A reply that came after its exchange gave up would be taken for the next
// one's: whatever is waiting now belongs to no request of ours.
void DiscardLeftovers(CIDecComBase& channel) {
    // A closed channel holds nothing, and must not be reopened from here.
    if (channel.GetState() != kStateConnected)
        return;
    uint8_t junk[kReceiveChunk];
    for (int i = 0; i < kMaxDiscardCalls; ++i)
        if (channel.Receive(junk, kReceiveChunk, 0) <= 0)
            return;
    channel.Close();
}

// lineMs: what a slow line adds for the request's characters and the
// reply's (0 on TCP).
void CollectRead(CIDecComBase& channel, CBuf& reply, Collected* c, int32_t lineMs) {
    uint8_t piece[kReceiveChunk];
    const uint32_t start = plat::TickCount();
    const int32_t total = kReadTimeoutMs + lineMs;
    for (;;) {
        const uint32_t spent = Since(start);
        if (spent >= static_cast<uint32_t>(total))
            return;
        const int32_t room = kMaxReplyLen - reply.Length();
        if (room <= 0) {
            c->overlong = true;
            return;
        }
        const int n = channel.Receive(piece, room < kReceiveChunk ? room : kReceiveChunk,
                                      total - static_cast<int32_t>(spent));
        if (n == 0)
            return;
        if (n < 0) {
            // A time-out leaves no receive error; the loop ends on the clock.
            if (channel.LastReceiveError() != 0) {
                plat::SleepMs(kErrorPauseMs);
                return;
            }
            continue;
        }
        const void* cr = std::memchr(piece, kCr, static_cast<size_t>(n));
        const int32_t take =
            cr ? static_cast<int32_t>(static_cast<const uint8_t*>(cr) - piece) + 1 : n;
        if (reply.Append(piece, take) != take)
            return;
        if (cr) {
            reply.Data()[reply.Length() - 1] = 0;
            c->complete = true;
            return;
        }
    }
}

void CollectUntilCr(CIDecComBase& channel, CBuf& reply, int32_t cap, Collected* c, int32_t sendMs,
                    int32_t lineMs) {
    uint8_t piece[kReceiveChunk];
    const uint32_t start = plat::TickCount();
    const uint32_t total = static_cast<uint32_t>(kWriteTotalMs + lineMs);
    // The first wait also covers the request still on its way down the line.
    uint32_t each = static_cast<uint32_t>(kWriteTimeoutMs + sendMs);
    int failures = 0;
    for (;;) {
        const uint32_t spent = Since(start);
        if (spent >= total)
            return;
        const uint32_t left = total - spent;
        const int32_t wait = static_cast<int32_t>(left < each ? left : each);
        each = static_cast<uint32_t>(kWriteTimeoutMs);
        const int n = channel.Receive(piece, kReceiveChunk, wait);
        if (n == 0)
            return;
        if (n < 0) {
            // A socket error ends the exchange, as for reads: receiving on
            // would reopen the connection and wait for a reply to a request
            // that was never sent there, and the error would be lost.
            if (channel.LastReceiveError() != 0 || ++failures >= kWriteReceiveTries)
                return;
            continue;
        }
        // A NUL inside a piece does not hide the CR after it.
        const void* cr = std::memchr(piece, kCr, static_cast<size_t>(n));
        const int32_t take = cr ? static_cast<int32_t>(static_cast<const uint8_t*>(cr) - piece) : n;
        if (take > cap - reply.Length()) {
            c->overlong = true;
            return;
        }
        if (take > 0 && reply.Append(piece, take) != take)
            return;
        if (cr) {
            c->complete = true;
            return;
        }
        failures = 0;
    }
}

// Sends a built frame and collects its reply. An empty frame (the builder
// refused its arguments) sends nothing and gets an empty reply.
Collected Exchange(CIDecComBase& channel, const CBuf& frame, Pattern pattern, int32_t cap,
                   CBuf& reply, CFrameTrace* trace) {
    Collected c;
    if (frame.Length() <= 0)
        return c;
    DiscardLeftovers(channel);
    const uint64_t t0 = plat::MonotonicMicros();
    if (channel.Send(frame.Data(), frame.Length()) <= 0)
        return c;
    c.sent = true;
    if (trace)
        trace->Request(frame.Data(), frame.Length());
    // A serial line's characters take time of their own; TCP's take none.
    const int32_t sendMs = channel.LineMs(frame.Length());
    if (pattern == Pattern::kRead)
        CollectRead(channel, reply, &c, sendMs + channel.LineMs(kLongestReadReply));
    else
        CollectUntilCr(channel, reply, cap, &c, sendMs,
                       sendMs + channel.LineMs(cap < kMaxListReplyLen ? cap : kMaxListReplyLen));
    c.length = reply.Length();
    if (c.complete) {
        // What the exchange cost beyond its characters' time on the line.
        const uint64_t spent = plat::MonotonicMicros() - t0;
        const uint64_t line = channel.LineUs(frame.Length() + c.length + 1);
        channel.NoteRoundTrip(spent > line ? spent - line : 0);
    }
    // The rest of a reply without its CR may still come, and nothing in the
    // protocol tells it from the next reply: the next request goes out on a
    // fresh connection.
    if (!c.complete)
        channel.Close();
    return c;
}

// The reply as it came: a read keeps its CR as a NUL, the other replies
// drop it.
void TraceReply(CFrameTrace* trace, const Collected& c, const CBuf& reply, int32_t status) {
    if (!trace || !c.sent)
        return;
    if (c.length <= 0) {
        trace->NoReply(status);
        return;
    }
    std::vector<uint8_t> bytes(reply.Data(), reply.Data() + c.length);
    if (c.complete) {
        if (bytes.back() == 0)
            bytes.back() = kCr;
        else
            bytes.push_back(kCr);
    }
    trace->Reply(bytes.data(), static_cast<int32_t>(bytes.size()), status);
}

bool AllHex(const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (plat::HexDigitValue(static_cast<char>(p[i])) < 0)
            return false;
    return true;
}

// Length of a whole negative reply: NAK or "2", station, code, block check,
// and the CR where reads count it.
constexpr int32_t kNegativeReadLen = 9;
constexpr int32_t kNegativeWriteLen = 8;

// A negative reply holds its code only when it arrived whole; cut shorter,
// bytes 4-5 may be its block check. The judges then see it as cut off
// before the code.
int32_t JudgedLength(const uint8_t* reply, int32_t n, int32_t wholeNegative) {
    const ReplyKind kind = ClassifyReply(reply, n);
    if ((kind == kReplyNak || kind == kReplyError) && n < wholeNegative && n > 5)
        return 5;
    return n;
}

int32_t StoreStatus(CPlcDevice& device, int32_t status) {
    device.deviceStatus.store(status);
    return status;
}

// A write's verdict. A write without a reply may or may not have reached
// the PLC, and its bytes are gone from the queue: the block shows the
// failure until one of its exchanges succeeds.
int32_t JudgeWriteReply(CPlcDevice& device, const Collected& c, const CBuf& reply) {
    if (c.overlong)
        return StoreStatus(device, kStatusReadSize);
    if (c.length <= 0) {
        StoreStatus(device, kStatusRecvTimeout);
        return kNoReply;
    }
    const int32_t n = JudgedLength(reply.Data(), c.length, kNegativeWriteLen);
    return StoreStatus(device, JudgeWrite(reply.Data(), n, device.deviceStatus.load()));
}

template <typename Build>
int32_t WriteExchange(const ExchangeContext& ex, CPlcDevice& device, Build build) {
    if (!ex.channel) {
        StoreStatus(device, kStatusNotInitialized);
        return kNoReply;
    }
    CBuf frame;
    build(frame);
    CBuf reply;
    const Collected c =
        Exchange(*ex.channel, frame, Pattern::kUntilCr, kMaxReplyLen, reply, ex.trace);
    const int32_t status = JudgeWriteReply(device, c, reply);
    TraceReply(ex.trace, c, reply, status);
    return status;
}

// Creates the block and the items of one letter's address list; false when
// memory ran out for one of them.
bool AddListedItems(CPlc& plc, char letter, const std::vector<uint32_t>& entries) {
    const WChar* typeName = TypeNameOfLetter(letter);
    if (!typeName[0])
        return true;
    CPlcDevice* block = plc.FindDevice(typeName);
    if (!block) {
        block = plat::NewObject<CPlcDevice>(&plc);
        if (!block)
            return false;
        block->SetName(typeName);
        if (!plc.InsertDevice(block))
            return false;
    }
    bool any = false;
    bool whole = true;
    for (uint32_t value : entries) {
        // An item's start address is signed 32-bit.
        if (value > static_cast<uint32_t>(INT32_MAX))
            continue;
        WChar name[model::kNameCap];
        if (!EnumeratedItemName(typeName, letter, value, block->highestAddress, name,
                                model::kNameCap))
            continue;
        {
            // Host threads create items too: look and create in one hold.
            LockGuard hold(&block->Lock());
            if (block->FindItem(name) < 0 &&
                !block->CreateItem(name, model::NumberOfName(name), false, 0, 0))
                whole = false;
        }
        any = true;
    }
    // One rebuild after the letter's items gives the window every one of them.
    if (any)
        block->RebuildWindow(nullptr, false);
    return whole;
}

// The temporary channel of one PLC's enumeration, known to the link's own
// channel while it exists so that a stop of the link reaches it.
class TemporaryChannel {
public:
    TemporaryChannel(CPlcDrvLink& link, CEngineLinkChannel* registry)
        : registry_(registry), channel_(plat::NewObject<CIDecComEthernet>(&link.OpenParams())),
          attached_(false) {}
    ~TemporaryChannel() {
        if (attached_)
            registry_->DetachTemporary(channel_.get());
        if (channel_)
            channel_->Close();
    }
    TemporaryChannel(const TemporaryChannel&) = delete;
    TemporaryChannel& operator=(const TemporaryChannel&) = delete;

    // False when there is no channel or the link is stopping.
    bool Attach() {
        if (!channel_)
            return false;
        if (!registry_)
            return true;
        attached_ = registry_->AttachTemporary(channel_.get());
        return attached_;
    }
    CIDecComEthernet& Channel() { return *channel_; }
    bool Made() const { return channel_ != nullptr; }

private:
    CEngineLinkChannel* registry_;
    std::unique_ptr<CIDecComEthernet> channel_;
    bool attached_;
};

bool ConnectTemporary(const CPlcDrvLink& link, CIDecComEthernet& channel) {
    if (channel.Open(false) == 0)
        return false;
    const uint32_t start = plat::TickCount();
    while (channel.GetState() == kStateOpening && !link.Stopping() &&
           Since(start) < static_cast<uint32_t>(kEnumerationConnectMs))
        if (channel.IsConnected(false))
            break;
    return !link.Stopping() && channel.IsConnected(true);
}

// The letters in order; true when the PLC refused one with a NAK.
bool QueryLetters(CPlcDrvLink& link, CPlc& plc, CIDecComBase& channel, CFrameTrace* trace) {
    std::vector<uint32_t> entries;
    for (int i = 0; i < kListLetterCount; ++i) {
        if (link.Stopping())
            return false;
        const char letter = kListLetters[i];
        bool sent = false;
        const ListReplyKind kind =
            QueryAddressList(channel, link.StationText(), letter, &entries, &sent, trace);
        if (!sent)
            continue;
        if (kind == kListEmpty)
            return false;
        if (kind == kListNak)
            return true;
        // A listing cut short must not pass for the PLC's whole one.
        if (kind == kListEntries && !entries.empty() && !AddListedItems(plc, letter, entries))
            link.SetMessage(model::kMsgNoMemory);
    }
    return false;
}

} // namespace

void EnumeratePlcWith(CPlcDrvLink& link, CPlc& plc, CEngineLinkChannel* registry) {
    if (link.Stopping())
        return;
    if (link.OpenParams().channelKind == model::kChannelSerial) {
        // One line, one conversation: the lists come over the link's own
        // port, between its passes.
        CIDecComBase* line = registry ? registry->Channel() : nullptr;
        if (!line || !line->IsConnected(true) || link.Stopping())
            return;
        const bool refused = QueryLetters(link, plc, *line, registry->Trace());
        registry->SetEnumerationStatus(refused ? kStatusNak : kStatusOk);
        return;
    }
    TemporaryChannel temporary(link, registry);
    if (!temporary.Attach()) {
        if (!temporary.Made())
            link.SetMessage(model::kMsgNoMemory);
        return;
    }
    bool refused = false;
    if (ConnectTemporary(link, temporary.Channel()))
        refused = QueryLetters(link, plc, temporary.Channel(),
                               registry ? registry->Trace() : ExchangeContext(link).trace);
    if (registry)
        registry->SetEnumerationStatus(refused ? kStatusNak : kStatusOk);
}

ExchangeContext::ExchangeContext(CPlcDrvLink& link)
    : channel(nullptr), trace(nullptr), station(link.StationText()) {
    if (auto* own = dynamic_cast<CEngineLinkChannel*>(link.Channel())) {
        channel = own->Channel();
        trace = own->Trace();
    }
}

int32_t BlockRead(const ExchangeContext& ex, CPlcDevice& device, char letter, int32_t address,
                  int32_t count, uint8_t* data) {
    if (!ex.channel)
        return StoreStatus(device, kStatusNotInitialized);
    CBuf frame;
    BuildBlockRead(frame, ex.station, letter, address, count);
    CBuf reply;
    const Collected c = Exchange(*ex.channel, frame, Pattern::kRead, kMaxReplyLen, reply, ex.trace);
    const int32_t status =
        c.overlong ? kStatusReadSize
                   : JudgeBlockRead(reply.Data(),
                                    JudgedLength(reply.Data(), c.length, kNegativeReadLen), count);
    TraceReply(ex.trace, c, reply, status);
    if (status == kStatusOk && data)
        DecodeBlockData(reply.Data(), c.length, count, data);
    return StoreStatus(device, status);
}

int32_t BitRead(const ExchangeContext& ex, CPlcDevice& device, char letter, int32_t address,
                bool* on) {
    if (!ex.channel)
        return StoreStatus(device, kStatusNotInitialized);
    CBuf frame;
    BuildBitRead(frame, ex.station, letter, address);
    CBuf reply;
    const Collected c = Exchange(*ex.channel, frame, Pattern::kRead, kMaxReplyLen, reply, ex.trace);
    bool bit = false;
    const int32_t status =
        c.overlong ? kStatusReadSize
                   : JudgeBitRead(reply.Data(),
                                  JudgedLength(reply.Data(), c.length, kNegativeReadLen), &bit);
    TraceReply(ex.trace, c, reply, status);
    if (status == kStatusOk && on)
        *on = bit;
    return StoreStatus(device, status);
}

int32_t BlockWrite(const ExchangeContext& ex, CPlcDevice& device, char letter, int32_t address,
                   const uint8_t* data, int32_t count) {
    return WriteExchange(
        ex, device, [&](CBuf& f) { BuildBlockWrite(f, ex.station, letter, address, data, count); });
}

int32_t BitWrite(const ExchangeContext& ex, CPlcDevice& device, char letter, int32_t address,
                 bool on) {
    return WriteExchange(ex, device,
                         [&](CBuf& f) { BuildBitWrite(f, ex.station, letter, address, on); });
}

int32_t RegisterBitWrite(const ExchangeContext& ex, CPlcDevice& device, char letter,
                         int32_t address, int32_t bit, bool on) {
    return WriteExchange(ex, device, [&](CBuf& f) {
        BuildRegisterBitWrite(f, ex.station, letter, address, bit, on);
    });
}

ListReplyKind QueryAddressList(CIDecComBase& channel, const char* station, char letter,
                               std::vector<uint32_t>* entries, bool* sent, CFrameTrace* trace) {
    if (entries)
        entries->clear();
    CBuf frame;
    BuildListQuery(frame, station, letter);
    CBuf reply;
    const Collected c = Exchange(channel, frame, Pattern::kUntilCr, kMaxListReplyLen, reply, trace);
    TraceReply(trace, c, reply, -1);
    if (sent)
        *sent = c.sent;
    if (c.overlong)
        return kListShort;
    const uint8_t* r = reply.Data();
    const AddressList list = ParseAddressList(r, c.length);
    if (list.kind != kListEntries)
        return list.kind;
    // Taken only whole: a list cut short or padded would put its block check
    // or strangers' bytes among the entries.
    const int64_t whole = 12 + 8 * static_cast<int64_t>(list.declared) + 2;
    if (c.length != whole || !AllHex(r + 4, 8))
        return kListShort;
    for (uint32_t i = 0; i < list.declared; ++i) {
        uint32_t value = 0;
        if (!AllHex(r + 12 + 8 * static_cast<size_t>(i), 8) ||
            !AddressListEntry(r, c.length, i, &value)) {
            if (entries)
                entries->clear();
            return kListShort;
        }
        if (entries)
            entries->push_back(value);
    }
    return kListEntries;
}

bool EnumeratedItemName(const WChar* typeName, char letter, uint32_t value, uint32_t highestAddress,
                        WChar* out, int cap) {
    if (!typeName || !out || cap < 1)
        return false;
    int width;
    if (value >= 100000)
        width = 6;
    else if (value >= 10000)
        width = 5;
    else if (letter == 'x' || letter == 'y')
        width = 4;
    else {
        width = 0;
        for (uint32_t h = highestAddress; h != 0 && width < 4; h /= 10)
            ++width;
        if (width == 0)
            width = 4;
    }
    char digits[16];
    std::snprintf(digits, sizeof digits, "%0*u", width, static_cast<unsigned>(value));
    int n = 0;
    for (const WChar* t = typeName; *t; ++t) {
        if (n + 1 >= cap)
            return false;
        out[n++] = *t;
    }
    for (const char* d = digits; *d; ++d) {
        if (n + 1 >= cap)
            return false;
        out[n++] = static_cast<WChar>(*d);
    }
    out[n] = 0;
    return true;
}

uint32_t ThisThreadId() {
    // Trivially initialised, so that no per-thread constructor runs; no
    // thread has the id 0.
    thread_local uint32_t id = 0;
    if (id == 0)
        id = plat::CurrentThreadId();
    return id;
}

int32_t EnumerationStatus(const CPlcDrvLink& link) {
    const auto* channel = dynamic_cast<const CEngineLinkChannel*>(link.Channel());
    return channel ? channel->EnumerationStatus() : kStatusOk;
}

} // namespace idec

// ---------------------------------------------------------------------------

CEngineLinkChannel::CEngineLinkChannel(const IDecOpenParams* params)
    : channel_(params), tickThread_(idec::ThisThreadId()), stopped_(false),
      enumerationStatus_(idec::kStatusOk), temporary_(nullptr), traceChecked_(false) {
    if (params && params->channelKind == model::kChannelSerial)
        serial_.reset(plat::NewObject<CIDecComSerial>(params));
}

CEngineLinkChannel::~CEngineLinkChannel() = default;

CLinkChannel* CEngineLinkChannel::Create(const IDecOpenParams* params) {
    std::unique_ptr<CEngineLinkChannel> made(plat::NewObject<CEngineLinkChannel>(params));
    // Without its line a serial link's channel would be a TCP one that never connects.
    if (made && params && params->channelKind == model::kChannelSerial && !made->serial_)
        return nullptr;
    return made.release();
}

int32_t CEngineLinkChannel::Open(bool blocking) {
    NoteTicking();
    return Line().Open(blocking);
}

bool CEngineLinkChannel::IsConnected(bool openIfClosed) {
    NoteTicking();
    return Line().IsConnected(openIfClosed);
}

int CEngineLinkChannel::Close() {
    if (idec::ThisThreadId() == tickThread_.load())
        return Line().Close();
    // A stop. Set before the lock, so that AttachTemporary either sees it or
    // leaves its channel here to be aborted.
    stopped_.store(true);
    temporaryLock_.Enter();
    if (temporary_)
        temporary_->Abort();
    temporaryLock_.Leave();
    return Line().Abort();
}

void CEngineLinkChannel::PrepareTrace(CPlcDrvLink& link) {
    if (traceChecked_)
        return;
    traceChecked_ = true;
    WChar path[plat::kMaxPath];
    CLinkTable* table = link.Owner();
    if (table && table->TraceFile(path, plat::kMaxPath))
        trace_.reset(plat::NewObject<idec::CFrameTrace>(path, link.Name()));
}

void CEngineLinkChannel::EnumeratePlc(CPlcDrvLink& link, CPlc& plc) {
    NoteTicking();
    PrepareTrace(link);
    idec::EnumeratePlcWith(link, plc, this);
}

bool CEngineLinkChannel::AttachTemporary(CIDecComEthernet* temporary) {
    temporaryLock_.Enter();
    const bool ok = !stopped_.load();
    if (ok)
        temporary_ = temporary;
    temporaryLock_.Leave();
    return ok;
}

void CEngineLinkChannel::DetachTemporary(CIDecComEthernet* temporary) {
    temporaryLock_.Enter();
    if (temporary_ == temporary)
        temporary_ = nullptr;
    temporaryLock_.Leave();
}
