#include "platform/module.h"

#include <dlfcn.h>
#include <link.h>
#include <limits.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "module_pin.h"
#include "platform/ascii.h"
#include "platform/codepage.h"
#include "text_edge.h"

namespace plat {

using posix::ToUtf8;
using posix::ToWide;

const char kStringTableSymbol[] = "NimbroStringTable";

namespace {

// With glibc a module handle is its link_map, so no reference is taken here.
ModuleHandle HandleOfAddress(const void* addr) {
    Dl_info info;
    link_map* map = nullptr;
    if (::dladdr1(addr, &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP) == 0 || !map)
        return nullptr;
    return map;
}

std::string ExecutablePath() {
    std::string buf(PATH_MAX, '\0');
    ssize_t n = ::readlink("/proc/self/exe", &buf[0], buf.size());
    if (n <= 0 || static_cast<size_t>(n) >= buf.size())
        return std::string();
    buf.resize(static_cast<size_t>(n));
    return buf;
}

std::string MakeAbsolute(const std::string& path) {
    if (path.empty() || path[0] == '/')
        return path;
    char cwd[PATH_MAX];
    if (!::getcwd(cwd, sizeof cwd))
        return path;
    std::string out = cwd;
    if (out.back() != '/')
        out += '/';
    if (path.compare(0, 2, "./") == 0)
        out += path.substr(2);
    else
        out += path;
    return out;
}

std::string Trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos)
        return std::string();
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

std::u16string Wide(const std::string& utf8) {
    if (utf8.empty())
        return std::u16string();
    int len = static_cast<int>(utf8.size());
    int n = MultiByteToWide(kCpUtf8, 0, utf8.data(), len, nullptr, 0);
    if (n <= 0)
        return std::u16string();
    std::u16string out(static_cast<size_t>(n), u'\0');
    MultiByteToWide(kCpUtf8, 0, utf8.data(), len, reinterpret_cast<WChar*>(&out[0]), n);
    return out;
}

bool SameText(const std::u16string& a, const WChar* b) {
    return WStrICmp(reinterpret_cast<const WChar*>(a.c_str()), b) == 0;
}

// Key paths compare without their trailing backslashes.
std::u16string KeyPath(const WChar* key) {
    std::u16string k;
    for (const WChar* p = key; p && *p; ++p)
        k += static_cast<char16_t>(*p);
    while (!k.empty() && k.back() == u'\\')
        k.pop_back();
    return k;
}

bool HiveMatches(const std::string& prefix, RegistryHive hive) {
    std::u16string p = Wide(prefix);
    const WChar* p16 = reinterpret_cast<const WChar*>(p.c_str());
    if (hive == kHkeyCurrentUser)
        return WStrICmp(p16, W16("HKCU")) == 0 || WStrICmp(p16, W16("HKEY_CURRENT_USER")) == 0;
    if (hive == kHkeyLocalMachine)
        return WStrICmp(p16, W16("HKLM")) == 0 || WStrICmp(p16, W16("HKEY_LOCAL_MACHINE")) == 0;
    return false;
}

// "dword:" and up to eight hex digits, nothing else.
bool ParseDword(const std::string& v, uint32_t* out) {
    if (v.size() < 7 || v.size() > 14 || ::strncasecmp(v.c_str(), "dword:", 6) != 0)
        return false;
    uint32_t x = 0;
    for (size_t i = 6; i < v.size(); ++i) {
        const int d = HexDigitValue(v[i]);
        if (d < 0)
            return false;
        x = (x << 4) | static_cast<uint32_t>(d);
    }
    *out = x;
    return true;
}

} // namespace

namespace posix {

void PinThisModule() {
    static std::atomic<bool> pinned(false);
    if (pinned.load())
        return;
    link_map* map =
        static_cast<link_map*>(HandleOfAddress(reinterpret_cast<const void*>(&PinThisModule)));
    if (!map)
        return;
    // The main program's map has an empty name and is never unloaded. The
    // reference taken here is kept: with RTLD_NODELETE no dlclose unmaps.
    if (!map->l_name || !*map->l_name ||
        ::dlopen(map->l_name, RTLD_LAZY | RTLD_NOLOAD | RTLD_NODELETE))
        pinned.store(true);
}

} // namespace posix

ModuleHandle ThisModule() {
    return HandleOfAddress(reinterpret_cast<const void*>(&ThisModule));
}

uint32_t ModulePath(ModuleHandle m, WChar* buf, uint32_t cap) {
    std::string path;
    if (m) {
        const char* name = static_cast<link_map*>(m)->l_name;
        // The main program's map has an empty name.
        path = (name && *name) ? MakeAbsolute(name) : ExecutablePath();
    } else {
        path = ExecutablePath();
    }
    if (path.empty())
        return 0;
    return ToWide(path, buf, cap);
}

uint32_t LongPath(const WChar* path, WChar* buf, uint32_t cap) {
    if (!path || !*path)
        return 0;
    std::string p = ToUtf8(path);
    char* real = ::realpath(p.c_str(), nullptr);
    if (real) {
        p = real;
        std::free(real);
    }
    return ToWide(p, buf, cap);
}

