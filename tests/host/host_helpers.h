// Pieces shared by the host command line tests.
#pragma once

#include <sstream>
#include <string>
#include <vector>

#include "HostCli.h"

namespace hosttest {

inline bool Parse(const std::vector<const char*>& args, nimbrohost::Options* o,
                  std::string* error) {
    return nimbrohost::ParseCommandLine(static_cast<int>(args.size()), args.data(), o, error);
}

// The words of line, split at blanks; '' stands for an empty word.
inline bool Parse(const std::string& line, nimbrohost::Options* o, std::string* error) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string w; in >> w;)
        words.push_back(w == "''" ? "" : w);
    std::vector<const char*> args;
    for (const std::string& w : words)
        args.push_back(w.c_str());
    return Parse(args, o, error);
}

// The parts of text between the separators, blanks around them dropped.
inline std::vector<std::string> Split(const std::string& text, char separator = ';') {
    std::vector<std::string> parts;
    std::istringstream in(text);
    for (std::string part; std::getline(in, part, separator);)
        parts.push_back(part.substr(part.find_first_not_of(' ')));
    return parts;
}

// The first of parts that text lacks; empty when it holds them all.
inline std::string Lacks(const std::string& text, const std::vector<std::string>& parts) {
    for (const std::string& part : parts)
        if (text.find(part) == std::string::npos)
            return part;
    return std::string();
}

// How often what stands in text, overlapping ones counted.
inline size_t Occurrences(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

} // namespace hosttest
