#include "comm/KQV_IDecCom.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "support/ErrorString.h"

using plat::kInvalidSocket;
using plat::SocketHandle;

namespace idec {

namespace {

struct ErrorEntry {
    int code;
    const char* name;
    const char* text;
};

const ErrorEntry kDriverErrors[] = {
    {kErrDisconnectAll, "", "Disconnect All."},
    {kErrInvalidLink, "", "DisConnect Invalid Link."},
    {kErrRemoteClosed, "", "Disconnected by remote."},
};

const ErrorEntry kSocketErrors[] = {
    {10004, "WSAEINTR", "Interrupted system call."},
    {10009, "WSAEBADF", "Bad file number."},
    {10013, "WSAEACCES", "Permission denied."},
    {10014, "WSAEFAULT", "Bad address."},
    {10022, "WSAEINVAL", "Invalid argument."},
    {10024, "WSAEMFILE", "Too many open files."},
    {10035, "WSAEWOULDBLOCK", "Operation would block."},
    {10036, "WSAEINPROGRESS", "A Blocking Operation is now in progress."},
    {10037, "WSAEALREADY", "Operation already in progress."},
    {10038, "WSAENOTSOCK", "Socket operation on non-socket."},
    {10039, "WSAEDESTADDRREQ", "Destination address required."},
    {10040, "WSAEMSGSIZE", "Message too long."},
    {10041, "WSAEPROTOTYPE", "Protocol wrong type for socket."},
    {10042, "WSAENOPROTOOPT", "Protocol not available."},
    {10043, "WSAEPROTONOSUPPORT", "Protocol not supported."},
    {10044, "WSAESOCKTNOSUPPORT", "Socket type not supported."},
    {10045, "WSAEOPNOTSUPP", "Operation not supported on socket."},
    {10046, "WSAEPFNOSUPPORT", "Protocol family not supported."},
    {10047, "WSAEAFNOSUPPORT", "Address family not supported by protocol family."},
    {10048, "WSAEADDRINUSE", "Address already in use."},
    {10049, "WSAEADDRNOTAVAIL", "Can't assign requested address."},
    {10050, "WSAENETDOWN", "Network is down."},
    {10051, "WSAENETUNREACH", "Network is unreachable."},
    {10052, "WSAENETRESET", "Network dropped connection on reset."},
    {10053, "WSAECONNABORTED", "Software caused connection abort"},
    {10054, "WSAECONNRESET", "Connection reset by peer."},
    {10055, "WSAENOBUFS", "No buffer space available."},
    {10056, "WSAEISCONN", "Socket is already connected."},
    {10057, "WSAENOTCONN", "Socket is not connected."},
    {10058, "WSAESHUTDOWN", "Can't send after socket shutdown."},
    {10059, "WSAETOOMANYREFS", "Too many references: can't splice."},
    {10060, "WSAETIMEDOUT", "Connection timed out."},
    {10061, "WSAECONNREFUSED", "Connection refused."},
    {10062, "WSAELOOP", "Too many levels of symbolic links."},
    {10063, "WSAENAMETOOLONG", "File name too long."},
    {10064, "WSAEHOSTDOWN", "Host is down."},
    {10065, "WSAEHOSTUNREACH", "No route to host."},
    {10066, "WSAENOTEMPTY", "Directory not empty."},
    {10067, "WSAEPROCLIM", "Too many processes."},
    {10068, "WSAEUSERS", "Too many users."},
    {10069, "WSAEDQUOT", "Disc quota exceeded."},
    {10070, "WSAESTALE", "Stale NFS file handle."},
    {10071, "WSAEREMOTE", "Too many levels of remote in path."},
    {10091, "WSASYSNOTREADY", "Network sub-system is unusable."},
    {10092, "WSAVERNOTSUPPORTED", "WinSock DLL cannot support this application."},
    {10093, "WSANOTINITIALISED", "WinSock not initialized."},
    {10101, "WSAEDISCON", "Disconnect."},
    {11001, "WSAHOST_NOT_FOUND", "Host not found."},
    {11002, "WSATRY_AGAIN", "Non-authoritative host not found."},
    {11003, "WSANO_RECOVERY.", "Non-recoverable error"},
    {11004, "WSANO_DATA", "Valid name, no data record of requested type."},
};

const ErrorEntry kUnknownError = {0, "WSA_NOERROR", "Not a WinSock error."};

const ErrorEntry& FindError(int code) {
    for (const ErrorEntry& e : kDriverErrors)
        if (e.code == code)
            return e;
    for (const ErrorEntry& e : kSocketErrors)
        if (e.code == code)
            return e;
    return kUnknownError;
}

bool IsDriverCode(int code) {
    return code >= kErrDisconnectAll && code <= kErrRemoteClosed;
}

// The texts are ASCII: widening is a unit-by-unit copy.
int WidenBounded(const char* src, WChar* dst, int cap) {
    if (!dst || cap < 1)
        return 0;
    int n = 0;
    while (src[n] && n < cap - 1) {
        dst[n] = static_cast<WChar>(static_cast<unsigned char>(src[n]));
        ++n;
    }
    dst[n] = 0;
    return n;
}

} // namespace

bool IsDisconnectError(int code) {
    switch (code) {
    case plat::wsa::kEnotsock:
    case plat::wsa::kEnetdown:
    case plat::wsa::kEnetreset:
    case plat::wsa::kEconnaborted:
    case plat::wsa::kEconnreset:
    case plat::wsa::kEnotconn:
    case plat::wsa::kEshutdown:
    case plat::wsa::kEtimedout:
    case plat::wsa::kEconnrefused:
        return true;
    default:
        return false;
    }
}

const char* SocketErrorName(int code) {
    return FindError(code).name;
}
const char* SocketErrorText(int code) {
    return FindError(code).text;
}

int FormatSocketError(int code, WChar* text, int capacity) {
    char narrow[kErrorTextCap];
    if (IsDriverCode(code))
        std::snprintf(narrow, sizeof narrow, "%s", SocketErrorText(code));
    else
        std::snprintf(narrow, sizeof narrow, "[%s]-%s.", SocketErrorName(code),
                      SocketErrorText(code));
    return WidenBounded(narrow, text, capacity);
}

} // namespace idec

