// The read scan and the write queue of one device block, fed arbitrary
// replies through an in-process channel: a CIDecComBase whose Send records
// the request and whose Receive hands out what a simulated PLC, steered by
// the input, answers. The link's own passes (write and read) run on this
// thread; the host's side goes through the driver object (RegisterItem,
// ReadItem, WriteItem).
//
// Per request the input picks the answer: the right reply whole or in
// pieces, a NAK or a refusal ("2") with a code, the reply cut short or cut
// off without its CR, with extra characters, followed by junk that arrives
// before the next request, nothing (the peer closes), a receive that times
// out or a socket error (writes only: a read would wait out its real two
// seconds), or raw bytes. Once the input runs out every request gets the
// right reply.
//
// Checked:
//   - every request is a well-formed frame of the block's own letters, for
//     addresses within its ranges; no address list is ever asked for;
//   - a value the host reads with ResultOk was served for the item's own
//     unit by a reply: the PLC's words identify their unit (and change from
//     request to request), so a value from another unit or another request
//     shows; no value is ever reported before one was served. Skipped once a
//     raw reply, or one that lost a single data character (the reply check
//     deliberately reads no block check), has gone out;
//   - every unit a write request carries was staged by the host, and a word
//     staged once as a whole goes out as staged;
//   - and, as everywhere, no crash, no sanitizer report.
//
// Input: byte 0 the block, byte 1 the number of items, then three bytes per
// item (address and suffix), then the rounds, each one byte of host actions
// followed by values; the rest steers the replies.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "ControllerText.h"
#include "FuzzChannel.h"
#include "comm/Frames.h"
#include "comm/RequestEngine.h"
#include "driver/DrvIDec.h"
#include "model/LinkModel.h"
#include "model/PlcDefinition.h"

namespace {

[[noreturn]] void Fail(const char* what, const std::string& detail = std::string()) {
    std::fprintf(stderr, "fuzz_scan_replies: %s %s\n", what, detail.c_str());
    std::abort();
}

void Check(bool ok, const char* what, const std::string& detail = std::string()) {
    if (!ok)
        Fail(what, detail);
}

const char* const kBlocks[] = {"D", "M", "P", "TC", "T", "R", "I", "CC", "D", "D"};

constexpr uint8_t kAck = 0x06;
constexpr uint8_t kNakByte = 0x15;
constexpr int kMaxRequests = 600;

struct Reader {
    const uint8_t* p = nullptr;
    size_t n = 0;
    bool Empty() const { return n == 0; }
    uint8_t Byte() {
        if (n == 0)
            return 0;
        --n;
        return *p++;
    }
    uint32_t Word() { return Byte() | static_cast<uint32_t>(Byte()) << 8; }
};

std::string ToText(const WChar* w) {
    std::string s;
    for (; *w; ++w)
        s += static_cast<char>(*w);
    return s;
}

std::basic_string<WChar> Wide(const std::string& s) {
    std::basic_string<WChar> w;
    for (char c : s)
        w += static_cast<WChar>(static_cast<unsigned char>(c));
    return w;
}

int HexDigit(char c) {
    return idec::HexDigitValue(c);
}

bool Digits(const std::string& s, size_t at, size_t n, bool hex, uint32_t* value) {
    if (at + n > s.size())
        return false;
    uint64_t v = 0;
    for (size_t i = at; i < at + n; ++i) {
        const int d = HexDigit(s[i]);
        if (d < 0 || (!hex && d > 9))
            return false;
        v = v * (hex ? 16 : 10) + static_cast<uint64_t>(d);
    }
    *value = static_cast<uint32_t>(v);
    return true;
}

// ---- the simulated PLC ----

class Plc : public fuzzch::Responder {
public:
    Plc(Reader* in, CPlcDevice* block) : in_(in), block_(block), us_(block->UnitSize()) {
        const WChar* name = block->Name();
        unitLetter_ = model::UnitAccessLetter(name);
        bitLetter_ = model::BitAccessLetter(name);
        // The words of these blocks count their units from 0 at address 0.
        checked_ = !block->bitDevice && block->radix != model::kRadixDecimalOctal &&
                   block->lowestAddress == 0 && (us_ == 2 || us_ == 4);
    }

