#include "model/PlcDefinition.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "model/LinkModel.h"
#include "platform/alloc.h"
#include "platform/ascii.h"
#include "platform/codepage.h"
#include "platform/file.h"
#include "platform/module.h"
#include "support/Strings.h"

namespace {

constexpr size_t kIndexEntryMax = 127;
constexpr size_t kNumberField = 32; // 31 bytes and the NUL
constexpr uint32_t kMaxJoinedPath = 323;

inline bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}
inline bool IsLineEnd(char c) {
    return c == '\r' || c == '\n';
}
inline bool IsSeparator(char c) {
    return c == ':' || c == ',' || c == '=';
}

// Copies [b, e) cut to outSize - 1 bytes and terminates.
void CopyCut(const char* b, const char* e, char* out, size_t outSize) {
    size_t n = static_cast<size_t>(e - b);
    if (n > outSize - 1)
        n = outSize - 1;
    std::memcpy(out, b, n);
    out[n] = 0;
}

// strtol, but with the 32-bit long of the shipped build on every platform.
int32_t StrToL32(const char* text, int base) {
    long long v = std::strtoll(text, nullptr, base);
    if (v > INT32_MAX)
        return INT32_MAX;
    if (v < INT32_MIN)
        return INT32_MIN;
    return static_cast<int32_t>(v);
}

int32_t NumberField(const char* b, const char* e, int base) {
    char buf[kNumberField];
    CopyCut(b, e, buf, sizeof buf);
    return StrToL32(buf, base);
}

// Comma-separated fields of one value. Once the fields run out, the last one
// stands in for every further field.
class FieldReader {
public:
    FieldReader(const char* begin, const char* end)
        : pos_(begin), end_(end), lastB_(begin), lastE_(begin), done_(false) {}

    void Next(const char** b, const char** e) {
        if (!done_) {
            const char* comma =
                static_cast<const char*>(std::memchr(pos_, ',', static_cast<size_t>(end_ - pos_)));
            lastB_ = pos_;
            if (comma) {
                lastE_ = comma;
                pos_ = comma + 1;
            } else {
                lastE_ = end_;
                pos_ = end_;
                done_ = true;
            }
        }
        *b = lastB_;
        *e = lastE_;
    }
    bool Done() const { return done_; }
    // Everything not yet split off; the last field once none is left.
    void Rest(const char** b, const char** e) const {
        *b = done_ ? lastB_ : pos_;
        *e = done_ ? lastE_ : end_;
    }

private:
    const char* pos_;
    const char* end_;
    const char* lastB_;
    const char* lastE_;
    bool done_;
};

} // namespace

bool CPlcDefinitionFile::LoadText(const char* data, size_t size) {
    text_.clear();
    linesIndexed_ = false;
    if (size >= kMaxFileSize)
        return false;
    text_.assign(data, size);
    return true;
}

bool CPlcDefinitionFile::Load(const WChar* path) {
    text_.clear();
    linesIndexed_ = false;
    if (!path || !*path)
        return false;
    plat::FileHandle f = plat::FileOpenRead(path);
    if (!f)
        return false;
    int64_t size = plat::FileSize(f);
    bool ok = size >= 0 && size < int64_t{kMaxFileSize};
    if (ok) {
        text_.resize(static_cast<size_t>(size));
        size_t got = 0;
        while (got < text_.size()) {
            int64_t r = plat::FileRead(f, &text_[got], text_.size() - got);
            if (r <= 0)
                break;
            got += static_cast<size_t>(r);
        }
        ok = got == text_.size();
    }
    plat::FileClose(f);
    if (!ok)
        text_.clear();
    return ok;
}

