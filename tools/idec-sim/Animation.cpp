#include "Animation.h"

#include <vector>

namespace idecsim {

namespace {

constexpr uint32_t kMinMs = 10;
constexpr uint32_t kMaxMs = 3600000;
// After a stall (a suspended process) a counter or walk does not replay
// millions of steps.
constexpr uint64_t kMaxCatchUp = 1000;

struct KindInfo {
    AnimationKind kind;
    const char* name;
    const char* args;
    const char* example;
};

const KindInfo kKinds[] = {
    {AnimationKind::kRamp, "ramp", "FROM:TO:PERIOD", "D100=ramp:0:1000:1s"},
    {AnimationKind::kCounter, "counter", "STEP:INTERVAL", "D101=counter:1:500ms"},
    {AnimationKind::kSquare, "square", "LOW:HIGH:PERIOD", "D102=square:0:1:2s"},
    {AnimationKind::kWalk, "walk", "START:STEP:INTERVAL", "D103=walk:500:10:200ms"},
};

std::vector<std::string> Split(const std::string& s, char sep) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t at = s.find(sep, start);
        parts.push_back(s.substr(start, at == std::string::npos ? std::string::npos : at - start));
        if (at == std::string::npos)
            return parts;
        start = at + 1;
    }
}

bool ParseNumber(const std::string& s, uint64_t max, uint64_t* out) {
    size_t i = 0;
    int base = 10;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        i = 2;
    }
    if (i >= s.size())
        return false;
    uint64_t v = 0;
    for (; i < s.size(); ++i) {
        const char c = s[i];
        int d = -1;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        if (d < 0)
            return false;
        v = v * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
        if (v > max)
            return false;
    }
    *out = v;
    return true;
}

bool ParseDuration(const std::string& s, uint32_t* ms) {
    uint64_t scale = 0;
    std::string digits;
    if (s.size() > 2 && s.compare(s.size() - 2, 2, "ms") == 0) {
        scale = 1;
        digits = s.substr(0, s.size() - 2);
    } else if (s.size() > 1 && s[s.size() - 1] == 's') {
        scale = 1000;
        digits = s.substr(0, s.size() - 1);
    } else {
        return false;
    }
    for (char c : digits)
        if (c < '0' || c > '9')
            return false;
    uint64_t n = 0;
    if (!ParseNumber(digits, kMaxMs, &n) || n * scale < kMinMs || n * scale > kMaxMs)
        return false;
    *ms = static_cast<uint32_t>(n * scale);
    return true;
}

uint32_t Clamp(int64_t v, uint32_t max) {
    if (v < 0)
        return 0;
    return v > static_cast<int64_t>(max) ? max : static_cast<uint32_t>(v);
}

} // namespace

