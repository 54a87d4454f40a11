// Idle cost: CPU time of one link with 100 items at a 50 ms scan period
// (the configuration's default read interval, 250 ms) against the PLC
// simulator in a process of its own, over 10 s of getrusage, as a share of
// one core. The host read every item once, so that all of them are polled;
// afterwards nobody calls. Goal: under 0.5 %.
//
// Two layouts of the 100 items with ReadPlan=Exact: D0..D99 (one run, one
// frame a pass) and D0, D20, ..., D1980 (a run each, 100 frames a pass);
// each without and with the frame trace file; and D0, D20, ... with the
// default plan, Merge (17 frames a pass). NIMBRO_BENCH_IDLE_S changes the 10 s.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#ifdef __linux__
#include <sched.h>
#endif
#ifndef _WIN32
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "IdecSim.h"
#include "NimbroDriver.h"
#include "common/Rig.h"
#include "comm/RequestEngine.h"
#include "driver/DrvIDec.h"
#include "model/LinkModel.h"
#include "platform/file.h"
#include "platform/socket.h"
#include "platform/sync.h"

namespace {

uint16_t gSimPort = 0;

#ifndef _WIN32
int gToSim = -1;
pid_t gSim = -1;

// Keeps the calling thread, and the threads it makes later, on one core.
void PinTo(long cpu) {
#ifdef __linux__
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(static_cast<int>(cpu), &set);
    sched_setaffinity(0, sizeof set, &set);
#else
    (void)cpu;
#endif
}

// The simulator in a child process, made before any thread exists, so that
// its work is not counted as the link's. With two cores or more the two
// processes keep to different ones, as a PLC on the network would: every
// reply then wakes the link's worker from another core, the same way in
// every run.
bool StartSimulatorProcess() {
    int down[2];
    int up[2];
    if (pipe(down) != 0 || pipe(up) != 0)
        return false;
    const long cores = sysconf(_SC_NPROCESSORS_ONLN);
    gSim = fork();
    if (gSim < 0)
        return false;
    if (gSim == 0) {
        if (cores >= 2)
            PinTo(0);
        close(down[1]);
        close(up[0]);
        idecsim::Simulator sim;
        std::string error;
        sim.LoadPlcText(bench::PlcText(), &error);
        sim.SetFrameLogLimit(1000);
        uint16_t port = sim.Start(0);
        if (write(up[1], &port, sizeof port) != static_cast<ssize_t>(sizeof port))
            _exit(1);
        char c;
        while (read(down[0], &c, 1) > 0) {
        }
        sim.Stop();
        _exit(0);
    }
    if (cores >= 2)
        PinTo(cores - 1);
    close(down[0]);
    close(up[1]);
    gToSim = down[1];
    uint16_t port = 0;
    const bool ok = read(up[0], &port, sizeof port) == static_cast<ssize_t>(sizeof port);
    close(up[0]);
    gSimPort = ok ? port : 0;
    return gSimPort != 0;
}

void StopSimulatorProcess() {
    if (gToSim >= 0)
        close(gToSim);
    if (gSim > 0)
        waitpid(gSim, nullptr, 0);
}

// CPU seconds of this process, every thread.
double ProcessCpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}
#else
// Windows: the simulator runs in this process, and its CPU time is counted.
idecsim::Simulator* gSimulator = nullptr;
bool StartSimulatorProcess() {
    gSimulator = new idecsim::Simulator;
    std::string error;
    gSimulator->LoadPlcText(bench::PlcText(), &error);
    gSimPort = gSimulator->Start(0);
    return gSimPort != 0;
}
void StopSimulatorProcess() {
    delete gSimulator;
}
double ProcessCpuSeconds() {
    return static_cast<double>(std::clock()) / CLOCKS_PER_SEC;
}
#endif

// Frames the link sends, counted at the socket table.
std::atomic<uint64_t> gSends{0};
int (*gSavedSend)(plat::SocketHandle, const void*, int) = nullptr;
int CountingSend(plat::SocketHandle s, const void* data, int len) {
    gSends.fetch_add(1, std::memory_order_relaxed);
    return gSavedSend(s, data, len);
}

// A folder with the configuration and, maybe, the trace; removed at the end.
struct Folder {
    bench::WString dir;
    std::vector<bench::WString> files;
    ~Folder() {
        for (const bench::WString& f : files)
            plat::FileRemove(f.c_str());
        plat::DirRemove(dir.c_str());
    }
    bench::WString Path(const std::string& name) {
        bench::WString p = dir + plat::kPathSep + bench::Wide(name);
        files.push_back(p);
        return p;
    }
};

std::string Configuration(const std::vector<int32_t>& addresses, bool merge) {
    std::string text =
        std::string("[FileVersion]\nPlcFileVersion=3\n[PlcConfig]\nOPCScanTiming=50\n") +
        (merge ? "ReadPlan=Merge\n" : "ReadPlan=Exact\n") +
        "[Link0]\nOpenName=127.0.0.1:" + std::to_string(gSimPort) +
        "\nDeviceNo=1\n[Link0.Plc0]\nName=P0\nPlcFile=" NIMBRO_BENCH_PLC_FILE "\n";
    for (size_t i = 0; i < addresses.size(); ++i) {
        const std::string a = std::to_string(addresses[i]);
        text += "[Link0.Plc0.Dev" + std::to_string(i) + "]\nDeviceName=D\nName=D" + a +
                "\nStartAddress=" + a + "\nSize=1\nDataType=18\nDeviceAttribute=3\n";
    }
    return text;
}

