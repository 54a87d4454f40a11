// The idec-sim command line: options, help, a traced session and stopping.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <sstream>
#include <thread>

#include "CommandLine.h"
#include "platform/serial.h"
#include "platform/signals.h"
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
                      "--no-reply 0.25 --close-after 0 --refuse --reply-delay 5",
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
    EXPECT_EQ(o.replyDelay, 5u);
    EXPECT_TRUE(o.trace && o.refuse && !o.neverAnswer && !o.help);
    ASSERT_TRUE(Parse("-h", &o, &error));
    EXPECT_TRUE(o.help);
}

TEST(SimCli, ReadsSerialLines) {
    const struct {
        const char* line;
        const char* serial;
        uint32_t baud;
        int dataBits;
        char parity;
        int stopBits;
    } rows[] = {
        {"--pty", "", 9600, 7, 'E', 1},
        {"--serial /dev/ttyUSB0", "/dev/ttyUSB0", 9600, 7, 'E', 1},
        {"--serial=COM3 --baud 1200 --data-bits 8 --parity N --stop-bits 2", "COM3", 1200, 8, 'N',
         2},
        {"--pty --baud=230400 --parity o --never-answer", "", 230400, 7, 'O', 1},
        {"--pty --baud 300 --data-bits 7 --parity E", "", 300, 7, 'E', 1},
    };
    for (const auto& r : rows) {
        CliOptions o;
        std::string error;
        ASSERT_TRUE(Parse(r.line, &o, &error)) << r.line << ": " << error;
        EXPECT_EQ(o.serial, r.serial) << r.line;
        EXPECT_EQ(o.pty, !*r.serial) << r.line;
        EXPECT_EQ(o.line.baud, r.baud) << r.line;
        EXPECT_EQ(o.line.dataBits, r.dataBits) << r.line;
        EXPECT_EQ(o.line.parity, r.parity) << r.line;
        EXPECT_EQ(o.line.stopBits, r.stopBits) << r.line;
    }
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
        {"--reply-delay 3600001", "--reply-delay"},
        {"--fault slow", ""},
        {"--fault close-after", ""},
        {"--fault nak:code=0G", ""},
        {"--fault nak:cout=1", ""},
        {"--fault split:parts=1", ""},
        {"--animate D100=ramp:0:1000", "ramp takes FROM:TO:PERIOD"},
        {"--pty --baud 1234", "300 to 230400"},
        {"--pty --baud 0", "--baud"},
        {"--pty --data-bits 6", "7 or 8"},
        {"--pty --parity M", "E, O or N"},
        {"--pty --parity EE", "--parity"},
        {"--pty --stop-bits 3", "1 or 2"},
        {"--serial", "--serial"},
        {"--serial /dev/ttyS0 --pty", "exclude"},
        {"--pty --port 2101", "--port is for TCP"},
        {"--serial /dev/ttyS0 --bind 0.0.0.0", "--bind is for TCP"},
        {"--pty --refuse", "--refuse"},
        {"--close-after 1 --pty", "--close-after"},
        {"--baud 9600", "needs --serial or --pty"},
        {"--port 2101 --stop-bits 2", "needs --serial or --pty"},
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
    for (const char* name :
         {"--port",   "--bind",         "--serial",  "--pty",         "--baud",     "--data-bits",
          "--parity", "--stop-bits",    "--station", "--plc",         "--set",      "--list",
          "--trace",  "--lock-presets", "--fault",   "--delay",       "--no-reply", "--close-after",
          "--refuse", "--never-answer", "--seed",    "--reply-delay", "--animate",  "--help"}) {
        EXPECT_NE(help.find(std::string("  ") + name), std::string::npos) << name;
        CliOptions o;
        std::string error;
        // Every option in the help is one the parser knows.
        const bool takesValue = help.find(std::string("  ") + name + " ") != std::string::npos;
        Parse(std::string(name) + (takesValue ? " 1" : ""), &o, &error);
        EXPECT_EQ(error.find("unknown option"), std::string::npos) << name;
    }
    EXPECT_NE(help.find("--animate DEVADDR=KIND:ARGS"), std::string::npos);
}