// ---------------------------------------------------------------------------

CIDecComBase::CIDecComBase(const IDecOpenParams* params)
    : params_(params), state_(idec::kStateClosed), errorHolder_(nullptr), defaultTimeout_(-1),
      lastSocketError_(0), receiveError_(0), session_(0), sessions_(0) {}

CIDecComBase::~CIDecComBase() {}

int32_t CIDecComBase::Open(bool) {
    return 0;
}
int CIDecComBase::Close() {
    return 0;
}
bool CIDecComBase::IsConnected(bool) {
    return state_ == idec::kStateConnected;
}
int32_t CIDecComBase::GetState() {
    return state_;
}
int CIDecComBase::Send(const void*, int) {
    return 0;
}
int CIDecComBase::Receive(void*, int, int32_t) {
    return -1;
}

CErrorString* CIDecComBase::SetErrorHolder(CErrorString* holder) {
    CErrorString* old = errorHolder_;
    errorHolder_ = holder;
    return old;
}

int32_t CIDecComBase::SetDefaultTimeout(int32_t ms) {
    int32_t old = defaultTimeout_;
    defaultTimeout_ = ms;
    return old;
}

void CIDecComBase::GetErrorText(int, WChar* text, int capacity) {
    if (text && capacity > 0)
        text[0] = 0;
}

int CIDecComBase::GetLastSocketError() {
    return lastSocketError_;
}

// ---------------------------------------------------------------------------

CIDecComEthernet::CIDecComEthernet(const IDecOpenParams* params)
    : CIDecComBase(params), socket_(kInvalidSocket), remoteAddr_(plat::kInaddrNone), remotePort_(0),
      startupResult_(plat::NetStartup()), users_(0), nonBlocking_(false), aborted_(false) {}

