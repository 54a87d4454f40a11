// TCP sockets in the manner of WinSock 1.1. Errors are WinSock codes
// (platform/wsaerrors.h) on every platform, read with NetLastError().
//
// Every call goes through a table of function pointers (SocketOps) that tests
// may replace, to fail the Nth call with a chosen code or to shorten a read.
#pragma once

#include "platform/types.h"
#include "platform/wsaerrors.h"

namespace plat {

typedef intptr_t SocketHandle;
constexpr SocketHandle kInvalidSocket = -1;
constexpr uint32_t kInaddrNone = 0xFFFFFFFFu;
constexpr uint32_t kInaddrLoopback = 0x7F000001u; // host order
constexpr int kSockStream = 1;

enum ShutdownHow : int { kShutRecv = 0, kShutSend = 1, kShutBoth = 2 };

struct SocketOps {
    // 0 or a WinSock code. Windows starts WinSock on the first call only and
    // never in the module's entry; cleanup does nothing there (WSACleanup may
    // not run where the last channel can go: the entry, the loader's lock),
    // and the process's end releases WinSock. POSIX has nothing to start.
    int (*startup)();
    void (*cleanup)();
    int (*lastError)();
    void (*setLastError)(int code);
    SocketHandle (*createTcp)();
    // 0 connected; -1 failed (lastError). Blocks until connected or refused.
    int (*connect)(SocketHandle s, uint32_t addrNet, uint16_t portNet);
    int (*setNonBlocking)(SocketHandle s, bool nonBlocking);
    // 1 ready, 0 time-out, -1 error. ms < 0 waits without limit.
    int (*wait)(SocketHandle s, bool forWrite, int32_t ms);
    int (*send)(SocketHandle s, const void* data, int len); // count or -1
    int (*recv)(SocketHandle s, void* buf, int cap);        // count, 0 closed, -1 error
    int (*shutdown)(SocketHandle s, int how);
    int (*close)(SocketHandle s);
    int (*getType)(SocketHandle s, int* type);           // 0 or -1
    uint32_t (*inetAddr)(const char* dotted);            // network order, kInaddrNone if not dotted
    int (*resolve)(const char* name, uint32_t* addrNet); // 0 or -1 (lastError)
    // Listening socket on addr (host order) and port (host order, 0 = any);
    // the bound port (host order) is stored in *boundPort when not null.
    SocketHandle (*listen)(uint32_t addrHost, uint16_t portHost, int backlog, uint16_t* boundPort);
    SocketHandle (*accept)(SocketHandle listener);
};

// The live table; tests may change entries and must restore them
// (ResetSocketOps) before they end.
SocketOps& SocketOpsTable();
const SocketOps& DefaultSocketOps();
void ResetSocketOps();

inline int NetStartup() {
    return SocketOpsTable().startup();
}
inline void NetCleanup() {
    SocketOpsTable().cleanup();
}
inline int NetLastError() {
    return SocketOpsTable().lastError();
}
inline void NetSetLastError(int code) {
    SocketOpsTable().setLastError(code);
}
inline SocketHandle SockCreateTcp() {
    return SocketOpsTable().createTcp();
}
inline int SockConnect(SocketHandle s, uint32_t addrNet, uint16_t portNet) {
    return SocketOpsTable().connect(s, addrNet, portNet);
}
inline int SockSetNonBlocking(SocketHandle s, bool on) {
    return SocketOpsTable().setNonBlocking(s, on);
}
inline int SockWait(SocketHandle s, bool forWrite, int32_t ms) {
    return SocketOpsTable().wait(s, forWrite, ms);
}
inline int SockSend(SocketHandle s, const void* d, int n) {
    return SocketOpsTable().send(s, d, n);
}
inline int SockRecv(SocketHandle s, void* b, int n) {
    return SocketOpsTable().recv(s, b, n);
}
inline int SockShutdown(SocketHandle s, int how) {
    return SocketOpsTable().shutdown(s, how);
}
inline int SockClose(SocketHandle s) {
    return SocketOpsTable().close(s);
}
inline int SockGetType(SocketHandle s, int* t) {
    return SocketOpsTable().getType(s, t);
}
inline uint32_t InetAddr(const char* dotted) {
    return SocketOpsTable().inetAddr(dotted);
}
inline int ResolveHostName(const char* name, uint32_t* addrNet) {
    return SocketOpsTable().resolve(name, addrNet);
}
inline SocketHandle SockListen(uint32_t addrHost, uint16_t portHost, int backlog, uint16_t* bound) {
    return SocketOpsTable().listen(addrHost, portHost, backlog, bound);
}
inline SocketHandle SockAccept(SocketHandle listener) {
    return SocketOpsTable().accept(listener);
}

uint16_t HostToNet16(uint16_t v);
uint32_t HostToNet32(uint32_t v);
inline uint16_t NetToHost16(uint16_t v) {
    return HostToNet16(v);
}
inline uint32_t NetToHost32(uint32_t v) {
    return HostToNet32(v);
}

} // namespace plat
