// Frames per read pass for the grouping examples, against the least number
// the grouping rules allow. The simulator's frame log counts what one pass
// sends; the least number is worked out here on its own from the rules:
//   - units in use form runs; a run ends at a unit out of use;
//   - a word run of any block but D closes at the first item end once it
//     holds 100 units (it may hold 101: no item is torn), a D run at 1024;
//   - a run goes out in frames of at most 240 bytes;
//   - a run of texts only stops after the frame that held every text's NUL.
// "frames" and "least" are per pass; their ratio is the figure (goal 1).
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "IdecSim.h"
#include "common/Rig.h"

namespace {

constexpr int kBlockBytes = 240;

struct Case {
    const char* type;           // device type of the block
    std::vector<int32_t> items; // start addresses
    uint16_t textSize;          // 0: words
    std::string text;           // the text at each item, NUL after it
};

// Each item a word: it brings its own unit and the 8 after it into use.
int64_t LeastWordFrames(const std::vector<int32_t>& items, int32_t maxRun) {
    // Units in use, in order; items are one unit, so every unit is an item end.
    std::vector<int32_t> units;
    for (int32_t a : items)
        for (int32_t u = a; u < a + 9; ++u)
            if (units.empty() || u > units.back())
                units.push_back(u);
    int64_t frames = 0;
    size_t i = 0;
    while (i < units.size()) {
        // One run: contiguous units, closed at the first item end past maxRun.
        size_t j = i + 1;
        while (j < units.size() && units[j] == units[j - 1] + 1 &&
               static_cast<int32_t>(j - i) <= maxRun)
            ++j;
        const int64_t bytes = static_cast<int64_t>(j - i) * 2;
        frames += (bytes + kBlockBytes - 1) / kBlockBytes;
        i = j;
    }
    return frames;
}

// One text per run: frames up to the one holding its NUL.
int64_t LeastTextFrames(const Case& c) {
    const int64_t nul = static_cast<int64_t>(c.text.size()); // byte offset of the NUL
    return static_cast<int64_t>(c.items.size()) * (nul / kBlockBytes + 1);
}

void BM_FramesPerPass(benchmark::State& state, Case c) {
    idecsim::Simulator sim;
    std::string error;
    if (!sim.LoadPlcText(bench::PlcText(), &error) || sim.Start(0) == 0) {
        state.SkipWithError("simulator did not start");
        return;
    }
    bench::Rig rig(sim.Port());
    // Enumerate while the simulator lists nothing: only the items below.
    if (!rig.FirstTick()) {
        state.SkipWithError("link not connected");
        return;
    }
    for (int32_t a : c.items) {
        // Words high byte first, as the PLC holds a text.
        for (size_t i = 0; i < c.text.size(); i += 2) {
            const uint32_t hi = static_cast<unsigned char>(c.text[i]);
            const uint32_t lo =
                i + 1 < c.text.size() ? static_cast<unsigned char>(c.text[i + 1]) : 0;
            sim.SetValue(c.type, static_cast<uint32_t>(a) + static_cast<uint32_t>(i / 2),
                         hi << 8 | lo);
        }
    }
    CPlcDevice* block = rig.Block(c.type);
    if (!block || !rig.AddItems(*block, c.items, 1, c.textSize)) {
        state.SkipWithError("items not made");
        return;
    }
    sim.ClearFrameLog();
    for (auto _ : state)
        rig.Link().ReadOnce();
    const double frames =
        static_cast<double>(sim.FrameLog().size()) / static_cast<double>(state.iterations());
    const int32_t maxRun = std::string(c.type) == "D" ? 1024 : 100;
    const double least =
        static_cast<double>(c.textSize ? LeastTextFrames(c) : LeastWordFrames(c.items, maxRun));
    if (block->deviceStatus.load() != 0)
        state.SkipWithError("a read failed");
    state.counters["frames"] = frames;
    state.counters["least"] = least;
    state.counters["ratio"] = frames / least;
    sim.Stop();
}

std::vector<int32_t> Consecutive(int32_t first, int32_t n) {
    std::vector<int32_t> out;
    for (int32_t i = 0; i < n; ++i)
        out.push_back(first + i);
    return out;
}

} // namespace

BENCHMARK_CAPTURE(BM_FramesPerPass, two_words_5_apart, Case{"D", {100, 105}, 0, ""})
    ->Iterations(20)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_FramesPerPass, two_words_20_apart, Case{"D", {100, 120}, 0, ""})
    ->Iterations(20)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_FramesPerPass, D_1000_consecutive_words,
                  Case{"D", Consecutive(0, 1000), 0, ""})
    ->Iterations(20)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_FramesPerPass, TC_1000_consecutive_words,
                  Case{"TC", Consecutive(0, 1000), 0, ""})
    ->Iterations(20)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_FramesPerPass, text_of_5_stops_early, Case{"D", {100}, 64, "HELLO"})
    ->Iterations(20)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_FramesPerPass, text_of_300_stops_early,
                  Case{"D", {100}, 512, std::string(300, 'x')})
    ->Iterations(20)
    ->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
