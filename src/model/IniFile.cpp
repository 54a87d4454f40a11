#include "model/IniFile.h"

#include <cstring>
#include <functional>
#include <string_view>

#include "platform/alloc.h"
#include "platform/ascii.h"
#include "platform/codepage.h"
#include "platform/file.h"

namespace {

constexpr size_t kEmptyCapacity = 1024;

inline bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}
inline bool IsLineEnd(char c) {
    return c == '\r' || c == '\n';
}

} // namespace

int32_t IniParseDecimal(const char* text) {
    const char* p = text;
    // atol skips what isspace accepts in the C locale.
    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-')
        negative = *p++ == '-';
    int64_t value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        // Saturate instead of overflowing; atol's own overflow is undefined.
        if (value <= int64_t{INT32_MAX} + 1)
            value = value * 10 + (*p - '0');
    }
    if (negative)
        value = -value;
    if (value > INT32_MAX)
        return INT32_MAX;
    if (value < INT32_MIN)
        return INT32_MIN;
    return static_cast<int32_t>(value);
}

int32_t IniParseHex8(const char* text) {
    uint32_t value = 0;
    for (int i = 0; i < 8; ++i) {
        int d = plat::HexDigitValue(text[i]);
        if (d < 0)
            break;
        value = (value << 4) | static_cast<uint32_t>(d);
    }
    return static_cast<int32_t>(value);
}

CIniFile::CIniFile()
    : text_(nullptr), length_(0), capacity_(0), loaded_(false), open_(false), cachedBegin_(0),
      cachedEnd_(0), indexed_(false), lastHeader_(-1), utf8_(false) {
    path_[0] = 0;
    cachedName_[0] = 0;
}

CIniFile::~CIniFile() {
    CloseFile();
}

void CIniFile::CloseFile() {
    headers_.clear();
    headers_.shrink_to_fit();
    slots_.clear();
    slots_.shrink_to_fit();
    indexed_ = false;
    lastHeader_ = -1;
    plat::Free(text_);
    text_ = nullptr;
    length_ = 0;
    capacity_ = 0;
    loaded_ = false;
    open_ = false;
    utf8_ = false;
    cachedName_[0] = 0;
    cachedBegin_ = cachedEnd_ = 0;
}

bool CIniFile::OpenFile(const WChar* path) {
    CloseFile();
    size_t pathLen = path ? plat::WStrLen(path) : 0;
    size_t keep = pathLen < plat::kMaxPath - 1 ? pathLen : plat::kMaxPath - 1;
    if (keep)
        std::memcpy(path_, path, keep * sizeof(WChar));
    path_[keep] = 0;

    // A path that had to be cut names another file: never open (or create) that
    // one, treat it as a file that cannot be opened.
    plat::FileHandle f = (pathLen && pathLen == keep) ? plat::FileOpenAlways(path_) : nullptr;
    if (!f) {
        text_ = static_cast<char*>(plat::Alloc(kEmptyCapacity));
        if (text_) {
            std::memset(text_, 0, kEmptyCapacity);
            capacity_ = kEmptyCapacity;
            loaded_ = true;
        }
        open_ = true;
        return loaded_;
    }

    int64_t size = plat::FileSize(f);
    if (size < 0 || size >= int64_t{kMaxFileSize}) {
        plat::FileClose(f);
        open_ = true;
        return false;
    }
    size_t n = static_cast<size_t>(size);
    size_t cap = (n / 1024 + 1) * 1024; // always at least one zero byte after the text
    text_ = static_cast<char*>(plat::Alloc(cap));
    if (!text_) {
        plat::FileClose(f);
        open_ = true;
        return false;
    }
    capacity_ = cap;
    size_t got = 0;
    while (got < n) {
        int64_t r = plat::FileRead(f, text_ + got, n - got);
        if (r <= 0)
            break;
        got += static_cast<size_t>(r);
    }
    plat::FileClose(f);
    // A UTF-8 byte-order mark would make the first header a line of text.
    if (got >= 3 && std::memcmp(text_, "\xEF\xBB\xBF", 3) == 0) {
        std::memmove(text_, text_ + 3, got - 3);
        got -= 3;
        n -= 3;
        utf8_ = true;
    }
    std::memset(text_ + got, 0, cap - got);
    length_ = got;
    loaded_ = got == n;
    open_ = true;
    return loaded_;
}

