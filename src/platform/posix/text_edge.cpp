#include "text_edge.h"

#include "platform/codepage.h"

namespace plat {
namespace posix {

std::string ToUtf8(const WChar* text) {
    if (!text || !*text)
        return std::string();
    int len = static_cast<int>(WStrLen(text));
    int n = WideToMultiByte(kCpUtf8, 0, text, len, nullptr, 0);
    if (n <= 0)
        return std::string();
    std::string out(static_cast<size_t>(n), '\0');
    WideToMultiByte(kCpUtf8, 0, text, len, &out[0], n);
    return out;
}

uint32_t ToWide(const std::string& text, WChar* buf, uint32_t cap) {
    if (!buf || cap == 0 || text.empty() || text.size() > 0x7FFFFFFF)
        return 0;
    int len = static_cast<int>(text.size());
    int n = MultiByteToWide(kCpUtf8, 0, text.data(), len, nullptr, 0);
    if (n <= 0 || static_cast<uint32_t>(n) >= cap)
        return 0;
    MultiByteToWide(kCpUtf8, 0, text.data(), len, buf, n);
    buf[n] = 0;
    return static_cast<uint32_t>(n);
}

} // namespace posix
} // namespace plat