CIDecComEthernet::~CIDecComEthernet() {
    lock_.Enter();
    SocketHandle h = DetachSocketLocked();
    if (h != kInvalidSocket)
        plat::SockClose(h);
    // Nobody may still be inside an operation when the channel goes.
    for (SocketHandle o : orphans_)
        plat::SockClose(o);
    orphans_.clear();
    state_ = idec::kStateClosed;
    lock_.Leave();
    if (startupResult_ == 0)
        plat::NetCleanup();
}

SocketHandle CIDecComEthernet::Acquire() {
    lock_.Enter();
    SocketHandle h = socket_;
    if (h != kInvalidSocket)
        ++users_;
    lock_.Leave();
    return h;
}

bool CIDecComEthernet::NonBlocking() {
    lock_.Enter();
    const bool on = socket_ != kInvalidSocket && nonBlocking_;
    lock_.Leave();
    return on;
}

void CIDecComEthernet::ReleaseHandle() {
    lock_.Enter();
    if (--users_ == 0) {
        for (SocketHandle h : orphans_)
            plat::SockClose(h);
        orphans_.clear();
    }
    lock_.Leave();
}

SocketHandle CIDecComEthernet::DetachSocketLocked() {
    SocketHandle h = socket_;
    if (h == kInvalidSocket)
        return h;
    socket_ = kInvalidSocket;
    nonBlocking_ = false;
    plat::SockShutdown(h, plat::kShutSend);
    plat::SockShutdown(h, plat::kShutRecv);
    return h;
}

// Why the wait: the shutdown wakes a blocked call on POSIX, and its thread
// then closes the handle (ReleaseHandle), so the value is never reused under
// it. WinSock ignores a shutdown while a call blocks; only closesocket
// cancels the call, so after the grace time the handle is closed here. The
// one interleaving left unguarded is a thread that took the handle and was
// kept off the processor for the whole grace time before making its call.
int CIDecComEthernet::CloseWhenUnused(SocketHandle h) {
    const uint32_t start = plat::TickCount();
    for (;;) {
        lock_.Enter();
        auto it = std::find(orphans_.begin(), orphans_.end(), h);
        if (it == orphans_.end()) {
            lock_.Leave();
            return 0;
        }
        if (plat::TickCount() - start >= kCloseGraceMs) {
            orphans_.erase(it);
            const int rc = plat::SockClose(h);
            lock_.Leave();
            return rc;
        }
        lock_.Leave();
        plat::SleepMs(2);
    }
}

int CIDecComEthernet::Close() {
    lock_.Enter();
    const SocketHandle h = DetachSocketLocked();
    int rc = static_cast<int>(kInvalidSocket);
    const bool inUse = h != kInvalidSocket && users_ > 0;
    if (inUse)
        orphans_.push_back(h);
    else if (h != kInvalidSocket)
        rc = plat::SockClose(h);
    session_.store(0);
    state_ = idec::kStateClosed;
    lock_.Leave();
    return inUse ? CloseWhenUnused(h) : rc;
}

int CIDecComEthernet::Abort() {
    lock_.Enter();
    aborted_ = true;
    lock_.Leave();
    return Close();
}

bool CIDecComEthernet::Resolve() {
    if (remoteAddr_ != plat::kInaddrNone)
        return true;
    if (!params_ || params_->channelKind != idec::kChannelEthernet)
        return false;

    const char* name = params_->openName;
    const char* nul = static_cast<const char*>(std::memchr(name, 0, sizeof params_->openName));
    const size_t len = nul ? static_cast<size_t>(nul - name) : sizeof params_->openName;
    const char* colon = static_cast<const char*>(std::memchr(name, ':', len));
    if (!colon)
        return false;

    char host[256];
    size_t hostLen = std::min<size_t>(static_cast<size_t>(colon - name), sizeof host - 1);
    std::memcpy(host, name, hostLen);
    host[hostLen] = 0;

    // Port as atol reads it; the result is cut to 16 bits like a u_short cast.
    const char* p = colon + 1;
    const char* end = name + len;
    while (p < end && (*p == ' ' || (*p >= '\t' && *p <= '\r')))
        ++p;
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-'))
        negative = *p++ == '-';
    uint32_t port = 0;
    while (p < end && *p >= '0' && *p <= '9')
        port = port * 10u + static_cast<uint32_t>(*p++ - '0');
    if (negative)
        port = 0u - port;
    remotePort_ = plat::HostToNet16(static_cast<uint16_t>(port));

    uint32_t addr = plat::InetAddr(host);
    if (addr == plat::kInaddrNone) {
        uint32_t found = plat::kInaddrNone;
        if (plat::ResolveHostName(host, &found) == 0)
            addr = found;
    }
    remoteAddr_ = addr;
    return remoteAddr_ != plat::kInaddrNone;
}

