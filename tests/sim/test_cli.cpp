// The idec-sim command line: options, help, a traced session and stopping.
#include <gtest/gtest.h>

#include <atomic>
#include <sstream>

#include "CommandLine.h"
#include "platform/signals.h"
#include "platform/sync.h"
#include "sim_client.h"
#include "testutil/testutil.h"

using idecsim::CliOptions;
using idecsim::FaultKind;
using idecsim::ParseCommandLine;

namespace {

bool Parse(std::vector<const char*> args, CliOptions* o, std::string* error) {
    return ParseCommandLine(static_cast<int>(args.size()), args.data(), o, error);
}

std::string ParseError(std::vector<const char*> args) {
    CliOptions o;
    std::string error;
    EXPECT_FALSE(Parse(args, &o, &error));
    return error;
}

} // namespace

TEST(SimCli, ReadsValuesListsAndFaults) {
    CliOptions o;
    std::string error;
    ASSERT_TRUE(Parse({"--port",
                       "2102",
                       "--station",
                       "1",
                       "--plc",
                       "config/idec.plc",
                       "--set",
                       "D100=1234",
                       "--set",
                       "TP3=0x10",
                       "--trace",
                       "--list=A=100,32",
                       "--fault",
                       "split:parts=3,ms=10,conn=2,cmd=R,letter=A",
                       "--fault=nak:code=0A",
                       "--delay",
                       "250",
                       "--no-reply",
                       "0.25",
                       "--close-after",
                       "0",
                       "--refuse"},
                      &o, &error))
        << error;
    EXPECT_EQ(o.port, 2102);
    EXPECT_EQ(o.plcFile, "config/idec.plc");
    ASSERT_EQ(o.sets.size(), 2u);
    EXPECT_EQ(o.sets[1].device + std::to_string(o.sets[1].address), "TP3");
    EXPECT_EQ(o.sets[1].value, 16u);
    ASSERT_EQ(o.lists.size(), 1u);
    EXPECT_EQ(o.lists[0].second, (std::vector<uint32_t>{100, 32}));
    ASSERT_EQ(o.faults.size(), 4u);
    const idecsim::FaultRule& split = o.faults[0];
    EXPECT_TRUE(split.kind == FaultKind::kSplit && split.parts == 3 && split.ms == 10 &&
                split.connection == 2 && split.command == 'R' && split.letter == 'A');
    EXPECT_EQ(o.faults[1].code, 0x0A);
    EXPECT_EQ(o.faults[2].ms, 250);
    EXPECT_DOUBLE_EQ(o.faults[3].probability, 0.25);
    EXPECT_EQ(o.closeAfter, 0);
    EXPECT_TRUE(o.trace && o.refuse && !o.neverAnswer && !o.help);
    ASSERT_TRUE(Parse({"-h"}, &o, &error));
    EXPECT_TRUE(o.help);
}

TEST(SimCli, RejectsWhatItDoesNotKnow) {
    std::string e = ParseError({"--trce"});
    EXPECT_NE(e.find("--trce"), std::string::npos);
    EXPECT_NE(e.find("--trace"), std::string::npos); // the suggestion
    EXPECT_NE(ParseError({"--no-replies", "1"}).find("unknown option"), std::string::npos);
    EXPECT_NE(ParseError({"trace"}).find("unexpected"), std::string::npos);
    EXPECT_NE(ParseError({"--port"}).find("needs a value"), std::string::npos);
    EXPECT_NE(ParseError({"--trace=yes"}).find("takes no value"), std::string::npos);
    EXPECT_FALSE(ParseError({"--port", "65536"}).empty());
    EXPECT_FALSE(ParseError({"--port", "12x"}).empty());
    EXPECT_FALSE(ParseError({"--station", "256"}).empty());
    EXPECT_FALSE(ParseError({"--set", "D100"}).empty());
    EXPECT_FALSE(ParseError({"--set", "100=1"}).empty());
    EXPECT_FALSE(ParseError({"--list", "Z=1"}).empty());
    EXPECT_FALSE(ParseError({"--list", "A=1,"}).empty());
    EXPECT_FALSE(ParseError({"--no-reply", "1.5"}).empty());
    EXPECT_FALSE(ParseError({"--fault", "slow"}).empty());
    EXPECT_FALSE(ParseError({"--fault", "close-after"}).empty());
    EXPECT_FALSE(ParseError({"--fault", "nak:code=0G"}).empty());
    EXPECT_FALSE(ParseError({"--fault", "nak:cout=1"}).empty());
    EXPECT_FALSE(ParseError({"--fault", "split:parts=1"}).empty());
}

