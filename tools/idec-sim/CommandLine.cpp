#include "CommandLine.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <map>

#include <CLI/CLI.hpp>

#include "Animation.h"
#include "Plc.h"
#include "platform/codepage.h"
#include "platform/socket.h"
#include "platform/sync.h"

namespace idecsim {

namespace {

struct OptionInfo {
    const char* name;
    const char* arg; // nullptr: a switch
    const char* help;
};

const OptionInfo kOptions[] = {
    {"--port", "N", "TCP port to listen on (default 2101; 0 picks a free one and prints it)"},
    {"--bind", "ADDR",
     "IPv4 address to listen on (default 127.0.0.1; 0.0.0.0 for every interface)"},
    {"--serial", "PORT",
     "answer on this serial port instead of TCP (/dev/ttyUSB0, COM3), opened with the line "
     "settings below; the replies take the time the line needs for them"},
    {"--pty", nullptr,
     "answer on a new pseudo-terminal pair instead of TCP (not on Windows) and print the "
     "port a client opens on a line of its own, as \"pty: /dev/pts/7\"; clients may open, "
     "close and open it again"},
    {"--baud", "N", "serial line speed in bit/s, 300 to 230400 (default 9600)"},
    {"--data-bits", "N", "serial data bits, 7 or 8 (default 7)"},
    {"--parity", "P", "serial parity, E, O or N (default E)"},
    {"--stop-bits", "N", "serial stop bits, 1 or 2 (default 1)"},
    {"--station", "N",
     "station number 0-255 (default 1); frames for FF are answered as this station, frames "
     "for other stations get no reply"},
    {"--plc", "FILE",
     "PLC definition file (the driver's format) giving the device types and ranges; "
     "built-in defaults without it"},
    {"--set", "DEVADDR=VALUE",
     "set a value before starting (repeatable): D100=1234, TP3=0x10, a bit device's bit as "
     "M5=1; addresses in the device's own numbering, values decimal or 0x hex; these "
     "addresses are what address-list queries answer unless --list says otherwise"},
    {"--list", "LETTER=ADDR,...",
     "addresses that an address-list query for LETTER answers, e.g. A=100,200 (repeatable; "
     "A= answers none); letters and devices: x=I y=Q a=M r=R T=TP t=TC C=CP c=CC A=D d=T "
     "e=C k=P, both letters of a device sharing one list"},
    {"--animate", "DEVADDR=KIND:ARGS",
     "move a value by itself while running (repeatable). D100=ramp:0:1000:1s rises from 0 "
     "towards 1000 over 1 s, then starts again; D101=counter:1:500ms adds 1 every 500 ms "
     "(negative steps count down; wraps within the unit); D102=square:0:1:2s is 0 for the "
     "first half of 2 s and 1 for the second; D103=walk:500:10:200ms starts at 500 and moves "
     "by up to 10 either way every 200 ms, kept within the unit. Durations as 500ms or 2s, "
     "10 ms to 1 h. A client's write lasts until a ramp or square wave changes next; a "
     "counter or walk moves on from it"},
    {"--trace", nullptr,
     "print every request and reply, control characters by name, and junk bytes dropped "
     "ahead of an ENQ"},
    {"--lock-presets", nullptr, "refuse writes of timer and counter presets with code 07"},
    {"--fault", "KIND[:KEY=VALUE,...]",
     "inject a fault into requests (repeatable). Kinds: "
     "no-reply (carried out, not answered), delay and late (answered after ms; late "
     "defaults to 6000, past the driver's time-outs), split (reply in parts segments, ms "
     "apart), nak and error (NAK or refusal with code instead; not carried out), garbage "
     "(random bytes and CR), short (reply loses data characters). Keys: count=N (times, "
     "default unlimited), prob=P (0-1, default 1), skip=N (matching requests let through "
     "first), conn=N (connection N only, counted from 1), cmd=R|W|L, letter=C, ms=N, "
     "code=HH (nak 00, error 06 by default), parts=N (default 2), bytes=N (garbage length, "
     "default 8; short: characters dropped, default 2)"},
    {"--delay", "MS", "answer every request MS milliseconds late (as --fault delay:ms=MS)"},
    {"--reply-delay", "MS",
     "send every reply MS milliseconds after its request arrived, as a PLC on a network "
     "answers (0 to 3600000; no fault: faults and a serial line's byte time come on top)"},
    {"--no-reply", "P",
     "leave each request unanswered with probability P (as --fault no-reply:prob=P)"},
    {"--close-after", "N", "close each connection after its N-th request (0: on accept); TCP only"},
    {"--refuse", nullptr, "close every new connection as soon as it is accepted; TCP only"},
    {"--never-answer", nullptr, "accept connections and read requests, but never answer"},
    {"--seed", "N", "seed for fault probabilities and garbage bytes (default 1)"},
    {"--help", nullptr, "show this text (also -h)"},
};

size_t EditDistance(const std::string& a, const std::string& b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j)
        row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diag = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            size_t up = row[j];
            size_t best = diag + (a[i - 1] == b[j - 1] ? 0 : 1);
            best = std::min(best, row[j - 1] + 1);
            best = std::min(best, up + 1);
            row[j] = best;
            diag = up;
        }
    }
    return row[b.size()];
}