    void OnRequest(const std::string& frame, uint32_t, std::deque<fuzzch::Piece>* queue) override {
        ++requests;
        const fuzzch::Request r = fuzzch::ParseRequest(frame, "01");
        Check(r.ok, "malformed request:", frame);
        Check(r.command == 'R' || r.command == 'W', "a request that is no read or write:", frame);
        if (requests > kMaxRequests) {
            queue->push_back(Close());
            return;
        }
        ++tick_;
        std::string data; // of a positive read reply
        bool read = r.command == 'R';
        if (read)
            data = ServeRead(r);
        else
            Write(r);
        Answer(read, data, queue);
    }

    // Values served for a unit in replies the engine may take whole.
    bool Served(int32_t unit, uint32_t value) const {
        auto it = served_.find(unit);
        return it != served_.end() && it->second.count(value) != 0;
    }
    bool Checked() const { return checked_ && !tainted_; }

    // What the host staged, by unit and by bit address.
    void Staged(int32_t unit, bool wholeWord, uint32_t word) {
        ++stagings_[unit];
        if (wholeWord)
            stagedWord_[unit] = word;
        else
            stagedWord_.erase(unit);
        if (stagings_[unit] > 1)
            stagedWord_.erase(unit);
    }
    void StagedBit(int32_t address) { stagedBits_.insert(address); }

    int requests = 0;

private:
    static fuzzch::Piece Bytes(const std::string& s) {
        fuzzch::Piece p;
        p.bytes = s;
        return p;
    }
    static fuzzch::Piece Close() {
        fuzzch::Piece p;
        p.kind = fuzzch::Piece::kClose;
        return p;
    }

    int32_t UnitOf(uint32_t address) const {
        int32_t unit = -1;
        Check(address <= INT32_MAX && block_->UnitOf(static_cast<int32_t>(address), &unit, nullptr),
              "a request for an address with no unit");
        return unit;
    }

    // The unit's bytes in PLC order: what was written there, else words
    // that name their unit and the request.
    std::string UnitBytes(int32_t unit) const {
        auto it = memory_.find(unit);
        if (it != memory_.end())
            return it->second;
        std::string b(us_, '\0');
        if (us_ == 2) {
            const uint32_t w = (static_cast<uint32_t>(unit) & 0x3FFF) | (tick_ & 3) << 14;
            b[0] = static_cast<char>(w >> 8);
            b[1] = static_cast<char>(w);
        } else if (us_ == 4) {
            const uint32_t v = (static_cast<uint32_t>(unit) & 0xFFFF) | (tick_ & 0xFFFF) << 16;
            for (int i = 0; i < 4; ++i)
                b[static_cast<size_t>(i)] = static_cast<char>(v >> (24 - 8 * i));
        } else {
            b[0] = static_cast<char>(unit * 37 + static_cast<int32_t>(tick_) * 11);
        }
        return b;
    }

    static uint32_t ValueOf(const std::string& b) {
        uint32_t v = 0;
        for (char c : b)
            v = v << 8 | static_cast<uint8_t>(c);
        return v;
    }

    std::string ServeRead(const fuzzch::Request& r) {
        uint32_t address = 0, count = 0;
        const bool hex = idec::IsHexAddressLetter(r.letter);
        if (std::strchr("xyrde", r.letter)) {
            // A single bit: contacts.
            Check(r.letter == bitLetter_, "a bit read of another block's letter");
            Check(r.body.size() == 8 && Digits(r.body, 0, 8, false, &address), "bit read fields");
            Check(block_->InRange(address), "bit read outside the block's ranges");
            return (in_->Byte() & 1) ? "1" : "0";
        }
        Check(r.letter == unitLetter_, "a read of another block's letter");
        Check(r.body.size() == 10 && Digits(r.body, 0, 8, hex, &address) &&
                  Digits(r.body, 8, 2, true, &count),
              "block read fields:", r.body);
        Check(count >= 1 && count <= static_cast<uint32_t>(idec::kMaxBlockBytes), "read count");
        Check(count % us_ == 0, "a read of part of a unit");
        const int32_t first = UnitOf(address);
        int32_t lowest = 0, highest = 0;
        block_->UnitOf(static_cast<int32_t>(block_->lowestAddress), &lowest, nullptr);
        block_->UnitOf(static_cast<int32_t>(block_->highestAddress), &highest, nullptr);
        const int32_t units = static_cast<int32_t>(count / us_);
        Check(first >= lowest && first + units - 1 <= highest, "a read beyond the block's ends");
        std::string bytes;
        for (int32_t u = first; u < first + units; ++u)
            bytes += UnitBytes(u);
        pendingServe_.clear();
        for (int32_t u = first; u < first + units; ++u)
            pendingServe_.push_back({u, ValueOf(UnitBytes(u))});
        std::string text;
        for (char c : bytes)
            text += fuzzch::Hex(static_cast<uint8_t>(c), 2);
        return text;
    }

