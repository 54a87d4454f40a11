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

} // namespace testutil
