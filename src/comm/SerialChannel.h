// A serial line to one PLC (RS-232C point to point, RS-485 with station
// numbers): the second byte channel beside TCP. The port opens with the
// line settings of the link's open parameters and is held alone.
//
// One worker thread performs the operations; Close and Abort may also come
// from another thread. Receives wait in short slices, so that such a Close
// ends them within a slice; the port itself closes only once no operation
// uses it.
#pragma once

#include <atomic>

#include "comm/KQV_IDecCom.h"
#include "platform/serial.h"

namespace idec {

// The channel error codes of a serial line: the port cannot be opened, or
// another program or link holds it.
constexpr int kErrPortOpen = 10001;
constexpr int kErrPortBusy = 10002;

} // namespace idec

class CIDecComSerial : public CIDecComBase {
public:
    explicit CIDecComSerial(const IDecOpenParams* params);
    ~CIDecComSerial() override;

    int32_t Open(bool blocking) override;
    int Close() override;
    bool IsConnected(bool openIfClosed) override;
    int Send(const void* data, int length) override;
    int Receive(void* buffer, int capacity, int32_t timeoutMs) override;
    void GetErrorText(int code, WChar* text, int capacity) override;
    // The text of code without making it the last error.
    static void FormatError(int code, WChar* text, int capacity);
    int32_t LineMs(int32_t characters) const override;
    uint64_t LineUs(int32_t characters) const override;
    // Close for good: every later Open does nothing.
    int Abort() override;

    plat::SerialSettings Settings() const;

private:
    // The open port with a use taken, or kInvalidSerial.
    plat::SerialHandle Acquire();
    void Release();
    // The port went away under an operation: closed, to be opened again.
    void Lost();
    void ReportError(int code);

    // A Close from another thread ends a receive within this.
    static constexpr int32_t kSliceMs = 50;

    plat::CriticalSection lock_; // guards port_, users_, closing_
    plat::SerialHandle port_;
    int users_;
    bool closing_;
    std::atomic<bool> aborted_;
};
