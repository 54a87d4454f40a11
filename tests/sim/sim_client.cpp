#include "sim_client.h"

#include <algorithm>
#include <cstring>
#include <sstream>

#include "platform/sync.h"

namespace simtest {

std::string Xor(const std::string& bytes) {
    unsigned x = 0;
    for (char c : bytes)
        x ^= static_cast<unsigned char>(c);
    const char* digits = "0123456789ABCDEF";
    return std::string{digits[(x >> 4) & 0xF], digits[x & 0xF]};
}

std::string Frame(const std::string& body) {
    std::string f = "\x05" + body;
    return f + Xor(f) + "\r";
}

std::string Bytes(std::string text) {
    const char* names[][2] = {
        {"<ENQ>", "\x05"}, {"<ACK>", "\x06"}, {"<NAK>", "\x15"}, {"<CR>", "\r"}};
    for (const auto& n : names)
        for (size_t at; (at = text.find(n[0])) != std::string::npos;)
            text.replace(at, std::strlen(n[0]), n[1]);
    return text;
}

std::string Request(const std::string& ask) {
    const std::string bytes = Bytes(ask);
    return !bytes.empty() && bytes.back() == '\r' ? bytes : Frame(ask);
}

std::vector<std::pair<std::string, std::string>> Steps(const std::string& script) {
    std::vector<std::pair<std::string, std::string>> steps;
    std::istringstream in(script);
    for (std::string step; std::getline(in, step, ';');) {
        std::istringstream words(step);
        std::string ask, reply;
        if (words >> ask) {
            words >> reply;
            steps.emplace_back(ask, reply);
        }
    }
    return steps;
}

std::string Reply(const std::string& shortForm) {
    const size_t kind =
        shortForm.empty() ? std::string::npos : std::string("+!?").find(shortForm[0]);
    if (kind == std::string::npos)
        return Bytes(shortForm);
    // ACK, NAK, or ACK with the refusal's "2" in place of "0".
    const std::string f = std::string(1, kind == 1 ? '\x15' : '\x06') +
                          (kind == 2 ? "012" : "010") + shortForm.substr(1);
    return f + Xor(f) + "\r";
}

Args::Args(const std::string& line) {
    std::istringstream in(line);
    for (std::string w; in >> w;)
        words.push_back(w);
    for (const std::string& w : words)
        argv.push_back(w.c_str());
}

Client::Client(uint16_t port) {
    plat::NetStartup();
    s_ = plat::SockCreateTcp();
    if (s_ != plat::kInvalidSocket &&
        plat::SockConnect(s_, plat::HostToNet32(plat::kInaddrLoopback), plat::HostToNet16(port)) !=
            0) {
        plat::SockClose(s_);
        s_ = plat::kInvalidSocket;
    }
}

Client::~Client() {
    Close();
    plat::NetCleanup();
}

void Client::Close() {
    if (s_ != plat::kInvalidSocket)
        plat::SockClose(s_);
    s_ = plat::kInvalidSocket;
}

bool Client::Send(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        int n = plat::SockSend(s_, bytes.data() + done, static_cast<int>(bytes.size() - done));
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Receives into pending_ until a CR is there (untilCr), the peer closes
// (true) or ms pass.
bool Client::Fill(uint32_t ms, bool untilCr) {
    const uint32_t start = plat::TickCount();
    while (!untilCr || pending_.find('\r') == std::string::npos) {
        const uint32_t spent = plat::TickCount() - start;
        const int r = spent < ms ? plat::SockWait(s_, false, static_cast<int32_t>(ms - spent)) : 0;
        if (r == 0)
            return false;
        char buf[2048];
        const int n = r < 0 ? 0 : plat::SockRecv(s_, buf, sizeof buf);
        if (n <= 0)
            return true;
        pending_.append(buf, static_cast<size_t>(n));
    }
    return false;
}

std::string Client::ReadOnce(uint32_t ms) {
    if (pending_.empty() && plat::SockWait(s_, false, static_cast<int32_t>(ms)) == 1) {
        char buf[2048];
        const int n = plat::SockRecv(s_, buf, sizeof buf);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
    }
    std::string out;
    out.swap(pending_);
    return out;
}

std::string Client::ReadReply(uint32_t ms) {
    Fill(ms, true);
    const size_t end = std::min(pending_.find('\r'), pending_.size() - 1) + 1;
    const std::string out = pending_.substr(0, end);
    pending_.erase(0, end);
    return out;
}

std::string Client::Ask(const std::string& frame, uint32_t ms) {
    return Send(frame) ? ReadReply(ms) : std::string();
}

bool Client::WaitClosed(uint32_t ms) {
    return Fill(ms, false);
}

bool SerialClient::Send(const std::string& bytes) {
    const int n = static_cast<int>(bytes.size());
    return plat::SerialWrite(h_, bytes.data(), n) == n;
}

std::string SerialClient::ReadReply(int32_t ms) {
    std::string got;
    char buf[256];
    for (int n; got.find('\r') == std::string::npos &&
                (n = plat::SerialRead(h_, buf, sizeof buf, ms)) > 0;)
        got.append(buf, static_cast<size_t>(n));
    return got;
}

std::string SerialClient::Ask(const std::string& frame, int32_t ms) {
    return Send(frame) ? ReadReply(ms) : "(send failed)";
}

void SerialClient::Close() {
    if (h_ != plat::kInvalidSerial)
        plat::SerialClose(h_);
    h_ = plat::kInvalidSerial;
}

} // namespace simtest