bool CPlcDefinitionFile::FindValue(const char* key, size_t* valueBegin, size_t* valueEnd) const {
    if (!key || !*key)
        return false;
    const char* t = text_.data();
    const size_t len = text_.size();
    const size_t keyLen = std::strlen(key);

    // Separator after the key, the value after it: false when there is none.
    auto valueAfter = [&](size_t occ, size_t* p) {
        *p = occ + keyLen;
        while (*p < len && IsBlank(t[*p]))
            ++*p;
        if (*p >= len || !IsSeparator(t[*p]))
            return false;
        ++*p;
        while (*p < len && IsBlank(t[*p]))
            ++*p;
        return true;
    };
    auto take = [&](size_t p) {
        size_t e = p;
        while (e < len && !IsLineEnd(t[e]))
            ++e;
        *valueBegin = p;
        *valueEnd = e;
        return true;
    };

    if (std::strpbrk(key, "\r\n") == nullptr) {
        // Only an occurrence at a line start, or after one blank there, can
        // count; the plain search below skips nothing else for such keys.
        if (!linesIndexed_) {
            lineStarts_.clear();
            lineStarts_.push_back(0);
            for (size_t i = 0; i < len; ++i)
                if (IsLineEnd(t[i]))
                    lineStarts_.push_back(i + 1);
            linesIndexed_ = true;
        }
        for (size_t ls : lineStarts_) {
            for (size_t c = ls; c <= ls + 1 && c < len; ++c) {
                if (c > ls && !IsBlank(t[ls]))
                    break;
                size_t p = 0;
                if (len - c >= keyLen && std::memcmp(t + c, key, keyLen) == 0 && valueAfter(c, &p))
                    return take(p);
            }
        }
        return false;
    }

    // Plain substring search from the start; the text may hold NUL bytes.
    size_t from = 0;
    while (from + keyLen <= len) {
        const void* hit = std::memchr(t + from, key[0], len - from - keyLen + 1);
        if (!hit)
            return false;
        size_t occ = static_cast<size_t>(static_cast<const char*>(hit) - t);
        if (std::memcmp(t + occ, key, keyLen) != 0) {
            from = occ + 1;
            continue;
        }
        size_t p = 0;
        bool separated = valueAfter(occ, &p);
        bool beginsLine = occ == 0 || IsLineEnd(t[occ - 1]) ||
                          (IsBlank(t[occ - 1]) && (occ == 1 || IsLineEnd(t[occ - 2])));
        if (separated && beginsLine)
            return take(p);
        // Search on from the next byte: a key that holds a line end can
        // begin a line again inside what was just examined ("x\nx" in
        // "x\nx\nx: v").
        from = occ + 1;
    }
    return false;
}

bool CPlcDefinitionFile::GetValue(const char* key, char* out, size_t outSize) const {
    if (!out || outSize == 0)
        return false;
    size_t b = 0, e = 0;
    if (!FindValue(key, &b, &e)) {
        out[0] = 0;
        return false;
    }
    CopyCut(text_.data() + b, text_.data() + e, out, outSize);
    return true;
}

bool CPlcDefinitionFile::ReadHeader(PlcDefinitionHeader* h) const {
    std::memset(h, 0, sizeof *h);
    GetValue("CpuName", h->cpuName, sizeof h->cpuName);
    if (GetValue("Version", h->versionText, sizeof h->versionText)) {
        double v = std::strtod(h->versionText, nullptr) * 100.0;
        // Out-of-range doubles have no integer conversion: saturate first.
        int32_t whole = 0;
        if (std::isnan(v))
            whole = 0;
        else if (v >= 2147483647.0)
            whole = INT32_MAX;
        else if (v <= -2147483648.0)
            whole = INT32_MIN;
        else
            whole = static_cast<int32_t>(v);
        h->version = static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint32_t>(whole)));
    }
    GetValue("Index", h->index, sizeof h->index);
    GetValue("HlpName", h->hlpName, sizeof h->hlpName);
    return h->cpuName[0] != 0;
}

bool CPlcDefinitionFile::ParseDeviceType(const char* key, DeviceTypeRecord* r) const {
    std::memset(r, 0, sizeof *r);
    size_t vb = 0, ve = 0;
    if (!FindValue(key, &vb, &ve))
        return false;
    FieldReader fields(text_.data() + vb, text_.data() + ve);
    const char* b = nullptr;
    const char* e = nullptr;
    fields.Next(&b, &e);
    CopyCut(b, e, r->name, sizeof r->name);
    fields.Next(&b, &e);
    CopyCut(b, e, r->unit, sizeof r->unit);
    fields.Next(&b, &e);
    CopyCut(b, e, r->radix, sizeof r->radix);
    fields.Next(&b, &e);
    r->declaredRanges = NumberField(b, e, 10);

    // No range, or more than the record holds: read what fits, but still step
    // over every declared bound so that the access text is found.
    const int base = PlcBoundsBase(r->radix);
    const uint32_t wanted = r->declaredRanges > 0 ? static_cast<uint32_t>(r->declaredRanges) : 0;
    r->rangeCount = wanted < DeviceTypeRecord::kMaxRanges ? wanted : DeviceTypeRecord::kMaxRanges;
    for (uint64_t i = 0; i < 2ull * wanted; ++i) {
        if (fields.Done() && i >= 2ull * r->rangeCount)
            break; // nothing left to step over
        fields.Next(&b, &e);
        if (i < 2ull * r->rangeCount) {
            uint32_t v = static_cast<uint32_t>(NumberField(b, e, base));
            if (i % 2 == 0)
                r->starts[i / 2] = v;
            else
                r->ends[i / 2] = v;
        }
    }
    fields.Rest(&b, &e);
    CopyCut(b, e, r->access, sizeof r->access);
    return true;
}