    void Write(const fuzzch::Request& r) {
        uint32_t address = 0, count = 0;
        pendingServe_.clear();
        pendingWrite_.clear();
        if (r.letter == '.') {
            // One bit of a word register.
            uint32_t bit = 0;
            Check(r.letter == bitLetter_, "a register bit write on a block without");
            Check(r.body.size() == 10 && Digits(r.body, 0, 8, true, &address) &&
                      Digits(r.body, 8, 1, true, &bit) && (r.body[9] == '0' || r.body[9] == '1'),
                  "register bit write fields");
            const int32_t unit = UnitOf(address);
            Check(stagings_.count(unit) != 0, "a bit written in a unit nobody staged");
            std::string b = UnitBytes(unit);
            const size_t byte = bit >= 8 ? 0 : 1;
            const uint8_t m = static_cast<uint8_t>(1u << (bit % 8));
            b[byte] = static_cast<char>(r.body[9] == '1' ? b[byte] | m : b[byte] & ~m);
            pendingWrite_.push_back({unit, b});
            return;
        }
        if (std::strchr("xyra", r.letter)) {
            Check(r.letter == bitLetter_, "a bit write of another block's letter");
            Check(r.body.size() == 9 &&
                      Digits(r.body, 0, 8, idec::IsHexAddressLetter(r.letter), &address) &&
                      (r.body[8] == '0' || r.body[8] == '1'),
                  "bit write fields");
            Check(stagedBits_.count(static_cast<int32_t>(address)) != 0,
                  "a bit written that nobody staged:", std::to_string(address));
            int32_t unit = -1, bit = 0;
            Check(block_->UnitOf(static_cast<int32_t>(address), &unit, &bit), "bit write address");
            std::string b = UnitBytes(unit);
            const uint8_t m = static_cast<uint8_t>(1u << bit);
            b[0] = static_cast<char>(r.body[8] == '1' ? b[0] | m : b[0] & ~m);
            pendingWrite_.push_back({unit, b});
            return;
        }
        const bool hex = idec::IsHexAddressLetter(r.letter);
        Check(r.letter == unitLetter_, "a write of another block's letter");
        Check(r.body.size() >= 12 && Digits(r.body, 0, 8, hex, &address) &&
                  Digits(r.body, 8, 2, true, &count),
              "block write fields");
        Check(count >= 1 && count <= static_cast<uint32_t>(idec::kMaxBlockBytes) &&
                  r.body.size() == 10 + 2 * count,
              "block write count");
        // Counts are in bytes: a text may end inside a unit, whose other
        // bytes stay.
        std::string bytes;
        for (uint32_t i = 0; i < count; ++i) {
            uint32_t v = 0;
            Check(Digits(r.body, 10 + 2 * i, 2, true, &v), "block write data");
            bytes += static_cast<char>(v);
        }
        const int32_t first = UnitOf(address);
        for (uint32_t i = 0; i < count; i += us_) {
            const int32_t unit = first + static_cast<int32_t>(i / us_);
            Check(block_->InRange(block_->AddressOf(unit, 0)),
                  "a write outside the block's ranges");
            Check(stagings_.count(unit) != 0,
                  "a unit written that nobody staged:", std::to_string(unit));
            std::string b = UnitBytes(unit);
            const size_t n = count - i < us_ ? count - i : us_;
            b.replace(0, n, bytes.substr(i, n));
            auto it = stagedWord_.find(unit);
            if (us_ == 2 && n == 2 && it != stagedWord_.end())
                Check(ValueOf(b) == it->second,
                      "a staged word went out changed:", std::to_string(unit));
            pendingWrite_.push_back({unit, b});
        }
    }

