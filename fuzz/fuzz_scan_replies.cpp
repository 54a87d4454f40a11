// The read scan and the write queue of one device block, fed arbitrary
// replies through the in-process channel, whose replies a simulated PLC,
// steered by the input, makes. The link's own passes (write and read)
// run on this thread; the host's side goes through the driver object
// (RegisterItem, ReadItem, WriteItem).
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
#include <map>
#include <new>
#include <set>

#include "ControllerText.h"
#include "FuzzKit.h"
#include "comm/Frames.h"
#include "comm/RequestEngine.h"
#include "driver/DrvIDec.h"
#include "model/LinkModel.h"
#include "model/PlcDefinition.h"

namespace {

using fuzz::Check;
using fuzz::Piece;

const char* const kBlocks[] = {"D", "M", "P", "TC", "T", "R", "I", "CC", "D", "D"};
constexpr int kMaxRequests = 600;

// n digits of s from at, hexadecimal or decimal.
bool Digits(const std::string& s, size_t at, size_t n, bool hex, uint32_t* value) {
    return fuzz::ReadDigits(s, at, n, hex ? 16 : 10, value);
}

uint32_t ValueOf(const std::string& b) {
    uint32_t v = 0;
    for (char c : b)
        v = v << 8 | static_cast<uint8_t>(c);
    return v;
}

// The simulated PLC.
class Plc {
public:
    Plc(fuzz::Input* in, CPlcDevice* block) : in_(in), block_(block), us_(block->UnitSize()) {
        unitLetter_ = block->UnitAccessLetter();
        bitLetter_ = block->BitAccessLetter();
        // The words of these blocks count their units from 0 at address 0.
        checked_ = !block->bitDevice && block->radix != model::kRadixDecimalOctal &&
                   block->lowestAddress == 0 && (us_ == 2 || us_ == 4);
    }

    void OnRequest(const std::string& f, fuzz::Queue& queue) {
        // ENQ, station, '0', command, letter, fields, block check, CR; a
        // control byte anywhere else would cut the frame.
        bool printable = true;
        for (size_t i = 1; i + 1 < f.size(); ++i)
            printable &= static_cast<uint8_t>(f[i]) >= 0x20 && static_cast<uint8_t>(f[i]) <= 0x7E;
        Check(f.size() >= 9 && f[0] == '\5' && f.compare(1, 3, "010") == 0 &&
                  f == fuzz::Frame(f.substr(0, f.size() - 3)) && printable,
              "malformed request:", f);
        const char command = f[4], letter = f[5];
        const std::string body = f.substr(6, f.size() - 9);
        Check(command == 'R' || command == 'W', "a request that is no read or write:", f);
        if (++requests_ > kMaxRequests)
            return queue.push_back(fuzz::Event(Piece::kClose));
        ++tick_;
        pendingServe_.clear();
        pendingWrite_.clear();
        const std::string data = command == 'R' ? ServeRead(letter, body) : "";
        if (command == 'W')
            Write(letter, body);
        Answer(command == 'R', data, queue);
    }

    // Whether value was served for unit in a reply the engine may take whole.
    bool Served(int32_t unit, uint32_t value) const {
        auto it = served_.find(unit);
        return it != served_.end() && it->second.count(value) != 0;
    }
    bool Checked() const { return checked_ && !tainted_; }

    // What the host staged, by unit and by bit address.
    void Staged(int32_t unit, bool wholeWord, uint32_t word) {
        if (++stagings_[unit] == 1 && wholeWord)
            stagedWord_[unit] = word;
        else
            stagedWord_.erase(unit);
    }
    void StagedBit(int32_t address) { stagedBits_.insert(address); }

private:
    int32_t UnitOf(uint32_t address, int32_t* bit = nullptr) const {
        int32_t unit = -1;
        Check(address <= INT32_MAX && block_->UnitOf(static_cast<int32_t>(address), &unit, bit),
              "a request for an address with no unit");
        return unit;
    }

    // The unit's bytes in PLC order: what was written there, else words
    // that name their unit and the request.
    std::string UnitBytes(int32_t unit) const {
        auto it = memory_.find(unit);
        if (it != memory_.end())
            return it->second;
        const uint32_t u = static_cast<uint32_t>(unit);
        const uint32_t v = us_ == 2   ? (u & 0x3FFF) | (tick_ & 3) << 14
                           : us_ == 4 ? (u & 0xFFFF) | (tick_ & 0xFFFF) << 16
                                      : u * 37 + tick_ * 11;
        std::string b(us_, '\0');
        for (uint32_t i = 0; i < us_; ++i)
            b[i] = static_cast<char>(v >> (8 * (us_ - 1 - i)));
        return b;
    }

