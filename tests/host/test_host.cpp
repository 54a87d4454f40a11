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
    const std::vector<std::vector<const char*>> bad = {
        {"--bogus"},
        {"-x"},
        {"--help=yes"},
        {"--module"},
        {"--module="},
        {"--port", "70000"},
        {"--port", "-1"},
        {"--port", "21x"},
        {"--word-order", "one"},
        {"resolve"},
        {"resolve", "D", "--port", "1"},
        {"fetch", "D"},
        {"read", "D"},
        {"register", "D"},
        {"write", "D", "D100", "u16"},
        {"write", "D", "D100", "u17", "1"},
        {"write", "D", "D100", "u8", "256"},
        {"write", "D", "D100", "u16", "-1"},
        {"write", "D", "D100", "i8", "-129"},
        {"write", "D", "D100", "i16", "0x8000"},
        {"write", "D", "D100", "f32", "1.5x"},
        {"write", "D", "D100", "bool", "yes"},
        {"wait", "-1"},
        {"wait", "3600001"},
        {"repeat", "0", "10", "wait", "1"},
        {"repeat", "2", "10"},
        {"repeat", "2", "10", "end"},
        {"end"},
    };
    for (const auto& args : bad) {
        Options o;
        std::string error;
        std::string line;
        for (const char* a : args)
            line += std::string(a) + " ";
        EXPECT_FALSE(Parse(args, &o, &error)) << line;
        EXPECT_FALSE(error.empty()) << line;
    }
}

