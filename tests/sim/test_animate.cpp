// Values that move by themselves: the --animate syntax, how each kind moves
// over time, and animated values seen over TCP.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <sstream>
#include <vector>

#include "Animation.h"
#include "IdecSim.h"
#include "sim_client.h"
#include "testutil/testutil.h"

using idecsim::Animation;
using idecsim::AnimationKind;
using idecsim::Animator;
using idecsim::ParseAnimation;

namespace {

constexpr uint32_t kWordMax = 0xFFFF;

Animation Parsed(const char* text) {
    Animation a;
    std::string error;
    EXPECT_TRUE(ParseAnimation(text, &a, &error)) << error;
    return a;
}

// The value an animator would store at t, or `current` when it keeps it.
uint32_t At(Animator& a, uint64_t t, uint32_t current) {
    static std::mt19937 rng(7);
    uint32_t v = current;
    a.Next(t, current, rng, &v);
    return v;
}

// ---- Syntax ----

TEST(SimAnimateSyntax, TheFourKindsAndTheirArguments) {
    const struct {
        const char* text;
        AnimationKind kind;
        const char* device;
        uint32_t address, from, to;
        int32_t step;
        uint32_t ms;
    } rows[] = {
        {"D100=ramp:0:1000:1s", AnimationKind::kRamp, "D", 100, 0, 1000, 0, 1000},
        {"D101=counter:-3:500ms", AnimationKind::kCounter, "D", 101, 0, 0, -3, 500},
        {"M5=square:0:1:2s", AnimationKind::kSquare, "M", 5, 0, 1, 0, 2000},
        {"TP3=walk:0x1F4:10:200ms", AnimationKind::kWalk, "TP", 3, 500, 0, 10, 200},
    };
    for (const auto& r : rows) {
        const Animation a = Parsed(r.text);
        EXPECT_TRUE(a.kind == r.kind && a.device == r.device && a.address == r.address &&
                    a.from == r.from && a.to == r.to && (r.step == 0 || a.step == r.step) &&
                    a.ms == r.ms)
            << r.text;
    }
}

TEST(SimAnimateSyntax, MistakesAreNamed) {
    const char* rows[][2] = {
        {"D100", "DEVADDR=KIND:ARGS"},
        {"100=counter:1:1s", "DEVADDR=KIND:ARGS"},
        {"D=counter:1:1s", "DEVADDR=KIND:ARGS"},
        {"D1x=counter:1:1s", "DEVADDR=KIND:ARGS"},
        {"D100=spin:1:1s", "unknown kind 'spin'"},
        {"D100=ramp:0:1000", "ramp takes FROM:TO:PERIOD"},
        {"D100=counter:1:2:1s", "counter takes STEP:INTERVAL"},
        {"D100=counter:one:1s", "'one' is not a step"},
        {"D100=ramp:0:x:1s", "'x' is not a value"},
        {"D100=counter:1:500", "'500' is not a duration"},
        {"D100=counter:1:5ms", "'5ms' is not a duration"},
        {"D100=counter:1:2h", "'2h' is not a duration"},
        {"D100=counter:1:3601s", "'3601s' is not a duration"},
        {"D100=walk:5:0:1s", "STEP must be at least 1"},
    };
    for (const auto& b : rows) {
        Animation a;
        std::string error;
        EXPECT_FALSE(ParseAnimation(b[0], &a, &error)) << b[0];
        EXPECT_NE(error.find(std::string("--animate ") + b[0] + ": "), std::string::npos) << error;
        EXPECT_NE(error.find(b[1]), std::string::npos) << error;
    }
}

// ---- Movement over time ----

// What each kind stores at a time (ms from the start of the run) given the
// value there: unchanged means nothing stored. A ramp or a wave leaves a
// written value alone until it moves on; a counter steps from what it finds
// (every interval due, wrapping in its unit); time counts from the start.
TEST(SimAnimateMotion, EachKindMovesOverTime) {
    const struct {
        const char* text;
        uint32_t max;
        uint64_t start;
        const char* at; // "T CURRENT STORED; ..."
    } rows[] = {
        {"D1=ramp:100:1100:1s", kWordMax, 0,
         "0 0 100; 250 0 350; 999 0 1099; 1000 0 100; 1500 0 600"},
        {"D1=ramp:1000:0:100ms", kWordMax, 5000, "5000 0 1000; 5050 0 500"},
        {"D1=ramp:0:100:1s", kWordMax, 0, "500 0 50; 505 4321 4321; 520 4321 52"},
        {"M5=square:0:1:2s", 1, 0, "0 9 0; 999 9 9; 1000 9 1; 1999 9 9; 2000 9 0"},
        {"D1=counter:2:500ms", kWordMax, 0, "499 7 7; 500 7 9; 700 9 9; 1500 9 13; 2000 100 102"},
        {"D1=counter:1:10ms", kWordMax, 0, "10 65535 0"},
        {"D1=counter:-1:10ms", kWordMax, 0, "10 0 65535"},
        {"D1=counter:3:10ms", 0xFFFFFFFFu, 0, "10 4294967294 1"},
    };
    for (const auto& r : rows) {
        Animator a(Parsed(r.text), r.max, r.start);
        std::istringstream in(r.at);
        uint64_t t = 0;
        uint32_t current = 0, stored = 0;
        for (char semicolon; in >> t >> current >> stored; in >> semicolon)
            EXPECT_EQ(At(a, t, current), stored) << r.text << " at " << t;
    }
    Animator c(Parsed("D1=counter:2:500ms"), kWordMax, 0);
    uint32_t initial = 0;
    EXPECT_FALSE(c.Initial(&initial)) << "a counter starts from what is there";
}

TEST(SimAnimateMotion, ACounterThatFellFarBehindCatchesUpBoundedly) {
    Animator c(Parsed("D1=counter:1:10ms"), 0xFFFFFFFFu, 0);
    const uint32_t v = At(c, 10ull * 1000000, 0);
    EXPECT_GT(v, 0u);
    EXPECT_LT(v, 1000000u);
    // The missed steps are not owed later.
    EXPECT_EQ(At(c, 10ull * 1000000 + 5, v), v);
}

TEST(SimAnimateMotion, AWalkMovesWithinItsStepAndItsUnit) {
    for (const auto& k :
         {std::make_pair("D1=walk:3:10:10ms", kWordMax), std::make_pair("M1=walk:1:1:10ms", 1u)}) {
        Animator w(Parsed(k.first), k.second, 0);
        std::mt19937 rng(42);
        uint32_t v = 0;
        ASSERT_TRUE(w.Initial(&v));
        bool moved = false;
        for (uint64_t i = 1; i <= 2000; ++i) {
            uint32_t next = v;
            ASSERT_TRUE(w.Next(i * 10, v, rng, &next)) << "one step is due every interval";
            const int64_t delta = static_cast<int64_t>(next) - static_cast<int64_t>(v);
            EXPECT_LE(delta, w.Settings().step);
            EXPECT_GE(delta, -w.Settings().step);
            EXPECT_LE(next, k.second);
            moved = moved || next != v;
            v = next;
        }
        EXPECT_TRUE(moved) << k.first;
    }
}

// ---- In the simulator ----

// D at `address` as a block read over TCP returns it; -1 when no reply.
int64_t ReadWord(simtest::Client& c, uint32_t address) {
    char body[32];
    std::snprintf(body, sizeof body, "010RA%08X02", address);
    const std::string reply = c.Ask(simtest::Frame(body));
    if (reply.size() != 11 || reply[0] != '\x06')
        return -1;
    return std::stol(reply.substr(4, 4), nullptr, 16);
}

TEST(SimAnimate, TheSimulatorChecksAnimationsAgainstItsDevices) {
    idecsim::Simulator sim;
    std::string error;
    const char* bad[][2] = {{"X100=counter:1:1s", "no device X"},
                            {"D9000=counter:1:1s", "D9000"},
                            {"D100=ramp:0:70000:1s", "65535"},
                            {"M5=square:0:2:1s", ""},
                            {"D100=walk:65536:1:1s", ""}};
    for (const auto& b : bad) {
        error.clear();
        EXPECT_FALSE(sim.Animate(Parsed(b[0]), &error)) << b[0];
        EXPECT_NE(error.find(b[1]), std::string::npos) << error;
    }
    // A counter keeps the value it finds; the others start at theirs.
    ASSERT_TRUE(sim.SetValue("D", 101, 40));
    EXPECT_TRUE(sim.Animate(Parsed("D101=counter:1:1s"), &error)) << error;
    EXPECT_TRUE(sim.Animate(Parsed("D102=walk:500:10:1s"), &error)) << error;
    EXPECT_EQ(sim.Value("D", 101), 40u);
    EXPECT_EQ(sim.Value("D", 102), 500u);
    // Animated addresses are among those an address-list query answers.
    std::vector<uint32_t> listed = sim.AddressList('A');
    EXPECT_NE(std::find(listed.begin(), listed.end(), 102u), listed.end());
}

TEST(SimAnimate, ValuesMoveWhileRunningAndStopWithTheSimulator) {
    idecsim::Simulator sim;
    std::string error;
    ASSERT_TRUE(sim.Animate(Parsed("D100=counter:1:20ms"), &error)) << error;
    const uint16_t port = sim.Start(0);
    ASSERT_NE(port, 0);
    simtest::Client c(port);
    const int64_t first = ReadWord(c, 100);
    ASSERT_GE(first, 0);
    EXPECT_TRUE(testutil::WaitUntil([&] { return ReadWord(c, 100) > first; }, 10000));
    // Added while running: moves from then on.
    ASSERT_TRUE(sim.Animate(Parsed("D200=square:7:9:40ms"), &error)) << error;
    EXPECT_TRUE(testutil::WaitUntil([&] { return ReadWord(c, 200) == 9; }, 10000));
    EXPECT_TRUE(testutil::WaitUntil([&] { return ReadWord(c, 200) == 7; }, 10000));
    c.Close();

    sim.Stop();
    EXPECT_FALSE(sim.Running());
    // The animations outlive a stop and move again after the next start.
    const uint32_t stopped = sim.Value("D", 100);
    ASSERT_NE(sim.Start(0), 0);
    EXPECT_TRUE(testutil::WaitUntil([&] { return sim.Value("D", 100) != stopped; }, 10000));
}

} // namespace
