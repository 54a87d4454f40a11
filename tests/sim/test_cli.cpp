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

namespace {

bool Parse(const std::string& line, CliOptions* o, std::string* error) {
    const simtest::Args a(line);
    return idecsim::ParseCommandLine(a.argc(), a.argv.data(), o, error);
}

} // namespace

TEST(SimCli, ReadsValuesListsAndFaults) {
    CliOptions o;
    std::string error;
    ASSERT_TRUE(Parse("--port 2102 --station 1 --plc config/idec.plc --set D100=1234 --set "
                      "TP3=0x10 --trace --list=A=100,32 --delay 250 --fault "
                      "split:parts=3,ms=10,conn=2,cmd=R,letter=A --fault=nak:code=0A "
                      "--no-reply 0.25 --close-after 0 --refuse",
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
    // Faults apply in the order given.
    EXPECT_EQ(o.faults[0].ms, 250);
    const idecsim::FaultRule& split = o.faults[1];
    EXPECT_TRUE(split.kind == FaultKind::kSplit && split.parts == 3 && split.ms == 10 &&
                split.connection == 2 && split.command == 'R' && split.letter == 'A');
    EXPECT_EQ(o.faults[2].code, 0x0A);
    EXPECT_DOUBLE_EQ(o.faults[3].probability, 0.25);
    EXPECT_EQ(o.closeAfter, 0);
    EXPECT_TRUE(o.trace && o.refuse && !o.neverAnswer && !o.help);
    ASSERT_TRUE(Parse("-h", &o, &error));
    EXPECT_TRUE(o.help);
}

TEST(SimCli, RejectsWhatItDoesNotKnow) {
    const struct {
        const char* line;
        const char* says; // part of the message
    } rows[] = {
        {"--trce", "--trce"},
        {"--trce", "--trace"}, // the suggestion
        {"--no-replies 1", "unknown option"},
        {"trace", "unexpected"},
        {"--port", "--port"}, // no value
        {"--trace=yes", "takes no value"},
        {"--plc= --trace", "--plc"}, // an empty value does not take the next word
        {"--port 65536", ""},
        {"--port 12x", ""},
        {"--station 256", ""},
        {"--set D100", ""},
        {"--set 100=1", ""},
        {"--list Z=1", ""},
        {"--list A=1,", ""},
        {"--no-reply 1.5", ""},
        {"--fault slow", ""},
        {"--fault close-after", ""},
        {"--fault nak:code=0G", ""},
        {"--fault nak:cout=1", ""},
        {"--fault split:parts=1", ""},
        {"--animate D100=ramp:0:1000", "ramp takes FROM:TO:PERIOD"},
    };
    for (const auto& r : rows) {
        CliOptions o;
        std::string error;
        EXPECT_FALSE(Parse(r.line, &o, &error)) << r.line;
        EXPECT_FALSE(error.empty()) << r.line;
        EXPECT_NE(error.find(r.says), std::string::npos) << r.line << ": " << error;
    }
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
        const bool takesValue = help.find(std::string("  ") + name + " ") != std::string::npos;
        Parse(std::string(name) + (takesValue ? " 1" : ""), &o, &error);
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
    ASSERT_TRUE(Parse("--port 0 --set D100=0x1234 --set D101=43981 --trace", &run.options, &error));
    ASSERT_TRUE(run.thread.Start(RunCli, &run));
    ASSERT_TRUE(testutil::WaitUntil([&run] { return run.port.load() != 0; }, 10000));
    {
        simtest::Client c(run.port.load());
        EXPECT_EQ(c.Ask(simtest::Frame("010RA0000006404")), simtest::Reply("+1234ABCD"));
        EXPECT_EQ(c.Ask(simtest::Frame("010LA")), simtest::Reply("+000000020000006400000065"));
    }
    run.stop.store(true);
    ASSERT_TRUE(run.thread.Join(10000));
    EXPECT_EQ(run.rc, 0);
    // The output stream is only read once the run has ended.
    const std::string out = run.out.str();
    for (const char* line :
         {"listening on 127.0.0.1:", "[1] connected", "[1] > <ENQ>010RA0000006404 21<CR>",
          "[1] < <ACK>0101234ABCD 37<CR>", "stopped"})
        EXPECT_NE(out.find(line), std::string::npos) << line << " in " << out;
    EXPECT_TRUE(run.err.str().empty()) << run.err.str();
}

TEST(SimCli, BadSettingsStopTheStart) {
    testutil::TempDir dir;
    for (const char* line : {"--set X100=1", "--set D9000=1", "--bind localhost", ""}) {
        CliOptions o;
        std::string error;
        ASSERT_TRUE(Parse(std::string("--port 0 ") + line, &o, &error)) << error;
        if (!*line)
            o.plcFile = testutil::Narrow(dir.Join("none.plc").c_str());
        std::ostringstream out, err;
        std::atomic<bool> stop{true};
        EXPECT_EQ(idecsim::RunSimulator(o, out, err, stop), 1) << line;
        EXPECT_NE(err.str().find(*line ? "" : "none.plc"), std::string::npos) << line;
        EXPECT_FALSE(err.str().empty()) << line;
    }
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
