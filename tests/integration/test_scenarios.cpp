// The scenario files (scenarios/*.scn): one test per scenario, its steps run
// on a plant (plant.h). A file holds scenarios, each from a line
// "scenario Name" to the next; '#' lines and blank lines are skipped. A step
// is a line "[soon|bg] verb args [-> expected]"; "soon" repeats it until it
// holds (ticking a ticked plant between tries), within a bound; "bg" runs it
// on a thread of its own (numbered from 1) until a "join". Numbers take C's
// forms (7, 0x1F, -3.7, 1e30), texts quotes with \xNN escapes. The verbs are
// the table in Steps():
//   setup, before the plant starts at the first other step:
//     define LINE (a definition line replacing its device's), item BLOCK NAME
//     ADDR K=V... (a configured item), unlist BLOCK, gated, testclock,
//     ticked (no timer: "tick" turns the link), scan MS, plan Merge|Exact
//   any time: set DEV ADDR V..., text DEV ADDR "TEXT" (two bytes a word, high
//     first, NUL after), gate 0|1|2 (the enumeration gate of plant.h)
//   host calls on [BLOCK:]ITEM, the block by default the item's letters, each
//   of several names in turn (they run to the first type, number or keyword):
//     touch ITEM... (reads that only put items into use)
//     read ITEM [TYPE] [cap N] -> RESULT [VALUE] [count N] [as TYPE] [size N] [untouched]
//     write ITEM TYPE VALUE [len N] -> RESULT [count N]
//     register ITEM -> 0|1 [TYPE SIZE ACCESS]; bad ITEM (refused by all three)
//     list [NAME|""] -> TEXT
//   A failed read leaves the host's buffer, count and type as they were, a
//   refused registration the block's items; a good number read has count 1
//   and nothing past its type's bytes written, a text nothing past the cap.
//   serial links: serial K=V... (setup: the link's line keys), holdport and
//     freeport (another program has the port), station N (the simulator's),
//     linkmessage -> TEXT, only pty|bridge (the rest runs only where the
//     simulator's line is a pseudo-terminal, or the relay's null-modem pair
//     of COM ports: Plant::Bridged; elsewhere the scenario is skipped)
//   the plant: the rest; a verb with "-> N" compares a count or state;
//     "reads -> ADDRESS:BYTES..." the block reads since "frames clear".
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#if defined(__linux__)
#include <sys/syscall.h>
#include <unistd.h>
#endif

#include "plant.h"
#include "platform/serial.h"
#include "platform/socket.h"
#include "platform/sync.h"
#include "support/LockGuard.h"

