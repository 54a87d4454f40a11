// BSD sockets behind the WinSock-shaped table. errno is turned into the
// WinSock number once, here, so callers and error texts see one set of codes.
#include "platform/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

namespace plat {

namespace {

thread_local int tLastError = 0;

int MapErrno(int e) {
    switch (e) {
    case 0:
        return 0;
    case EINTR:
        return wsa::kEintr;
    case EBADF:
        return wsa::kEnotsock; // closesocket on a stale handle says "not a socket"
    case EACCES:
    case EPERM:
        return wsa::kEacces;
    case EFAULT:
        return wsa::kEfault;
    case EINVAL:
        return wsa::kEinval;
    case EMFILE:
    case ENFILE:
        return wsa::kEmfile;
#if EAGAIN != EWOULDBLOCK
    case EAGAIN:
#endif
    case EWOULDBLOCK:
        return wsa::kEwouldblock;
    case EINPROGRESS:
        return wsa::kEinprogress;
    case EALREADY:
        return wsa::kEalready;
    case ENOTSOCK:
        return wsa::kEnotsock;
    case EDESTADDRREQ:
        return wsa::kEdestaddrreq;
    case EMSGSIZE:
        return wsa::kEmsgsize;
    case EPROTOTYPE:
        return wsa::kEprototype;
    case ENOPROTOOPT:
        return wsa::kEnoprotoopt;
    case EPROTONOSUPPORT:
        return wsa::kEprotonosupport;
    case ESOCKTNOSUPPORT:
        return wsa::kEsocktnosupport;
#if EOPNOTSUPP != ENOTSUP
    case ENOTSUP:
#endif
    case EOPNOTSUPP:
        return wsa::kEopnotsupp;
    case EPFNOSUPPORT:
        return wsa::kEpfnosupport;
    case EAFNOSUPPORT:
        return wsa::kEafnosupport;
    case EADDRINUSE:
        return wsa::kEaddrinuse;
    case EADDRNOTAVAIL:
        return wsa::kEaddrnotavail;
    case ENETDOWN:
        return wsa::kEnetdown;
    case ENETUNREACH:
        return wsa::kEnetunreach;
    case ENETRESET:
        return wsa::kEnetreset;
    case ECONNABORTED:
        return wsa::kEconnaborted;
    case ECONNRESET:
        return wsa::kEconnreset;
    // A send to a peer that has gone; both this and a shutdown are disconnects.
    case EPIPE:
        return wsa::kEconnreset;
    case ENOBUFS:
    case ENOMEM:
        return wsa::kEnobufs;
    case EISCONN:
        return wsa::kEisconn;
    case ENOTCONN:
        return wsa::kEnotconn;
    case ESHUTDOWN:
        return wsa::kEshutdown;
    case ETOOMANYREFS:
        return wsa::kEtoomanyrefs;
    case ETIMEDOUT:
        return wsa::kEtimedout;
    case ECONNREFUSED:
        return wsa::kEconnrefused;
    case ELOOP:
        return wsa::kEloop;
    case ENAMETOOLONG:
        return wsa::kEnametoolong;
    case EHOSTDOWN:
        return wsa::kEhostdown;
    case EHOSTUNREACH:
        return wsa::kEhostunreach;
    case ENOTEMPTY:
        return wsa::kEnotempty;
    case EUSERS:
        return wsa::kEusers;
    case EDQUOT:
        return wsa::kEdquot;
    case ESTALE:
        return wsa::kEstale;
    case EREMOTE:
        return wsa::kEremote;
    // Never hand out a raw errno: ENETDOWN and its neighbours are 100..102
    // here, which the driver uses for codes of its own.
    default:
        return wsa::kEinval;
    }
}

int FailErrno() {
    tLastError = MapErrno(errno);
    return -1;
}

int Fail(int code) {
    tLastError = code;
    return -1;
}

int Fd(SocketHandle s) {
    return static_cast<int>(s);
}

bool BadHandle(SocketHandle s) {
    return s < 0 || s > 0x7FFFFFFF;
}

// Calls in flight per descriptor. A close from another thread (a link stop
// while its worker waits in a receive) first wakes them with a shutdown and
// lets them leave: closing under them would let the number be reused by the
// next socket while they still act on it. WinSock gives that for free.
struct InFlight {
    std::mutex m;
    std::condition_variable cv;
    std::unordered_map<int, int> users;
    std::unordered_set<int> closing;
};

InFlight& Flights() {
    static InFlight* f = new InFlight; // never destroyed: sockets may outlive static teardown
    return *f;
}

// Registers one call on a socket for its duration; fails for a socket that is
// being closed, as WinSock fails a closed one.
class Use {
public:
    explicit Use(SocketHandle s) {
        if (s < 0 || s > 0x7FFFFFFF)
            return;
        InFlight& f = Flights();
        std::lock_guard<std::mutex> lock(f.m);
        int fd = static_cast<int>(s);
        if (f.closing.count(fd))
            return;
        ++f.users[fd];
        fd_ = fd;
    }
    ~Use() {
        if (fd_ < 0)
            return;
        InFlight& f = Flights();
        std::lock_guard<std::mutex> lock(f.m);
        auto it = f.users.find(fd_);
        if (it != f.users.end() && --it->second == 0) {
            f.users.erase(it);
            f.cv.notify_all();
        }
    }
    Use(const Use&) = delete;
    Use& operator=(const Use&) = delete;
    bool Ok() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

int64_t NowMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int DoStartup() {
    return 0;
}
void DoCleanup() {}
int DoLastError() {
    return tLastError;
}
void DoSetLastError(int code) {
    tLastError = code;
}

SocketHandle DoCreateTcp() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        FailErrno();
        return kInvalidSocket;
    }
    return fd;
}

// Waits for fd to reach the state; 1 ready, 0 time-out, -1 error (lastError).
int PollFor(int fd, short events, int32_t ms) {
    const int64_t deadline = ms < 0 ? 0 : NowMs() + ms;
    for (;;) {
        int left = -1;
        if (ms >= 0) {
            int64_t rest = deadline - NowMs();
            left = rest > 0 ? static_cast<int>(rest) : 0;
        }
        pollfd p;
        p.fd = fd;
        p.events = events;
        p.revents = 0;
        int r = ::poll(&p, 1, left);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            return FailErrno();
        }
        if (r == 0)
            return 0;
        if (p.revents & POLLNVAL)
            return Fail(wsa::kEnotsock);
        // As with select: an error or hang-up counts as ready, and the
        // following call reports it.
        return 1;
    }
}

