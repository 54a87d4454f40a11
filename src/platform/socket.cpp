#include "platform/socket.h"

namespace plat {

SocketOps& SocketOpsTable() {
    static SocketOps ops = DefaultSocketOps();
    return ops;
}

void ResetSocketOps() {
    SocketOpsTable() = DefaultSocketOps();
}

uint16_t HostToNet16(uint16_t v) {
    const uint16_t probe = 1;
    if (*reinterpret_cast<const uint8_t*>(&probe) == 0)
        return v;
    return static_cast<uint16_t>((v >> 8) | (v << 8));
}

uint32_t HostToNet32(uint32_t v) {
    const uint16_t probe = 1;
    if (*reinterpret_cast<const uint8_t*>(&probe) == 0)
        return v;
    return (v >> 24) | ((v >> 8) & 0xFF00u) | ((v << 8) & 0xFF0000u) | (v << 24);
}

} // namespace plat