double IdleSeconds() {
    const char* s = std::getenv("NIMBRO_BENCH_IDLE_S");
    const double v = s ? std::atof(s) : 10.0;
    return v > 0 ? v : 10.0;
}

void BM_IdleLink(benchmark::State& state, int gap, bool trace, bool merge) {
    if (gSimPort == 0) {
        state.SkipWithError("no simulator");
        return;
    }
    std::vector<int32_t> addresses;
    for (int i = 0; i < 100; ++i)
        addresses.push_back(i * gap);
    Folder folder;
    WChar dir[plat::kMaxPath];
    if (!plat::MakeTempDir(dir, plat::kMaxPath)) {
        state.SkipWithError("no temporary folder");
        return;
    }
    folder.dir = dir;
    const bench::WString config = folder.Path("idle.cfg");
    const bench::WString tracePath = folder.Path("frames.log");
    const bench::WString rotated = folder.Path("frames.log.1");
    const std::string text = Configuration(addresses, merge);
    if (!plat::FileWriteAll(config.c_str(), text.data(), text.size())) {
        state.SkipWithError("configuration not written");
        return;
    }

    plat::SocketOps& ops = plat::SocketOpsTable();
    gSavedSend = ops.send;
    ops.send = &CountingSend;

    CLinkTable table;
    table.SetChannelFactory(&CEngineLinkChannel::Create);
    table.SetTraceFile(trace ? tracePath.c_str() : W16(""));
    CDrvIDec* driver = new CDrvIDec(table);
    driver->AddRef();
    bool ok = table.LoadConfiguration(config.c_str()) && table.StartAll();
    NimbroDevice device =
        ok ? driver->ResolveDevice(reinterpret_cast<const NimbroChar*>(W16("D"))) : nullptr;
    // The host reads every item (the first read brings it into the scan),
    // until each has a value; then it is quiet.
    std::vector<bench::WString> names;
    for (int32_t a : addresses)
        names.push_back(bench::Wide("D" + std::to_string(a)));
    const uint32_t start = plat::TickCount();
    for (bool all = false; ok && !all;) {
        all = true;
        for (const bench::WString& name : names) {
            int32_t type = TypeU16;
            uint16_t value = 0;
            int32_t count = 0;
            all = driver->ReadItem(device, reinterpret_cast<const NimbroChar*>(name.c_str()), &type,
                                   &value, 1, &count, 0) == ResultOk &&
                  all;
        }
        ok = device && (all || plat::TickCount() - start < 15000);
        if (!all)
            plat::SleepMs(50);
    }
    if (!ok) {
        driver->Release();
        ops.send = gSavedSend;
        state.SkipWithError("items never read");
        return;
    }
    plat::SleepMs(1000); // settle

    const double seconds = IdleSeconds();
    for (auto _ : state) {
        const uint64_t sends = gSends.load();
        const int64_t traceBefore = [&] {
            plat::FileHandle f = plat::FileOpenRead(tracePath.c_str());
            const int64_t n = f ? plat::FileSize(f) : 0;
            if (f)
                plat::FileClose(f);
            return n;
        }();
        const uint32_t t0 = plat::TickCount();
        const double cpu0 = ProcessCpuSeconds();
        plat::SleepMs(static_cast<uint32_t>(seconds * 1000));
        const double cpu1 = ProcessCpuSeconds();
        const double wall = static_cast<double>(plat::TickCount() - t0) / 1000.0;
        state.SetIterationTime(wall);
        plat::FileHandle f = plat::FileOpenRead(tracePath.c_str());
        const int64_t traceAfter = f ? plat::FileSize(f) : 0;
        if (f)
            plat::FileClose(f);
        state.counters["cpu_percent"] = 100.0 * (cpu1 - cpu0) / wall;
        state.counters["frames_per_s"] = static_cast<double>(gSends.load() - sends) / wall;
        state.counters["trace_bytes_per_s"] = static_cast<double>(traceAfter - traceBefore) / wall;
    }
    driver->Release(); // stops the link
    ops.send = gSavedSend;
}

} // namespace

BENCHMARK_CAPTURE(BM_IdleLink, one_run_no_trace, 1, false, false)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(BM_IdleLink, one_run_trace, 1, true, false)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(BM_IdleLink, run_each_no_trace, 20, false, false)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(BM_IdleLink, run_each_trace, 20, true, false)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(BM_IdleLink, merged_no_trace, 20, false, true)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

int main(int argc, char** argv) {
    const bool sim = StartSimulatorProcess();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    if (!sim)
        std::fprintf(stderr, "the simulator did not start\n");
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    StopSimulatorProcess();
    return 0;
}