std::vector<std::string> SplitPlcIndex(const char* index) {
    std::vector<std::string> out;
    if (!index)
        return out;
    const char* p = index;
    for (;;) {
        const char* comma = std::strchr(p, ',');
        size_t n = comma ? static_cast<size_t>(comma - p) : std::strlen(p);
        if (n)
            out.emplace_back(p, n < kIndexEntryMax ? n : kIndexEntryMax);
        if (!comma)
            break;
        p = comma + 1;
    }
    return out;
}

int32_t PlcRadixFromText(const char* radix) {
    if (plat::EqualsNoCase(radix, "Oct"))
        return 8;
    if (plat::EqualsNoCase(radix, "Hex"))
        return 16;
    if (plat::EqualsNoCase(radix, "DecOct"))
        return -1;
    return 10;
}

int PlcBoundsBase(const char* radix) {
    if (!std::strcmp(radix, "Hex") || !std::strcmp(radix, "hex"))
        return 16;
    if (!std::strcmp(radix, "Oct") || !std::strcmp(radix, "oct"))
        return 8;
    if (!std::strcmp(radix, "Bin") || !std::strcmp(radix, "bin"))
        return 2;
    return 10;
}

uint32_t PlcAccessFromText(const char* access) {
    const char* first = std::strchr(access, ',');
    if (!first)
        return 0;
    uint32_t flags = 0;
    if (first - access >= 2)
        flags |= 1;
    const char* second = std::strchr(first + 1, ',');
    if (second && second - (first + 1) >= 2)
        flags |= 2;
    return flags;
}

void PlcUnitFromText(const char* unit, uint32_t* unitCode, uint32_t* bytesPerUnit,
                     bool* bitDevice) {
    *bitDevice = false;
    if (plat::AfterPrefixNoCase(unit, "Bit") != nullptr) {
        *bitDevice = true;
        *unitCode = 0;
        *bytesPerUnit = 1;
    } else if (plat::AfterPrefixNoCase(unit, "Byte") != nullptr) {
        *unitCode = 1;
        *bytesPerUnit = 1;
    } else if (plat::AfterPrefixNoCase(unit, "Dword") != nullptr) {
        *unitCode = 4;
        *bytesPerUnit = 4;
    } else {
        *unitCode = 2; // "Word" and anything unknown
        *bytesPerUnit = 2;
    }
}

void PlcPropertiesFromRecord(const DeviceTypeRecord& r, DeviceTypeProperties* p) {
    std::memset(p, 0, sizeof *p);
    p->radix = PlcRadixFromText(r.radix);
    p->rangeCount = r.rangeCount;
    for (uint32_t i = 0; i < r.rangeCount; ++i) {
        p->starts[i] = r.starts[i];
        p->ends[i] = r.ends[i];
        // Decimal-octal 8 and 9 name no bit, and the block's last address
        // must name one: such a range ends with its last whole unit (2559
        // is 2557).
        const uint32_t digit = p->ends[i] % 10;
        if (p->radix == model::kRadixDecimalOctal && digit > 7)
            p->ends[i] -= digit - 7;
    }
    if (r.rangeCount) {
        p->lowestAddress = p->starts[0];
        p->highestAddress = p->ends[r.rangeCount - 1];
    }
    PlcUnitFromText(r.unit, &p->unitCode, &p->bytesPerUnit, &p->bitDevice);
    p->access = PlcAccessFromText(r.access);
}

void PlcDefinitionFolder(WChar* out, uint32_t cap) {
    if (!out || cap == 0)
        return;
    out[0] = 0;
    WChar value[plat::kMaxPath] = {};
    uint32_t size = sizeof value - sizeof(WChar); // keep a terminator
    if (plat::RegistryReadValue(plat::kHkeyLocalMachine, W16("SOFTWARE\\Varnholt\\Ondrel"),
                                W16("PLCDir"), value, &size)) {
        size_t n = plat::WStrLen(value);
        // Joined by concatenation: a value without its closing separator would
        // run into the file name.
        bool addSep = n > 0 && !plat::IsPathSep(value[n - 1]);
        if (n + (addSep ? 1 : 0) < cap) {
            std::memcpy(out, value, n * sizeof(WChar));
            if (addSep)
                out[n++] = plat::kPathSep;
            out[n] = 0;
        }
        return;
    }
    WChar exe[plat::kMaxPath] = {};
    uint32_t n = plat::ModulePath(nullptr, exe, plat::kMaxPath);
    if (n == 0 || n >= plat::kMaxPath)
        return;
    exe[n] = 0;
    uint32_t cut = n;
    while (cut > 0 && !plat::IsPathSep(exe[cut - 1]))
        --cut;
    if (cut < cap) {
        std::memcpy(out, exe, cut * sizeof(WChar));
        out[cut] = 0;
    }
}

