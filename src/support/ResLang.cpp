#include "support/ResLang.h"

#include "platform/ascii.h"
#include "platform/file.h"
#include "support/Strings.h"

namespace {

constexpr uint32_t kSkipAttributes =
    plat::kAttrDirectory | plat::kAttrSparse | plat::kAttrReparse | plat::kAttrOffline;

// Index just past the last separator: where the file name starts.
size_t FileNameStart(const WChar* path, size_t len) {
    size_t start = 0;
    for (size_t i = 0; i < len; ++i)
        if (plat::IsPathSep(path[i]))
            start = i + 1;
    return start;
}

// Length of path without the extension of its file name.
size_t StemLength(const WChar* path) {
    size_t len = plat::WStrLen(path);
    size_t name = FileNameStart(path, len);
    for (size_t i = len; i > name; --i)
        if (path[i - 1] == W16('.'))
            return i - 1;
    return len;
}

struct RelatedSearch {
    uint16_t primary;
    uint16_t best;
    uint16_t bestSub;
    bool done;
};

bool ConsiderEntry(const plat::DirEntry& entry, void* ctx) {
    auto* s = static_cast<RelatedSearch*>(ctx);
    if (entry.attributes & kSkipAttributes)
        return true;
    uint16_t lang = CResLang::LanguageOfName(entry.name);
    if (lang == 0 || (lang & CResLang::kPrimaryMask) != s->primary)
        return true;
    uint16_t sub = static_cast<uint16_t>(lang >> 10);
    if (sub == 1) {
        s->best = lang;
        s->done = true;
        return false;
    }
    if (s->best == 0 || sub < s->bestSub) {
        s->best = lang;
        s->bestSub = sub;
    }
    return true;
}

} // namespace

CResLang::CResLang() : base_(nullptr), resource_(nullptr), ownLanguage_(kOwnLanguage) {}

CResLang::~CResLang() = default;

void CResLang::Unselect() {
    if (resource_ && resource_ != base_)
        plat::ModuleFree(resource_);
    resource_ = nullptr;
    base_ = nullptr;
}

bool CResLang::SatelliteName(const WChar* modulePath, uint16_t lang, WChar* out, uint32_t cap) {
    static const char kHex[] = "0123456789ABCDEF";
    if (!modulePath || !out || cap == 0)
        return false;
    size_t stem = StemLength(modulePath);
    if (stem + 5 >= cap)
        return false;
    for (size_t i = 0; i < stem; ++i)
        out[i] = modulePath[i];
    out[stem] = W16('.');
    for (int i = 0; i < 4; ++i)
        out[stem + 1 + i] = static_cast<WChar>(kHex[(lang >> (12 - 4 * i)) & 0xF]);
    out[stem + 5] = 0;
    return true;
}

uint16_t CResLang::LanguageOfName(const WChar* fileName) {
    if (!fileName)
        return 0;
    size_t len = plat::WStrLen(fileName);
    size_t dot = len;
    for (size_t i = len; i > 0; --i) {
        if (fileName[i - 1] == W16('.')) {
            dot = i - 1;
            break;
        }
    }
    if (dot == len)
        return 0;
    const WChar* p = fileName + dot + 1;
    if (p[0] == W16('0') && (p[1] == W16('x') || p[1] == W16('X')))
        p += 2;
    uint32_t value = 0;
    for (int i = 0; i < 8; ++i, ++p) {
        int d = plat::HexDigitValue(*p);
        if (d < 0)
            break;
        value = (value << 4) | static_cast<uint32_t>(d);
    }
    return static_cast<uint16_t>(value & 0xFFFF);
}

uint16_t CResLang::RegistryLanguage() {
    uint8_t data[4] = {0, 0, 0, 0};
    uint32_t size = sizeof data;
    if (!plat::RegistryReadValue(plat::kHkeyCurrentUser, W16("SOFTWARE\\Varnholt\\Nimbro"),
                                 W16("LanguageID"), data, &size))
        return 0;
    return static_cast<uint16_t>(data[0] | (data[1] << 8));
}

plat::ModuleHandle CResLang::LoadSatellite(const WChar* path) {
    if (plat::PathExists(path))
        return plat::ModuleLoadResources(path);
    WChar sys[plat::kMaxPath];
    uint32_t n = plat::SystemDirectory(sys, plat::kMaxPath);
    if (n == 0)
        return nullptr;
    size_t len = plat::WStrLen(path);
    const WChar* name = path + FileNameStart(path, len);
    if (!plat::IsPathSep(sys[n - 1])) {
        WChar sep[2] = {plat::kPathSep, 0};
        AppendTextW(sys, sep, plat::kMaxPath);
    }
    // A join that does not fit would name another file.
    if (plat::WStrLen(sys) + plat::WStrLen(name) >= plat::kMaxPath)
        return nullptr;
    AppendTextW(sys, name, plat::kMaxPath);
    if (!plat::PathExists(sys))
        return nullptr;
    return plat::ModuleLoadResources(sys);
}

uint16_t CResLang::FindRelatedLanguage(const WChar* modulePath, uint16_t lang) {
    WChar pattern[plat::kMaxPath];
    size_t stem = StemLength(modulePath);
    if (stem + 3 > plat::kMaxPath)
        return 0;
    for (size_t i = 0; i < stem; ++i)
        pattern[i] = modulePath[i];
    pattern[stem] = W16('.');
    pattern[stem + 1] = W16('*');
    pattern[stem + 2] = 0;
    RelatedSearch search = {static_cast<uint16_t>(lang & kPrimaryMask), 0, 0, false};
    plat::FindFiles(pattern, ConsiderEntry, &search);
    return search.best;
}

bool CResLang::Select(plat::ModuleHandle module) {
    WChar path[plat::kMaxPath];
    if (!module || plat::ModulePath(module, path, plat::kMaxPath) == 0)
        return false;
    WChar longPath[plat::kMaxPath];
    if (plat::LongPath(path, longPath, plat::kMaxPath) != 0)
        CopyTextW(path, longPath, plat::kMaxPath);

    WChar name[plat::kMaxPath];
    plat::ModuleHandle loaded = nullptr;
    uint16_t lang = RegistryLanguage();
    if (SatelliteName(path, lang, name, plat::kMaxPath))
        loaded = LoadSatellite(name);
    if (!loaded) {
        if (lang == 0)
            lang = plat::UserDefaultUILanguage();
        // English is the module's own table: no satellite wanted.
        if ((lang & kPrimaryMask) != (ownLanguage_ & kPrimaryMask)) {
            if (SatelliteName(path, lang, name, plat::kMaxPath))
                loaded = LoadSatellite(name);
            if (!loaded) {
                uint16_t related = FindRelatedLanguage(path, lang);
                if (related && SatelliteName(path, related, name, plat::kMaxPath))
                    loaded = LoadSatellite(name);
            }
        }
    }
    if (resource_ && resource_ != base_)
        plat::ModuleFree(resource_);
    base_ = module;
    resource_ = loaded ? loaded : module;
    return resource_ != base_;
}

int CResLang::LoadText(uint32_t id, WChar* buf, int cap) const {
    if (!resource_ || !buf || cap <= 0)
        return 0;
    int n = plat::LoadStringResource(resource_, id, buf, cap);
    if (n == 0 && resource_ != base_)
        n = plat::LoadStringResource(base_, id, buf, cap);
    return n;
}
