// The settings reader against a plain scan: CIniFile finds sections through
// an index of the headers (a hash of the first header of each name, the next
// header tried first, the last section cached); the scan here walks the
// lines. For every header name in the text, prefixes and extensions of it,
// asked in file order, backwards and again, FindSection must give the same
// body, and GetString and GetInt the same values for every key of it. The
// same object first reads a prefix of the text, so that nothing of an earlier
// file may survive into the next.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "FuzzScratch.h"
#include "model/IniFile.h"
#include "platform/file.h"
#include "platform/types.h"

namespace {

[[noreturn]] void Fail(const char* what, const std::string& detail = std::string()) {
    std::fprintf(stderr, "fuzz_settings: %s %s\n", what, detail.c_str());
    std::abort();
}

// ---- the plain scan ----

struct Line {
    size_t begin;
    size_t end;  // first line-end byte, or the text's end
    size_t next; // start of the next line
};

std::vector<Line> Lines(const std::string& t) {
    std::vector<Line> lines;
    size_t pos = 0;
    while (pos < t.size()) {
        size_t e = pos;
        while (e < t.size() && t[e] != '\r' && t[e] != '\n')
            ++e;
        size_t next = e;
        if (next < t.size() && t[next] == '\r')
            ++next;
        if (next < t.size() && t[next] == '\n' && (next == e || t[e] == '\r'))
            ++next;
        lines.push_back({pos, e, next});
        pos = next;
    }
    return lines;
}

struct Section {
    std::string name;
    size_t bracket;
    size_t body;
    size_t bodyEnd;
};

std::vector<Section> Sections(const std::string& t, const std::vector<Line>& lines) {
    std::vector<Section> all;
    for (const Line& l : lines) {
        size_t p = l.begin;
        while (p < l.end && (t[p] == ' ' || t[p] == '\t'))
            ++p;
        if (p >= l.end || t[p] != '[')
            continue;
        size_t q = p + 1;
        while (q < l.end && t[q] != ']')
            ++q;
        if (!all.empty())
            all.back().bodyEnd = p;
        all.push_back({t.substr(p + 1, q - p - 1), p, l.next, t.size()});
    }
    return all;
}

const Section* FindPlain(const std::vector<Section>& all, const std::string& name) {
    if (name.empty())
        return nullptr;
    for (const Section& s : all)
        if (s.name == name)
            return &s;
    return nullptr;
}

// Value of key in [body, bodyEnd): the first line (blanks skipped, not a
// comment) whose text before its first '=', blanks cut at the end, is key.
bool ValuePlain(const std::string& t, const Section& s, const std::string& key,
                std::string* value) {
    for (const Line& l : Lines(t.substr(s.body, s.bodyEnd - s.body))) {
        const std::string line = t.substr(s.body + l.begin, l.end - l.begin);
        size_t p = 0;
        while (p < line.size() && (line[p] == ' ' || line[p] == '\t'))
            ++p;
        if (p >= line.size() || line[p] == ';')
            continue;
        const size_t eq = line.find('=', p);
        if (eq == std::string::npos)
            continue;
        size_t k = eq;
        while (k > p && (line[k - 1] == ' ' || line[k - 1] == '\t'))
            --k;
        if (line.compare(p, k - p, key) == 0 && k - p == key.size()) {
            *value = line.substr(eq + 1);
            return true;
        }
    }
    return false;
}

std::vector<std::string> Keys(const std::string& t, const Section& s) {
    std::vector<std::string> keys;
    for (const Line& l : Lines(t.substr(s.body, s.bodyEnd - s.body))) {
        const std::string line = t.substr(s.body + l.begin, l.end - l.begin);
        size_t p = 0;
        while (p < line.size() && (line[p] == ' ' || line[p] == '\t'))
            ++p;
        const size_t eq = line.find('=', p);
        if (eq == std::string::npos)
            continue;
        size_t k = eq;
        while (k > p && (line[k - 1] == ' ' || line[k - 1] == '\t'))
            --k;
        keys.push_back(line.substr(p, k - p));
        if (keys.size() >= 8)
            break;
    }
    return keys;
}

int32_t Saturated(long long v) {
    return v > INT32_MAX ? INT32_MAX : v < INT32_MIN ? INT32_MIN : static_cast<int32_t>(v);
}

// ---- the file ----

bool Load(CIniFile& ini, const std::string& text) {
    fuzz::Scratch& s = fuzz::Scratch::Of("fuzz_settings", "/fuzz.ini");
    if (!plat::FileWriteAll(s.File(), text.data(), text.size()))
        Fail("cannot write the scratch file");
    return ini.OpenFile(s.File());
}

void CheckSection(CIniFile& ini, const std::string& t, const std::vector<Section>& all,
                  const std::string& name) {
    // A C string ends at its first NUL: such a name cannot be asked for.
    if (name.find('\0') != std::string::npos)
        return;
    size_t b = 7, e = 7;
    const bool found = ini.FindSection(name.c_str(), &b, &e);
    const Section* s = FindPlain(all, name);
    if (found != (s != nullptr))
        Fail(found ? "found a section the scan has not:" : "missed a section:", name);
    if (!s)
        return;
    if (b != s->body || e != s->bodyEnd)
        Fail("section body differs:", name);

    std::vector<std::string> keys = Keys(t, *s);
    keys.push_back(std::string());
    keys.push_back(keys.front() + "=");
    for (const std::string& key : keys) {
        if (key.find('\0') != std::string::npos)
            continue;
        std::string want;
        const bool has = ValuePlain(t, *s, key, &want);
        for (uint32_t cap : {1u, 2u, 9u, 300u}) {
            std::vector<char> out(cap + 1, '\x5A');
            const uint32_t n = ini.GetString(name.c_str(), key.c_str(), "dflt", out.data(), cap);
            const std::string expected = (has ? want : std::string("dflt")).substr(0, cap - 1);
            if (n != expected.size() || std::memcmp(out.data(), expected.data(), n) != 0 ||
                out[n] != 0)
                Fail("value differs:", name + "/" + key);
            if (out[cap] != '\x5A')
                Fail("GetString wrote past its buffer");
        }
        if (has && !(want.size() >= 2 && want[0] == '0' && (want[1] == 'x' || want[1] == 'X'))) {
            // GetInt reads at most 31 bytes, up to a NUL among them.
            const std::string field = want.substr(0, 31);
            const int32_t expected =
                field.empty() ? -77 : Saturated(std::strtoll(field.c_str(), nullptr, 10));
            if (ini.GetInt(name.c_str(), key.c_str(), -77) != expected)
                Fail("GetInt differs from strtoll:", name + "/" + key);
        }
    }
}

// The text the reader works on: the file without a UTF-8 byte-order mark.
std::string Unmarked(const std::string& file) {
    return file.compare(0, 3, "\xEF\xBB\xBF") == 0 ? file.substr(3) : file;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string file(reinterpret_cast<const char*>(data), size);
    const std::string text = Unmarked(file);
    CIniFile ini;

    // A prefix first, asked for its first section and a missing one.
    const std::string prefixFile = file.substr(0, file.size() / 2);
    const std::string prefix = Unmarked(prefixFile);
    if (!Load(ini, prefixFile))
        Fail("a short file did not load");
    {
        const std::vector<Line> lines = Lines(prefix);
        const std::vector<Section> all = Sections(prefix, lines);
        size_t b, e;
        if (!all.empty())
            CheckSection(ini, prefix, all, all.front().name);
        ini.FindSection("\x01missing", &b, &e);
    }

    if (!Load(ini, file))
        Fail("the file did not load");
    if (ini.TextLength() != text.size() || std::memcmp(ini.Text(), text.data(), text.size()) != 0)
        Fail("the text read differs from the file");
    const std::vector<Line> lines = Lines(text);
    const std::vector<Section> all = Sections(text, lines);

    std::vector<std::string> names;
    for (size_t i = 0; i < all.size() && names.size() < 64; ++i) {
        names.push_back(all[i].name);
        if (!all[i].name.empty())
            names.push_back(all[i].name.substr(0, all[i].name.size() - 1));
        names.push_back(all[i].name + "]");
    }
    names.push_back(std::string());
    names.push_back("Driver");
    // File order (the next-header guess), backwards (the hash), then each
    // twice in a row (the cache).
    for (const std::string& n : names)
        CheckSection(ini, text, all, n);
    for (size_t i = names.size(); i-- > 0;)
        CheckSection(ini, text, all, names[i]);
    for (const std::string& n : names) {
        CheckSection(ini, text, all, n);
        CheckSection(ini, text, all, n);
    }
    return 0;
}