std::string Suggestion(const std::string& name) {
    const OptionInfo* best = nullptr;
    size_t bestDist = 3;
    for (const OptionInfo& o : kOptions) {
        size_t d = EditDistance(name, o.name);
        if (d < bestDist) {
            bestDist = d;
            best = &o;
        }
    }
    return best ? std::string(" (did you mean ") + best->name + "?)" : std::string();
}

bool ParseUnsigned(const std::string& s, uint64_t max, uint64_t* out) {
    if (s.empty())
        return false;
    int base = 10;
    size_t start = 0;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        start = 2;
    }
    uint64_t v = 0;
    for (size_t i = start; i < s.size(); ++i) {
        int d;
        char c = s[i];
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else
            return false;
        v = v * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
        if (v > max)
            return false;
    }
    *out = v;
    return true;
}

bool ParseProbability(const std::string& s, double* out) {
    if (s.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    double v = std::strtod(s.c_str(), &end);
    if (errno != 0 || !end || *end != '\0' || !(v >= 0.0 && v <= 1.0))
        return false;
    *out = v;
    return true;
}

bool ParseSetting(const std::string& text, ValueSetting* out) {
    size_t i = 0;
    while (i < text.size() &&
           ((text[i] >= 'A' && text[i] <= 'Z') || (text[i] >= 'a' && text[i] <= 'z')))
        ++i;
    size_t eq = text.find('=');
    if (i == 0 || eq == std::string::npos || eq <= i)
        return false;
    uint64_t address = 0;
    uint64_t value = 0;
    for (size_t k = i; k < eq; ++k)
        if (text[k] < '0' || text[k] > '9')
            return false;
    if (!ParseUnsigned(text.substr(i, eq - i), UINT32_MAX, &address) ||
        !ParseUnsigned(text.substr(eq + 1), UINT32_MAX, &value))
        return false;
    out->device = text.substr(0, i);
    out->address = static_cast<uint32_t>(address);
    out->value = static_cast<uint32_t>(value);
    out->text = text;
    return true;
}

bool ParseList(const std::string& text, std::pair<char, std::vector<uint32_t>>* out) {
    if (text.size() < 2 || text[1] != '=' || DeviceOfLetter(text[0]).empty())
        return false;
    out->first = text[0];
    out->second.clear();
    std::string rest = text.substr(2);
    size_t start = 0;
    while (start < rest.size()) {
        size_t comma = rest.find(',', start);
        std::string item =
            rest.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        uint64_t a = 0;
        for (char c : item)
            if (c < '0' || c > '9')
                return false;
        if (!ParseUnsigned(item, UINT32_MAX, &a))
            return false;
        out->second.push_back(static_cast<uint32_t>(a));
        if (comma == std::string::npos)
            break;
        start = comma + 1;
        if (start == rest.size())
            return false; // a trailing comma
    }
    return true;
}

bool SetFaultKey(const std::string& key, const std::string& value, FaultRule* r) {
    uint64_t n = 0;
    if (key == "count" && ParseUnsigned(value, INT64_MAX, &n)) {
        r->count = static_cast<int64_t>(n);
    } else if (key == "prob") {
        return ParseProbability(value, &r->probability);
    } else if (key == "skip" && ParseUnsigned(value, UINT32_MAX, &n)) {
        r->skip = static_cast<uint32_t>(n);
    } else if (key == "conn" && ParseUnsigned(value, UINT32_MAX, &n) && n > 0) {
        r->connection = static_cast<uint32_t>(n);
    } else if (key == "cmd" && (value == "R" || value == "W" || value == "L")) {
        r->command = value[0];
    } else if (key == "letter" && value.size() == 1 && !DeviceOfLetter(value[0]).empty()) {
        r->letter = value[0];
    } else if (key == "ms" && ParseUnsigned(value, 3600000, &n)) {
        r->ms = static_cast<int64_t>(n);
    } else if (key == "code" && value.size() == 2 && ParseUnsigned("0x" + value, 0xFF, &n)) {
        r->code = static_cast<int>(n);
    } else if (key == "parts" && ParseUnsigned(value, 1000, &n) && n >= 2) {
        r->parts = static_cast<int>(n);
    } else if (key == "bytes" && ParseUnsigned(value, 4096, &n) && n > 0) {
        r->bytes = static_cast<int>(n);
    } else {
        return false;
    }
    return true;
}

std::string TraceLine(const TraceEvent& ev) {
    char head[48];
    std::snprintf(head, sizeof head, "%6llu.%03llu [%u] ",
                  static_cast<unsigned long long>(ev.timeMs / 1000),
                  static_cast<unsigned long long>(ev.timeMs % 1000), ev.connection);
    std::string line = head;
    switch (ev.kind) {
    case TraceEvent::kConnected:
        line += "connected";
        break;
    case TraceEvent::kClosed:
        line += "closed";
        break;
    case TraceEvent::kRefused:
        line += "refused";
        break;
    case TraceEvent::kDiscarded:
        line += "discarded " + std::to_string(ev.bytes.size()) +
                " byte(s) ahead of an ENQ: " + Printable(ev.bytes, false);
        break;
    case TraceEvent::kRequest:
        line += "> " + Printable(ev.bytes);
        break;
    case TraceEvent::kReply:
        line += "< " + (ev.bytes.empty() ? std::string("nothing") : Printable(ev.bytes));
        if (ev.fault >= 0)
            line += std::string(" (fault ") + FaultName(static_cast<FaultKind>(ev.fault)) + ")";
        break;
    }
    return line + '\n';
}

} // namespace

