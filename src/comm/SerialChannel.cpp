#include "comm/SerialChannel.h"

#include <cstdio>

#include "support/ErrorString.h"
#include "support/Strings.h"

using plat::kInvalidSerial;
using plat::SerialHandle;

namespace {

const char* PortErrorText(int code) {
    switch (code) {
    case idec::kErrPortOpen:
        return "Can not open the COM port.";
    case idec::kErrPortBusy:
        return "The COM Port you set is alredy used.";
    default:
        return nullptr;
    }
}

} // namespace

CIDecComSerial::CIDecComSerial(const IDecOpenParams* params)
    : CIDecComBase(params), port_(kInvalidSerial), users_(0), closing_(false), aborted_(false) {}

CIDecComSerial::~CIDecComSerial() {
    Close();
}

plat::SerialSettings CIDecComSerial::Settings() const {
    plat::SerialSettings s;
    if (params_ && params_->baudRate) {
        s.baud = params_->baudRate;
        s.dataBits = params_->dataBits;
        s.parity = params_->parity;
        s.stopBits = params_->stopBits;
    }
    return s;
}

int32_t CIDecComSerial::Open(bool) {
    if (aborted_.load() || !params_ || params_->channelKind != model::kChannelSerial)
        return 0;
    Close();
    char name[sizeof params_->openName + 1];
    CopyTextA(name, params_->openName, sizeof name);
    int error = plat::kSerialNoPort;
    const SerialHandle h = plat::SerialOpen(name, Settings(), &error);
    if (h == kInvalidSerial) {
        ReportError(error == plat::kSerialBusy ? idec::kErrPortBusy : idec::kErrPortOpen);
        state_ = idec::kStateFailed;
        return idec::kStateFailed;
    }
    lock_.Enter();
    const bool keep = !aborted_.load();
    if (keep) {
        port_ = h;
        closing_ = false;
        BeginSession();
        state_ = idec::kStateConnected;
    }
    lock_.Leave();
    if (!keep) {
        plat::SerialClose(h);
        return 0;
    }
    return idec::kStateConnected;
}

int CIDecComSerial::Close() {
    lock_.Enter();
    closing_ = true;
    while (users_ > 0) {
        // An operation on the port returns within a slice of its wait.
        lock_.Leave();
        plat::SleepMs(1);
        lock_.Enter();
    }
    const SerialHandle h = port_;
    port_ = kInvalidSerial;
    session_.store(0);
    if (state_ == idec::kStateConnected)
        state_ = idec::kStateClosed;
    lock_.Leave();
    if (h != kInvalidSerial)
        plat::SerialClose(h);
    return 0;
}

int CIDecComSerial::Abort() {
    aborted_.store(true);
    return Close();
}

bool CIDecComSerial::IsConnected(bool openIfClosed) {
    if (state_ != idec::kStateConnected && openIfClosed)
        Open(false);
    return state_ == idec::kStateConnected;
}

SerialHandle CIDecComSerial::Acquire() {
    lock_.Enter();
    const SerialHandle h = closing_ ? kInvalidSerial : port_;
    if (h != kInvalidSerial)
        ++users_;
    lock_.Leave();
    return h;
}

void CIDecComSerial::Release() {
    lock_.Enter();
    --users_;
    lock_.Leave();
}

void CIDecComSerial::Lost() {
    ReportError(idec::kErrPortOpen);
    Close();
    state_ = idec::kStateFailed;
}

int CIDecComSerial::Send(const void* data, int length) {
    if (!data || length <= 0)
        return 0;
    const SerialHandle h = Acquire();
    if (h == kInvalidSerial)
        return 0;
    const int n = plat::SerialWrite(h, data, length);
    Release();
    if (n != length) {
        Lost();
        return 0;
    }
    return length;
}

int CIDecComSerial::Receive(void* buffer, int capacity, int32_t timeoutMs) {
    if (!buffer || capacity < 1)
        return -1;
    receiveError_.store(0);
    if (timeoutMs == -1)
        timeoutMs = defaultTimeout_;
    const uint32_t start = plat::TickCount();
    for (;;) {
        const SerialHandle h = Acquire();
        if (h == kInvalidSerial)
            return 0;
        const uint32_t spent = plat::TickCount() - start;
        int32_t slice = kSliceMs;
        if (timeoutMs >= 0) {
            const int32_t left = spent >= static_cast<uint32_t>(timeoutMs)
                                     ? 0
                                     : timeoutMs - static_cast<int32_t>(spent);
            slice = left < kSliceMs ? left : kSliceMs;
        }
        const int n = plat::SerialRead(h, buffer, capacity, slice);
        Release();
        if (n > 0) {
            lastSocketError_ = 0;
            return n;
        }
        if (n < 0) {
            receiveError_.store(idec::kErrPortOpen);
            Lost();
            return 0;
        }
        // A time-out leaves no receive error behind.
        if (timeoutMs >= 0 && slice < kSliceMs)
            return -1;
    }
}

uint64_t CIDecComSerial::LineUs(int32_t characters) const {
    return characters > 0 ? static_cast<uint64_t>(plat::SerialCharMicros(Settings())) *
                                static_cast<uint32_t>(characters)
                          : 0;
}

int32_t CIDecComSerial::LineMs(int32_t characters) const {
    const uint64_t micros = static_cast<uint64_t>(plat::SerialCharMicros(Settings())) *
                            static_cast<uint32_t>(characters);
    return static_cast<int32_t>((micros + 999) / 1000);
}

void CIDecComSerial::ReportError(int code) {
    WChar text[idec::kErrorTextCap];
    GetErrorText(code, text, idec::kErrorTextCap);
}

void CIDecComSerial::FormatError(int code, WChar* text, int capacity) {
    const char* own = PortErrorText(code);
    if (!own) {
        idec::FormatSocketError(code, text, capacity);
        return;
    }
    if (!text || capacity < 1)
        return;
    int n = 0;
    for (; own[n] && n < capacity - 1; ++n)
        text[n] = static_cast<WChar>(own[n]);
    text[n] = 0;
}

void CIDecComSerial::GetErrorText(int code, WChar* text, int capacity) {
    lastSocketError_ = code;
    FormatError(code, text, capacity);
    if (errorHolder_) {
        WChar full[idec::kErrorTextCap];
        FormatError(code, full, idec::kErrorTextCap);
        errorHolder_->SetText(full);
    }
}
