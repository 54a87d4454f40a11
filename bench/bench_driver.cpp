// The driver object's host services, as the host calls them:
//   BM_ReadItemCached  ReadItem of a number the link has read, on 1, 2, 4 and
//                      8 host threads while the link scans 100 items (each a
//                      run of its own, a pass on every 10 ms tick);
//   BM_ReadItemFloor   the least work such a call must do, as plain code: the
//                      reference ReadItem's figure is held against, on 1, 2
//                      and 4 threads sharing one table and lock;
//   BM_WriteItem       WriteItem of a number on one host thread, the link
//                      sending the staged writes meanwhile;
//   BM_ListItems       ListItems of a block with 10,000 items.
// ReadItem also reports "waits" per call: how often a host thread gave up its
// core to wait, for the device lock mostly.
// Each reports "allocs" per call: heap allocations of the calling threads,
// counted by the replaced global operator new and, in builds without a
// sanitizer on glibc, by a malloc hook as well. Goals: ReadItem 0 allocations
// and, on 4 threads, under 1.5 x the CPU time per call of one thread.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#ifdef __linux__
#include <sys/resource.h>
#endif

#include "NimbroDriver.h"
#include "common/MiniPeer.h"
#include "common/Rig.h"
#include "driver/DrvIDec.h"
#include "platform/sync.h"
#include "platform/variant.h"

// ---- allocation counting ----

namespace {
// Allocations made by this thread.
thread_local uint64_t tAllocs = 0;
} // namespace

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define BENCH_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) ||                         \
    __has_feature(memory_sanitizer)
#define BENCH_SANITIZED 1
#endif
#endif

#if defined(__GLIBC__) && !defined(BENCH_SANITIZED)
// glibc lets a program replace malloc and friends and reach its own under
// these names: every allocation of the process is counted, the C++ ones too
// (operator new below calls malloc).
#define BENCH_MALLOC_HOOK 1
extern "C" {
void* __libc_malloc(size_t n);
void* __libc_calloc(size_t n, size_t size);
void* __libc_realloc(void* p, size_t n);
void __libc_free(void* p);

void* malloc(size_t n) noexcept {
    ++tAllocs;
    return __libc_malloc(n);
}
void* calloc(size_t n, size_t size) noexcept {
    ++tAllocs;
    return __libc_calloc(n, size);
}
void* realloc(void* p, size_t n) noexcept {
    ++tAllocs;
    return __libc_realloc(p, n);
}
void free(void* p) noexcept {
    __libc_free(p);
}
}
#endif

namespace {

void* CountedNew(std::size_t n) {
#ifndef BENCH_MALLOC_HOOK
    ++tAllocs;
#endif
    return std::malloc(n ? n : 1);
}

} // namespace

void* operator new(std::size_t n) {
    if (void* p = CountedNew(n))
        return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t n) {
    if (void* p = CountedNew(n))
        return p;
    throw std::bad_alloc();
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
    return CountedNew(n);
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
    return CountedNew(n);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}

namespace {

// Times this thread gave up its core to wait (for a lock, mostly): each a
// futex call and a wake-up.
double Waits() {
#ifdef __linux__
    rusage u{};
    getrusage(RUSAGE_THREAD, &u);
    return static_cast<double>(u.ru_nvcsw);
#else
    return 0;
#endif
}

constexpr int kScanItems = 100;
constexpr int kItemGap = 20; // D0, D20, ...: every item a run of its own

std::vector<int32_t> ScanAddresses() {
    std::vector<int32_t> out;
    for (int i = 0; i < kScanItems; ++i)
        out.push_back(i * kItemGap);
    return out;
}

bench::WString ItemName(int32_t address) {
    return bench::Wide("D" + std::to_string(address));
}

const NimbroChar* Host(const bench::WString& s) {
    return reinterpret_cast<const NimbroChar*>(s.c_str());
}

// A started link with 100 items read on every 10 ms tick, and a driver
// object on its table; made once, used by every benchmark of this program.
class Scanning {
public:
    static Scanning& Get() {
        static Scanning world;
        return world;
    }

