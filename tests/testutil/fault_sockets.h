// Scripted socket faults: replaces entries of plat::SocketOpsTable() so that a
// chosen call of an operation fails with a WinSock code, or a send or receive
// moves fewer bytes. The table is restored when the object goes.
#pragma once

#include <cstdlib>
#include <functional>
#include <mutex>
#include <vector>

#include "platform/socket.h"

namespace testutil {

enum class SockOp {
    kCreate,
    kConnect,
    kWait,
    kSend,
    kRecv,
    kShutdown,
    kClose,
    kGetType,
    kResolve,
    kAccept
};

using plat::SocketHandle;

class FaultSockets {
public:
    // Only one may be alive at a time.
    FaultSockets();
    ~FaultSockets();
    FaultSockets(const FaultSockets&) = delete;
    FaultSockets& operator=(const FaultSockets&) = delete;

    // Calls nth .. nth+times-1 of op (counted from 1 since this object was
    // made) fail: -1 or the invalid socket, with code as the last error.
    void FailNth(SockOp op, int nth, int code, int times = 1);
    // The nth send or receive moves at most maxBytes (op kSend or kRecv).
    void LimitNth(SockOp op, int nth, int maxBytes);
    // The same, counted from the next call on.
    void FailNext(SockOp op, int code, int times = 1) { FailNth(op, Calls(op) + 1, code, times); }

    // Calls of op seen so far, and how many scripted faults have fired.
    int Calls(SockOp op) const;
    int Fired() const;

    // Sees every connect, send and receive on the calling thread before it
    // goes on (a test may act there while a request is held back); a code
    // it returns fails the call with that code, 0 lets it pass. A send
    // shows its bytes, a connect its port (uint16_t, network order), a
    // receive nothing.
    using Hook = std::function<int(SockOp op, const void* data, int len)>;
    void SetHook(Hook hook);

private:
    struct Rule {
        SockOp op;
        int first;
        int last;
        int code;     // failure code, or 0 for a limit
        int maxBytes; // for a limit
    };
    enum Verdict { kPass, kFail, kLimit };

    static int Slot(SockOp op) { return static_cast<int>(op); }
    Verdict Next(SockOp op, int* codeOrLimit);
    int Ask(SockOp op, const void* data, int len);
    int Gate(SockOp op, const void* data, int len);
    // A call of op through the saved table's entry; failed, it returns bad.
    template <SockOp op, auto entry, typename R, typename... A> static R Call(R bad, A... a);
    template <SockOp op, auto entry, typename R, typename... A> static R Pass(A... a) {
        return Call<op, entry>(R(-1), a...);
    }
    static SocketHandle Create() {
        return Call<SockOp::kCreate, &plat::SocketOps::createTcp>(plat::kInvalidSocket);
    }
    static SocketHandle Accept(SocketHandle l) {
        return Call<SockOp::kAccept, &plat::SocketOps::accept>(plat::kInvalidSocket, l);
    }
    static int Connect(SocketHandle s, uint32_t addr, uint16_t port);
    static int Send(SocketHandle s, const void* data, int len);
    static int Recv(SocketHandle s, void* buf, int cap);
    static int Close(SocketHandle s);

