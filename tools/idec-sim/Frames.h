// Byte-level pieces of the computer-link protocol: control characters, the
// block check and the three reply forms.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace idecsim {

constexpr char kEnq = 0x05;
constexpr char kAck = 0x06;
constexpr char kNak = 0x15;
constexpr char kCr = 0x0D;

// NAK codes.
constexpr int kNakBcc = 0x00;
constexpr int kNakFrame = 0x01;
constexpr int kNakUnsupported = 0x03;
constexpr int kNakCount = 0x04;
// Refusal ("2") codes.
constexpr int kNgRange = 0x06;
constexpr int kNgPreset = 0x07;
constexpr int kNgData = 0x0A;

// Exclusive-or of the bytes, as two upper-case hex digits.
std::string BlockCheck(const char* data, size_t n);
inline std::string BlockCheck(const std::string& s) {
    return BlockCheck(s.data(), s.size());
}

// Upper-case hex digits, zero-padded to width.
std::string Hex(uint64_t value, int width);
// Value of one upper-case hex digit, -1 for anything else.
int HexDigit(char c);

// ACK, station, "0", data, block check, CR.
std::string PositiveReply(int station, const std::string& data);
// ACK, station, "2", code, block check, CR.
std::string RefusalReply(int station, int code);
// NAK, station, "0", code, block check, CR.
std::string NakReply(int station, int code);

// Takes the next frame, CR included, off the front of the bytes received so
// far; false when no CR has come yet. A controller starts a frame afresh at
// every ENQ, so bytes ahead of the last ENQ before the CR are junk: they are
// appended to *junk and dropped (also while the CR is still to come). Bytes
// ending in a CR without any ENQ make a frame of their own.
bool NextFrame(std::string* pending, std::string* frame, std::string* junk);

} // namespace idecsim
