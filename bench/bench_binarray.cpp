// Cost of the model's sorted container: inserts move elements (O(n)),
// lookups bisect (O(log n)).
#include <benchmark/benchmark.h>

#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

#include "model/BinArray.h"

namespace {

int CompareNames(const void* key, const void* element) {
    const char* a = *static_cast<const char* const*>(key);
    const char* b = *static_cast<const char* const*>(element);
    for (;; ++a, ++b) {
        int ca = std::tolower(static_cast<unsigned char>(*a));
        int cb = std::tolower(static_cast<unsigned char>(*b));
        if (ca != cb || ca == 0)
            return ca - cb;
    }
}

// Item names such as D1234 in a scrambled but repeatable order.
std::vector<std::string> Names(int n) {
    std::vector<std::string> names;
    uint32_t seed = 2463534242u;
    for (int i = 0; i < n; ++i) {
        seed ^= seed << 13;
        seed ^= seed >> 17;
        seed ^= seed << 5;
        char buf[32];
        std::snprintf(buf, sizeof(buf), "D%u.%d", static_cast<unsigned>(seed % 100000u), i);
        names.emplace_back(buf);
    }
    return names;
}

void Fill(CBinArray& a, const std::vector<std::string>& names) {
    a.Configure(CompareNames, static_cast<uint16_t>(sizeof(void*)));
    for (const std::string& s : names) {
        const char* p = s.c_str();
        a.Insert(&p);
    }
}

void BM_InsertAll(benchmark::State& state) {
    auto names = Names(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        CBinArray a;
        Fill(a, names);
        benchmark::DoNotOptimize(a.Count());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_InsertAll)->RangeMultiplier(4)->Range(16, 16384);

void BM_Find(benchmark::State& state) {
    auto names = Names(static_cast<int>(state.range(0)));
    CBinArray a;
    Fill(a, names);
    size_t i = 0;
    for (auto _ : state) {
        const char* key = names[i].c_str();
        benchmark::DoNotOptimize(a.Find(&key));
        if (++i == names.size())
            i = 0;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Find)->RangeMultiplier(4)->Range(16, 16384);

void BM_InsertRemoveCycle(benchmark::State& state) {
    // Growth and shrink steps of 16 at the boundary of a full block.
    auto names = Names(static_cast<int>(state.range(0)) + 1);
    const std::string extra = names.back();
    names.pop_back();
    CBinArray a;
    Fill(a, names);
    for (auto _ : state) {
        const char* p = extra.c_str();
        a.Insert(&p);
        a.Remove(&p, false);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_InsertRemoveCycle)->Arg(16)->Arg(1024);

} // namespace

BENCHMARK_MAIN();
