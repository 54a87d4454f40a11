// Read passes as they cost on a real link, against the least any read plan
// could reach. The PLC simulator answers in this process; the items in use
// of block D (the shipped definition) are registered through the host
// interface, by name, and one pass reads them all. Layouts:
//   consecutive  D0..D99
//   apart_20     D0, D20, ..., D1980
//   random       100 distinct words over D0..D7999 (fixed seed), sorted
//   mixed        words, .Long, bits of words, two .String20 texts, and
//                items on both sides of the end of the range D0..D7999
// Links: TCP with every reply sent 0, 1 or 5 ms after its request arrived,
// and a serial line (a pseudo-terminal) at 9600 and at 115200 bit/s, 7E1.
// Each iteration makes a pass with ReadPlan=Exact and one with Merge on the
// same link, so that the machine's other work meets both plans alike.
//
// Counters per layout and link (the merged plan's with a "merge_" prefix):
//   pass_ms      median wall time of a read pass
//   frames       exchanges per pass, bytes request + reply bytes per pass,
//                data_bytes the bytes those frames read (the frame log)
//   round_ms, byte_us  the link's cost model: an exchange of B data bytes
//                costs round_ms + B * byte_us, the least-squares line through
//                the median times of single block reads of 2, 60, 120, 180
//                and 240 bytes over the link's own channel, one of each
//                after every pass
//   model_ms     that model applied to the frames the pass made (a check of
//                the model against pass_ms)
//   best_ms, best_frames  the least pass under the model: an exact dynamic
//                program over the units the items need (a word or bit its
//                unit, a .Long two, a text its bytes up to its NUL), frames of
//                at most 240 bytes, whole units, none across a range's end
//   ratio        pass_ms / best_ms
// Without pseudo-terminals the serial rows are skipped.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "ControllerText.h"
#include "IdecSim.h"
#include "NimbroDriver.h"
#include "comm/RequestEngine.h"
#include "common/Rig.h"
#include "driver/DrvIDec.h"