    std::string ServeRead(char letter, const std::string& body) {
        uint32_t address = 0, count = 0;
        if (std::strchr("xyrde", letter)) {
            // A single bit: contacts.
            Check(letter == bitLetter_, "a bit read of another block's letter");
            Check(body.size() == 8 && Digits(body, 0, 8, false, &address), "bit read fields");
            Check(block_->InRange(address), "bit read outside the block's ranges");
            return (in_->Byte() & 1) ? "1" : "0";
        }
        Check(letter == unitLetter_, "a read of another block's letter");
        Check(body.size() == 10 && Digits(body, 0, 8, idec::IsHexAddressLetter(letter), &address) &&
                  Digits(body, 8, 2, true, &count),
              "block read fields:", body);
        Check(count >= 1 && count <= static_cast<uint32_t>(idec::kMaxBlockBytes), "read count");
        Check(count % us_ == 0, "a read of part of a unit");
        const int32_t first = UnitOf(address), units = static_cast<int32_t>(count / us_);
        Check(first >= UnitOf(block_->lowestAddress) &&
                  first + units - 1 <= UnitOf(block_->highestAddress),
              "a read beyond the block's ends");
        std::string text;
        for (int32_t u = first; u < first + units; ++u) {
            const std::string b = UnitBytes(u);
            pendingServe_.push_back({u, ValueOf(b)});
            for (char c : b)
                text += fuzz::Hex(static_cast<uint8_t>(c), 2);
        }
        return text;
    }

