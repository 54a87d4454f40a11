// The table of the watch action: one row per item, drawn again on every
// refresh, in place on a terminal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace nimbrohost {

struct WatchRow {
    std::string item;
    std::string value; // the last value read OK; "-" before the first
    std::string type;  // host type of that value
    std::string result;
    std::string status; // the device block's Status_str
    std::string age;    // FormatAge of the time since the value last changed
};

// Tenths of seconds, "12.3 s".
std::string FormatAge(uint32_t ms);

class WatchTable {
public:
    // terminal: redraw in place with ANSI cursor movement; otherwise every
    // refresh is printed below the previous one as plain lines.
    explicit WatchTable(bool terminal) : terminal_(terminal) {}

    // The text of one refresh: a title line, a header and the rows in
    // aligned columns.
    std::string Render(const std::string& title, const std::vector<WatchRow>& rows);

private:
    bool terminal_;
    size_t shown_ = 0; // lines drawn by the previous refresh
};

} // namespace nimbrohost
