// Byte channel to one PLC endpoint: the abstract CIDecComBase and its TCP
// derivative CIDecComEthernet. The channel knows nothing of frames.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "model/OpenParams.h"
#include "platform/socket.h"
#include "platform/sync.h"
#include "platform/types.h"

class CErrorString;

namespace idec {

constexpr uint16_t kChannelEthernet = model::kChannelEthernet;

// Channel states.
constexpr int32_t kStateClosed = 0;
constexpr int32_t kStateOpening = 1; // connected at socket level, not yet confirmed
constexpr int32_t kStateConnected = 2;
constexpr int32_t kStateFailed = 3;

// The driver's own channel error codes.
constexpr int kErrDisconnectAll = 100;
constexpr int kErrInvalidLink = 101;
constexpr int kErrRemoteClosed = 102;

constexpr int kErrorTextCap = 256;

// True for the socket errors after which the connection is given up.
bool IsDisconnectError(int code);

// Name and text of a WinSock or driver error code. Codes not in the table get
// "WSA_NOERROR" / "Not a WinSock error."; the driver codes have an empty name.
const char* SocketErrorName(int code);
const char* SocketErrorText(int code);
// The text that GetErrorText gives for a code, without touching a channel:
// at most capacity - 1 units and a terminator. Characters written.
int FormatSocketError(int code, WChar* text, int capacity);

} // namespace idec

class CIDecComBase {
public:
    explicit CIDecComBase(const IDecOpenParams* params);
    virtual ~CIDecComBase();
    CIDecComBase(const CIDecComBase&) = delete;
    CIDecComBase& operator=(const CIDecComBase&) = delete;

    // Returns the new state: 0 nothing done, 1 connected, 3 failed.
    virtual int32_t Open(bool blocking);
    virtual int Close();
    virtual bool IsConnected(bool openIfClosed);
    virtual int32_t GetState();
    // Count sent (the whole length) or 0.
    virtual int Send(const void* data, int length);
    // Count received, 0 closed by the peer or not connected, -1 error or
    // time-out. timeoutMs -1 takes the default time-out.
    virtual int Receive(void* buffer, int capacity, int32_t timeoutMs);
    // Both setters return the previous value.
    virtual CErrorString* SetErrorHolder(CErrorString* holder);
    virtual int32_t SetDefaultTimeout(int32_t ms);
    // Writes the text for code (at most capacity - 1 characters and a NUL) and
    // makes code the last socket error.
    virtual void GetErrorText(int code, WChar* text, int capacity);
    virtual int GetLastSocketError();
    // How long the line takes to carry this many characters: 0 where that
    // is no part of the wait (TCP); a serial line adds it to its time-outs.
    virtual int32_t LineMs(int32_t) const { return 0; }
    virtual uint64_t LineUs(int32_t) const { return 0; }
    // What one exchange costs the link beyond the characters it carries, as a
    // moving figure in microseconds; 0 until an exchange was timed. Written
    // by the worker, read by it.
    uint32_t RoundTripUs() const { return roundTripUs_.load(std::memory_order_relaxed); }
    void NoteRoundTrip(uint64_t us) {
        const uint64_t old = roundTripUs_.load(std::memory_order_relaxed);
        const uint64_t capped = us < 1 ? 1 : us < 10000000u ? us : 10000000u;
        roundTripUs_.store(static_cast<uint32_t>(old ? (old * 7 + capped) / 8 : capped),
                           std::memory_order_relaxed);
    }
    // Close for good, from any thread: a blocked operation wakes and every
    // later Open does nothing.
    virtual int Abort() { return Close(); }
    // The error that ended the last Receive: 0 for a time-out or when it
    // took bytes. GetLastSocketError keeps the last error until a receive
    // takes bytes, so that a look that finds nothing does not hide it.
    int LastReceiveError() const { return receiveError_.load(); }
    // A number for the connection that is up now, new for each connection
    // made; 0 while none is.
    uint32_t Session() const { return session_.load(); }

protected:
    // The state becomes connected: a new session.
    void BeginSession() {
        uint32_t s = ++sessions_;
        if (s == 0)
            s = ++sessions_;
        session_.store(s);
    }

    const IDecOpenParams* params_;
    // Written by the worker and by a stopping thread, read by host threads.
    std::atomic<int32_t> state_;
    CErrorString* errorHolder_;
    int32_t defaultTimeout_;
    std::atomic<int> lastSocketError_;
    std::atomic<int> receiveError_;
    std::atomic<uint32_t> session_;
    std::atomic<uint32_t> sessions_;
    std::atomic<uint32_t> roundTripUs_{0};
};

// A TCP channel. One worker thread performs the operations; Close and Abort
// may also come from another thread and wake an operation blocked in
// connect, wait or receive. The socket is shut down at once (which wakes the
// blocked call on POSIX) and its handle is closed when the operation has
// returned; a call that the shutdown does not wake (WinSock) is ended by
// closing the handle after a grace time of kCloseGraceMs. Close then returns
// only when the handle is closed.
//
// Once connected, the socket does not block: Receive takes what has come
// with one recv and waits for readiness (with its time-out) only when
// nothing has, and a look with time-out 0 costs one call.
class CIDecComEthernet : public CIDecComBase {
public:
    explicit CIDecComEthernet(const IDecOpenParams* params);
    ~CIDecComEthernet() override;

    int32_t Open(bool blocking) override;
    int Close() override;
    bool IsConnected(bool openIfClosed) override;
    int Send(const void* data, int length) override;
    int Receive(void* buffer, int capacity, int32_t timeoutMs) override;
    void GetErrorText(int code, WChar* text, int capacity) override;
    virtual bool IsSocketValid();
    // Lets a stopping link close a channel that its worker may be about to
    // reopen.
    int Abort() override;

    uint32_t RemoteAddress() const { return remoteAddr_; } // network order
    uint16_t RemotePort() const { return remotePort_; }    // network order

private:
    enum WaitOutcome { kWaitError = 0, kWaitReady = 1, kWaitTimedOut = 2 };

    bool Resolve();
    WaitOutcome WaitSocket(bool forWrite, int32_t ms);
    void ReportError(int code);
    // Disconnect errors close the channel; the error is reported either way.
    void Fail(int code);

    // One recv on the current handle. On a socket that does not block,
    // "nothing there yet" sets *wouldBlock and returns -1 with no error
    // reported; everything else as Receive returns it.
    int ReceiveOnce(void* buffer, int capacity, bool nonBlocking, bool* wouldBlock);

    // True when the current socket does not block.
    bool NonBlocking();

    // The current handle with a use count taken, or kInvalidSocket.
    plat::SocketHandle Acquire();
    void ReleaseHandle();
    // Takes the handle out of the channel and shuts it down. lock_ held.
    plat::SocketHandle DetachSocketLocked();
    // Closes a detached handle that an operation still uses: once that
    // operation has returned, or after kCloseGraceMs at the latest.
    int CloseWhenUnused(plat::SocketHandle h);

    static constexpr uint32_t kCloseGraceMs = 250;

    plat::SocketHandle socket_;
    uint32_t remoteAddr_;
    uint16_t remotePort_;
    int startupResult_;

    plat::CriticalSection lock_;              // guards socket_ and the fields below
    int users_;                               // operations running on the socket
    bool nonBlocking_;                        // socket_ was made non-blocking after its connect
    std::vector<plat::SocketHandle> orphans_; // shut down, waiting for their users
    bool aborted_;
};
