// An in-process byte channel for the fuzz targets: what the engine sends is
// handed to a responder, and what the responder queues is what Receive hands
// out, piece by piece. No socket, no clock: a piece is either bytes, a
// receive that times out (-1, no error), or a socket error (-1 with the
// error set). An empty queue after a request reads as the peer closing (0);
// a poll (time-out 0) of an empty queue finds nothing waiting (-1).
#pragma once

#include <cstdint>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "comm/KQV_IDecCom.h"

namespace fuzzch {

struct Piece {
    enum Kind { kBytes, kTimeout, kSocketError, kClose };
    Kind kind = kBytes;
    std::string bytes;
};

class Responder {
public:
    virtual ~Responder() = default;
    // A frame the engine sent (whole, as one Send); queue the answer on the
    // channel. connection counts the opens of the channel.
    virtual void OnRequest(const std::string& frame, uint32_t connection,
                           std::deque<Piece>* queue) = 0;
};

class ByteChannel : public CIDecComBase {
public:
    ByteChannel(const IDecOpenParams* params, Responder* responder, uint32_t maxOpens)
        : CIDecComBase(params), responder_(responder), opensLeft_(maxOpens) {}

    int32_t Open(bool) override {
        if (state_.load() == idec::kStateConnected)
            return 0;
        if (opensLeft_ == 0) {
            state_.store(idec::kStateFailed);
            return idec::kStateFailed;
        }
        --opensLeft_;
        ++connection_;
        queue_.clear();
        state_.store(idec::kStateConnected);
        return 1;
    }
    int Close() override {
        // Whatever was still on its way went with the connection.
        queue_.clear();
        state_.store(idec::kStateClosed);
        ++closes_;
        return 0;
    }
    bool IsConnected(bool openIfClosed) override {
        if (state_.load() != idec::kStateConnected && openIfClosed)
            Open(false);
        return state_.load() == idec::kStateConnected;
    }
    int Send(const void* data, int length) override {
        // As over TCP, a closed channel is opened again to send.
        if (!data || length <= 0 || !IsConnected(true))
            return 0;
        const std::string frame(static_cast<const char*>(data), static_cast<size_t>(length));
        frames_.push_back(frame);
        if (responder_)
            responder_->OnRequest(frame, connection_, &queue_);
        return length;
    }
    int Receive(void* buffer, int capacity, int32_t timeoutMs) override {
        ++receives_;
        if (!buffer || capacity <= 0)
            return -1;
        if (!IsConnected(true))
            return 0;
        if (queue_.empty()) {
            if (timeoutMs == 0)
                return -1;
            return PeerClosed();
        }
        Piece& p = queue_.front();
        switch (p.kind) {
        case Piece::kTimeout:
            queue_.pop_front();
            return -1;
        case Piece::kSocketError:
            // A connection reset: the error stays, the channel closes.
            Close();
            lastSocketError_.store(10054);
            return -1;
        case Piece::kClose:
            return PeerClosed();
        case Piece::kBytes:
            break;
        }
        if (p.bytes.empty()) {
            queue_.pop_front();
            return Receive(buffer, capacity, timeoutMs);
        }
        const size_t n = p.bytes.size() < static_cast<size_t>(capacity)
                             ? p.bytes.size()
                             : static_cast<size_t>(capacity);
        std::memcpy(buffer, p.bytes.data(), n);
        lastSocketError_.store(0);
        p.bytes.erase(0, n);
        if (p.bytes.empty())
            queue_.pop_front();
        return static_cast<int>(n);
    }
    int GetLastSocketError() override { return lastSocketError_.load(); }

    const std::vector<std::string>& Frames() const { return frames_; }
    uint32_t Connection() const { return connection_; }
    uint64_t Receives() const { return receives_; }
    uint64_t Closes() const { return closes_; }
    std::deque<Piece>& Queue() { return queue_; }

private:
    // The peer closed: the channel reports it as its last error and closes.
    int PeerClosed() {
        lastSocketError_.store(idec::kErrRemoteClosed);
        Close();
        return 0;
    }

    Responder* responder_;
    uint32_t opensLeft_;
    uint32_t connection_ = 0;
    uint64_t receives_ = 0;
    uint64_t closes_ = 0;
    std::deque<Piece> queue_;
    std::vector<std::string> frames_;
};

// The block check of a frame as two upper-case hexadecimal digits.
inline std::string Bcc(const std::string& bytes) {
    static const char kDigits[] = "0123456789ABCDEF";
    uint8_t x = 0;
    for (char c : bytes)
        x ^= static_cast<uint8_t>(c);
    return std::string{kDigits[x >> 4], kDigits[x & 15]};
}

inline std::string Hex(uint64_t value, int width) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string s(static_cast<size_t>(width), '0');
    for (int i = width - 1; i >= 0; --i, value >>= 4)
        s[static_cast<size_t>(i)] = kDigits[value & 15];
    return s;
}

// A request frame taken apart; ok is false when it is not one the engine
// may send: ENQ, station, '0', command, letter, fields, block check, CR.
struct Request {
    bool ok = false;
    char command = 0;
    char letter = 0;
    std::string body; // after the letter, before the block check
};

inline Request ParseRequest(const std::string& frame, const char* station) {
    Request r;
    if (frame.size() < 9 || frame[0] != 0x05 || frame[1] != station[0] || frame[2] != station[1] ||
        frame[3] != '0' || frame.back() != 0x0D)
        return r;
    const std::string covered = frame.substr(0, frame.size() - 3);
    if (frame.compare(frame.size() - 3, 2, Bcc(covered)) != 0)
        return r;
    r.command = frame[4];
    r.letter = frame[5];
    r.body = frame.substr(6, frame.size() - 9);
    // A control byte anywhere but the ENQ and the CR would cut the frame.
    for (size_t i = 1; i + 1 < frame.size(); ++i)
        if (static_cast<uint8_t>(frame[i]) < 0x20 || static_cast<uint8_t>(frame[i]) > 0x7E)
            return r;
    r.ok = true;
    return r;
}

} // namespace fuzzch
