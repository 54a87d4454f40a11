// The PLC definition reader on arbitrary text. FindValue (a line index for
// plain keys, a substring search for keys that hold a line end) against a
// plain scan of every position; the header, the index and each device type
// line against the documented field rules; the device blocks made from the
// records, read from memory and through a file, against each other, and
// their address numbering (unit of an address and back) on every range
// bound.
//
// Input: when it holds the bytes FF FF, what comes before them is a list of
// extra keys separated by FE bytes and the text follows; otherwise it is all
// text.
#include <set>

#include "FuzzKit.h"
#include "model/LinkModel.h"
#include "model/PlcDefinition.h"

namespace {

using fuzz::Check;

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}
bool IsLineEnd(char c) {
    return c == '\r' || c == '\n';
}

// The first position where key begins a line (at its start or after one
// blank there) and is followed by blanks, a separator (':', ',' or '=') and
// blanks: the value runs from there to the line's end.
bool FindPlain(const std::string& t, const std::string& key, std::string* value) {
    if (key.empty())
        return false;
    for (size_t c = 0; c + key.size() <= t.size(); ++c) {
        if (t.compare(c, key.size(), key) != 0)
            continue;
        const bool begins =
            c == 0 || IsLineEnd(t[c - 1]) || (IsBlank(t[c - 1]) && (c == 1 || IsLineEnd(t[c - 2])));
        if (!begins)
            continue;
        size_t p = std::min(t.find_first_not_of(" \t", c + key.size()), t.size());
        if (p >= t.size() || std::string(":,=").find(t[p]) == std::string::npos)
            continue;
        p = std::min(t.find_first_not_of(" \t", p + 1), t.size());
        *value = t.substr(p, std::min(t.find_first_of("\r\n", p), t.size()) - p);
        return true;
    }
    return false;
}

// Text up to the first NUL, cut to cap - 1 bytes: what a char field holds.
std::string Field(const std::string& s, size_t cap) {
    return s.substr(0, cap - 1).c_str();
}

std::vector<std::string> Split(const std::string& s, char sep) {
    std::vector<std::string> out(1);
    for (char c : s) {
        if (c == sep)
            out.emplace_back();
        else
            out.back() += c;
    }
    return out;
}

int32_t Number(const std::string& field, int base) {
    const std::string cut = Field(field, 32);
    return fuzz::Sat32(std::strtoll(cut.c_str(), nullptr, base));
}

template <size_t N> bool Terminated(const char (&field)[N]) {
    return std::memchr(field, 0, N) != nullptr;
}

// ---- checks ----

void CheckRecord(const CPlcDefinitionFile& file, const std::string& key, const std::string& text) {
    std::unique_ptr<DeviceTypeRecord> r(new DeviceTypeRecord);
    std::memset(r.get(), 0x5A, sizeof *r);
    std::string value;
    const bool found = file.ParseDeviceType(key.c_str(), r.get());
    Check(found == FindPlain(text, key, &value), "device type line found differently:", key);
    Check(Terminated(r->name) && Terminated(r->unit) && Terminated(r->radix) &&
              Terminated(r->access),
          "record field not terminated");
    Check(r->rangeCount <= DeviceTypeRecord::kMaxRanges, "more ranges than a record holds");
    if (!found) {
        Check(r->name[0] == 0 && r->rangeCount == 0, "a missing line left a record behind");
        return;
    }
    // Fields at commas; once they run out, the last one stands for the rest.
    const std::vector<std::string> fields = Split(value, ',');
    auto field = [&](size_t i) { return i < fields.size() ? fields[i] : fields.back(); };
    Check(r->name == Field(field(0), sizeof r->name), "name field", key);
    Check(r->unit == Field(field(1), sizeof r->unit), "unit field", key);
    Check(r->radix == Field(field(2), sizeof r->radix), "radix field", key);
    const int32_t declared = Number(field(3), 10);
    Check(r->declaredRanges == declared, "declared range count", key);
    const uint32_t wanted = declared > 0 ? static_cast<uint32_t>(declared) : 0;
    const uint32_t held =
        wanted < DeviceTypeRecord::kMaxRanges ? wanted : DeviceTypeRecord::kMaxRanges;
    Check(r->rangeCount == held, "range count", key);
    const int base = PlcBoundsBase(r->radix);
    for (uint32_t i = 0; i < held; ++i) {
        Check(r->starts[i] == static_cast<uint32_t>(Number(field(4 + 2 * i), base)) &&
                  r->ends[i] == static_cast<uint32_t>(Number(field(5 + 2 * i), base)),
              "range bounds", key);
    }
    // The access text: what follows every declared bound, or the last field.
    const uint64_t used = 4 + 2 * static_cast<uint64_t>(wanted);
    std::string access = fields.back();
    if (fields.size() > used) {
        size_t at = 0;
        for (uint64_t i = 0; i < used; ++i)
            at = value.find(',', at) + 1;
        access = value.substr(at);
    }
    Check(r->access == Field(access, sizeof r->access), "access field", key);

    DeviceTypeProperties p;
    PlcPropertiesFromRecord(*r, &p);
    Check(p.rangeCount == r->rangeCount, "properties range count");
    Check(p.bytesPerUnit == 1 || p.bytesPerUnit == 2 || p.bytesPerUnit == 4, "unit size");
    Check(p.access <= 3, "access flags");
}