size_t CIniFile::SkipLineEnd(size_t pos) const {
    if (pos < length_ && text_[pos] == '\r') {
        ++pos;
        if (pos < length_ && text_[pos] == '\n')
            ++pos;
    } else if (pos < length_ && text_[pos] == '\n') {
        ++pos;
    }
    return pos;
}

namespace {

constexpr uint32_t kFreeSlot = 0xFFFFFFFFu;

size_t HashName(const char* name, size_t len) {
    return std::hash<std::string_view>()(std::string_view(name, len));
}

} // namespace

int64_t CIniFile::LookupHeader(const char* name, size_t len) const {
    if (slots_.empty())
        return -1;
    const size_t mask = slots_.size() - 1;
    for (size_t at = HashName(name, len) & mask;; at = (at + 1) & mask) {
        uint32_t h = slots_[at];
        if (h == kFreeSlot)
            return -1;
        const Header& hd = headers_[h];
        if (hd.nameLen == len && std::memcmp(text_ + hd.name, name, len) == 0)
            return h;
    }
}

// One pass over the text: a header is a '[' that is the first non-blank of its
// line. Every header ends the body before it; only the first of a name is found.
void CIniFile::BuildIndex() {
    indexed_ = true;
    headers_.clear();
    slots_.clear();
    const char* t = text_;
    size_t pos = 0;
    while (pos < length_) {
        size_t p = pos;
        while (p < length_ && IsBlank(t[p]))
            ++p;
        if (p < length_ && t[p] == '[') {
            size_t q = p + 1;
            while (q < length_ && t[q] != ']' && !IsLineEnd(t[q]))
                ++q;
            Header h{p, p + 1, q - (p + 1), 0, length_, false};
            while (q < length_ && !IsLineEnd(t[q]))
                ++q;
            h.body = SkipLineEnd(q);
            if (!headers_.empty())
                headers_.back().bodyEnd = p;
            headers_.push_back(h);
            pos = h.body;
            continue;
        }
        while (p < length_ && !IsLineEnd(t[p]))
            ++p;
        pos = SkipLineEnd(p);
    }
    // Open addressing at most half full; a text under 16 MB has fewer headers
    // than a 32-bit slot can count.
    size_t size = 16;
    while (size < 2 * headers_.size())
        size *= 2;
    slots_.assign(size, kFreeSlot);
    const size_t mask = size - 1;
    for (size_t i = 0; i < headers_.size(); ++i) {
        Header& hd = headers_[i];
        for (size_t at = HashName(t + hd.name, hd.nameLen) & mask;; at = (at + 1) & mask) {
            uint32_t other = slots_[at];
            if (other == kFreeSlot) {
                slots_[at] = static_cast<uint32_t>(i);
                hd.first = true;
                break;
            }
            const Header& od = headers_[other];
            if (od.nameLen == hd.nameLen && std::memcmp(t + od.name, t + hd.name, hd.nameLen) == 0)
                break; // a later header of a name already seen
        }
    }
}

bool CIniFile::FindSection(const char* section, size_t* bodyBegin, size_t* bodyEnd) {
    if (!loaded_ || !text_ || !section || !*section)
        return false;
    if (cachedName_[0] && std::strcmp(section, cachedName_) == 0) {
        *bodyBegin = cachedBegin_;
        *bodyEnd = cachedEnd_;
        return true;
    }
    if (!indexed_)
        BuildIndex();
    size_t len = std::strlen(section);
    int64_t found = -1;
    // Sections are mostly asked for in file order: try the next header first.
    size_t next = static_cast<size_t>(lastHeader_ + 1);
    if (next < headers_.size()) {
        const Header& hd = headers_[next];
        if (hd.first && hd.nameLen == len && std::memcmp(text_ + hd.name, section, len) == 0)
            found = static_cast<int64_t>(next);
    }
    if (found < 0)
        found = LookupHeader(section, len);
    if (found < 0)
        return false;
    lastHeader_ = found;
    const Header& hd = headers_[static_cast<size_t>(found)];
    // A cut name could later match a shorter section by mistake: cache only
    // names that fit.
    if (len <= kMaxSectionName) {
        std::memcpy(cachedName_, section, len + 1);
        cachedBegin_ = hd.body;
        cachedEnd_ = hd.bodyEnd;
    }
    *bodyBegin = hd.body;
    *bodyEnd = hd.bodyEnd;
    return true;
}

