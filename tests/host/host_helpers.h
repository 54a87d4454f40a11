// Pieces shared by the host command line tests.
#pragma once

#include <string>
#include <vector>

#include "HostCli.h"

namespace hosttest {

inline bool Parse(const std::vector<const char*>& args, nimbrohost::Options* o,
                  std::string* error) {
    return nimbrohost::ParseCommandLine(static_cast<int>(args.size()), args.data(), o, error);
}

// How often what stands in text, overlapping ones counted.
inline size_t Occurrences(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

} // namespace hosttest
