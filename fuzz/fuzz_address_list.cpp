// Address-list replies through QueryAddressList on an in-process channel:
// the reply comes in pieces (bytes, receives that time out, a socket error,
// the peer closing), possibly after leftover bytes from before the request.
// The verdict and the entries must be those of the reply as it would read
// whole: the bytes up to its CR (or all that came, when none did), judged by
// the rules the engine documents. Leftovers are never part of it, and how the
// reply was cut into pieces changes nothing. Every entry's item name reads
// back as its address.
//
// Input: byte 0 picks the letter (low 4 bits) and the number of leftover
// pieces (bits 4-5); byte 1 is the block's highest address for the item
// names; then pieces, each a control byte (top two bits: 0 bytes, 1 a
// receive that times out, 2 a socket error, 3 the peer closing; for bytes the
// low six bits are the length, 63 meaning a 16-bit length follows).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "FuzzChannel.h"
#include "comm/Frames.h"
#include "comm/RequestEngine.h"
#include "model/LinkModel.h"

namespace {

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "fuzz_address_list: %s\n", what);
    std::abort();
}

void Check(bool ok, const char* what) {
    if (!ok)
        Fail(what);
}

struct Reader {
    const uint8_t* p;
    size_t n;
    bool Empty() const { return n == 0; }
    uint8_t Byte() {
        if (n == 0)
            return 0;
        --n;
        return *p++;
    }
    std::string Bytes(size_t k) {
        k = k < n ? k : n;
        std::string s(reinterpret_cast<const char*>(p), k);
        p += k;
        n -= k;
        return s;
    }
};

fuzzch::Piece NextPiece(Reader& in) {
    fuzzch::Piece piece;
    const uint8_t ctl = in.Byte();
    switch (ctl >> 6) {
    case 1:
        piece.kind = fuzzch::Piece::kTimeout;
        return piece;
    case 2:
        piece.kind = fuzzch::Piece::kSocketError;
        return piece;
    case 3:
        piece.kind = fuzzch::Piece::kClose;
        return piece;
    default:
        break;
    }
    size_t len = ctl & 0x3F;
    if (len == 0x3F) {
        len = in.Byte();
        len |= static_cast<size_t>(in.Byte()) << 8;
    }
    piece.bytes = in.Bytes(len);
    return piece;
}

// Queues the reply pieces once the query has gone out.
class Replies : public fuzzch::Responder {
public:
    explicit Replies(const std::vector<fuzzch::Piece>& pieces) : pieces_(pieces) {}
    void OnRequest(const std::string& frame, uint32_t, std::deque<fuzzch::Piece>* queue) override {
        ++requests;
        request = frame;
        for (const fuzzch::Piece& p : pieces_)
            queue->push_back(p);
    }
    int requests = 0;
    std::string request;

private:
    const std::vector<fuzzch::Piece>& pieces_;
};

bool IsHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

uint32_t HexValue(const std::string& s, size_t at) {
    uint32_t v = 0;
    for (size_t i = at; i < at + 8; ++i) {
        const char c = s[i];
        const uint32_t d = c <= '9' ? c - '0' : c >= 'a' ? c - 'a' + 10 : c - 'A' + 10;
        v = v << 4 | d;
    }
    return v;
}

struct Expected {
    idec::ListReplyKind kind;
    std::vector<uint32_t> entries;
};

// The reply as the pieces deliver it, and its verdict by the documented
// rules. Receives end at the first CR, on the peer closing or a socket error,
// after five receives in a row that bring nothing, or when the reply grows
// past the longest list.
Expected Judge(const std::vector<fuzzch::Piece>& pieces) {
    std::string reply;
    bool overlong = false;
    int failures = 0;
    for (const fuzzch::Piece& p : pieces) {
        if (p.kind == fuzzch::Piece::kClose || p.kind == fuzzch::Piece::kSocketError)
            break;
        if (p.kind == fuzzch::Piece::kTimeout) {
            if (++failures >= idec::kWriteReceiveTries)
                break;
            continue;
        }
        if (p.bytes.empty())
            continue;
        failures = 0;
        const size_t cr = p.bytes.find('\r');
        reply += p.bytes.substr(0, cr);
        if (reply.size() > static_cast<size_t>(idec::kMaxListReplyLen)) {
            overlong = true;
            break;
        }
        if (cr != std::string::npos)
            break;
    }
    Expected e{idec::kListShort, {}};
    if (overlong)
        return e;
    if (reply.empty()) {
        e.kind = idec::kListEmpty;
        return e;
    }
    if (static_cast<uint8_t>(reply[0]) == idec::kNak) {
        e.kind = idec::kListNak;
        return e;
    }
    if (reply.size() > 3 && reply[3] == '2') {
        e.kind = idec::kListError;
        return e;
    }
    if (reply.size() < 12)
        return e;
    for (size_t i = 4; i < 12; ++i)
        if (!IsHex(reply[i]))
            return e;
    const uint64_t declared = HexValue(reply, 4);
    if (reply.size() != 12 + 8 * declared + 2)
        return e;
    for (uint64_t i = 0; i < declared; ++i) {
        const size_t at = 12 + 8 * static_cast<size_t>(i);
        for (size_t k = at; k < at + 8; ++k)
            if (!IsHex(reply[k]))
                return Expected{idec::kListShort, {}};
        e.entries.push_back(HexValue(reply, at));
    }
    e.kind = idec::kListEntries;
    return e;
}

