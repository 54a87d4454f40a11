// Serial ports as COM devices: opened without sharing, DCB line settings,
// and reads that return as soon as anything arrived (COMMTIMEOUTS). The port
// is held alone twice over: Windows refuses a second open of a device opened
// without sharing, but Wine does not, so a named event per port also
// refuses a second open by this code.
#include "platform/serial.h"

#include <windows.h>

#include <new>

#include "platform/ascii.h"

namespace plat {

namespace {

constexpr DWORD kWriteStallMs = 1000;

struct Port {
    HANDLE file;
    HANDLE claim; // the named event that says the port is taken
};

HANDLE H(SerialHandle h) {
    return reinterpret_cast<Port*>(h)->file;
}

// Writes "COMn" after prefix into out (room for 32 characters).
void PortPath(const wchar_t* prefix, int port, wchar_t* out) {
    int at = 0;
    while (*prefix)
        out[at++] = *prefix++;
    for (const wchar_t* c = L"COM"; *c; ++c)
        out[at++] = *c;
    wchar_t digits[4];
    int nd = 0;
    for (int n = port; n > 0; n /= 10)
        digits[nd++] = static_cast<wchar_t>(L'0' + n % 10);
    while (nd > 0)
        out[at++] = digits[--nd];
    out[at] = 0;
}

// The port number of "COMn", 1 ... 256; 0 for any other name.
int PortNumber(const char* name) {
    if (!name || AsciiLower(name[0]) != 'c' || AsciiLower(name[1]) != 'o' ||
        AsciiLower(name[2]) != 'm')
        return 0;
    int n = 0;
    const char* p = name + 3;
    if (*p < '1' || *p > '9')
        return 0;
    for (; *p; ++p) {
        if (*p < '0' || *p > '9' || n > 256)
            return 0;
        n = n * 10 + (*p - '0');
    }
    return n <= 256 ? n : 0;
}

bool Apply(HANDLE h, const SerialSettings& s) {
    if (!SerialSettingsValid(s))
        return false;
    DCB dcb;
    ZeroMemory(&dcb, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(h, &dcb))
        return false;
    dcb.BaudRate = s.baud;
    dcb.ByteSize = s.dataBits;
    dcb.Parity = s.parity == 'E' ? EVENPARITY : s.parity == 'O' ? ODDPARITY : NOPARITY;
    dcb.StopBits = s.stopBits == 2 ? TWOSTOPBITS : ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = s.parity != 'N';
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fAbortOnError = FALSE;
    if (SetCommState(h, &dcb))
        return true;
    // A pseudo-terminal behind the port (Wine) carries 8 bits without parity
    // whatever it is told, and refuses a change of framing alone: the port
    // has the line when speed and stop bits took.
    DCB now;
    ZeroMemory(&now, sizeof now);
    now.DCBlength = sizeof now;
    return GetCommState(h, &now) && now.BaudRate == dcb.BaudRate && now.StopBits == dcb.StopBits &&
           now.ByteSize == 8 && now.Parity == NOPARITY;
}

SerialHandle DoOpen(const char* name, const SerialSettings& settings, int* error) {
    int dummy;
    int* err = error ? error : &dummy;
    *err = kSerialNoPort;
    const int port = PortNumber(name);
    if (port == 0)
        return kInvalidSerial;
    // Every session sees the claim; it goes with the last handle to it.
    wchar_t claimName[32];
    PortPath(L"Global\\NimbroSerial", port, claimName);
    HANDLE claim = CreateEventW(nullptr, TRUE, FALSE, claimName);
    // Another user's claim cannot even be opened: the port is theirs. Any
    // other failure leaves the refusal to the device alone.
    if (!claim && GetLastError() == ERROR_ACCESS_DENIED) {
        *err = kSerialBusy;
        return kInvalidSerial;
    }
    if (claim && GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(claim);
        *err = kSerialBusy;
        return kInvalidSerial;
    }
    // \\.\COMn reaches ports above 9 too.
    wchar_t path[32];
    PortPath(L"\\\\.\\", port, path);
    HANDLE h =
        CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD e = GetLastError();
        if (e == ERROR_ACCESS_DENIED || e == ERROR_SHARING_VIOLATION)
            *err = kSerialBusy;
        if (claim)
            CloseHandle(claim);
        return kInvalidSerial;
    }
    DCB probe;
    ZeroMemory(&probe, sizeof probe);
    probe.DCBlength = sizeof probe;
    bool ok = GetCommState(h, &probe) != 0;
    if (ok && !Apply(h, settings)) {
        *err = kSerialSettings;
        ok = false;
    }
    Port* p = ok ? new (std::nothrow) Port{h, claim} : nullptr;
    if (!p) {
        CloseHandle(h);
        if (claim)
            CloseHandle(claim);
        return kInvalidSerial;
    }
    PurgeComm(h, PURGE_RXCLEAR | PURGE_TXCLEAR | PURGE_RXABORT | PURGE_TXABORT);
    *err = kSerialOk;
    return reinterpret_cast<SerialHandle>(p);
}

void DoClose(SerialHandle h) {
    if (h == kInvalidSerial)
        return;
    Port* p = reinterpret_cast<Port*>(h);
    CloseHandle(p->file);
    if (p->claim)
        CloseHandle(p->claim);
    delete p;
}

// False when the device went away: Windows fails the call for a removed
// adapter, Wine for a line whose other side hung up (ReadFile there only
// times out).
bool Present(HANDLE h) {
    DWORD errors = 0;
    COMSTAT stat;
    return ClearCommError(h, &errors, &stat) != 0;
}

int DoWrite(SerialHandle h, const void* data, int len) {
    COMMTIMEOUTS t;
    if (!GetCommTimeouts(H(h), &t))
        return -1;
    t.WriteTotalTimeoutMultiplier = 0;
    t.WriteTotalTimeoutConstant = kWriteStallMs;
    if (!SetCommTimeouts(H(h), &t))
        return -1;
    const char* p = static_cast<const char*>(data);
    int left = len;
    while (left > 0) {
        DWORD wrote = 0;
        if (!WriteFile(H(h), p, static_cast<DWORD>(left), &wrote, nullptr) || wrote == 0)
            return -1;
        p += wrote;
        left -= static_cast<int>(wrote);
    }
    return len;
}

int DoRead(SerialHandle h, void* buf, int cap, int32_t ms) {
    if (cap <= 0)
        return 0;
    COMMTIMEOUTS t;
    if (!Present(H(h)) || !GetCommTimeouts(H(h), &t))
        return -1;
    // Whatever is there at once; else the first bytes that come within ms.
    t.ReadIntervalTimeout = MAXDWORD;
    t.ReadTotalTimeoutMultiplier = ms == 0 ? 0 : MAXDWORD;
    t.ReadTotalTimeoutConstant = ms == 0 ? 0 : ms < 0 ? MAXDWORD - 1 : static_cast<DWORD>(ms);
    if (!SetCommTimeouts(H(h), &t))
        return -1;
    DWORD got = 0;
    if (!ReadFile(H(h), buf, static_cast<DWORD>(cap), &got, nullptr))
        return -1;
    if (got == 0 && !Present(H(h)))
        return -1;
    return static_cast<int>(got);
}

void DoPurge(SerialHandle h) {
    PurgeComm(H(h), PURGE_RXCLEAR);
}

bool DoSettings(SerialHandle h, SerialSettings* out) {
    DCB dcb;
    ZeroMemory(&dcb, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!out || !GetCommState(H(h), &dcb))
        return false;
    out->baud = dcb.BaudRate;
    out->dataBits = dcb.ByteSize;
    out->parity = dcb.Parity == EVENPARITY ? 'E' : dcb.Parity == ODDPARITY ? 'O' : 'N';
    out->stopBits = dcb.StopBits == TWOSTOPBITS ? 2 : 1;
    return true;
}

SerialHandle DoOpenPty(char*, int) {
    return kInvalidSerial;
}

const SerialOps kDefaultOps = {DoOpen, DoClose, DoWrite, DoRead, DoPurge, DoSettings, DoOpenPty};

} // namespace

const SerialOps& DefaultSerialOps() {
    return kDefaultOps;
}

bool IsSerialPortName(const char* name) {
    return PortNumber(name) != 0;
}

} // namespace plat
