#include "testutil/testutil.h"

#include <cstdlib>
#include <vector>

#include "platform/codepage.h"
#include "platform/file.h"
#include "platform/module.h"
#include "platform/sync.h"

namespace testutil {

// UTF-16 never takes more units than UTF-8 takes bytes; UTF-8 takes at most
// three bytes per UTF-16 unit.
WString W(const std::string& utf8) {
    WString out(utf8.size(), 0);
    const int n = utf8.empty() ? 0
                               : plat::MultiByteToWide(plat::kCpUtf8, 0, utf8.data(),
                                                       static_cast<int>(utf8.size()), &out[0],
                                                       static_cast<int>(out.size()));
    out.resize(static_cast<size_t>(n > 0 ? n : 0));
    return out;
}

std::string Narrow(const WChar* text) {
    const int len = text ? static_cast<int>(plat::WStrLen(text)) : 0;
    std::string out(3 * static_cast<size_t>(len), '\0');
    const int n = len ? plat::WideToMultiByte(plat::kCpUtf8, 0, text, len, &out[0],
                                              static_cast<int>(out.size()))
                      : 0;
    out.resize(static_cast<size_t>(n > 0 ? n : 0));
    return out;
}

bool WaitUntil(const std::function<bool()>& cond, uint32_t ms) {
    uint32_t start = plat::TickCount();
    for (;;) {
        if (cond())
            return true;
        if (plat::TickCount() - start >= ms)
            return cond();
        plat::SleepMs(5);
    }
}

TempDir::TempDir() {
    WChar buf[plat::kMaxPath] = {};
    if (plat::MakeTempDir(buf, plat::kMaxPath))
        path_ = buf;
}

static void RemoveTree(const WString& dir, int depth) {
    struct Ctx {
        std::vector<std::pair<WString, bool>> entries;
    } ctx;
    WString pattern = dir + plat::kPathSep + W16("*");
    plat::FindFiles(
        pattern.c_str(),
        [](const plat::DirEntry& e, void* p) {
            WString name = e.name;
            if (name != W16(".") && name != W16(".."))
                static_cast<Ctx*>(p)->entries.emplace_back(
                    name, (e.attributes & plat::kAttrDirectory) != 0);
            return true;
        },
        &ctx);
    for (auto& e : ctx.entries) {
        WString full = dir + plat::kPathSep + e.first;
        if (e.second) {
            if (depth > 0)
                RemoveTree(full, depth - 1);
        } else {
            plat::FileRemove(full.c_str());
        }
    }
    plat::DirRemove(dir.c_str());
}

TempDir::~TempDir() {
    if (!path_.empty())
        RemoveTree(path_, 2);
}

WString TempDir::Join(const std::string& name) const {
    return path_ + plat::kPathSep + W(name);
}

WString TempDir::Write(const std::string& name, const std::string& content) const {
    WString p = Join(name);
    plat::FileWriteAll(p.c_str(), content.data(), content.size());
    return p;
}

ScopedEnv::ScopedEnv(const char* name, const char* value) : name_(name), hadOld_(false) {
    if (const char* old = std::getenv(name)) {
        old_ = old;
        hadOld_ = true;
    }
    plat::SetEnvVar(name, value);
}

ScopedEnv::~ScopedEnv() {
    plat::SetEnvVar(name_.c_str(), hadOld_ ? old_.c_str() : nullptr);
}

bool PosixBackend() {
    return plat::kPathSep == W16('/');
}

std::string ReadFile(const WString& path) {
    plat::FileHandle f = plat::FileOpenRead(path.c_str());
    if (!f)
        return std::string();
    std::string text;
    char buf[4096];
    int64_t n;
    while ((n = plat::FileRead(f, buf, sizeof buf)) > 0)
        text.append(buf, static_cast<size_t>(n));
    plat::FileClose(f);
    return text;
}

} // namespace testutil
