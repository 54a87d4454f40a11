// Command lines as the host tests write them.
#pragma once

#include <sstream>
#include <string>
#include <vector>

#include "HostCli.h"

namespace hosttest {

// The words of line, split at blanks; '' stands for an empty word.
inline bool Parse(const std::string& line, nimbrohost::Options* o, std::string* error) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string w; in >> w;)
        words.push_back(w == "''" ? "" : w);
    std::vector<const char*> args;
    for (const std::string& w : words)
        args.push_back(w.c_str());
    return nimbrohost::ParseCommandLine(static_cast<int>(args.size()), args.data(), o, error);
}

// The parts of text between the separators; blanks before them dropped but
// from lines.
inline std::vector<std::string> Split(const std::string& text, char separator = ';') {
    std::vector<std::string> parts;
    std::istringstream in(text);
    for (std::string part; std::getline(in, part, separator);)
        parts.push_back(separator == '\n' ? part : part.erase(0, part.find_first_not_of(' ')));
    return parts;
}

} // namespace hosttest
