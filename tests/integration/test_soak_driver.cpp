// The driver object under load: eight host threads register, read, write
// and list through a CDrvIDec while the simulator injects every fault kind at
// random, the link table is reloaded (every link removed and a new one
// started) in the middle of scans, and at the end the driver object is
// released while the link still scans.
//
// It runs NIMBRO_SOAK_SECONDS seconds (5 when unset: its own CTest test,
// label "soak", runs briefly; set it for a long run). Invariants, each checked:
//   - no value is delivered from another item's or another request's bytes:
//     the simulator's word D[n] always reads n modulo 1000 plus a multiple of
//     1000 (the values move, and host writes keep the rule);
//   - a write answered ResultOk reaches the simulator (a write frame
//     carrying its value for its unit was carried out), or the exchange
//     that took its bytes out of the block left a failure in the block's
//     own status, the part of its Status that stays until the block's next
//     good exchange (the channel's error, the other part, goes with the
//     link's next good reply on any block); only a write never sent may
//     have gone with a reload that came after it. Before the check nothing
//     is left staged in the block;
//   - every reload and the Release return (a hang ends the run at the
//     test's time-out);
//   - and, under the sanitizers the suite runs with, no report.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <random>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "NimbroDriver.h"
#include "driver/DrvIDec.h"
#include "harness.h"
#include "plant.h"
#include "model/PlcDefinition.h"
#include "platform/codepage.h"
#include "platform/socket.h"
#include "platform/variant.h"
#include "platform/sync.h"
#include "support/LockGuard.h"
#include "testutil/testutil.h"

namespace {

using idecsim::FaultKind;
using idecsim::FaultRule;
using itest::N;
using testutil::W;
using testutil::WString;

constexpr int kHostThreads = 8;
// The words the simulator moves, and the words each thread writes (its own).
constexpr uint32_t kMovingWords = 240, kOwnBase = 2000, kOwnWords = 12, kTextBase = 600;

uint32_t SoakSeconds() {
    const char* text = std::getenv("NIMBRO_SOAK_SECONDS");
    const long v = text ? std::strtol(text, nullptr, 10) : 5;
    return v >= 1 && v <= 3600 ? static_cast<uint32_t>(v) : 5;
}

// One clock for everything that happens: host stagings, frames the
// simulator received, the Status after write exchanges, reloads.
std::atomic<uint64_t> gSeq{1};

// The words of a word write to D: ENQ, station, '0', 'W', 'A', address
// (8 hex), byte count (2 hex), data.
template <typename Each> void EachWord(const std::string& f, Each each) {
    if (f.size() < 19 || f[4] != 'W' || f[5] != 'A')
        return;
    const uint32_t address = static_cast<uint32_t>(std::stoul(f.substr(6, 8), nullptr, 16));
    const uint32_t count = static_cast<uint32_t>(std::stoul(f.substr(14, 2), nullptr, 16));
    for (uint32_t i = 0; i + 1 < count && 16 + 2 * i + 4 <= f.size(); i += 2)
        each(address + i / 2,
             static_cast<uint32_t>(std::stoul(f.substr(16 + 2 * i, 4), nullptr, 16)));
}

uint64_t Key(uint32_t unit, uint32_t value) {
    return uint64_t{unit} << 32 | value;
}

// What reached the simulator: its trace of write requests and their fate.
class WireLog {
public:
    void OnTrace(const idecsim::TraceEvent& e) {
        std::lock_guard<std::mutex> hold(lock_);
        if (e.kind == idecsim::TraceEvent::kRequest) {
            open_[e.connection] = {gSeq.fetch_add(1), e.bytes};
            return;
        }
        auto it = open_.find(e.connection);
        if (e.kind != idecsim::TraceEvent::kReply || it == open_.end())
            return;
        const std::pair<uint64_t, std::string> p = it->second;
        open_.erase(it);
        const bool executed = e.fault != static_cast<int>(FaultKind::kNak) &&
                              e.fault != static_cast<int>(FaultKind::kErrorCode) &&
                              e.fault != static_cast<int>(FaultKind::kNeverAnswer);
        EachWord(p.second, [&](uint32_t unit, uint32_t value) {
            carried_[Key(unit, value)] = p.first;
            if (executed)
                executed_[Key(unit, value)] = p.first;
        });
    }