TEST(SimCli, HelpExplainsEveryOption) {
    const std::string help = idecsim::HelpText();
    for (const char* name : {"--port", "--bind", "--station", "--plc", "--set", "--list", "--trace",
                             "--lock-presets", "--fault", "--delay", "--no-reply", "--close-after",
                             "--refuse", "--never-answer", "--seed", "--help"}) {
        EXPECT_NE(help.find(std::string("  ") + name), std::string::npos) << name;
        CliOptions o;
        std::string error;
        // Every option in the help is one the parser knows.
        std::vector<const char*> args{name};
        bool takesValue = help.find(std::string("  ") + name + " ") != std::string::npos;
        if (takesValue)
            args.push_back("1");
        Parse(args, &o, &error);
        EXPECT_EQ(error.find("unknown option"), std::string::npos) << name;
    }
}

namespace {

struct CliRun {
    CliOptions options;
    std::ostringstream out;
    std::ostringstream err;
    std::atomic<bool> stop{false};
    std::atomic<uint16_t> port{0};
    int rc = -1;
    plat::Thread thread;
};

unsigned RunCli(void* p) {
    CliRun* run = static_cast<CliRun*>(p);
    run->rc = idecsim::RunSimulator(run->options, run->out, run->err, run->stop,
                                    [run](uint16_t port) { run->port.store(port); });
    return 0;
}

} // namespace

TEST(SimCli, TracesASessionAndStopsOnRequest) {
    CliRun run;
    std::string error;
    ASSERT_TRUE(Parse({"--port", "0", "--set", "D100=0x1234", "--set", "D101=43981", "--trace"},
                      &run.options, &error));
    ASSERT_TRUE(run.thread.Start(RunCli, &run));
    ASSERT_TRUE(testutil::WaitUntil([&run] { return run.port.load() != 0; }, 10000));
    {
        simtest::Client c(run.port.load());
        EXPECT_EQ(c.Ask(std::string("\x05"
                                    "010RA0000006404"
                                    "21"
                                    "\r")),
                  std::string("\x06"
                              "0101234ABCD"
                              "37"
                              "\r"));
        EXPECT_EQ(c.Ask(simtest::Frame("010LA")).substr(4, 24), "00000002"
                                                                "00000064"
                                                                "00000065");
    }
    run.stop.store(true);
    ASSERT_TRUE(run.thread.Join(10000));
    EXPECT_EQ(run.rc, 0);
    // The output stream is only read once the run has ended.
    const std::string out = run.out.str();
    EXPECT_NE(out.find("listening on 127.0.0.1:"), std::string::npos) << out;
    EXPECT_NE(out.find("[1] connected"), std::string::npos) << out;
    EXPECT_NE(out.find("[1] > <ENQ>010RA0000006404 21<CR>"), std::string::npos) << out;
    EXPECT_NE(out.find("[1] < <ACK>0101234ABCD 37<CR>"), std::string::npos) << out;
    EXPECT_NE(out.find("stopped"), std::string::npos) << out;
    EXPECT_TRUE(run.err.str().empty()) << run.err.str();
}

TEST(SimCli, BadSettingsStopTheStart) {
    testutil::TempDir dir;
    for (std::vector<const char*> args :
         std::vector<std::vector<const char*>>{{"--port", "0", "--set", "X100=1"},
                                               {"--port", "0", "--set", "D9000=1"},
                                               {"--port", "0", "--bind", "localhost"}}) {
        CliOptions o;
        std::string error;
        ASSERT_TRUE(Parse(args, &o, &error)) << error;
        std::ostringstream out;
        std::ostringstream err;
        std::atomic<bool> stop{true};
        EXPECT_EQ(idecsim::RunSimulator(o, out, err, stop), 1);
        EXPECT_FALSE(err.str().empty());
    }
    CliOptions o;
    o.port = 0;
    o.plcFile = testutil::Narrow(dir.Join("none.plc").c_str());
    std::ostringstream out;
    std::ostringstream err;
    std::atomic<bool> stop{true};
    EXPECT_EQ(idecsim::RunSimulator(o, out, err, stop), 1);
    EXPECT_NE(err.str().find("none.plc"), std::string::npos);
}

namespace {

std::atomic<int> gStops{0};
void CountStop() {
    ++gStops;
}

} // namespace

TEST(SimCli, StopRequestsReachTheHandler) {
    const int before = gStops.load();
    ASSERT_TRUE(plat::InstallStopHandler(CountStop));
    ASSERT_TRUE(plat::RaiseStopRequest());
    EXPECT_TRUE(testutil::WaitUntil([before] { return gStops.load() == before + 1; }, 2000));
    EXPECT_TRUE(plat::InstallStopHandler(nullptr));
}
