#include "WatchTable.h"

#include <cstdio>

namespace nimbrohost {

namespace {

constexpr size_t kColumns = 6;
const char* const kHeader[kColumns] = {"ITEM", "VALUE", "TYPE", "RESULT", "STATUS", "AGE"};

std::vector<std::string> Cells(const WatchRow& r) {
    return {r.item, r.value, r.type, r.result, r.status, r.age};
}

} // namespace

std::string FormatAge(uint32_t ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%lu.%lu s", static_cast<unsigned long>(ms / 1000),
                  static_cast<unsigned long>(ms % 1000 / 100));
    return text;
}

std::string WatchTable::Render(const std::string& title, const std::vector<WatchRow>& rows) {
    std::vector<std::vector<std::string>> lines;
    lines.push_back(std::vector<std::string>(kHeader, kHeader + kColumns));
    for (const WatchRow& r : rows)
        lines.push_back(Cells(r));
    size_t width[kColumns] = {};
    for (const auto& cells : lines)
        for (size_t c = 0; c < kColumns; ++c)
            width[c] = cells[c].size() > width[c] ? cells[c].size() : width[c];

    std::vector<std::string> text;
    text.push_back(title);
    for (const auto& cells : lines) {
        std::string line = " ";
        for (size_t c = 0; c < kColumns; ++c) {
            line += ' ' + cells[c];
            if (c + 1 < kColumns)
                line += std::string(width[c] - cells[c].size() + 1, ' ');
        }
        text.push_back(line);
    }

    std::string out;
    if (terminal_ && shown_ > 0)
        out += "\x1b[" + std::to_string(shown_) + "A"; // back to the title line
    for (const std::string& line : text) {
        if (terminal_)
            out += "\r\x1b[2K"; // a longer line of the last refresh goes entirely
        out += line + "\n";
    }
    shown_ = text.size();
    return out;
}

} // namespace nimbrohost
