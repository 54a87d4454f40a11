// The scenario files (scenarios/*.scn): one test per scenario, its steps run
// on a plant (plant.h). A file holds scenarios, each from a line
// "scenario Name" to the next; '#' lines and blank lines are skipped. A step
// is a line "[soon] verb args [-> expected]"; "soon" repeats it until it
// holds (ticking a ticked plant between tries), within a bound. Numbers take
// C's forms (7, 0x1F, -3.7, 1e30), texts quotes with \xNN escapes.
//
// Before the plant starts (it starts at the first other step):
//   define LINE              a definition line replacing its device's
//   item BLOCK NAME ADDR K=V a configured item (Size=, DataType=, ...)
//   unlist BLOCK | gated | testclock | ticked | scan MS
// Any time:
//   set DEV ADDR V...        simulator words from ADDR on
//   text DEV ADDR "TEXT"     a text into words, two bytes a word, high first,
//   NUL after
// Host calls ([BLOCK:]ITEM; the block defaults to the item's letters):
//   touch ITEM...            reads that only put items into use
//   read ITEM [TYPE] [cap N] -> RESULT [VALUE] [count N] [as TYPE] [size BYTES]
//   [untouched] write ITEM TYPE VALUE [len N] -> RESULT [count N] register ITEM
//   -> 0|1 [TYPE SIZE ACCESS] bad ITEM                 a name refused by
//   registration, read and write status BLOCK -> CODE ["TEXT"]          Status
//   and Status_str list [NAME|""] -> TEXT                 no name: a fresh list
//   query too
// A failed read must leave the host's buffer, count and type as they were,
// a refused registration the block's items; a good number read has count 1
// and nothing past its type's bytes written, a text nothing past the cap.
// The plant:
//   mem DEV ADDR -> V...     simulator words
//   fault KIND K=V... | clearfaults | fired KIND -> N
//   stop | restart           the simulator, on the same port
//   clock +MS | pause | resume | order 0|1 | tick [N] | interval MS
//   lock BLOCK|link (holds the write passes back) | unlock | rebuild BLOCK | enumerate | addresses
//   LETTER A... staged BLOCK -> N | blockstatus BLOCK -> N | items BLOCK -> N window BLOCK ->
//   none|built | session BLOCK -> N frames clear | frames -> N | frame K -> PART | refusals -> N
// Threads ("bg STEP" runs a step on a thread of its own, numbered from 1):
//   join [K...]              waits for those steps (all by default), their failures
//   pending MS               every unjoined step still runs after MS (a lower bound)
//   sleeping                 the last one sleeps, so is in a wait (Linux only)
//   gate 0|1|2               the enumeration gate (plant.h); also before the start
//   release | held | stoplink | running -> 0|1 | enumerated -> 0|1 | queries -> N
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#if defined(__linux__)
#include <sys/syscall.h>
#include <unistd.h>
#endif

#include "plant.h"
#include "platform/sync.h"
#include "support/LockGuard.h"

