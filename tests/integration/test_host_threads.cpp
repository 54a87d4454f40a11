// Many host threads at once on the host services. Calls held in an
// enumeration, a reload under a waiting listing and a PLC whose connect
// hangs are scenarios (scenarios/*.scn).
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "plant.h"
#include "platform/sync.h"

namespace {

using namespace itest;
using testutil::W;
using testutil::WaitUntil;

// Eight host threads register, read, write and list while the link scans
// and the simulator changes its values. Every value of D[n] is n plus a
// multiple of 1000, so a value that belongs to another item shows.
TEST(HostThreads, NoReadGetsAnotherItemsValue) {
    constexpr uint32_t kWords = 40;
    const std::string kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    Plant p;
    PlantOptions o;
    o.memory.push_back([&](idecsim::Simulator& s) {
        for (uint32_t n = 1; n < 500; ++n)
            s.SetValue("D", n, n);
        for (uint32_t i = 0; i < 14; ++i) // the alphabet, two letters a word, and a NUL
            s.SetValue("D", 600 + i, i < 13 ? (0x41 + 2 * i) << 8 | (0x42 + 2 * i) : 0);
    });
    ASSERT_NO_FATAL_FAILURE(p.Start(o));
    NimbroDevice d = p.Resolve("D");
    for (uint32_t n = 1; n <= kWords + 1; ++n)
        ASSERT_EQ(p.Register(d, "D" + std::to_string(n)), 1);
    for (uint32_t n = 1; n <= kWords + 1; ++n)
        ASSERT_TRUE(p.ReadsSoon(d, "D" + std::to_string(n), n)) << n;
    std::atomic<bool> stop{false};
    std::thread changer([&] {
        for (uint32_t k = 1; !stop.load(); k = (k + 1) % 60, plat::SleepMs(2))
            for (uint32_t n = 1; n <= kWords + 1; ++n)
                p.sim.SetValue("D", n, n + 1000 * k);
    });
    // Per thread: a shared counter would order the threads for the race
    // detector and hide the races looked for.
    std::vector<uint64_t> good(8, 0);
    std::vector<std::vector<std::string>> failures(8);
    std::vector<std::function<void()>> jobs;
    for (int t = 0; t < 8; ++t) {
        jobs.push_back([&, t] {
            auto fail = [&](const std::string& what) {
                if (failures[t].size() < 5)
                    failures[t].push_back(what);
            };
            for (int i = 0; i < 300; ++i, plat::SleepMs(i % 2)) {
                const uint32_t n = 1 + static_cast<uint32_t>(i * 7 + t * 5) % kWords;
                const std::string name = "D" + std::to_string(n);
                // New items while the others are read: the window grows.
                const uint32_t a =
                    100 + static_cast<uint32_t>(t) * 50 + static_cast<uint32_t>(i) % 50;
                const std::string made = "D" + std::to_string(a);
                const uint32_t length = 2 + static_cast<uint32_t>(i + t) % 30;
                const std::string text = "D600.String" + std::to_string(length);
                uint32_t v = 0;
                int32_t result = -1;
                std::string got;
                switch ((i + t) % 8) {
                case 0:
                    if (p.Register(d, name) != 1)
                        fail("register " + name);
                    break;
                case 1:
                    if (p.ReadU32(d, name, &v) == ResultOk && (++good[t], v % 1000 != n))
                        fail(name + " read " + std::to_string(v));
                    break;
                case 2:
                    if (p.Write(d, name, TypeU16, n + 1000 * (1 + (i + t) % 60)) != ResultOk)
                        fail(name + " write refused");
                    break;
                case 3: // unsigned: a negative .Long saturates at 0 as a TypeU32
                    if (p.ReadU32(d, name + ".Double", &v) == ResultOk &&
                        (++good[t], (v >> 16) % 1000 != n || (v & 0xFFFF) % 1000 != n + 1))
                        fail(name + ".Double read " + std::to_string(v));
                    break;
                case 4:
                    if (p.Register(d, made) != 1)
                        fail("register " + made);
                    if (p.ReadU32(d, made, &v) == ResultOk && (++good[t], v % 1000 != a))
                        fail(made + " read " + std::to_string(v));
                    break;
                case 5:
                    if (p.List(N(W("D"))).compare(0, 3, "D1,") != 0 || p.Resolve("D") != d)
                        fail("listed or resolved wrong");
                    break;
                case 6: // a text that grows while others read it
                    if (p.Register(d, text) != 1)
                        fail("register " + text);
                    got = p.ReadText(d, text, &result);
                    if (result == ResultOk &&
                        (got.size() > length || kAlphabet.compare(0, got.size(), got) != 0))
                        fail(text + " read " + got);
                    break;
                default:
                    p.ReadText(d, "D600");
                }
            }
        });
    }
    RunTogether(jobs);
    stop.store(true);
    changer.join();
    uint64_t total = 0;
    for (int t = 0; t < 8; ++t) {
        total += good[t];
        for (const std::string& f : failures[t])
            ADD_FAILURE() << f;
    }
    EXPECT_GT(total, 0u);
    EXPECT_TRUE(WaitUntil([&] { return p.ReadText(d, "D600.String30") == kAlphabet; }, kBound));
}

// Registrations, reads and writes of existing items while other threads
// make items (attaching them, changing the block's access flags) and grow a
// text item (changing its type), all under the block's lock.
TEST(HostThreads, ItemsMadeAndGrownWhileOthersUseTheBlock) {
    constexpr int kIterations = 250;
    Plant p;
    PlantOptions o;
    o.memory.push_back([](idecsim::Simulator& s) { s.SetValue("D", 5, 5); });
    ASSERT_NO_FATAL_FAILURE(p.Start(o));
    NimbroDevice d = p.Resolve("D");
    ASSERT_TRUE(p.ReadsSoon(d, "D5", 5));
    ASSERT_EQ(p.Register(d, "D700"), 1);
    std::vector<int> refused(6, 0), wrong(6, 0); // per thread
    std::vector<std::function<void()>> jobs;
    for (int t = 0; t < 2; ++t)
        jobs.push_back([&, t] {
            for (int i = 0; i < kIterations; ++i)
                refused[t] += p.Register(d, "D" + std::to_string(2000 + t * kIterations + i)) != 1;
        });
    jobs.push_back([&] {
        for (int i = 0; i < kIterations; ++i) {
            refused[2] += p.Register(d, "D700.String" + std::to_string(2 + i % 40)) != 1;
            p.ReadText(d, "D700.String2");
        }
    });
    for (int t = 3; t < 5; ++t)
        jobs.push_back([&, t] {
            for (int i = 0; i < kIterations; ++i) {
                int32_t type = -1, size = -1, access = -1;
                refused[t] += p.Register(d, "D5", &type, &size, &access) != 1;
                wrong[t] += access != 3;
                plat::SleepMs(1); // the others take the block's lock in these gaps
                wrong[t] += p.Write(d, "D5", TypeU16, 5) != ResultOk;
                plat::SleepMs(1);
            }
        });
    jobs.push_back([&] {
        for (int i = 0; i < kIterations; ++i, plat::SleepMs(1)) {
            p.ReadText(d, "D700");
            plat::SleepMs(1);
            int32_t type = -1;
            refused[5] += p.Register(d, "D700", &type) != 1;
        }
    });
    RunTogether(jobs);
    EXPECT_EQ(refused, std::vector<int>(6, 0));
    EXPECT_EQ(wrong, std::vector<int>(6, 0));
    EXPECT_EQ(p.Block("D")->ItemCount(), 2u + 2u * kIterations);
}

} // namespace
