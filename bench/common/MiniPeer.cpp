#include "MiniPeer.h"

#include <cstdio>
#include <cstring>

namespace bench {

namespace {

constexpr char kEnq = 0x05;
constexpr char kAck = 0x06;
constexpr char kNak = 0x15;
constexpr char kCr = 0x0D;
const char kHex[] = "0123456789ABCDEF";

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

void AppendCheck(std::string* frame) {
    unsigned x = 0;
    for (char c : *frame)
        x ^= static_cast<unsigned char>(c);
    *frame += kHex[(x >> 4) & 0xF];
    *frame += kHex[x & 0xF];
    *frame += kCr;
}

} // namespace

void ReplyTo(const char* request, size_t n, std::string* reply) {
    reply->clear();
    // ENQ, station (2), '0', command, letter, ..., block check (2), CR.
    if (n < 9 || request[0] != kEnq) {
        return;
    }
    reply->push_back(kAck);
    reply->append(request + 1, 2);
    reply->push_back('0');
    const char command = request[4];
    const char letter = request[5];
    if (command == 'R' && std::strchr("xyrde", letter)) {
        reply->push_back('1');
    } else if (command == 'R' && n >= 19) {
        const int hi = HexValue(request[14]);
        const int lo = HexValue(request[15]);
        const int count = hi < 0 || lo < 0 ? 0 : hi * 16 + lo;
        reply->append(static_cast<size_t>(count) * 2, '0');
    } else if (command == 'W') {
        // an acknowledgement carries nothing
    } else if (command == 'L') {
        reply->append(8, '0'); // an empty list
    } else {
        (*reply)[0] = kNak;
        reply->append("00");
    }
    AppendCheck(reply);
}

std::string BlockReadFrame(char letter, int32_t address, int32_t count) {
    char body[32];
    std::snprintf(body, sizeof body, "%c010R%c%08d%02X", kEnq, letter, static_cast<int>(address),
                  static_cast<unsigned>(count));
    std::string frame(body);
    AppendCheck(&frame);
    return frame;
}

uint16_t MiniPeer::Start() {
    if (listener_ != plat::kInvalidSocket)
        return port_;
    stop_.store(false);
    requests_.store(0);
    listener_ = plat::SockListen(plat::kInaddrLoopback, 0, 16, &port_);
    if (listener_ == plat::kInvalidSocket)
        return 0;
    acceptor_ = std::thread([this] { AcceptLoop(); });
    return port_;
}

void MiniPeer::Stop() {
    if (listener_ == plat::kInvalidSocket)
        return;
    stop_.store(true);
    // Closing wakes the accept and every receive (a shutdown first).
    plat::SockClose(listener_);
    acceptor_.join();
    std::vector<std::thread> servers;
    {
        std::lock_guard<std::mutex> g(m_);
        for (plat::SocketHandle s : connections_)
            plat::SockShutdown(s, plat::kShutBoth);
        servers.swap(servers_);
    }
    for (std::thread& t : servers)
        t.join();
    {
        std::lock_guard<std::mutex> g(m_);
        for (plat::SocketHandle s : connections_)
            plat::SockClose(s);
        connections_.clear();
    }
    listener_ = plat::kInvalidSocket;
    port_ = 0;
}

void MiniPeer::AcceptLoop() {
    while (!stop_.load()) {
        const plat::SocketHandle s = plat::SockAccept(listener_);
        if (s == plat::kInvalidSocket)
            return;
        std::lock_guard<std::mutex> g(m_);
        if (stop_.load()) {
            plat::SockClose(s);
            return;
        }
        connections_.push_back(s);
        servers_.emplace_back([this, s] { Serve(s); });
    }
}

void MiniPeer::Serve(plat::SocketHandle s) {
    std::string pending;
    std::string reply;
    std::string out;
    char buf[4096];
    while (!stop_.load()) {
        const int n = plat::SockRecv(s, buf, sizeof buf);
        if (n <= 0)
            return; // closed by the client, or by Stop
        pending.append(buf, static_cast<size_t>(n));
        // Every whole frame received so far, answered in one send.
        out.clear();
        size_t start = 0;
        for (;;) {
            const size_t cr = pending.find(kCr, start);
            if (cr == std::string::npos)
                break;
            ReplyTo(pending.data() + start, cr + 1 - start, &reply);
            out += reply;
            requests_.fetch_add(1, std::memory_order_relaxed);
            start = cr + 1;
        }
        pending.erase(0, start);
        if (!out.empty() && plat::SockSend(s, out.data(), static_cast<int>(out.size())) <= 0)
            return;
    }
}

} // namespace bench
