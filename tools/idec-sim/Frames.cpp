#include "Frames.h"

#include "IdecSim.h"

namespace idecsim {

namespace {

const char kDigits[] = "0123456789ABCDEF";

const char* const kControlNames[32] = {
    "NUL", "SOH", "STX", "ETX", "EOT", "ENQ", "ACK", "BEL", "BS",  "HT",  "LF",
    "VT",  "FF",  "CR",  "SO",  "SI",  "DLE", "DC1", "DC2", "DC3", "DC4", "NAK",
    "SYN", "ETB", "CAN", "EM",  "SUB", "ESC", "FS",  "GS",  "RS",  "US",
};

std::string Frame(char first, int station, char status, const std::string& body) {
    std::string f;
    f.reserve(body.size() + 7);
    f += first;
    f += Hex(static_cast<uint64_t>(station & 0xFF), 2);
    f += status;
    f += body;
    f += BlockCheck(f);
    f += kCr;
    return f;
}

void AppendPrintable(std::string& out, unsigned char c) {
    if (c < 0x20) {
        out += '<';
        out += kControlNames[c];
        out += '>';
    } else if (c == 0x20) {
        out += "<SP>";
    } else if (c >= 0x7F) {
        out += "<x";
        out += kDigits[c >> 4];
        out += kDigits[c & 0xF];
        out += '>';
    } else {
        out += static_cast<char>(c);
    }
}

} // namespace

std::string BlockCheck(const char* data, size_t n) {
    unsigned x = 0;
    for (size_t i = 0; i < n; ++i)
        x ^= static_cast<unsigned char>(data[i]);
    return Hex(x, 2);
}

std::string Hex(uint64_t value, int width) {
    std::string s(static_cast<size_t>(width), '0');
    for (int i = width - 1; i >= 0 && value; --i, value >>= 4)
        s[static_cast<size_t>(i)] = kDigits[value & 0xF];
    return s;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::string PositiveReply(int station, const std::string& data) {
    return Frame(kAck, station, '0', data);
}

std::string RefusalReply(int station, int code) {
    return Frame(kAck, station, '2', Hex(static_cast<uint64_t>(code & 0xFF), 2));
}

std::string NakReply(int station, int code) {
    return Frame(kNak, station, '0', Hex(static_cast<uint64_t>(code & 0xFF), 2));
}

std::string Printable(const std::string& bytes, bool markBcc) {
    std::string out;
    out.reserve(bytes.size() + 16);
    const size_t n = bytes.size();
    const bool mark = markBcc && n >= 4 && bytes[n - 1] == kCr;
    for (size_t i = 0; i < n; ++i) {
        if (mark && i == n - 3)
            out += ' ';
        AppendPrintable(out, static_cast<unsigned char>(bytes[i]));
    }
    return out;
}

bool NextFrame(std::string* pending, std::string* frame, std::string* junk) {
    std::string& p = *pending;
    const size_t cr = p.find(kCr);
    if (cr == std::string::npos) {
        const size_t enq = p.rfind(kEnq);
        if (enq != std::string::npos && enq > 0) {
            junk->append(p, 0, enq);
            p.erase(0, enq);
        }
        return false;
    }
    const size_t enq = p.rfind(kEnq, cr);
    const size_t start = enq == std::string::npos ? 0 : enq;
    junk->append(p, 0, start);
    frame->assign(p, start, cr + 1 - start);
    p.erase(0, cr + 1);
    return true;
}

} // namespace idecsim