    void Serve() {
        for (const auto& s : pendingServe_)
            served_[s.first].insert(s.second);
    }
    void Execute() {
        for (const auto& w : pendingWrite_)
            memory_[w.first] = w.second;
    }

    void Answer(bool read, const std::string& data, std::deque<fuzzch::Piece>* queue) {
        std::string body = std::string(1, static_cast<char>(kAck)) + "010" + data;
        const std::string full = body + fuzzch::Bcc(body) + "\r";
        const uint8_t op = in_->Empty() ? 0 : in_->Byte();
        switch (op % 11) {
        case 0: // whole
            Serve();
            Execute();
            queue->push_back(Bytes(full));
            return;
        case 1: { // in pieces
            Serve();
            Execute();
            const int parts = 2 + in_->Byte() % 3;
            size_t at = 0;
            for (int i = 1; i < parts && at < full.size(); ++i) {
                const size_t cut = at + 1 + in_->Byte() % (full.size() - at);
                queue->push_back(Bytes(full.substr(at, cut - at)));
                at = cut;
            }
            if (at < full.size())
                queue->push_back(Bytes(full.substr(at)));
            return;
        }
        case 2: { // NAK with a code: not carried out
            const std::string nak =
                std::string(1, static_cast<char>(kNakByte)) + "010" + fuzzch::Hex(in_->Byte(), 2);
            queue->push_back(Bytes(nak + fuzzch::Bcc(nak) + "\r"));
            return;
        }
        case 3: { // refusal with a code: not carried out
            const std::string ng =
                std::string(1, static_cast<char>(kAck)) + "012" + fuzzch::Hex(in_->Byte(), 2);
            queue->push_back(Bytes(ng + fuzzch::Bcc(ng) + "\r"));
            return;
        }
        case 4: { // the last k data characters lost
            Execute();
            const size_t k = 1 + in_->Byte() % 4;
            std::string cut = body.substr(0, body.size() > 4 + k ? body.size() - k : 4);
            // One lost character leaves the block check's first one in the
            // data, and a reply that reads as whole: not a value to check.
            if (read && k == 1 && !data.empty())
                tainted_ = true;
            queue->push_back(Bytes(cut + fuzzch::Bcc(cut) + "\r"));
            return;
        }
        case 5: { // cut off without its CR; the peer closes
            Execute();
            const size_t keep = in_->Byte() % full.size();
            // All data and the block check arrived: a read may take it.
            if (keep >= 4 + data.size())
                Serve();
            queue->push_back(Bytes(full.substr(0, keep)));
            queue->push_back(Close());
            return;
        }
        case 6: { // extra characters before the block check
            Serve();
            Execute();
            std::string extra;
            const size_t k = in_->Byte() % 16;
            for (size_t i = 0; i < k; ++i) {
                char c = static_cast<char>(in_->Byte());
                extra += c == '\r' ? 'X' : c;
            }
            const std::string longer = body + extra;
            queue->push_back(Bytes(longer + fuzzch::Bcc(longer) + "\r"));
            return;
        }
        case 7: // the reply, then junk that arrives before the next request
            Serve();
            Execute();
            queue->push_back(Bytes(full));
            queue->push_back(Bytes((in_->Byte() & 1) ? full
                                                     : std::string("\x06"
                                                                   "01\r"
                                                                   "junk\r")));
            return;
        case 8: // carried out, no reply
            Execute();
            if (!read) {
                const int waits = in_->Byte() % 6;
                for (int i = 0; i < waits; ++i) {
                    fuzzch::Piece p;
                    p.kind = fuzzch::Piece::kTimeout;
                    queue->push_back(p);
                }
            }
            queue->push_back(Close());
            return;
        case 9: // a socket error (writes: a read would pause on it)
            if (read) {
                queue->push_back(Close());
            } else {
                fuzzch::Piece p;
                p.kind = fuzzch::Piece::kSocketError;
                queue->push_back(p);
            }
            return;
        default: { // raw bytes
            Execute();
            tainted_ = true;
            std::string raw;
            const size_t k = in_->Byte() % 48;
            for (size_t i = 0; i < k; ++i)
                raw += static_cast<char>(in_->Byte());
            queue->push_back(Bytes(raw));
            return;
        }
        }
    }