namespace {

using namespace itest;
typedef std::string Str;

struct Tok {
    Str s;
    bool quoted;
};

struct Step {
    Str file, where, text, rest; // rest: the text after the verb
    int line = 0;
    bool soon = false, bg = false;
    std::vector<Tok> args, want;
};

struct Scenario {
    Str name;
    std::vector<Step> steps;
};

void PrintTo(const Scenario& s, std::ostream* os) {
    *os << s.name;
}

std::vector<Tok> Split(const Str& line) {
    std::vector<Tok> out;
    for (size_t i = line.find_first_not_of(" \t"); i < line.size();
         i = line.find_first_not_of(" \t", i)) {
        if (line[i] != '"') {
            const size_t end = std::min(line.find_first_of(" \t", i), line.size());
            out.push_back({line.substr(i, end - i), false});
            i = end;
            continue;
        }
        Str s;
        for (++i; i < line.size() && line[i] != '"'; ++i) {
            if (line.compare(i, 2, "\\x") == 0) {
                s += static_cast<char>(std::strtoul(line.substr(i + 2, 2).c_str(), nullptr, 16));
                i += 3;
            } else {
                s += line[i] == '\\' ? line[++i] : line[i];
            }
        }
        out.push_back({s, true});
        ++i;
    }
    return out;
}

std::vector<Scenario> Load() {
    std::vector<std::filesystem::path> files;
    for (const auto& e : std::filesystem::directory_iterator(NIMBRO_SCENARIO_DIR))
        if (e.path().extension() == ".scn")
            files.push_back(e.path());
    std::sort(files.begin(), files.end());
    std::vector<Scenario> all;
    for (const auto& path : files) {
        std::ifstream in(path);
        Str text;
        for (int n = 1; std::getline(in, text); ++n) {
            if (!text.empty() && text.back() == '\r')
                text.pop_back();
            const std::vector<Tok> toks = Split(text);
            if (toks.empty() || toks[0].s[0] == '#')
                continue;
            if (toks[0].s == "scenario" || all.empty())
                all.push_back({path.stem().string() + "_" + toks.back().s, {}});
            if (toks[0].s == "scenario")
                continue;
            Step st;
            st.file = path.string();
            st.line = n;
            st.where = st.file + ":" + std::to_string(n);
            st.text = text;
            const bool prefixed = (toks[0].s == "soon" || toks[0].s == "bg") && toks.size() > 1;
            st.soon = prefixed && toks[0].s == "soon";
            st.bg = prefixed && toks[0].s == "bg";
            const Tok& verb = toks[prefixed ? 1 : 0];
            const size_t at = text.find(verb.s) + verb.s.size();
            st.rest = text.substr(std::min(text.find_first_not_of(' ', at), text.size()));
            const auto arrow = std::find_if(toks.begin(), toks.end(),
                                            [](const Tok& t) { return !t.quoted && t.s == "->"; });
            st.args.assign(toks.begin() + (prefixed ? 1 : 0), arrow);
            if (arrow != toks.end())
                st.want.assign(arrow + 1, toks.end());
            all.back().steps.push_back(st);
        }
    }
    return all;
}

double Num(const Str& s) {
    return std::strtod(s.c_str(), nullptr);
}
uint32_t U(const Str& s) {
    return static_cast<uint32_t>(Num(s));
}

// The host's types by ValueType: name, bytes, and how their bytes read
// ('u'nsigned, 's'igned, 'f'loat).
struct TypeRow {
    const char* name;
    size_t size;
    char kind;
};
const TypeRow kTypes[] = {{"default", 4, 'u'}, {"bool", 1, 'u'}, {"u8", 1, 'u'},  {"u16", 2, 'u'},
                          {"u32", 4, 'u'},     {"u64", 8, 'u'},  {"i8", 1, 's'},  {"i16", 2, 's'},
                          {"i32", 4, 's'},     {"i64", 8, 's'},  {"f32", 4, 'f'}, {"f64", 8, 'f'},
                          {"text", 2, 't'}};
const char* const kResults[] = {"ok", "failed", "?", "?", "nak", "timeout", "notready"};

int32_t TypeOf(const Str& s) {
    for (int32_t t = 0; t <= TypeText; ++t)
        if (s == kTypes[t].name)
            return t;
    return static_cast<int32_t>(Num(s));
}
Str TypeName(int32_t t) {
    return t >= 0 && t <= TypeText ? kTypes[t].name : std::to_string(t);
}
Str ResultName(int32_t r) {
    return r >= 0 && r <= ResultNotReady ? kResults[r] : std::to_string(r);
}

// Bytes as the host's little-endian number of the kind.
double Decode(const uint8_t* p, size_t size, char kind) {
    uint64_t v = 0;
    for (size_t i = size; i-- > 0;)
        v = v << 8 | p[i];
    if (kind == 'f') {
        float f;
        double d;
        return size == 4 ? (std::memcpy(&f, p, 4), f) : (std::memcpy(&d, p, 8), d);
    }
    if (kind == 's' && size < 8 && (v >> (size * 8 - 1)) != 0)
        return static_cast<double>(static_cast<int64_t>(v - (uint64_t{1} << size * 8)));
    return kind == 's' ? static_cast<double>(static_cast<int64_t>(v)) : static_cast<double>(v);
}

Str Show(double v) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.17g", v);
    return buf;
}
Str Differs(const char* what, const Str& got, const Str& want) {
    return got == want ? "" : Str(what) + " " + got + ", expected " + want;
}