    void Write(char letter, const std::string& body) {
        uint32_t address = 0, count = 0, bit = 0;
        if (letter == '.' || std::strchr("xyra", letter)) {
            // One bit: of a word register ('.'), or a contact.
            const bool reg = letter == '.';
            const size_t at = reg ? 9 : 8;
            Check(letter == bitLetter_, "a bit write of another block's letter");
            Check(body.size() == at + 1 &&
                      Digits(body, 0, 8, reg || idec::IsHexAddressLetter(letter), &address) &&
                      (!reg || Digits(body, 8, 1, true, &bit)) &&
                      (body[at] == '0' || body[at] == '1'),
                  "bit write fields");
            int32_t b = 0;
            const int32_t unit = UnitOf(address, &b);
            if (reg)
                Check(stagings_.count(unit) != 0, "a bit written in a unit nobody staged");
            else
                Check(stagedBits_.count(static_cast<int32_t>(address)) != 0,
                      "a bit written that nobody staged:", std::to_string(address));
            std::string bytes = UnitBytes(unit);
            const size_t byte = reg && bit < 8 ? 1 : 0;
            const uint8_t m =
                static_cast<uint8_t>(1u << (reg ? bit % 8 : static_cast<uint32_t>(b)));
            bytes[byte] = static_cast<char>(body[at] == '1' ? bytes[byte] | m : bytes[byte] & ~m);
            pendingWrite_.push_back({unit, bytes});
            return;
        }
        Check(letter == unitLetter_, "a write of another block's letter");
        Check(body.size() >= 12 && Digits(body, 0, 8, idec::IsHexAddressLetter(letter), &address) &&
                  Digits(body, 8, 2, true, &count),
              "block write fields");
        Check(count >= 1 && count <= static_cast<uint32_t>(idec::kMaxBlockBytes) &&
                  body.size() == 10 + 2 * count,
              "block write count");
        // Counts are in bytes: a text may end inside a unit, whose other
        // bytes stay.
        std::string bytes;
        for (uint32_t i = 0, v = 0; i < count; ++i) {
            Check(Digits(body, 10 + 2 * i, 2, true, &v), "block write data");
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
            const size_t n = std::min<size_t>(count - i, us_);
            b.replace(0, n, bytes.substr(i, n));
            auto it = stagedWord_.find(unit);
            Check(us_ != 2 || n != 2 || it == stagedWord_.end() || ValueOf(b) == it->second,
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
    std::string Some(size_t k) {
        std::string s;
        while (k-- > 0)
            s += static_cast<char>(in_->Byte());
        return s;
    }

    void Answer(bool read, const std::string& data, fuzz::Queue& queue) {
        const std::string body = std::string(1, '\6') + "010" + data, full = fuzz::Frame(body);
        const auto put = [&queue](const std::string& s) { queue.push_back(fuzz::Bytes(s)); };
        const auto close = [&queue] { queue.push_back(fuzz::Event(Piece::kClose)); };
        const int op = (in_->Empty() ? 0 : in_->Byte()) % 11;
        // Carried out: all but a NAK, a refusal and a socket error. Served:
        // what a read takes whole (the reply alone, in pieces, with extra
        // characters or followed by junk).
        if (op != 2 && op != 3 && op != 9)
            Execute();
        if (op <= 1 || op == 6 || op == 7)
            Serve();
        switch (op) {
        case 0: // whole
            return put(full);
        case 1: { // in pieces
            const int parts = 2 + in_->Byte() % 3;
            size_t at = 0;
            for (int i = 1; i < parts && at < full.size(); ++i) {
                const size_t cut = at + 1 + in_->Byte() % (full.size() - at);
                put(full.substr(at, cut - at));
                at = cut;
            }
            return put(full.substr(at));
        }
        case 2: // NAK with a code
            return put(fuzz::Frame(std::string(1, '\25') + "010" + fuzz::Hex(in_->Byte(), 2)));
        case 3: // refusal with a code
            return put(fuzz::Frame(std::string(1, '\6') + "012" + fuzz::Hex(in_->Byte(), 2)));
        case 4: { // the last k data characters lost
            const size_t k = 1 + in_->Byte() % 4;
            // One lost character leaves the block check's first one in the
            // data, and a reply that reads as whole: not a value to check.
            tainted_ |= read && k == 1 && !data.empty();
            return put(fuzz::Frame(body.substr(0, std::max(body.size(), 4 + k) - k)));
        }
        case 5: { // cut off without its CR; the peer closes
            const size_t keep = in_->Byte() % full.size();
            // All data and the block check arrived: a read may take it.
            if (keep >= 4 + data.size())
                Serve();
            put(full.substr(0, keep));
            return close();
        }
        case 6: { // extra characters before the block check
            std::string extra = Some(in_->Byte() % 16);
            std::replace(extra.begin(), extra.end(), '\r', 'X');
            return put(fuzz::Frame(body + extra));
        }
        case 7: // the reply, then junk that arrives before the next request
            put(full);
            return put((in_->Byte() & 1) ? full : std::string(1, '\6') + "01\rjunk\r");
        case 8: // no reply
            for (int waits = read ? 0 : in_->Byte() % 6; waits > 0; --waits)
                queue.push_back(fuzz::Event(Piece::kTimeout));
            return close();
        case 9: // a socket error (writes: a read would pause on it)
            return read ? close() : queue.push_back(fuzz::Event(Piece::kSocketError));
        default: // raw bytes
            tainted_ = true;
            return put(Some(in_->Byte() % 48));
        }
    }

    fuzz::Input* in_;
    CPlcDevice* block_;
    uint32_t us_;
    char unitLetter_, bitLetter_;
    bool checked_, tainted_ = false;
    int requests_ = 0;
    uint32_t tick_ = 0;
    std::map<int32_t, std::string> memory_;
    std::map<int32_t, std::set<uint32_t>> served_;
    std::vector<std::pair<int32_t, uint32_t>> pendingServe_;
    std::vector<std::pair<int32_t, std::string>> pendingWrite_;
    std::map<int32_t, int> stagings_;
    std::map<int32_t, uint32_t> stagedWord_;
    std::set<int32_t> stagedBits_;
};

Plc* gPlc = nullptr;

// The link's channel: the byte channel to the simulated PLC.
class FuzzLinkChannel : public CEngineLinkChannel {
public:
    explicit FuzzLinkChannel(const IDecOpenParams* params)
        : CEngineLinkChannel(params),
          bytes_(
              params, [](const std::string& f, fuzz::Queue& q) { gPlc->OnRequest(f, q); }, 24) {}
    CIDecComBase* Channel() override { return &bytes_; }
    int32_t Open(bool blocking) override { return bytes_.Open(blocking); }
    bool IsConnected(bool openIfClosed) override { return bytes_.IsConnected(openIfClosed); }
    int Close() override { return bytes_.Close(); }
    int LastSocketError() override { return bytes_.GetLastSocketError(); }
    // The passes run only while the link's channel has a session.
    uint32_t Session() const override { return bytes_.Session(); }
    void EnumeratePlc(CPlcDrvLink&, CPlc&) override { fuzz::Fail("an enumeration was started"); }
    static CLinkChannel* Create(const IDecOpenParams* params) {
        return new (std::nothrow) FuzzLinkChannel(params);
    }

private:
    fuzz::ByteChannel bytes_;
};

class FuzzLink : public CPlcDrvLink {
public:
    explicit FuzzLink(CLinkTable* owner) : CPlcDrvLink(owner) {}
    using CPlcDrvLink::ConnectStep;
    using CPlcDrvLink::Pass;
};

struct Item {
    std::basic_string<WChar> name;
    int32_t address;
    int suffix; // 0 none
    int32_t units;
};

const char* const kSuffixes[] = {"",         ".Bit3",    ".Long", ".Float",
                                 ".String9", ".Integer", ".Bit",  ""};

DeviceTypeRecord RecordOf(const char* name) {
    static CPlcDefinitionFile file;
    static const bool loaded =
        file.LoadText(kShippedControllerText, sizeof kShippedControllerText - 1);
    DeviceTypeRecord r;
    Check(loaded && file.ParseDeviceType(name, &r), "definition line");
    return r;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2)
        return 0;
    fuzz::Input in{data, size};
    // The first byte picks the block, its high bit the exact read plan.
    const uint8_t first = in.Byte();
    const char* blockName = kBlocks[(first & 0x7F) % (sizeof kBlocks / sizeof kBlocks[0])];

    CLinkTable table;
    table.SetReadPlan(first & 0x80 ? model::kReadPlanExact : model::kReadPlanMerge);
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
    for (int i = 0, itemCount = 1 + in.Byte() % 8; i < itemCount; ++i) {
        const uint32_t range = in.Byte() % (block->rangeCount ? block->rangeCount : 1);
        const uint32_t span = block->rangeEnd[range] - block->rangeStart[range] + 1;
        const uint32_t pick = static_cast<uint32_t>(in.Le(2));
        // Mostly near the range's ends and near each other.
        uint32_t address = block->rangeStart[range] + pick % std::min(span, 64u);
        if (pick & 0x8000)
            address = block->rangeEnd[range] - pick % std::min(span, 16u);
        if (block->radix == model::kRadixDecimalOctal && address % 10 > 7)
            address -= 2;
        const int suffix = words ? in.Byte() % 8 : 0;
        const uint32_t us = block->UnitSize();
        Item item{
            fuzz::Wide(fuzz::Narrow(block->Name()) + std::to_string(address) + kSuffixes[suffix]),
            static_cast<int32_t>(address), suffix,
            suffix == 2 || suffix == 3 ? (us >= 4 ? 1 : 2)
            : suffix == 4              ? static_cast<int32_t>((10 + us - 1) / us)
                                       : 1};
        // One item per address: a suffix of another type changes the item.
        bool taken = false;
        for (const Item& other : items)
            taken |= other.address == item.address;
        int32_t type = -1, n = -1, access = -1;
        if (!taken && driver->RegisterItem(block, item.name.c_str(), &type, &n, &access) == 1)
            items.push_back(item);
    }

    link->ConnectStep();
    const int rounds = 1 + in.Byte() % 4;
    for (int round = 0; round <= rounds; ++round) {
        link->Pass(&CLinkChannel::ReadScan);
        // Every value read is one the PLC served for the item's unit.
        for (const Item& item : items) {
            uint32_t v = 0xA5A5A5A5u;
            int32_t type = TypeU32, count = -1, unit = -1;
            const int32_t r = driver->ReadItem(block, item.name.c_str(), &type, &v, 1, &count, 0);
            if (r != ResultOk || item.suffix != 0 || !simulated.Checked())
                continue;
            Check(block->UnitOf(item.address, &unit, nullptr), "item unit");
            Check(simulated.Served(unit, v), "a value the PLC never served for the item:",
                  fuzz::Narrow(item.name.c_str()) + " = " + std::to_string(v));
        }
        if (round == rounds)
            break;
        // Writes, then the write pass.
        const uint8_t actions = in.Byte();
        for (size_t i = 0; i < items.size(); ++i) {
            if (!(actions & (1u << (i % 8))))
                continue;
            const Item& item = items[i];
            const uint32_t value = static_cast<uint32_t>(in.Le(4));
            const uint16_t word = static_cast<uint16_t>(value);
            const std::basic_string<WChar> text = fuzz::Wide(std::to_string(value));
            int32_t count = -1, unit = -1, bit = 0;
            const int32_t r =
                item.suffix == 4
                    ? driver->WriteItem(block, item.name.c_str(), TypeText, text.c_str(),
                                        static_cast<int32_t>(text.size()), &count, 0)
                    : driver->WriteItem(block, item.name.c_str(), TypeU16, &word, 0, &count, 0);
            if (r != ResultOk)
                continue;
            Check(block->UnitOf(item.address, &unit, &bit), "item unit");
            if (!words) {
                simulated.StagedBit(item.address);
                simulated.Staged(unit, false, 0);
                continue;
            }
            for (int32_t u = unit; u < unit + item.units; ++u)
                simulated.Staged(u, item.suffix == 0 && block->UnitSize() == 2 && u == unit, word);
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