// Address numbering on the bounds of every range: an address that names a
// unit and bit comes back from them.
void CheckNumbering(const CPlcDevice& d) {
    Check(d.rangeCount <= model::kMaxRanges, "block with more ranges than it holds");
    for (uint32_t r = 0; r < d.rangeCount; ++r) {
        for (uint32_t bound : {d.rangeStart[r], d.rangeEnd[r]}) {
            for (int64_t a = static_cast<int64_t>(bound) - 1; a <= static_cast<int64_t>(bound) + 1;
                 ++a) {
                if (a < 0 || a > INT32_MAX)
                    continue;
                int32_t unit = -1, bit = -1;
                const uint32_t mask = d.ItemBitMask(static_cast<int32_t>(a));
                Check(mask == 0xFFFFFFFFu || mask == 0 || (mask & (mask - 1)) == 0, "bit mask");
                if (!d.UnitOf(static_cast<int32_t>(a), &unit, &bit))
                    continue;
                Check(d.AddressOf(unit, bit) == a, "address does not come back from its unit",
                      std::to_string(a));
                (void)d.InRange(a);
            }
        }
    }
}

std::set<std::string> BlockNames(const CPlc& plc) {
    std::set<std::string> names;
    for (uint32_t i = 0; i < plc.DeviceCount(); ++i) {
        const CPlcDevice* d = plc.GetDevice(i);
        const size_t len = fuzz::Length(d->Name(), model::kNameCap);
        Check(len < static_cast<size_t>(model::kNameCap), "block name not terminated");
        names.insert(std::string(reinterpret_cast<const char*>(d->Name()), len * sizeof(WChar)));
        CheckNumbering(*d);
    }
    return names;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    std::string text = input;
    std::vector<std::string> keys = {"CpuName", "Version", "Index", "HlpName", "D", "M"};
    const size_t mark = input.find("\xFF\xFF");
    if (mark != std::string::npos) {
        text = input.substr(mark + 2);
        for (const std::string& k : Split(input.substr(0, mark), '\xFE'))
            if (k.find('\0') == std::string::npos && keys.size() < 32)
                keys.push_back(k);
    }
    if (text.size() >= CPlcDefinitionFile::kMaxFileSize)
        return 0;

    CPlcDefinitionFile file;
    Check(file.LoadText(text.data(), text.size()), "text not taken");
    // Each line's first word as a key too.
    for (size_t at = 0; at < text.size() && keys.size() < 48;) {
        size_t e = at;
        while (e < text.size() && !IsLineEnd(text[e]) && !IsBlank(text[e]) && text[e] != ':' &&
               text[e] != ',' && text[e] != '=' && text[e] != 0)
            ++e;
        if (e > at)
            keys.push_back(text.substr(at, e - at));
        const size_t nl = text.find_first_of("\r\n", at);
        at = nl == std::string::npos ? text.size() : nl + 1;
    }
    for (const std::string& key : keys) {
        size_t b = 1, e = 0;
        std::string want;
        const bool found = file.FindValue(key.c_str(), &b, &e);
        Check(found == FindPlain(text, key, &want), "FindValue differs:", key);
        if (found)
            Check(b <= e && e <= text.size() && text.compare(b, e - b, want) == 0,
                  "FindValue gave another value:", key);
        char small[5];
        Check(file.GetValue(key.c_str(), small, sizeof small) == found, "GetValue");
        Check(std::string(small) == Field(found ? want : std::string(), sizeof small),
              "GetValue cut");
    }

    std::unique_ptr<PlcDefinitionHeader> h(new PlcDefinitionHeader);
    const bool named = file.ReadHeader(h.get());
    std::string cpu, index, help;
    FindPlain(text, "CpuName", &cpu);
    FindPlain(text, "Index", &index);
    FindPlain(text, "HlpName", &help);
    Check(std::string(h->cpuName) == Field(cpu, sizeof h->cpuName), "CpuName");
    Check(named == (h->cpuName[0] != 0), "header verdict");
    Check(std::string(h->index) == Field(index, sizeof h->index), "Index");
    Check(std::string(h->hlpName) == Field(help, sizeof h->hlpName), "HlpName");
    Check(Terminated(h->versionText), "Version not terminated");

    const std::vector<std::string> entries = SplitPlcIndex(h->index);
    std::vector<std::string> expected;
    for (const std::string& s : Split(h->index, ','))
        if (!s.empty())
            expected.push_back(s.substr(0, 127));
    Check(entries == expected, "index entries");

    // Blocks from the records in memory, then from the file.
    std::unique_ptr<CPlc> fromText(new CPlc(nullptr));
    std::unique_ptr<DeviceTypeRecord> record(new DeviceTypeRecord);
    int made = 0;
    for (size_t i = 0; i < entries.size() && i < 24; ++i) {
        CheckRecord(file, entries[i], text);
        if (file.ParseDeviceType(entries[i].c_str(), record.get()) && record->name[0] &&
            GetOrCreatePlcDevice(fromText.get(), *record))
            ++made;
    }
    const std::set<std::string> names = BlockNames(*fromText);
    if (!named || entries.size() > 24)
        return 0;

    fuzz::Scratch& s = fuzz::Scratch::Of("/fuzz.plc");
    s.Write(text);
    std::unique_ptr<CPlc> fromFile(new CPlc(nullptr));
    std::snprintf(fromFile->plcFile, sizeof fromFile->plcFile, "%s", s.Narrow().c_str());
    const bool any = ReadPlcDefinition(fromFile.get(), nullptr, nullptr);
    Check(any == (made > 0), "ReadPlcDefinition verdict");
    Check(BlockNames(*fromFile) == names, "blocks from the file differ from those from memory");
    for (uint32_t i = 0; i < fromFile->DeviceCount(); ++i)
        Check(fromFile->GetDevice(i)->listed == 1, "a block made from the file is not listed");
    return 0;
}
