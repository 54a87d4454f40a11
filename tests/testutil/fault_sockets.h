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

class FaultSockets;
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
    void LimitNext(SockOp op, int maxBytes) { LimitNth(op, Calls(op) + 1, maxBytes); }

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

    static SocketHandle Create();
    static int Connect(SocketHandle s, uint32_t addr, uint16_t port);
    static int Wait(SocketHandle s, bool forWrite, int32_t ms);
    static int Send(SocketHandle s, const void* data, int len);
    static int Recv(SocketHandle s, void* buf, int cap);
    static int Shutdown(SocketHandle s, int how);
    static int Close(SocketHandle s);
    static int GetType(SocketHandle s, int* type);
    static int Resolve(const char* name, uint32_t* addr);
    static SocketHandle Accept(SocketHandle listener);
    static int Fail(int code);

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
    t.wait = Wait;
    t.send = Send;
    t.recv = Recv;
    t.shutdown = Shutdown;
    t.close = Close;
    t.getType = GetType;
    t.resolve = Resolve;
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

inline int FaultSockets::Fail(int code) {
    gActive->saved_.setLastError(code);
    return -1;
}

inline SocketHandle FaultSockets::Create() {
    int v;
    if (gActive->Next(SockOp::kCreate, &v) == kFail) {
        Fail(v);
        return plat::kInvalidSocket;
    }
    return gActive->saved_.createTcp();
}

inline int FaultSockets::Connect(SocketHandle s, uint32_t addr, uint16_t port) {
    if (int code = gActive->Ask(SockOp::kConnect, &port, sizeof port))
        return Fail(code);
    int v;
    if (gActive->Next(SockOp::kConnect, &v) == kFail)
        return Fail(v);
    return gActive->saved_.connect(s, addr, port);
}

inline int FaultSockets::Wait(SocketHandle s, bool forWrite, int32_t ms) {
    int v;
    if (gActive->Next(SockOp::kWait, &v) == kFail)
        return Fail(v);
    return gActive->saved_.wait(s, forWrite, ms);
}

inline int FaultSockets::Send(SocketHandle s, const void* data, int len) {
    if (int code = gActive->Ask(SockOp::kSend, data, len))
        return Fail(code);
    int v;
    switch (gActive->Next(SockOp::kSend, &v)) {
    case kFail:
        return Fail(v);
    case kLimit:
        return gActive->saved_.send(s, data, len < v ? len : v);
    default:
        return gActive->saved_.send(s, data, len);
    }
}

inline int FaultSockets::Recv(SocketHandle s, void* buf, int cap) {
    if (int code = gActive->Ask(SockOp::kRecv, nullptr, cap))
        return Fail(code);
    int v;
    switch (gActive->Next(SockOp::kRecv, &v)) {
    case kFail:
        return Fail(v);
    case kLimit:
        return gActive->saved_.recv(s, buf, cap < v ? cap : v);
    default:
        return gActive->saved_.recv(s, buf, cap);
    }
}

inline int FaultSockets::Shutdown(SocketHandle s, int how) {
    int v;
    if (gActive->Next(SockOp::kShutdown, &v) == kFail)
        return Fail(v);
    return gActive->saved_.shutdown(s, how);
}

inline int FaultSockets::Close(SocketHandle s) {
    int v;
    if (gActive->Next(SockOp::kClose, &v) == kFail) {
        // The handle is still released: a failed close must not leak it.
        gActive->saved_.close(s);
        return Fail(v);
    }
    return gActive->saved_.close(s);
}

inline int FaultSockets::GetType(SocketHandle s, int* type) {
    int v;
    if (gActive->Next(SockOp::kGetType, &v) == kFail)
        return Fail(v);
    return gActive->saved_.getType(s, type);
}

inline int FaultSockets::Resolve(const char* name, uint32_t* addr) {
    int v;
    if (gActive->Next(SockOp::kResolve, &v) == kFail)
        return Fail(v);
    return gActive->saved_.resolve(name, addr);
}

inline SocketHandle FaultSockets::Accept(SocketHandle listener) {
    int v;
    if (gActive->Next(SockOp::kAccept, &v) == kFail) {
        Fail(v);
        return plat::kInvalidSocket;
    }
    return gActive->saved_.accept(listener);
}

} // namespace testutil
