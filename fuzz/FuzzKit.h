// What the fuzz targets share: failing with a message, taking the input
// apart, texts in heap blocks of their exact size, an in-process byte channel
// and a scratch file. Each target is then only its own rules.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "comm/KQV_IDecCom.h"
#include "platform/file.h"
#include "platform/types.h"

namespace fuzz {

// A broken rule ends the run, so that libFuzzer keeps the input.
[[noreturn]] inline void Fail(const char* what, const std::string& detail = std::string()) {
    std::fprintf(stderr, "invariant broken: %s [%s]\n", what, detail.c_str());
    std::abort();
}
inline void Check(bool ok, const char* what, const std::string& detail = std::string()) {
    if (!ok)
        Fail(what, detail);
}

// The input, consumed from the front; zeros once it runs out.
struct Input {
    const uint8_t* p;
    size_t n;
    bool Empty() const { return n == 0; }
    uint8_t Byte() {
        if (n == 0)
            return 0;
        --n;
        return *p++;
    }
    // bytes little-endian.
    uint64_t Le(int bytes) {
        uint64_t v = 0;
        for (int i = 0; i < bytes; ++i)
            v |= static_cast<uint64_t>(Byte()) << (8 * i);
        return v;
    }
    std::string Bytes(size_t k) {
        k = k < n ? k : n;
        std::string s(reinterpret_cast<const char*>(p), k);
        p += k;
        n -= k;
        return s;
    }
    // The rest as UTF-16 units, low byte first; an odd last byte is dropped.
    std::vector<WChar> Units() {
        std::vector<WChar> u;
        for (; n >= 2; n -= 2, p += 2)
            u.push_back(static_cast<WChar>(p[0] | p[1] << 8));
        return u;
    }
};

inline std::basic_string<WChar> Wide(const std::string& s) {
    std::basic_string<WChar> w;
    for (char c : s)
        w += static_cast<WChar>(static_cast<unsigned char>(c));
    return w;
}
inline std::string Narrow(const WChar* w) {
    std::string s;
    for (; *w; ++w)
        s += static_cast<char>(*w);
    return s;
}
// Units before the first NUL, at most cap.
inline size_t Length(const WChar* s, size_t cap) {
    size_t n = 0;
    while (n < cap && s[n])
        ++n;
    return n;
}
// The text and its terminator, nothing more: ASan sees a read past them.
inline std::unique_ptr<WChar[]> Exact(const std::vector<WChar>& text) {
    std::unique_ptr<WChar[]> block(new WChar[text.size() + 1]);
    if (!text.empty())
        std::memcpy(block.get(), text.data(), text.size() * sizeof(WChar));
    block[text.size()] = 0;
    return block;
}

// v saturated to 32 bits, as the parsers' numbers are.
inline int32_t Sat32(long long v) {
    return v > INT32_MAX ? INT32_MAX : v < INT32_MIN ? INT32_MIN : static_cast<int32_t>(v);
}
// n digits of base 10 or 16 (either case) of s from at, when they all are.
inline bool ReadDigits(const std::string& s, size_t at, size_t n, int base, uint32_t* value) {
    static const char kDigits[] = "0123456789abcdef";
    uint64_t v = 0;
    for (size_t i = at; i < at + n; ++i) {
        // Worked out here, not by the parsers' own digit helper.
        const char c = i < s.size() ? s[i] : '\0';
        const char* d = c ? std::strchr(kDigits, c >= 'A' && c <= 'F' ? c + 32 : c) : nullptr;
        if (!d || d - kDigits >= base)
            return false;
        v = v * static_cast<unsigned>(base) + static_cast<unsigned>(d - kDigits);
    }
    *value = static_cast<uint32_t>(v);
    return true;
}

// ---- the byte channel ----
// What the engine sends goes to a responder, and what that queues is what
// Receive hands out, piece by piece. No socket, no clock: a piece is bytes, a
// receive that times out (-1, no error), a socket error (-1 with the error
// set) or the peer closing (0). An empty queue reads as the peer closing,
// except to a poll (time-out 0), which finds nothing waiting (-1).

struct Piece {
    enum Kind { kBytes, kTimeout, kSocketError, kClose };
    Kind kind = kBytes;
    std::string bytes;
};
using Queue = std::deque<Piece>;
inline Piece Bytes(std::string s) {
    return Piece{Piece::kBytes, std::move(s)};
}
inline Piece Event(Piece::Kind kind) {
    return Piece{kind, std::string()};
}

class ByteChannel : public CIDecComBase {
public:
    // Gets each frame the engine sent (whole, as one Send).
    using Responder = std::function<void(const std::string& frame, Queue& queue)>;
    ByteChannel(const IDecOpenParams* params, Responder responder, uint32_t maxOpens)
        : CIDecComBase(params), responder_(std::move(responder)), opensLeft_(maxOpens) {}