bool CIniFile::FindValue(const char* section, const char* key, size_t* valueBegin,
                         size_t* valueEnd) {
    size_t begin = 0, end = 0;
    if (!key || !FindSection(section, &begin, &end))
        return false;
    const char* t = text_;
    size_t keyLen = std::strlen(key);
    size_t pos = begin;
    while (pos < end) {
        size_t p = pos;
        while (p < end && IsBlank(t[p]))
            ++p;
        size_t lineEnd = p;
        while (lineEnd < end && !IsLineEnd(t[lineEnd]))
            ++lineEnd;
        if (p < lineEnd) {
            if (t[p] == '[')
                return false;
            if (t[p] != ';') {
                const void* eq = std::memchr(t + p, '=', lineEnd - p);
                if (eq) {
                    size_t eqPos = static_cast<size_t>(static_cast<const char*>(eq) - t);
                    size_t k = eqPos;
                    while (k > p && IsBlank(t[k - 1]))
                        --k;
                    if (k - p == keyLen && std::memcmp(t + p, key, keyLen) == 0) {
                        *valueBegin = eqPos + 1;
                        *valueEnd = lineEnd;
                        return true;
                    }
                }
            }
        }
        pos = SkipLineEnd(lineEnd);
    }
    return false;
}

uint32_t CIniFile::GetString(const char* section, const char* key, const char* def, char* out,
                             uint32_t outSize) {
    if (!out || outSize == 0)
        return 0;
    size_t vb = 0, ve = 0;
    if (FindValue(section, key, &vb, &ve)) {
        size_t n = ve - vb;
        if (n > outSize - 1)
            n = outSize - 1;
        std::memcpy(out, text_ + vb, n);
        out[n] = 0;
        return static_cast<uint32_t>(n);
    }
    if (!def)
        return 0;
    size_t n = std::strlen(def);
    if (n > outSize - 1)
        n = outSize - 1;
    std::memmove(out, def, n);
    out[n] = 0;
    return static_cast<uint32_t>(n);
}

int32_t CIniFile::GetInt(const char* section, const char* key, int32_t def) {
    char buf[32] = {};
    if (GetString(section, key, nullptr, buf, sizeof buf) == 0)
        return def;
    if (buf[0] == '0' && (buf[1] == 'x' || buf[1] == 'X'))
        return IniParseHex8(buf + 2);
    return IniParseDecimal(buf);
}

int CIniFile::GetWString(const char* section, const char* key, const WChar* def, WChar* out,
                         int outLen) {
    if (!out || outLen <= 0)
        return 0;
    out[0] = 0;
    size_t vb = 0, ve = 0;
    if (!FindValue(section, key, &vb, &ve)) {
        size_t n = def ? plat::WStrLen(def) : 0;
        if (n >= static_cast<size_t>(outLen))
            return 0;
        for (size_t i = 0; i < n; ++i)
            out[i] = def[i];
        out[n] = 0;
        return static_cast<int>(n + 1);
    }
    // The whole value is converted or none of it: a byte limit would cut a
    // character of a multi-byte code page and pass a shorter name as valid.
    const size_t bytes = ve - vb;
    if (bytes == 0)
        return 1;
    if (bytes > 0x7FFFFFFF)
        return 0;
    const uint32_t cp = utf8_ ? plat::kCpUtf8 : plat::kCpAcp;
    const uint32_t flags = utf8_ ? 0 : plat::kMbPrecomposed;
    const int len = static_cast<int>(bytes);
    const int need = plat::MultiByteToWide(cp, flags, text_ + vb, len, nullptr, 0);
    if (need <= 0 || need >= outLen)
        return 0;
    if (plat::MultiByteToWide(cp, flags, text_ + vb, len, out, need) != need) {
        out[0] = 0;
        return 0;
    }
    out[need] = 0;
    return need + 1;
}
