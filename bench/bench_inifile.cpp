// Load cost of large configurations: many device sections, one item each.
// Goal: 65,500 sections in under a second, growing linearly with the count:
// 6.55 times the sections of 10,000 within 10 times the time.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>

#include "model/IniFile.h"
#include "model/LinkModel.h"
#include "platform/file.h"

namespace {

typedef std::basic_string<WChar> WString;

// A generated configuration in a temporary folder, removed at exit.
struct Generated {
    WString dir;
    WString path;
    ~Generated() {
        plat::FileRemove(path.c_str());
        plat::DirRemove(dir.c_str());
    }
};

// One configuration per section count, written once per run.
const WString& ConfigFile(uint32_t sections) {
    static std::map<uint32_t, Generated> files;
    auto it = files.find(sections);
    if (it != files.end())
        return it->second.path;
    std::string text = "[FileVersion]\nPlcFileVersion=3\n[PlcConfig]\nOPCScanTiming=100\n"
                       "[Link0]\nOpenName=127.0.0.1:2101\nDeviceNo=1\n"
                       "[Link0.Plc0]\nName=Press1\nPlcFile=" NIMBRO_BENCH_PLC_FILE "\n";
    char buf[160];
    for (uint32_t m = 0; m < sections; ++m) {
        std::snprintf(buf, sizeof buf,
                      "[Link0.Plc0.Dev%u]\nDeviceName=D\nName=D%05u\nStartAddress=%u\nSize=1\n"
                      "DataType=18\nDeviceAttribute=3\n",
                      m, m, m);
        text += buf;
    }
    Generated& g = files[sections];
    WChar dir[plat::kMaxPath];
    if (plat::MakeTempDir(dir, plat::kMaxPath)) {
        g.dir = dir;
        g.path = g.dir + plat::kPathSep;
        for (char c : "bench" + std::to_string(sections) + ".cfg")
            g.path += static_cast<WChar>(c);
        plat::FileWriteAll(g.path.c_str(), text.data(), text.size());
    }
    return g.path;
}

// The settings reader alone, with the lookups the loader makes per section.
void BM_IniLookups(benchmark::State& state) {
    const uint32_t n = static_cast<uint32_t>(state.range(0));
    const auto& path = ConfigFile(n);
    char section[64];
    WChar name[32];
    for (auto _ : state) {
        CIniFile ini;
        ini.OpenFile(path.c_str());
        int64_t sum = 0;
        for (uint32_t m = 0; m <= n; ++m) { // the last one ends the list
            std::snprintf(section, sizeof section, "Link0.Plc0.Dev%u", m);
            if (ini.GetWString(section, "DeviceName", nullptr, name, 32) < 2)
                break;
            ini.GetWString(section, "Name", nullptr, name, 32);
            sum += ini.GetInt(section, "StartAddress", 0) + ini.GetInt(section, "Size", 1) +
                   ini.GetInt(section, "DataType", 18) + ini.GetInt(section, "DeviceAttribute", 0);
        }
        benchmark::DoNotOptimize(sum);
    }
    state.SetComplexityN(state.range(0));
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

// The whole configuration load into a link table (CLinkTable::LoadConfiguration):
// the file, the PLC definition file, sections, blocks and items.
void BM_ConfigurationLoad(benchmark::State& state) {
    const uint32_t n = static_cast<uint32_t>(state.range(0));
    const auto& path = ConfigFile(n);
    for (auto _ : state) {
        CLinkTable table;
        const bool ok = table.LoadConfiguration(path.c_str());
        if (!ok) {
            state.SkipWithError("the configuration did not load");
            return;
        }
        state.PauseTiming(); // freeing the model is not part of the load
        table.RemoveAll();
        state.ResumeTiming();
    }
    state.SetComplexityN(state.range(0));
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

} // namespace

BENCHMARK(BM_IniLookups)
    ->Arg(10000)
    ->Arg(20000)
    ->Arg(40000)
    ->Arg(65500)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oN);
BENCHMARK(BM_ConfigurationLoad)
    ->Arg(10000)
    ->Arg(20000)
    ->Arg(40000)
    ->Arg(65500)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oN);

BENCHMARK_MAIN();
