// A plain socket client for talking to the simulator in tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/serial.h"
#include "platform/socket.h"

namespace simtest {

// ENQ + body + block check + CR, the check worked out here, not by the simulator.
std::string Frame(const std::string& body);
std::string Xor(const std::string& bytes);
// "<ENQ>", "<ACK>", "<NAK>" and "<CR>" turned into the bytes they name.
std::string Bytes(std::string text);
// A request: Bytes(ask) when it ends in CR, else Frame(ask).
std::string Request(const std::string& ask);
// A reply of station 01: "+DATA" positive, "!CC" NAK, "?CC" refusal; any
// other text as Bytes(text) ("" for silence).
std::string Reply(const std::string& shortForm);
// "ASK REPLY; ASK REPLY; ...": the steps of a script, a missing REPLY empty.
std::vector<std::pair<std::string, std::string>> Steps(const std::string& script);

// A command line's words, split at blanks, as argc and argv.
struct Args {
    explicit Args(const std::string& line);
    int argc() const { return static_cast<int>(argv.size()); }
    std::vector<std::string> words;
    std::vector<const char*> argv;
};

class Client {
public:
    explicit Client(uint16_t port);
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool Connected() const { return s_ != plat::kInvalidSocket; }
    bool Send(const std::string& bytes);
    // What one receive brings after waiting up to ms; empty on time-out.
    std::string ReadOnce(uint32_t ms);
    // Bytes up to and including the first CR, or all that came within ms.
    std::string ReadReply(uint32_t ms);
    std::string Ask(const std::string& frame, uint32_t ms = 5000);
    // True when the peer closes within ms (bytes that arrive meanwhile are kept).
    bool WaitClosed(uint32_t ms);
    void Close();

private:
    bool Fill(uint32_t ms, bool untilCr);

    plat::SocketHandle s_ = plat::kInvalidSocket;
    std::string pending_;
};

// One open of a serial port, by name or an open handle (taken over).
class SerialClient {
public:
    explicit SerialClient(const std::string& port,
                          const plat::SerialSettings& s = plat::SerialSettings())
        : h_(plat::SerialOpen(port.c_str(), s, nullptr)) {}
    explicit SerialClient(plat::SerialHandle h) : h_(h) {}
    ~SerialClient() { Close(); }
    SerialClient(const SerialClient&) = delete;
    SerialClient& operator=(const SerialClient&) = delete;

    bool Open() const { return h_ != plat::kInvalidSerial; }
    bool Send(const std::string& bytes);
    // Up to the first CR; what came when a read waits ms in vain.
    std::string ReadReply(int32_t ms);
    std::string Ask(const std::string& frame, int32_t ms = 5000);
    void Close();

private:
    plat::SerialHandle h_;
};

} // namespace simtest