int DoConnect(SocketHandle s, uint32_t addrNet, uint16_t portNet) {
    Use use(s);
    if (!use.Ok())
        return Fail(wsa::kEnotsock);
    sockaddr_in sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = addrNet;
    sa.sin_port = portNet;
    if (::connect(Fd(s), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0)
        return 0;
    if (errno == EINPROGRESS) {
        int flags = ::fcntl(Fd(s), F_GETFL);
        if (flags >= 0 && (flags & O_NONBLOCK))
            return Fail(wsa::kEwouldblock); // what WinSock says for a non-blocking connect
    } else if (errno != EINTR) {
        return FailErrno();
    }
    // Interrupted: the connection goes on in the background; wait it out.
    if (PollFor(Fd(s), POLLOUT, -1) < 0)
        return -1;
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(Fd(s), SOL_SOCKET, SO_ERROR, &err, &len) != 0)
        return FailErrno();
    if (err != 0)
        return Fail(MapErrno(err));
    return 0;
}

int DoSetNonBlocking(SocketHandle s, bool on) {
    Use use(s);
    if (!use.Ok())
        return Fail(wsa::kEnotsock);
    int flags = ::fcntl(Fd(s), F_GETFL);
    if (flags < 0)
        return FailErrno();
    flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    if (::fcntl(Fd(s), F_SETFL, flags) != 0)
        return FailErrno();
    return 0;
}

int DoWait(SocketHandle s, bool forWrite, int32_t ms) {
    Use use(s);
    if (!use.Ok())
        return Fail(wsa::kEnotsock);
    return PollFor(Fd(s), forWrite ? POLLOUT : POLLIN, ms);
}

int DoSend(SocketHandle s, const void* data, int len) {
    Use use(s);
    if (!use.Ok())
        return Fail(wsa::kEnotsock);
    if (len < 0 || (!data && len > 0))
        return Fail(wsa::kEfault);
    for (;;) {
        ssize_t n = ::send(Fd(s), data, static_cast<size_t>(len), MSG_NOSIGNAL);
        if (n >= 0)
            return static_cast<int>(n);
        if (errno != EINTR)
            return FailErrno();
    }
}

int DoRecv(SocketHandle s, void* buf, int cap) {
    Use use(s);
    if (!use.Ok())
        return Fail(wsa::kEnotsock);
    if (cap < 0 || (!buf && cap > 0))
        return Fail(wsa::kEfault);
    for (;;) {
        ssize_t n = ::recv(Fd(s), buf, static_cast<size_t>(cap), 0);
        if (n >= 0)
            return static_cast<int>(n);
        if (errno != EINTR)
            return FailErrno();
    }
}