    Reader* in_;
    CPlcDevice* block_;
    uint32_t us_;
    char unitLetter_ = 0;
    char bitLetter_ = 0;
    bool checked_ = false;
    bool tainted_ = false;
    uint32_t tick_ = 0;
    std::map<int32_t, std::string> memory_;
    std::map<int32_t, std::set<uint32_t>> served_;
    std::vector<std::pair<int32_t, uint32_t>> pendingServe_;
    std::vector<std::pair<int32_t, std::string>> pendingWrite_;
    std::map<int32_t, int> stagings_;
    std::map<int32_t, uint32_t> stagedWord_;
    std::set<int32_t> stagedBits_;
};

// ---- the link's channel ----

Plc* gPlc = nullptr;

class FuzzLinkChannel : public CEngineLinkChannel {
public:
    explicit FuzzLinkChannel(const IDecOpenParams* params)
        : CEngineLinkChannel(params), bytes_(params, gPlc, 24) {}
    CIDecComBase* Channel() override { return &bytes_; }
    int32_t Open(bool blocking) override { return bytes_.Open(blocking); }
    bool IsConnected(bool openIfClosed) override { return bytes_.IsConnected(openIfClosed); }
    int Close() override { return bytes_.Close(); }
    int LastSocketError() override { return bytes_.GetLastSocketError(); }
    void EnumeratePlc(CPlcDrvLink&, CPlc&) override { Fail("an enumeration was started"); }

    static CLinkChannel* Create(const IDecOpenParams* params) {
        return new (std::nothrow) FuzzLinkChannel(params);
    }

private:
    fuzzch::ByteChannel bytes_;
};

class FuzzLink : public CPlcDrvLink {
public:
    explicit FuzzLink(CLinkTable* owner) : CPlcDrvLink(owner) {}
    using CPlcDrvLink::ConnectStep;
    using CPlcDrvLink::Pass;
};

struct Item {
    std::string name;
    int32_t address;
    int suffix; // 0 none
    int32_t units;
};

const char* const kSuffixes[] = {"",         ".Bit3",    ".Long", ".Float",
                                 ".String9", ".Integer", ".Bit",  ""};

const DeviceTypeRecord& RecordOf(const char* name) {
    static std::map<std::string, DeviceTypeRecord> records;
    auto it = records.find(name);
    if (it == records.end()) {
        static CPlcDefinitionFile file;
        static bool loaded =
            file.LoadText(kShippedControllerText, sizeof kShippedControllerText - 1);
        Check(loaded, "definition");
        DeviceTypeRecord r;
        Check(file.ParseDeviceType(name, &r), "definition line");
        it = records.emplace(name, r).first;
    }
    return it->second;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2)
        return 0;
    Reader in{data, size};
    const char* blockName = kBlocks[in.Byte() % (sizeof kBlocks / sizeof kBlocks[0])];

    CLinkTable table;
    table.SetChannelFactory(&FuzzLinkChannel::Create);
    FuzzLink* link = new FuzzLink(&table);
    link->SetStationText("01");
    link->SetAddressText("in-process:1");
    link->SetChannelKind(idec::kChannelEthernet);
    CPlc* plc = new CPlc(link);
    plc->SetName(W16("P0"));
    link->InsertPlc(plc);
    table.InsertLink(link);
    CPlcDevice* block = GetOrCreatePlcDevice(plc, RecordOf(blockName));
    Check(block != nullptr, "block");
    block->listed = 1;

    Plc simulated(&in, block);
    gPlc = &simulated;
    std::unique_ptr<CDrvIDec> driver(new CDrvIDec(table));
    const bool words = !block->bitDevice && block->radix != model::kRadixDecimalOctal;

