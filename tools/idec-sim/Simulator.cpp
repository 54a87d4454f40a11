#include "IdecSim.h"

#include <atomic>
#include <chrono>
#include <deque>
#include <random>

#include "Animation.h"
#include "Frames.h"
#include "Plc.h"
#include "platform/sync.h"

namespace idecsim {

namespace {

const char* const kFaultNames[kFaultKindCount] = {
    "no-reply", "delay", "late",        "split",  "nak",          "error",
    "garbage",  "short", "close-after", "refuse", "never-answer",
};

// Bytes without a CR beyond this are no frame: answer and drop them rather
// than buffer without end.
constexpr size_t kMaxPending = 1024;
// How often idle threads look at the stop flag.
constexpr int32_t kPollMs = 50;
// How often a serial line without anyone on its other side is looked at
// again (a pty reads as hung up until a client opens it).
constexpr uint32_t kLineRetryMs = 25;
// How often animated values are brought up to date.
constexpr uint32_t kAnimateTickMs = 10;
constexpr int kAcceptBacklog = 64;

class Guard {
public:
    explicit Guard(plat::CriticalSection& cs) : cs_(cs) { cs_.Enter(); }
    ~Guard() { cs_.Leave(); }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

private:
    plat::CriticalSection& cs_;
};

struct RuleState {
    int id = 0;
    FaultRule rule;
    uint64_t seen = 0;
    uint64_t fired = 0;
};

struct Chosen {
    int kind = -1;
    FaultRule rule;
};

int64_t DelayOf(const Chosen& f) {
    if (f.kind == static_cast<int>(FaultKind::kDelay))
        return f.rule.ms < 0 ? 0 : f.rule.ms;
    if (f.kind == static_cast<int>(FaultKind::kLate))
        return f.rule.ms < 0 ? 6000 : f.rule.ms;
    return 0;
}

// The reply without its last `drop` data characters, checked afresh.
std::string Shorten(const std::string& reply, int drop) {
    const size_t n = reply.size();
    if (n < 7)
        return reply.substr(0, n / 2);
    const size_t data = n - 7;
    std::string out;
    if (data == 0) {
        out = reply.substr(0, n - 3); // nothing to drop: lose the block check
        out += kCr;
        return out;
    }
    const size_t keep = data > static_cast<size_t>(drop) ? data - static_cast<size_t>(drop) : 0;
    out = reply.substr(0, 4 + keep);
    out += BlockCheck(out);
    out += kCr;
    return out;
}

// What a connection reads requests from and writes replies to.
class Stream {
public:
    virtual ~Stream() {}
    // What arrives within ms: the count, 0 when nothing came, -1 when the
    // other side is gone.
    virtual int Read(char* buf, int cap, int32_t ms) = 0;
    // All of data; false when it cannot go, or on a stop.
    virtual bool Write(const char* data, size_t n) = 0;
    // True when the stream outlives its other side, for a client to come
    // back: a serial line does, a TCP connection ends with its client.
    virtual bool Stays() const = 0;
    // How long n characters take to arrive: a pseudo-terminal hands a
    // request over at once, where a real line takes its time for it.
    virtual uint64_t LineMicros(size_t) const { return 0; }
};

class SocketStream : public Stream {
public:
    SocketStream(plat::SocketHandle s, const std::atomic<bool>& stopping)
        : s_(s), stopping_(stopping) {}
    ~SocketStream() override {
        plat::SockShutdown(s_, plat::kShutBoth);
        plat::SockClose(s_);
    }
    void Begin() { plat::SockSetNonBlocking(s_, true); }
    int Read(char* buf, int cap, int32_t ms) override {
        const int r = plat::SockWait(s_, false, ms);
        if (r <= 0)
            return r;
        const int n = plat::SockRecv(s_, buf, cap);
        if (n < 0 && plat::NetLastError() == plat::wsa::kEwouldblock)
            return 0;
        return n > 0 ? n : -1;
    }
    // The socket does not block: a client that stops reading must not hold
    // up a stop, so a stop drops a connection whose send cannot go on.
    bool Write(const char* data, size_t n) override {
        while (n > 0) {
            int sent = plat::SockSend(s_, data, static_cast<int>(n));
            if (sent < 0 && plat::NetLastError() == plat::wsa::kEwouldblock) {
                if (stopping_.load() || plat::SockWait(s_, true, kPollMs) < 0)
                    return false;
                continue;
            }
            if (sent <= 0)
                return false;
            data += sent;
            n -= static_cast<size_t>(sent);
        }
        return true;
    }
    bool Stays() const override { return false; }

private:
    plat::SocketHandle s_;
    const std::atomic<bool>& stopping_;
};

class SerialStream : public Stream {
public:
    SerialStream(plat::SerialHandle h, uint32_t charMicros, plat::Event& stop)
        : h_(h), charMicros_(charMicros), stop_(stop) {}
    ~SerialStream() override { plat::SerialClose(h_); }
    int Read(char* buf, int cap, int32_t ms) override { return plat::SerialRead(h_, buf, cap, ms); }
    // A line carries a reply no faster than its speed: the bytes go out
    // once the time they take on the line has passed.
    bool Write(const char* data, size_t n) override {
        const uint64_t micros = static_cast<uint64_t>(charMicros_) * n;
        const uint32_t ms = static_cast<uint32_t>((micros + 999) / 1000);
        if (ms > 0 && stop_.Wait(ms) == plat::kWaitFirst)
            return false;
        return plat::SerialWrite(h_, data, static_cast<int>(n)) == static_cast<int>(n);
    }
    bool Stays() const override { return true; }
    uint64_t LineMicros(size_t n) const override { return static_cast<uint64_t>(charMicros_) * n; }

private:
    plat::SerialHandle h_;
    uint32_t charMicros_;
    plat::Event& stop_;
};

} // namespace

const char* FaultName(FaultKind kind) {
    int k = static_cast<int>(kind);
    return k >= 0 && k < kFaultKindCount ? kFaultNames[k] : "?";
}

bool FaultFromName(const std::string& name, FaultKind* kind) {
    for (int k = 0; k < kFaultKindCount; ++k) {
        if (name == kFaultNames[k]) {
            *kind = static_cast<FaultKind>(k);
            return true;
        }
    }
    return false;
}

class Simulator::Impl {
public:
    struct Conn {
        Impl* owner = nullptr;
        uint32_t id = 0;
        std::unique_ptr<Stream> stream; // closed as the connection's thread ends
        bool mute = false;
        uint64_t handled = 0;
        size_t junk = 0; // dropped since its last frame
        plat::Thread thread;
        std::atomic<bool> done{false};
    };

