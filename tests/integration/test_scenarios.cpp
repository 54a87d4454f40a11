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
//   text DEV ADDR "TEXT"     a text into words, two bytes a word, high first, NUL after
// Host calls ([BLOCK:]ITEM; the block defaults to the item's letters):
//   touch ITEM...            reads that only put items into use
//   read ITEM [TYPE] [cap N] -> RESULT [VALUE] [count N] [as TYPE] [size BYTES] [untouched]
//   write ITEM TYPE VALUE [len N] -> RESULT [count N]
//   register ITEM -> 0|1 [TYPE SIZE ACCESS]
//   status BLOCK -> CODE ["TEXT"]          Status and Status_str
//   list [NAME|""] -> TEXT                 no name: a fresh list query too
// A failed read must leave the host's buffer, count and type as they were,
// a refused registration the block's items; a good number read has count 1
// and nothing past its type's bytes written, a text nothing past the cap.
// The plant:
//   mem DEV ADDR -> V...     simulator words
//   fault KIND K=V... | clearfaults | fired KIND -> N
//   stop | restart           the simulator, on the same port
//   clock +MS | pause | resume | order 0|1 | tick [N] | interval MS
//   lock BLOCK|link | unlock | rebuild BLOCK | enumerate | addresses LETTER A...
//   staged BLOCK -> N | blockstatus BLOCK -> N | items BLOCK -> N | window BLOCK -> none|built |
//   session BLOCK -> N frames clear | frames -> N | frame K -> PART | refusals -> N
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "plant.h"
#include "support/LockGuard.h"

namespace {

using namespace itest;
using testutil::Narrow;

struct Tok {
    std::string s;
    bool quoted;
};

struct Step {
    std::string file, text, rest; // rest: the text after the verb
    int line = 0;
    bool soon = false;
    std::vector<Tok> args, want;
};

struct Scenario {
    std::string name;
    std::vector<Step> steps;
};

std::vector<Tok> Split(const std::string& line) {
    std::vector<Tok> out;
    for (size_t i = 0; i < line.size();) {
        if (line[i] == ' ' || line[i] == '\t') {
            ++i;
        } else if (line[i] == '"') {
            std::string s;
            for (++i; i < line.size() && line[i] != '"'; ++i) {
                if (line[i] == '\\' && i + 1 < line.size() && line[i + 1] == 'x') {
                    s +=
                        static_cast<char>(std::strtoul(line.substr(i + 2, 2).c_str(), nullptr, 16));
                    i += 3;
                } else {
                    s += line[i] == '\\' ? line[++i] : line[i];
                }
            }
            out.push_back({s, true});
            ++i;
        } else {
            const size_t end = std::min(line.find_first_of(" \t", i), line.size());
            out.push_back({line.substr(i, end - i), false});
            i = end;
        }
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
        std::string text;
        for (int n = 1; std::getline(in, text); ++n) {
            if (!text.empty() && text.back() == '\r')
                text.pop_back();
            Step st;
            st.file = path.string();
            st.line = n;
            st.text = text;
            std::vector<Tok> toks = Split(text);
            if (toks.empty() || toks[0].s[0] == '#')
                continue;
            if (toks[0].s == "scenario") {
                all.push_back({path.stem().string() + "_" + toks.at(1).s, {}});
                continue;
            }
            if (all.empty())
                all.push_back({path.stem().string() + "_line" + std::to_string(n), {}});
            st.soon = toks[0].s == "soon";
            const size_t verb = st.soon ? 1 : 0;
            const size_t at = text.find(toks.at(verb).s) + toks[verb].s.size();
            st.rest = text.substr(std::min(text.find_first_not_of(' ', at), text.size()));
            const auto arrow = std::find_if(toks.begin(), toks.end(),
                                            [](const Tok& t) { return !t.quoted && t.s == "->"; });
            st.args.assign(toks.begin() + static_cast<long>(verb), arrow);
            if (arrow != toks.end())
                st.want.assign(arrow + 1, toks.end());
            all.back().steps.push_back(st);
        }
    }
    return all;
}

double Num(const std::string& s) {
    return std::strtod(s.c_str(), nullptr);
}

const std::map<std::string, int32_t> kTypes = {
    {"default", TypeDefault}, {"bool", TypeBool}, {"u8", TypeU8},   {"u16", TypeU16},
    {"u32", TypeU32},         {"u64", TypeU64},   {"i8", TypeI8},   {"i16", TypeI16},
    {"i32", TypeI32},         {"i64", TypeI64},   {"f32", TypeF32}, {"f64", TypeF64},
    {"text", TypeText}};
const std::map<std::string, int32_t> kResults = {{"ok", ResultOk},
                                                 {"failed", ResultFailed},
                                                 {"nak", ResultNak},
                                                 {"timeout", ResultTimeout},
                                                 {"notready", ResultNotReady}};

int32_t TypeOf(const std::string& s) {
    auto it = kTypes.find(s);
    return it != kTypes.end() ? it->second : static_cast<int32_t>(Num(s));
}

std::string NameOf(const std::map<std::string, int32_t>& names, int32_t v) {
    for (const auto& n : names)
        if (n.second == v)
            return n.first;
    return std::to_string(v);
}

// The value of a number the host got, by the type it was told.
double Decode(int32_t type, const uint8_t* p) {
    auto get = [p](auto x) {
        std::memcpy(&x, p, sizeof x);
        return static_cast<double>(x);
    };
    switch (type) {
    case TypeBool:
    case TypeU8:
        return p[0];
    case TypeI8:
        return static_cast<int8_t>(p[0]);
    case TypeU16:
        return get(uint16_t{});
    case TypeI16:
        return get(int16_t{});
    case TypeI32:
        return get(int32_t{});
    case TypeU64:
        return get(uint64_t{});
    case TypeI64:
        return get(int64_t{});
    case TypeF32:
        return get(float{});
    case TypeF64:
        return get(double{});
    default:
        return get(uint32_t{});
    }
}

size_t SizeOf(int32_t type) {
    static const size_t sizes[] = {4, 1, 1, 2, 4, 8, 1, 2, 4, 8, 4, 8};
    return type >= 0 && type < 12 ? sizes[type] : 4;
}

std::string Show(double v) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.17g", v);
    return buf;
}