namespace {

// Runs a command line until it serves, lets `talk` use it (given the TCP port
// or the serial port's name), stops it and returns what it wrote; the run has
// to end cleanly and quietly.
std::string Session(const std::string& line,
                    const std::function<void(uint16_t, const std::string&)>& talk) {
    CliOptions o;
    std::string error, tty;
    EXPECT_TRUE(Parse(line, &o, &error)) << error;
    std::ostringstream out, err;
    std::atomic<bool> stop{false}, serving{false};
    std::atomic<uint16_t> port{0};
    int rc = -1;
    std::thread run([&] {
        rc = idecsim::RunSimulator(
            o, out, err, stop,
            [&](uint16_t p) {
                port = p;
                serving = true;
            },
            [&](const std::string& name) {
                tty = name; // before serving turns true
                serving = true;
            });
    });
    if (testutil::WaitUntil([&] { return serving.load(); }, 10000))
        talk(port, tty);
    else
        ADD_FAILURE() << "not serving: " << line;
    stop = true;
    run.join();
    EXPECT_EQ(rc, 0);
    EXPECT_TRUE(err.str().empty()) << err.str();
    return out.str();
}

} // namespace

TEST(SimCli, TracesASessionAndStopsOnRequest) {
    const std::string out =
        Session("--port 0 --set D100=0x1234 --set D101=43981 --trace", [](uint16_t port,
                                                                          const std::string&) {
            simtest::Client c(port);
            EXPECT_EQ(c.Ask(simtest::Frame("010RA0000006404")), simtest::Reply("+1234ABCD"));
            EXPECT_EQ(c.Ask(simtest::Frame("010LA")), simtest::Reply("+000000020000006400000065"));
        });
    for (const char* line :
         {"listening on 127.0.0.1:", "[1] connected", "[1] > <ENQ>010RA0000006404 21<CR>",
          "[1] < <ACK>0101234ABCD 37<CR>", "stopped"})
        EXPECT_NE(out.find(line), std::string::npos) << line << " in " << out;
}

TEST(SimCli, ServesAPtyAndNamesItsPortOnALineOfItsOwn) {
    char probe[128];
    const plat::SerialHandle h = plat::SerialOpenPty(probe, sizeof probe);
    if (h == plat::kInvalidSerial)
        GTEST_SKIP() << "no pseudo-terminals here";
    plat::SerialClose(h);
    std::string tty;
    const std::string out =
        Session("--pty --station 3 --baud 19200 --set D100=0x1234 --set D101=43981 --trace",
                [&tty](uint16_t, const std::string& name) {
                    tty = name;
                    simtest::SerialClient port(tty, plat::SerialSettings{19200, 7, 'E', 1});
                    ASSERT_TRUE(port.Open()) << tty;
                    const std::string got = port.Ask(simtest::Frame("030RA0000006404"));
                    EXPECT_EQ(idecsim::Printable(got), "<ACK>0301234ABCD 35<CR>");
                });
    EXPECT_EQ(out.compare(0, 6 + tty.size(), "pty: " + tty + "\n"), 0) << out;
    for (const char* line : {"station 03 on /", "at 19200 7E1", "[1] connected",
                             "[1] < <ACK>0301234ABCD 35<CR>", "[1] closed", "stopped"})
        EXPECT_NE(out.find(line), std::string::npos) << line << " in " << out;
}

// Settings that parse but cannot be carried out: status 1, or 2 for an
// --animate that the controller cannot follow (as for a typo); a good one runs.
TEST(SimCli, BadSettingsStopTheStart) {
    testutil::TempDir dir;
    const struct {
        const char* line;
        int rc;
        const char* says;
    } rows[] = {{"--set X100=1", 1, ""},
                {"--set D9000=1", 1, ""},
                {"--bind localhost", 1, ""},
                {"", 1, "none.plc"}, // a definition file that is not there
                {"--serial /nonexistent/tty", 1, ""},
                {"--animate D9000=counter:1:1s", 2, "--animate D9000=counter:1:1s: "},
                {"--animate D100=counter:1:20ms", 0, ""}};
    for (const auto& r : rows) {
        CliOptions o;
        std::string error;
        const bool tcp = std::string(r.line).find("--serial") == std::string::npos;
        ASSERT_TRUE(Parse(std::string(tcp ? "--port 0 " : "") + r.line, &o, &error)) << error;
        if (!*r.line)
            o.plcFile = testutil::Narrow(dir.Join("none.plc").c_str());
        std::ostringstream out, err;
        std::atomic<bool> stop{true};
        EXPECT_EQ(idecsim::RunSimulator(o, out, err, stop), r.rc) << r.line;
        EXPECT_NE(err.str().find(r.says), std::string::npos) << r.line;
        EXPECT_EQ(err.str().empty(), r.rc == 0) << r.line << ": " << err.str();
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