    // Everything below the lock line is guarded by lock.
    mutable plat::CriticalSection lock;
    Plc plc;
    std::vector<RuleState> rules;
    int nextRuleId = 1;
    uint64_t fired[kFaultKindCount] = {};
    std::mt19937 rng{1};
    int64_t closeAfter = -1;
    bool refuse = false;
    bool neverAnswer = false;
    std::deque<Exchange> log;
    size_t logLimit = 100000;
    uint64_t nextSeq = 1;
    std::vector<std::unique_ptr<Conn>> conns;
    std::vector<Animator> animators;
    uint64_t discarded = 0;

    // Set only while stopped.
    TraceFn trace;
    std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
    plat::SocketHandle listener = plat::kInvalidSocket;
    uint16_t port = 0;
    std::string serialPort; // the line served instead of TCP
    int lastError = 0;

    plat::CriticalSection traceLock;
    std::atomic<bool> running{false};
    std::atomic<bool> stopping{false};
    plat::Event stopEvent{true, false};
    plat::Thread acceptor;
    plat::Thread animator;
    std::atomic<uint32_t> openCount{0};
    std::atomic<uint32_t> totalCount{0};
    std::atomic<uint32_t> replyDelayMs{0};

    uint64_t Now() const {
        return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::steady_clock::now() - started)
                                         .count());
    }

    void Emit(TraceEvent::Kind kind, uint32_t conn, const std::string& bytes = std::string(),
              int fault = -1) {
        if (!trace)
            return;
        TraceEvent ev;
        ev.kind = kind;
        ev.connection = conn;
        ev.timeMs = Now();
        ev.bytes = bytes;
        ev.fault = fault;
        Guard g(traceLock);
        trace(ev);
    }

    // Under lock.
    uint64_t AppendLog(uint32_t conn, uint64_t time, const std::string& frame) {
        Exchange e;
        e.seq = nextSeq++;
        e.connection = conn;
        e.timeMs = time;
        e.request = frame;
        log.push_back(e);
        while (log.size() > logLimit)
            log.pop_front();
        return e.seq;
    }

    // Under lock.
    Exchange* LogEntry(uint64_t seq) {
        if (log.empty() || seq < log.front().seq)
            return nullptr;
        size_t i = static_cast<size_t>(seq - log.front().seq);
        return i < log.size() ? &log[i] : nullptr;
    }

    // Under lock: the first rule that fires for this request.
    Chosen Pick(uint32_t conn, char command, char letter) {
        Chosen c;
        for (RuleState& r : rules) {
            const FaultRule& f = r.rule;
            if ((f.connection && f.connection != conn) || (f.command && f.command != command) ||
                (f.letter && f.letter != letter))
                continue;
            if (f.count >= 0 && r.fired >= static_cast<uint64_t>(f.count))
                continue;
            if (++r.seen <= f.skip)
                continue;
            if (f.probability < 1.0 &&
                !(std::uniform_real_distribution<double>(0.0, 1.0)(rng) < f.probability))
                continue;
            ++r.fired;
            ++fired[static_cast<int>(f.kind)];
            c.kind = static_cast<int>(f.kind);
            c.rule = f;
            return c;
        }
        return c;
    }

    // Under lock.
    std::string Garbage(int n) {
        std::string g;
        std::uniform_int_distribution<int> byte(0, 255);
        while (static_cast<int>(g.size()) < n) {
            char b = static_cast<char>(byte(rng));
            if (b != kCr && b != kAck && b != kNak)
                g += b;
        }
        g += kCr;
        return g;
    }

    bool SendReply(Conn& c, const std::string& reply, const Chosen& f) {
        if (f.kind != static_cast<int>(FaultKind::kSplit))
            return c.stream->Write(reply.data(), reply.size());
        size_t parts = f.rule.parts > 0 ? static_cast<size_t>(f.rule.parts) : 2;
        if (parts > reply.size())
            parts = reply.size();
        const uint32_t pause = static_cast<uint32_t>(f.rule.ms < 0 ? 50 : f.rule.ms);
        size_t pos = 0;
        for (size_t i = 0; i < parts; ++i) {
            size_t len = i + 1 == parts ? reply.size() - pos : reply.size() / parts;
            if (i > 0 && stopEvent.Wait(pause) == plat::kWaitFirst)
                return false;
            if (!c.stream->Write(reply.data() + pos, len))
                return false;
            pos += len;
        }
        return true;
    }

    // Until the request's own time on the line and the reply delay have
    // passed since arrival; false on a stop.
    bool WaitReplyTime(const Conn& c, size_t requestChars,
                       std::chrono::steady_clock::time_point arrived) {
        const auto due = arrived + std::chrono::milliseconds(replyDelayMs.load()) +
                         std::chrono::microseconds(c.stream->LineMicros(requestChars));
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
                                  due - std::chrono::steady_clock::now())
                                  .count();
            if (left <= 0)
                return true;
            // Whole milliseconds, rounded up: never early.
            if (stopEvent.Wait(static_cast<uint32_t>((left + 999) / 1000)) == plat::kWaitFirst)
                return false;
        }
    }

    // One received frame; false when the connection is to be closed.
    bool HandleFrame(Conn& c, const std::string& frame,
                     std::chrono::steady_clock::time_point arrived) {
        const uint64_t now = Now();
        Chosen f;
        std::string reply;
        bool answer = false;
        bool closeNow = false;
        uint64_t seq = 0;
        {
            Guard g(lock);
            seq = AppendLog(c.id, now, frame);
            if (Exchange* e = LogEntry(seq))
                e->discarded = c.junk;
            c.junk = 0;
            if (c.mute) {
                ++fired[static_cast<int>(FaultKind::kNeverAnswer)];
                f.kind = static_cast<int>(FaultKind::kNeverAnswer);
            } else {
                Decoded d = plc.Decode(frame);
                if (d.kind != Decoded::kIgnore) {
                    const char command = frame.size() > 4 ? frame[4] : 0;
                    const char letter = frame.size() > 5 ? frame[5] : 0;
                    f = Pick(c.id, command, letter);
                    const FaultKind kind = static_cast<FaultKind>(f.kind);
                    if (f.kind < 0 || (kind != FaultKind::kNak && kind != FaultKind::kErrorCode))
                        reply = d.kind == Decoded::kReply ? d.reply : plc.Execute(d.request);
                    if (kind == FaultKind::kNak)
                        reply = NakReply(plc.Station(), f.rule.code < 0 ? kNakBcc : f.rule.code);
                    else if (kind == FaultKind::kErrorCode)
                        reply =
                            RefusalReply(plc.Station(), f.rule.code < 0 ? kNgRange : f.rule.code);
                    else if (kind == FaultKind::kGarbage)
                        reply = Garbage(f.rule.bytes > 0 ? f.rule.bytes : 8);
                    else if (kind == FaultKind::kShort)
                        reply = Shorten(reply, f.rule.bytes > 0 ? f.rule.bytes : 2);
                    answer = kind != FaultKind::kNoReply;
                    ++c.handled;
                    if (closeAfter > 0 && !c.stream->Stays() &&
                        c.handled >= static_cast<uint64_t>(closeAfter)) {
                        closeNow = true;
                        ++fired[static_cast<int>(FaultKind::kCloseAfter)];
                    }
                }
            }
            if (Exchange* e = LogEntry(seq))
                e->fault = f.kind;
        }
        Emit(TraceEvent::kRequest, c.id, frame);
        if (!answer) {
            if (f.kind >= 0)
                Emit(TraceEvent::kReply, c.id, std::string(), f.kind);
            return !closeNow;
        }
        if (!WaitReplyTime(c, frame.size(), arrived))
            return false;
        const int64_t delay = DelayOf(f);
        if (delay > 0 && stopEvent.Wait(static_cast<uint32_t>(delay)) == plat::kWaitFirst)
            return false;
        {
            Guard g(lock);
            if (Exchange* e = LogEntry(seq))
                e->reply = reply;
        }
        Emit(TraceEvent::kReply, c.id, reply, f.kind);
        if (!SendReply(c, reply, f))
            return false;
        return !closeNow;
    }

    void Discard(Conn& c, const std::string& junk) {
        {
            Guard g(lock);
            discarded += junk.size();
        }
        c.junk += junk.size();
        Emit(TraceEvent::kDiscarded, c.id, junk);
    }

    // Reads until the stream ends or a stop. Frames may arrive split and
    // after junk. A stream that stays (a serial line) is looked at again
    // when its other side went away, as a client may come back.
    void ConnLoop(Conn& c) {
        Emit(TraceEvent::kConnected, c.id);
        std::string pending;
        char buf[1024];
        while (!stopping.load()) {
            const int n = c.stream->Read(buf, static_cast<int>(sizeof buf), kPollMs);
            if (n == 0)
                continue;
            // A frame arrives with its last bytes: the reply delay counts from here.
            const auto arrived = std::chrono::steady_clock::now();
            bool keep = n > 0;
            if (keep)
                pending.append(buf, static_cast<size_t>(n));
            while (keep) {
                std::string frame, junk;
                const bool got = NextFrame(&pending, &frame, &junk);
                if (!junk.empty())
                    Discard(c, junk);
                if (!got)
                    break;
                keep = HandleFrame(c, frame, arrived);
            }
            if (keep && pending.size() > kMaxPending) {
                keep = HandleFrame(c, pending, arrived);
                pending.clear();
            }
            if (keep)
                continue;
            if (!c.stream->Stays())
                break;
            // A half frame of a client that left is no start for the next.
            if (!pending.empty())
                Discard(c, pending);
            pending.clear();
            stopEvent.Wait(kLineRetryMs);
        }
        c.stream.reset();
        --openCount;
        Emit(TraceEvent::kClosed, c.id);
        c.done.store(true);
    }

    static unsigned ConnMain(void* p) {
        Conn* c = static_cast<Conn*>(p);
        c->owner->ConnLoop(*c);
        return 0;
    }

    // Joins finished connection threads (all of them when stopping).
    void Reap(bool all) {
        std::vector<std::unique_ptr<Conn>> gone;
        {
            Guard g(lock);
            for (auto it = conns.begin(); it != conns.end();) {
                if (all || (*it)->done.load()) {
                    gone.push_back(std::move(*it));
                    it = conns.erase(it);
                } else {
                    ++it;
                }
            }
        }
        for (auto& c : gone)
            c->thread.Join(plat::kInfinite);
    }

    void AcceptLoop() {
        while (!stopping.load()) {
            Reap(false);
            int r = plat::SockWait(listener, false, kPollMs);
            if (r < 0) {
                stopEvent.Wait(kPollMs);
                continue;
            }
            if (r == 0)
                continue;
            plat::SocketHandle s = plat::SockAccept(listener);
            if (s == plat::kInvalidSocket)
                continue;
            const uint32_t id = ++totalCount;
            bool refuseNow = false;
            bool closeNow = false;
            bool mute = false;
            {
                Guard g(lock);
                refuseNow = refuse;
                closeNow = !refuse && closeAfter == 0;
                mute = neverAnswer;
                if (refuseNow)
                    ++fired[static_cast<int>(FaultKind::kRefuse)];
                if (closeNow)
                    ++fired[static_cast<int>(FaultKind::kCloseAfter)];
            }
            if (refuseNow || closeNow) {
                plat::SockClose(s);
                Emit(refuseNow ? TraceEvent::kRefused : TraceEvent::kClosed, id);
                continue;
            }
            std::unique_ptr<Conn> c(new Conn);
            c->owner = this;
            c->id = id;
            SocketStream* stream = new SocketStream(s, stopping);
            c->stream.reset(stream);
            stream->Begin();
            c->mute = mute;
            ++openCount;
            Conn* raw = c.get();
            {
                Guard g(lock);
                conns.push_back(std::move(c));
            }
            if (!raw->thread.Start(ConnMain, raw)) {
                raw->stream.reset();
                --openCount;
                raw->done.store(true);
            }
        }
    }

    static unsigned AcceptMain(void* p) {
        static_cast<Impl*>(p)->AcceptLoop();
        return 0;
    }

    void AnimateLoop() {
        while (stopEvent.Wait(kAnimateTickMs) != plat::kWaitFirst) {
            Guard g(lock);
            const uint64_t now = Now();
            for (Animator& a : animators) {
                const Animation& what = a.Settings();
                uint32_t current = 0;
                uint32_t next = 0;
                if (plc.GetValue(what.device, what.address, &current) &&
                    a.Next(now, current, rng, &next))
                    plc.SetValue(what.device, what.address, next);
            }
        }
    }

    static unsigned AnimateMain(void* p) {
        static_cast<Impl*>(p)->AnimateLoop();
        return 0;
    }

    // Counters, animations and the stop signal afresh for a start.
    void Reset() {
        started = std::chrono::steady_clock::now();
        {
            Guard g(lock);
            for (uint64_t& f : fired)
                f = 0;
            discarded = 0;
            for (Animator& a : animators)
                a.Restart(0);
        }
        totalCount.store(0);
        stopping.store(false);
        stopEvent.Reset();
    }

    // Serves an open line as connection 1 until a stop; takes the handle.
    bool ServeLine(plat::SerialHandle h, const plat::SerialSettings& settings,
                   const std::string& name) {
        Reset();
        std::unique_ptr<Conn> c(new Conn);
        c->owner = this;
        c->id = ++totalCount;
        c->stream.reset(new SerialStream(h, plat::SerialCharMicros(settings), stopEvent));
        Conn* raw = c.get();
        ++openCount;
        {
            Guard g(lock);
            c->mute = neverAnswer;
            conns.push_back(std::move(c));
        }
        if (!animator.Start(AnimateMain, this) || !raw->thread.Start(ConnMain, raw)) {
            stopping.store(true);
            stopEvent.Set();
            animator.Join(plat::kInfinite);
            if (!raw->thread.Started()) {
                raw->stream.reset();
                --openCount;
                raw->done.store(true);
            }
            Reap(true);
            lastError = plat::kSerialNoPort;
            return false;
        }
        port = 0;
        serialPort = name;
        running.store(true);
        return true;
    }

    // Under lock: the largest value a unit of the device holds; false when
    // the controller has no such device.
    bool UnitMax(const std::string& device, uint32_t* max) const {
        for (const DeviceType& t : plc.DeviceTypes()) {
            if (t.name != device)
                continue;
            if (t.bitDevice)
                *max = 1;
            else
                *max = t.unitSize >= 4 ? UINT32_MAX : (1u << (8 * t.unitSize)) - 1;
            return true;
        }
        return false;
    }
};