    // The items, registered as a host does.
    std::vector<Item> items;
    const int itemCount = 1 + in.Byte() % 8;
    for (int i = 0; i < itemCount; ++i) {
        const uint32_t range = in.Byte() % (block->rangeCount ? block->rangeCount : 1);
        const uint32_t span = block->rangeEnd[range] - block->rangeStart[range] + 1;
        const uint32_t pick = in.Word();
        // Mostly near the range's ends and near each other.
        uint32_t address = block->rangeStart[range] + pick % (span < 64 ? span : 64);
        if (pick & 0x8000)
            address = block->rangeEnd[range] - pick % (span < 16 ? span : 16);
        if (block->radix == model::kRadixDecimalOctal && address % 10 > 7)
            address -= 2;
        const int suffix = words ? in.Byte() % 8 : 0;
        Item item{ToText(block->Name()) + std::to_string(address) + kSuffixes[suffix],
                  static_cast<int32_t>(address), suffix, 1};
        if (suffix == 2 || suffix == 3)
            item.units = block->UnitSize() >= 4 ? 1 : 2;
        if (suffix == 4)
            item.units = static_cast<int32_t>((10 + block->UnitSize() - 1) / block->UnitSize());
        // One item per address: a suffix of another type changes the item.
        bool taken = false;
        for (const Item& other : items)
            taken |= other.address == item.address;
        int32_t type = -1, n = -1, access = -1;
        if (!taken && driver->RegisterItem(block, Wide(item.name).c_str(), &type, &n, &access) == 1)
            items.push_back(item);
    }

    link->ConnectStep();
    const int rounds = 1 + in.Byte() % 4;
    for (int round = 0; round <= rounds; ++round) {
        link->Pass(&CLinkChannel::ReadScan);
        // Every value read is one the PLC served for the item's unit.
        for (const Item& item : items) {
            uint32_t v = 0xA5A5A5A5u;
            int32_t type = TypeU32;
            int32_t count = -1;
            const int32_t r =
                driver->ReadItem(block, Wide(item.name).c_str(), &type, &v, 1, &count, 0);
            if (r != ResultOk || item.suffix != 0 || !simulated.Checked())
                continue;
            int32_t unit = -1;
            Check(block->UnitOf(item.address, &unit, nullptr), "item unit");
            Check(simulated.Served(unit, v), "a value the PLC never served for the item:",
                  item.name + " = " + std::to_string(v));
        }
        if (round == rounds)
            break;
        // Writes, then the write pass.
        const uint8_t actions = in.Byte();
        for (size_t i = 0; i < items.size(); ++i) {
            if (!(actions & (1u << (i % 8))))
                continue;
            const Item& item = items[i];
            const uint32_t value = in.Word() | static_cast<uint32_t>(in.Word()) << 16;
            int32_t count = -1;
            int32_t r;
            if (item.suffix == 4) {
                const std::basic_string<WChar> text = Wide(std::to_string(value));
                r = driver->WriteItem(block, Wide(item.name).c_str(), TypeText, text.c_str(),
                                      static_cast<int32_t>(text.size()), &count, 0);
            } else {
                const uint16_t word = static_cast<uint16_t>(value);
                r = driver->WriteItem(block, Wide(item.name).c_str(), TypeU16, &word, 0, &count, 0);
            }
            if (r != ResultOk)
                continue;
            int32_t unit = -1, bit = 0;
            Check(block->UnitOf(item.address, &unit, &bit), "item unit");
            if (block->bitDevice || block->radix == model::kRadixDecimalOctal) {
                simulated.StagedBit(item.address);
                simulated.Staged(unit, false, 0);
                continue;
            }
            for (int32_t u = unit; u < unit + item.units; ++u)
                simulated.Staged(u, item.suffix == 0 && block->UnitSize() == 2 && u == unit,
                                 static_cast<uint16_t>(value));
            // A text runs on to its terminator's unit.
            if (item.suffix == 4)
                simulated.Staged(unit + item.units, false, 0);
        }
        link->Pass(&CLinkChannel::WriteQueue);
    }
    driver.reset();
    gPlc = nullptr;
    return 0;
}
