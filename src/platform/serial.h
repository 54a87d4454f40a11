// Serial ports in raw mode: RS-232C/RS-485 adapters, built-in ports and
// pseudo-terminals. A port is opened for this process alone; reads wait for
// what arrives within a time-out and return as soon as anything has.
//
// Every call goes through a table of function pointers (SerialOps) that tests
// may replace, to see the line settings asked for or to fail a call.
#pragma once

#include "platform/types.h"

namespace plat {

typedef intptr_t SerialHandle;
constexpr SerialHandle kInvalidSerial = -1;

struct SerialSettings {
    uint32_t baud = 9600;
    uint8_t dataBits = 7; // 7 or 8
    char parity = 'E';    // 'E', 'O' or 'N'
    uint8_t stopBits = 1; // 1 or 2
};

// Why an open failed.
enum SerialError : int {
    kSerialOk = 0,
    kSerialNoPort = 1,   // missing, not a serial device, or refused by the system
    kSerialBusy = 2,     // held by another program or another open of ours
    kSerialSettings = 3, // the device refused the line settings
};

struct SerialOps {
    // Windows: "COM1" ... "COM256"; POSIX: the path of a character device.
    // kInvalidSerial with *error set when it cannot be had.
    SerialHandle (*open)(const char* name, const SerialSettings& settings, int* error);
    void (*close)(SerialHandle h);
    // Writes all of data: len, or -1 when the device went away or stalled
    // for longer than a second.
    int (*write)(SerialHandle h, const void* data, int len);
    // Waits up to ms (0: only a look) for input: the count read (1..cap),
    // 0 when nothing came, -1 when the device went away.
    int (*read)(SerialHandle h, void* buf, int cap, int32_t ms);
    // Drops input that arrived and was not read.
    void (*purge)(SerialHandle h);
    // The settings the line has now, as the system reports them.
    bool (*settings)(SerialHandle h, SerialSettings* out);
    // A pseudo-terminal pair: returns the controlling side, raw, and writes
    // the path of the other side (the port a client opens) into path.
    // kInvalidSerial where the system has none (Windows).
    SerialHandle (*openPty)(char* path, int cap);
};

// The live table; tests may change entries and must restore them
// (ResetSerialOps) before they end.
SerialOps& SerialOpsTable();
const SerialOps& DefaultSerialOps();
void ResetSerialOps();

// True for a name that selects a serial port rather than host:port: on
// Windows "COM1" ... "COM256" (any case), on POSIX an absolute path.
bool IsSerialPortName(const char* name);

// The speeds every backend offers (300 ... 230400 bit/s), 7 or 8 data bits,
// parity E, O or N, 1 or 2 stop bits; an open with anything else fails with
// kSerialSettings.
bool SerialSettingsValid(const SerialSettings& settings);
bool IsSerialSpeed(uint32_t baud);

// Time the line takes for one character: start bit, data bits, parity bit
// and stop bits, in microseconds (rounded up).
uint32_t SerialCharMicros(const SerialSettings& settings);

inline SerialHandle SerialOpen(const char* name, const SerialSettings& s, int* error) {
    return SerialOpsTable().open(name, s, error);
}
inline void SerialClose(SerialHandle h) {
    SerialOpsTable().close(h);
}
inline int SerialWrite(SerialHandle h, const void* data, int len) {
    return SerialOpsTable().write(h, data, len);
}
inline int SerialRead(SerialHandle h, void* buf, int cap, int32_t ms) {
    return SerialOpsTable().read(h, buf, cap, ms);
}
inline void SerialPurge(SerialHandle h) {
    SerialOpsTable().purge(h);
}
inline bool SerialLineSettings(SerialHandle h, SerialSettings* out) {
    return SerialOpsTable().settings(h, out);
}
inline SerialHandle SerialOpenPty(char* path, int cap) {
    return SerialOpsTable().openPty(path, cap);
}

} // namespace plat
