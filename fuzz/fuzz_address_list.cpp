// Address-list replies through QueryAddressList on the in-process channel:
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
#include "FuzzKit.h"
#include "comm/Frames.h"
#include "comm/RequestEngine.h"
#include "model/LinkModel.h"

namespace {

using fuzz::Check;
using fuzz::Piece;

Piece NextPiece(fuzz::Input& in) {
    const uint8_t ctl = in.Byte();
    if (ctl >> 6)
        return fuzz::Event(static_cast<Piece::Kind>(ctl >> 6));
    const size_t len = (ctl & 0x3F) == 0x3F ? in.Le(2) : ctl & 0x3F;
    return fuzz::Bytes(in.Bytes(len));
}

struct Outcome {
    idec::ListReplyKind kind;
    std::vector<uint32_t> entries;
};

// The reply as the pieces deliver it, and its verdict by the documented
// rules. Receives end at the first CR, on the peer closing or a socket error,
// after five receives in a row that bring nothing, or when the reply grows
// past the longest list.
Outcome Judge(const std::vector<Piece>& pieces) {
    std::string reply;
    int failures = 0;
    for (const Piece& p : pieces) {
        if (p.kind == Piece::kClose || p.kind == Piece::kSocketError)
            break;
        if (p.kind == Piece::kTimeout) {
            if (++failures >= idec::kWriteReceiveTries)
                break;
            continue;
        }
        if (p.bytes.empty())
            continue;
        failures = 0;
        const size_t cr = p.bytes.find('\r');
        reply += p.bytes.substr(0, cr);
        if (reply.size() > static_cast<size_t>(idec::kMaxListReplyLen))
            return {idec::kListShort, {}};
        if (cr != std::string::npos)
            break;
    }
    if (reply.empty())
        return {idec::kListEmpty, {}};
    if (static_cast<uint8_t>(reply[0]) == idec::kNak)
        return {idec::kListNak, {}};
    if (reply.size() > 3 && reply[3] == '2')
        return {idec::kListError, {}};
    uint32_t declared = 0;
    if (!fuzz::ReadDigits(reply, 4, 8, 16, &declared) ||
        reply.size() != 12 + 8 * uint64_t{declared} + 2)
        return {idec::kListShort, {}};
    Outcome e{idec::kListEntries, std::vector<uint32_t>(declared)};
    for (uint32_t i = 0; i < declared; ++i)
        if (!fuzz::ReadDigits(reply, 12 + 8 * size_t{i}, 8, 16, &e.entries[i]))
            return {idec::kListShort, {}};
    return e;
}

Outcome Query(char letter, const std::vector<Piece>& leftovers, const std::vector<Piece>& pieces) {
    IDecOpenParams params{};
    int requests = 0;
    fuzz::ByteChannel channel(
        &params,
        [&](const std::string& frame, fuzz::Queue& queue) {
            ++requests;
            const std::string query = std::string("\x05") + "010L" + letter;
            Check(frame == fuzz::Frame(query), "malformed query", frame);
            queue.insert(queue.end(), pieces.begin(), pieces.end());
        },
        1);
    Check(channel.Open(false) == 1, "open");
    channel.Pending().assign(leftovers.begin(), leftovers.end());
    Outcome o{idec::kListEmpty, {0xDEADBEEF}}; // the entries cleared by the query
    bool sent = false;
    o.kind = idec::QueryAddressList(channel, "01", letter, &o.entries, &sent);
    Check(sent && requests == 1, "the query was not sent once");
    return o;
}

void CheckItemNames(char letter, const std::vector<uint32_t>& entries, uint32_t highest) {
    const WChar* type = idec::TypeNameOfLetter(letter);
    const size_t typeLen = fuzz::Length(type, model::kNameCap);
    for (uint32_t value : entries) {
        WChar name[model::kNameCap + 8];
        std::fill(std::begin(name), std::end(name), WChar{0x5A5A});
        // A type name and at most ten digits always fit.
        Check(idec::EnumeratedItemName(type, letter, value, highest, name, model::kNameCap),
              "an item name that fits was refused");
        for (int i = model::kNameCap; i < model::kNameCap + 8; ++i)
            Check(name[i] == 0x5A5A, "item name written past its capacity");
        const size_t n = fuzz::Length(name, model::kNameCap);
        Check(n < static_cast<size_t>(model::kNameCap), "item name not terminated");
        Check(n > typeLen && std::equal(type, type + typeLen, name),
              "item name is not its type and digits");
        uint64_t back = 0;
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
    fuzz::Input in{data, size};
    const uint8_t head = in.Byte();
    const uint32_t highest = in.Byte() * 40u;
    const char letter = idec::kListLetters[(head & 0x0F) % idec::kListLetterCount];

    // Leftovers: bytes only, each small enough that the discard takes it in a
    // few receives.
    std::vector<Piece> leftovers, pieces;
    for (int i = 0; i < ((head >> 4) & 3) && !in.Empty(); ++i) {
        Piece p = NextPiece(in);
        p.kind = Piece::kBytes;
        p.bytes.resize(std::min(p.bytes.size(), 4 * static_cast<size_t>(idec::kReceiveChunk)));
        if (!p.bytes.empty())
            leftovers.push_back(p);
    }
    while (!in.Empty() && pieces.size() < 256)
        pieces.push_back(NextPiece(in));

    const Outcome got = Query(letter, leftovers, pieces);
    const Outcome want = Judge(pieces);
    Check(got.kind == want.kind, "verdict differs from the reply's own",
          std::to_string(got.kind) + " not " + std::to_string(want.kind));
    Check(got.entries == want.entries, "entries differ from the reply's own");
    // Without the leftovers: the same.
    const Outcome clean = Query(letter, {}, pieces);
    Check(clean.kind == got.kind && clean.entries == got.entries,
          "leftover bytes changed the result");
    CheckItemNames(letter, got.entries, highest);
    return 0;
}
