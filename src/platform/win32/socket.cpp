#include "platform/socket.h"

#include <cstring>

#include <winsock2.h>
#include <windows.h>

namespace plat {

namespace {

SOCKET Sock(SocketHandle s) {
    return static_cast<SOCKET>(s);
}

SocketHandle Handle(SOCKET s) {
    return s == INVALID_SOCKET ? kInvalidSocket : static_cast<SocketHandle>(s);
}

// WinSock is started once, by the first call, and never cleaned up here: the
// last channel may go inside the module's entry (unload) or under the
// loader's lock (a host's static destructor), where WSACleanup must not run.
// The process's end releases it.
INIT_ONCE g_startOnce = INIT_ONCE_STATIC_INIT;
int g_startResult = WSANOTINITIALISED;

BOOL CALLBACK StartOnce(PINIT_ONCE, PVOID, PVOID*) {
    // The driver asks for WinSock 1.1; any later DLL grants it.
    WSADATA data;
    g_startResult = WSAStartup(MAKEWORD(1, 1), &data);
    return g_startResult == 0;
}

int Startup() {
    if (!InitOnceExecuteOnce(&g_startOnce, StartOnce, nullptr, nullptr))
        return g_startResult != 0 ? g_startResult : WSASYSNOTREADY;
    return 0;
}

void Cleanup() {}
int LastError() {
    return WSAGetLastError();
}
void SetLastErr(int code) {
    WSASetLastError(code);
}

SocketHandle CreateTcp() {
    return Handle(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
}

int Connect(SocketHandle s, uint32_t addrNet, uint16_t portNet) {
    sockaddr_in sa;
    std::memset(&sa, 0, sizeof(sa));
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = addrNet;
    sa.sin_port = portNet;
    return ::connect(Sock(s), reinterpret_cast<const sockaddr*>(&sa), sizeof(sa)) == SOCKET_ERROR
               ? -1
               : 0;
}

int SetNonBlocking(SocketHandle s, bool nonBlocking) {
    u_long mode = nonBlocking ? 1 : 0;
    return ioctlsocket(Sock(s), FIONBIO, &mode) == SOCKET_ERROR ? -1 : 0;
}

int Wait(SocketHandle s, bool forWrite, int32_t ms) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(Sock(s), &set);
    // Windows reports a failed non-blocking connect through the exception set
    // only; without it a write wait would run into its time-out.
    fd_set except;
    FD_ZERO(&except);
    if (forWrite)
        FD_SET(Sock(s), &except);
    timeval tv;
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (ms % 1000) * 1000;
    int rc = ::select(0, forWrite ? nullptr : &set, forWrite ? &set : nullptr,
                      forWrite ? &except : nullptr, ms < 0 ? nullptr : &tv);
    if (rc == SOCKET_ERROR)
        return -1;
    if (rc == 0)
        return 0;
    if (FD_ISSET(Sock(s), &set))
        return 1;
    if (forWrite && FD_ISSET(Sock(s), &except)) {
        int err = 0;
        int len = sizeof(err);
        if (::getsockopt(Sock(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len) != 0 ||
            err == 0)
            err = WSAECONNREFUSED;
        WSASetLastError(err);
        return -1;
    }
    return 0;
}

int Send(SocketHandle s, const void* data, int len) {
    int rc = ::send(Sock(s), static_cast<const char*>(data), len, 0);
    return rc == SOCKET_ERROR ? -1 : rc;
}

int Recv(SocketHandle s, void* buf, int cap) {
    int rc = ::recv(Sock(s), static_cast<char*>(buf), cap, 0);
    return rc == SOCKET_ERROR ? -1 : rc;
}

int Shutdown(SocketHandle s, int how) {
    return ::shutdown(Sock(s), how) == SOCKET_ERROR ? -1 : 0;
}

int Close(SocketHandle s) {
    return ::closesocket(Sock(s)) == SOCKET_ERROR ? -1 : 0;
}

int GetType(SocketHandle s, int* type) {
    int t = 0;
    int len = sizeof(t);
    if (::getsockopt(Sock(s), SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&t), &len) ==
        SOCKET_ERROR)
        return -1;
    if (type)
        *type = t;
    return 0;
}

uint32_t InetAddrOp(const char* dotted) {
    if (!dotted)
        return kInaddrNone;
    return ::inet_addr(dotted);
}

int Resolve(const char* name, uint32_t* addrNet) {
    if (!name || !addrNet) {
        WSASetLastError(WSAEFAULT);
        return -1;
    }
    const hostent* h = ::gethostbyname(name);
    if (!h)
        return -1;
    if (h->h_addrtype != AF_INET || h->h_length != 4 || !h->h_addr_list || !h->h_addr_list[0]) {
        WSASetLastError(WSANO_DATA);
        return -1;
    }
    std::memcpy(addrNet, h->h_addr_list[0], 4);
    return 0;
}

SocketHandle Listen(uint32_t addrHost, uint16_t portHost, int backlog, uint16_t* boundPort) {
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET)
        return kInvalidSocket;
    // No SO_REUSEADDR: on Windows it would let a second listener steal the port.
    BOOL exclusive = TRUE;
    ::setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive),
                 sizeof(exclusive));
    sockaddr_in sa;
    std::memset(&sa, 0, sizeof(sa));
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(addrHost);
    sa.sin_port = htons(portHost);
    int len = sizeof(sa);
    if (::bind(s, reinterpret_cast<const sockaddr*>(&sa), sizeof(sa)) == SOCKET_ERROR ||
        ::listen(s, backlog) == SOCKET_ERROR ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len) == SOCKET_ERROR) {
        int err = WSAGetLastError();
        ::closesocket(s);
        WSASetLastError(err);
        return kInvalidSocket;
    }
    if (boundPort)
        *boundPort = ntohs(sa.sin_port);
    return static_cast<SocketHandle>(s);
}

SocketHandle Accept(SocketHandle listener) {
    return Handle(::accept(Sock(listener), nullptr, nullptr));
}

const SocketOps kDefaultOps = {
    Startup, Cleanup,  LastError, SetLastErr, CreateTcp,  Connect, SetNonBlocking, Wait,   Send,
    Recv,    Shutdown, Close,     GetType,    InetAddrOp, Resolve, Listen,         Accept,
};

} // namespace

const SocketOps& DefaultSocketOps() {
    return kDefaultOps;
}

} // namespace plat