int32_t CIDecComEthernet::Open(bool blocking) {
    if (!Resolve() || state_ == idec::kStateOpening)
        return 0;
    lock_.Enter();
    bool aborted = aborted_;
    lock_.Leave();
    if (aborted)
        return 0;

    Close();

    SocketHandle h = plat::SockCreateTcp();
    if (h == kInvalidSocket) {
        ReportError(0);
        state_ = idec::kStateFailed;
        return idec::kStateFailed;
    }
    if (!blocking)
        plat::SockSetNonBlocking(h, false);

    lock_.Enter();
    if (aborted_) {
        lock_.Leave();
        plat::SockClose(h);
        return 0;
    }
    socket_ = h;
    ++users_;
    lock_.Leave();

    plat::NetSetLastError(0);
    const int rc = plat::SockConnect(h, remoteAddr_, remotePort_);
    const int err = rc != 0 ? plat::NetLastError() : 0;
    // Connected, the socket stops blocking: a receive takes what has come
    // and waits only when nothing has (see Receive). Should that fail, the
    // receives wait first, as on any blocking socket.
    const bool nonBlocking = rc == 0 && plat::SockSetNonBlocking(h, true) == 0;
    ReleaseHandle();

    if (rc != 0) {
        ReportError(err != 0 ? err : plat::wsa::kEconnaborted);
        Close();
        state_ = idec::kStateFailed;
        return idec::kStateFailed;
    }
    lock_.Enter();
    // A Close from another thread during the connect wins.
    const bool ours = socket_ == h;
    if (ours)
        nonBlocking_ = nonBlocking;
    state_ = ours ? idec::kStateOpening : idec::kStateFailed;
    lock_.Leave();
    return ours ? idec::kStateOpening : idec::kStateFailed;
}

bool CIDecComEthernet::IsConnected(bool openIfClosed) {
    const int32_t s = state_;
    if ((s == idec::kStateClosed || s == idec::kStateFailed) && openIfClosed)
        Open(false);
    if (state_ == idec::kStateOpening && WaitSocket(true, 1000) == kWaitReady) {
        // A close while the wait ran leaves the channel closed: only a
        // socket still opening is confirmed.
        lock_.Enter();
        if (socket_ != kInvalidSocket && state_ == idec::kStateOpening) {
            BeginSession();
            state_ = idec::kStateConnected;
        }
        lock_.Leave();
    }
    return state_ == idec::kStateConnected;
}

CIDecComEthernet::WaitOutcome CIDecComEthernet::WaitSocket(bool forWrite, int32_t ms) {
    const SocketHandle h = Acquire();
    if (h == kInvalidSocket) {
        plat::NetSetLastError(plat::wsa::kEnotsock);
        return kWaitError;
    }
    // A time-out leaves no error behind, so a stale code is not taken for one.
    plat::NetSetLastError(0);
    const int r = plat::SockWait(h, forWrite, ms);
    const int err = r < 0 ? plat::NetLastError() : 0;
    ReleaseHandle();

    if (r == 1)
        return kWaitReady;
    if (r == 0)
        return kWaitTimedOut;
    Fail(err);
    // Closing may have left another code behind; the caller reads this one.
    plat::NetSetLastError(err);
    return kWaitError;
}

void CIDecComEthernet::ReportError(int code) {
    if (code == 0)
        code = plat::NetLastError();
    WChar text[idec::kErrorTextCap];
    GetErrorText(code, text, idec::kErrorTextCap);
}