namespace {

constexpr int32_t kFrameBytes = 240; // a block read's most
constexpr int32_t kUnitBytes = 2;    // a D unit
// Ranges of D in the shipped definition: no frame reads across their ends.
const std::vector<std::pair<int32_t, int32_t>> kRangesD = {{0, 7999}, {8000, 8499}};

// ---- layouts ----

struct Item {
    std::string name; // as the host names it
    int32_t address;
    int32_t units;    // units its value needs: 1, 2 for a .Long, a text's up to its NUL
    std::string text; // a text's value, set in the PLC; empty for numbers
};

struct Layout {
    const char* name;
    std::vector<Item> items;
};

Item Word(int32_t a, const std::string& suffix = "", int32_t units = 1) {
    return Item{"D" + std::to_string(a) + suffix, a, units, ""};
}

Item Text(int32_t a, int32_t length, const std::string& text) {
    // The NUL comes after the text, within the item's length.
    const int32_t bytes = std::min<int32_t>(static_cast<int32_t>(text.size()) + 1, length);
    return Item{"D" + std::to_string(a) + ".String" + std::to_string(length), a,
                (bytes + kUnitBytes - 1) / kUnitBytes, text};
}

std::vector<Layout> Layouts() {
    std::vector<Layout> out;
    Layout a{"consecutive", {}};
    Layout b{"apart_20", {}};
    for (int32_t i = 0; i < 100; ++i) {
        a.items.push_back(Word(i));
        b.items.push_back(Word(20 * i));
    }
    // mt19937's numbers are the same everywhere; a distribution's are not.
    Layout c{"random", {}};
    std::mt19937 rng(20261208);
    std::vector<int32_t> picked;
    while (picked.size() < 100) {
        const int32_t x = static_cast<int32_t>(rng() % 8000);
        if (std::find(picked.begin(), picked.end(), x) == picked.end())
            picked.push_back(x);
    }
    std::sort(picked.begin(), picked.end());
    for (int32_t x : picked)
        c.items.push_back(Word(x));
    Layout d{"mixed", {}};
    for (int32_t i = 0; i < 30; ++i)
        d.items.push_back(Word(100 + i));
    for (int32_t i = 0; i < 10; ++i)
        d.items.push_back(Word(200 + 2 * i, ".Long", 2));
    for (int32_t i = 0; i < 10; ++i)
        d.items.push_back(Word(300 + 10 * i, ".Bit" + std::to_string((3 * i) % 16)));
    d.items.push_back(Text(400, 20, "PUMP 7 RUNNING"));
    d.items.push_back(Text(420, 20, "OK"));
    for (int32_t i = 0; i < 10; ++i)
        d.items.push_back(Word(1000 + 100 * i));
    d.items.push_back(Word(7990));
    d.items.push_back(Word(7998, ".Long", 2));
    d.items.push_back(Word(8000));
    d.items.push_back(Word(8002, ".Long", 2));
    out.push_back(a);
    out.push_back(b);
    out.push_back(c);
    out.push_back(d);
    return out;
}

// ---- links ----

struct Link {
    const char* name;
    uint32_t baud;         // 0: TCP
    uint32_t replyDelayMs; // TCP
    int passes;            // passes, and single reads of each size for the model
};

const Link kLinks[] = {
    {"tcp_0ms", 0, 0, 60},           {"tcp_1ms", 0, 1, 20},       {"tcp_5ms", 0, 5, 10},
    {"serial_115200", 115200, 0, 5}, {"serial_9600", 9600, 0, 3},
};

// ---- the least pass ----

struct Best {
    double ms = 0;
    int frames = 0;
};

// Exact under the model: a frame costs round + bytes * perByte, so an
// optimal plan's frames start and end at needed units and never overlap;
// best[k] is the least cost of reading needed units k.. in order.
Best LeastPass(const std::vector<Item>& items, double roundMs, double byteMs) {
    std::vector<int32_t> units;
    for (const Item& it : items)
        for (int32_t u = it.address; u < it.address + it.units; ++u)
            units.push_back(u);
    std::sort(units.begin(), units.end());
    units.erase(std::unique(units.begin(), units.end()), units.end());
    auto rangeOf = [](int32_t u) {
        for (size_t r = 0; r < kRangesD.size(); ++r)
            if (u >= kRangesD[r].first && u <= kRangesD[r].second)
                return static_cast<int>(r);
        return -1;
    };
    const size_t n = units.size();
    std::vector<double> cost(n + 1, 0);
    std::vector<int> frames(n + 1, 0);
    for (size_t k = n; k-- > 0;) {
        cost[k] = std::numeric_limits<double>::infinity();
        for (size_t m = k; m < n; ++m) {
            const int32_t bytes = (units[m] - units[k] + 1) * kUnitBytes;
            if (bytes > kFrameBytes || rangeOf(units[m]) != rangeOf(units[k]))
                break;
            const double c = roundMs + bytes * byteMs + cost[m + 1];
            if (c < cost[k]) {
                cost[k] = c;
                frames[k] = 1 + frames[m + 1];
            }
        }
    }
    return Best{cost[0], frames[0]};
}

// ---- measuring ----

double MsSince(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

const int32_t kSizes[] = {2, 60, 120, 180, 240};
constexpr size_t kSizeCount = sizeof kSizes / sizeof kSizes[0];

// One block read of each size over the link's own channel, each time added
// to its size's samples. False when a read failed.
bool ReadEachSize(bench::Rig& rig, CPlcDevice& block, std::vector<double> (&samples)[kSizeCount]) {
    const idec::ExchangeContext ex(rig.Link());
    uint8_t data[kFrameBytes];
    for (size_t i = 0; i < kSizeCount; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        if (idec::BlockRead(ex, block, block.UnitAccessLetter(), 0, kSizes[i], data) !=
            idec::kStatusOk)
            return false;
        samples[i].push_back(MsSince(t0));
    }
    return true;
}

// The least-squares line of the median time of each size against its
// bytes. A slope below 0 is noise where bytes cost next to nothing: 0.
void FitLine(const std::vector<double> (&samples)[kSizeCount], double* roundMs, double* byteMs) {
    double mx = 0, my = 0;
    for (size_t i = 0; i < kSizeCount; ++i) {
        mx += kSizes[i] / static_cast<double>(kSizeCount);
        my += bench::Median(samples[i]) / static_cast<double>(kSizeCount);
    }
    double sxy = 0, sxx = 0;
    for (size_t i = 0; i < kSizeCount; ++i) {
        sxy += (kSizes[i] - mx) * (bench::Median(samples[i]) - my);
        sxx += (kSizes[i] - mx) * (kSizes[i] - mx);
    }
    *byteMs = std::max(0.0, sxy / sxx);
    *roundMs = my - *byteMs * mx;
}

bench::WString Wide(const std::string& s) {
    return bench::Wide(s);
}

const NimbroChar* N(const bench::WString& s) {
    return reinterpret_cast<const NimbroChar*>(s.c_str());
}

// What the passes of one plan made: times, and the frames in the log.
struct Passes {
    std::vector<double> ms;
    std::vector<idecsim::Exchange> log;
};

void BM_ReadPlan(benchmark::State& state, const Layout& layout, const Link& link) {
    const std::string definition = kShippedControllerText;
    idecsim::Simulator sim;
    std::string error;
    if (!sim.LoadPlcText(definition, &error)) {
        state.SkipWithError("simulator refused the definition");
        return;
    }
    // Nothing listed: the block holds the layout's items only.
    for (char letter : std::string("xyarTtCcAdek"))
        sim.SetAddressList(letter, {});
    for (const Item& it : layout.items)
        for (size_t i = 0; i < it.text.size(); i += 2) {
            // High byte first, as the PLC holds a text; the NUL follows.
            const uint32_t hi = static_cast<unsigned char>(it.text[i]);
            const uint32_t lo =
                i + 1 < it.text.size() ? static_cast<unsigned char>(it.text[i + 1]) : 0;
            sim.SetValue("D", static_cast<uint32_t>(it.address) + static_cast<uint32_t>(i / 2),
                         hi << 8 | lo);
        }
    std::unique_ptr<bench::Rig> rig;
    if (link.baud == 0) {
        sim.SetReplyDelay(link.replyDelayMs);
        const uint16_t port = sim.Start(0);
        if (port == 0) {
            state.SkipWithError("simulator did not start");
            return;
        }
        rig.reset(new bench::Rig(port));
    } else {
        plat::SerialSettings line;
        line.baud = link.baud;
        const std::string tty = sim.StartPty(line);
        if (tty.empty()) {
            state.SkipWithError("no pseudo-terminals here");
            return;
        }
        rig.reset(new bench::Rig(tty, link.baud));
    }
    CPlcDevice* block = rig->Block("D", definition);
    if (!block || !rig->FirstTick()) {
        state.SkipWithError("link not connected");
        return;
    }
    CDrvIDec* driver = new CDrvIDec(rig->Table());
    driver->AddRef();
    struct Releaser {
        CDrvIDec* d;
        ~Releaser() { d->Release(); }
    } releaser{driver};
    // The handle ResolveDevice gives for the block; it wants a started
    // table, whose worker would then run passes of its own.
    const NimbroDevice device = block;
    for (const Item& it : layout.items) {
        int32_t type = 0, size = 0, access = 0;
        if (driver->RegisterItem(device, N(Wide(it.name)), &type, &size, &access) != 1) {
            state.SkipWithError(("not registered: " + it.name).c_str());
            return;
        }
    }
    rig->Link().ReadOnce(); // the first read of every item
    // A pass of each plan in turn, then the single reads of the model: what
    // else the machine does meets both plans and the model alike.
    const uint32_t plans[] = {model::kReadPlanExact, model::kReadPlanMerge};
    Passes passes[2];
    std::vector<double> samples[kSizeCount];
    bool read = true;
    for (auto _ : state) {
        for (int p = 0; p < 2; ++p) {
            rig->Table().SetReadPlan(plans[p]);
            sim.ClearFrameLog();
            const auto t0 = std::chrono::steady_clock::now();
            rig->Link().ReadOnce();
            passes[p].ms.push_back(MsSince(t0));
            const std::vector<idecsim::Exchange> pass = sim.FrameLog();
            passes[p].log.insert(passes[p].log.end(), pass.begin(), pass.end());
        }
        read = read && ReadEachSize(*rig, *block, samples);
    }
    if (!read) {
        state.SkipWithError("a single read of the model failed");
        return;
    }
    double roundMs = 0, byteMs = 0;
    FitLine(samples, &roundMs, &byteMs);
    const Best best = LeastPass(layout.items, roundMs, byteMs);
    const double n = static_cast<double>(state.iterations());
    state.counters["round_ms"] = roundMs;
    state.counters["byte_us"] = byteMs * 1000;
    state.counters["best_ms"] = best.ms;
    state.counters["best_frames"] = best.frames;
    for (int p = 0; p < 2; ++p) {
        double bytes = 0, data = 0;
        bool good = block->deviceStatus.load() == 0 && !passes[p].log.empty();
        for (const idecsim::Exchange& e : passes[p].log) {
            good = good && e.reply.size() >= 7 && e.reply[0] == '\x06';
            bytes += static_cast<double>(e.request.size() + e.reply.size());
            data += static_cast<double>(e.reply.size() >= 7 ? (e.reply.size() - 7) / 2 : 0);
        }
        if (!good) {
            state.SkipWithError("a read failed");
            return;
        }
        // The exact plan's counters bare, the merged plan's with "merge_".
        const std::string k = p == 0 ? "" : "merge_";
        const double frames = static_cast<double>(passes[p].log.size()) / n;
        const double passMs = bench::Median(passes[p].ms);
        state.counters[k + "pass_ms"] = passMs;
        state.counters[k + "frames"] = frames;
        state.counters[k + "bytes"] = bytes / n;
        state.counters[k + "data_bytes"] = data / n;
        state.counters[k + "model_ms"] = frames * roundMs + data / n * byteMs;
        state.counters[k + "ratio"] = passMs / best.ms;
    }
}

void Register() {
    static const std::vector<Layout> layouts = Layouts();
    for (const Layout& layout : layouts)
        for (const Link& link : kLinks)
            benchmark::RegisterBenchmark(
                ("BM_ReadPlan/" + std::string(layout.name) + "/" + link.name).c_str(),
                [&layout, &link](benchmark::State& s) { BM_ReadPlan(s, layout, link); })
                ->Iterations(link.passes)
                ->Unit(benchmark::kMillisecond);
}

} // namespace

int main(int argc, char** argv) {
    Register();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