Simulator::Simulator() : impl_(new Impl) {}

Simulator::~Simulator() {
    Stop();
}

bool Simulator::LoadPlcFile(const WChar* path, std::string* error) {
    std::string ignored;
    std::string& err = error ? *error : ignored;
    if (Running()) {
        err = "the simulator is running";
        return false;
    }
    std::vector<DeviceType> types;
    if (!LoadPlcDefinition(path, &types, &err, nullptr))
        return false;
    Guard g(impl_->lock);
    impl_->plc.SetDeviceTypes(types);
    return true;
}

bool Simulator::LoadPlcText(const std::string& text, std::string* error) {
    std::string ignored;
    std::string& err = error ? *error : ignored;
    if (Running()) {
        err = "the simulator is running";
        return false;
    }
    std::vector<DeviceType> types;
    if (!ParsePlcDefinition(text, &types, &err, nullptr))
        return false;
    Guard g(impl_->lock);
    impl_->plc.SetDeviceTypes(types);
    return true;
}

std::vector<std::string> Simulator::DeviceNames() const {
    Guard g(impl_->lock);
    std::vector<std::string> names;
    for (const DeviceType& t : impl_->plc.DeviceTypes())
        names.push_back(t.name);
    return names;
}

void Simulator::SetStation(int station) {
    Guard g(impl_->lock);
    impl_->plc.SetStation(station);
}