int DoShutdown(SocketHandle s, int how) {
    Use use(s);
    if (!use.Ok())
        return Fail(wsa::kEnotsock);
    int h;
    switch (how) {
    case kShutRecv:
        h = SHUT_RD;
        break;
    case kShutSend:
        h = SHUT_WR;
        break;
    case kShutBoth:
        h = SHUT_RDWR;
        break;
    default:
        return Fail(wsa::kEinval);
    }
    if (::shutdown(Fd(s), h) != 0)
        return FailErrno();
    return 0;
}

int DoClose(SocketHandle s) {
    if (BadHandle(s))
        return Fail(wsa::kEnotsock);
    const int fd = Fd(s);
    InFlight& f = Flights();
    std::unique_lock<std::mutex> lock(f.m);
    if (!f.closing.insert(fd).second)
        return Fail(wsa::kEnotsock); // another thread is closing it
    if (f.users.count(fd)) {
        ::shutdown(fd, SHUT_RDWR); // wakes receives, waits, sends, connects and accepts
        // Bounded, so that a call that does not wake cannot hang the closer.
        f.cv.wait_for(lock, std::chrono::seconds(5), [&] { return f.users.count(fd) == 0; });
    }
    // The descriptor is gone after close even when it reports EINTR: no retry.
    int rc = ::close(fd);
    int err = errno;
    f.closing.erase(fd);
    lock.unlock();
    if (rc != 0 && err != EINTR)
        return Fail(MapErrno(err));
    return 0;
}

int DoGetType(SocketHandle s, int* type) {
    Use use(s);
    if (!use.Ok())
        return Fail(wsa::kEnotsock);
    int t = 0;
    socklen_t len = sizeof t;
    if (::getsockopt(Fd(s), SOL_SOCKET, SO_TYPE, &t, &len) != 0)
        return FailErrno();
    if (type)
        *type = t == SOCK_STREAM ? kSockStream : t;
    return 0;
}

uint32_t DoInetAddr(const char* dotted) {
    if (!dotted)
        return kInaddrNone;
    in_addr a;
    if (::inet_aton(dotted, &a) == 0)
        return kInaddrNone;
    return a.s_addr;
}

int DoResolve(const char* name, uint32_t* addrNet) {
    if (!name || !addrNet)
        return Fail(wsa::kEfault);
    addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    int rc = ::getaddrinfo(name, nullptr, &hints, &res);
    if (rc != 0) {
        switch (rc) {
        case EAI_AGAIN:
            return Fail(wsa::kTryAgain);
        case EAI_FAIL:
            return Fail(wsa::kNoRecovery);
        case EAI_MEMORY:
            return Fail(wsa::kEnobufs);
        case EAI_SYSTEM:
            return FailErrno();
#ifdef EAI_NODATA
        case EAI_NODATA:
            return Fail(wsa::kNoData);
#endif
        default:
            return Fail(wsa::kHostNotFound);
        }
    }
    int result = Fail(wsa::kNoData);
    for (addrinfo* p = res; p; p = p->ai_next) {
        if (p->ai_family == AF_INET && p->ai_addr) {
            *addrNet = reinterpret_cast<sockaddr_in*>(p->ai_addr)->sin_addr.s_addr;
            result = 0;
            break;
        }
    }
    ::freeaddrinfo(res);
    return result;
}

SocketHandle DoListen(uint32_t addrHost, uint16_t portHost, int backlog, uint16_t* boundPort) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        FailErrno();
        return kInvalidSocket;
    }
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(addrHost);
    sa.sin_port = htons(portHost);
    socklen_t len = sizeof sa;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
        ::listen(fd, backlog) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
        FailErrno();
        ::close(fd);
        return kInvalidSocket;
    }
    if (boundPort)
        *boundPort = ntohs(sa.sin_port);
    return fd;
}

SocketHandle DoAccept(SocketHandle listener) {
    Use use(listener);
    if (!use.Ok()) {
        Fail(wsa::kEnotsock);
        return kInvalidSocket;
    }
    for (;;) {
        int fd = ::accept4(Fd(listener), nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0)
            return fd;
        if (errno != EINTR) {
            FailErrno();
            return kInvalidSocket;
        }
    }
}

const SocketOps kDefaultOps = {
    DoStartup,        DoCleanup,  DoLastError, DoSetLastError, DoCreateTcp, DoConnect,
    DoSetNonBlocking, DoWait,     DoSend,      DoRecv,         DoShutdown,  DoClose,
    DoGetType,        DoInetAddr, DoResolve,   DoListen,       DoAccept,
};

} // namespace

const SocketOps& DefaultSocketOps() {
    return kDefaultOps;
}

} // namespace plat