uint32_t SystemDirectory(WChar* buf, uint32_t cap) {
    const char* dir = std::getenv("NIMBRO_SYSTEM_DIR");
    return ToWide((dir && *dir) ? dir : "/usr/lib/nimbro", buf, cap);
}

ModuleHandle ModuleLoad(const WChar* path) {
    if (!path || !*path)
        return nullptr;
    return ::dlopen(ToUtf8(path).c_str(), RTLD_NOW | RTLD_LOCAL);
}

ModuleHandle ModuleLoadResources(const WChar* path) {
    if (!path || !*path)
        return nullptr;
    return ::dlopen(ToUtf8(path).c_str(), RTLD_LAZY | RTLD_LOCAL);
}

void ModuleFree(ModuleHandle m) {
    if (m)
        ::dlclose(m);
}

void* ModuleSymbol(ModuleHandle m, const char* name) {
    if (!m || !name)
        return nullptr;
    return ::dlsym(m, name);
}

int LoadStringResource(ModuleHandle m, uint32_t id, WChar* buf, int cap) {
    if (!buf || cap <= 0 || id == 0)
        return 0;
    if (!m) {
        // As on Windows, no module names the executable.
        m = ::dlopen(nullptr, RTLD_LAZY);
        if (!m)
            return 0;
        ::dlclose(m); // the main program stays; only the reference goes
    }
    void* sym = ::dlsym(m, kStringTableSymbol);
    // dlsym also searches the module's dependencies: a table found there is
    // another module's.
    if (!sym || HandleOfAddress(sym) != m)
        return 0;
    for (auto* e = static_cast<const StringTableEntry*>(sym); e->id != 0; ++e) {
        if (e->id != id)
            continue;
        if (!e->text)
            return 0;
        size_t len = WStrLen(e->text);
        size_t n = len < static_cast<size_t>(cap - 1) ? len : static_cast<size_t>(cap - 1);
        for (size_t i = 0; i < n; ++i)
            buf[i] = e->text[i];
        buf[n] = 0;
        return static_cast<int>(n);
    }
    return 0;
}

uint16_t UserDefaultUILanguage() {
    const char* v = std::getenv("NIMBRO_UI_LANGUAGE");
    if (v && *v) {
        char* end = nullptr;
        unsigned long x = std::strtoul(v, &end, 16);
        if (end && *end == '\0' && x > 0 && x <= 0xFFFF)
            return static_cast<uint16_t>(x);
    }
    return 0x0409;
}

bool RegistryReadValue(RegistryHive hive, const WChar* key, const WChar* name, void* data,
                       uint32_t* size) {
    if (!key || !size)
        return false;
    const char* file = std::getenv("NIMBRO_REGISTRY");
    if (!file || !*file)
        return false;
    FILE* f = std::fopen(file, "rb");
    if (!f)
        return false;
    const std::u16string wantKey = KeyPath(key);
    const WChar* wantName = name ? name : W16("");
    bool found = false;
    std::string value;
    char line[4096];
    while (std::fgets(line, sizeof line, f)) {
        std::string l = Trim(line);
        if (l.empty() || l[0] == ';' || l[0] == '#')
            continue;
        size_t eq = l.find('=');
        if (eq == std::string::npos)
            continue;
        std::string left = Trim(l.substr(0, eq));
        size_t firstSep = left.find('\\');
        size_t lastSep = left.rfind('\\');
        if (firstSep == std::string::npos || lastSep == firstSep)
            continue; // needs hive, key and value name
        if (!HiveMatches(left.substr(0, firstSep), hive))
            continue;
        std::u16string k = Wide(left.substr(firstSep + 1, lastSep - firstSep - 1));
        while (!k.empty() && k.back() == u'\\')
            k.pop_back();
        if (WStrICmp(reinterpret_cast<const WChar*>(k.c_str()),
                     reinterpret_cast<const WChar*>(wantKey.c_str())) != 0)
            continue;
        if (!SameText(Wide(left.substr(lastSep + 1)), wantName))
            continue;
        // A later line for the same value wins, as an appended edit would expect.
        found = true;
        value = Trim(l.substr(eq + 1));
    }
    std::fclose(f);
    if (!found)
        return false;

    std::u16string text;
    unsigned char dword[4];
    const void* bytes;
    uint32_t need;
    uint32_t x;
    if (ParseDword(value, &x)) {
        for (int i = 0; i < 4; ++i)
            dword[i] = static_cast<unsigned char>(x >> (8 * i));
        bytes = dword;
        need = 4;
    } else {
        text = Wide(value);
        bytes = text.c_str();
        need = static_cast<uint32_t>((text.size() + 1) * sizeof(char16_t));
    }
    // As RegQueryValueExW: no buffer asks for the size; too small a buffer fails
    // and tells the size needed.
    if (!data) {
        *size = need;
        return true;
    }
    if (*size < need) {
        *size = need;
        return false;
    }
    std::memcpy(data, bytes, need);
    *size = need;
    return true;
}

bool SetEnvVar(const char* name, const char* value) {
    if (!name || !*name || std::strchr(name, '='))
        return false;
    if (value)
        return ::setenv(name, value, 1) == 0;
    return ::unsetenv(name) == 0;
}

} // namespace plat