int Simulator::Station() const {
    Guard g(impl_->lock);
    return impl_->plc.Station();
}

void Simulator::SetPresetsLocked(bool locked) {
    Guard g(impl_->lock);
    impl_->plc.SetPresetsLocked(locked);
}

uint16_t Simulator::Start(uint16_t port, uint32_t addrHost) {
    Impl& m = *impl_;
    if (m.running.load())
        return m.port;
    int rc = plat::NetStartup();
    if (rc != 0) {
        m.lastError = rc;
        return 0;
    }
    uint16_t bound = 0;
    m.listener = plat::SockListen(addrHost, port, kAcceptBacklog, &bound);
    if (m.listener == plat::kInvalidSocket) {
        m.lastError = plat::NetLastError();
        plat::NetCleanup();
        return 0;
    }
    m.Reset();
    if (!m.animator.Start(Impl::AnimateMain, &m) || !m.acceptor.Start(Impl::AcceptMain, &m)) {
        m.stopEvent.Set();
        m.animator.Join(plat::kInfinite);
        m.lastError = plat::wsa::kEnobufs;
        plat::SockClose(m.listener);
        m.listener = plat::kInvalidSocket;
        plat::NetCleanup();
        return 0;
    }
    m.port = bound;
    m.serialPort.clear();
    m.running.store(true);
    return bound;
}

