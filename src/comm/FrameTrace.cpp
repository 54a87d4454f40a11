#include "comm/FrameTrace.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "comm/Frames.h"
#include "platform/codepage.h"
#include "support/LockGuard.h"
#include "support/Strings.h"

namespace idec {

namespace {

const char* ControlName(uint8_t b) {
    switch (b) {
    case 0x00:
        return "NUL";
    case 0x02:
        return "STX";
    case 0x03:
        return "ETX";
    case 0x05:
        return "ENQ";
    case 0x06:
        return "ACK";
    case 0x0A:
        return "LF";
    case 0x0D:
        return "CR";
    case 0x15:
        return "NAK";
    default:
        return nullptr;
    }
}

} // namespace

CFrameTrace::CFrameTrace(const WChar* path, const WChar* linkName, int64_t maxBytes)
    : maxBytes_(maxBytes > 0 ? maxBytes : kTraceDefaultMaxBytes), size_(0), file_(nullptr) {
    CopyTextW(path_, path ? path : W16(""), plat::kMaxPath);
    CopyTextW(rotated_, path_, plat::kMaxPath);
    // A path with no room for the suffix is not rotated over some other file.
    if (!AppendTextW(rotated_, W16(".1"), plat::kMaxPath))
        rotated_[0] = 0;
    link_[0] = 0;
    if (linkName)
        plat::WideToMultiByte(plat::kCpUtf8, 0, linkName, -1, link_, sizeof link_);
    link_[sizeof link_ - 1] = 0;
}

CFrameTrace::~CFrameTrace() {
    if (file_)
        plat::FileClose(file_);
}

void CFrameTrace::Request(const uint8_t* bytes, int32_t n) {
    Record('>', bytes, n, -1);
}

void CFrameTrace::Reply(const uint8_t* bytes, int32_t n, int32_t status) {
    Record('<', bytes, n, status);
}

void CFrameTrace::NoReply(int32_t status) {
    Record('!', nullptr, 0, status);
}

void CFrameTrace::Record(char direction, const uint8_t* bytes, int32_t n, int32_t status) {
    plat::LocalTime t{};
    plat::GetLocalTimeNow(&t);
    char head[128];
    std::snprintf(head, sizeof head, "%04d-%02d-%02d %02d:%02d:%02d.%03d link \"%s\" %c ", t.year,
                  t.month, t.day, t.hour, t.minute, t.second, t.millisecond, link_, direction);
    std::string line(head);
    for (int32_t i = 0; bytes && i < n; ++i) {
        const uint8_t b = bytes[i];
        if (const char* name = ControlName(b)) {
            line += '<';
            line += name;
            line += '>';
        } else if (b < 0x20 || b >= 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "<%02X>", b);
            line += hex;
        } else {
            line += static_cast<char>(b);
        }
    }
    if (direction == '!')
        line += "(no reply)";
    if (status >= 0) {
        char verdict[64];
        std::snprintf(verdict, sizeof verdict, " = %d %s", static_cast<int>(status),
                      StatusName(status));
        line += verdict;
    }
    line += "\r\n";
    Append(line.data(), line.size());
}

bool CFrameTrace::Open() {
    if (!file_) {
        file_ = plat::FileOpenAppend(path_);
        if (!file_)
            return false; // tried again with the next record
        size_ = plat::FileSize(file_);
        if (size_ < 0)
            size_ = 0;
    }
    return true;
}

void CFrameTrace::Append(const char* text, size_t n) {
    LockGuard hold(&lock_);
    if (!path_[0] || !Open())
        return;
    if (size_ > 0 && size_ + static_cast<int64_t>(n) > maxBytes_) {
        plat::FileClose(file_);
        file_ = nullptr;
        // One rotation: the full file becomes the old one, the old one goes.
        if (rotated_[0])
            plat::FileReplace(path_, rotated_);
        else
            plat::FileRemove(path_);
        if (!Open())
            return;
    }
    if (plat::FileWrite(file_, text, n) == static_cast<int64_t>(n))
        size_ += static_cast<int64_t>(n);
}

} // namespace idec