    int32_t Open(bool) override {
        if (state_.load() == idec::kStateConnected)
            return 0;
        if (opensLeft_ == 0) {
            state_.store(idec::kStateFailed);
            return idec::kStateFailed;
        }
        --opensLeft_;
        queue_.clear();
        state_.store(idec::kStateConnected);
        BeginSession();
        return 1;
    }
    int Close() override {
        // Whatever was still on its way went with the connection.
        queue_.clear();
        state_.store(idec::kStateClosed);
        session_.store(0);
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
        responder_(std::string(static_cast<const char*>(data), static_cast<size_t>(length)),
                   queue_);
        return length;
    }
    int Receive(void* buffer, int capacity, int32_t timeoutMs) override {
        if (!buffer || capacity <= 0)
            return -1;
        if (!IsConnected(true))
            return 0;
        while (!queue_.empty() && queue_.front().kind == Piece::kBytes &&
               queue_.front().bytes.empty())
            queue_.pop_front();
        if (queue_.empty())
            return timeoutMs == 0 ? -1 : PeerClosed();
        Piece& p = queue_.front();
        switch (p.kind) {
        case Piece::kTimeout:
            queue_.pop_front();
            return -1;
        case Piece::kSocketError: // a reset: the error stays, the channel closes
            Close();
            lastSocketError_.store(10054);
            return -1;
        case Piece::kClose:
            return PeerClosed();
        case Piece::kBytes:
            break;
        }
        const size_t n = std::min(p.bytes.size(), static_cast<size_t>(capacity));
        std::memcpy(buffer, p.bytes.data(), n);
        lastSocketError_.store(0);
        p.bytes.erase(0, n);
        if (p.bytes.empty())
            queue_.pop_front();
        return static_cast<int>(n);
    }
    int GetLastSocketError() override { return lastSocketError_.load(); }
    Queue& Pending() { return queue_; }

private:
    int PeerClosed() {
        lastSocketError_.store(idec::kErrRemoteClosed);
        Close();
        return 0;
    }

    Responder responder_;
    uint32_t opensLeft_;
    Queue queue_;
};

// value as width upper-case hexadecimal digits.
inline std::string Hex(uint64_t value, int width) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string s(static_cast<size_t>(width), '0');
    for (int i = width - 1; i >= 0; --i, value >>= 4)
        s[static_cast<size_t>(i)] = kDigits[value & 15];
    return s;
}
// A frame: the bytes, their block check (XOR, two hexadecimal digits), CR.
inline std::string Frame(const std::string& bytes) {
    uint8_t x = 0;
    for (char c : bytes)
        x ^= static_cast<uint8_t>(c);
    return bytes + Hex(x, 2) + "\r";
}

// ---- the scratch file ----
// One file in a temporary folder, gone when the process ends. The folder's
// path is kept ASCII, so that its narrow copy names the same file, and short
// enough for a PLC's file field.
class Scratch {
public:
    // The target's one scratch file (name: "/fuzz.ini" and the like); no
    // temporary folder ends the run.
    static Scratch& Of(const char* name) {
        static Scratch s(name);
        Check(s.ok_, "no temporary folder");
        return s;
    }
    ~Scratch() {
        plat::FileRemove(file_);
        plat::DirRemove(dir_);
    }
    // Writes text to the file, whose wide name is returned.
    const WChar* Write(const std::string& text) {
        Check(plat::FileWriteAll(file_, text.data(), text.size()), "cannot write the scratch file");
        return file_;
    }
    const std::string& Narrow() const { return narrow_; }

private:
    explicit Scratch(const char* name) {
        if (!plat::MakeTempDir(dir_, plat::kMaxPath))
            return;
        const size_t n = Length(dir_, plat::kMaxPath);
        const std::string tail = name;
        if (n + tail.size() >= 200)
            return;
        for (size_t i = 0; i < n; ++i) {
            if (dir_[i] >= 0x80)
                return;
            narrow_ += static_cast<char>(dir_[i]);
        }
        narrow_ += tail;
        for (size_t i = 0; i <= narrow_.size(); ++i)
            file_[i] = static_cast<WChar>(static_cast<unsigned char>(narrow_.c_str()[i]));
        ok_ = true;
    }
    WChar dir_[plat::kMaxPath] = {};
    WChar file_[plat::kMaxPath] = {};
    std::string narrow_;
    bool ok_ = false;
};

} // namespace fuzz