constexpr uint8_t kCanary = 0x7E;

class Runner {
public:
    explicit Runner(const Scenario& s) : s_(s), p_(new Plant) {}
    ~Runner() {
        gGateRelease.store(true); // what a failed step left held
        gWritesHeld.store(false);
        for (auto& b : bg_)
            if (b->t.joinable())
                b->t.join();
    }

    void Run() {
        for (const Step& st : s_.steps) {
            if (st.bg && !Started())
                return;
            if (st.bg) {
                bg_.emplace_back(new Bg);
                Bg& b = *bg_.back();
                b.t = std::thread([this, &st, &b] {
#if defined(__linux__)
                    b.tid.store(static_cast<long>(syscall(SYS_gettid)));
#endif
                    b.why = Do(st);
                    b.done.store(true);
                });
                continue;
            }
            const Str why = st.soon ? Soon(st) : Do(st);
            if (!why.empty())
                ADD_FAILURE_AT(st.file.c_str(), st.line) << st.text << "\n  " << why;
            if (!why.empty() || ::testing::Test::HasFailure() || ::testing::Test::IsSkipped())
                return;
        }
    }

private:
    // A step run on a thread of its own ("bg"), joined by a later "join".
    struct Bg {
        std::thread t;
        std::atomic<bool> done{false};
        std::atomic<long> tid{0};
        Str why;
    };

    // Joins the background steps numbered in st (from 1), or all of them.
    Str Join(const Step& st) {
        Str why;
        for (size_t k = 0; k < bg_.size(); ++k) {
            const Str n = std::to_string(k + 1);
            Bg& b = *bg_[k];
            if (!b.t.joinable() || (st.args.size() > 1 && !Has(st.args, n.c_str())))
                continue;
            if (!WaitUntil([&] { return b.done.load(); }))
                return "background step " + n + " still running";
            b.t.join();
            why += b.why.empty() ? "" : "background step " + n + ": " + b.why + "; ";
        }
        return why;
    }

    static bool WaitUntil(const std::function<bool()>& cond) {
        return testutil::WaitUntil(cond, kBound);
    }
    static bool Sleeping(long tid) {
        std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
        Str line;
        const size_t paren = std::getline(stat, line) ? line.rfind(')') : Str::npos;
        return tid != 0 && paren != Str::npos && paren + 2 < line.size() && line[paren + 2] == 'S';
    }

    // Starts the plant at the first step that is no setup; always on the
    // test's own thread.
    bool Started() {
        if (!started_) {
            started_ = true;
            p_->Start(o_);
            if (o_.ticked && gGate.load() == 0 && !::testing::Test::HasFatalFailure())
                p_->Link().OnTick(); // enumeration and connection
        }
        return !::testing::Test::HasFatalFailure();
    }

    Str Soon(const Step& st) {
        Str why;
        if (o_.ticked) {
            for (int i = 0; i < 8; ++i, p_->Tick())
                if ((why = Do(st)).empty())
                    return why;
            return why + " (after 8 ticks)";
        }
        WaitUntil([&] { return (why = Do(st)).empty(); });
        return why.empty() ? why : why + " (still after " + std::to_string(kBound) + " ms)";
    }

    Str Arg(const Step& st, size_t i) const {
        return i < st.args.size() ? st.args[i].s : "";
    }
    // The token after a keyword, or "".
    static Str After(const std::vector<Tok>& toks, const char* key) {
        for (size_t i = 0; i + 1 < toks.size(); ++i)
            if (!toks[i].quoted && toks[i].s == key)
                return toks[i + 1].s;
        return "";
    }
    static bool Has(const std::vector<Tok>& toks, const char* key) {
        return std::any_of(toks.begin(), toks.end(), [key](const Tok& t) { return t.s == key; });
    }
    static Str Joined(const std::vector<Tok>& toks, bool numbers) {
        Str out;
        for (const Tok& t : toks)
            out += (out.empty() ? "" : " ") + (numbers ? Show(Num(t.s)) : t.s);
        return out;
    }

