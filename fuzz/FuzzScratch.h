// One file in a temporary folder, for targets that parse what they read
// from disk; file and folder go when the process ends. The folder's path is
// kept ASCII so that its narrow copy names the same file.
#pragma once

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/file.h"
#include "platform/types.h"

namespace fuzz {

class Scratch {
public:
    // name: "/fuzz.ini" and the like.
    explicit Scratch(const char* name) {
        if (!plat::MakeTempDir(dir_, plat::kMaxPath))
            return;
        size_t n = 0;
        while (dir_[n])
            ++n;
        const std::string tail = name;
        // Short enough for a PLC's file field as well.
        if (n + tail.size() >= 200)
            return;
        for (size_t i = 0; i < n; ++i) {
            if (dir_[i] >= 0x80)
                return;
            file_[i] = dir_[i];
            narrow_ += static_cast<char>(dir_[i]);
        }
        for (size_t i = 0; i <= tail.size(); ++i)
            file_[n + i] = static_cast<WChar>(static_cast<unsigned char>(tail.c_str()[i]));
        narrow_ += tail;
        ok_ = true;
    }
    ~Scratch() {
        plat::FileRemove(file_);
        plat::DirRemove(dir_);
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;

    const WChar* File() const { return file_; }
    const std::string& Narrow() const { return narrow_; }

    // The target's one scratch file; no temporary folder ends the run.
    static Scratch& Of(const char* target, const char* name) {
        static Scratch s(name);
        if (!s.ok_) {
            std::fprintf(stderr, "%s: no temporary folder\n", target);
            std::abort();
        }
        return s;
    }

private:
    WChar dir_[plat::kMaxPath] = {};
    WChar file_[plat::kMaxPath] = {};
    std::string narrow_;
    bool ok_ = false;
};

} // namespace fuzz