bool ParseFaultOption(const std::string& text, FaultRule* out, std::string* error) {
    size_t colon = text.find(':');
    std::string kindName = text.substr(0, colon);
    FaultRule r;
    if (!FaultFromName(kindName, &r.kind) || r.kind >= FaultKind::kCloseAfter) {
        *error = "--fault: unknown kind '" + kindName +
                 "' (no-reply, delay, late, split, nak, error, garbage, short)";
        return false;
    }
    if (colon != std::string::npos) {
        std::string rest = text.substr(colon + 1);
        size_t start = 0;
        for (;;) {
            size_t comma = rest.find(',', start);
            std::string item =
                rest.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
            size_t eq = item.find('=');
            if (eq == std::string::npos ||
                !SetFaultKey(item.substr(0, eq), item.substr(eq + 1), &r)) {
                *error = "--fault: bad setting '" + item + "' in '" + text + "'";
                return false;
            }
            if (comma == std::string::npos)
                break;
            start = comma + 1;
        }
    }
    *out = r;
    return true;
}

namespace {

// One occurrence of an option, its value as given ("true" for a switch).
bool ApplyOption(const std::string& name, const std::string& value, CliOptions& o,
                 std::string* error) {
    plat::SerialSettings line = o.line;
    const std::string bad = "bad value '" + value + "' for " + name;
    uint64_t n = 0;
    const auto fail = [error](const std::string& why) {
        *error = why;
        return false;
    };
    if (name == "--port") {
        if (!ParseUnsigned(value, 65535, &n))
            return fail(bad);
        o.port = static_cast<uint16_t>(n);
    } else if (name == "--bind") {
        o.bind = value;
    } else if (name == "--serial") {
        if (value.empty())
            return fail(bad);
        o.serial = value;
    } else if (name == "--pty") {
        o.pty = true;
    } else if (name == "--baud" || name == "--data-bits" || name == "--stop-bits" ||
               name == "--parity") {
        if (name == "--parity" && value.size() == 1)
            line.parity = static_cast<char>(value[0] & ~0x20); // e as E
        else if (name == "--parity" || !ParseUnsigned(value, UINT32_MAX, &n))
            return fail(bad);
        else if (name == "--baud")
            line.baud = static_cast<uint32_t>(n);
        else
            (name == "--data-bits" ? line.dataBits : line.stopBits) =
                static_cast<uint8_t>(n > 255 ? 0 : n);
        if (!plat::SerialSettingsValid(line))
            return fail(bad + (name == "--baud"        ? " (300 to 230400 bit/s: 300, 600, 1200, "
                                                         "2400, 4800, 9600, 19200, 38400, 57600, "
                                                         "115200 or 230400)"
                               : name == "--parity"    ? " (E, O or N)"
                               : name == "--data-bits" ? " (7 or 8)"
                                                       : " (1 or 2)"));
        o.line = line;
    } else if (name == "--station") {
        if (!ParseUnsigned(value, 255, &n))
            return fail(bad);
        o.station = static_cast<int>(n);
    } else if (name == "--plc") {
        if (value.empty())
            return fail(bad);
        o.plcFile = value;
    } else if (name == "--set") {
        ValueSetting s;
        if (!ParseSetting(value, &s))
            return fail(bad + " (expected e.g. D100=1234)");
        o.sets.push_back(s);
    } else if (name == "--list") {
        std::pair<char, std::vector<uint32_t>> l;
        if (!ParseList(value, &l))
            return fail(bad + " (expected e.g. A=100,200)");
        o.lists.push_back(l);
    } else if (name == "--animate") {
        Animation anim;
        if (!ParseAnimation(value, &anim, error))
            return false;
        o.animations.push_back(anim);
        o.animationTexts.push_back(value);
    } else if (name == "--trace") {
        o.trace = true;
    } else if (name == "--lock-presets") {
        o.lockPresets = true;
    } else if (name == "--fault") {
        FaultRule r;
        if (!ParseFaultOption(value, &r, error))
            return false;
        o.faults.push_back(r);
    } else if (name == "--delay") {
        if (!ParseUnsigned(value, 3600000, &n))
            return fail(bad);
        FaultRule r;
        r.kind = FaultKind::kDelay;
        r.ms = static_cast<int64_t>(n);
        o.faults.push_back(r);
    } else if (name == "--reply-delay") {
        if (!ParseUnsigned(value, 3600000, &n))
            return fail(bad);
        o.replyDelay = static_cast<uint32_t>(n);
    } else if (name == "--no-reply") {
        FaultRule r;
        r.kind = FaultKind::kNoReply;
        if (!ParseProbability(value, &r.probability))
            return fail(bad + " (a probability 0-1)");
        o.faults.push_back(r);
    } else if (name == "--close-after") {
        if (!ParseUnsigned(value, INT64_MAX, &n))
            return fail(bad);
        o.closeAfter = static_cast<int64_t>(n);
    } else if (name == "--refuse") {
        o.refuse = true;
    } else if (name == "--never-answer") {
        o.neverAnswer = true;
    } else if (name == "--seed") {
        if (!ParseUnsigned(value, UINT32_MAX, &n))
            return fail(bad);
        o.seed = static_cast<uint32_t>(n);
    } else if (name == "--help") {
        o.help = true;
    }
    return true;
}

} // namespace