    plat::SocketOps saved_;
    mutable std::mutex m_;
    std::vector<Rule> rules_;
    int calls_[10] = {};
    int fired_ = 0;
    Hook hook_;
};

namespace detail {
// The table holds plain function pointers, so the wrappers find their script here.
inline FaultSockets* gActive = nullptr;
} // namespace detail
using detail::gActive;

inline FaultSockets::FaultSockets() : saved_(plat::SocketOpsTable()) {
    if (gActive)
        std::abort(); // two scripts would fight over one table
    gActive = this;
    plat::SocketOps& t = plat::SocketOpsTable();
    t.createTcp = Create;
    t.connect = Connect;
    t.wait = Pass<SockOp::kWait, &plat::SocketOps::wait, int, SocketHandle, bool, int32_t>;
    t.send = Send;
    t.recv = Recv;
    t.shutdown = Pass<SockOp::kShutdown, &plat::SocketOps::shutdown, int, SocketHandle, int>;
    t.close = Close;
    t.getType = Pass<SockOp::kGetType, &plat::SocketOps::getType, int, SocketHandle, int*>;
    t.resolve = Pass<SockOp::kResolve, &plat::SocketOps::resolve, int, const char*, uint32_t*>;
    t.accept = Accept;
}

inline FaultSockets::~FaultSockets() {
    plat::SocketOpsTable() = saved_;
    gActive = nullptr;
}

inline void FaultSockets::FailNth(SockOp op, int nth, int code, int times) {
    std::lock_guard<std::mutex> lock(m_);
    rules_.push_back(Rule{op, nth, nth + times - 1, code, 0});
}

inline void FaultSockets::LimitNth(SockOp op, int nth, int maxBytes) {
    std::lock_guard<std::mutex> lock(m_);
    rules_.push_back(Rule{op, nth, nth, 0, maxBytes});
}

inline void FaultSockets::SetHook(Hook hook) {
    std::lock_guard<std::mutex> lock(m_);
    hook_ = std::move(hook);
}

inline int FaultSockets::Ask(SockOp op, const void* data, int len) {
    Hook hook;
    {
        std::lock_guard<std::mutex> lock(m_);
        hook = hook_;
    }
    return hook ? hook(op, data, len) : 0;
}

inline int FaultSockets::Calls(SockOp op) const {
    std::lock_guard<std::mutex> lock(m_);
    return calls_[Slot(op)];
}

inline int FaultSockets::Fired() const {
    std::lock_guard<std::mutex> lock(m_);
    return fired_;
}

inline FaultSockets::Verdict FaultSockets::Next(SockOp op, int* codeOrLimit) {
    std::lock_guard<std::mutex> lock(m_);
    int n = ++calls_[Slot(op)];
    for (const Rule& r : rules_) {
        if (r.op != op || n < r.first || n > r.last)
            continue;
        ++fired_;
        if (r.code != 0) {
            *codeOrLimit = r.code;
            return kFail;
        }
        *codeOrLimit = r.maxBytes;
        return kLimit;
    }
    return kPass;
}

template <SockOp op, auto entry, typename R, typename... A> R FaultSockets::Call(R bad, A... a) {
    int v;
    if (gActive->Next(op, &v) != kFail)
        return (gActive->saved_.*entry)(a...);
    gActive->saved_.setLastError(v);
    return bad;
}

inline int FaultSockets::Connect(SocketHandle s, uint32_t addr, uint16_t port) {
    if (int code = gActive->Ask(SockOp::kConnect, &port, sizeof port))
        return gActive->saved_.setLastError(code), -1;
    return Pass<SockOp::kConnect, &plat::SocketOps::connect, int>(s, addr, port);
}

// A send or receive: the hook first, then a failure (-1, the code set) or a
// limit of the bytes it may move.
inline int FaultSockets::Gate(SockOp op, const void* data, int len) {
    int v = Ask(op, data, len);
    const Verdict verdict = v ? kFail : Next(op, &v);
    if (verdict == kFail)
        return saved_.setLastError(v), -1;
    return verdict == kLimit && v < len ? v : len;
}

inline int FaultSockets::Send(SocketHandle s, const void* data, int len) {
    const int n = gActive->Gate(SockOp::kSend, data, len);
    return n < 0 ? -1 : gActive->saved_.send(s, data, n);
}

inline int FaultSockets::Recv(SocketHandle s, void* buf, int cap) {
    const int n = gActive->Gate(SockOp::kRecv, nullptr, cap);
    return n < 0 ? -1 : gActive->saved_.recv(s, buf, n);
}

inline int FaultSockets::Close(SocketHandle s) {
    int v;
    const bool fail = gActive->Next(SockOp::kClose, &v) == kFail;
    const int r = gActive->saved_.close(s); // failed or not: the handle must not leak
    if (fail)
        gActive->saved_.setLastError(v);
    return fail ? -1 : r;
}

} // namespace testutil