    // True once a write frame that came after `after` carried the value for
    // the unit (a value comes back every 64 writes of a word); with
    // executed, one that the simulator carried out.
    bool Carried(uint32_t unit, uint32_t value, uint64_t after, bool executed = false) const {
        std::lock_guard<std::mutex> hold(lock_);
        const std::map<uint64_t, uint64_t>& last = executed ? executed_ : carried_;
        auto it = last.find(Key(unit, value));
        return it != last.end() && it->second > after;
    }

private:
    mutable std::mutex lock_;
    std::map<uint32_t, std::pair<uint64_t, std::string>> open_; // request: seq, frame
    std::map<uint64_t, uint64_t> carried_;                      // the last frame that carried each
    std::map<uint64_t, uint64_t> executed_;                     // the last one carried out
};

// What the driver sent: each word of a write frame for D, and the block's
// own status once that exchange was over (kOpen until then).
class SentLog {
public:
    static constexpr int32_t kOpen = -1;

    // Indexes of the words added.
    std::vector<size_t> Add(const std::string& frame) {
        std::lock_guard<std::mutex> hold(lock_);
        std::vector<size_t> added;
        const uint64_t seq = gSeq.fetch_add(1);
        EachWord(frame, [&](uint32_t unit, uint32_t value) {
            added.push_back(words_.size());
            words_.push_back({seq, unit, value, kOpen});
        });
        return added;
    }
    void Close(const std::vector<size_t>& added, int32_t status) {
        std::lock_guard<std::mutex> hold(lock_);
        for (size_t i : added)
            words_[i].statusAfter = status;
    }
    // The status after the first exchange since `after` that carried the
    // value for the unit; false when none did.
    bool First(uint32_t unit, uint32_t value, uint64_t after, int32_t* statusAfter) const {
        std::lock_guard<std::mutex> hold(lock_);
        for (const Word& w : words_) {
            if (w.seq > after && w.unit == unit && w.value == value) {
                *statusAfter = w.statusAfter;
                return true;
            }
        }
        return false;
    }

private:
    struct Word {
        uint64_t seq;
        uint32_t unit, value;
        int32_t statusAfter;
    };
    mutable std::mutex lock_;
    std::vector<Word> words_;
};

SentLog* gSentLog = nullptr;
// Write queues running now.
std::atomic<int> gWriteQueuesBusy{0};

class SoakChannel;

// The link's byte channel, passed through; every send first closes the
// write exchange before it.
class ObservedBytes : public CIDecComBase {
public:
    ObservedBytes(CIDecComBase* inner, SoakChannel* owner)
        : CIDecComBase(nullptr), inner_(inner), owner_(owner) {}
    int32_t Open(bool blocking) override { return inner_->Open(blocking); }
    int Close() override { return inner_->Close(); }
    bool IsConnected(bool openIfClosed) override { return inner_->IsConnected(openIfClosed); }
    int32_t GetState() override { return inner_->GetState(); }
    int Send(const void* data, int length) override;
    int Receive(void* buffer, int capacity, int32_t timeoutMs) override {
        return inner_->Receive(buffer, capacity, timeoutMs);
    }
    CErrorString* SetErrorHolder(CErrorString* holder) override {
        return inner_->SetErrorHolder(holder);
    }
    int32_t SetDefaultTimeout(int32_t ms) override { return inner_->SetDefaultTimeout(ms); }
    void GetErrorText(int code, WChar* text, int capacity) override {
        inner_->GetErrorText(code, text, capacity);
    }
    int GetLastSocketError() override { return inner_->GetLastSocketError(); }

private:
    CIDecComBase* inner_;
    SoakChannel* owner_;
};

// The engine's channel whose write queue logs what it sends.
class SoakChannel : public CEngineLinkChannel {
public:
    explicit SoakChannel(const IDecOpenParams* params)
        : CEngineLinkChannel(params), observed_(CEngineLinkChannel::Channel(), this) {}

