// Values that move by themselves: the --animate syntax, how each kind moves
// over time, and animated values seen over TCP.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <random>
#include <sstream>
#include <vector>

#include "Animation.h"
#include "CommandLine.h"
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
    Animation a = Parsed("D100=ramp:0:1000:1s");
    EXPECT_EQ(a.kind, AnimationKind::kRamp);
    EXPECT_EQ(a.device, "D");
    EXPECT_EQ(a.address, 100u);
    EXPECT_EQ(a.from, 0u);
    EXPECT_EQ(a.to, 1000u);
    EXPECT_EQ(a.ms, 1000u);

    a = Parsed("D101=counter:-3:500ms");
    EXPECT_EQ(a.kind, AnimationKind::kCounter);
    EXPECT_EQ(a.step, -3);
    EXPECT_EQ(a.ms, 500u);

    a = Parsed("M5=square:0:1:2s");
    EXPECT_EQ(a.kind, AnimationKind::kSquare);
    EXPECT_EQ(a.device, "M");
    EXPECT_EQ(a.to, 1u);
    EXPECT_EQ(a.ms, 2000u);

    a = Parsed("TP3=walk:0x1F4:10:200ms");
    EXPECT_EQ(a.kind, AnimationKind::kWalk);
    EXPECT_EQ(a.device, "TP");
    EXPECT_EQ(a.from, 500u);
    EXPECT_EQ(a.step, 10);
}

TEST(SimAnimateSyntax, MistakesAreNamed) {
    struct Bad {
        const char* text;
        const char* says;
    };
    for (const Bad& b : std::vector<Bad>{
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
         }) {
        Animation a;
        std::string error;
        EXPECT_FALSE(ParseAnimation(b.text, &a, &error)) << b.text;
        EXPECT_NE(error.find(std::string("--animate ") + b.text + ": "), std::string::npos)
            << error;
        EXPECT_NE(error.find(b.says), std::string::npos) << error;
    }
}

// ---- Movement over time ----

TEST(SimAnimateMotion, ARampRisesOverItsPeriodThenStartsAgain) {
    Animator up(Parsed("D1=ramp:100:1100:1s"), kWordMax, 0);
    EXPECT_EQ(At(up, 0, 0), 100u);
    EXPECT_EQ(At(up, 250, 0), 350u);
    EXPECT_EQ(At(up, 999, 0), 1099u);
    EXPECT_EQ(At(up, 1000, 0), 100u);
    EXPECT_EQ(At(up, 1500, 0), 600u);

    // Falling, and started late: time counts from its own start.
    Animator down(Parsed("D1=ramp:1000:0:100ms"), kWordMax, 5000);
    EXPECT_EQ(At(down, 5000, 0), 1000u);
    EXPECT_EQ(At(down, 5050, 0), 500u);
}

TEST(SimAnimateMotion, ASquareWaveSpendsHalfItsPeriodOnEachLevel) {
    Animator sq(Parsed("M5=square:0:1:2s"), 1, 0);
    EXPECT_EQ(At(sq, 0, 9), 0u);
    EXPECT_EQ(At(sq, 999, 9), 9u) << "no change, nothing stored";
    EXPECT_EQ(At(sq, 1000, 9), 1u);
    EXPECT_EQ(At(sq, 1999, 9), 9u);
    EXPECT_EQ(At(sq, 2000, 9), 0u);
}

// A client's write lasts until the wave or ramp changes next.
TEST(SimAnimateMotion, ARampLeavesAWriteAloneUntilItMovesOn) {
    Animator ramp(Parsed("D1=ramp:0:100:1s"), kWordMax, 0);
    std::mt19937 rng(1);
    uint32_t v = 0;
    ASSERT_TRUE(ramp.Next(500, 0, rng, &v));
    EXPECT_EQ(v, 50u);
    EXPECT_FALSE(ramp.Next(505, 4321, rng, &v)) << "the ramp has not moved on";
    ASSERT_TRUE(ramp.Next(520, 4321, rng, &v));
    EXPECT_EQ(v, 52u);
}