bool ParseCommandLine(int argc, const char* const* argv, CliOptions* out, std::string* error) {
    // CLI11 reads the grammar (names, switch or value, --opt=V or --opt V);
    // the values are read here in command-line order, because faults apply in
    // the order they were given.
    std::vector<std::string> args; // reversed, as CLI11 takes them
    for (int i = argc; i-- > 0;) {
        const std::string arg = argv[i];
        const size_t eq = arg.find('=');
        if (arg.compare(0, 2, "--") == 0 && eq != std::string::npos) {
            // Left to CLI11, "--opt=" would take the next word as its value and
            // "--switch=V" would read V as true or false.
            const std::string name = arg.substr(0, eq);
            for (const OptionInfo& info : kOptions)
                if (name == info.name && !info.arg) {
                    *error = name + " takes no value";
                    return false;
                }
            if (eq + 1 == arg.size()) {
                *error = "bad value '' for " + name;
                return false;
            }
        }
        args.push_back(arg);
    }
    CliOptions o;
    try {
        CLI::App app;
        app.set_help_flag();
        app.allow_extras();
        app.allow_windows_style_options(false);
        for (const OptionInfo& info : kOptions) {
            const std::string names = info.name == std::string("--help") ? "-h,--help" : info.name;
            CLI::Option* opt =
                info.arg ? app.add_option(names)->type_name(info.arg) : app.add_flag(names);
            opt->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
        }
        app.parse(args);
        const std::vector<std::string> extra = app.remaining();
        if (!extra.empty()) {
            const std::string& arg = extra.front();
            const std::string name = arg.substr(0, arg.find('='));
            *error = arg.compare(0, 1, "-") == 0
                         ? "unknown option '" + name + "'" + Suggestion(name)
                         : "unexpected argument '" + arg + "'";
            return false;
        }
        std::map<const CLI::Option*, size_t> taken;
        for (const CLI::Option* opt : app.parse_order()) {
            const std::string& value = opt->results().at(taken[opt]++);
            if (!ApplyOption(opt->get_name(), value, o, error))
                return false;
        }
        const auto given = [&app](const char* name) { return app.count(name) > 0; };
        const bool line = !o.serial.empty() || o.pty;
        if (!o.serial.empty() && o.pty) {
            *error = "--serial and --pty exclude each other";
            return false;
        }
        for (const char* tcpOnly : {"--port", "--bind", "--close-after", "--refuse"})
            if (line && given(tcpOnly)) {
                *error = std::string(tcpOnly) + " is for TCP and cannot go with " +
                         (o.pty ? "--pty" : "--serial");
                return false;
            }
        for (const char* lineOnly : {"--baud", "--data-bits", "--parity", "--stop-bits"})
            if (!line && given(lineOnly)) {
                *error = std::string(lineOnly) + " needs --serial or --pty";
                return false;
            }
    } catch (const CLI::ParseError& e) {
        *error = e.what();
        return false;
    } catch (const std::exception& e) {
        *error = e.what();
        return false;
    }
    *out = o;
    return true;
}

