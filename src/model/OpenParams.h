// What a link hands to its channel: the endpoint and the kind of connection.
// Owned by the link, read (never written) by the channels.
#pragma once

#include <cstdint>

// The link zero-fills the whole block before filling it.
struct IDecOpenParams {
    char openName[256];   // "host:port", NUL-terminated
    uint16_t channelKind; // 1 = Ethernet
    uint16_t datagram;    // 0 = stream connection
    uint8_t reserved[28]; // room for settings the channel does not read
};

namespace model {

constexpr uint16_t kChannelEthernet = 1;

} // namespace model