bool Simulator::StartSerial(const std::string& port, const plat::SerialSettings& settings) {
    Impl& m = *impl_;
    if (m.running.load())
        return false;
    int error = plat::kSerialNoPort;
    const plat::SerialHandle h = plat::SerialOpen(port.c_str(), settings, &error);
    if (h == plat::kInvalidSerial) {
        m.lastError = error;
        return false;
    }
    return m.ServeLine(h, settings, port);
}

std::string Simulator::StartPty(const plat::SerialSettings& settings) {
    Impl& m = *impl_;
    if (m.running.load())
        return std::string();
    if (!plat::SerialSettingsValid(settings)) {
        m.lastError = plat::kSerialSettings;
        return std::string();
    }
    char path[256] = {};
    const plat::SerialHandle h = plat::SerialOpenPty(path, static_cast<int>(sizeof path));
    if (h == plat::kInvalidSerial) {
        m.lastError = plat::kSerialNoPort;
        return std::string();
    }
    return m.ServeLine(h, settings, path) ? std::string(path) : std::string();
}

void Simulator::Stop() {
    Impl& m = *impl_;
    if (!m.running.load())
        return;
    m.stopping.store(true);
    m.stopEvent.Set();
    m.acceptor.Join(plat::kInfinite);
    m.animator.Join(plat::kInfinite);
    const bool tcp = m.listener != plat::kInvalidSocket;
    if (tcp)
        plat::SockClose(m.listener);
    m.listener = plat::kInvalidSocket;
    m.Reap(true);
    if (tcp)
        plat::NetCleanup();
    m.running.store(false);
}