namespace {

bool IsRooted(const WChar* p) {
    return plat::IsPathSep(p[0]) || plat::PathIsAbsolute(p);
}

bool Join(const WChar* folder, const WChar* name, WChar* out, uint32_t limit) {
    size_t a = plat::WStrLen(folder), b = plat::WStrLen(name);
    if (a + b >= limit)
        return false;
    WChar tmp[kMaxJoinedPath];
    std::memcpy(tmp, folder, a * sizeof(WChar));
    std::memcpy(tmp + a, name, b * sizeof(WChar));
    tmp[a + b] = 0;
    std::memcpy(out, tmp, (a + b + 1) * sizeof(WChar));
    return true;
}

} // namespace

bool PlcDefinitionPath(const char* plcFile, const WChar* configFolder, const WChar* plcFolder,
                       WChar* out, uint32_t cap) {
    if (!plcFile || !*plcFile || !out || cap == 0)
        return false;
    out[0] = 0;
    WChar name[kMaxJoinedPath] = {};
    int n = plat::MultiByteToWide(plat::kCpAcp, plat::kMbPrecomposed, plcFile, -1, name,
                                  plat::kMaxPath);
    if (n <= 1)
        return false;
    WChar path[kMaxJoinedPath] = {};
    std::memcpy(path, name, sizeof path);
    // Cutting would name another file: a path that does not fit is not read.
    if (!IsRooted(path) && configFolder && !Join(configFolder, name, path, plat::kMaxPath))
        return false;
    if (!IsRooted(path) && plcFolder) {
        WChar relative[kMaxJoinedPath];
        std::memcpy(relative, path, sizeof relative);
        if (!Join(plcFolder, relative, path, kMaxJoinedPath))
            return false;
    }
    size_t len = plat::WStrLen(path);
    if (len >= cap)
        return false;
    std::memcpy(out, path, (len + 1) * sizeof(WChar));
    return true;
}

CPlcDevice* GetOrCreatePlcDevice(CPlc* plc, const DeviceTypeRecord& record) {
    if (!plc || !record.name[0])
        return nullptr;
    WChar name[model::kNameCap] = {};
    CWString wide(record.name, plat::kCpAcp);
    CopyTextW(name, wide.CStr(), model::kNameCap);
    if (!name[0])
        return nullptr;
    if (CPlcDevice* existing = plc->FindDevice(name))
        return existing;

    CPlcDevice* device = plat::NewObject<CPlcDevice>(plc);
    if (!device)
        return nullptr;
    device->SetName(name);
    DeviceTypeProperties p;
    PlcPropertiesFromRecord(record, &p);
    device->defined = 1;
    if (p.rangeCount) {
        // Without a range the block keeps its default one.
        for (uint32_t i = 0; i < model::kMaxRanges; ++i) {
            device->rangeStart[i] = p.starts[i];
            device->rangeEnd[i] = p.ends[i];
        }
        device->rangeCount = p.rangeCount;
        device->lowestAddress = p.lowestAddress;
        device->highestAddress = p.highestAddress;
    }
    device->radix = p.radix;
    device->unitCode = p.unitCode;
    device->bytesPerUnit = p.bytesPerUnit;
    device->bitDevice = p.bitDevice ? 1 : 0;
    device->accessFlags = p.access;
    if (!plc->InsertDevice(device))
        return nullptr;
    return device;
}

bool ReadPlcDefinition(CPlc* plc, const WChar* configFolder, const WChar* plcFolder,
                       bool* noMemory) {
    bool ignored = false;
    if (!noMemory)
        noMemory = &ignored;
    *noMemory = false;
    if (!plc)
        return false;
    for (uint32_t i = 0; i < plc->DeviceCount(); ++i)
        if (CPlcDevice* d = plc->GetDevice(i))
            d->listed = 0;

    WChar path[kMaxJoinedPath];
    if (!PlcDefinitionPath(plc->plcFile, configFolder, plcFolder, path, kMaxJoinedPath))
        return false;
    CPlcDefinitionFile file;
    if (!file.Load(path))
        return false;
    // Header and records are large: keep them off the stack.
    std::unique_ptr<PlcDefinitionHeader> header(plat::NewObject<PlcDefinitionHeader>());
    std::unique_ptr<DeviceTypeRecord> record(plat::NewObject<DeviceTypeRecord>());
    if (!header || !record) {
        *noMemory = true;
        return false;
    }
    if (!file.ReadHeader(header.get()))
        return false;
    int defined = 0;
    for (const std::string& key : SplitPlcIndex(header->index)) {
        if (!file.ParseDeviceType(key.c_str(), record.get()) || !record->name[0])
            continue;
        if (CPlcDevice* device = GetOrCreatePlcDevice(plc, *record)) {
            device->listed = 1;
            ++defined;
        } else {
            *noMemory = true; // a named type always makes a block otherwise
        }
    }
    return defined > 0;
}
