// The read pass against the loopback limit. One minimal in-process peer
// (bench/common/MiniPeer: answers at once, logs nothing) serves two clients
// in the same run, pass by pass in turn:
//   raw     sends block-read frames back to back and reads each reply until
//           its CR: two system calls an exchange, the limit;
//   driver  the link's read pass over 50 items that each form a run of their
//           own (one pass = 50 block reads).
// The argument is the run size in units (a D unit is two bytes), the items
// placed 11 units apart so that runs never merge. Goal: driver <= 1.25 x raw.
//
// For the system-call counts (scripts/bench.sh runs them under strace) the
// program also runs as a bare peer or a bare client:
//   bench_exchange --peer                 prints its port, serves until stdin ends
//   bench_exchange --client=raw|driver --port=P --passes=N [--units=U]
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "common/MiniPeer.h"
#include "common/Rig.h"
#include "platform/socket.h"

namespace {

constexpr int kRuns = 50;
constexpr int kGap = 11;

bench::MiniPeer& Peer() {
    static bench::MiniPeer peer;
    if (peer.Port() == 0)
        peer.Start();
    return peer;
}

// First address of each run of `units` units.
std::vector<int32_t> RunStarts(int units) {
    std::vector<int32_t> starts;
    for (int i = 0; i < kRuns; ++i)
        starts.push_back(i * (units + kGap));
    return starts;
}

// The raw client: a blocking socket, one send and receives until the CR.
class RawClient {
public:
    ~RawClient() {
        if (s_ != plat::kInvalidSocket)
            plat::SockClose(s_);
    }
    bool Connect(uint16_t port) {
        s_ = plat::SockCreateTcp();
        return s_ != plat::kInvalidSocket &&
               plat::SockConnect(s_, plat::HostToNet32(plat::kInaddrLoopback),
                                 plat::HostToNet16(port)) == 0;
    }
    // Bytes of the reply, CR included; -1 on failure.
    int Exchange(const std::string& frame) {
        if (plat::SockSend(s_, frame.data(), static_cast<int>(frame.size())) !=
            static_cast<int>(frame.size()))
            return -1;
        int got = 0;
        for (;;) {
            const int n = plat::SockRecv(s_, buf_ + got, static_cast<int>(sizeof buf_) - got);
            if (n <= 0)
                return -1;
            const bool cr = std::memchr(buf_ + got, 0x0D, static_cast<size_t>(n)) != nullptr;
            got += n;
            if (cr)
                return got;
            if (got >= static_cast<int>(sizeof buf_))
                return -1;
        }
    }

private:
    plat::SocketHandle s_ = plat::kInvalidSocket;
    char buf_[2048];
};

std::vector<std::string> RawFrames(int units) {
    std::vector<std::string> frames;
    for (int32_t a : RunStarts(units))
        frames.push_back(bench::BlockReadFrame('A', a, units * 2));
    return frames;
}

// The driver's side: a D block with one item per run, connected.
struct DriverSide {
    explicit DriverSide(uint16_t port, int units) : rig(port) {
        block = rig.Block("D");
        ok = block && rig.AddItems(*block, RunStarts(units), static_cast<uint16_t>(units - 8)) &&
             rig.FirstTick();
    }
    bench::Rig rig;
    CPlcDevice* block = nullptr;
    bool ok = false;
};

// Seconds of CPU time this thread has used.
double ThreadCpuSeconds() {
#ifndef _WIN32
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
#else
    return static_cast<double>(std::clock()) / CLOCKS_PER_SEC;
#endif
}

// One iteration: a raw pass and a driver pass over the same 50 runs, their
// order swapped every time, each timed on its own. The medians over the
// iterations are the figures: a pass that the machine's other work delayed
// moves a median little. "raw_us" and "driver_us" are wall-clock
// microseconds per exchange, "*_cpu_us" this thread's CPU time per exchange.
void BM_SideBySide(benchmark::State& state) {
    const int units = static_cast<int>(state.range(0));
    const std::vector<std::string> frames = RawFrames(units);
    RawClient client;
    DriverSide side(Peer().Port(), units);
    if (!client.Connect(Peer().Port()) || !side.ok) {
        state.SkipWithError("no connection to the peer");
        return;
    }
    const int expected = 4 + 4 * units + 3; // ACK, station, '0', data, check, CR
    std::vector<double> raw, driver, rawCpu, driverCpu;
    bool rawFirst = true;
    bool failed = false;
    const uint64_t requests = Peer().Requests();
    auto rawPass = [&] {
        const double c0 = ThreadCpuSeconds();
        const auto t0 = std::chrono::steady_clock::now();
        for (const std::string& f : frames)
            failed |= client.Exchange(f) != expected;
        raw.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
        rawCpu.push_back(ThreadCpuSeconds() - c0);
    };
    auto driverPass = [&] {
        const double c0 = ThreadCpuSeconds();
        const auto t0 = std::chrono::steady_clock::now();
        side.rig.Link().ReadOnce();
        driver.push_back(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
        driverCpu.push_back(ThreadCpuSeconds() - c0);
    };
    for (auto _ : state) {
        if (rawFirst) {
            rawPass();
            driverPass();
        } else {
            driverPass();
            rawPass();
        }
        rawFirst = !rawFirst;
    }
    const double frames2 =
        static_cast<double>(Peer().Requests() - requests) / static_cast<double>(state.iterations());
    if (failed || frames2 != 2 * kRuns || side.block->deviceStatus.load() != 0) {
        state.SkipWithError("a pass did not make one good exchange per run");
        return;
    }
    const double us = 1e6 / kRuns;
    state.counters["raw_us"] = bench::Median(raw) * us;
    state.counters["driver_us"] = bench::Median(driver) * us;
    state.counters["ratio"] = bench::Median(driver) / bench::Median(raw);
    state.counters["raw_cpu_us"] = bench::Median(rawCpu) * us;
    state.counters["driver_cpu_us"] = bench::Median(driverCpu) * us;
    state.counters["run_bytes"] = static_cast<double>(units * 2);
}

// Run sizes in units: 18, 60, 120 and 240 bytes a frame.
void Register() {
    for (int units : {9, 30, 60, 120})
        benchmark::RegisterBenchmark("BM_SideBySide", BM_SideBySide)
            ->Arg(units)
            ->Iterations(400)
            ->Unit(benchmark::kMillisecond);
}

// ---- the bare modes, for strace ----

const char* Option(int argc, char** argv, const char* name) {
    const size_t n = std::strlen(name);
    for (int i = 1; i < argc; ++i)
        if (std::strncmp(argv[i], name, n) == 0 && argv[i][n] == '=')
            return argv[i] + n + 1;
    return nullptr;
}

int RunPeer() {
    bench::MiniPeer& peer = Peer();
    if (peer.Port() == 0)
        return 1;
    std::printf("%u\n", static_cast<unsigned>(peer.Port()));
    std::fflush(stdout);
    char buf[64];
    while (std::fread(buf, 1, sizeof buf, stdin) > 0) {
    }
    peer.Stop();
    return 0;
}

int RunClient(const std::string& kind, uint16_t port, int passes, int units) {
    if (kind == "raw") {
        const std::vector<std::string> frames = RawFrames(units);
        RawClient client;
        if (!client.Connect(port))
            return 1;
        for (int p = 0; p < passes; ++p)
            for (const std::string& f : frames)
                if (client.Exchange(f) <= 0)
                    return 1;
        return 0;
    }
    if (kind == "driver") {
        DriverSide side(port, units);
        if (!side.ok)
            return 1;
        for (int p = 0; p < passes; ++p)
            side.rig.Link().ReadOnce();
        return side.block->deviceStatus.load() == 0 ? 0 : 1;
    }
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--peer") == 0)
            return RunPeer();
    if (const char* kind = Option(argc, argv, "--client")) {
        const char* port = Option(argc, argv, "--port");
        const char* passes = Option(argc, argv, "--passes");
        const char* units = Option(argc, argv, "--units");
        if (!port || !passes)
            return 2;
        return RunClient(kind, static_cast<uint16_t>(std::atoi(port)), std::atoi(passes),
                         units ? std::atoi(units) : 9);
    }
    Register();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    Peer().Stop();
    return 0;
}
