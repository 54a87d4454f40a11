#include "comm/ReadScan.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "comm/Frames.h"
#include "comm/RequestEngine.h"
#include "platform/variant.h"
#include "support/LockGuard.h"

namespace idec {

namespace {

bool IsTextType(uint16_t type) {
    return type == model::kTypeText || type == model::kTypeAltText;
}

bool IsContactLetter(char letter) {
    return letter == 'd' || letter == 'e';
}

// Words travel high byte first; the host reads them low byte first.
bool SwapsWords(const CPlcDevice& device) {
    return device.UnitSize() >= 2 && !device.bitDevice && device.radix != model::kRadixDecimalOctal;
}

// Asks without reconnecting: the device lock may be held, and only the
// link's connect step connects.
bool ChannelUp(CPlcDrvLink& link) {
    CLinkChannel* channel = link.Channel();
    return channel && !link.Stopping() && channel->Session() != 0;
}

// Units from `absolute` up to the block's highest address, at least 0.
int64_t UnitsBeforeEnd(const CPlcDevice& device, int64_t absolute) {
    int32_t last = 0;
    if (!device.UnitOf(static_cast<int32_t>(device.highestAddress), &last, nullptr))
        return 0;
    const int64_t n = static_cast<int64_t>(last) - absolute + 1;
    return n > 0 ? n : 0;
}

// One run's plan, made under the device lock from the items in use.
struct RunPlan {
    struct Text {
        size_t first; // byte offset in the run
        bool ended;   // a NUL has been read inside it
    };
    struct Contact {
        int32_t address;
        size_t byte;
        uint8_t mask;
        CDeviceItem* item;
    };
    int fresh = 0;
    bool allText = true;
    size_t bytes = 0;
    std::vector<Text> texts;
    std::vector<Contact> contacts;
    struct Fresh {
        CDeviceItem* item;
        size_t offset; // of its first byte in the run
        size_t end;    // bytes of the run that must be read for its value
        size_t limit;  // bytes of the run up to its address range's end
    };
    uint32_t session = 0;     // the connection the run goes over
    std::vector<Fresh> items; // validated after a good read

