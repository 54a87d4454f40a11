// nimbro-host: its command line, and runs against copies of the built module,
// in-process and as its own program.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "HostCli.h"
#include "NimbroDriver.h"
#include "platform/file.h"
#include "testutil/testutil.h"
#include "host_helpers.h"
#include "module_folder.h"
#if NIMBRO_TEST_HAVE_SIM
#include "IdecSim.h"
#endif

namespace {

using hosttest::Occurrences;
using hosttest::Parse;
using nimbrohost::Action;
using nimbrohost::ActionKind;
using nimbrohost::Options;
using testutil::Narrow;
using testutil::W;
using testutil::WString;

TEST(HostCommandLine, RejectsBadArguments) {
    for (const std::string& line : hosttest::Split(
             "--bogus; -x; --help=yes; --port 1 --help=no; --module; --module=; --module= list;"
             "--port 1 --port 70000; --port 70000; --port -1; --port 21x;"
             "--word-order one; resolve; resolve D --port 1; fetch D; read D; register D;"
             "write D D100 u16; write D D100 u17 1; write D D100 u8 256; write D D100 u16 -1;"
             "write D D100 i8 -129; write D D100 i16 0x8000; write D D100 f32 1.5x;"
             "write D D100 bool yes; wait -1; wait 3600001; repeat 0 10 wait 1; repeat 2 10;"
             "repeat 2 10 end; end; write D D1 u64 18446744073709551616")) {
        Options o;
        std::string error;
        EXPECT_FALSE(Parse(line, &o, &error)) << line;
        EXPECT_FALSE(error.empty()) << line;
    }
}

TEST(HostCommandLine, OptionsAndActionsInOrder) {
    Options o;
    std::string error;
    ASSERT_TRUE(Parse("--module=/x/m.so --port 2101 --word-order -3 resolve .P1.D read D D100 u16 "
                      "read D D101 list wait 5 list D write D D5 i8 -128 repeat 3 20 read D Status "
                      "repeat 2 0 list end end write D D6 text ''",
                      &o, &error))
        << error;
    EXPECT_EQ(o.module, "/x/m.so");
    EXPECT_EQ(o.port, 2101u);
    EXPECT_EQ(o.wordOrder, -3);
    ASSERT_EQ(o.actions.size(), 9u);
    EXPECT_EQ(o.actions[0].kind, ActionKind::kResolve);
    EXPECT_EQ(o.actions[0].device, ".P1.D");
    EXPECT_TRUE(o.actions[1].hasType);
    EXPECT_EQ(o.actions[1].type, TypeU16);
    // A missing TYPE leaves the next action alone.
    EXPECT_FALSE(o.actions[2].hasType);
    EXPECT_EQ(o.actions[2].item, "D101");
    // "list" before an action word lists the device types.
    EXPECT_EQ(o.actions[3].kind, ActionKind::kList);
    EXPECT_EQ(o.actions[3].device, "");
    EXPECT_EQ(o.actions[4].ms, 5u);
    EXPECT_EQ(o.actions[5].device, "D");
    EXPECT_EQ(o.actions[6].value, "-128");
    const Action& rep = o.actions[7];
    ASSERT_EQ(rep.kind, ActionKind::kRepeat);
    EXPECT_EQ(rep.count, 3u);
    EXPECT_EQ(rep.ms, 20u);
    ASSERT_EQ(rep.body.size(), 2u);
    ASSERT_EQ(rep.body[1].kind, ActionKind::kRepeat);
    EXPECT_EQ(rep.body[1].body.size(), 1u);
    EXPECT_EQ(o.actions[8].type, TypeText);
    EXPECT_EQ(o.actions[8].value, "");
}

TEST(HostCommandLine, ValueLimitsAndTypeNames) {
    Options o;
    std::string error;
    EXPECT_TRUE(Parse("write D D1 u64 18446744073709551615 write D D1 i64 -9223372036854775808 "
                      "write D D1 u16 0xFFFF write D D1 bool true",
                      &o, &error))
        << error;

    const struct {
        const char* name;
        int32_t type; // -1: no type
    } names[] = {
        {"TypeF64", TypeF64}, {"TEXT", TypeText}, {"0", TypeDefault}, {"13", -1}, {"u128", -1}};
    for (const auto& n : names) {
        int32_t type = -1;
        EXPECT_EQ(nimbrohost::ParseTypeName(n.name, &type), n.type != -1) << n.name;
        if (n.type != -1) {
            EXPECT_EQ(type, n.type) << n.name;
        }
    }
}

// nimbro-host's run of line against the module in folder; its output in *text.
int RunHost(const ModuleFolder& folder, const std::string& line, std::string* text,
            std::atomic<bool>* stop = nullptr) {
    Options o;
    std::string error;
    EXPECT_TRUE(Parse(line, &o, &error)) << error;
    o.module = folder.Path();
    std::ostringstream out, err;
    const int rc = nimbrohost::Run(o, out, err, stop);
    *text = out.str() + err.str();
    return rc;
}

// No settings at all: the driver starts with nothing to resolve. Nothing is
// called with a null handle, and every use asks again.
TEST(HostRun, WithoutConfiguration) {
    ModuleFolder folder;
    ASSERT_TRUE(folder.Ok()) << NIMBRO_TEST_MODULE;
    std::string text;
    EXPECT_EQ(RunHost(folder, "resolve D read D D100 repeat 2 1 read D Status end", &text),
              nimbrohost::kExitOk);
    EXPECT_EQ(
        hosttest::Lacks(text, {"NimbroInterface(hostPort 0, wordOrder 0) -> S_OK (0x00000000)\n",
                               "ResolveDevice(\"D\") -> null (not found)\n",
                               "Release() -> 0\nmodule freed\n"}),
        "")
        << text;
    EXPECT_EQ(Occurrences(text, "ResolveDevice(\"D\")"), 4u) << text;
    EXPECT_EQ(Occurrences(text, "not called: no device \"D\""), 3u) << text;
    // The driver looked for its settings beside the copy that was loaded.
    EXPECT_TRUE(plat::PathExists(folder.Dir().Join("Nimbro.ini").c_str()));
}

// A device that resolves is resolved once; its handle serves later actions.
// Whatever the services answer, each call is printed with a named result.
TEST(HostRun, ResolvedHandleIsKept) {
    ModuleFolder folder;
    ASSERT_TRUE(folder.Ok());
    folder.Dir().Write("NimbroDrvIDec.cfg", "[Link0]\r\n[Link0.Plc0]\r\nName=P1\r\n"
                                            "[Link0.Plc0.Dev0]\r\nDeviceName=D\r\n");
    std::string text;
    EXPECT_EQ(RunHost(folder,
                      "--word-order 1 read D D100 u16 resolve .P1.d write D D100 u16 5 list D",
                      &text),
              nimbrohost::kExitOk);
    EXPECT_EQ(hosttest::Lacks(text, {"wordOrder 1", "ReadItem(\"D\", \"D100\", TypeU16) -> Result",
                                     "WriteItem(\"D\", \"D100\", TypeU16, 5) -> Result",
                                     "ListItems(\"D\") -> "}),
              "")
        << text;
    EXPECT_EQ(Occurrences(text, "ResolveDevice(\"D\") -> device "), 1u) << text;
    EXPECT_EQ(Occurrences(text, "ResolveDevice(\".P1.d\") -> device "), 1u) << text;
    EXPECT_EQ(text.find("not called"), std::string::npos) << text;
}

TEST(HostRun, ModuleThatCannotBeUsed) {
    testutil::TempDir dir;
    for (const WString& module :
         {dir.Join("missing.module"), dir.Write("fake.module", "not a module\n")}) {
        std::ostringstream out, err;
        Options o;
        o.module = Narrow(module.c_str());
        EXPECT_EQ(nimbrohost::Run(o, out, err), nimbrohost::kExitHostFailed);
        EXPECT_NE(err.str().find("cannot load the module"), std::string::npos) << err.str();
        EXPECT_EQ(out.str().find("NimbroInterface"), std::string::npos);
    }
}

// A stop request skips what is left, but the driver is still released.
TEST(HostRun, StopSkipsActionsAndReleases) {
    ModuleFolder folder;
    ASSERT_TRUE(folder.Ok());
    std::atomic<bool> stop{true};
    std::string text;
    EXPECT_EQ(RunHost(folder, "wait 600000 resolve D", &text, &stop), nimbrohost::kExitOk);
    EXPECT_EQ(text.find("ResolveDevice"), std::string::npos) << text;
    EXPECT_NE(text.find("stopped: remaining actions skipped\nRelease() -> 0\n"), std::string::npos)
        << text;
}

// The program itself, through the command processor: exit codes and streams.
class HostProgram : public ::testing::Test {
protected:
    // Exit status as std::system reports it: 0 only for a clean exit 0.
    int RunProgram(const std::string& args) {
        std::string exe = NIMBRO_TEST_HOST_EXE;
        for (char& c : exe)
            if (c == '/' || c == '\\')
                c = static_cast<char>(plat::kPathSep);
        const std::string cmd = "\"" + exe + "\" " + args + " >" + Narrow(outPath_.c_str()) +
                                " 2>" + Narrow(errPath_.c_str());
        int status = std::system(cmd.c_str());
        out_ = testutil::ReadFile(outPath_);
        err_ = testutil::ReadFile(errPath_);
        return status;
    }