namespace {

using namespace itest;
using testutil::W;
typedef std::string Str;

struct Tok {
    Str s;
    bool quoted;
};

struct Step {
    Str file, text;
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
                s += line[i];
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
            Step st{path.string(), text, n, false, false, {}, {}};
            const bool prefixed = (toks[0].s == "soon" || toks[0].s == "bg") && toks.size() > 1;
            (toks[0].s == "soon" ? st.soon : st.bg) = prefixed;
            const auto arrow = std::find_if(toks.begin(), toks.end(),
                                            [](const Tok& t) { return !t.quoted && t.s == "->"; });
            st.args.assign(toks.begin() + prefixed, arrow);
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
Str Show(double v) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.17g", v);
    return buf;
}
Str Differs(const Str& what, const Str& got, const Str& want) {
    return got == want ? "" : what + " " + got + ", expected " + want;
}
// The token after a keyword, or "".
Str After(const std::vector<Tok>& toks, const char* key) {
    for (size_t i = 0; i + 1 < toks.size(); ++i)
        if (!toks[i].quoted && toks[i].s == key)
            return toks[i + 1].s;
    return "";
}
bool Has(const std::vector<Tok>& toks, const char* key) {
    return std::any_of(toks.begin(), toks.end(), [key](const Tok& t) { return t.s == key; });
}
Str Joined(const std::vector<Tok>& toks, bool numbers = false) {
    Str out;
    for (const Tok& t : toks)
        out += (out.empty() ? "" : " ") + (numbers ? Show(Num(t.s)) : t.s);
    return out;
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

bool Keyword(const Str& s) {
    return std::isdigit(static_cast<unsigned char>(s[0])) || s == "cap" || s == "len" ||
           std::any_of(std::begin(kTypes), std::end(kTypes),
                       [&s](const TypeRow& t) { return s == t.name; });
}
int32_t TypeOf(const Str& s) {
    for (int32_t t = 0; t <= TypeText; ++t)
        if (s == kTypes[t].name)
            return t;
    return static_cast<int32_t>(Num(s));
}
Str TypeName(int32_t t) {
    return t >= 0 && t <= TypeText ? kTypes[t].name : std::to_string(t);
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

constexpr uint8_t kCanary = 0x7E;

bool Wait(const std::function<bool()>& cond) {
    return testutil::WaitUntil(cond, kBound);
}
Str A(const Step& st, size_t i) {
    return i < st.args.size() ? st.args[i].s : "";
}
Str Check(bool ok, const char* why) {
    return ok ? "" : why;
}

// Connects wait at a gate the test opens ("hang"): a PLC whose connect
// never ends.
std::atomic<bool> gConnectOpen{true};
std::atomic<int> gConnects{0};
int (*gRealConnect)(plat::SocketHandle, uint32_t, uint16_t) = nullptr;
int GatedConnect(plat::SocketHandle s, uint32_t addr, uint16_t port) {
    gConnects.fetch_add(1);
    while (!gConnectOpen.load())
        std::this_thread::yield();
    return gRealConnect(s, addr, port);
}

struct Runner;
struct X;
typedef Str (*StepFn)(X&);
enum Phase { kSetup, kAny, kStarted, kBlock }; // kBlock: started, and on a block
const std::map<Str, std::pair<Phase, StepFn>>& Steps();

struct Runner {
    // A step run on a thread of its own ("bg"), joined by a later "join".
    struct Bg {
        std::thread t;
        std::atomic<bool> done{false};
        std::atomic<long> tid{0};
        Str why;
    };

    explicit Runner(const Scenario& s) : s(s) {}
    ~Runner() {
        gGateRelease.store(true); // what a failed step left held
        gWritesHeld.store(false);
        Unhang();
        if (held != plat::kInvalidSerial)
            plat::SerialClose(held);
        for (auto& b : bg)
            if (b->t.joinable())
                b->t.join();
    }

    void Run() {
        for (const Step& st : s.steps) {
            if (st.bg && Started()) {
                bg.emplace_back(new Bg);
                Bg& b = *bg.back();
                b.t = std::thread([this, &st, &b] {
#if defined(__linux__)
                    b.tid.store(static_cast<long>(syscall(SYS_gettid)));
#endif
                    b.why = Do(st);
                    b.done.store(true);
                });
                continue;
            }
            const Str why = st.bg ? "" : st.soon ? Soon(st) : Do(st);
            if (!why.empty())
                ADD_FAILURE_AT(st.file.c_str(), st.line) << st.text << "\n  " << why;
            if (!why.empty() || ::testing::Test::HasFailure() || ::testing::Test::IsSkipped())
                return;
        }
    }

    Str Do(const Step& st);

    // Starts the plant at the first step that is no setup; always on the
    // test's own thread.
    bool Started() {
        if (!started) {
            started = true;
            p->Start(o);
            if (o.ticked && gGate.load() == 0 && !::testing::Test::HasFatalFailure())
                p->Link().OnTick(); // enumeration and connection
        }
        return !::testing::Test::HasFatalFailure();
    }

    Str Soon(const Step& st) {
        Str why;
        if (o.ticked) {
            for (int i = 0; i < 8; ++i, p->Tick())
                if ((why = Do(st)).empty())
                    return why;
            return why + " (after 8 ticks)";
        }
        Wait([&] { return (why = Do(st)).empty(); });
        return why.empty() ? why : why + " (still after " + std::to_string(kBound) + " ms)";
    }

    // Joins the background steps numbered in st (from 1), or all of them.
    Str Join(const Step& st) {
        Str why;
        for (size_t k = 0; k < bg.size(); ++k) {
            const Str n = std::to_string(k + 1);
            Bg& b = *bg[k];
            if (!b.t.joinable() || (st.args.size() > 1 && !Has(st.args, n.c_str())))
                continue;
            if (!Wait([&] { return b.done.load(); }))
                return "background step " + n + " still running";
            b.t.join();
            why += b.why.empty() ? "" : "background step " + n + ": " + b.why + "; ";
        }
        return why;
    }
    // The first unjoined background step that has ended, or "".
    Str Ended() const {
        for (size_t k = 0; k < bg.size(); ++k)
            if (bg[k]->t.joinable() && bg[k]->done.load())
                return "background step " + std::to_string(k + 1) + " ended";
        return "";
    }
    // The last background step sleeps, so is in a wait.
    Str Sleeping() {
#if !defined(__linux__)
        [] { GTEST_SKIP() << "needs the thread states of /proc"; }();
        return "";
#endif
        const auto sleeps = [](long tid) {
            std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
            Str line;
            const size_t paren = std::getline(stat, line) ? line.rfind(')') : Str::npos;
            return tid != 0 && paren != Str::npos && paren + 2 < line.size() &&
                   line[paren + 2] == 'S';
        };
        return Check(!bg.empty() && Wait([&] { return sleeps(bg.back()->tid); }),
                     "the background step never slept");
    }
    // The socket table is plain data: it changes only while no other thread
    // (the simulator's included) uses sockets. A thread of its own ticks the
    // link into a connect that hangs.
    Str Hang() {
        saved = plat::SocketOpsTable();
        gRealConnect = saved.connect;
        gConnects.store(0);
        gConnectOpen.store(false);
        plat::SocketOpsTable().connect = &GatedConnect;
        ticker = std::thread([this] {
            while (gConnects.load() == 0 && !gConnectOpen.load())
                p->Tick();
        });
        return Check(Wait([] { return gConnects.load() > 0; }), "no connect");
    }
    Str Unhang() {
        gConnectOpen.store(true);
        if (!ticker.joinable())
            return "";
        ticker.join();
        plat::SocketOpsTable() = saved;
        return "";
    }
    Str Tick(uint32_t n) {
        for (uint32_t i = 0; i < n; ++i)
            p->Tick();
        return "";
    }
    Str Enumerate() {
        const uint32_t ticket = p->Link().RequestEnumeration();
        return Check(Wait([&] { return p->Link().EnumeratedSince(ticket); }), "no enumeration");
    }
    Str Addresses(const Step& st) {
        std::vector<uint32_t> list;
        for (size_t i = 2; i < st.args.size(); ++i)
            list.push_back(U(st.args[i].s));
        return Check(p->sim.SetAddressList(A(st, 1)[0], list), "no such letter");
    }
    Str Mem(const Step& st) {
        Str got;
        for (uint32_t i = 0; i < st.want.size(); ++i)
            got += (i ? " " : "") + Show(p->sim.Value(A(st, 1), U(A(st, 2)) + i));
        return Differs("memory", got, Joined(st.want, true));
    }

    // A ticked plant's table is not started: the host cannot resolve names.
    NimbroDevice Dev(const Str& block) {
        return o.ticked ? p->Block(block) : p->Resolve(block);
    }
    CPlcDevice* Block(const Step& st) {
        return p->Block(A(st, 1));
    }

    Str Setup(const Step& st) {
        if (A(st, 0) == "define")
            o.lines.push_back(st.text.substr(st.text.find("define") + 7));
        else
            o.devices += "[Link0.Plc0.Dev" + std::to_string(devices++) +
                         "]\nDeviceName=" + A(st, 1) + "\nName=" + A(st, 2) +
                         "\nStartAddress=" + A(st, 3) + "\n" +
                         Joined({st.args.begin() + 4, st.args.end()}) + "\n";
        std::replace(o.devices.begin(), o.devices.end(), ' ', '\n');
        return "";
    }

    // "serial K=V...": a serial link with these [Link0] keys; the simulator's
    // line runs at the BaudRate given, when it is one.
    Str Serial(const Step& st) {
        o.serial = true;
        for (size_t i = 1; i < st.args.size(); ++i) {
            const Str& kv = st.args[i].s;
            o.line += kv + "\n";
            const uint32_t baud = U(kv.substr(kv.find('=') + 1));
            if (kv.rfind("BaudRate=", 0) == 0 && plat::IsSerialSpeed(baud))
                o.simLine.baud = baud;
        }
        return "";
    }

    // "only pty|bridge": skips the rest where the line is of the other kind.
    Str Only(const Str& kind) {
        if (kind != "pty" && kind != "bridge")
            return "no line kind " + kind;
        if ((kind == "bridge") != p->Bridged())
            [&] { GTEST_SKIP() << "for a " << kind << " line only"; }();
        return "";
    }

    // Another program takes the link's port, or lets it go.
    Str HoldPort(bool hold) {
        if (!hold) {
            plat::SerialClose(held);
            held = plat::kInvalidSerial;
            return "";
        }
        int error = 0;
        held = plat::SerialOpen(p->PortName().c_str(), plat::SerialSettings(), &error);
        return held != plat::kInvalidSerial ? Str()
                                            : "the port is not free: " + std::to_string(error);
    }

    Str Memory(const Step& st) {
        std::vector<uint32_t> words;
        const Str bytes = A(st, 3) + '\0' + '\0';
        for (size_t i = 0; A(st, 0) == "text" && i + 1 < bytes.size(); i += 2)
            words.push_back(static_cast<uint32_t>(static_cast<uint8_t>(bytes[i])) << 8 |
                            static_cast<uint8_t>(bytes[i + 1]));
        for (size_t i = 3; A(st, 0) == "set" && i < st.args.size(); ++i)
            words.push_back(U(st.args[i].s));
        const Str dev = A(st, 1), where = st.text;
        const uint32_t at = U(A(st, 2));
        auto set = [dev, at, words, where](idecsim::Simulator& sim) {
            for (uint32_t i = 0; i < words.size(); ++i)
                EXPECT_TRUE(sim.SetValue(dev, at + i, words[i])) << where << ": " << dev << at + i;
        };
        started ? set(p->sim) : o.memory.push_back(set);
        return "";
    }

    // Host calls: resolves [BLOCK:]ITEM of each name, then calls f.
    // The names run to the first type, number or keyword; each call sees
    // the step with its own name only.
    Str OnItems(const Step& st, Str (Runner::*f)(const Step&, NimbroDevice, const Str&)) {
        size_t end = 1;
        while (end < st.args.size() && (st.args[end].quoted || !Keyword(st.args[end].s)))
            ++end;
        for (size_t i = 1; i < end; ++i) {
            Step one = st;
            one.args.erase(one.args.begin() + 2, one.args.begin() + static_cast<long>(end));
            const Str name = one.args[1].s = A(st, i);
            const size_t colon = name.find(':');
            Str block = name.substr(0, colon);
            const Str item = colon == Str::npos ? name : name.substr(colon + 1);
            if (colon == Str::npos) {
                block = block.substr(0, block.find_first_of("0123456789."));
                std::transform(block.begin(), block.end(), block.begin(), ::toupper);
            }
            const NimbroDevice dev = Dev(block);
            const Str why = dev ? (this->*f)(one, dev, item) : "no block " + block;
            if (!why.empty())
                return name + ": " + why;
        }
        return "";
    }

    Str Touch(const Step&, NimbroDevice dev, const Str& item) {
        p->ReadText(dev, item);
        return "";
    }

    Str Read(const Step& st, NimbroDevice dev, const Str& item) {
        const bool typed = st.args.size() > 2 && st.args[2].s != "cap";
        const int32_t type = typed ? TypeOf(A(st, 2)) : TypeU32;
        const Str capText = After(st.args, "cap");
        const int32_t cap = !capText.empty()   ? static_cast<int32_t>(Num(capText))
                            : type == TypeText ? 1100
                                               : 1;
        std::vector<uint8_t> buf(static_cast<size_t>(std::max(cap, 1)) * 8 + 64, kCanary);
        int32_t t = type, count = -1;
        const int32_t r = p->Read(dev, item, &t, buf.data(), cap, &count);
        Str why =
            Differs("result", r >= 0 && r <= ResultNotReady ? kResults[r] : "?", st.want.at(0).s);
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
        const Str len = After(st.args, "len"), c = After(st.want, "count");
        const Tok value = st.args.size() > 3 ? st.args[3] : Tok{"", true};
        int32_t count = -1;
        const int32_t r = p->Write(dev, item, TypeOf(A(st, 2)), value.quoted ? 0 : Num(value.s),
                                   value.quoted ? value.s : "", &count,
                                   len.empty() ? -1 : static_cast<int32_t>(Num(len)));
        const Str why =
            Differs("result", r >= 0 && r <= ResultNotReady ? kResults[r] : "?", st.want.at(0).s);
        return !why.empty() || c.empty() ? why : Differs("count", std::to_string(count), c);
    }

    Str Register(const Step& st, NimbroDevice dev, const Str& item) {
        CPlcDevice* block = static_cast<CPlcDevice*>(dev);
        const uint32_t before = block->ItemCount();
        int32_t type = -1, size = -1, access = -1;
        const bool all = st.want.size() > 1;
        const int32_t r =
            all ? p->Register(dev, item, &type, &size, &access) : p->Register(dev, item);
        Str why = Differs("answer", std::to_string(r), st.want.at(0).s);
        if (why.empty() && r == 0 && block->ItemCount() != before)
            why = "a refused registration made an item";
        if (why.empty() && all)
            why =
                Differs("type, size, access",
                        TypeName(type) + " " + std::to_string(size) + " " + std::to_string(access),
                        Joined({st.want.begin() + 1, st.want.end()}));
        return why;
    }

    // A name refused by registration, read and write.
    Str Bad(const Step& st, NimbroDevice dev, const Str& item) {
        Step x = st;
        x.want = {{"0", false}};
        Str why = Register(x, dev, item);
        x.want = {{"failed", false}};
        why += why.empty() ? Read(x, dev, item) : "";
        x.args = {st.args[0], st.args[1], {"u16", false}, {"1", false}};
        return why.empty() ? Write(x, dev, item) : why;
    }

    Str Fault(const Step& st) {
        idecsim::FaultRule rule;
        if (!idecsim::FaultFromName(A(st, 1), &rule.kind))
            return "no fault " + A(st, 1);
        if (A(st, 0) == "fired")
            return Differs("fired", std::to_string(p->sim.Fired(rule.kind)), Joined(st.want));
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
        p->sim.AddFault(rule);
        return "";
    }

    Str Frames(const Step& st) {
        const std::vector<idecsim::Exchange> log = p->sim.FrameLog();
        size_t refused = 0;
        for (const idecsim::Exchange& e : log)
            refused += e.reply.size() > 3 && e.reply[3] == '2';
        if (A(st, 0) == "frames" && A(st, 1) == "clear")
            return p->sim.ClearFrameLog(), "";
        return Differs(A(st, 0), std::to_string(A(st, 0) == "frames" ? log.size() : refused),
                       Joined(st.want));
    }

    // The block reads in the log since it was cleared, as ADDRESS:BYTES
    // (the address in decimal; the frame has it in hexadecimal for A, l).
    Str Reads(const Step& st) {
        Str got;
        for (const idecsim::Exchange& e : p->sim.FrameLog()) {
            const Str& f = e.request;
            if (f.size() != 19 || f[4] != 'R')
                continue;
            const int base = f[5] == 'A' || f[5] == 'l' ? 16 : 10;
            got += (got.empty() ? "" : " ") +
                   std::to_string(std::stoul(f.substr(6, 8), nullptr, base)) + ":" +
                   std::to_string(std::stoul(f.substr(14, 2), nullptr, 16));
        }
        return Differs("reads", got, Joined(st.want));
    }

    // A block's staged bytes or its window, under the block's lock.
    Str Window(const Step& st) {
        CPlcDevice* block = Block(st);
        LockGuard hold(&block->Lock());
        const model::ReadWindow& w = block->Window();
        uint64_t staged = 0;
        for (uint32_t b = 0; w.Allocated() && b < w.units * block->UnitSize(); ++b)
            staged += w.writeMask[b] != 0;
        return Differs(A(st, 0),
                       A(st, 0) == "staged" ? std::to_string(staged)
                       : w.Allocated()      ? "built"
                                            : "none",
                       Joined(st.want));
    }

    // The reload of a configuration: the table's links go, a new one comes.
    // Had a step waiting on the link ended before the reload had the table,
    // it would have held the table (or ended without cause).
    Str Reload(const Step& st) {
        LockGuard hold(&p->table.Lock());
        const Str ended = Ended();
        p->table.RemoveAll();
        if (A(st, 0) == "reload") {
            auto* link = new CPlcDrvLink(&p->table);
            link->SetStationText("01");
            link->SetAddressText(Endpoint(p->port).c_str());
            link->SetChannelKind(idec::kChannelEthernet);
            link->InsertPlc(new CPlc(link));
            if (!p->table.InsertLink(link))
                return "the new link was not taken";
            p->table.StartAll();
        }
        return ended;
    }

    const Scenario& s;
    PlantOptions o;
    std::unique_ptr<Plant> p{new Plant};
    std::vector<std::unique_ptr<Bg>> bg;
    bool started = false;
    int devices = 0;
    std::thread ticker;
    plat::SocketOps saved{};
    plat::SerialHandle held = plat::kInvalidSerial;
};

// What a step's handler sees: the plant, the step and its first argument.
struct X {
    Runner& r;
    Plant& p;
    const Step& st;
    Str a1;
    uint32_t n() const { return U(a1); }
    CPlcDevice& b() const { return *p.Block(a1); }
    // The count or state the step compares with what it expects.
    Str Is(const Str& got) const { return Differs(st.args[0].s, got, Joined(st.want)); }
    Str Is(uint64_t got) const { return Is(std::to_string(got)); }
};

// Every verb: when it may run, and what it does.
const std::map<Str, std::pair<Phase, StepFn>>& Steps() {
    static const std::map<Str, std::pair<Phase, StepFn>> steps = {
        {"define", {kSetup, [](X& x) { return x.r.Setup(x.st); }}},
        {"item", {kSetup, [](X& x) { return x.r.Setup(x.st); }}},
        {"unlist", {kSetup, [](X& x) { return x.r.o.unlisted.push_back(x.a1), Str(); }}},
        {"scan", {kSetup, [](X& x) { return x.r.o.scan = x.n(), Str(); }}},
        {"plan", {kSetup, [](X& x) { return x.r.o.plan = x.a1, Str(); }}},
        {"gated", {kSetup, [](X& x) { return x.r.o.gated = true, Str(); }}},
        {"testclock", {kSetup, [](X& x) { return x.r.o.testClock = true, Str(); }}},
        {"ticked", {kSetup, [](X& x) { return x.r.o.ticked = true, Str(); }}},
        {"set", {kAny, [](X& x) { return x.r.Memory(x.st); }}},
        {"text", {kAny, [](X& x) { return x.r.Memory(x.st); }}},
        // The enumeration gate, and with it the gated channel.
        {"gate", {kAny, [](X& x) { return gGate.store(x.n()), x.r.o.gated = true, Str(); }}},
        {"touch", {kStarted, [](X& x) { return x.r.OnItems(x.st, &Runner::Touch); }}},
        {"read", {kStarted, [](X& x) { return x.r.OnItems(x.st, &Runner::Read); }}},
        {"write", {kStarted, [](X& x) { return x.r.OnItems(x.st, &Runner::Write); }}},
        {"register", {kStarted, [](X& x) { return x.r.OnItems(x.st, &Runner::Register); }}},
        {"bad", {kStarted, [](X& x) { return x.r.OnItems(x.st, &Runner::Bad); }}},
        {"list",
         {kStarted,
          [](X& x) { return x.Is(x.p.List(x.st.args.size() > 1 ? N(W(x.a1)) : nullptr)); }}},
        {"mem", {kStarted, [](X& x) { return x.r.Mem(x.st); }}},
        {"fault", {kStarted, [](X& x) { return x.r.Fault(x.st); }}},
        {"fired", {kStarted, [](X& x) { return x.r.Fault(x.st); }}},
        {"clearfaults", {kStarted, [](X& x) { return x.p.sim.ClearFaults(), Str(); }}},
        {"stop", {kStarted, [](X& x) { return x.p.sim.Stop(), Str(); }}},
        {"restart",
         {kStarted,
          [](X& x) {
              return Check(x.r.o.serial ? x.p.StartLine(x.r.o.simLine)
                                        : x.p.sim.Start(x.p.port) == x.p.port,
                           "not back");
          }}},
        {"serial", {kSetup, [](X& x) { return x.r.Serial(x.st); }}},
        {"holdport", {kStarted, [](X& x) { return x.r.HoldPort(true); }}},
        {"freeport", {kStarted, [](X& x) { return x.r.HoldPort(false); }}},
        {"station",
         {kStarted, [](X& x) { return x.p.sim.SetStation(static_cast<int>(x.n())), Str(); }}},
        {"only", {kStarted, [](X& x) { return x.r.Only(x.a1); }}},
        {"linkmessage",
         {kStarted,
          [](X& x) {
              WChar text[CErrorString::kCapacity] = {};
              x.p.Link().Status().GetText(text, CErrorString::kCapacity);
              return x.Is(testutil::Narrow(text));
          }}},
        {"clock", {kStarted, [](X& x) { return gClock.fetch_add(x.n()), Str(); }}},
        {"pause", {kStarted, [](X& x) { return Check(x.p.PauseScans(), "the scans go on"); }}},
        {"resume", {kStarted, [](X&) { return gScanPaused.store(false), Str(); }}},
        {"order", {kStarted, [](X& x) { return x.p.driver->SetWordOrder(x.n()), Str(); }}},
        {"tick", {kStarted, [](X& x) { return x.r.Tick(x.st.args.size() > 1 ? x.n() : 1); }}},
        {"interval", {kStarted, [](X& x) { return x.p.table.SetReadInterval(x.n()), Str(); }}},
        // Host calls take the driver's lock before a block's: the test holds
        // the write passes back instead of a block's lock.
        {"lock", {kStarted, [](X& x) { return Check(x.p.HoldWrites(), "the writes go on"); }}},
        {"unlock", {kStarted, [](X&) { return gWritesHeld.store(false), Str(); }}},
        {"rebuild", {kBlock, [](X& x) { return x.b().RebuildWindow(nullptr, false), Str(); }}},
        {"staged", {kBlock, [](X& x) { return x.r.Window(x.st); }}},
        {"window", {kBlock, [](X& x) { return x.r.Window(x.st); }}},
        {"items", {kBlock, [](X& x) { return x.Is(x.b().ItemCount()); }}},
        {"session", {kBlock, [](X& x) { return x.Is(x.b().LinkSession()); }}},
        {"blockstatus", {kBlock, [](X& x) { return x.Is(x.b().deviceStatus.load()); }}},
        {"frames", {kStarted, [](X& x) { return x.r.Frames(x.st); }}},
        {"refusals", {kStarted, [](X& x) { return x.r.Frames(x.st); }}},
        {"reads", {kStarted, [](X& x) { return x.r.Reads(x.st); }}},
        {"addresses", {kStarted, [](X& x) { return x.r.Addresses(x.st); }}},
        {"enumerate", {kStarted, [](X& x) { return x.r.Enumerate(); }}},
        {"release", {kStarted, [](X&) { return gGateRelease.store(true), Str(); }}},
        {"stoplink", {kStarted, [](X& x) { return x.p.Link().StopLink(), Str(); }}},
        {"reload", {kStarted, [](X& x) { return x.r.Reload(x.st); }}},
        {"unload", {kStarted, [](X& x) { return x.r.Reload(x.st); }}},
        // A wait: a ticked plant's "soon" would tick into the held pass.
        {"held",
         {kStarted,
          [](X&) { return Check(Wait([] { return gGateEntered.load(); }), "not held"); }}},
        {"running", {kStarted, [](X& x) { return x.Is(x.p.Link().FirstEnumerationRunning()); }}},
        {"enumerated", {kStarted, [](X& x) { return x.Is(x.p.Link().EnumerationDone()); }}},
        {"queries", {kStarted, [](X& x) { return x.Is(x.p.ListQueries()); }}},
        {"join", {kStarted, [](X& x) { return x.r.Join(x.st); }}},
        // A lower bound: every unjoined background step still runs after MS.
        {"pending", {kStarted, [](X& x) { return plat::SleepMs(x.n()), x.r.Ended(); }}},
        {"hang", {kStarted, [](X& x) { return x.r.Hang(); }}},
        {"unhang", {kStarted, [](X& x) { return x.r.Unhang(); }}},
        {"sleeping", {kStarted, [](X& x) { return x.r.Sleeping(); }}},
    };
    return steps;
}

Str Runner::Do(const Step& st) {
    const auto it = Steps().find(A(st, 0));
    if (it == Steps().end())
        return "unknown step";
    if (it->second.first == kSetup && started)
        return "a setup step after the plant started";
    if (it->second.first >= kStarted && !Started())
        return "the plant did not start";
    if (it->second.first == kBlock && !Block(st))
        return "no block " + A(st, 1);
    X x{*this, *p, st, A(st, 1)};
    return it->second.second(x);
}

class Scenarios : public ::testing::TestWithParam<Scenario> {};

TEST_P(Scenarios, Run) {
    const auto& steps = GetParam().steps;
    if (!Plant::LinesServed() && std::any_of(steps.begin(), steps.end(),
                                             [](const Step& st) { return A(st, 0) == "serial"; }))
        GTEST_SKIP() << "no pseudo-terminals here, and no relay to them";
    Runner(GetParam()).Run();
}

INSTANTIATE_TEST_SUITE_P(File, Scenarios, ::testing::ValuesIn(Load()),
                         [](const ::testing::TestParamInfo<Scenario>& info) {
                             return info.param.name;
                         });

} // namespace
