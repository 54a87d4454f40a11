#include "HostCli.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

#include <CLI/CLI.hpp>

#include "HostValues.h"

namespace nimbrohost {

namespace {

const char* const kActionWords[] = {"resolve", "register", "read",  "write", "list",
                                    "wait",    "repeat",   "watch", "end"};

bool IsActionWord(const std::string& s) {
    for (const char* w : kActionWords)
        if (s == w)
            return true;
    return false;
}

// One argument list being consumed.
class Args {
public:
    Args(int argc, const char* const* argv) : argc_(argc), argv_(argv) {}
    bool More() const { return pos_ < argc_; }
    const char* Peek() const { return More() ? argv_[pos_] : nullptr; }
    std::string Next() { return argv_[pos_++]; }

private:
    int argc_;
    const char* const* argv_;
    int pos_ = 0;
};

bool TakeWord(Args& a, const char* action, const char* what, std::string* out, std::string* error) {
    if (!a.More()) {
        *error = std::string(action) + ": " + what + " missing";
        return false;
    }
    *out = a.Next();
    return true;
}

bool TakeMs(Args& a, const char* action, const char* what, uint32_t* out, std::string* error) {
    std::string s;
    if (!TakeWord(a, action, what, &s, error))
        return false;
    uint64_t v = 0;
    if (!ParseUnsigned(s, kMaxWaitMs, &v)) {
        *error = std::string(action) + ": " + what + " '" + s + "' is not a number from 0 to " +
                 std::to_string(kMaxWaitMs);
        return false;
    }
    *out = static_cast<uint32_t>(v);
    return true;
}

bool ParseActions(Args& a, bool inRepeat, std::vector<Action>* out, std::string* error);
void SplitOption(const std::string& arg, std::string* name, std::string* value, bool* hasValue);

// watch DEVICE ITEM... [--interval MS] [--count N]: the items run to the next
// action word; the two options may stand anywhere among them.
bool ParseWatch(Args& a, Action* act, std::string* error) {
    act->kind = ActionKind::kWatch;
    act->ms = kDefaultWatchIntervalMs;
    act->count = 0;
    if (!TakeWord(a, "watch", "DEVICE", &act->device, error))
        return false;
    while (a.More() && !IsActionWord(a.Peek())) {
        const std::string word = a.Next();
        if (word.compare(0, 1, "-") != 0) {
            act->items.push_back(word);
            continue;
        }
        std::string name, value;
        bool inlineValue = false;
        SplitOption(word, &name, &value, &inlineValue);
        if (name != "--interval" && name != "--count") {
            *error = "watch: unknown option '" + name + "' (--interval MS, --count N)";
            return false;
        }
        if (!inlineValue) {
            if (!a.More()) {
                *error = "watch: " + name + " needs a value";
                return false;
            }
            value = a.Next();
        }
        uint64_t v = 0;
        if (name == "--interval") {
            if (!ParseUnsigned(value, kMaxWaitMs, &v) || v < kMinWatchIntervalMs) {
                *error = "watch: --interval '" + value + "' is not a number from " +
                         std::to_string(kMinWatchIntervalMs) + " to " + std::to_string(kMaxWaitMs);
                return false;
            }
            act->ms = static_cast<uint32_t>(v);
        } else {
            if (!ParseUnsigned(value, 1000000, &v) || v == 0) {
                *error = "watch: --count '" + value + "' is not a number from 1 to 1000000";
                return false;
            }
            act->count = static_cast<uint32_t>(v);
        }
    }
    if (act->items.empty()) {
        *error = "watch: ITEM missing";
        return false;
    }
    return true;
}

bool ParseAction(Args& a, const std::string& word, Action* act, std::string* error) {
    if (word == "resolve") {
        act->kind = ActionKind::kResolve;
        return TakeWord(a, "resolve", "NAME", &act->device, error);
    }
    if (word == "register") {
        act->kind = ActionKind::kRegister;
        return TakeWord(a, "register", "DEVICE", &act->device, error) &&
               TakeWord(a, "register", "ITEM", &act->item, error);
    }
    if (word == "read") {
        act->kind = ActionKind::kRead;
        if (!TakeWord(a, "read", "DEVICE", &act->device, error) ||
            !TakeWord(a, "read", "ITEM", &act->item, error))
            return false;
        if (a.More() && ParseTypeName(a.Peek(), &act->type)) {
            act->hasType = true;
            a.Next();
        }
        return true;
    }
    if (word == "write") {
        act->kind = ActionKind::kWrite;
        std::string type;
        if (!TakeWord(a, "write", "DEVICE", &act->device, error) ||
            !TakeWord(a, "write", "ITEM", &act->item, error) ||
            !TakeWord(a, "write", "TYPE", &type, error))
            return false;
        if (!ParseTypeName(type, &act->type)) {
            *error = "write: unknown type '" + type + "'";
            return false;
        }
        act->hasType = true;
        if (!TakeWord(a, "write", "VALUE", &act->value, error))
            return false;
        HostValue v;
        std::string why;
        if (!MakeHostValue(act->type, act->value, &v, &why)) {
            *error = "write: " + why;
            return false;
        }
        return true;
    }
    if (word == "list") {
        act->kind = ActionKind::kList;
        if (a.More() && !IsActionWord(a.Peek()))
            act->device = a.Next();
        return true;
    }
    if (word == "wait") {
        act->kind = ActionKind::kWait;
        return TakeMs(a, "wait", "MS", &act->ms, error);
    }
    if (word == "watch")
        return ParseWatch(a, act, error);
    if (word == "repeat") {
        act->kind = ActionKind::kRepeat;
        std::string n;
        uint64_t count = 0;
        if (!TakeWord(a, "repeat", "N", &n, error))
            return false;
        if (!ParseUnsigned(n, 1000000, &count) || count == 0) {
            *error = "repeat: N '" + n + "' is not a number from 1 to 1000000";
            return false;
        }
        act->count = static_cast<uint32_t>(count);
        if (!TakeMs(a, "repeat", "MS", &act->ms, error))
            return false;
        if (!ParseActions(a, true, &act->body, error))
            return false;
        if (act->body.empty()) {
            *error = "repeat: no action to repeat";
            return false;
        }
        return true;
    }
    if (word.compare(0, 1, "-") == 0)
        *error = "unknown option '" + word + "' (options go before the actions)";
    else
        *error = "unknown action '" + word + "'";
    return false;
}

// Up to the end of the arguments, or inside a repeat up to its "end".
bool ParseActions(Args& a, bool inRepeat, std::vector<Action>* out, std::string* error) {
    while (a.More()) {
        std::string word = a.Next();
        if (word == "end") {
            if (inRepeat)
                return true;
            *error = "'end' without 'repeat'";
            return false;
        }
        Action act;
        if (!ParseAction(a, word, &act, error))
            return false;
        out->push_back(std::move(act));
    }
    return true;
}

// "--opt=VALUE" or "--opt".
void SplitOption(const std::string& arg, std::string* name, std::string* value, bool* hasValue) {
    size_t eq = arg.find('=');
    *hasValue = eq != std::string::npos;
    *name = *hasValue ? arg.substr(0, eq) : arg;
    if (*hasValue)
        *value = arg.substr(eq + 1);
}

bool AllDigits(const std::string& s) {
    if (s.empty())
        return false;
    for (char c : s)
        if (c < '0' || c > '9')
            return false;
    return true;
}

// One line setting, judged by the platform with the others at their defaults.
bool LineValue(const std::string& option, const std::string& text, plat::SerialSettings* line,
               std::string* error) {
    plat::SerialSettings one;
    uint64_t n = 0;
    const bool number = AllDigits(text) && ParseUnsigned(text, UINT32_MAX, &n);
    if (option == "--baud")
        one.baud = static_cast<uint32_t>(n);
    else if (option == "--data-bits")
        one.dataBits = static_cast<uint8_t>(n > 255 ? 0 : n);
    else if (option == "--stop-bits")
        one.stopBits = static_cast<uint8_t>(n > 255 ? 0 : n);
    else
        one.parity = text.size() == 1 ? static_cast<char>(std::toupper(text[0])) : '?';
    const bool ok = option == "--parity" ? one.parity != '?' : number;
    if (!ok || !plat::SerialSettingsValid(one)) {
        const char* allowed = option == "--baud"        ? "a speed from 300 to 230400"
                              : option == "--data-bits" ? "7 or 8"
                              : option == "--stop-bits" ? "1 or 2"
                                                        : "E, O or N";
        *error = option + ": '" + text + "' is not " + allowed;
        return false;
    }
    if (option == "--baud")
        line->baud = one.baud;
    else if (option == "--data-bits")
        line->dataBits = one.dataBits;
    else if (option == "--stop-bits")
        line->stopBits = one.stopBits;
    else
        line->parity = one.parity;
    return true;
}

// host:port with a port from 1 to 65535, or a serial port name.
bool ConnectTarget(const std::string& target, Connect* c, std::string* error) {
    if (target.empty()) {
        *error = "--connect: empty target";
        return false;
    }
    for (char ch : target) {
        if (static_cast<unsigned char>(ch) < 0x20) {
            *error = "--connect: control character in the target";
            return false;
        }
    }
    // What the driver takes as OpenName.
    if (target.size() > 254) {
        *error = "--connect: the target is longer than 254 bytes";
        return false;
    }
    c->target = target;
    c->serial = plat::IsSerialPortName(target.c_str());
    if (c->serial)
        return true;
    const size_t colon = target.find(':');
    uint64_t port = 0;
    if (colon == std::string::npos || colon == 0 ||
        target.find(':', colon + 1) != std::string::npos || !AllDigits(target.substr(colon + 1)) ||
        !ParseUnsigned(target.substr(colon + 1), 65535, &port) || port == 0) {
        *error = "--connect: '" + target + "' is neither HOST:PORT (port 1-65535) nor " +
                 (plat::IsSerialPortName("COM1") ? "a serial port COM1 ... COM256"
                                                 : "a serial port's absolute path");
        return false;
    }
    return true;
}

} // namespace

bool ParseCommandLine(int argc, const char* const* argv, Options* out, std::string* error) {
    // CLI11 reads the options up to the first action; the actions are a
    // grammar of their own (repeat ... end), read here.
    const auto fail = [error](const std::string& why) {
        *error = why;
        return false;
    };
    const char* const valueOptions[] = {"--module",    "--port",    "--word-order",
                                        "--connect",   "--station", "--baud",
                                        "--data-bits", "--parity",  "--stop-bits"};
    for (int i = 0; i < argc && argv[i][0] == '-' && argv[i][1] != '\0'; ++i) {
        const std::string arg = argv[i];
        const size_t eq = arg.find('=');
        // Left to CLI11, "--opt=" would take the next word as its value and
        // "--help=V" would read V as true or false.
        if (eq != std::string::npos && arg.compare(0, eq, "--help") == 0)
            return fail("--help takes no value");
        if (eq != std::string::npos && eq + 1 == arg.size())
            return fail(arg.substr(0, eq) + ": value missing");
        for (const char* name : valueOptions)
            i += arg == name ? 1 : 0;
    }
    std::vector<std::string> args; // reversed, as CLI11 takes them
    for (int i = argc; i-- > 0;)
        args.push_back(argv[i]);
    Options o;
    std::string port, wordOrder, connect, station;
    std::string line[4]; // --baud, --data-bits, --parity, --stop-bits
    std::vector<std::string> rest;
    try {
        CLI::App app;
        app.set_help_flag();
        app.prefix_command();
        app.allow_windows_style_options(false);
        app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
        app.add_flag("-h,--help", o.help);
        app.add_option(valueOptions[0], o.module)->type_name("PATH");
        app.add_option(valueOptions[1], port)->type_name("N");
        app.add_option(valueOptions[2], wordOrder)->type_name("N");
        app.add_option(valueOptions[3], connect)->type_name("TARGET");
        app.add_option(valueOptions[4], station)->type_name("N");
        for (int i = 0; i < 4; ++i)
            app.add_option(valueOptions[5 + i], line[i])->type_name("V");
        app.parse(args);
        if (app.count(valueOptions[0]) && o.module.empty())
            return fail("--module: empty path");
        uint64_t n = 0;
        if (app.count(valueOptions[1]) && !ParseUnsigned(port, 65535, &n))
            return fail("--port: '" + port + "' is not a port number from 0 to 65535");
        o.port = static_cast<uint32_t>(n);
        int64_t mode = 0;
        if (app.count(valueOptions[2]) && !ParseSigned(wordOrder, INT32_MIN, INT32_MAX, &mode))
            return fail("--word-order: '" + wordOrder + "' is not a 32-bit number");
        o.wordOrder = static_cast<int32_t>(mode);
        const bool hasConnect = app.count(valueOptions[3]) > 0;
        for (int i = 4; i < 9; ++i)
            if (app.count(valueOptions[i]) && !hasConnect)
                return fail(std::string(valueOptions[i]) + " belongs to --connect");
        if (hasConnect) {
            // The port is part of the target; an override would contradict it.
            if (app.count(valueOptions[1]))
                return fail("--port and --connect: give the port in --connect HOST:PORT");
            if (!ConnectTarget(connect, &o.connect, error))
                return false;
            n = 0;
            if (app.count(valueOptions[4]) &&
                (!AllDigits(station) || !ParseUnsigned(station, 255, &n)))
                return fail("--station: '" + station + "' is not a station number from 0 to 255");
            o.connect.station = static_cast<uint32_t>(n);
            bool* given[] = {&o.connect.hasBaud, &o.connect.hasDataBits, &o.connect.hasParity,
                             &o.connect.hasStopBits};
            for (int i = 0; i < 4; ++i) {
                const std::string option = valueOptions[5 + i];
                if (!app.count(option))
                    continue;
                if (!o.connect.serial)
                    return fail(option + ": '" + connect +
                                "' is HOST:PORT; line settings are for a serial port");
                if (!LineValue(option, line[i], &o.connect.line, error))
                    return false;
                *given[i] = true;
            }
        }
        rest = app.remaining();
    } catch (const std::exception& e) { // CLI::ParseError says what was wrong
        return fail(e.what());
    }
    if (!rest.empty() && rest.front().size() > 1 && rest.front()[0] == '-')
        return fail("unknown option '" + rest.front().substr(0, rest.front().find('=')) + "'");
    std::vector<const char*> words;
    for (const std::string& w : rest)
        words.push_back(w.c_str());
    Args a(static_cast<int>(words.size()), words.data());
    if (!ParseActions(a, false, &o.actions, error))
        return false;
    *out = std::move(o);
    return true;
}

std::string HelpText() {
    return "Usage: nimbro-host [options] [action ...]\n"
           "Loads the IDEC driver module the way a Nimbro host does, creates the driver\n"
           "with NimbroInterface, runs the actions in order and prints every call with\n"
           "its result, then releases the driver and frees the module.\n"
           "\n"
           "Options (before the actions; --opt VALUE or --opt=VALUE):\n"
           "  --module PATH      the driver module (default: NimbroDrvIDec beside this\n"
           "                     program, else the one in the build tree); with\n"
           "                     --connect, the module that is copied\n"
           "  --port N           NimbroInterface's port override, 0-65535 (default 0:\n"
           "                     the configured ports stay)\n"
           "  --word-order N     NimbroInterface's word-order mode: 0 (default) puts the\n"
           "                     high 16 bits of 32-bit values first, 1 the low; other\n"
           "                     values are passed as given\n"
           "  --connect TARGET   try a link without writing a configuration: TARGET is\n"
           "                     HOST:PORT or a serial port (COM1 ... COM256 on Windows,\n"
           "                     a device path such as /dev/ttyUSB0 elsewhere). The\n"
           "                     module is copied into a new folder under the system's\n"
           "                     temporary folder with Nimbro.ini, a configuration of\n"
           "                     one link to TARGET and one PLC with the shipped idec.plc\n"
           "                     and a device block for each of its device types (D, M,\n"
           "                     TP ...); the folder is removed when the run ends, also\n"
           "                     after an error or Ctrl+C. Not with --port\n"
           "  --station N        with --connect: the PLC's station number, DeviceNo,\n"
           "                     decimal 0-255 (default 0)\n"
           "  --baud N, --data-bits 7|8, --parity E|O|N, --stop-bits 1|2\n"
           "                     with --connect to a serial port: the line settings\n"
           "                     (speeds 300 to 230400); those not given are the\n"
           "                     driver's defaults\n"
           "  --help, -h         this text\n"
           "\n"
           "Actions:\n"
           "  resolve NAME                   ResolveDevice: D, .D or .PLC.D\n"
           "  register DEVICE ITEM           RegisterItem: prints type, size and access\n"
           "  read DEVICE ITEM [TYPE]        ReadItem; without TYPE, the type that\n"
           "                                 register reported, else default\n"
           "  write DEVICE ITEM TYPE VALUE   WriteItem\n"
           "  list [DEVICE]                  ListItems: the device types, or the items\n"
           "                                 of one device block\n"
           "  wait MS                        sleep (0-3600000 ms)\n"
           "  repeat N MS ACTION... [end]    run the actions up to 'end' (or to the\n"
           "                                 end of the line) N times, MS ms apart\n"
           "  watch DEVICE ITEM... [--interval MS] [--count N]\n"
           "                                 a table of the items, read again every MS\n"
           "                                 ms (default 1000, at least 10): value,\n"
           "                                 host type, result, the block's Status_str\n"
           "                                 and the age of the value (time since it\n"
           "                                 last changed). Redrawn in place on a\n"
           "                                 terminal, plain lines otherwise. Ends\n"
           "                                 after N refreshes, else on Ctrl+C\n"
           "DEVICE is resolved once with ResolveDevice and its handle kept. A name that\n"
           "resolves to nothing is resolved again by the next action that uses it;\n"
           "that action is then not called. ITEM: D100, D100.Long, D100.Bit3,\n"
           "D5.String20; Status reads as u32, Status_str as text.\n"
           "\n"
           "Types (name, code name or number): default (0, laid out as u32), bool (1),\n"
           "u8 (2), u16 (3), u32 (4), u64 (5), i8 (6), i16 (7), i32 (8), i64 (9),\n"
           "f32 (10), f64 (11), text (12). Values: bool true/false/1/0; integers decimal\n"
           "or 0x hex; floats as 1.5 or 2e3; text as it is (quote it for the shell).\n"
           "\n"
           "Results are printed by name: ResultOk (0), ResultFailed (1), ResultNak (4),\n"
           "ResultTimeout (5), ResultNotReady (6); HRESULTs as S_OK, E_INVALIDARG ...\n"
           "\n"
           "Exit status: 0 when the module loaded and NimbroInterface succeeded, whatever\n"
           "the actions returned; 1 when it did not; 2 for a command-line error.\n"
           "Ctrl+C ends a wait or a watch and skips the remaining actions; the driver\n"
           "is still released.\n"
           "\n"
           "Examples:\n"
           "  nimbro-host --connect 192.168.1.5:2101 --station 1 read D D100 wait 1000 \\\n"
           "      read D D100\n"
           "  nimbro-host --connect /dev/ttyUSB0 --baud 19200 --data-bits 8 --parity N \\\n"
           "      watch D D100 D101 --count 5\n"
           "  nimbro-host --port 2101 resolve D register D D100 read D D100 wait 1000 \\\n"
           "      repeat 3 500 read D D100 read D Status_str text end list D\n"
           "  nimbro-host watch D D100 D102.Long Status --interval 500\n";
}

} // namespace nimbrohost