    CIDecComBase* Channel() override { return &observed_; }

    bool WriteQueue(CPlcDrvLink& link, CPlcDevice& device) override {
        gWriteQueuesBusy.fetch_add(1);
        device_ = &device;
        const bool r = CEngineLinkChannel::WriteQueue(link, device);
        CloseExchange();
        device_ = nullptr;
        gWriteQueuesBusy.fetch_sub(1);
        return r;
    }
    // A send on the worker: the exchange before it is over.
    void BeforeSend(const void* data, int length) {
        CloseExchange();
        if (device_ && gSentLog)
            open_ = gSentLog->Add(
                std::string(static_cast<const char*>(data), static_cast<size_t>(length)));
    }
    static CLinkChannel* Create(const IDecOpenParams* params) {
        return new (std::nothrow) SoakChannel(params);
    }

private:
    void CloseExchange() {
        if (!open_.empty() && gSentLog)
            gSentLog->Close(open_, device_->deviceStatus.load());
        open_.clear();
    }

    ObservedBytes observed_;
    CPlcDevice* device_ = nullptr;
    std::vector<size_t> open_;
};

int ObservedBytes::Send(const void* data, int length) {
    owner_->BeforeSend(data, length);
    return inner_->Send(data, length);
}

// True while the block holds bytes no write queue has taken out.
bool Staged(NimbroDevice handle) {
    auto* block = static_cast<CPlcDevice*>(handle);
    LockGuard hold(&block->Lock());
    const model::ReadWindow& w = block->Window();
    const size_t bytes = w.Allocated() ? static_cast<size_t>(w.units) * block->UnitSize() : 0;
    return std::any_of(w.writeMask.get(), w.writeMask.get() + bytes,
                       [](uint8_t m) { return m != 0; });
}

// A link to the simulator with the blocks of the definition, started; its
// items come from the enumeration and the host.
void AddLink(CLinkTable& table, uint16_t port, const WString& plcFile) {
    // Unnamed, as the host's plain block names ("D") expect.
    CPlcDrvLink* link = new CPlcDrvLink(&table);
    link->SetStationText("01");
    link->SetAddressText(itest::Endpoint(port).c_str());
    link->SetChannelKind(idec::kChannelEthernet);
    CPlc* plc = new CPlc(link);
    plc->SetName(W("P0").c_str());
    std::snprintf(plc->plcFile, sizeof plc->plcFile, "%s",
                  testutil::Narrow(plcFile.c_str()).c_str());
    ASSERT_TRUE(ReadPlcDefinition(plc, nullptr, nullptr));
    link->InsertPlc(plc);
    ASSERT_TRUE(table.InsertLink(link));
    table.StartAll();
}

FaultRule Rule(FaultKind kind, double probability, std::mt19937& rng) {
    FaultRule r;
    r.kind = kind;
    r.probability = probability;
    const int naks[] = {0x00, 0x01, 0x03, 0x04}, errors[] = {0x00, 0x06, 0x07, 0x0A};
    // clang-format off
    switch (kind) {
    case FaultKind::kDelay: r.ms = static_cast<int64_t>(rng() % 300); break;
    case FaultKind::kLate: r.ms = 2100 + static_cast<int64_t>(rng() % 500); break; // past a read's wait, within a write's
    case FaultKind::kSplit: r.parts = 2 + static_cast<int>(rng() % 3), r.ms = static_cast<int64_t>(rng() % 40); break;
    case FaultKind::kNak: r.code = naks[rng() % 4]; break;
    case FaultKind::kErrorCode: r.code = errors[rng() % 4]; break;
    // Shorter than any word read's reply: the reply check reads no block
    // check, so longer junk could pass for data.
    case FaultKind::kGarbage: r.bytes = 1 + static_cast<int>(rng() % 8); break;
    // One character less would leave a block-check character among the data
    // of a reply that still reads as whole.
    case FaultKind::kShort: r.bytes = 2 + static_cast<int>(rng() % 3); break;
    default: break;
    }
    // clang-format on
    return r;
}

// Every per-request fault at random on reads and writes, new parameters each
// round; in the first round each also once for sure, early. Address-list
// queries meet only the per-connection faults: the first enumeration of every
// new link holds the host's calls, and a run of a few seconds would spend
// itself there.
void ArmFaults(idecsim::Simulator& sim, std::mt19937& rng, bool first) {
    sim.ClearFaults();
    const std::pair<FaultKind, double> kinds[] = {
        {FaultKind::kNoReply, 0.005}, {FaultKind::kDelay, 0.02}, {FaultKind::kLate, 0.005},
        {FaultKind::kSplit, 0.04},    {FaultKind::kNak, 0.02},   {FaultKind::kErrorCode, 0.02},
        {FaultKind::kGarbage, 0.02},  {FaultKind::kShort, 0.02}};
    for (const auto& k : kinds) {
        // A late reply only on reads: a write waits five seconds for one.
        // The sure one of no reply on a read too, for the same reason.
        const bool readsOnly = k.first == FaultKind::kLate;
        if (first) {
            FaultRule once = Rule(k.first, 1.0, rng);
            once.count = 1;
            once.skip = rng() % 4;
            once.command = readsOnly || k.first == FaultKind::kNoReply || rng() % 2 ? 'R' : 'W';
            sim.AddFault(once);
        }
        for (char command : {'R', 'W'}) {
            if (readsOnly && command == 'W')
                continue;
            FaultRule r = Rule(k.first, k.second, rng);
            r.command = command;
            sim.AddFault(r);
        }
    }
}

struct HostWrite {
    uint32_t unit, value;
    uint64_t ticket; // gSeq before the call
};

struct Tally {
    uint64_t calls = 0;
    std::vector<HostWrite> accepted;
    std::vector<std::string> failures;
    void Fail(const std::string& what) {
        if (failures.size() < 8)
            failures.push_back(what);
    }
};

class DriverSoak : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(plat::NetStartup(), 0); }
    void TearDown() override { plat::NetCleanup(); }
};