bool ParseAnimation(const std::string& text, Animation* out, std::string* error) {
    const std::string head = "--animate " + text + ": ";
    size_t letters = 0;
    while (letters < text.size() && ((text[letters] >= 'A' && text[letters] <= 'Z') ||
                                     (text[letters] >= 'a' && text[letters] <= 'z')))
        ++letters;
    const size_t eq = text.find('=');
    bool addressOk = letters > 0 && eq != std::string::npos && eq > letters;
    for (size_t i = letters; addressOk && i < eq; ++i)
        addressOk = text[i] >= '0' && text[i] <= '9';
    uint64_t address = 0;
    if (!addressOk || !ParseNumber(text.substr(letters, eq - letters), UINT32_MAX, &address)) {
        *error = head + "expected DEVADDR=KIND:ARGS, e.g. D101=counter:1:500ms";
        return false;
    }
    const std::vector<std::string> parts = Split(text.substr(eq + 1), ':');
    const KindInfo* info = nullptr;
    for (const KindInfo& k : kKinds)
        if (parts[0] == k.name)
            info = &k;
    if (!info) {
        *error = head + "unknown kind '" + parts[0] + "' (ramp, counter, square, walk)";
        return false;
    }
    const std::string usage =
        std::string(info->name) + " takes " + info->args + ", e.g. " + info->example;
    const size_t want = info->kind == AnimationKind::kCounter ? 3 : 4;
    if (parts.size() != want) {
        *error = head + usage;
        return false;
    }
    Animation a;
    a.kind = info->kind;
    a.device = text.substr(0, letters);
    a.address = static_cast<uint32_t>(address);
    if (!ParseDuration(parts[want - 1], &a.ms)) {
        *error = head + "'" + parts[want - 1] +
                 "' is not a duration (N ms or N s, 10 ms to 1 h); " + usage;
        return false;
    }
    uint64_t n = 0;
    if (a.kind == AnimationKind::kCounter) {
        const std::string& s = parts[1];
        const bool negative = !s.empty() && s[0] == '-';
        const std::string digits = !s.empty() && (s[0] == '-' || s[0] == '+') ? s.substr(1) : s;
        if (!ParseNumber(digits, UINT32_MAX, &n)) {
            *error = head + "'" + s + "' is not a step (a whole number, may be negative); " + usage;
            return false;
        }
        a.step = negative ? -static_cast<int64_t>(n) : static_cast<int64_t>(n);
        *out = a;
        return true;
    }
    if (!ParseNumber(parts[1], UINT32_MAX, &n)) {
        *error = head + "'" + parts[1] + "' is not a value (decimal or 0x hex); " + usage;
        return false;
    }
    a.from = static_cast<uint32_t>(n);
    if (!ParseNumber(parts[2], UINT32_MAX, &n)) {
        *error = head + "'" + parts[2] + "' is not a value (decimal or 0x hex); " + usage;
        return false;
    }
    if (a.kind == AnimationKind::kWalk) {
        if (n == 0) {
            *error = head + "a walk's STEP must be at least 1; " + usage;
            return false;
        }
        a.step = static_cast<int64_t>(n);
    } else {
        a.to = static_cast<uint32_t>(n);
    }
    *out = a;
    return true;
}

Animator::Animator(const Animation& a, uint32_t max, uint64_t startMs)
    : a_(a), max_(max), start_(startMs) {}

void Animator::Restart(uint64_t startMs) {
    start_ = startMs;
    steps_ = 0;
    hasLast_ = false;
}

bool Animator::Initial(uint32_t* value) const {
    if (a_.kind == AnimationKind::kCounter)
        return false;
    *value = a_.from;
    return true;
}

bool Animator::Next(uint64_t nowMs, uint32_t current, std::mt19937& rng, uint32_t* value) {
    const uint64_t t = nowMs > start_ ? nowMs - start_ : 0;
    const uint64_t period = a_.ms > 0 ? a_.ms : 1;
    uint32_t v = current;
    switch (a_.kind) {
    case AnimationKind::kRamp: {
        const int64_t span = static_cast<int64_t>(a_.to) - static_cast<int64_t>(a_.from);
        const int64_t phase = static_cast<int64_t>(t % period);
        v = Clamp(static_cast<int64_t>(a_.from) + span * phase / static_cast<int64_t>(period),
                  max_);
        break;
    }
    case AnimationKind::kSquare:
        v = t % period < period / 2 ? a_.from : a_.to;
        break;
    case AnimationKind::kCounter:
    case AnimationKind::kWalk: {
        const uint64_t due = t / period;
        if (due <= steps_)
            return false;
        const uint64_t n = due - steps_ < kMaxCatchUp ? due - steps_ : kMaxCatchUp;
        steps_ = due;
        if (a_.kind == AnimationKind::kCounter) {
            // Wraps within the unit as a PLC register does.
            const int64_t m = static_cast<int64_t>(max_) + 1;
            int64_t x = static_cast<int64_t>(current % static_cast<uint64_t>(m));
            x = (x + (a_.step % m) * static_cast<int64_t>(n)) % m;
            v = static_cast<uint32_t>(x < 0 ? x + m : x);
        } else {
            std::uniform_int_distribution<int64_t> move(-a_.step, a_.step);
            int64_t x = current;
            for (uint64_t i = 0; i < n; ++i)
                x = Clamp(x + move(rng), max_);
            v = static_cast<uint32_t>(x);
        }
        *value = v;
        return true;
    }
    }
    if (hasLast_ && v == last_)
        return false;
    hasLast_ = true;
    last_ = v;
    *value = v;
    return true;
}

} // namespace idecsim