void CIDecComEthernet::Fail(int code) {
    if (idec::IsDisconnectError(code))
        Close();
    ReportError(code);
}

int CIDecComEthernet::Send(const void* data, int length) {
    if (!data || length <= 0)
        return 0;
    // Only the link's connect step opens: a send never connects.
    if (!IsConnected(false))
        return 0;
    const char* p = static_cast<const char*>(data);
    int left = length;
    while (left > 0) {
        const SocketHandle h = Acquire();
        if (h == kInvalidSocket)
            return 0; // closed by another thread
        const int n = plat::SockSend(h, p, left);
        const int err = n < 0 ? plat::NetLastError() : 0;
        ReleaseHandle();
        if (n < 0) {
            if (err == plat::wsa::kEwouldblock || err == plat::wsa::kEnobufs) {
                plat::SleepMs(1);
                continue;
            }
            Fail(err);
            return 0;
        }
        p += n;
        left -= n;
        if (left > 0)
            plat::SleepMs(1);
    }
    return length;
}

int CIDecComEthernet::Receive(void* buffer, int capacity, int32_t timeoutMs) {
    // A recv into no room would return 0 and read as a close by the peer.
    if (!buffer || capacity < 1)
        return -1;
    receiveError_.store(0);
    if (!IsConnected(false))
        return 0;
    if (timeoutMs == -1)
        timeoutMs = defaultTimeout_;
    // A socket that does not block is read first: the readiness wait (one
    // more system call, and with a time-out a timer) comes only when nothing
    // has arrived yet. With time-out 0 that first look is all.
    const bool nonBlocking = NonBlocking();
    bool wouldBlock = false;
    if (nonBlocking) {
        const int n = ReceiveOnce(buffer, capacity, true, &wouldBlock);
        if (!wouldBlock)
            return n;
        if (timeoutMs == 0)
            return -1; // a time-out
    }
    // Without a time-out a blocking socket waits in recv; one that does not
    // block waits here, without limit (-1).
    // A time-out leaves the last socket error as it was; an error of the
    // wait has been reported, which made it the last one.
    if ((timeoutMs != -1 || nonBlocking) && WaitSocket(false, timeoutMs) != kWaitReady) {
        receiveError_.store(plat::NetLastError());
        return -1;
    }
    // Ready, yet nothing to take: as a time-out.
    return ReceiveOnce(buffer, capacity, nonBlocking, &wouldBlock);
}

int CIDecComEthernet::ReceiveOnce(void* buffer, int capacity, bool nonBlocking, bool* wouldBlock) {
    *wouldBlock = false;
    const SocketHandle h = Acquire();
    if (h == kInvalidSocket)
        return 0;
    plat::NetSetLastError(0);
    const int n = plat::SockRecv(h, buffer, capacity);
    const int err = plat::NetLastError();
    ReleaseHandle();

    if (n < 0) {
        if (nonBlocking && err == plat::wsa::kEwouldblock) {
            *wouldBlock = true;
            return -1;
        }
        receiveError_.store(err);
        Fail(err);
        return -1;
    }
    if (n == 0) {
        receiveError_.store(idec::kErrRemoteClosed);
        ReportError(idec::kErrRemoteClosed);
        Close();
        return 0;
    }
    lastSocketError_ = err;
    return n;
}

void CIDecComEthernet::GetErrorText(int code, WChar* text, int capacity) {
    lastSocketError_ = code;
    idec::FormatSocketError(code, text, capacity);
    if (errorHolder_) {
        WChar full[idec::kErrorTextCap];
        idec::FormatSocketError(code, full, idec::kErrorTextCap);
        errorHolder_->SetText(full);
    }
}

bool CIDecComEthernet::IsSocketValid() {
    const SocketHandle h = Acquire();
    if (h == kInvalidSocket)
        return false;
    int type = 0;
    const bool ok = plat::SockGetType(h, &type) == 0;
    ReleaseHandle();
    return ok;
}