    bool ok = false;
    NimbroDevice device = nullptr;
    CDrvIDec* driver = nullptr;
    bench::MiniPeer peer;

    ~Scanning() {
        if (driver)
            driver->Release(); // stops and empties the table
        rig_.reset();
        peer.Stop();
    }

private:
    Scanning() {
        if (peer.Start() == 0)
            return;
        rig_.reset(new bench::Rig(peer.Port()));
        CPlcDevice* block = rig_->Block("D");
        if (!block || !rig_->AddItems(*block, ScanAddresses()))
            return;
        rig_->Table().SetScanPeriod(10);
        rig_->Table().SetReadInterval(0);
        driver = new CDrvIDec(rig_->Table());
        driver->AddRef();
        rig_->Table().StartAll();
        device = driver->ResolveDevice(Host(bench::Wide("D")));
        if (!device)
            return;
        // Every item read once before the host threads come.
        const uint32_t start = plat::TickCount();
        for (int32_t a : ScanAddresses()) {
            const bench::WString name = ItemName(a);
            for (;;) {
                int32_t type = TypeU16;
                uint16_t value = 0;
                int32_t count = 0;
                if (driver->ReadItem(device, Host(name), &type, &value, 1, &count, 0) == ResultOk)
                    break;
                if (plat::TickCount() - start > 10000)
                    return;
                plat::SleepMs(5);
            }
        }
        ok = true;
    }

