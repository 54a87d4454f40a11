// The settings reader against a plain scan: CIniFile finds sections through
// an index of the headers (a hash of the first header of each name, the next
// header tried first, the last section cached); the scan here walks the
// lines. For every header name in the text, prefixes and extensions of it,
// asked in file order, backwards and again, FindSection must give the same
// body, and GetString and GetInt the same values for every key of it. The
// same object first reads a prefix of the text, so that nothing of an earlier
// file may survive into the next.
#include "FuzzKit.h"
#include "model/IniFile.h"

namespace {

using fuzz::Check;

// ---- the plain scan ----

struct Line {
    size_t begin;
    size_t end;  // first line-end byte, or the text's end
    size_t next; // start of the next line
};

std::vector<Line> Lines(const std::string& t) {
    std::vector<Line> lines;
    for (size_t pos = 0; pos < t.size(); pos = lines.back().next) {
        // CR, LF or CR LF end a line.
        const size_t e = std::min(t.find_first_of("\r\n", pos), t.size());
        const size_t next = e + (e < t.size()) + (t.compare(e, 2, "\r\n") == 0);
        lines.push_back({pos, e, next});
    }
    return lines;
}

struct Section {
    std::string name;
    size_t body;
    size_t bodyEnd;
};

// Every line whose first non-blank is '[' starts a section, named up to
// the ']' or the line's end; its body runs to the next header's '['.
std::vector<Section> Sections(const std::string& t) {
    std::vector<Section> all;
    for (const Line& l : Lines(t)) {
        size_t p = l.begin;
        while (p < l.end && (t[p] == ' ' || t[p] == '\t'))
            ++p;
        if (p >= l.end || t[p] != '[')
            continue;
        const size_t q = std::min(t.find(']', p), l.end);
        if (!all.empty())
            all.back().bodyEnd = p;
        all.push_back({t.substr(p + 1, q - p - 1), l.next, t.size()});
    }
    return all;
}

const Section* FindPlain(const std::vector<Section>& all, const std::string& name) {
    auto it =
        std::find_if(all.begin(), all.end(), [&](const Section& s) { return s.name == name; });
    return name.empty() || it == all.end() ? nullptr : &*it;
}

// The key lines of a section, in order: blanks skipped, text before the
// first '=' with blanks cut at its end, and what follows it; comment says
// whether the line starts with ';'.
struct KeyLine {
    std::string key, value;
    bool comment;
};

std::vector<KeyLine> KeyLines(const std::string& t, const Section& s) {
    std::vector<KeyLine> out;
    const std::string body = t.substr(s.body, s.bodyEnd - s.body);
    for (const Line& l : Lines(body)) {
        const std::string line = body.substr(l.begin, l.end - l.begin);
        const size_t p = std::min(line.find_first_not_of(" \t"), line.size());
        const size_t eq = line.find('=', p);
        if (eq == std::string::npos)
            continue;
        size_t k = eq;
        while (k > p && (line[k - 1] == ' ' || line[k - 1] == '\t'))
            --k;
        out.push_back({line.substr(p, k - p), line.substr(eq + 1), line[p] == ';'});
    }
    return out;
}

// ---- the file ----

bool Load(CIniFile& ini, const std::string& text) {
    return ini.OpenFile(fuzz::Scratch::Of("/fuzz.ini").Write(text));
}

void CheckSection(CIniFile& ini, const std::string& t, const std::vector<Section>& all,
                  const std::string& name) {
    // A C string ends at its first NUL: such a name cannot be asked for.
    if (name.find('\0') != std::string::npos)
        return;
    size_t b = 7, e = 7;
    const bool found = ini.FindSection(name.c_str(), &b, &e);
    const Section* s = FindPlain(all, name);
    Check(found == (s != nullptr),
          found ? "found a section the scan has not:" : "missed a section:", name);
    if (!s)
        return;
    Check(b == s->body && e == s->bodyEnd, "section body differs:", name);

    const std::vector<KeyLine> lines = KeyLines(t, *s);
    std::vector<std::string> keys;
    for (size_t i = 0; i < lines.size() && i < 8; ++i)
        keys.push_back(lines[i].key);
    keys.push_back(std::string());
    keys.push_back(keys.front() + "=");
    for (const std::string& key : keys) {
        if (key.find('\0') != std::string::npos)
            continue;
        // The first line of the key that is no comment.
        const auto hit = std::find_if(lines.begin(), lines.end(),
                                      [&](const KeyLine& l) { return !l.comment && l.key == key; });
        const bool has = hit != lines.end();
        const std::string want = has ? hit->value : "dflt";
        for (uint32_t cap : {1u, 2u, 9u, 300u}) {
            std::vector<char> out(cap + 1, '\x5A');
            const uint32_t n = ini.GetString(name.c_str(), key.c_str(), "dflt", out.data(), cap);
            const std::string expected = want.substr(0, cap - 1);
            Check(n == expected.size() && std::memcmp(out.data(), expected.data(), n) == 0 &&
                      out[n] == 0,
                  "value differs:", name + "/" + key);
            Check(out[cap] == '\x5A', "GetString wrote past its buffer");
        }
        // GetInt reads at most 31 bytes, up to a NUL among them; "0x" is no
        // decimal.
        const std::string field = want.substr(0, 31);
        if (has && !(want.size() >= 2 && want[0] == '0' && (want[1] | 0x20) == 'x'))
            Check(ini.GetInt(name.c_str(), key.c_str(), -77) ==
                      (field.empty() ? -77 : fuzz::Sat32(std::strtoll(field.c_str(), nullptr, 10))),
                  "GetInt differs from strtoll:", name + "/" + key);
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
    Check(Load(ini, prefixFile), "a short file did not load");
    const std::vector<Section> before = Sections(prefix);
    if (!before.empty())
        CheckSection(ini, prefix, before, before.front().name);
    size_t b, e;
    ini.FindSection("\x01missing", &b, &e);

    Check(Load(ini, file), "the file did not load");
    Check(ini.TextLength() == text.size() && std::memcmp(ini.Text(), text.data(), text.size()) == 0,
          "the text read differs from the file");
    const std::vector<Section> all = Sections(text);

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
