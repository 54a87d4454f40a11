// A minimal PLC peer for the benchmarks: answers every request at once, on a
// thread per connection, with no log and no memory. Block reads get as many
// zero bytes as asked for, bit reads a 1, writes an acknowledgement and
// address-list queries an empty list, so that a link's enumeration ends at
// once. It measures nothing itself; it only has to be cheap.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/socket.h"

namespace bench {

class MiniPeer {
public:
    MiniPeer() = default;
    ~MiniPeer() { Stop(); }
    MiniPeer(const MiniPeer&) = delete;
    MiniPeer& operator=(const MiniPeer&) = delete;

    // Listens on a free loopback port; 0 on failure.
    uint16_t Start();
    void Stop();
    uint16_t Port() const { return port_; }
    // Requests answered since Start.
    uint64_t Requests() const { return requests_.load(); }

private:
    void AcceptLoop();
    void Serve(plat::SocketHandle s);

    plat::SocketHandle listener_ = plat::kInvalidSocket;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> requests_{0};
    std::thread acceptor_;
    std::mutex m_; // guards the two vectors
    std::vector<std::thread> servers_;
    std::vector<plat::SocketHandle> connections_;
};

// The reply the peer gives to one request (CR included); empty for none.
// Exposed so that the raw client can check what it gets.
void ReplyTo(const char* request, size_t n, std::string* reply);

// A block-read request as the driver builds it: station "01", letter,
// address, byte count.
std::string BlockReadFrame(char letter, int32_t address, int32_t count);

} // namespace bench