    // A ticked plant's table is not started: the host cannot resolve names.
    NimbroDevice Dev(const Str& block) {
        return o_.ticked ? p_->Block(block) : p_->Resolve(block);
    }
    // [BLOCK:]ITEM, the block by default the item's letters; "" when it resolves.
    Str Item(const Str& name, NimbroDevice* dev, Str* item) {
        const size_t colon = name.find(':');
        Str block = name.substr(0, colon);
        *item = colon == Str::npos ? name : name.substr(colon + 1);
        if (colon == Str::npos) {
            block = block.substr(
                0, block.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
            std::transform(block.begin(), block.end(), block.begin(), ::toupper);
        }
        return (*dev = Dev(block)) ? "" : "no block " + block;
    }

    Str Setup(const Step& st, const Str& verb) {
        if (started_)
            return verb + " after the plant started";
        if (verb == "define")
            o_.lines.push_back(st.rest);
        else if (verb == "unlist")
            o_.unlisted.push_back(Arg(st, 1));
        else if (verb == "scan")
            o_.scan = U(Arg(st, 1));
        else if (verb != "item")
            (verb == "gated" ? o_.gated : verb == "ticked" ? o_.ticked : o_.testClock) = true;
        else
            o_.devices += "[Link0.Plc0.Dev" + std::to_string(devices_++) +
                          "]\nDeviceName=" + Arg(st, 1) + "\nName=" + Arg(st, 2) +
                          "\nStartAddress=" + Arg(st, 3) + "\n" +
                          Joined({st.args.begin() + 4, st.args.end()}, false) + "\n";
        std::replace(o_.devices.begin(), o_.devices.end(), ' ', '\n');
        return "";
    }

    Str Memory(const Step& st, const Str& verb) {
        std::vector<uint32_t> words;
        Str bytes = Arg(st, 3) + '\0' + '\0';
        for (size_t i = 0; verb == "text" && i + 1 < bytes.size(); i += 2)
            words.push_back(static_cast<uint32_t>(static_cast<uint8_t>(bytes[i])) << 8 |
                            static_cast<uint8_t>(bytes[i + 1]));
        for (size_t i = 3; verb == "set" && i < st.args.size(); ++i)
            words.push_back(U(st.args[i].s));
        const Str dev = Arg(st, 1), where = st.where;
        const uint32_t at = U(Arg(st, 2));
        auto set = [dev, at, words, where](idecsim::Simulator& sim) {
            for (uint32_t i = 0; i < words.size(); ++i)
                EXPECT_TRUE(sim.SetValue(dev, at + i, words[i])) << where << ": " << dev << at + i;
        };
        if (started_)
            set(p_->sim);
        else
            o_.memory.push_back(set);
        return "";
    }

    Str Read(const Step& st, NimbroDevice dev, const Str& item) {
        const bool typed = st.args.size() > 2 && st.args[2].s != "cap";
        const int32_t type = typed ? TypeOf(Arg(st, 2)) : TypeU32;
        const Str capText = After(st.args, "cap");
        const int32_t cap = !capText.empty()   ? static_cast<int32_t>(Num(capText))
                            : type == TypeText ? 1100
                                               : 1;
        std::vector<uint8_t> buf(static_cast<size_t>(std::max(cap, 1)) * 8 + 64, kCanary);
        int32_t t = type, count = -1;
        const int32_t r =
            p_->driver->ReadItem(dev, N(testutil::W(item)), &t, buf.data(), cap, &count, 0);
        Str why = Differs("result", ResultName(r), st.want.at(0).s);
        const auto untouched = [&buf](size_t from) {
            for (size_t i = from; i < buf.size(); ++i)
                if (buf[i] != kCanary)
                    return "byte " + std::to_string(i) + " of the host's buffer written";
            return Str();
        };
        if (!why.empty() || r != ResultOk)
            return !why.empty()               ? why
                   : count != -1 || t != type ? "count or type changed"
                                              : untouched(0);
        const TypeRow row = t >= 0 && t <= TypeText ? kTypes[t] : kTypes[TypeU32];
        size_t used = !After(st.want, "size").empty() ? U(After(st.want, "size")) : row.size;
        Str got;
        if (t == TypeText) {
            testutil::WString units;
            used = static_cast<size_t>(cap) * 2;
            for (size_t i = 0; i + 1 < used && (buf[i] | buf[i + 1]) != 0; i += 2)
                units += static_cast<WChar>(buf[i] | buf[i + 1] << 8);
            got = "\"" + testutil::Narrow(units.c_str()) + "\"";
        } else {
            got = Show(Decode(buf.data(), used, row.kind));
        }
        const Tok value = st.want.size() > 1 ? st.want[1] : Tok{"count", false};
        const bool valued = value.quoted || (value.s != "count" && value.s != "as" &&
                                             value.s != "size" && value.s != "untouched");
        const Str counted = After(st.want, "count");
        if (valued)
            why = Differs("value", got, value.quoted ? "\"" + value.s + "\"" : Show(Num(value.s)));
        if (why.empty() && (!counted.empty() || t != TypeText))
            why = Differs("count", std::to_string(count), counted.empty() ? "1" : counted);
        if (why.empty() && !After(st.want, "as").empty())
            why = Differs("type", TypeName(t), After(st.want, "as"));
        return !why.empty() ? why + " (read " + got + ")"
                            : untouched(Has(st.want, "untouched") ? 0 : used);
    }

    Str Write(const Step& st, NimbroDevice dev, const Str& item) {
        const Str len = After(st.args, "len");
        const Tok value = st.args.size() > 3 ? st.args[3] : Tok{"", true};
        int32_t count = -1;
        const int32_t r = p_->Write(dev, item, TypeOf(Arg(st, 2)), value.quoted ? 0 : Num(value.s),
                                    value.quoted ? value.s : "", &count,
                                    len.empty() ? -1 : static_cast<int32_t>(Num(len)));
        const Str c = After(st.want, "count");
        const Str why = Differs("result", ResultName(r), st.want.at(0).s);
        return !why.empty() || c.empty() ? why : Differs("count", std::to_string(count), c);
    }

    Str Register(const Step& st, NimbroDevice dev, const Str& item) {
        CPlcDevice* block = static_cast<CPlcDevice*>(dev);
        const uint32_t before = block->ItemCount();
        int32_t type = -1, size = -1, access = -1;
        const bool all = st.want.size() > 1;
        const int32_t r =
            all ? p_->Register(dev, item, &type, &size, &access) : p_->Register(dev, item);
        Str why = Differs("answer", std::to_string(r), st.want.at(0).s);
        if (why.empty() && r == 0 && block->ItemCount() != before)
            why = "a refused registration made an item";
        if (why.empty() && all)
            why =
                Differs("type, size, access",
                        TypeName(type) + " " + std::to_string(size) + " " + std::to_string(access),
                        Joined({st.want.begin() + 1, st.want.end()}, false));
        return why;
    }

    Str Host(const Step& st, const Str& verb) {
        NimbroDevice dev = nullptr;
        Str item;
        for (size_t i = 1; i < (verb == "touch" ? st.args.size() : 2); ++i) {
            const Str why = Item(Arg(st, i), &dev, &item);
            if (!why.empty() || verb != "touch")
                return why.empty() ? Call(st, verb, dev, item) : why;
            int32_t type = TypeText, count = -1;
            WChar buf[1100];
            p_->driver->ReadItem(dev, N(testutil::W(item)), &type, buf, 1100, &count, 0);
        }
        return "";
    }

    Str Call(const Step& st, const Str& verb, NimbroDevice dev, const Str& item) {
        if (verb == "read")
            return Read(st, dev, item);
        if (verb == "write")
            return Write(st, dev, item);
        if (verb == "register")
            return Register(st, dev, item);
        Step refused = st;
        refused.want = {{"0", false}};
        Str why = Register(refused, dev, item);
        refused.want = {{"failed", false}};
        why += why.empty() ? Read(refused, dev, item) : "";
        refused.args = {st.args[0], st.args[1], {"u16", false}, {"1", false}};
        return why.empty() ? Write(refused, dev, item) : why;
    }

    Str Do(const Step& st) {
        const Str verb = Arg(st, 0), a1 = Arg(st, 1), want = Joined(st.want, false);
        for (const char* setup :
             {"define", "item", "unlist", "gated", "testclock", "ticked", "scan"})
            if (verb == setup)
                return Setup(st, verb);
        if (verb == "set" || verb == "text")
            return Memory(st, verb);
        if (verb == "gate") { // the enumeration gate, and with it the gated channel
            o_.gated = true;
            gGate.store(static_cast<int>(U(a1)));
            return "";
        }
        if (!Started())
            return "the plant did not start";
        idecsim::Simulator& sim = p_->sim;
        for (const char* call : {"read", "write", "register", "touch", "bad"})
            if (verb == call)
                return Host(st, verb);
        if (verb == "status") {
            NimbroDevice dev = Dev(a1);
            uint32_t code = 0xC0DEC0DE;
            int32_t type = TypeDefault, count = -1;
            if (!dev || p_->driver->ReadItem(dev, N(testutil::W("Status")), &type, &code, 1, &count,
                                             0) != ResultOk)
                return "no Status of " + a1;
            const Str text =
                st.want.size() > 1 ? " \"" + p_->ReadText(dev, "Status_str") + "\"" : "";
            return Differs("Status", std::to_string(code) + text,
                           st.want.at(0).s +
                               (st.want.size() > 1 ? " \"" + st.want[1].s + "\"" : ""));
        }
        if (verb == "list") {
            const size_t before = p_->ListQueries();
            const Str listed = p_->List(st.args.size() > 1 ? N(testutil::W(a1)) : nullptr);
            // No name: the link enumerates again before the answer.
            if (st.args.size() == 1 && p_->ListQueries() <= before)
                return "no list query before the answer";
            return Differs("listed", listed, want);
        }
        if (verb == "mem") {
            Str got;
            for (uint32_t i = 0; i < st.want.size(); ++i)
                got += (i ? " " : "") + Show(sim.Value(a1, U(Arg(st, 2)) + i));
            return Differs("memory", got, Joined(st.want, true));
        }
        if (verb == "fault" || verb == "fired") {
            idecsim::FaultRule rule;
            if (!idecsim::FaultFromName(a1, &rule.kind))
                return "no fault " + a1;
            if (verb == "fired")
                return Differs("fired", std::to_string(sim.Fired(rule.kind)), want);
            for (size_t i = 2; i < st.args.size(); ++i) {
                const Str& kv = st.args[i].s;
                const Str key = kv.substr(0, kv.find('=')), v = kv.substr(kv.find('=') + 1);
                if (key == "command" || key == "letter")
                    (key == "command" ? rule.command : rule.letter) = v[0];
                else if (key == "count")
                    rule.count = U(v);
                else if (key == "skip")
                    rule.skip = U(v);
                else if (key == "code")
                    rule.code = static_cast<int>(U(v));
                else
                    return "no fault setting " + key;
            }
            sim.AddFault(rule);
            return "";
        }
        if (verb == "join")
            return Join(st);
        if (verb == "pending") { // a lower bound: every unjoined step still runs after MS
            plat::SleepMs(U(a1));
            for (size_t k = 0; k < bg_.size(); ++k)
                if (bg_[k]->t.joinable() && bg_[k]->done.load())
                    return "background step " + std::to_string(k + 1) + " ended";
            return "";
        }
        if (verb == "sleeping") { // the last background step sleeps: in a wait
#if !defined(__linux__)
            [] { GTEST_SKIP() << "needs the thread states of /proc"; }();
            return "";
#endif
            return bg_.empty() || !WaitUntil([&] { return Sleeping(bg_.back()->tid); })
                       ? "the background step never slept"
                       : "";
        }
        if (verb == "held") // waits: a ticked plant's "soon" would tick into the held pass
            return WaitUntil([&] { return gGateEntered && p_->Link().FirstEnumerationRunning(); })
                       ? ""
                       : "no enumeration held";
        if (verb == "running" || verb == "enumerated" || verb == "queries")
            return Differs(verb.c_str(),
                           std::to_string(verb == "queries"   ? p_->ListQueries()
                                          : verb == "running" ? p_->Link().FirstEnumerationRunning()
                                                              : p_->Link().EnumerationDone()),
                           want);
        if (verb == "clearfaults")
            sim.ClearFaults();
        else if (verb == "stop")
            sim.Stop();
        else if (verb == "restart")
            return sim.Start(p_->port) == p_->port ? "" : "the simulator did not start again";
        else if (verb == "clock")
            gClock.fetch_add(U(a1));
        else if (verb == "pause")
            return p_->PauseScans() ? "" : "the scans did not pause";
        else if (verb == "resume")
            gScanPaused.store(false);
        else if (verb == "order")
            p_->driver->SetWordOrder(static_cast<int32_t>(U(a1)));
        else if (verb == "tick")
            for (uint32_t i = 0; i < (a1.empty() ? 1 : U(a1)); ++i)
                p_->Tick();
        else if (verb == "interval")
            p_->table.SetReadInterval(U(a1));
        else if (verb == "release")
            gGateRelease.store(true);
        else if (verb == "stoplink")
            p_->Link().StopLink();
        else if (verb == "unlock")
            gWritesHeld.store(false);
        else if (verb == "enumerate") {
            const uint32_t ticket = p_->Link().RequestEnumeration();
            if (!WaitUntil([&] { return p_->Link().EnumeratedSince(ticket); }))
                return "no enumeration";
        } else if (verb == "addresses") {
            std::vector<uint32_t> list;
            for (size_t i = 2; i < st.args.size(); ++i)
                list.push_back(U(st.args[i].s));
            sim.SetAddressList(a1[0], list);
        } else if (verb == "frames" && a1 == "clear") {
            sim.ClearFrameLog();
        } else if (verb == "frames" || verb == "frame" || verb == "refusals") {
            const std::vector<idecsim::Exchange> log = sim.FrameLog();
            size_t refused = 0;
            for (const idecsim::Exchange& e : log)
                refused += e.reply.size() > 3 && e.reply[3] == '2';
            if (verb != "frame")
                return Differs(verb.c_str(),
                               std::to_string(verb == "frames" ? log.size() : refused), want);
            if (U(a1) < 1 || U(a1) > log.size())
                return "no frame " + a1;
            const Str& request = log[U(a1) - 1].request;
            return request.find(want) == Str::npos ? "frame " + idecsim::Printable(request) : "";
        } else if (verb == "lock" && a1 == "link") {
            return p_->HoldWrites() ? "" : "the write passes did not stop";
        } else {
            return Block(verb, a1, want);
        }
        return "";
    }

    Str Block(const Str& verb, const Str& a1, const Str& want) {
        CPlcDevice* block = p_->Block(a1);
        if (!block)
            return "unknown step, or no block " + a1;
        // Host calls take the driver's lock before a block's: the test holds
        // the block's writes back instead of its lock.
        if (verb == "lock")
            return p_->HoldWrites() ? "" : "the write passes did not stop";
        else if (verb == "rebuild")
            block->RebuildWindow(nullptr, false);
        else if (verb == "items")
            return Differs("items", std::to_string(block->ItemCount()), want);
        else if (verb == "session")
            return Differs("session", std::to_string(block->LinkSession()), want);
        else if (verb == "blockstatus")
            return Differs("block status", std::to_string(block->deviceStatus.load()), want);
        else if (verb == "window" || verb == "staged") {
            LockGuard hold(&block->Lock());
            const model::ReadWindow& w = block->Window();
            uint32_t staged = 0;
            for (uint32_t b = 0; w.Allocated() && b < w.units * block->UnitSize(); ++b)
                staged += w.writeMask[b] != 0;
            return verb == "window" ? Differs("window", w.Allocated() ? "built" : "none", want)
                                    : Differs("staged bytes", std::to_string(staged), want);
        } else
            return "unknown step " + verb;
        return "";
    }

    const Scenario& s_;
    PlantOptions o_;
    std::unique_ptr<Plant> p_;
    std::vector<std::unique_ptr<Bg>> bg_;
    bool started_ = false;
    int devices_ = 0;
};

class Scenarios : public ::testing::TestWithParam<Scenario> {};

TEST_P(Scenarios, Run) {
    Runner(GetParam()).Run();
}

INSTANTIATE_TEST_SUITE_P(File, Scenarios, ::testing::ValuesIn(Load()),
                         [](const ::testing::TestParamInfo<Scenario>& info) {
                             return info.param.name;
                         });

} // namespace
