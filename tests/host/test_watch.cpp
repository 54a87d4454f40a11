// nimbro-host watch: its arguments, its table, and watching the simulator's
// moving values until a stop request, which still releases the driver.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <sstream>
#include <streambuf>
#include <string>
#include <vector>

#include "HostCli.h"
#include "NimbroDriver.h"
#include "WatchTable.h"
#include "platform/file.h"
#include "platform/module.h"
#include "platform/sync.h"
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
using nimbrohost::WatchRow;
using nimbrohost::WatchTable;
using testutil::Narrow;
using testutil::W;
using testutil::WString;

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// ---- Arguments ----

TEST(HostWatchArguments, ItemsRunToTheNextActionAndOptionsMayStandAmongThem) {
    Options o;
    std::string error;
    ASSERT_TRUE(
        Parse("watch D D100 --interval 250 D102.Long --count=3 list D watch M M5", &o, &error))
        << error;
    ASSERT_EQ(o.actions.size(), 3u);
    const Action& w = o.actions[0];
    EXPECT_EQ(w.kind, ActionKind::kWatch);
    EXPECT_EQ(w.device, "D");
    EXPECT_EQ(w.items, (std::vector<std::string>{"D100", "D102.Long"}));
    EXPECT_EQ(w.ms, 250u);
    EXPECT_EQ(w.count, 3u);
    EXPECT_EQ(o.actions[1].kind, ActionKind::kList);
    // Without options: every second, until stopped.
    EXPECT_EQ(o.actions[2].ms, nimbrohost::kDefaultWatchIntervalMs);
    EXPECT_EQ(o.actions[2].count, 0u);
    EXPECT_FALSE(o.terminal) << "the arguments never claim a terminal";

    ASSERT_TRUE(Parse("repeat 2 0 watch D D1 --count 1 end list", &o, &error)) << error;
    ASSERT_EQ(o.actions.size(), 2u);
    EXPECT_EQ(o.actions[0].body.size(), 1u);
}

TEST(HostWatchArguments, MistakesAreRefused) {
    for (const std::string& line :
         hosttest::Split("watch; watch D; watch D list; watch D D100 --interval;"
                         "watch D D100 --interval 9; watch D D100 --interval 3600001;"
                         "watch D D100 --interval 1s; watch D D100 --count 0;"
                         "watch D D100 --count -1; watch D D100 --every 5")) {
        Options o;
        std::string error;
        EXPECT_FALSE(Parse(line, &o, &error)) << line;
        EXPECT_EQ(error.compare(0, 7, "watch: "), 0) << line << ": " << error;
    }
}

// ---- The table ----

std::vector<WatchRow> Rows() {
    WatchRow a;
    a.item = "D100";
    a.value = "1234";
    a.type = "TypeU16";
    a.result = "ResultOk (0)";
    a.status = "NO_ERROR";
    a.age = "0.4 s";
    WatchRow b = a;
    b.item = "D102.Long";
    b.value = "-";
    b.type = "TypeI32";
    b.result = "ResultNotReady (6)";
    b.age = "-";
    return {a, b};
}

TEST(HostWatchTable, ColumnsLineUpUnderTheirHeadings) {
    WatchTable table(false);
    const std::vector<std::string> lines = Lines(table.Render("title", Rows()));
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "title");
    const std::string& head = lines[1];
    for (const char* column : {"VALUE", "TYPE", "RESULT", "STATUS", "AGE"}) {
        const size_t at = head.find(column);
        ASSERT_NE(at, std::string::npos) << column;
        // Every cell of a column begins where its heading does.
        for (size_t r = 2; r < lines.size(); ++r) {
            ASSERT_GT(lines[r].size(), at) << lines[r];
            EXPECT_NE(lines[r][at], ' ') << column << " in " << lines[r];
            EXPECT_EQ(lines[r][at - 1], ' ') << column << " in " << lines[r];
        }
    }
}

TEST(HostWatchTable, AgesInTenthsOfSeconds) {
    EXPECT_EQ(nimbrohost::FormatAge(0), "0.0 s");
    EXPECT_EQ(nimbrohost::FormatAge(1999), "1.9 s");
    EXPECT_EQ(nimbrohost::FormatAge(61500), "61.5 s");
}

// ---- Against the module ----

TEST(HostWatchRun, ADeviceThatDoesNotResolveIsNotWatched) {
    ModuleFolder folder;
    ASSERT_TRUE(folder.Ok());
    Options o;
    std::string error;
    ASSERT_TRUE(Parse("watch D D100 --count 2", &o, &error));
    o.module = folder.Path();
    std::ostringstream out, err;
    EXPECT_EQ(nimbrohost::Run(o, out, err), nimbrohost::kExitOk) << err.str();
    EXPECT_NE(out.str().find("watch \"D\" not started: no device \"D\"\n"), std::string::npos)
        << out.str();
    EXPECT_EQ(out.str().find("refresh"), std::string::npos);
}