bool Simulator::Running() const {
    return impl_->running.load();
}
uint16_t Simulator::Port() const {
    return impl_->port;
}
std::string Simulator::SerialPort() const {
    return impl_->serialPort;
}
int Simulator::LastError() const {
    return impl_->lastError;
}

bool Simulator::SetValue(const std::string& device, uint32_t address, uint32_t value) {
    Guard g(impl_->lock);
    return impl_->plc.SetValue(device, address, value);
}

bool Simulator::GetValue(const std::string& device, uint32_t address, uint32_t* value) const {
    Guard g(impl_->lock);
    return impl_->plc.GetValue(device, address, value);
}

uint32_t Simulator::Value(const std::string& device, uint32_t address) const {
    uint32_t v = 0;
    return GetValue(device, address, &v) ? v : 0;
}

bool Simulator::SetAddressList(char letter, const std::vector<uint32_t>& addresses) {
    Guard g(impl_->lock);
    return impl_->plc.SetAddressList(letter, addresses);
}

std::vector<uint32_t> Simulator::AddressList(char letter) const {
    Guard g(impl_->lock);
    std::vector<uint32_t> list;
    impl_->plc.AddressList(letter, &list);
    return list;
}

bool Simulator::Animate(const Animation& a, std::string* error) {
    std::string ignored;
    std::string& err = error ? *error : ignored;
    Impl& m = *impl_;
    Guard g(m.lock);
    const std::string where = a.device + std::to_string(a.address);
    uint32_t max = 0;
    uint32_t current = 0;
    if (!m.UnitMax(a.device, &max)) {
        err = "no device " + a.device;
        return false;
    }
    if (!m.plc.GetValue(a.device, a.address, &current)) {
        err = where + " lies outside the device's ranges";
        return false;
    }
    const bool usesTo = a.kind == AnimationKind::kRamp || a.kind == AnimationKind::kSquare;
    if ((a.kind != AnimationKind::kCounter && a.from > max) || (usesTo && a.to > max)) {
        err = "a value above " + std::to_string(max) + ", the largest " + where + " holds";
        return false;
    }
    if (a.ms == 0 || (a.kind == AnimationKind::kWalk && a.step <= 0)) {
        err = "no period, or a walk without a step";
        return false;
    }
    Animator animator(a, max, m.running.load() ? m.Now() : 0);
    uint32_t initial = current;
    animator.Initial(&initial);
    // Also puts the address into the answers of address-list queries.
    m.plc.SetValue(a.device, a.address, initial);
    m.animators.push_back(animator);
    return true;
}

