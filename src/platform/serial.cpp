#include "platform/serial.h"

#include <initializer_list>

namespace plat {

SerialOps& SerialOpsTable() {
    static SerialOps ops = DefaultSerialOps();
    return ops;
}

void ResetSerialOps() {
    SerialOpsTable() = DefaultSerialOps();
}

bool IsSerialSpeed(uint32_t baud) {
    for (uint32_t b :
         {300u, 600u, 1200u, 2400u, 4800u, 9600u, 19200u, 38400u, 57600u, 115200u, 230400u})
        if (b == baud)
            return true;
    return false;
}

bool SerialSettingsValid(const SerialSettings& s) {
    return IsSerialSpeed(s.baud) && (s.dataBits == 7 || s.dataBits == 8) &&
           (s.stopBits == 1 || s.stopBits == 2) &&
           (s.parity == 'E' || s.parity == 'O' || s.parity == 'N');
}

uint32_t SerialCharMicros(const SerialSettings& s) {
    const uint32_t bits = 1u + s.dataBits + (s.parity == 'N' ? 0u : 1u) + s.stopBits;
    const uint32_t baud = s.baud ? s.baud : 1;
    return (bits * 1000000u + baud - 1) / baud;
}

} // namespace plat