TEST(HostCommandLine, OptionsAndActionsInOrder) {
    Options o;
    std::string error;
    ASSERT_TRUE(Parse({"--module=/x/m.so",
                       "--port",
                       "2101",
                       "--word-order",
                       "-3",
                       "resolve",
                       ".P1.D",
                       "read",
                       "D",
                       "D100",
                       "u16",
                       "read",
                       "D",
                       "D101",
                       "list",
                       "wait",
                       "5",
                       "list",
                       "D",
                       "write",
                       "D",
                       "D5",
                       "i8",
                       "-128",
                       "repeat",
                       "3",
                       "20",
                       "read",
                       "D",
                       "Status",
                       "repeat",
                       "2",
                       "0",
                       "list",
                       "end",
                       "end",
                       "write",
                       "D",
                       "D6",
                       "text",
                       ""},
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
    EXPECT_TRUE(Parse({"write", "D", "D1", "u64",  "18446744073709551615",
                       "write", "D", "D1", "i64",  "-9223372036854775808",
                       "write", "D", "D1", "u16",  "0xFFFF",
                       "write", "D", "D1", "bool", "true"},
                      &o, &error))
        << error;
    EXPECT_FALSE(Parse({"write", "D", "D1", "u64", "18446744073709551616"}, &o, &error));

    int32_t type = -1;
    EXPECT_TRUE(nimbrohost::ParseTypeName("TypeF64", &type));
    EXPECT_EQ(type, TypeF64);
    EXPECT_TRUE(nimbrohost::ParseTypeName("TEXT", &type));
    EXPECT_EQ(type, TypeText);
    EXPECT_TRUE(nimbrohost::ParseTypeName("0", &type));
    EXPECT_EQ(type, TypeDefault);
    EXPECT_FALSE(nimbrohost::ParseTypeName("13", &type));
    EXPECT_FALSE(nimbrohost::ParseTypeName("u128", &type));
}

// No settings at all: the driver starts with nothing to resolve.
TEST(HostRun, WithoutConfiguration) {
    ModuleFolder folder;
    ASSERT_TRUE(folder.Ok()) << NIMBRO_TEST_MODULE;
    Options o;
    std::string error;
    ASSERT_TRUE(Parse(
        {"resolve", "D", "read", "D", "D100", "repeat", "2", "1", "read", "D", "Status", "end"}, &o,
        &error));
    o.module = folder.Path();
    std::ostringstream out, err;
    EXPECT_EQ(nimbrohost::Run(o, out, err), nimbrohost::kExitOk) << err.str();
    const std::string text = out.str();
    EXPECT_NE(text.find("NimbroInterface(hostPort 0, wordOrder 0) -> S_OK (0x00000000)\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("ResolveDevice(\"D\") -> null (not found)\n"), std::string::npos);
    // Nothing is called with a null handle, and every use asks again.
    EXPECT_EQ(Occurrences(text, "ResolveDevice(\"D\")"), 4u) << text;
    EXPECT_EQ(Occurrences(text, "not called: no device \"D\""), 3u) << text;
    EXPECT_NE(text.find("Release() -> 0\nmodule freed\n"), std::string::npos) << text;
    // The driver looked for its settings beside the copy that was loaded.
    EXPECT_TRUE(plat::PathExists(folder.Dir().Join("Nimbro.ini").c_str()));
}

// A device that resolves is resolved once; its handle serves later actions.
TEST(HostRun, ResolvedHandleIsKept) {
    ModuleFolder folder;
    ASSERT_TRUE(folder.Ok());
    folder.Dir().Write("NimbroDrvIDec.cfg", "[Link0]\r\n[Link0.Plc0]\r\nName=P1\r\n"
                                            "[Link0.Plc0.Dev0]\r\nDeviceName=D\r\n");
    Options o;
    std::string error;
    ASSERT_TRUE(Parse({"--word-order", "1", "read", "D", "D100", "u16", "resolve", ".P1.d", "write",
                       "D", "D100", "u16", "5", "list", "D"},
                      &o, &error));
    o.module = folder.Path();
    std::ostringstream out, err;
    EXPECT_EQ(nimbrohost::Run(o, out, err), nimbrohost::kExitOk) << err.str();
    const std::string text = out.str();
    EXPECT_NE(text.find("wordOrder 1"), std::string::npos) << text;
    EXPECT_EQ(Occurrences(text, "ResolveDevice(\"D\") -> device "), 1u) << text;
    EXPECT_EQ(Occurrences(text, "ResolveDevice(\".P1.d\") -> device "), 1u) << text;
    // Whatever the services answer, each call is printed with a named result.
    EXPECT_NE(text.find("ReadItem(\"D\", \"D100\", TypeU16) -> Result"), std::string::npos);
    EXPECT_NE(text.find("WriteItem(\"D\", \"D100\", TypeU16, 5) -> Result"), std::string::npos);
    EXPECT_NE(text.find("ListItems(\"D\") -> "), std::string::npos);
    EXPECT_EQ(text.find("not called"), std::string::npos) << text;
}

TEST(HostRun, ModuleThatCannotBeUsed) {
    testutil::TempDir dir;
    std::ostringstream out, err;
    Options o;
    o.module = Narrow(dir.Join("missing.module").c_str());
    EXPECT_EQ(nimbrohost::Run(o, out, err), nimbrohost::kExitHostFailed);
    EXPECT_NE(err.str().find("cannot load the module"), std::string::npos);
    EXPECT_EQ(out.str().find("NimbroInterface"), std::string::npos);

    // A file that is no module at all.
    o.module = Narrow(dir.Write("fake.module", "not a module\n").c_str());
    std::ostringstream out2, err2;
    EXPECT_EQ(nimbrohost::Run(o, out2, err2), nimbrohost::kExitHostFailed);
    EXPECT_FALSE(err2.str().empty());
}

// A stop request skips what is left, but the driver is still released.
TEST(HostRun, StopSkipsActionsAndReleases) {
    ModuleFolder folder;
    ASSERT_TRUE(folder.Ok());
    Options o;
    std::string error;
    ASSERT_TRUE(Parse({"wait", "600000", "resolve", "D"}, &o, &error));
    o.module = folder.Path();
    std::atomic<bool> stop{true};
    std::ostringstream out, err;
    EXPECT_EQ(nimbrohost::Run(o, out, err, &stop), nimbrohost::kExitOk);
    const std::string text = out.str();
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

} // namespace