void Simulator::ClearAnimations() {
    Guard g(impl_->lock);
    impl_->animators.clear();
}

int Simulator::AddFault(const FaultRule& rule) {
    Guard g(impl_->lock);
    RuleState r;
    r.id = impl_->nextRuleId++;
    r.rule = rule;
    impl_->rules.push_back(r);
    return r.id;
}

void Simulator::RemoveFault(int id) {
    Guard g(impl_->lock);
    auto& rules = impl_->rules;
    for (auto it = rules.begin(); it != rules.end(); ++it) {
        if (it->id == id) {
            rules.erase(it);
            return;
        }
    }
}

void Simulator::ClearFaults() {
    Guard g(impl_->lock);
    impl_->rules.clear();
}

void Simulator::SetCloseAfter(int64_t requests) {
    Guard g(impl_->lock);
    impl_->closeAfter = requests < 0 ? -1 : requests;
}

void Simulator::SetRefuseConnections(bool refuse) {
    Guard g(impl_->lock);
    impl_->refuse = refuse;
}

void Simulator::SetNeverAnswer(bool mute) {
    Guard g(impl_->lock);
    impl_->neverAnswer = mute;
}

void Simulator::SetReplyDelay(uint32_t ms) {
    impl_->replyDelayMs.store(ms);
}