// No PLC to reach: the rows still come, one table per refresh.
TEST(HostWatchRun, CountEndsTheWatchAndTheTerminalDecidesTheDrawing) {
    ModuleFolder folder;
    ASSERT_TRUE(folder.Ok());
    folder.Configure("");
    for (bool terminal : {false, true}) {
        Options o;
        std::string error;
        ASSERT_TRUE(Parse("watch D D100 d100 --interval 10 --count 3 list D", &o, &error));
        o.module = folder.Path();
        o.terminal = terminal;
        std::ostringstream out, err;
        EXPECT_EQ(nimbrohost::Run(o, out, err), nimbrohost::kExitOk) << err.str();
        const std::string text = out.str();
        EXPECT_EQ(Occurrences(text, "watch \"D\": refresh "), 3u) << text;
        EXPECT_NE(text.find("refresh 3 of 3, every 10 ms\n"), std::string::npos) << text;
        EXPECT_NE(text.find("watch \"D\" ended after 3 refreshes\n"), std::string::npos) << text;
        // A name the block refuses is shown as such, not left out.
        EXPECT_NE(text.find("d100"), std::string::npos);
        EXPECT_NE(text.find("(not registered)"), std::string::npos) << text;
        // The actions after the watch still run.
        EXPECT_NE(text.find("ListItems(\"D\")"), std::string::npos);
        // Title, heading and two rows: moved back over twice on a terminal.
        EXPECT_EQ(Occurrences(text, "\x1b[4A"), terminal ? 2u : 0u) << terminal;
        EXPECT_EQ(text.find('\x1b') != std::string::npos, terminal);
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
        if (c != traits_type::eof()) {
            std::lock_guard<std::mutex> hold(m_);
            text_ += static_cast<char>(c);
        }
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

struct HostRun {
    Options options;
    SharedText text;
    std::ostream out{&text};
    std::ostringstream err;
    std::atomic<bool> stop{false};
    int rc = -1;
};

unsigned RunHost(void* p) {
    HostRun* run = static_cast<HostRun*>(p);
    run->rc = nimbrohost::Run(run->options, run->out, run->err, &run->stop);
    return 0;
}

// A table row split into words: item, value, type, result name, (code),
// status, age, "s".
struct Row {
    std::string item, value, result, status;
    double age = -1;
};

std::vector<Row> RowsOf(const std::string& text, const std::string& item) {
    std::vector<Row> rows;
    for (const std::string& line : Lines(text)) {
        std::istringstream in(line);
        std::vector<std::string> w;
        for (std::string word; in >> word;)
            w.push_back(word);
        if (w.size() != 8 || w[0] != item)
            continue;
        Row r;
        r.item = w[0];
        r.value = w[1];
        r.result = w[3];
        r.status = w[5];
        r.age = w[6] == "-" ? -1 : std::stod(w[6]);
        rows.push_back(r);
    }
    return rows;
}

TEST(HostWatchRun, MovingValuesUntilAStopWhichStillReleasesTheDriver) {
    idecsim::Simulator sim;
    ASSERT_TRUE(sim.SetValue("D", 101, 1234));
    idecsim::Animation counter;
    counter.kind = idecsim::AnimationKind::kCounter;
    counter.device = "D";
    counter.address = 100;
    counter.step = 1;
    counter.ms = 50;
    std::string why;
    ASSERT_TRUE(sim.Animate(counter, &why)) << why;
    const uint16_t port = sim.Start(0);
    ASSERT_NE(port, 0);

    ModuleFolder folder;
    ASSERT_TRUE(folder.Ok());
    folder.Configure("127.0.0.1:" + std::to_string(port));
    folder.KeepLoaded();
    HostRun run;
    std::string error;
    ASSERT_TRUE(Parse("watch D D100 D101 --interval 100 read D D100", &run.options, &error));
    run.options.module = folder.Path();
    plat::Thread thread;
    ASSERT_TRUE(thread.Start(RunHost, &run));

    // D100 moves; D101 keeps its value, so its age (time since it last
    // changed) grows past many intervals.
    auto moved = [&run] {
        std::vector<std::string> seen;
        for (const Row& r : RowsOf(run.text.Text(), "D100"))
            if (r.result == "ResultOk" && (seen.empty() || seen.back() != r.value))
                seen.push_back(r.value);
        return seen.size() >= 3;
    };
    auto aged = [&run] {
        for (const Row& r : RowsOf(run.text.Text(), "D101"))
            if (r.result == "ResultOk" && r.value == "1234" && r.status == "NO_ERROR" &&
                r.age >= 1.0)
                return true;
        return false;
    };
    const bool sawMove = testutil::WaitUntil(moved, 30000);
    const bool sawAge = testutil::WaitUntil(aged, 30000);
    run.stop.store(true);
    ASSERT_TRUE(thread.Join(30000)) << "the watch did not end on a stop request";
    const std::string text = run.text.Text();
    EXPECT_TRUE(sawMove) << text.substr(text.size() > 3000 ? text.size() - 3000 : 0);
    EXPECT_TRUE(sawAge) << text.substr(text.size() > 3000 ? text.size() - 3000 : 0);
    EXPECT_EQ(run.rc, nimbrohost::kExitOk) << run.err.str();
    EXPECT_NE(text.find("Ctrl+C ends"), std::string::npos);
    // The action after the watch is skipped; the driver is released.
    EXPECT_EQ(text.find("ReadItem("), std::string::npos);
    EXPECT_NE(text.find("stopped: remaining actions skipped\nRelease() -> 0\nmodule freed\n"),
              std::string::npos)
        << text.substr(text.size() > 500 ? text.size() - 500 : 0);
}

#endif

} // namespace