    testutil::TempDir dir_;
    WString outPath_ = dir_.Join("out.txt");
    WString errPath_ = dir_.Join("err.txt");
    std::string out_, err_;
};

TEST_F(HostProgram, HelpAndBadOption) {
    EXPECT_EQ(RunProgram("--help"), 0);
    EXPECT_EQ(out_.find("Usage: nimbro-host"), 0u) << out_;
    EXPECT_TRUE(err_.empty()) << err_;

    EXPECT_NE(RunProgram("--verbose resolve D"), 0);
    EXPECT_NE(err_.find("unknown option '--verbose'"), std::string::npos) << err_;
    EXPECT_TRUE(out_.empty()) << out_;
}

// Output into a file: the program asks the platform and gets plain lines.
TEST_F(HostProgram, WatchIntoAFileHasNoCursorMovement) {
    ModuleFolder folder;
    ASSERT_TRUE(folder.Ok());
    folder.Dir().Write("NimbroDrvIDec.cfg", "[Link0]\r\n[Link0.Plc0]\r\nName=P1\r\n"
                                            "[Link0.Plc0.Dev0]\r\nDeviceName=D\r\n");
    EXPECT_EQ(RunProgram("--module " + folder.Path() + " watch D D100 --interval 10 --count 2"), 0)
        << err_;
    EXPECT_NE(out_.find("watch \"D\": refresh 2 of 2"), std::string::npos) << out_;
    EXPECT_EQ(out_.find('\x1b'), std::string::npos) << out_;
    EXPECT_NE(out_.find("Release() -> 0"), std::string::npos) << out_;
}

TEST_F(HostProgram, AgainstTheModule) {
    ModuleFolder folder;
    ASSERT_TRUE(folder.Ok());
    EXPECT_EQ(RunProgram("--module " + folder.Path() + " --port 2101 resolve D"), 0) << err_;
    EXPECT_NE(out_.find("NimbroInterface(hostPort 2101, wordOrder 0) -> S_OK"), std::string::npos)
        << out_;
    EXPECT_NE(out_.find("ResolveDevice(\"D\") -> null (not found)"), std::string::npos) << out_;
    EXPECT_NE(out_.find("module freed"), std::string::npos) << out_;

    EXPECT_NE(RunProgram("--module " + Narrow(dir_.Join("none").c_str()) + " resolve D"), 0);
    EXPECT_NE(err_.find("cannot load the module"), std::string::npos) << err_;
}

#if NIMBRO_TEST_HAVE_SIM
// Commissioning without a configuration: the program stages one for the
// simulator's port and station, reads its value and leaves no folder behind.
TEST_F(HostProgram, ConnectReadsTheSimulatorAndRemovesItsFolder) {
    idecsim::Simulator sim;
    sim.SetStation(7);
    ASSERT_TRUE(sim.SetValue("D", 100, 4321));
    ASSERT_TRUE(sim.SetValue("M", 17, 1));
    const uint16_t port = sim.Start(0);
    ASSERT_NE(port, 0);
    // The first read brings an item into use; later rounds see its value.
    EXPECT_EQ(RunProgram("--connect 127.0.0.1:" + std::to_string(port) +
                         " --station 7 repeat 40 150 read D D100 u16 read M M17 bool end"),
              0)
        << err_;
    EXPECT_NE(out_.find("ReadItem(\"D\", \"D100\", TypeU16) -> ResultOk (0): 4321"),
              std::string::npos)
        << out_;
    EXPECT_NE(out_.find("ReadItem(\"M\", \"M17\", TypeBool) -> ResultOk (0): 1 ["),
              std::string::npos)
        << out_;
    const size_t at = out_.find("staged ");
    ASSERT_NE(at, std::string::npos) << out_;
    const std::string folder = out_.substr(at + 7, out_.find(" for ", at) - at - 7);
    // Through a file, Windows ends lines with CR LF.
    const size_t removed = out_.find("removed " + folder);
    ASSERT_NE(removed, std::string::npos) << out_;
    EXPECT_NE(std::string("\r\n").find(out_[removed + 8 + folder.size()]), std::string::npos)
        << out_;
    EXPECT_FALSE(plat::PathExists(W(folder).c_str())) << folder;
    EXPECT_GT(sim.FrameLog().size(), 0u);
}
#endif

} // namespace