TEST(SimAnimateMotion, ACounterStepsFromTheValueItFinds) {
    Animator c(Parsed("D1=counter:2:500ms"), kWordMax, 0);
    uint32_t initial = 0;
    EXPECT_FALSE(c.Initial(&initial)) << "a counter starts from what is there";
    EXPECT_EQ(At(c, 499, 7), 7u);
    EXPECT_EQ(At(c, 500, 7), 9u);
    EXPECT_EQ(At(c, 700, 9), 9u);
    // Two intervals due at once: both steps.
    EXPECT_EQ(At(c, 1500, 9), 13u);
    // A written value is where the next step starts.
    EXPECT_EQ(At(c, 2000, 100), 102u);
}

TEST(SimAnimateMotion, ACounterWrapsWithinItsUnit) {
    Animator up(Parsed("D1=counter:1:10ms"), kWordMax, 0);
    EXPECT_EQ(At(up, 10, kWordMax), 0u);
    Animator down(Parsed("D1=counter:-1:10ms"), kWordMax, 0);
    EXPECT_EQ(At(down, 10, 0), kWordMax);
    Animator wide(Parsed("D1=counter:3:10ms"), 0xFFFFFFFFu, 0);
    EXPECT_EQ(At(wide, 10, 0xFFFFFFFEu), 1u);
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
    const uint32_t maxes[] = {kWordMax, 1};
    const char* texts[] = {"D1=walk:3:10:10ms", "M1=walk:1:1:10ms"};
    for (int k = 0; k < 2; ++k) {
        Animator w(Parsed(texts[k]), maxes[k], 0);
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
            EXPECT_LE(next, maxes[k]);
            moved = moved || next != v;
            v = next;
        }
        EXPECT_TRUE(moved) << texts[k];
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
    EXPECT_FALSE(sim.Animate(Parsed("X100=counter:1:1s"), &error));
    EXPECT_NE(error.find("no device X"), std::string::npos) << error;
    EXPECT_FALSE(sim.Animate(Parsed("D9000=counter:1:1s"), &error));
    EXPECT_NE(error.find("D9000"), std::string::npos) << error;
    EXPECT_FALSE(sim.Animate(Parsed("D100=ramp:0:70000:1s"), &error));
    EXPECT_NE(error.find("65535"), std::string::npos) << error;
    EXPECT_FALSE(sim.Animate(Parsed("M5=square:0:2:1s"), &error));
    EXPECT_FALSE(sim.Animate(Parsed("D100=walk:65536:1:1s"), &error));
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

bool ParseArgs(std::vector<const char*> args, idecsim::CliOptions* o, std::string* error) {
    return idecsim::ParseCommandLine(static_cast<int>(args.size()), args.data(), o, error);
}

int RunOnce(const char* animate, std::string* err) {
    idecsim::CliOptions o;
    std::string error;
    EXPECT_TRUE(ParseArgs({"--port", "0", "--animate", animate}, &o, &error)) << error;
    std::ostringstream out, errors;
    std::atomic<bool> stop{true}; // starts, then stops at once
    const int rc = idecsim::RunSimulator(o, out, errors, stop);
    *err = errors.str();
    return rc;
}

TEST(SimAnimate, TheCommandLineAnimatesOrRefusesWithStatus2) {
    std::string err;
    EXPECT_EQ(RunOnce("D100=counter:1:20ms", &err), 0) << err;
    // Well-formed, but not for this controller: exit status 2, as for a typo.
    EXPECT_EQ(RunOnce("D9000=counter:1:1s", &err), 2);
    EXPECT_NE(err.find("--animate D9000=counter:1:1s: "), std::string::npos) << err;

    idecsim::CliOptions o;
    std::string error;
    EXPECT_FALSE(ParseArgs({"--animate", "D100=ramp:0:1000"}, &o, &error));
    EXPECT_NE(error.find("ramp takes FROM:TO:PERIOD"), std::string::npos) << error;
    EXPECT_NE(idecsim::HelpText().find("--animate DEVADDR=KIND:ARGS"), std::string::npos);
}

} // namespace