constexpr uint8_t kCanary = 0x7E;

class Runner {
public:
    explicit Runner(const Scenario& s) : s_(s), p_(new Plant) {}

    void Run() {
        for (const Step& st : s_.steps) {
            const std::string why = st.soon ? Soon(st) : Do(st);
            if (!why.empty())
                ADD_FAILURE_AT(st.file.c_str(), st.line) << st.text << "\n  " << why;
            if (!why.empty() || ::testing::Test::HasFailure())
                return;
        }
    }

private:
    std::string Soon(const Step& st) {
        std::string why;
        if (options_.ticked) {
            for (int i = 0; i < 8; ++i, p_->Tick())
                if ((why = Do(st)).empty())
                    return why;
            return why + " (after 8 ticks)";
        }
        testutil::WaitUntil([&] { return (why = Do(st)).empty(); }, kBound);
        return why.empty() ? why : why + " (still after " + std::to_string(kBound) + " ms)";
    }

    // The plant starts at the first step that needs it.
    std::string Ensure() {
        if (started_)
            return "";
        started_ = true;
        p_->Start(options_);
        if (::testing::Test::HasFatalFailure())
            return "the plant did not start";
        if (options_.ticked)
            p_->Link().OnTick(); // enumeration and connection
        return "";
    }

    // Splits [BLOCK:]ITEM; "" when the block resolves.
    std::string Item(const std::string& spec, NimbroDevice* dev, std::string* item) {
        const size_t colon = spec.find(':');
        std::string block = colon == std::string::npos ? spec : spec.substr(0, colon);
        *item = colon == std::string::npos ? spec : spec.substr(colon + 1);
        if (colon == std::string::npos) {
            block = block.substr(
                0, block.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
            std::transform(block.begin(), block.end(), block.begin(), ::toupper);
        }
        *dev = Dev(block);
        return *dev ? "" : "no block " + block;
    }
    // A ticked plant's table is not started: the host cannot resolve names.
    NimbroDevice Dev(const std::string& block) {
        return options_.ticked ? p_->Block(block) : p_->Resolve(block);
    }

    CPlcDevice* Block(const std::string& name) { return p_->Block(name); }

    std::string Arg(const Step& st, size_t i) const {
        return i < st.args.size() ? st.args[i].s : "";
    }
    std::string Want(const Step& st, size_t i) const {
        return i < st.want.size() ? st.want[i].s : "";
    }
    // The value after a keyword of the expected part, or "".
    static std::string After(const std::vector<Tok>& toks, const char* key) {
        for (size_t i = 0; i + 1 < toks.size(); ++i)
            if (!toks[i].quoted && toks[i].s == key)
                return toks[i + 1].s;
        return "";
    }
    static std::string Compare(const char* what, const std::string& got, const std::string& want) {
        return got == want ? "" : std::string(what) + " " + got + ", expected " + want;
    }

    std::string Setup(const Step& st, const std::string& verb) {
        if (started_)
            return verb + " after the plant started";
        if (verb == "define")
            options_.lines.push_back(st.rest);
        else if (verb == "unlist")
            options_.unlisted.push_back(Arg(st, 1));
        else if (verb == "gated")
            options_.gated = true;
        else if (verb == "testclock")
            options_.testClock = true;
        else if (verb == "ticked")
            options_.ticked = true;
        else if (verb == "scan")
            options_.scan = static_cast<uint32_t>(Num(Arg(st, 1)));
        else { // item BLOCK NAME ADDR K=V...
            options_.devices += "[Link0.Plc0.Dev" + std::to_string(devices_++) +
                                "]\nDeviceName=" + Arg(st, 1) + "\nName=" + Arg(st, 2) +
                                "\nStartAddress=" + Arg(st, 3) + "\n";
            for (size_t i = 4; i < st.args.size(); ++i)
                options_.devices += st.args[i].s + "\n";
        }
        return "";
    }

    std::string Memory(const Step& st, const std::string& verb) {
        const std::string dev = Arg(st, 1);
        const uint32_t at = static_cast<uint32_t>(Num(Arg(st, 2)));
        std::vector<uint32_t> words;
        if (verb == "text") {
            std::string bytes = Arg(st, 3) + '\0';
            if (bytes.size() % 2 != 0)
                bytes += '\0';
            for (size_t i = 0; i < bytes.size(); i += 2)
                words.push_back(static_cast<uint32_t>(static_cast<uint8_t>(bytes[i])) << 8 |
                                static_cast<uint8_t>(bytes[i + 1]));
        } else {
            for (size_t i = 3; i < st.args.size(); ++i)
                words.push_back(static_cast<uint32_t>(Num(st.args[i].s)));
        }
        const std::string where = st.file + ":" + std::to_string(st.line);
        auto set = [dev, at, words, where](idecsim::Simulator& sim) {
            for (size_t i = 0; i < words.size(); ++i)
                EXPECT_TRUE(sim.SetValue(dev, at + static_cast<uint32_t>(i), words[i]))
                    << where << ": " << dev << at + i;
        };
        if (started_)
            set(p_->sim);
        else
            options_.memory.push_back(set);
        return "";
    }

    std::string Read(const Step& st) {
        NimbroDevice dev = nullptr;
        std::string item;
        std::string why = Item(Arg(st, 1), &dev, &item);
        if (!why.empty())
            return why;
        const int32_t type =
            st.args.size() > 2 && st.args[2].s != "cap" ? TypeOf(Arg(st, 2)) : TypeU32;
        const std::string capText = After(st.args, "cap");
        const int32_t cap = !capText.empty()   ? static_cast<int32_t>(Num(capText))
                            : type == TypeText ? 1100
                                               : 1;
        std::vector<uint8_t> buf(static_cast<size_t>(std::max(cap, 1)) * 8 + 64, kCanary);
        int32_t t = type, count = -1;
        const int32_t r = p_->Read(dev, item, &t, buf.data(), cap, &count);
        if ((why = Compare("result", NameOf(kResults, r), Want(st, 0))) != "")
            return why;
        const auto untouched = [&buf](size_t from) {
            for (size_t i = from; i < buf.size(); ++i)
                if (buf[i] != kCanary)
                    return "byte " + std::to_string(i) + " of the host's buffer written";
            return std::string();
        };
        if (r != ResultOk) {
            if (count != -1 || t != type)
                return "a failed read changed count or type";
            return untouched(0);
        }
        std::string got;
        size_t used = SizeOf(t);
        if (t == TypeText) {
            used = static_cast<size_t>(std::max(cap, 0)) * 2;
            testutil::WString units;
            for (size_t i = 0; i + 1 < used && (buf[i] | buf[i + 1]) != 0; i += 2)
                units += static_cast<WChar>(buf[i] | buf[i + 1] << 8);
            got = Narrow(units.c_str());
        } else if (!After(st.want, "size").empty()) { // a layout the host was not told
            used = static_cast<size_t>(Num(After(st.want, "size")));
            uint64_t v = 0;
            for (size_t i = used; i-- > 0;)
                v = v << 8 | buf[i];
            got = Show(static_cast<double>(v));
        } else {
            got = Show(Decode(t, buf.data()));
        }
        for (const char* key : {"count", "as", "untouched"}) {
            const std::string w = key[0] == 'u' ? "" : After(st.want, key);
            if (key[0] == 'u') {
                if (std::any_of(st.want.begin(), st.want.end(),
                                [](const Tok& k) { return k.s == "untouched"; }))
                    why = untouched(0);
            } else if (!w.empty()) {
                why = key[0] == 'c' ? Compare("count", std::to_string(count), w)
                                    : Compare("type", NameOf(kTypes, t), w);
            } else if (key[0] == 'c' && t != TypeText) {
                why = Compare("count", std::to_string(count), "1");
            }
            if (!why.empty())
                return why + " (read " + got + ")";
        }
        if (st.want.size() > 1 && (st.want[1].quoted || st.want[1].s != "count") &&
            st.want[1].s != "as" && st.want[1].s != "size" && st.want[1].s != "untouched") {
            why = st.want[1].quoted ? Compare("text", "\"" + got + "\"", "\"" + Want(st, 1) + "\"")
                                    : Compare("value", got, Show(Num(Want(st, 1))));
            if (!why.empty())
                return why;
        }
        return untouched(used);
    }

    std::string Write(const Step& st) {
        NimbroDevice dev = nullptr;
        std::string item;
        std::string why = Item(Arg(st, 1), &dev, &item);
        if (!why.empty())
            return why;
        const std::string len = After(st.args, "len");
        int32_t count = -1;
        const Tok value = st.args.size() > 3 ? st.args[3] : Tok{"", true};
        const int32_t r = p_->Write(dev, item, TypeOf(Arg(st, 2)), value.quoted ? 0 : Num(value.s),
                                    value.quoted ? value.s : "", &count,
                                    len.empty() ? -1 : static_cast<int32_t>(Num(len)));
        if ((why = Compare("result", NameOf(kResults, r), Want(st, 0))) != "")
            return why;
        const std::string c = After(st.want, "count");
        return c.empty() ? "" : Compare("count", std::to_string(count), c);
    }

    std::string Register(const Step& st) {
        NimbroDevice dev = nullptr;
        std::string item;
        std::string why = Item(Arg(st, 1), &dev, &item);
        if (!why.empty())
            return why;
        CPlcDevice* block = static_cast<CPlcDevice*>(dev);
        const uint32_t before = block->ItemCount();
        int32_t type = -1, size = -1, access = -1;
        const bool all = st.want.size() > 1;
        const int32_t r =
            all ? p_->Register(dev, item, &type, &size, &access) : p_->Register(dev, item);
        if ((why = Compare("answer", std::to_string(r), Want(st, 0))) != "")
            return why;
        if (r == 0 && block->ItemCount() != before)
            return "a refused registration made an item";
        if (!all)
            return "";
        return Compare("type/size/access",
                       NameOf(kTypes, type) + " " + std::to_string(size) + " " +
                           std::to_string(access),
                       Want(st, 1) + " " + Want(st, 2) + " " + Want(st, 3));
    }

    std::string Status(const Step& st) {
        NimbroDevice dev = Dev(Arg(st, 1));
        if (!dev)
            return "no block " + Arg(st, 1);
        uint32_t code = 0xC0DEC0DE;
        int32_t type = TypeDefault, count = -1;
        if (p_->Read(dev, "Status", &type, &code, 1, &count) != ResultOk)
            return "Status not read";
        std::string why = Compare("Status", std::to_string(code), Want(st, 0));
        if (why.empty() && st.want.size() > 1) {
            int32_t result = -1;
            const std::string text = p_->ReadText(dev, "Status_str", &result);
            why = Compare("Status_str", "\"" + text + "\"", "\"" + Want(st, 1) + "\"");
        }
        return why;
    }

    std::string List(const Step& st) {
        std::string want;
        for (const Tok& t : st.want)
            want += (want.empty() ? "" : " ") + t.s;
        if (st.args.size() > 1)
            return Compare("listed", p_->List(N(testutil::W(Arg(st, 1)))), want);
        // No name: the link enumerates again before the answer.
        const size_t before = p_->ListQueries();
        std::string why = Compare("listed", p_->List(nullptr), want);
        if (why.empty() && p_->ListQueries() <= before)
            why = "no list query before the answer";
        return why;
    }

    std::string Do(const Step& st) {
        const std::string verb = Arg(st, 0);
        for (const char* setup :
             {"define", "item", "unlist", "gated", "testclock", "ticked", "scan"})
            if (verb == setup)
                return Setup(st, verb);
        if (verb == "set" || verb == "text")
            return Memory(st, verb);
        std::string why = Ensure();
        if (!why.empty())
            return why;
        idecsim::Simulator& sim = p_->sim;
        const std::string a1 = Arg(st, 1);
        CPlcDevice* block =
            verb == "read" || verb == "write" || verb == "register" ? nullptr : Block(a1);
        if (verb == "read")
            return Read(st);
        if (verb == "write")
            return Write(st);
        if (verb == "register")
            return Register(st);
        if (verb == "status")
            return Status(st);
        if (verb == "touch") { // first reads, whatever they answer
            for (size_t i = 1; i < st.args.size(); ++i) {
                NimbroDevice dev = nullptr;
                std::string item;
                if ((why = Item(st.args[i].s, &dev, &item)) != "")
                    return why;
                int32_t type = TypeText, count = -1;
                WChar buf[1100];
                p_->Read(dev, item, &type, buf, 1100, &count);
            }
            return "";
        }
        if (verb == "list")
            return List(st);
        if (verb == "mem") {
            std::string got;
            for (size_t i = 0; i < st.want.size(); ++i)
                got += (i ? " " : "") + Show(sim.Value(a1, static_cast<uint32_t>(Num(Arg(st, 2))) +
                                                               static_cast<uint32_t>(i)));
            std::string want;
            for (size_t i = 0; i < st.want.size(); ++i)
                want += (i ? " " : "") + Show(Num(st.want[i].s));
            return Compare("memory", got, want);
        }
        if (verb == "fault") {
            idecsim::FaultRule rule;
            if (!idecsim::FaultFromName(a1, &rule.kind))
                return "no fault " + a1;
            for (size_t i = 2; i < st.args.size(); ++i) {
                const std::string& kv = st.args[i].s;
                const std::string key = kv.substr(0, kv.find('=')), v = kv.substr(kv.find('=') + 1);
                if (key == "command" || key == "letter")
                    (key == "command" ? rule.command : rule.letter) = v[0];
                else if (key == "count")
                    rule.count = static_cast<int64_t>(Num(v));
                else if (key == "skip")
                    rule.skip = static_cast<uint32_t>(Num(v));
                else if (key == "code")
                    rule.code = static_cast<int>(Num(v));
                else
                    return "no fault setting " + key;
            }
            sim.AddFault(rule);
        } else if (verb == "clearfaults") {
            sim.ClearFaults();
        } else if (verb == "fired") {
            idecsim::FaultKind kind;
            if (!idecsim::FaultFromName(a1, &kind))
                return "no fault " + a1;
            return Compare("fired", std::to_string(sim.Fired(kind)), Want(st, 0));
        } else if (verb == "stop") {
            sim.Stop();
        } else if (verb == "restart") {
            if (sim.Start(p_->port) != p_->port)
                return "the simulator did not start again";
        } else if (verb == "clock") {
            gClock.fetch_add(static_cast<uint32_t>(Num(a1)));
        } else if (verb == "pause") {
            if (!p_->PauseScans())
                return "the scans did not pause";
        } else if (verb == "resume") {
            gScanPaused.store(false);
        } else if (verb == "order") {
            p_->driver->SetWordOrder(static_cast<int32_t>(Num(a1)));
        } else if (verb == "tick") {
            for (int i = 0; i < (a1.empty() ? 1 : static_cast<int>(Num(a1))); ++i)
                p_->Tick();
        } else if (verb == "interval") {
            p_->table.SetReadInterval(static_cast<uint32_t>(Num(a1)));
        } else if (verb == "lock") {
            plat::CriticalSection* lock = a1 == "link" ? &p_->Link().Lock()
                                          : block      ? &block->Lock()
                                                       : nullptr;
            if (!lock)
                return "no block " + a1;
            locks_.emplace_back(new LockGuard(lock));
        } else if (verb == "unlock") {
            while (!locks_.empty())
                locks_.pop_back();
        } else if (verb == "enumerate") {
            const uint32_t ticket = p_->Link().RequestEnumeration();
            if (!testutil::WaitUntil([&] { return p_->Link().EnumeratedSince(ticket); }, kBound))
                return "no enumeration";
        } else if (verb == "addresses") {
            std::vector<uint32_t> list;
            for (size_t i = 2; i < st.args.size(); ++i)
                list.push_back(static_cast<uint32_t>(Num(st.args[i].s)));
            sim.SetAddressList(a1[0], list);
        } else if (verb == "frames" && a1 == "clear") {
            sim.ClearFrameLog();
        } else if (verb == "frames" || verb == "frame" || verb == "refusals") {
            const std::vector<idecsim::Exchange> log = sim.FrameLog();
            if (verb == "frames")
                return Compare("frames", std::to_string(log.size()), Want(st, 0));
            if (verb == "frame") {
                const size_t k = static_cast<size_t>(Num(a1));
                if (k < 1 || k > log.size())
                    return "no frame " + a1;
                return log[k - 1].request.find(Want(st, 0)) == std::string::npos
                           ? "frame " + idecsim::Printable(log[k - 1].request)
                           : "";
            }
            size_t refused = 0;
            for (const idecsim::Exchange& e : log)
                refused += e.reply.size() > 3 && e.reply[3] == '2';
            return Compare("refusals", std::to_string(refused), Want(st, 0));
        } else if (!block) {
            return "unknown step, or no block " + a1;
        } else if (verb == "rebuild") {
            block->RebuildWindow(nullptr, false);
        } else if (verb == "items") {
            return Compare("items", std::to_string(block->ItemCount()), Want(st, 0));
        } else if (verb == "blockstatus") {
            return Compare("block status", std::to_string(block->deviceStatus.load()), Want(st, 0));
        } else if (verb == "session") {
            return Compare("session", std::to_string(block->LinkSession()), Want(st, 0));
        } else if (verb == "window" || verb == "staged") {
            LockGuard hold(&block->Lock());
            const model::ReadWindow& w = block->Window();
            if (verb == "window")
                return Compare("window", w.Allocated() ? "built" : "none", Want(st, 0));
            uint32_t staged = 0;
            for (uint32_t b = 0; b < w.units * block->UnitSize(); ++b)
                staged += w.writeMask[b] != 0;
            return Compare("staged bytes", std::to_string(staged), Want(st, 0));
        } else {
            return "unknown step " + verb;
        }
        return "";
    }

    const Scenario& s_;
    PlantOptions options_;
    std::unique_ptr<Plant> p_;
    std::vector<std::unique_ptr<LockGuard>> locks_; // released before the plant goes
    bool started_ = false;
    int devices_ = 0;
};

void PrintTo(const Scenario& s, std::ostream* os) {
    *os << s.name;
}

class Scenarios : public ::testing::TestWithParam<Scenario> {};

TEST_P(Scenarios, Run) {
    Runner(GetParam()).Run();
}

INSTANTIATE_TEST_SUITE_P(File, Scenarios, ::testing::ValuesIn(Load()),
                         [](const ::testing::TestParamInfo<Scenario>& info) {
                             return info.param.name;
                         });

} // namespace
