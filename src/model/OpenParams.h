// What a link hands to its channel: the endpoint and the kind of connection.
// Owned by the link, read (never written) by the channels.
#pragma once

#include <cstdint>

// The link zero-fills the whole block before filling it.
struct IDecOpenParams {
    char openName[256];   // "host:port" or a serial port, NUL-terminated
    uint16_t channelKind; // 1 = Ethernet, 2 = serial
    uint16_t datagram;    // 0 = stream connection
    // The line of a serial channel; Ethernet reads none of it.
    uint32_t baudRate;
    uint8_t dataBits; // 7 or 8
    char parity;      // 'E', 'O' or 'N'
    uint8_t stopBits; // 1 or 2
    uint8_t reserved[21];
};

namespace model {

constexpr uint16_t kChannelEthernet = 1;
constexpr uint16_t kChannelSerial = 2;

} // namespace model