uint32_t Simulator::ReplyDelay() const {
    return impl_->replyDelayMs.load();
}

uint64_t Simulator::Fired(FaultKind kind) const {
    int k = static_cast<int>(kind);
    if (k < 0 || k >= kFaultKindCount)
        return 0;
    Guard g(impl_->lock);
    return impl_->fired[k];
}

uint64_t Simulator::RuleFired(int id) const {
    Guard g(impl_->lock);
    for (const RuleState& r : impl_->rules)
        if (r.id == id)
            return r.fired;
    return 0;
}

void Simulator::SetSeed(uint32_t seed) {
    Guard g(impl_->lock);
    impl_->rng.seed(seed);
}

std::vector<Exchange> Simulator::FrameLog() const {
    Guard g(impl_->lock);
    return std::vector<Exchange>(impl_->log.begin(), impl_->log.end());
}

uint64_t Simulator::DiscardedBytes() const {
    Guard g(impl_->lock);
    return impl_->discarded;
}

void Simulator::ClearFrameLog() {
    Guard g(impl_->lock);
    impl_->log.clear();
}

void Simulator::SetFrameLogLimit(size_t entries) {
    Guard g(impl_->lock);
    impl_->logLimit = entries;
    while (impl_->log.size() > entries)
        impl_->log.pop_front();
}

void Simulator::SetTrace(TraceFn fn) {
    if (!Running())
        impl_->trace = std::move(fn);
}

uint32_t Simulator::ConnectionCount() const {
    return impl_->openCount.load();
}
uint32_t Simulator::TotalConnections() const {
    return impl_->totalCount.load();
}

} // namespace idecsim