std::string HelpText() {
    std::string t =
        "Usage: idec-sim [options]\n"
        "Simulates an IDEC PLC answering the computer-link protocol on TCP or a serial line,\n"
        "for testing the driver without hardware. Stops on Ctrl+C or SIGTERM.\n\nOptions:\n";
    for (const OptionInfo& o : kOptions) {
        std::string head = std::string("  ") + o.name + (o.arg ? std::string(" ") + o.arg : "");
        t += head + "\n";
        // Wrap the description at 78 columns, indented.
        const std::string indent = "      ";
        std::string line = indent;
        size_t start = 0;
        const std::string help = o.help;
        while (start < help.size()) {
            size_t end = help.find(' ', start);
            if (end == std::string::npos)
                end = help.size();
            const std::string word = help.substr(start, end - start);
            if (line.size() > indent.size() && line.size() + 1 + word.size() > 78) {
                t += line + "\n";
                line = indent;
            }
            if (line.size() > indent.size())
                line += ' ';
            line += word;
            start = end + 1;
        }
        t += line + "\n";
    }
    t += "\nExamples:\n"
         "  idec-sim --port 2101 --station 1 --plc config/idec.plc --set D100=1234 --set M5=1 "
         "--trace\n"
         "  idec-sim --animate D100=ramp:0:1000:1s --animate D101=counter:1:500ms \\\n"
         "           --animate D102=square:0:1:2s --animate D103=walk:500:10:200ms\n"
         "  idec-sim --serial /dev/ttyUSB0 --baud 19200 --data-bits 7 --parity E --stop-bits 1\n"
         "  idec-sim --pty --station 2 --trace\n";
    return t;
}

namespace {

// Starts on TCP; 0, or the exit code when it cannot.
int Listen(Simulator& sim, const CliOptions& o, const char* station, std::ostream& out,
           std::ostream& err, const std::function<void(uint16_t)>& onListening) {
    plat::NetStartup();
    const uint32_t addrNet = plat::InetAddr(o.bind.c_str());
    plat::NetCleanup();
    if (addrNet == plat::kInaddrNone && o.bind != "255.255.255.255") {
        err << "idec-sim: --bind " << o.bind << ": not an IPv4 address\n";
        return 1;
    }
    const uint16_t port = sim.Start(o.port, plat::NetToHost32(addrNet));
    if (port == 0) {
        err << "idec-sim: cannot listen on " << o.bind << ":" << o.port << " (socket error "
            << sim.LastError() << ")\n";
        return 1;
    }
    out << "idec-sim: station " << station << " listening on " << o.bind << ":" << port
        << " (Ctrl+C stops)\n";
    out.flush();
    if (onListening)
        onListening(port);
    return 0;
}

} // namespace