TEST_F(DriverSoak, HostThreadsFaultsReloadsAndRelease) {
    const uint32_t seconds = SoakSeconds();
    std::printf("soak: %u s (NIMBRO_SOAK_SECONDS)\n", seconds);
    testutil::TempDir dir;
    const WString plcFile = dir.Write("idec.plc", itest::kIdecDefinition);

    WireLog wire;
    SentLog sent;
    gSentLog = &sent;
    idecsim::Simulator sim;
    std::string error;
    ASSERT_TRUE(sim.LoadPlcText(itest::kIdecDefinition, &error)) << error;
    // Without address lists the enumeration makes no items of its own.
    for (char letter : std::string("xyarTtCcAdek"))
        ASSERT_TRUE(sim.SetAddressList(letter, {}));
    sim.SetSeed(20261207);
    sim.SetTrace([&wire](const idecsim::TraceEvent& e) { wire.OnTrace(e); });
    sim.SetFrameLogLimit(20000);
    for (uint32_t n = 0; n < kMovingWords; ++n)
        ASSERT_TRUE(sim.SetValue("D", n, n % 1000));
    for (uint32_t n = kOwnBase; n < kOwnBase + kHostThreads * kOwnWords + 2; ++n)
        ASSERT_TRUE(sim.SetValue("D", n, n % 1000));
    ASSERT_TRUE(sim.SetAddressList('A', {100, 101, 200}));
    const uint16_t port = sim.Start(0);
    ASSERT_NE(port, 0);

    CLinkTable table;
    table.SetChannelFactory(&SoakChannel::Create);
    table.SetScanPeriod(10);
    table.SetReadInterval(10);
    ASSERT_NO_FATAL_FAILURE(AddLink(table, port, plcFile));
    // Released by the test in the middle of scans; by the deleter only when
    // it ended early.
    std::unique_ptr<CDrvIDec, void (*)(CDrvIDec*)> driver(new CDrvIDec(table),
                                                          [](CDrvIDec* p) { p->Release(); });
    driver->AddRef();

    // Faults start once the first enumeration is over (as after each
    // reload, host calls wait for it).
    ASSERT_TRUE(testutil::WaitUntil([&] { return table.GetLink(0)->EnumeratedOnce(); }, 20000));

    // The handles of the current load; host calls that take one hold the
    // gate shared, a reload holds it alone.
    std::shared_mutex gate;
    NimbroDevice d = nullptr, m = nullptr, tc = nullptr;
    uint32_t loadGeneration = 0;
    auto resolve = [&] {
        d = driver->ResolveDevice(N(W("D")));
        m = driver->ResolveDevice(N(W("M")));
        tc = driver->ResolveDevice(N(W("TC")));
        ++loadGeneration;
    };
    resolve();
    ASSERT_NE(d, nullptr);

    std::atomic<bool> stop{false}, faultsOn{true};

    // The simulator's words move on: D[n] = n % 1000 + 1000 k.
    std::thread changer([&] {
        for (uint32_t k = 1; !stop.load(); k = (k + 1) % 60) {
            for (uint32_t n = 1; n < kMovingWords; ++n)
                sim.SetValue("D", n, n % 1000 + 1000 * k);
            plat::SleepMs(5);
        }
    });

    // Faults: per-request rules re-armed each cycle; in each cycle a healthy
    // spell, then connections closed after a few requests, refused, and
    // (every third cycle, the first among them) made mute for a moment: a
    // connection accepted then never answers, and costs the link a wait.
    std::thread faults([&] {
        std::mt19937 rng(11);
        auto pause = [&](uint32_t ms) {
            for (uint32_t waited = 0; waited < ms && !stop.load() && faultsOn.load(); waited += 10)
                plat::SleepMs(10);
        };
        pause(500); // the items come into use and are read once
        for (int cycle = 0; !stop.load() && faultsOn.load(); ++cycle) {
            ArmFaults(sim, rng, cycle == 0);
            pause(cycle == 0 ? 100 : 500 + rng() % 700);
            sim.SetCloseAfter(1 + static_cast<int64_t>(rng() % 25));
            pause(300);
            sim.SetCloseAfter(-1);
            // New connections refused, then (every third cycle) mute: the
            // connection closed after each request meanwhile, so that the
            // link connects again; each until it happened at least once.
            auto until = [&](FaultKind kind, uint32_t atLeastMs) {
                const uint64_t before = sim.Fired(kind);
                sim.SetCloseAfter(1);
                pause(atLeastMs);
                for (int i = 0; i < 300 && sim.Fired(kind) == before && faultsOn.load(); ++i)
                    pause(10);
                sim.SetCloseAfter(-1);
            };
            sim.SetRefuseConnections(true);
            until(FaultKind::kRefuse, 80 + rng() % 70);
            sim.SetRefuseConnections(false);
            if (cycle % 3 == 0) {
                sim.SetNeverAnswer(true);
                until(FaultKind::kNeverAnswer, 0);
                sim.SetNeverAnswer(false);
            }
        }
        sim.ClearFaults();
        sim.SetCloseAfter(-1);
        sim.SetRefuseConnections(false);
        sim.SetNeverAnswer(false);
    });

    auto reg = [&](NimbroDevice dev, const WString& name) {
        driver->RegisterItem(dev, N(name), nullptr, nullptr, nullptr);
    };
    auto read = [&](NimbroDevice dev, const WString& name, int32_t type, void* out, int32_t cap) {
        int32_t count = -1;
        return driver->ReadItem(dev, N(name), &type, out, cap, &count, 0);
    };
    std::vector<Tally> tallies(kHostThreads);
    std::atomic<uint64_t> reads{0}, goodReads{0}, writes{0};
    auto host = [&](int t) {
        Tally& tally = tallies[static_cast<size_t>(t)];
        std::mt19937 rng(100 + static_cast<uint32_t>(t));
        std::vector<WChar> text(1100);
        // The last accepted write per own word; the next one waits until
        // that value went out in a frame (or the load changed).
        std::map<uint32_t, HostWrite> outstanding;
        uint32_t generation = 0, j = 0;
        while (!stop.load()) {
            ++tally.calls;
            const uint32_t op = rng() % 16;
            if (op == 15) {
                // Listing by name needs no handle: it may meet a reload.
                const NimbroBstr listed =
                    driver->ListItems(N(W(t == 0 && rng() % 40 == 0 ? "" : "D")));
                if (listed)
                    plat::BstrFree(reinterpret_cast<plat::Bstr>(listed));
                continue;
            }
            if (op == 14) {
                driver->ResolveDevice(N(W(rng() % 2 ? "D" : ".P0.TC")));
                continue;
            }
            std::shared_lock<std::shared_mutex> hold(gate);
            if (loadGeneration != generation) {
                generation = loadGeneration;
                outstanding.clear(); // those went with the load
            }
            if (!d)
                continue;
            const uint32_t n = 1 + rng() % (kMovingWords - 2);
            if (op <= 5) {
                // Plain words are registered or read; a 32-bit view of two
                // words is registered and read.
                const bool wide = op == 5;
                const WString name = W("D" + std::to_string(n) + (wide ? ".Long" : ""));
                if (op < 2 || wide)
                    reg(d, name);
                uint32_t v = 0;
                if (op >= 2 && (++reads, read(d, name, TypeU32, &v, 1) == ResultOk)) {
                    ++goodReads;
                    if (wide ? (v >> 16) % 1000 != n % 1000 || (v & 0xFFFF) % 1000 != (n + 1) % 1000
                             : v % 1000 != n % 1000 || v > 0xFFFF)
                        tally.Fail(testutil::Narrow(name.c_str()) + " read " + std::to_string(v));
                }
            } else if (op <= 9) {
                const uint32_t unit =
                    kOwnBase + static_cast<uint32_t>(t) * kOwnWords + rng() % kOwnWords;
                auto it = outstanding.find(unit);
                // Not while its last value has not gone out yet.
                if (it == outstanding.end() ||
                    wire.Carried(unit, it->second.value, it->second.ticket)) {
                    j = j % 64 + 1;
                    const uint32_t value = unit % 1000 + 1000 * j;
                    const uint16_t word = static_cast<uint16_t>(value);
                    const WString name = W("D" + std::to_string(unit));
                    reg(d, name);
                    const uint64_t ticket = gSeq.fetch_add(1);
                    int32_t count = -1;
                    ++writes;
                    if (driver->WriteItem(d, N(name), TypeU16, &word, 0, &count, 0) == ResultOk) {
                        tally.accepted.push_back({unit, value, ticket});
                        outstanding[unit] = tally.accepted.back();
                    }
                }
            } else if (op == 10) {
                uint32_t code = 0;
                read(d, W("Status"), TypeDefault, &code, 1);
                read(d, W("Status_str"), TypeText, text.data(), 40);
            } else if (op == 11) {
                // A text item (words of their own: a text suffix makes the
                // item a text item for every name of it): memory safety only.
                const WString item = W("D" + std::to_string(kTextBase + 10 * (n % 16)) + ".String" +
                                       std::to_string(1 + n % 20));
                reg(d, item);
                read(d, item, TypeText, text.data(), static_cast<int32_t>(text.size()));
            } else if (NimbroDevice bits = op == 12 ? m : tc) {
                const WString item = W(op == 12 ? "M" + std::to_string(10 * (n % 80) + n % 8)
                                                : "TC" + std::to_string(n % 64));
                reg(bits, item);
                uint32_t v = 0;
                read(bits, item, TypeU32, &v, 1);
            }
            hold.unlock();
            if (tally.calls % 2 == 0)
                plat::SleepMs(1);
        }
    };
    std::vector<std::thread> hosts;
    for (int t = 0; t < kHostThreads; ++t)
        hosts.emplace_back(host, t);

    // Reloads in the middle of scans: every link stopped and destroyed, a new
    // one made and started, the handles resolved again.
    std::vector<uint64_t> reloads;
    const uint32_t interval =
        std::min<uint32_t>(5000, std::max<uint32_t>(2500, seconds * 1000 / 2));
    // The run lasts its seconds, and at least until every fault kind has
    // fired: each unanswered read costs the link its two seconds' wait, so a
    // short run would end before the last of them.
    auto allFired = [&] {
        for (int k = 0; k < idecsim::kFaultKindCount; ++k)
            if (sim.Fired(static_cast<FaultKind>(k)) == 0)
                return false;
        return true;
    };
    const uint32_t start = plat::TickCount();
    for (uint32_t nextReload = interval;
         itest::Since(start) < seconds * 1000 ||
         (!allFired() && itest::Since(start) < seconds * 1000 + 60000);) {
        plat::SleepMs(20);
        if (itest::Since(start) < nextReload)
            continue;
        nextReload += interval;
        std::unique_lock<std::shared_mutex> hold(gate);
        reloads.push_back(gSeq.fetch_add(1));
        table.RemoveAll();
        AddLink(table, port, plcFile);
        resolve();
        EXPECT_NE(d, nullptr);
    }

    const uint32_t faultMs = itest::Since(start);
    // The faults stop; the host threads end; what is still staged goes out.
    faultsOn.store(false);
    faults.join();
    stop.store(true);
    for (std::thread& h : hosts)
        h.join();
    changer.join();
    // Settled: nothing is left staged, and the exchanges that took the
    // last bytes out are over.
    EXPECT_TRUE(
        testutil::WaitUntil([&] { return !Staged(d) && gWriteQueuesBusy.load() == 0; }, 60000))
        << "staged writes never went out";
    // The link works again once the faults are gone.
    uint32_t recovered = 0;
    EXPECT_TRUE(testutil::WaitUntil(
        [&] {
            return read(d, W("D1"), TypeU32, &recovered, 1) == ResultOk && recovered % 1000 == 1;
        },
        30000))
        << "no good read after the faults stopped (last " << recovered << ")";

    // Release in the middle of scans.
    EXPECT_EQ(driver.release()->Release(), 0u);
    gSentLog = nullptr;
    EXPECT_EQ(table.LinkCount(), 0u);

    // ---- the invariants ----
    uint64_t reached = 0, refused = 0, reloaded = 0;
    std::vector<HostWrite> accepted;
    for (const Tally& tally : tallies) {
        accepted.insert(accepted.end(), tally.accepted.begin(), tally.accepted.end());
        for (const std::string& f : tally.failures)
            ADD_FAILURE() << "value from another item or request: " << f;
    }
    int lost = 0;
    for (const HostWrite& w : accepted) {
        int32_t status = 0;
        const bool sentOut = sent.First(w.unit, w.value, w.ticket, &status);
        if (wire.Carried(w.unit, w.value, w.ticket, true))
            ++reached;
        else if (sentOut && status > 0)
            ++refused;
        // Still staged when its load went.
        else if (!sentOut && std::any_of(reloads.begin(), reloads.end(),
                                         [&](uint64_t r) { return r > w.ticket; }))
            ++reloaded;
        else if (++lost <= 10)
            ADD_FAILURE() << "write answered ResultOk, lost without a failure in Status: D"
                          << w.unit << " = " << w.value
                          << (sentOut ? ": sent, not carried out, block status after it " +
                                            std::to_string(status)
                                      : std::string(": never sent"));
    }
    std::cout << "soak: " << faultMs << " ms of faults; " << reads << " reads (" << goodReads
              << " good), " << writes << " writes (" << accepted.size() << " accepted: " << reached
              << " reached, " << refused
              << " refused or unanswered with the block's status showing "
              << "it, " << reloaded << " staged when their load went), " << reloads.size()
              << " reloads\n";
    // Whether a kind gets its turn depends on the machine's pace (a late
    // reply needs a connection that lives past its delay): most must fire,
    // and the ones that did not are named.
    int firedKinds = 0;
    for (int k = 0; k < idecsim::kFaultKindCount; ++k) {
        if (sim.Fired(static_cast<FaultKind>(k)) > 0)
            ++firedKinds;
        else
            std::printf("soak: fault kind %s never fired\n",
                        idecsim::FaultName(static_cast<FaultKind>(k)));
    }
    EXPECT_GE(firedKinds, idecsim::kFaultKindCount - 2);
    EXPECT_GT(goodReads, 0u);
    EXPECT_GT(reached, 0u);
    EXPECT_FALSE(reloads.empty());
    sim.Stop();
}

} // namespace