    void Clear() {
        fresh = 0;
        allText = true;
        bytes = 0;
        texts.clear();
        contacts.clear();
        items.clear();
    }
};

// What the runs of one pass reuse, so that a run allocates nothing once the
// pass has met its largest one: the plan, the run's bytes in both orders and
// the items read. nextItem is where the next run's items may begin in the
// address index: runs come in unit order, as the index does. An item added
// while the lock is let go moves the ones after it a place on, so nextItem
// can only point too early, which costs a skipped item; a removal changes
// the window's generation, which ends the pass.
struct PassScratch {
    RunPlan plan;
    std::vector<uint8_t> host;
    std::vector<uint8_t> plc;
    std::vector<int32_t> outcome;
    uint32_t nextItem = 0;
};

// Bytes from an item's first that a read of it takes: its units, or as far
// as its type or a host's name for it reads (a float configured on one word,
// ".Long" on a word), and a text as far as it may be long (the range's end
// is applied by the caller).
size_t WantBytes(const CPlcDevice& device, const CDeviceItem& item) {
    const uint32_t us = device.UnitSize();
    const size_t size = item.size ? item.size : 1u;
    if (IsTextType(item.dataType))
        return item.textSize >= 1 && item.textSize <= 1023 ? (item.textSize + 1u) & ~size_t{1}
                                                           : model::kExtensionLarge;
    // On bit devices a value stays within its unit.
    if (device.bitDevice || device.radix == model::kRadixDecimalOctal)
        return size * us;
    return std::max<size_t>({size * us, plat::VariantBytes(item.dataType), item.readWidth});
}

// Items of the run [first, first + count) that the host used within the
// freshness time. Units count from the window start. The search starts at
// *cursor and leaves it at the first item past the run.
void PlanRun(CPlcDevice& device, int32_t first, int32_t count, size_t cap, RunPlan* plan,
             uint32_t* cursor) {
    const uint32_t now = device.Now();
    const uint32_t us = device.UnitSize();
    const bool contacts = IsContactLetter(device.UnitAccessLetter());
    plan->Clear();
    plan->bytes = static_cast<size_t>(count) * us;
    const uint32_t n = device.ItemCount();
    uint32_t i = *cursor < n ? *cursor : n;
    for (; i < n; ++i) {
        CDeviceItem* item = device.GetItemByAddress(i);
        if (!item || !item->attached || item->unitIndex < first)
            continue;
        if (item->unitIndex >= first + count)
            break; // the address index runs in unit order
        if (!device.ItemFresh(item, now))
            continue;
        ++plan->fresh;
        const size_t offset = static_cast<size_t>(item->unitIndex - first) * us;
        // Nothing past the end of the item's own address range is asked for.
        const size_t limit =
            offset + static_cast<size_t>(device.UnitsInRange(item->startAddress)) * us;
        const bool text = IsTextType(item->dataType);
        // A text counts as read from its first byte on (the host reads up to
        // its NUL); any other item needs its own units.
        const size_t size = item->size ? item->size : 1u;
        plan->items.push_back({item, offset, text ? offset + 1 : offset + size * us, limit});
        if (contacts) {
            plan->contacts.push_back(
                {item->startAddress, offset, static_cast<uint8_t>(item->bitMask & 0xFF), item});
            continue;
        }
        const size_t want = std::min(offset + WantBytes(device, *item), limit);
        if (text)
            plan->texts.push_back({offset, false});
        else
            plan->allText = false;
        if (want > plan->bytes)
            plan->bytes = want;
    }
    *cursor = i;
    if (plan->bytes > cap)
        plan->bytes = cap;
}

// A NUL at a byte of the run ends every text that starts at or before it.
void NoteTextEnds(RunPlan* plan, const uint8_t* plc, size_t from, size_t to) {
    for (RunPlan::Text& t : plan->texts) {
        if (t.ended)
            continue;
        for (size_t b = std::max(from, t.first); b < to; ++b) {
            if (plc[b] == 0) {
                t.ended = true;
                break;
            }
        }
    }
}

bool AllTextsEnded(const RunPlan& plan) {
    if (!plan.allText || plan.texts.empty())
        return false;
    for (const RunPlan::Text& t : plan.texts)
        if (!t.ended)
            return false;
    return true;
}

// Block reads of plan.bytes bytes from the unit at `absolute` into both
// buffers. Bytes read whole from the start.
size_t ReadBlocks(CPlcDrvLink& link, const ExchangeContext& ex, CPlcDevice& device,
                  int32_t absolute, RunPlan* plan, uint8_t* host, uint8_t* plc, int32_t* failed) {
    const char letter = device.UnitAccessLetter();
    const uint32_t us = device.UnitSize();
    const bool swap = SwapsWords(device);
    uint8_t chunkData[kMaxBlockBytes];
    size_t good = 0;
    while (good < plan->bytes) {
        const size_t chunk = std::min(plan->bytes - good, static_cast<size_t>(kMaxBlockBytes));
        // Each chunk starts where the last one ended, in the block's own numbering.
        const int32_t address = device.AddressOf(absolute + static_cast<int32_t>(good / us), 0);
        if (address < 0 || link.Stopping()) {
            *failed = kStatusNotInitialized;
            break;
        }
        const int32_t status =
            BlockRead(ex, device, letter, address, static_cast<int32_t>(chunk), chunkData);
        if (status != kStatusOk) {
            *failed = status;
            break; // the next pass is the retry
        }
        std::memcpy(plc + good, chunkData, chunk);
        if (swap) {
            for (size_t b = 0; b + 1 < chunk; b += 2) {
                host[good + b] = chunkData[b + 1];
                host[good + b + 1] = chunkData[b];
            }
            if (chunk % 2)
                host[good + chunk - 1] = chunkData[chunk - 1];
        } else {
            std::memcpy(host + good, chunkData, chunk);
        }
        NoteTextEnds(plan, plc, good, good + chunk);
        good += chunk;
        if (AllTextsEnded(*plan))
            break;
    }
    return good;
}

// Contacts of timers and counters are read bit by bit.
// Statuses go with the items in `outcome`, in contact order.
void ReadContacts(CPlcDrvLink& link, const ExchangeContext& ex, CPlcDevice& device, RunPlan* plan,
                  uint8_t* host, uint8_t* plc, std::vector<int32_t>* outcome) {
    const char letter = device.UnitAccessLetter();
    outcome->assign(plan->contacts.size(), kStatusNotInitialized);
    for (size_t k = 0; k < plan->contacts.size(); ++k) {
        const RunPlan::Contact& c = plan->contacts[k];
        if (link.Stopping())
            break;
        bool on = false;
        const int32_t status = BitRead(ex, device, letter, c.address, &on);
        (*outcome)[k] = status;
        if (status == kStatusRecvTimeout) {
            // A silent PLC would cost the wait once per contact.
            for (size_t rest = k + 1; rest < outcome->size(); ++rest)
                (*outcome)[rest] = status;
            break;
        }
        if (status != kStatusOk || c.byte >= plan->bytes)
            continue;
        host[c.byte] = static_cast<uint8_t>(on ? host[c.byte] | c.mask : host[c.byte] & ~c.mask);
        plc[c.byte] = host[c.byte];
    }
}

// Reads the run [first, first + count) of the window; the device lock is
// held by hold and let go for the exchanges. True when something was read;
// *failed gets the status of a failed exchange.
bool ReadRun(CPlcDrvLink& link, const ExchangeContext& ex, CPlcDevice& device, LockGuard& hold,
             int32_t first, int32_t count, PassScratch& scratch, int32_t* failed) {
    model::ReadWindow& w = device.Window();
    const uint32_t us = device.UnitSize();
    if (first < 0 || count <= 0 || static_cast<uint32_t>(first) >= w.units)
        return false;
    const uint32_t generation = w.generation;
    const int32_t absolute = w.start + first;
    // Room for a text that runs past the run, but never past the window.
    size_t cap = static_cast<size_t>(w.units - static_cast<uint32_t>(first)) * us;
    const size_t limit = static_cast<size_t>(UnitsBeforeEnd(device, absolute)) * us;
    cap = std::min(cap, limit);
    if (cap == 0)
        return false;

    RunPlan& plan = scratch.plan;
    PlanRun(device, first, count, cap, &plan, &scratch.nextItem);
    if (plan.fresh == 0 || plan.bytes == 0)
        return false;
    CLinkChannel* channel = link.Channel();
    if (!channel) {
        device.deviceStatus.store(kStatusNotInitialized);
        return false;
    }
    plan.session = channel->Session();
    if (plan.session == 0)
        return false;
    // The exchanges change no byte past the plan's (at most cap): only those
    // are taken out of the window and put back.
    const size_t offset = static_cast<size_t>(first) * us;
    const size_t span = plan.bytes;
    std::vector<uint8_t>& host = scratch.host;
    std::vector<uint8_t>& plc = scratch.plc;
    host.assign(w.current.get() + offset, w.current.get() + offset + span);
    plc.assign(w.raw.get() + offset, w.raw.get() + offset + span);

    hold.UnlockAll();
    std::vector<int32_t>& outcome = scratch.outcome;
    int32_t status = kStatusOk;
    size_t good = 0;
    if (!plan.contacts.empty())
        ReadContacts(link, ex, device, &plan, host.data(), plc.data(), &outcome);
    else
        good = ReadBlocks(link, ex, device, absolute, &plan, host.data(), plc.data(), &status);
    // Bytes that came over another connection than the one the run began
    // on are not known to be whole.
    const bool sameSession = link.Channel() && link.Channel()->Session() == plan.session;
    hold.Lock();

    // The window moved or went while the lock was let go: these bytes
    // belong to other units now, and the items noted may be gone. The next
    // pass reads them again.
    if (w.generation != generation || !w.Allocated())
        return false;
    bool any = false;
    if (!plan.contacts.empty()) {
        for (size_t k = 0; k < plan.contacts.size(); ++k) {
            CDeviceItem* item = plan.contacts[k].item;
            const bool ok = outcome[k] == kStatusOk && sameSession;
            item->readStatus = ok ? kStatusOk : outcome[k];
            if (!ok) {
                if (*failed == kStatusOk)
                    *failed = outcome[k];
                continue;
            }
            item->readBytes = us;
            item->readSession = plan.session;
            item->valid = true;
            any = true;
        }
    } else {
        if (status != kStatusOk && *failed == kStatusOk)
            *failed = status;
        if (!sameSession)
            good = 0;
        // A run that failed part way takes the good status from the items it
        // did not read whole; the ones it did read whole keep their bytes.
        for (const RunPlan::Fresh& f : plan.items) {
            CDeviceItem* item = f.item;
            if (f.end > good) {
                item->readStatus = status != kStatusOk ? status : kStatusNotInitialized;
                item->readBytes = 0;
                continue;
            }
            item->readStatus = kStatusOk;
            item->readBytes = static_cast<uint32_t>(std::min(good, f.limit) - f.offset);
            item->readSession = plan.session;
            item->valid = true;
            any = true;
        }
    }
    if (!any)
        return false;
    std::memcpy(w.current.get() + offset, host.data(), span);
    std::memcpy(w.raw.get() + offset, plc.data(), span);
    return true;
}

// ---- writes ----

bool WholeUnits(const uint8_t* masks, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (masks[i] != 0xFF)
            return false;
    return true;
}

// After a write that got no reply: a closed channel or a socket error ends
// the write, since the rest would go out on another connection.
bool ChannelLost(CPlcDrvLink& link) {
    return !ChannelUp(link);
}

// Sends n bytes staged from the unit at `absolute`. Bytes written, or -1
// when nothing succeeded.
int32_t Write(CPlcDrvLink& link, const ExchangeContext& ex, CPlcDevice& device, int32_t absolute,
              const uint8_t* data, const uint8_t* masks, size_t n, uint16_t type) {
    const uint32_t us = device.UnitSize();
    int32_t result = -1;
    if (type == model::kTypeText || WholeUnits(masks, n)) {
        const char letter = device.UnitAccessLetter();
        size_t pos = 0;
        const size_t steps = (n + kMaxBlockBytes - 1) / kMaxBlockBytes;
        for (size_t s = 0; s < steps && pos < n; ++s) {
            const size_t chunk = std::min(n - pos, static_cast<size_t>(kMaxBlockBytes));
            const int32_t address = device.AddressOf(absolute + static_cast<int32_t>(pos / us), 0);
            if (address < 0)
                break;
            const int32_t r =
                BlockWrite(ex, device, letter, address, data + pos, static_cast<int32_t>(chunk));
            if (r == kNoReply) {
                if (ChannelLost(link))
                    break;
                continue; // the same bytes again, within the steps
            }
            if (r != kStatusOk)
                break;
            pos += chunk;
            result = static_cast<int32_t>(pos);
        }
        return result;
    }
    const char letter = device.BitAccessLetter();
    const bool bitAddressed = letter == 'x' || letter == 'y' || letter == 'a' || letter == 'r';
    for (size_t j = 0; j < n; ++j) {
        for (int b = 0; b < 8; ++b) {
            if (!(masks[j] & (1u << b)))
                continue;
            const bool on = (data[j] >> b) & 1u;
            const int32_t unit = absolute + static_cast<int32_t>(j / us);
            int32_t r;
            if (bitAddressed) {
                r = BitWrite(ex, device, letter, device.AddressOf(unit, b), on);
            } else {
                // Register bits: the high byte of a word comes first.
                const int32_t bit = b + ((us >= 2 && j % 2 == 0) ? 8 : 0);
                r = RegisterBitWrite(ex, device, letter, device.AddressOf(unit, 0), bit, on);
            }
            if (r == kNoReply) {
                if (ChannelLost(link))
                    return result;
                continue;
            }
            if (r == kStatusOk)
                result = static_cast<int32_t>(n);
        }
    }
    return result;
}

size_t RunBytes(uint16_t type, int32_t count, uint32_t us, uint16_t extension) {
    if (type == model::kTypeText)
        return extension;
    // What the run's units hold: a 32-bit value on words goes out whole.
    return plat::VariantBytes(type) != 0 ? static_cast<size_t>(count) * us : 0;
}

// Writes the run [first, first + count) staged with type. The staged bytes
// are taken out under the lock before the exchange: a write staged during it
// waits for the next pass, and a failed write is not sent again.
bool WriteRun(CPlcDrvLink& link, const ExchangeContext& ex, CPlcDevice& device, LockGuard& hold,
              int32_t first, int32_t count, uint16_t type) {
    model::ReadWindow& w = device.Window();
    const uint32_t us = device.UnitSize();
    if (first < 0 || count <= 0 || static_cast<uint32_t>(first) >= w.units)
        return false;
    const int32_t absolute = w.start + first;
    const size_t offset = static_cast<size_t>(first) * us;
    size_t n = RunBytes(type, count, us, device.extension);
    const size_t room = static_cast<size_t>(w.units - static_cast<uint32_t>(first)) * us;
    n = std::min(n, room);
    n = std::min(n, static_cast<size_t>(UnitsBeforeEnd(device, absolute)) * us);
    // A text goes out as far as its bytes were staged whole, in whole units:
    // the unit of its last byte is filled with zeros.
    size_t padFrom = SIZE_MAX;
    if (type == model::kTypeText) {
        size_t whole = 0;
        while (whole < n && w.writeMask[offset + whole] == 0xFF)
            ++whole;
        n = whole;
        if (n % us != 0 && n - n % us + us <= room) {
            padFrom = n;
            n += us - n % us;
        }
    }
    // Unknown types and what lies past the block's end are dropped with the
    // rest, not kept pending for ever.
    const size_t taken = std::max(n, std::min(static_cast<size_t>(count) * us, room));
    std::vector<uint8_t> data(w.writeData.get() + offset, w.writeData.get() + offset + n);
    std::vector<uint8_t> raw(w.raw.get() + offset, w.raw.get() + offset + n);
    std::vector<uint8_t> masks(w.writeMask.get() + offset, w.writeMask.get() + offset + n);
    std::memset(w.writeMask.get() + offset, 0, taken);
    std::memset(w.writeType.get() + offset, 0, taken);
    if (n == 0)
        return false;
    for (size_t i = 0; i < n; ++i) {
        if (i >= padFrom && masks[i] == 0)
            data[i] = 0;
        else if (masks[i] != 0 && masks[i] != 0xFF)
            data[i] = static_cast<uint8_t>((raw[i] & ~masks[i]) | (data[i] & masks[i]));
    }

    hold.UnlockAll();
    const int32_t written = Write(link, ex, device, absolute, data.data(), masks.data(), n, type);
    hold.Lock();
    return written > 0;
}

// Units that a value of this type covers from the unit its type marks. A
// 32-bit or 64-bit value staged on a word item (the host's ".long", ".float")
// reaches into the units after the item's own one; on bit devices a value
// stays within its unit.
int32_t ValueUnits(const CPlcDevice& device, uint16_t type, uint32_t us) {
    if (device.bitDevice || device.radix == model::kRadixDecimalOctal)
        return 1;
    const uint32_t bytes = plat::VariantBytes(type);
    return static_cast<int32_t>(bytes > us ? (bytes + us - 1) / us : 1);
}

// The first byte of unit u with a mask gives the type that unit closes with.
uint16_t FirstMaskedType(const model::ReadWindow& w, uint32_t u, uint32_t us, bool* pending) {
    *pending = false;
    for (uint32_t b = 0; b < us; ++b) {
        const size_t at = static_cast<size_t>(u) * us + b;
        if (w.writeMask[at] != 0) {
            *pending = true;
            return w.writeType[at];
        }
    }
    return 0;
}

// Units that fresh items in use need read, within one address range;
// window units, end exclusive.
struct Need {
    int32_t first;
    int32_t end;
    int64_t rangeLast; // the range's last unit
};

// The needs of the block's fresh items in use, in unit order; needs that
// touch or overlap within a range are one.
void CollectNeeds(CPlcDevice& device, const model::ReadWindow& w, std::vector<Need>* needs) {
    const uint32_t now = device.Now();
    const uint32_t us = device.UnitSize();
    needs->clear();
    const uint32_t n = device.ItemCount();
    for (uint32_t i = 0; i < n; ++i) {
        const CDeviceItem* item = device.GetItemByAddress(i);
        if (!item || !item->attached || item->unitIndex < 0 ||
            static_cast<uint32_t>(item->unitIndex) >= w.units ||
            w.useCounts[item->unitIndex] <= 0 || !device.ItemFresh(item, now))
            continue;
        const int64_t inRange = device.UnitsInRange(item->startAddress);
        if (inRange <= 0)
            continue;
        const int64_t first = item->unitIndex;
        const int64_t rangeLast = first + inRange - 1;
        const int64_t units = static_cast<int64_t>((WantBytes(device, *item) + us - 1) / us);
        const int64_t end =
            std::min<int64_t>({first + units, rangeLast + 1, static_cast<int64_t>(w.units)});
        if (!needs->empty() && needs->back().rangeLast == rangeLast && first <= needs->back().end)
            needs->back().end = std::max(needs->back().end, static_cast<int32_t>(end));
        else
            needs->push_back({static_cast<int32_t>(first), static_cast<int32_t>(end), rangeLast});
    }
}

// Characters of a block read's request and of its reply, data aside.
constexpr int32_t kReadFrameChars = 19 + 7;

// What reading `units` units in one run costs the link: an exchange per
// frame and every character's time on the line; bytes break a tie.
uint64_t RunCost(int32_t units, uint32_t us, uint64_t exchangeUs, const CIDecComBase& channel) {
    const int64_t bytes = static_cast<int64_t>(units) * us;
    const int64_t frames = (bytes + kMaxBlockBytes - 1) / kMaxBlockBytes;
    const uint64_t us64 =
        frames * exchangeUs +
        channel.LineUs(static_cast<int32_t>(frames * kReadFrameChars + 2 * bytes));
    return us64 * 1024 + static_cast<uint64_t>(bytes);
}

// Candidates a run may reach back over: plenty for the frames a run holds,
// and a bound on the planner's work for blocks of many items.
constexpr size_t kMaxJoin = 256;

// The runs that read every need at the least cost under the link's measured
// exchange time: needs of one range joined when reading the gap between
// them costs less than the exchanges it saves, no run past maxRun units but
// a single need's. Runs as (first, count), in unit order.
void PlanMerged(const std::vector<Need>& needs, int32_t maxRun, uint32_t us, uint64_t exchangeUs,
                const CIDecComBase& channel, std::vector<std::pair<int32_t, int32_t>>* runs) {
    const size_t m = needs.size();
    std::vector<uint64_t> best(m + 1, 0);
    std::vector<size_t> from(m, 0);
    for (size_t k = 0; k < m; ++k) {
        best[k + 1] = UINT64_MAX;
        for (size_t j = k + 1; j-- > 0 && k - j < kMaxJoin;) {
            if (needs[j].rangeLast != needs[k].rangeLast)
                break;
            const int32_t span = needs[k].end - needs[j].first;
            if (j != k && span > maxRun)
                break;
            const uint64_t cost = best[j] + RunCost(span, us, exchangeUs, channel);
            if (cost < best[k + 1]) {
                best[k + 1] = cost;
                from[k] = j;
            }
        }
    }
    runs->clear();
    for (size_t k = m; k > 0;) {
        const size_t j = from[k - 1];
        runs->push_back({needs[j].first, needs[k - 1].end - needs[j].first});
        k = j;
    }
    std::reverse(runs->begin(), runs->end());
}

} // namespace

bool ReadScan(CPlcDrvLink& link, CPlcDevice& device, const ExchangeContext& ex) {
    LockGuard hold(&device.Lock());
    model::ReadWindow& w = device.Window();
    if (!(device.accessFlags & model::kUnitReadable) || !w.Allocated())
        return false;
    const uint32_t us = device.UnitSize();
    const int32_t maxRun =
        device.UnitAccessLetter() == 'A'
            ? kMaxRunUnitsA
            : std::min<int32_t>(kMaxRunBytes, kMaxRunBytes / static_cast<int32_t>(us));
    // The merged plan weighs the link's measured exchange time against the
    // gap's characters; until an exchange was timed the runs stay exact.
    const uint64_t exchangeUs = ex.channel ? ex.channel->RoundTripUs() : 0;
    const bool merge = exchangeUs != 0 && link.Owner() &&
                       link.Owner()->ReadPlan() == model::kReadPlanMerge &&
                       !IsContactLetter(device.UnitAccessLetter());
    bool any = false;
    bool ended = false;
    int32_t run = -1;
    int32_t failed = kStatusOk;
    PassScratch scratch;
    if (merge) {
        std::vector<Need> needs;
        std::vector<std::pair<int32_t, int32_t>> runs;
        CollectNeeds(device, w, &needs);
        PlanMerged(needs, maxRun, us, exchangeUs, *ex.channel, &runs);
        for (const auto& r : runs) {
            if (!ChannelUp(link))
                break;
            const uint32_t generation = w.generation;
            any |= ReadRun(link, ex, device, hold, r.first, r.second, scratch, &failed);
            if (w.generation != generation || !w.Allocated())
                break; // unit indexes moved: the next pass plans anew
        }
        if (failed != kStatusOk)
            device.deviceStatus.store(failed);
        return any;
    }
    for (uint32_t i = 0; i < w.units; ++i) {
        if (link.Stopping()) {
            ended = true;
            break;
        }
        const int32_t use = w.useCounts[i];
        const int32_t u = static_cast<int32_t>(i);
        int32_t from = -1;
        int32_t count = 0;
        if (use == model::kUseInUse) {
            if (run < 0) {
                run = u;
            } else if (u - run >= maxRun &&
                       (w.flags[i] & model::kUnitItemBits) == model::kUnitItemLast) {
                // Cut only at an item's end, so that no value is torn.
                from = run;
                count = u - run + 1;
                run = -1;
            }
        } else if (use == model::kUseRangeEnd) {
            from = run < 0 ? u : run;
            count = u - from + 1;
            run = -1;
        } else if (run >= 0) {
            from = run;
            count = u - run;
            run = -1;
        }
        if (count > 0) {
            if (!ChannelUp(link)) {
                ended = true;
                break;
            }
            const uint32_t generation = w.generation;
            any |= ReadRun(link, ex, device, hold, from, count, scratch, &failed);
            if (w.generation != generation || !w.Allocated()) {
                ended = true; // unit indexes moved: the next pass walks anew
                break;
            }
        }
    }
    if (!ended && run >= 0 && ChannelUp(link))
        any |= ReadRun(link, ex, device, hold, run, static_cast<int32_t>(w.units) - run, scratch,
                       &failed);
    // A later good run must not hide a failed one: the block shows the
    // first failure of its pass.
    if (failed != kStatusOk)
        device.deviceStatus.store(failed);
    return any;
}

bool WriteQueue(CPlcDrvLink& link, CPlcDevice& device, const ExchangeContext& ex) {
    LockGuard hold(&device.Lock());
    model::ReadWindow& w = device.Window();
    if (!(device.accessFlags & model::kUnitWritable) || !w.Allocated())
        return false;
    const uint32_t us = device.UnitSize();
    const int32_t maxRun = std::min<int32_t>(kMaxRunBytes, kMaxRunBytes / static_cast<int32_t>(us));
    const uint32_t generation = w.generation;
    int32_t run = -1;
    uint16_t runType = 0;
    auto flush = [&](int32_t from, int32_t count, uint16_t type) {
        if (count > 0)
            WriteRun(link, ex, device, hold, from, count, type);
        return w.generation == generation && w.Allocated();
    };
    const uint32_t end = std::min<uint32_t>(static_cast<uint32_t>(w.length) + 8, w.units);
    // The value staged last that is wider than its first unit: its type, and
    // one past its last unit.
    uint16_t valueType = 0;
    int32_t valueEnd = -1;
    for (uint32_t i = 0; i < end; ++i) {
        if (link.Stopping() || !ChannelUp(link))
            return false;
        const int32_t u = static_cast<int32_t>(i);
        bool pending = false;
        uint16_t p = FirstMaskedType(w, i, us, &pending);
        const uint16_t t = w.writeType[static_cast<size_t>(i) * us];
        int32_t use = w.useCounts[i];
        bool writable = (w.flags[i] & model::kUnitWritable) != 0;
        // A wide value goes out whole from the unit its type marks: the units
        // after that one count as writable and staged (its masks may lie in
        // them only), and no run ends inside it.
        bool inside = false;
        if (t != 0) {
            const int32_t units = writable && use > 0 ? ValueUnits(device, t, us) : 1;
            valueType = t;
            valueEnd = units > 1 ? u + units : -1;
            pending = pending || units > 1;
        } else if (u < valueEnd) {
            inside = true;
            writable = true;
            pending = true;
            use = std::max(use, model::kUseInUse);
            p = run >= 0 ? runType : valueType;
        }
        const bool valueGoesOn = u + 1 < valueEnd;
        const uint16_t startType = inside ? valueType : t;
        bool still = true;
        if (!writable || !pending || use <= 0) {
            if (run >= 0)
                still = flush(run, u - run, runType);
            run = -1;
        } else if (use == model::kUseInUse) {
            const bool itemEnd =
                (w.flags[i] & model::kUnitItemBits) == model::kUnitItemLast && !valueGoesOn;
            if (run < 0) {
                run = u;
                runType = startType;
            } else if (t == 0 || (t == runType && u - run < maxRun && !itemEnd)) {
                // extends the run
            } else if (p == runType && !valueGoesOn) {
                still = flush(run, u - run + 1, runType);
                run = -1;
            } else {
                still = flush(run, u - run, runType);
                run = u;
                runType = startType;
            }
        } else {
            if (run < 0) {
                if (t != 0)
                    still = flush(u, 1, t);
            } else {
                if (runType == 0)
                    runType = t;
                if (p == runType) {
                    still = flush(run, u - run + 1, runType);
                    run = -1;
                } else {
                    still = flush(run, u - run, runType);
                    run = u;
                    runType = t;
                }
            }
        }
        // The window moved during a write: what is left waits for the next pass.
        if (!still)
            return true;
    }
    if (run >= 0)
        flush(run, static_cast<int32_t>(end) - run, runType);
    return true;
}

bool ReadScan(CPlcDrvLink& link, CPlcDevice& device) {
    return ReadScan(link, device, ExchangeContext(link));
}

bool WriteQueue(CPlcDrvLink& link, CPlcDevice& device) {
    return WriteQueue(link, device, ExchangeContext(link));
}

} // namespace idec

bool CEngineLinkChannel::WriteQueue(CPlcDrvLink& link, CPlcDevice& device) {
    NoteTicking();
    PrepareTrace(link);
    return idec::WriteQueue(link, device, Exchanges(link));
}

bool CEngineLinkChannel::ReadScan(CPlcDrvLink& link, CPlcDevice& device) {
    NoteTicking();
    PrepareTrace(link);
    return idec::ReadScan(link, device, Exchanges(link));
}

void CEngineLinkChannel::ErrorText(int code, WChar* text, int cap) {
    if (serial_)
        serial_->FormatError(code, text, cap);
    else
        idec::FormatSocketError(code, text, cap);
}
