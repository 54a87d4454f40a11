// nimbro-host: its command line, its watch table, and runs against copies of
// the built module, in-process (one watching the simulator) and as its own
// program.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sstream>
#include <streambuf>
#include <string>
#include <vector>

#include "HostCli.h"
#include "HostValues.h"
#include "NimbroDriver.h"
#include "WatchTable.h"
#include "platform/file.h"
#include "platform/module.h"
#include "platform/sync.h"
#include "host_args.h"
#include "testutil/testutil.h"
#if NIMBRO_TEST_HAVE_SIM
#include "IdecSim.h"
#endif

namespace {

using nimbrohost::Action;
using nimbrohost::Options;
using testutil::Narrow;
using testutil::WString;

using hosttest::Parse;
using hosttest::Split;

size_t Occurrences(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// The first of the '|'-separated checks that text fails, empty when none: a
// part must occur; "!part" must not, "^part" must begin the text, "N*part"
// must occur N times, "=" alone: the text is empty.
std::string Fails(const std::string& text, const std::string& checks) {
    for (const std::string& c : Split(checks, '|')) {
        const size_t star = c.find('*');
        const bool counted =
            star != std::string::npos && star > 0 && c.find_first_not_of("0123456789") == star;
        const bool ok = c == "=" ? text.empty()
                        : counted
                            ? Occurrences(text, c.substr(star + 1)) == std::stoul(c.substr(0, star))
                        : c[0] == '!' ? text.find(c.substr(1)) == std::string::npos
                        : c[0] == '^' ? text.compare(0, c.size() - 1, c.substr(1)) == 0
                                      : text.find(c) != std::string::npos;
        if (!ok)
            return c;
    }
    return std::string();
}

// A copy of the built module in a folder of its own: the driver looks for
// its settings beside itself and creates missing ones there.
class ModuleFolder {
public:
    ModuleFolder() {
        const WString built = testutil::W(NIMBRO_TEST_MODULE);
        path_ = dir_.Join("NimbroDrvIDec") + built.substr(built.rfind(W16('.')));
        const std::string data = testutil::ReadFile(built);
        ok_ = !data.empty() && plat::FileWriteAll(path_.c_str(), data.data(), data.size());
    }
    bool Ok() const { return ok_; }
    std::string Path() const { return Narrow(path_.c_str()); }
    const testutil::TempDir& Dir() const { return dir_; }

    // The POSIX socket layer keeps a table for the life of the process inside
    // the module; once the module is unloaded, LeakSanitizer no longer sees
    // the pointer to it and reports it. One more reference, never given
    // back, keeps the module mapped as in a host that loads it once.
    void KeepLoaded() const {
        if (testutil::PosixBackend())
            plat::ModuleLoad(path_.c_str());
    }

    // One link to endpoint (may be empty) with a PLC whose device D is block D.
    void Configure(const std::string& endpoint) {
        dir_.Write("Nimbro.ini", "[NimbroDrvIDec]\r\nSettingFile=NimbroDrvIDec.cfg\r\n");
        dir_.Write("idec.plc",
                   "CpuName: TEST\r\nIndex: D\r\nD: D,Word,Dec,1,0,7999,read,write,\r\n");
        dir_.Write("NimbroDrvIDec.cfg", "[PlcConfig]\r\nOPCScanTiming=20\r\nReadDeviceTimer=50\r\n"
                                        "[Link0]\r\nOpenName=" +
                                            endpoint +
                                            "\r\nDeviceNo=1\r\n"
                                            "[Link0.Plc0]\r\nName=PLC1\r\nPlcFile=idec.plc\r\n"
                                            "[Link0.Plc0.Dev0]\r\nDeviceName=D\r\n");
    }

private:
    testutil::TempDir dir_;
    WString path_;
    bool ok_ = false;
};

// Every field of the actions, one bracket each, bodies nested.
std::string Describe(const std::vector<Action>& actions) {
    static const char* const kKinds[] = {"resolve", "register", "read",   "write",
                                         "list",    "wait",     "repeat", "watch"};
    std::string s;
    for (const Action& a : actions) {
        s += std::string("[") + kKinds[static_cast<int>(a.kind)] + " " + a.device + " " + a.item;
        if (a.hasType || a.type != TypeDefault)
            s += std::string(a.hasType ? " " : " untyped ") + nimbrohost::TypeName(a.type);
        s += " '" + a.value + "' " + std::to_string(a.count) + " " + std::to_string(a.ms);
        for (const std::string& i : a.items)
            s += " " + i;
        s += Describe(a.body) + "]";
    }
    return s;
}

// A value typed on the command line is laid out as its type says and printed
// back as typed: every width keeps its sign and its high bytes.
TEST(HostValues, EachTypeRoundTripsAtItsLimits) {
    const struct {
        int32_t type;
        const char *in, *out;
    } rows[] = {
        {TypeU8, "255", "255"},
        {TypeU16, "0x1234", "4660"},
        {TypeI8, "-128", "-128"},
        {TypeI16, "-1", "-1"},
        {TypeI16, "-32768", "-32768"},
        {TypeU32, "4294967295", "4294967295"},
        {TypeI32, "-2147483648", "-2147483648"},
        {TypeDefault, "70000", "70000"},
        {TypeU64, "18446744073709551615", "18446744073709551615"},
        {TypeI64, "-9223372036854775808", "-9223372036854775808"},
        {TypeF32, "-1.5", "-1.5"},
        {TypeF64, "0.1", "0.10000000000000001"},
    };
    for (const auto& r : rows) {
        nimbrohost::HostValue v;
        std::string error;
        ASSERT_TRUE(nimbrohost::MakeHostValue(r.type, r.in, &v, &error)) << r.in << ": " << error;
        unsigned char bytes[8];
        std::memcpy(bytes, &v.num, sizeof bytes);
        EXPECT_EQ(nimbrohost::FormatValue(r.type, bytes, v.length), r.out)
            << nimbrohost::TypeLabel(r.type) << " " << r.in;
    }
}

TEST(HostCommandLine, RejectsBadArguments) {
    for (const std::string& line :
         Split("--bogus; -x; --help=yes; --port 1 --help=no; --module; --module=; --module= list;"
               "--port 1 --port 70000; --port 70000; --port -1; --port 21x;"
               "--word-order one; resolve; resolve D --port 1; fetch D; read D; register D;"
               "write D D100 u16; write D D100 u17 1; write D D100 u8 256; write D D100 u16 -1;"
               "write D D100 i8 -129; write D D100 i16 0x8000; write D D100 f32 1.5x;"
               "write D D100 bool yes; wait -1; wait 3600001; repeat 0 10 wait 1; repeat 2 10;"
               "repeat 2 10 end; end; write D D1 u64 18446744073709551616;"
               "watch; watch D; watch D list; watch D D100 --interval;"
               "watch D D100 --interval 9; watch D D100 --interval 3600001;"
               "watch D D100 --interval 1s; watch D D100 --count 0;"
               "watch D D100 --count -1; watch D D100 --every 5",
               ';')) {
        Options o;
        std::string error;
        EXPECT_FALSE(Parse(line, &o, &error)) << line;
        EXPECT_FALSE(error.empty()) << line;
        EXPECT_TRUE(line.compare(0, 5, "watch") || !error.compare(0, 7, "watch: ")) << error;
    }
}

// "list" before an action word lists the device types; a missing TYPE leaves
// the next action alone; watch items run to the next action, its options may
// stand among them, and without them it refreshes every second until stopped.
TEST(HostCommandLine, OptionsAndActionsInOrder) {
    const std::pair<const char*, const char*> cases[] = {
        {"--module=/x/m.so --port 2101 --word-order -3 resolve .P1.D read D D100 u16 read D D101 "
         "list wait 5 list D write D D5 i8 -128 repeat 3 20 read D Status repeat 2 0 list end end "
         "write D D6 text ''",
         "/x/m.so 2101 -3 [resolve .P1.D  '' 0 0][read D D100 TypeU16 '' 0 0][read D D101 '' 0 0]"
         "[list   '' 0 0][wait   '' 0 5][list D  '' 0 0][write D D5 TypeI8 '-128' 0 0]"
         "[repeat   '' 3 20[read D Status '' 0 0][repeat   '' 2 0[list   '' 0 0]]]"
         "[write D D6 TypeText '' 0 0]"},
        {"write D D1 u64 18446744073709551615 write D D1 i64 -9223372036854775808 "
         "write D D1 u16 0xFFFF write D D1 bool true",
         " 0 0 [write D D1 TypeU64 '18446744073709551615' 0 0]"
         "[write D D1 TypeI64 '-9223372036854775808' 0 0][write D D1 TypeU16 '0xFFFF' 0 0]"
         "[write D D1 TypeBool 'true' 0 0]"},
        {"watch D D100 --interval 250 D102.Long --count=3 list D watch M M5",
         " 0 0 [watch D  '' 3 250 D100 D102.Long][list D  '' 0 0][watch M  '' 0 1000 M5]"},
        {"repeat 2 0 watch D D1 --count 1 end list",
         " 0 0 [repeat   '' 2 0[watch D  '' 1 1000 D1]][list   '' 0 0]"},
    };
    for (const auto& c : cases) {
        Options o;
        std::string error;
        ASSERT_TRUE(Parse(c.first, &o, &error)) << c.first << ": " << error;
        EXPECT_EQ(o.module + " " + std::to_string(o.port) + " " + std::to_string(o.wordOrder) +
                      " " + Describe(o.actions),
                  c.second);
        EXPECT_FALSE(o.terminal) << "the arguments never claim a terminal";
    }
    const std::pair<const char*, int32_t> names[] = {
        {"TypeF64", TypeF64}, {"TEXT", TypeText}, {"0", TypeDefault}, {"13", -1}, {"u128", -1}};
    for (const auto& n : names) {
        int32_t type = -1;
        EXPECT_EQ(nimbrohost::ParseTypeName(n.first, &type), n.second != -1) << n.first;
        EXPECT_EQ(type, n.second) << n.first;
    }
}

TEST(HostWatchTable, ColumnsLineUpUnderTheirHeadingsAndAgesInTenths) {
    const nimbrohost::WatchRow a{"D100", "1234", "TypeU16", "ResultOk (0)", "NO_ERROR", "0.4 s"},
        b{"D102.Long", "-", "TypeI32", "ResultNotReady (6)", "NO_ERROR", "-"};
    nimbrohost::WatchTable table(false);
    const std::vector<std::string> lines = Split(table.Render("title", {a, b}), '\n');
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "title");
    for (const char* column : {"VALUE", "TYPE", "RESULT", "STATUS", "AGE"}) {
        const size_t at = lines[1].find(column);
        ASSERT_NE(at, std::string::npos) << column;
        // Every cell of a column begins where its heading does.
        for (size_t r = 2; r < lines.size(); ++r) {
            ASSERT_GT(lines[r].size(), at) << lines[r];
            EXPECT_NE(lines[r][at], ' ') << column << " in " << lines[r];
            EXPECT_EQ(lines[r][at - 1], ' ') << column << " in " << lines[r];
        }
    }
    for (const auto& age : {std::make_pair(0u, "0.0 s"), std::make_pair(1999u, "1.9 s"),
                            std::make_pair(61500u, "61.5 s")})
        EXPECT_EQ(nimbrohost::FormatAge(age.first), age.second);
}

// Runs of the host in-process against a copy of the module without settings
// ("bare"), one configured with no PLC to reach ("conf"), a missing file or
// one that is no module. Each call is printed with a named result; a device
// that resolves is resolved once and its handle kept; one that does not is
// looked up at every use and nothing is called with a null handle; a stop
// request skips what is left but still releases the driver; a watch without
// a PLC still shows its rows, one table per refresh, redrawn in place only
// on a terminal, and the actions after it run.
TEST(HostRun, InProcess) {
    ModuleFolder bare, conf;
    ASSERT_TRUE(bare.Ok() && conf.Ok()) << NIMBRO_TEST_MODULE;
    conf.Configure("");
    testutil::TempDir dir;
    const std::string missing = Narrow(dir.Join("missing.module").c_str()),
                      fake = Narrow(dir.Write("fake.module", "not a module\n").c_str());
    const std::string watch3 = "watch \"D\": refresh |refresh 3 of 3, every 10 ms\n|watch \"D\" "
                               "ended after 3 refreshes\n|d100|(not registered)|ListItems(\"D\")";
    const struct {
        std::string module, line;
        bool terminal, stop;
        int rc;
        std::string checks;
    } cases[] = {
        {bare.Path(), "resolve D read D D100 repeat 2 1 read D Status end watch D D100 --count 2",
         false, false, nimbrohost::kExitOk,
         "NimbroInterface(hostPort 0, wordOrder 0) -> S_OK (0x00000000)\n|ResolveDevice(\"D\") "
         "-> null (not found)\n|Release() -> 0\nmodule freed\n|5*ResolveDevice(\"D\")|3*not "
         "called: no device \"D\"|watch \"D\" not started: no device \"D\"\n|!refresh"},
        {conf.Path(), "--word-order 1 read D D100 u16 resolve .PLC1.d write D D100 u16 5 list D",
         false, false, nimbrohost::kExitOk,
         "wordOrder 1|ReadItem(\"D\", \"D100\", TypeU16) -> Result|WriteItem(\"D\", \"D100\", "
         "TypeU16, 5) -> Result|ListItems(\"D\") -> |1*ResolveDevice(\"D\") -> device "
         "|1*ResolveDevice(\".PLC1.d\") -> device |!not called"},
        {bare.Path(), "wait 600000 resolve D", false, true, nimbrohost::kExitOk,
         "!ResolveDevice|stopped: remaining actions skipped\nRelease() -> 0\n"},
        {missing, "resolve D", false, false, nimbrohost::kExitHostFailed,
         "cannot load the module|!NimbroInterface"},
        {fake, "resolve D", false, false, nimbrohost::kExitHostFailed,
         "cannot load the module|!NimbroInterface"},
        {conf.Path(), "watch D D100 d100 --interval 10 --count 3 list D", false, false,
         nimbrohost::kExitOk, "3*" + watch3 + "|!\x1b"},
        {conf.Path(), "watch D D100 d100 --interval 10 --count 3 list D", true, false,
         nimbrohost::kExitOk, "3*" + watch3 + "|2*\x1b[4A"},
    };
    for (const auto& c : cases) {
        Options o;
        std::string error;
        ASSERT_TRUE(Parse(c.line, &o, &error)) << error;
        o.module = c.module;
        o.terminal = c.terminal;
        std::atomic<bool> stop{c.stop};
        std::ostringstream out, err;
        EXPECT_EQ(nimbrohost::Run(o, out, err, &stop), c.rc) << c.line;
        EXPECT_EQ(Fails(out.str() + err.str(), c.checks), "") << c.line << "\n" << out.str();
    }
    // The driver looked for its settings beside the copy that was loaded.
    EXPECT_TRUE(plat::PathExists(bare.Dir().Join("Nimbro.ini").c_str()));
}

// The program itself, through the command processor: exit codes and streams;
// output into a file gets plain lines, without cursor movement.
// Runs the program with args: true for a clean exit 0; its streams.
bool RunExe(const std::string& args, std::string* out, std::string* err) {
    testutil::TempDir dir;
    const WString outPath = dir.Join("out.txt"), errPath = dir.Join("err.txt");
    std::string exe = NIMBRO_TEST_HOST_EXE;
    for (char& c : exe)
        if (c == '/' || c == '\\')
            c = static_cast<char>(plat::kPathSep);
    const int status = std::system(("\"" + exe + "\" " + args + " >" + Narrow(outPath.c_str()) +
                                    " 2>" + Narrow(errPath.c_str()))
                                       .c_str());
    *out = testutil::ReadFile(outPath);
    *err = testutil::ReadFile(errPath);
    return status == 0;
}

TEST(HostProgram, ExitCodesAndStreams) {
    ModuleFolder folder;
    ASSERT_TRUE(folder.Ok());
    folder.Configure("");
    const std::string module = "--module " + folder.Path();
    const struct {
        std::string args;
        bool ok;
        std::string out, err;
    } cases[] = {
        {"--help", true, "^Usage: nimbro-host", "="},
        {"--verbose resolve D", false, "=", "unknown option '--verbose'"},
        {module + " watch D D100 --interval 10 --count 2", true,
         "watch \"D\": refresh 2 of 2|!\x1b|Release() -> 0", ""},
        {module + " --port 2101 resolve X", true,
         "NimbroInterface(hostPort 2101, wordOrder 0) -> S_OK|ResolveDevice(\"X\") -> null (not "
         "found)|module freed",
         ""},
        {"--module " + Narrow(folder.Dir().Join("none").c_str()) + " resolve D", false, "",
         "cannot load the module"},
    };
    for (const auto& c : cases) {
        std::string out, err;
        EXPECT_EQ(RunExe(c.args, &out, &err), c.ok) << c.args << "\n" << err;
        EXPECT_EQ(Fails(out, c.out), "") << c.args << "\n" << out;
        EXPECT_EQ(Fails(err, c.err), "") << c.args << "\n" << err;
    }
}

#if NIMBRO_TEST_HAVE_SIM

// An ostream target that one thread writes and another reads.
class SharedText : public std::streambuf {
public:
    std::string Text() {
        std::lock_guard<std::mutex> hold(m_);
        return text_;
    }

protected:
    int overflow(int c) override {
        const char ch = static_cast<char>(c);
        if (c != traits_type::eof())
            xsputn(&ch, 1);
        return c;
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        std::lock_guard<std::mutex> hold(m_);
        text_.append(s, static_cast<size_t>(n));
        return n;
    }

private:
    std::mutex m_;
    std::string text_;
};

struct HostThread {
    Options options;
    SharedText text;
    std::ostream out{&text};
    std::ostringstream err;
    std::atomic<bool> stop{false};
    int rc = -1;
};

// The rows of item that read OK: value, status and age (seconds, -1 for
// "-"); a row's words: item, value, type, result name, (code), status, age, s.
struct Row {
    std::string value, status;
    double age;
};
std::vector<Row> OkRows(const std::string& text, const std::string& item) {
    std::vector<Row> rows;
    for (const std::string& line : Split(text, '\n')) {
        std::istringstream in(line);
        std::vector<std::string> w;
        for (std::string word; in >> word;)
            w.push_back(word);
        if (w.size() == 8 && w[0] == item && w[3] == "ResultOk")
            rows.push_back(Row{w[1], w[5], w[6] == "-" ? -1 : std::stod(w[6])});
    }
    return rows;
}

// The watch of the simulator's moving values runs until a stop request,
// which skips the action after it and still releases the driver.
TEST(HostWatchRun, MovingValuesUntilAStopWhichStillReleasesTheDriver) {
    idecsim::Simulator sim;
    ASSERT_TRUE(sim.SetValue("D", 101, 1234));
    idecsim::Animation counter;
    counter.device = "D";
    counter.address = 100;
    counter.ms = 50;
    std::string why;
    ASSERT_TRUE(sim.Animate(counter, &why)) << why;
    const uint16_t port = sim.Start(0);
    ASSERT_NE(port, 0);

    ModuleFolder folder;
    ASSERT_TRUE(folder.Ok());
    folder.Configure("127.0.0.1:" + std::to_string(port));
    folder.KeepLoaded();
    HostThread run;
    std::string error;
    ASSERT_TRUE(Parse("watch D D100 D101 --interval 100 read D D100", &run.options, &error));
    run.options.module = folder.Path();
    plat::Thread thread;
    ASSERT_TRUE(thread.Start(
        [](void* p) -> unsigned {
            auto* r = static_cast<HostThread*>(p);
            r->rc = nimbrohost::Run(r->options, r->out, r->err, &r->stop);
            return 0;
        },
        &run));

    // D100 moves; D101 keeps its value, so its age (time since it last
    // changed) grows past many intervals.
    auto moved = [&run] {
        std::vector<std::string> seen;
        for (const auto& r : OkRows(run.text.Text(), "D100"))
            if (seen.empty() || seen.back() != r.value)
                seen.push_back(r.value);
        return seen.size() >= 3;
    };
    auto aged = [&run] {
        for (const auto& r : OkRows(run.text.Text(), "D101"))
            if (r.value == "1234" && r.status == "NO_ERROR" && r.age >= 1.0)
                return true;
        return false;
    };
    const bool sawMove = testutil::WaitUntil(moved, 30000);
    const bool sawAge = testutil::WaitUntil(aged, 30000);
    run.stop.store(true);
    ASSERT_TRUE(thread.Join(30000)) << "the watch did not end on a stop request";
    const std::string text = run.text.Text();
    const std::string tail = text.substr(text.size() > 3000 ? text.size() - 3000 : 0);
    EXPECT_TRUE(sawMove) << tail;
    EXPECT_TRUE(sawAge) << tail;
    EXPECT_EQ(run.rc, nimbrohost::kExitOk) << run.err.str();
    EXPECT_EQ(Fails(text, "Ctrl+C ends|!ReadItem(|stopped: remaining actions skipped\nRelease() "
                          "-> 0\nmodule freed\n"),
              "")
        << tail;
}

#endif

#if NIMBRO_TEST_HAVE_SIM
// Commissioning without a configuration: the program stages one for the
// simulator's port and station, reads its value and leaves no folder behind.
TEST(HostProgram, ConnectReadsTheSimulatorAndRemovesItsFolder) {
    // Over TCP, and over a serial line where there are pseudo-terminals.
    for (bool serial : {false, true}) {
        idecsim::Simulator sim;
        sim.SetStation(7);
        ASSERT_TRUE(sim.SetValue("D", 100, 4321));
        ASSERT_TRUE(sim.SetValue("M", 17, 1));
        std::string target;
        if (serial) {
            const std::string tty = sim.StartPty(plat::SerialSettings());
            if (tty.empty())
                continue;
            target = tty + " --baud 9600";
        } else {
            const uint16_t port = sim.Start(0);
            ASSERT_NE(port, 0);
            target = "127.0.0.1:" + std::to_string(port);
        }
        // The first read brings an item into use; later rounds see its value.
        std::string out, err;
        EXPECT_TRUE(RunExe("--connect " + target +
                               " --station 7 repeat 40 150 read D D100 u16 read M M17 bool end",
                           &out, &err))
            << err;
        EXPECT_EQ(Fails(out, "ReadItem(\"D\", \"D100\", TypeU16) -> ResultOk (0): 4321|"
                             "ReadItem(\"M\", \"M17\", TypeBool) -> ResultOk (0): 1 ["),
                  "")
            << target << "\n"
            << out;
        const size_t at = out.find("staged ");
        ASSERT_NE(at, std::string::npos) << out;
        const std::string folder = out.substr(at + 7, out.find(" for ", at) - at - 7);
        // Through a file, Windows ends lines with CR LF.
        const size_t removed = out.find("removed " + folder);
        ASSERT_NE(removed, std::string::npos) << out;
        EXPECT_NE(std::string("\r\n").find(out[removed + 8 + folder.size()]), std::string::npos)
            << out;
        EXPECT_FALSE(plat::PathExists(testutil::W(folder).c_str())) << folder;
        EXPECT_GT(sim.FrameLog().size(), 0u) << target;
    }
}
#endif

} // namespace
