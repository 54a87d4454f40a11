// Helpers shared by the test programs.
#pragma once

#include <functional>
#include <string>

#include "platform/types.h"

namespace testutil {

typedef std::basic_string<WChar> WString;

// UTF-16 copy of ASCII or UTF-8 text.
WString W(const std::string& utf8);
// UTF-8 copy of UTF-16 text.
std::string Narrow(const WChar* text);

// Polls cond every few milliseconds until it holds or ms have passed.
bool WaitUntil(const std::function<bool()>& cond, uint32_t ms);

// The whole content of a file; empty when it cannot be read.
std::string ReadFile(const WString& path);

// A fresh folder under the system's temporary folder, removed with its files
// (one level of sub-folders) when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const WString& Path() const { return path_; }
    // Path of a name inside the folder.
    WString Join(const std::string& name) const;
    // Writes a file inside the folder; returns its path.
    WString Write(const std::string& name, const std::string& content) const;

private:
    WString path_;
};

// Sets an environment variable (nullptr removes it) for the life of the
// object, then puts back what was there before.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_;
    std::string old_;
    bool hadOld_;
};

// True on the POSIX backend, where the registry, system folder and UI
// language come from files and environment variables rather than Windows.
bool PosixBackend();

} // namespace testutil
