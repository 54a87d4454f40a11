#include "platform/registry_write.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/ascii.h"
#include "text_edge.h"

namespace plat {

namespace {

std::string Lower(std::string s) {
    for (char& c : s)
        c = AsciiLower(c);
    return s;
}

std::string Trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos)
        return std::string();
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

// "hklm\software\x\name" for any spelling of the hive, key in any case.
std::string Canonical(const std::string& hive, std::string key, const std::string& name) {
    while (!key.empty() && key.back() == '\\')
        key.pop_back();
    std::string h = Lower(hive);
    if (h == "hkey_local_machine")
        h = "hklm";
    else if (h == "hkey_current_user")
        h = "hkcu";
    return h + "\\" + Lower(key) + "\\" + Lower(name);
}

std::string CanonicalOfLine(const std::string& line) {
    std::string l = Trim(line);
    size_t eq = l.find('=');
    if (l.empty() || l[0] == ';' || l[0] == '#' || eq == std::string::npos)
        return std::string();
    std::string left = Trim(l.substr(0, eq));
    size_t first = left.find('\\');
    size_t last = left.rfind('\\');
    if (first == std::string::npos || first == last)
        return std::string();
    return Canonical(left.substr(0, first), left.substr(first + 1, last - first - 1),
                     left.substr(last + 1));
}

bool Rewrite(RegistryHive hive, const WChar* key, const WChar* name, const WChar* text) {
    const char* file = std::getenv("NIMBRO_REGISTRY");
    if (!file || !*file || !key)
        return false;
    const char* hiveName = hive == kHkeyLocalMachine ? "HKLM" : "HKCU";
    std::string k = posix::ToUtf8(key);
    std::string n = posix::ToUtf8(name);
    std::string want = Canonical(hiveName, k, n);

    std::vector<std::string> keep;
    if (FILE* in = std::fopen(file, "rb")) {
        std::string line;
        int c;
        while ((c = std::fgetc(in)) != EOF) {
            line += static_cast<char>(c);
            if (c == '\n') {
                if (CanonicalOfLine(line) != want)
                    keep.push_back(line);
                line.clear();
            }
        }
        if (!line.empty() && CanonicalOfLine(line) != want)
            keep.push_back(line + "\n");
        std::fclose(in);
    }
    if (text) {
        while (!k.empty() && k.back() == '\\')
            k.pop_back();
        keep.push_back(std::string(hiveName) + "\\" + k + "\\" + n + "=" + posix::ToUtf8(text) +
                       "\n");
    }
    FILE* out = std::fopen(file, "wb");
    if (!out)
        return false;
    bool ok = true;
    for (const auto& l : keep)
        ok = ok && std::fwrite(l.data(), 1, l.size(), out) == l.size();
    return std::fclose(out) == 0 && ok;
}

} // namespace

bool RegistryWriteText(RegistryHive hive, const WChar* key, const WChar* name, const WChar* text) {
    return text && Rewrite(hive, key, name, text);
}

bool RegistryDeleteValue(RegistryHive hive, const WChar* key, const WChar* name) {
    return Rewrite(hive, key, name, nullptr);
}

} // namespace plat