struct Outcome {
    idec::ListReplyKind kind;
    std::vector<uint32_t> entries;
    bool sent;
    std::string request;
};

Outcome Query(char letter, const std::vector<fuzzch::Piece>& leftovers,
              const std::vector<fuzzch::Piece>& pieces) {
    IDecOpenParams params{};
    Replies replies(pieces);
    fuzzch::ByteChannel channel(&params, &replies, 1);
    Check(channel.Open(false) == 1, "open");
    for (const fuzzch::Piece& p : leftovers)
        channel.Queue().push_back(p);
    Outcome o;
    o.entries.push_back(0xDEADBEEF); // cleared by the query
    o.kind = idec::QueryAddressList(channel, "01", letter, &o.entries, &o.sent);
    Check(replies.requests == (o.sent ? 1 : 0), "one query per call");
    o.request = replies.request;
    return o;
}

void CheckItemNames(char letter, const std::vector<uint32_t>& entries, uint32_t highest) {
    const WChar* type = idec::TypeNameOfLetter(letter);
    size_t typeLen = 0;
    while (type[typeLen])
        ++typeLen;
    for (uint32_t value : entries) {
        WChar name[model::kNameCap + 8];
        for (WChar& c : name)
            c = 0x5A5A;
        // A type name and at most ten digits always fit.
        Check(idec::EnumeratedItemName(type, letter, value, highest, name, model::kNameCap),
              "an item name that fits was refused");
        for (int i = model::kNameCap; i < model::kNameCap + 8; ++i)
            Check(name[i] == 0x5A5A, "item name written past its capacity");
        size_t n = 0;
        while (n < static_cast<size_t>(model::kNameCap) && name[n])
            ++n;
        Check(n < static_cast<size_t>(model::kNameCap), "item name not terminated");
        for (size_t i = 0; i < typeLen; ++i)
            Check(name[i] == type[i], "item name does not start with its type");
        uint64_t back = 0;
        Check(n > typeLen, "item name without digits");
        for (size_t i = typeLen; i < n; ++i) {
            Check(name[i] >= '0' && name[i] <= '9', "item name with a non-digit");
            back = back * 10 + (name[i] - '0');
        }
        Check(back == value, "item name does not read back as its address");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2)
        return 0;
    Reader in{data, size};
    const uint8_t head = in.Byte();
    const uint32_t highest = in.Byte() * 40u;
    const char letter = idec::kListLetters[(head & 0x0F) % idec::kListLetterCount];
    const int leftoverCount = (head >> 4) & 3;

    // Leftovers: bytes only, each small enough that the discard takes it in a
    // few receives.
    std::vector<fuzzch::Piece> leftovers;
    for (int i = 0; i < leftoverCount && !in.Empty(); ++i) {
        fuzzch::Piece p = NextPiece(in);
        p.kind = fuzzch::Piece::kBytes;
        if (p.bytes.size() > 4 * static_cast<size_t>(idec::kReceiveChunk))
            p.bytes.resize(4 * static_cast<size_t>(idec::kReceiveChunk));
        if (!p.bytes.empty())
            leftovers.push_back(p);
    }
    std::vector<fuzzch::Piece> pieces;
    while (!in.Empty() && pieces.size() < 256)
        pieces.push_back(NextPiece(in));

    const Outcome got = Query(letter, leftovers, pieces);
    Check(got.sent, "the query was not sent");
    const std::string frame = std::string("\x05") + "010L" + letter;
    Check(got.request == frame + fuzzch::Bcc(frame) + "\r", "malformed query");

    const Expected want = Judge(pieces);
    if (got.kind != want.kind) {
        std::fprintf(stderr, "kind %d, expected %d\n", got.kind, want.kind);
        Fail("verdict differs from the reply's own");
    }
    Check(got.entries == want.entries, "entries differ from the reply's own");

    // Without the leftovers: the same.
    const Outcome clean = Query(letter, {}, pieces);
    Check(clean.kind == got.kind && clean.entries == got.entries,
          "leftover bytes changed the result");

    CheckItemNames(letter, got.entries, highest);
    return 0;
}