    std::unique_ptr<bench::Rig> rig_;
};

void BM_ReadItemCached(benchmark::State& state) {
    Scanning& s = Scanning::Get();
    if (!s.ok) {
        state.SkipWithError("no scanning link");
        return;
    }
    // Each thread its own item of the same block.
    const bench::WString name = ItemName(state.thread_index() * kItemGap);
    const uint64_t exchanges = s.peer.Requests();
    const uint64_t before = tAllocs;
    const double waits = Waits();
    int32_t failures = 0;
    for (auto _ : state) {
        int32_t type = TypeU16;
        uint16_t value = 0;
        int32_t count = 0;
        failures += s.driver->ReadItem(s.device, Host(name), &type, &value, 1, &count, 0) != 0;
        benchmark::DoNotOptimize(value);
    }
    const uint64_t allocs = tAllocs - before;
    state.counters["waits"] =
        benchmark::Counter(Waits() - waits, benchmark::Counter::kAvgIterations);
    if (failures != 0)
        state.SkipWithError("a read failed");
    state.counters["allocs"] =
        benchmark::Counter(static_cast<double>(allocs), benchmark::Counter::kAvgIterations);
    if (state.thread_index() == 0)
        state.counters["link_exchanges"] =
            static_cast<double>(s.peer.Requests() - exchanges); // during the run
}
BENCHMARK(BM_ReadItemCached)->ThreadRange(1, 8)->UseRealTime();

// The least work a ReadItem call must do, written plainly, as the reference
// its figure is held against: the name's text turned into its key (the
// letters upper-cased, the number read), that key found in a sorted table of
// as many keys as the block has items, a lock taken and left around the copy
// of the value's bytes, and the bytes converted from the PLC's word into the
// host's type. On several threads they share the table and the lock, as host
// threads share a block's.
struct FloorKey {
    char letters[4];
    uint32_t number;
    bool operator<(const FloorKey& o) const {
        const int c = std::memcmp(letters, o.letters, sizeof letters);
        return c != 0 ? c < 0 : number < o.number;
    }
};

// One table, image and lock for every thread, as a block's are.
struct FloorBlock {
    std::vector<FloorKey> keys;
    std::vector<uint8_t> image;
    plat::CriticalSection lock;
    FloorBlock() : image(static_cast<size_t>(kScanItems) * kItemGap * 2, 0x5A) {
        for (int32_t a : ScanAddresses())
            keys.push_back({{'D', 0, 0, 0}, static_cast<uint32_t>(a)});
        std::sort(keys.begin(), keys.end());
    }
};

void BM_ReadItemFloor(benchmark::State& state) {
    static FloorBlock block;
    // Each thread its own item, as in BM_ReadItemCached.
    const bench::WString name =
        ItemName(static_cast<int32_t>((kScanItems / 2 + state.thread_index()) * kItemGap));
    int32_t misses = 0;
    for (auto _ : state) {
        FloorKey key{};
        const WChar* p = name.c_str();
        benchmark::DoNotOptimize(p);
        for (size_t i = 0; *p >= 'A' && i < sizeof key.letters; ++p)
            key.letters[i++] = static_cast<char>(*p >= 'a' ? *p - 32 : *p);
        for (; *p >= '0' && *p <= '9'; ++p)
            key.number = key.number * 10 + static_cast<uint32_t>(*p - '0');
        const auto it = std::lower_bound(block.keys.begin(), block.keys.end(), key);
        if (it == block.keys.end() || key < *it) {
            ++misses;
            continue;
        }
        uint8_t bytes[2];
        block.lock.Enter();
        std::memcpy(bytes, block.image.data() + static_cast<size_t>(it->number) * 2, sizeof bytes);
        block.lock.Leave();
        // The PLC's word, high byte first, as the host's unsigned 16 bits.
        int32_t type = TypeU16;
        const uint16_t value = static_cast<uint16_t>(bytes[0] << 8 | bytes[1]);
        benchmark::DoNotOptimize(type);
        benchmark::DoNotOptimize(value);
    }
    if (misses != 0)
        state.SkipWithError("the key was not found");
}
BENCHMARK(BM_ReadItemFloor)->ThreadRange(1, 4)->UseRealTime();

void BM_WriteItem(benchmark::State& state) {
    Scanning& s = Scanning::Get();
    if (!s.ok) {
        state.SkipWithError("no scanning link");
        return;
    }
    const bench::WString name = ItemName(40);
    const uint64_t before = tAllocs;
    uint16_t value = 0;
    int32_t failures = 0;
    for (auto _ : state) {
        int32_t count = 0;
        ++value;
        failures += s.driver->WriteItem(s.device, Host(name), TypeU16, &value, sizeof value, &count,
                                        0) != 0;
    }
    if (failures != 0)
        state.SkipWithError("a write failed");
    state.counters["allocs"] = benchmark::Counter(static_cast<double>(tAllocs - before),
                                                  benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_WriteItem);

// A block of 10,000 items on a table of its own, never started.
void BM_ListItems(benchmark::State& state) {
    const int32_t n = static_cast<int32_t>(state.range(0));
    bench::Rig rig(1);
    CPlcDevice* block = rig.Block("D");
    if (!block) {
        state.SkipWithError("no block");
        return;
    }
    for (int32_t a = 0; a < n; ++a)
        if (!block->CreateItem(ItemName(a).c_str(), a, false, 0, 0)) {
            state.SkipWithError("item not made");
            return;
        }
    CDrvIDec* driver = new CDrvIDec(rig.Table());
    driver->AddRef();
    const bench::WString type = bench::Wide("D");
    const uint64_t before = tAllocs;
    size_t length = 0;
    for (auto _ : state) {
        NimbroBstr list = driver->ListItems(Host(type));
        length = plat::BstrLen(reinterpret_cast<plat::Bstr>(list));
        plat::BstrFree(reinterpret_cast<plat::Bstr>(list));
    }
    state.counters["allocs"] = benchmark::Counter(static_cast<double>(tAllocs - before),
                                                  benchmark::Counter::kAvgIterations);
    state.counters["chars"] = static_cast<double>(length);
    driver->Release();
}
BENCHMARK(BM_ListItems)->Arg(10000)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