int RunSimulator(const CliOptions& o, std::ostream& out, std::ostream& err,
                 const std::atomic<bool>& stop, const std::function<void(uint16_t)>& onListening,
                 const std::function<void(const std::string&)>& onServing) {
    Simulator sim;
    if (!o.plcFile.empty()) {
        int n = plat::MultiByteToWide(plat::kCpAcp, 0, o.plcFile.c_str(), -1, nullptr, 0);
        std::basic_string<WChar> path(static_cast<size_t>(n > 0 ? n : 1), 0);
        if (n > 0)
            plat::MultiByteToWide(plat::kCpAcp, 0, o.plcFile.c_str(), -1, &path[0], n);
        std::string why;
        if (n <= 0 || !sim.LoadPlcFile(path.c_str(), &why)) {
            err << "idec-sim: cannot use PLC file '" << o.plcFile << "': " << why << "\n";
            return 1;
        }
    }
    sim.SetStation(o.station);
    sim.SetPresetsLocked(o.lockPresets);
    sim.SetSeed(o.seed);
    sim.SetReplyDelay(o.replyDelay);
    const std::vector<std::string> devices = sim.DeviceNames();
    for (const ValueSetting& s : o.sets) {
        if (!sim.SetValue(s.device, s.address, s.value)) {
            bool known = false;
            for (const std::string& d : devices)
                known = known || d == s.device;
            err << "idec-sim: --set " << s.text << ": "
                << (known ? "address outside the device's ranges, or value too large"
                          : "no device " + s.device)
                << "\n";
            return 1;
        }
    }
    for (const auto& l : o.lists) {
        if (!sim.SetAddressList(l.first, l.second)) {
            err << "idec-sim: --list " << l.first << ": the PLC has no device "
                << DeviceOfLetter(l.first) << "\n";
            return 1;
        }
    }
    for (size_t i = 0; i < o.animations.size(); ++i) {
        std::string why;
        if (!sim.Animate(o.animations[i], &why)) {
            err << "idec-sim: --animate " << o.animationTexts[i] << ": " << why << "\n";
            return 2;
        }
    }
    for (const FaultRule& r : o.faults)
        sim.AddFault(r);
    sim.SetCloseAfter(o.closeAfter);
    sim.SetRefuseConnections(o.refuse);
    sim.SetNeverAnswer(o.neverAnswer);
    // A line is served, and traced, from its start, before the banner that
    // names its port is out: the trace waits for the banner.
    plat::CriticalSection outLock;
    bool bannerOut = false;
    std::string held;
    const auto openTrace = [&] {
        outLock.Enter();
        out << held;
        out.flush();
        bannerOut = true;
        outLock.Leave();
    };
    if (o.trace)
        sim.SetTrace([&](const TraceEvent& ev) {
            const std::string line = TraceLine(ev);
            outLock.Enter();
            if (bannerOut) {
                out << line;
                out.flush();
            } else {
                held += line;
            }
            outLock.Leave();
        });

    char station[8];
    std::snprintf(station, sizeof station, "%02X", static_cast<unsigned>(o.station));
    if (!o.serial.empty() || o.pty) {
        const plat::SerialSettings& l = o.line;
        std::string port = o.serial;
        if (o.pty)
            port = sim.StartPty(l);
        else if (!sim.StartSerial(port, l))
            port.clear();
        if (port.empty()) {
            static const char* const kWhy[] = {"", "no such serial port", "in use",
                                               "line settings refused"};
            const int e = sim.LastError();
            err << "idec-sim: "
                << (o.pty ? std::string("cannot make a pseudo-terminal pair")
                          : "cannot open " + o.serial + ": " +
                                (e > 0 && e < 4 ? kWhy[e] : "error " + std::to_string(e)))
                << "\n";
            return 1;
        }
        if (o.pty)
            out << "pty: " << port << "\n";
        out << "idec-sim: station " << station << " on " << port << " at " << l.baud << " "
            << static_cast<int>(l.dataBits) << l.parity << static_cast<int>(l.stopBits)
            << " (Ctrl+C stops)\n";
        out.flush();
        openTrace();
        if (onServing)
            onServing(port);
    } else {
        const int rc = Listen(sim, o, station, out, err, onListening);
        if (rc != 0)
            return rc;
        openTrace();
    }
    while (!stop.load())
        plat::SleepMs(50);
    sim.Stop();
    out << "idec-sim: stopped\n";
    return 0;
}

} // namespace idecsim
