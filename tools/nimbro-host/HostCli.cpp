#include "HostCli.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <map>
#include <type_traits>
#include <vector>

#include "NimbroDriver.h"
#include "WatchTable.h"
#include "platform/codepage.h"
#include "platform/file.h"
#include "platform/module.h"
#include "platform/sync.h"
#include "platform/types.h"
#include "platform/variant.h"

static_assert(std::is_same<NimbroChar, WChar>::value, "host text is the platform's UTF-16");

namespace nimbrohost {

namespace {

typedef std::basic_string<WChar> WString;

// Large enough for the longest text a read can deliver (1023 characters and
// the terminator) and for "Status_str".
constexpr int32_t kReadCapacity = 1024;

const char* const kTypeNames[] = {"default", "bool", "u8",  "u16", "u32", "u64", "i8",
                                  "i16",     "i32",  "i64", "f32", "f64", "text"};
const char* const kTypeCodeNames[] = {"TypeDefault", "TypeBool", "TypeU8",  "TypeU16", "TypeU32",
                                      "TypeU64",     "TypeI8",   "TypeI16", "TypeI32", "TypeI64",
                                      "TypeF32",     "TypeF64",  "TypeText"};
constexpr int32_t kTypeCount = 13;

const char* const kActionWords[] = {"resolve", "register", "read",  "write", "list",
                                    "wait",    "repeat",   "watch", "end"};

bool IsActionWord(const std::string& s) {
    for (const char* w : kActionWords)
        if (s == w)
            return true;
    return false;
}

bool SameNoCase(const std::string& a, const char* b) {
    size_t n = std::strlen(b);
    if (a.size() != n)
        return false;
    for (size_t i = 0; i < n; ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z')
            x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = static_cast<char>(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return true;
}

// Decimal, or hexadecimal after 0x; the whole text, no sign or blank.
bool ParseUnsigned(const std::string& s, uint64_t max, uint64_t* out) {
    if (s.empty() || s[0] < '0' || s[0] > '9')
        return false;
    const bool hex = s.size() > 1 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
    errno = 0;
    char* end = nullptr;
    unsigned long long v = std::strtoull(s.c_str(), &end, hex ? 16 : 10);
    if (errno != 0 || end == s.c_str() || *end != '\0' || v > max)
        return false;
    *out = v;
    return true;
}

bool ParseSigned(const std::string& s, int64_t min, int64_t max, int64_t* out) {
    if (s.empty() || s[0] == ' ')
        return false;
    bool neg = s[0] == '-';
    std::string digits = (neg || s[0] == '+') ? s.substr(1) : s;
    uint64_t mag = 0;
    uint64_t limit = neg ? static_cast<uint64_t>(-(min + 1)) + 1 : static_cast<uint64_t>(max);
    if (!ParseUnsigned(digits, limit, &mag))
        return false;
    *out = neg ? static_cast<int64_t>(0 - mag) : static_cast<int64_t>(mag);
    return true;
}

bool ParseDouble(const std::string& s, double* out) {
    if (s.empty() || s[0] == ' ')
        return false;
    char* end = nullptr;
    double v = std::strtod(s.c_str(), &end);
    if (end == s.c_str() || *end != '\0')
        return false;
    *out = v;
    return true;
}

WString Wide(const std::string& text) {
    if (text.empty())
        return WString();
    int len = static_cast<int>(text.size());
    int n = plat::MultiByteToWide(plat::kCpAcp, 0, text.data(), len, nullptr, 0);
    if (n <= 0)
        return WString();
    WString out(static_cast<size_t>(n), 0);
    plat::MultiByteToWide(plat::kCpAcp, 0, text.data(), len, &out[0], n);
    return out;
}

std::string Narrow(const WChar* text, size_t len) {
    if (!text || len == 0)
        return std::string();
    int n = plat::WideToMultiByte(plat::kCpAcp, 0, text, static_cast<int>(len), nullptr, 0);
    if (n <= 0)
        return std::string();
    std::string out(static_cast<size_t>(n), '\0');
    plat::WideToMultiByte(plat::kCpAcp, 0, text, static_cast<int>(len), &out[0], n);
    return out;
}

size_t BoundedLen(const WChar* s, size_t cap) {
    size_t n = 0;
    while (n < cap && s[n])
        ++n;
    return n;
}

std::string Quoted(const std::string& s) {
    return "\"" + s + "\"";
}

// The host value of a write, laid out as its type says.
struct HostValue {
    union {
        uint8_t u8;
        uint16_t u16;
        uint32_t u32;
        uint64_t u64;
        int8_t i8;
        int16_t i16;
        int32_t i32;
        int64_t i64;
        float f32;
        double f64;
    } num;
    WString text;
    int32_t length = 0; // characters of a text, bytes of a number
};

bool MakeHostValue(int32_t type, const std::string& s, HostValue* v, std::string* error) {
    std::memset(&v->num, 0, sizeof v->num);
    uint64_t u = 0;
    int64_t i = 0;
    double d = 0;
    bool ok = true;
    switch (type) {
    case TypeBool:
        if (s == "true" || s == "1")
            v->num.u8 = 1;
        else if (s == "false" || s == "0")
            v->num.u8 = 0;
        else
            ok = false;
        v->length = 1;
        break;
    case TypeU8:
        ok = ParseUnsigned(s, 0xFF, &u);
        v->num.u8 = static_cast<uint8_t>(u);
        v->length = 1;
        break;
    case TypeU16:
        ok = ParseUnsigned(s, 0xFFFF, &u);
        v->num.u16 = static_cast<uint16_t>(u);
        v->length = 2;
        break;
    case TypeDefault: // laid out as TypeU32
    case TypeU32:
        ok = ParseUnsigned(s, 0xFFFFFFFFu, &u);
        v->num.u32 = static_cast<uint32_t>(u);
        v->length = 4;
        break;
    case TypeU64:
        ok = ParseUnsigned(s, UINT64_MAX, &u);
        v->num.u64 = u;
        v->length = 8;
        break;
    case TypeI8:
        ok = ParseSigned(s, INT8_MIN, INT8_MAX, &i);
        v->num.i8 = static_cast<int8_t>(i);
        v->length = 1;
        break;
    case TypeI16:
        ok = ParseSigned(s, INT16_MIN, INT16_MAX, &i);
        v->num.i16 = static_cast<int16_t>(i);
        v->length = 2;
        break;
    case TypeI32:
        ok = ParseSigned(s, INT32_MIN, INT32_MAX, &i);
        v->num.i32 = static_cast<int32_t>(i);
        v->length = 4;
        break;
    case TypeI64:
        ok = ParseSigned(s, INT64_MIN, INT64_MAX, &i);
        v->num.i64 = i;
        v->length = 8;
        break;
    case TypeF32:
        ok = ParseDouble(s, &d);
        v->num.f32 = static_cast<float>(d);
        v->length = 4;
        break;
    case TypeF64:
        ok = ParseDouble(s, &d);
        v->num.f64 = d;
        v->length = 8;
        break;
    case TypeText:
        v->text = Wide(s);
        if (!s.empty() && v->text.empty())
            ok = false;
        v->length = static_cast<int32_t>(v->text.size());
        break;
    default:
        ok = false;
        break;
    }
    if (!ok && error)
        *error = "'" + s + "' is not a value of type " + kTypeNames[type];
    return ok;
}

std::string FormatValue(int32_t type, const unsigned char* buf, int32_t count) {
    char text[64];
    switch (type) {
    case TypeBool:
    case TypeU8:
        std::snprintf(text, sizeof text, "%u", static_cast<unsigned>(buf[0]));
        return text;
    case TypeU16: {
        uint16_t v;
        std::memcpy(&v, buf, sizeof v);
        std::snprintf(text, sizeof text, "%u", static_cast<unsigned>(v));
        return text;
    }
    case TypeDefault:
    case TypeU32: {
        uint32_t v;
        std::memcpy(&v, buf, sizeof v);
        std::snprintf(text, sizeof text, "%lu", static_cast<unsigned long>(v));
        return text;
    }
    case TypeU64: {
        uint64_t v;
        std::memcpy(&v, buf, sizeof v);
        std::snprintf(text, sizeof text, "%llu", static_cast<unsigned long long>(v));
        return text;
    }
    case TypeI8:
        std::snprintf(text, sizeof text, "%d", static_cast<int>(static_cast<int8_t>(buf[0])));
        return text;
    case TypeI16: {
        int16_t v;
        std::memcpy(&v, buf, sizeof v);
        std::snprintf(text, sizeof text, "%d", static_cast<int>(v));
        return text;
    }
    case TypeI32: {
        int32_t v;
        std::memcpy(&v, buf, sizeof v);
        std::snprintf(text, sizeof text, "%ld", static_cast<long>(v));
        return text;
    }
    case TypeI64: {
        int64_t v;
        std::memcpy(&v, buf, sizeof v);
        std::snprintf(text, sizeof text, "%lld", static_cast<long long>(v));
        return text;
    }
    case TypeF32: {
        float v;
        std::memcpy(&v, buf, sizeof v);
        std::snprintf(text, sizeof text, "%.9g", static_cast<double>(v));
        return text;
    }
    case TypeF64: {
        double v;
        std::memcpy(&v, buf, sizeof v);
        std::snprintf(text, sizeof text, "%.17g", v);
        return text;
    }
    case TypeText: {
        // The count may exceed the text ("Status_str" reports the capacity).
        size_t cap =
            static_cast<size_t>(count > 0 && count < kReadCapacity ? count : kReadCapacity);
        WChar units[kReadCapacity];
        std::memcpy(units, buf, sizeof units);
        return Quoted(Narrow(units, BoundedLen(units, cap)));
    }
    default:
        return "(no layout for this type)";
    }
}

std::string TypeLabel(int32_t type) {
    char text[48];
    std::snprintf(text, sizeof text, "%s (%ld)", TypeName(type), static_cast<long>(type));
    return text;
}

std::string ResultName(int32_t r) {
    const char* name = nullptr;
    switch (r) {
    case ResultOk:
        name = "ResultOk";
        break;
    case ResultFailed:
        name = "ResultFailed";
        break;
    case ResultNak:
        name = "ResultNak";
        break;
    case ResultTimeout:
        name = "ResultTimeout";
        break;
    case ResultNotReady:
        name = "ResultNotReady";
        break;
    default:
        name = "unknown result";
        break;
    }
    char text[48];
    std::snprintf(text, sizeof text, "%s (%ld)", name, static_cast<long>(r));
    return text;
}

std::string HresultName(int32_t hr) {
    const char* name = "HRESULT";
    if (hr == NIMBRO_S_OK)
        name = "S_OK";
    else if (hr == NIMBRO_E_INVALIDARG)
        name = "E_INVALIDARG";
    else if (hr == NIMBRO_E_OUTOFMEMORY)
        name = "E_OUTOFMEMORY";
    else if (hr == NIMBRO_E_NOINTERFACE)
        name = "E_NOINTERFACE";
    char text[48];
    std::snprintf(text, sizeof text, "%s (0x%08lX)", name,
                  static_cast<unsigned long>(static_cast<uint32_t>(hr)));
    return text;
}

std::string AccessName(int32_t access) {
    switch (access) {
    case 0:
        return "none";
    case NimbroAccessRead:
        return "read";
    case NimbroAccessWrite:
        return "write";
    case NimbroAccessRead | NimbroAccessWrite:
        return "read+write";
    default:
        return "flags " + std::to_string(access);
    }
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

// Runs the actions against one driver object.
class Session {
public:
    Session(INimbroDriver* driver, std::ostream& out, const std::atomic<bool>* stop, bool terminal)
        : driver_(driver), out_(out), stop_(stop), terminal_(terminal) {}

    void RunAll(const std::vector<Action>& actions) {
        for (const Action& a : actions) {
            if (Stopped())
                return;
            RunOne(a);
            out_.flush();
        }
    }

private:
    bool Stopped() const { return stop_ && stop_->load(); }

    void RunOne(const Action& a) {
        switch (a.kind) {
        case ActionKind::kResolve:
            Resolve(a.device);
            break;
        case ActionKind::kRegister:
            Register(a);
            break;
        case ActionKind::kRead:
            Read(a);
            break;
        case ActionKind::kWrite:
            Write(a);
            break;
        case ActionKind::kList:
            List(a);
            break;
        case ActionKind::kWait:
            out_ << "wait " << a.ms << " ms\n";
            out_.flush();
            Sleep(a.ms);
            break;
        case ActionKind::kWatch:
            Watch(a);
            break;
        case ActionKind::kRepeat:
            for (uint32_t round = 1; round <= a.count && !Stopped(); ++round) {
                out_ << "round " << round << " of " << a.count << "\n";
                RunAll(a.body);
                if (round < a.count)
                    Sleep(a.ms);
            }
            break;
        }
    }

    // In short slices, so that a stop request is seen.
    void Sleep(uint32_t ms) {
        uint32_t start = plat::TickCount();
        while (!Stopped()) {
            uint32_t done = plat::TickCount() - start;
            if (done >= ms)
                return;
            uint32_t left = ms - done;
            plat::SleepMs(left < 50 ? left : 50);
        }
    }

    NimbroDevice Resolve(const std::string& name) {
        WString w = Wide(name);
        NimbroDevice dev = driver_->ResolveDevice(w.c_str());
        out_ << "ResolveDevice(" << Quoted(name) << ") -> ";
        if (dev) {
            char text[32];
            std::snprintf(text, sizeof text, "%p", dev);
            out_ << "device " << text << "\n";
            devices_[name] = dev;
        } else {
            out_ << "null (not found)\n";
            devices_.erase(name);
        }
        return dev;
    }

    // A known handle stays valid while the driver lives; a name that found
    // nothing is asked again, since enumeration may add device blocks.
    NimbroDevice Device(const std::string& name) {
        auto it = devices_.find(name);
        return it != devices_.end() ? it->second : Resolve(name);
    }

    std::string Call(const char* op, const Action& a) const {
        return std::string(op) + "(" + Quoted(a.device) + ", " + Quoted(a.item);
    }

    void Register(const Action& a) {
        NimbroDevice dev = Device(a.device);
        if (!dev) {
            out_ << Call("RegisterItem", a) << ") not called: no device " << Quoted(a.device)
                 << "\n";
            return;
        }
        WString item = Wide(a.item);
        int32_t type = 0, size = 0, access = 0;
        int32_t r = driver_->RegisterItem(dev, item.c_str(), &type, &size, &access);
        out_ << Call("RegisterItem", a) << ") -> " << r;
        if (r == 1) {
            out_ << " (registered): " << TypeLabel(type) << ", size " << size << ", access "
                 << AccessName(access) << "\n";
            registered_[a.device + '\n' + a.item] = type;
        } else {
            out_ << " (refused)\n";
        }
    }

    void Read(const Action& a) {
        int32_t requested = TypeDefault;
        if (a.hasType) {
            requested = a.type;
        } else {
            // A host reads an item in the type that registering it reported.
            auto it = registered_.find(a.device + '\n' + a.item);
            if (it != registered_.end())
                requested = it->second;
        }
        std::string call = Call("ReadItem", a) + ", " + TypeName(requested) + ")";
        NimbroDevice dev = Device(a.device);
        if (!dev) {
            out_ << call << " not called: no device " << Quoted(a.device) << "\n";
            return;
        }
        WString item = Wide(a.item);
        alignas(8) unsigned char buf[kReadCapacity * sizeof(WChar)];
        std::memset(buf, 0, sizeof buf);
        int32_t type = requested;
        int32_t count = 0;
        int32_t r = driver_->ReadItem(dev, item.c_str(), &type, buf, kReadCapacity, &count, 0);
        out_ << call << " -> " << ResultName(r);
        if (r == ResultOk) {
            if (count > 0)
                out_ << ": " << FormatValue(type, buf, count);
            else
                out_ << ": no value";
            out_ << " [" << TypeName(type) << ", count " << count << "]";
        }
        out_ << "\n";
    }

    void Write(const Action& a) {
        std::string call = Call("WriteItem", a) + ", " + TypeName(a.type) + ", " + a.value + ")";
        NimbroDevice dev = Device(a.device);
        if (!dev) {
            out_ << call << " not called: no device " << Quoted(a.device) << "\n";
            return;
        }
        HostValue v;
        if (!MakeHostValue(a.type, a.value, &v, nullptr)) // checked when parsed
            return;
        const void* data = a.type == TypeText ? static_cast<const void*>(v.text.c_str())
                                              : static_cast<const void*>(&v.num);
        WString item = Wide(a.item);
        int32_t count = 0;
        int32_t r = driver_->WriteItem(dev, item.c_str(), a.type, data, v.length, &count, 0);
        out_ << call << " -> " << ResultName(r) << ", count " << count << "\n";
    }

    // The type a host reads an item in: what registering it reported. A
    // refused registration leaves the default type.
    int32_t WatchType(NimbroDevice dev, const std::string& device, const std::string& item,
                      bool* refused) {
        auto it = registered_.find(device + '\n' + item);
        *refused = false;
        if (it != registered_.end())
            return it->second;
        WString w = Wide(item);
        int32_t type = TypeDefault, size = 0, access = 0;
        if (driver_->RegisterItem(dev, w.c_str(), &type, &size, &access) != 1) {
            *refused = true;
            return TypeDefault;
        }
        registered_[device + '\n' + item] = type;
        return type;
    }

    std::string StatusText(NimbroDevice dev) {
        alignas(8) unsigned char buf[kReadCapacity * sizeof(WChar)];
        std::memset(buf, 0, sizeof buf);
        int32_t type = TypeText;
        int32_t count = 0;
        const WString name = Wide("Status_str");
        int32_t r = driver_->ReadItem(dev, name.c_str(), &type, buf, kReadCapacity, &count, 0);
        if (r != ResultOk || type != TypeText)
            return "(" + ResultName(r) + ")";
        WChar units[kReadCapacity];
        std::memcpy(units, buf, sizeof units);
        return Narrow(units, BoundedLen(units, kReadCapacity));
    }

    // Reads the items and the block's status every interval and shows them
    // as a table. The age is the time since the value shown last changed
    // (its first good read counts as a change).
    void Watch(const Action& a) {
        NimbroDevice dev = Device(a.device);
        if (!dev) {
            out_ << "watch " << Quoted(a.device) << " not started: no device " << Quoted(a.device)
                 << "\n";
            return;
        }
        struct Watched {
            std::string item;
            WString name;
            int32_t type = TypeDefault;
            bool refused = false;
            bool hasValue = false;
            std::string value;
            int32_t valueType = TypeDefault;
            uint32_t changedAt = 0;
        };
        std::vector<Watched> watched;
        for (const std::string& item : a.items) {
            Watched w;
            w.item = item;
            w.name = Wide(item);
            w.type = WatchType(dev, a.device, item, &w.refused);
            watched.push_back(w);
        }
        WatchTable table(terminal_);
        uint32_t refresh = 0;
        while (!Stopped() && (a.count == 0 || refresh < a.count)) {
            ++refresh;
            std::vector<WatchRow> rows;
            for (Watched& w : watched) {
                alignas(8) unsigned char buf[kReadCapacity * sizeof(WChar)];
                std::memset(buf, 0, sizeof buf);
                int32_t type = w.type;
                int32_t count = 0;
                int32_t r =
                    driver_->ReadItem(dev, w.name.c_str(), &type, buf, kReadCapacity, &count, 0);
                const uint32_t now = plat::TickCount();
                if (r == ResultOk && count > 0) {
                    std::string v = FormatValue(type, buf, count);
                    if (!w.hasValue || v != w.value || type != w.valueType)
                        w.changedAt = now;
                    w.hasValue = true;
                    w.value = v;
                    w.valueType = type;
                }
                WatchRow row;
                row.item = w.item;
                row.value = w.hasValue ? w.value : "-";
                row.type =
                    w.refused ? "(not registered)" : TypeName(w.hasValue ? w.valueType : w.type);
                row.result = ResultName(r);
                row.age = w.hasValue ? FormatAge(now - w.changedAt) : "-";
                rows.push_back(row);
            }
            const std::string status = StatusText(dev);
            for (WatchRow& row : rows)
                row.status = status;
            std::string title =
                "watch " + Quoted(a.device) + ": refresh " + std::to_string(refresh);
            if (a.count > 0)
                title += " of " + std::to_string(a.count);
            title += ", every " + std::to_string(a.ms) + " ms";
            if (a.count == 0)
                title += ", Ctrl+C ends";
            out_ << table.Render(title, rows);
            out_.flush();
            if (a.count == 0 || refresh < a.count)
                Sleep(a.ms);
        }
        out_ << "watch " << Quoted(a.device) << " ended after " << refresh << " refresh"
             << (refresh == 1 ? "" : "es") << "\n";
    }

    void List(const Action& a) {
        WString name = Wide(a.device);
        NimbroBstr list = driver_->ListItems(name.c_str());
        out_ << "ListItems(" << Quoted(a.device) << ") -> ";
        if (!list) {
            out_ << "null\n";
            return;
        }
        // The length prefix bounds the text; the listing itself ends at a NUL.
        size_t len = BoundedLen(list, plat::BstrLen(list));
        out_ << Quoted(Narrow(list, len)) << "\n";
        plat::BstrFree(list);
    }

    INimbroDriver* driver_;
    std::ostream& out_;
    const std::atomic<bool>* stop_;
    bool terminal_;
    std::map<std::string, NimbroDevice> devices_;
    std::map<std::string, int32_t> registered_;
};

std::string FolderOf(const WString& path) {
    size_t cut = path.size();
    while (cut > 0 && !plat::IsPathSep(path[cut - 1]))
        --cut;
    return Narrow(path.c_str(), cut);
}

} // namespace

bool ParseTypeName(const std::string& text, int32_t* type) {
    for (int32_t i = 0; i < kTypeCount; ++i) {
        if (SameNoCase(text, kTypeNames[i]) || SameNoCase(text, kTypeCodeNames[i])) {
            *type = i;
            return true;
        }
    }
    uint64_t v = 0;
    if (ParseUnsigned(text, kTypeCount - 1, &v)) {
        *type = static_cast<int32_t>(v);
        return true;
    }
    return false;
}

const char* TypeName(int32_t type) {
    return type >= 0 && type < kTypeCount ? kTypeCodeNames[type] : "unknown type";
}

bool ParseCommandLine(int argc, const char* const* argv, Options* out, std::string* error) {
    Options o;
    Args a(argc, argv);
    while (a.More() && a.Peek()[0] == '-' && a.Peek()[1] != '\0') {
        std::string name, value;
        bool inlineValue = false;
        SplitOption(a.Next(), &name, &value, &inlineValue);
        if (name == "--help" || name == "-h") {
            if (inlineValue) {
                *error = name + " takes no value";
                return false;
            }
            o.help = true;
            continue;
        }
        if (name != "--module" && name != "--port" && name != "--word-order") {
            *error = "unknown option '" + name + "'";
            return false;
        }
        if (!inlineValue) {
            if (!a.More()) {
                *error = name + ": value missing";
                return false;
            }
            value = a.Next();
        }
        if (name == "--module") {
            if (value.empty()) {
                *error = "--module: empty path";
                return false;
            }
            o.module = value;
        } else if (name == "--port") {
            uint64_t port = 0;
            if (!ParseUnsigned(value, 65535, &port)) {
                *error = "--port: '" + value + "' is not a port number from 0 to 65535";
                return false;
            }
            o.port = static_cast<uint32_t>(port);
        } else {
            int64_t mode = 0;
            if (!ParseSigned(value, INT32_MIN, INT32_MAX, &mode)) {
                *error = "--word-order: '" + value + "' is not a 32-bit number";
                return false;
            }
            o.wordOrder = static_cast<int32_t>(mode);
        }
    }
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
           "                     program, else the one in the build tree)\n"
           "  --port N           NimbroInterface's port override, 0-65535 (default 0:\n"
           "                     the configured ports stay)\n"
           "  --word-order N     NimbroInterface's word-order mode: 0 (default) puts the\n"
           "                     high 16 bits of 32-bit values first, 1 the low; other\n"
           "                     values are passed as given\n"
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
           "Example:\n"
           "  nimbro-host --port 2101 resolve D register D D100 read D D100 wait 1000 \\\n"
           "      repeat 3 500 read D D100 read D Status_str text end list D\n"
           "  nimbro-host watch D D100 D102.Long Status --interval 500\n";
}

std::string DefaultModulePath() {
    std::vector<std::string> candidates;
    WChar exe[plat::kMaxPath];
    uint32_t n = plat::ModulePath(nullptr, exe, plat::kMaxPath);
    if (n > 0)
        candidates.push_back(FolderOf(WString(exe, n)) + NIMBRO_HOST_MODULE_NAME);
#ifdef NIMBRO_HOST_BUILD_MODULE
    candidates.push_back(NIMBRO_HOST_BUILD_MODULE);
#endif
    if (candidates.empty())
        return NIMBRO_HOST_MODULE_NAME;
    for (const std::string& c : candidates) {
        WString w = Wide(c);
        if (plat::PathExists(w.c_str()))
            return c;
    }
    return candidates.front();
}

int Run(const Options& options, std::ostream& out, std::ostream& err,
        const std::atomic<bool>* stop) {
    const std::string path = options.module.empty() ? DefaultModulePath() : options.module;
    WString wpath = Wide(path);
    bool hasFolder = false;
    for (WChar c : wpath)
        hasFolder = hasFolder || plat::IsPathSep(c);
    // A bare name would send the loader through its search path.
    if (!hasFolder)
        wpath = WString(1, W16('.')) + plat::kPathSep + wpath;

    out << "module " << path << "\n";
    plat::ModuleHandle module = plat::ModuleLoad(wpath.c_str());
    if (!module) {
        err << "nimbro-host: cannot load the module " << path << "\n";
        return kExitHostFailed;
    }
    void* symbol = plat::ModuleSymbol(module, "NimbroInterface");
    if (!symbol) {
        err << "nimbro-host: " << path << " does not export NimbroInterface\n";
        plat::ModuleFree(module);
        return kExitHostFailed;
    }
    NimbroInterfaceFn create;
    std::memcpy(&create, &symbol, sizeof create);

    INimbroDriver* driver = nullptr;
    int32_t hr = create(&driver, options.port, options.wordOrder);
    out << "NimbroInterface(hostPort " << options.port << ", wordOrder " << options.wordOrder
        << ") -> " << HresultName(hr) << "\n";
    if (hr != NIMBRO_S_OK || !driver) {
        if (hr == NIMBRO_S_OK)
            err << "nimbro-host: NimbroInterface succeeded without a driver\n";
        out.flush();
        plat::ModuleFree(module);
        return kExitHostFailed;
    }
    out.flush();

    int rc = kExitOk;
    try {
        Session session(driver, out, stop, options.terminal);
        session.RunAll(options.actions);
    } catch (const std::exception& e) {
        // Still release the driver: its links run threads inside the module.
        err << "nimbro-host: " << e.what() << "\n";
        rc = kExitHostFailed;
    }
    if (stop && stop->load())
        out << "stopped: remaining actions skipped\n";
    uint32_t left = driver->Release();
    out << "Release() -> " << left << "\n";
    plat::ModuleFree(module);
    out << "module freed\n";
    out.flush();
    return rc;
}

} // namespace nimbrohost
