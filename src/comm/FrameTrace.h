// An opt-in log of a link's frames: every request and reply with a local
// time stamp in milliseconds, the link, the direction, the bytes (control
// characters by name) and the judged status. Off unless the host settings
// name a file; then it is kept below a size limit with one rotation (the
// full file becomes "<name>.1"). Writing never holds a device lock, and a
// failure to write is ignored: the link runs as it would without it.
#pragma once

#include <cstdint>

#include "platform/file.h"
#include "platform/sync.h"
#include "platform/types.h"

namespace idec {

constexpr int64_t kTraceDefaultMaxBytes = 4 * 1024 * 1024;

class CFrameTrace {
public:
    CFrameTrace(const WChar* path, const WChar* linkName, int64_t maxBytes = kTraceDefaultMaxBytes);
    ~CFrameTrace();
    CFrameTrace(const CFrameTrace&) = delete;
    CFrameTrace& operator=(const CFrameTrace&) = delete;

    void Request(const uint8_t* bytes, int32_t n);
    // status: the device status judged from the reply, or -1 for none.
    void Reply(const uint8_t* bytes, int32_t n, int32_t status);
    void NoReply(int32_t status);

private:
    void Record(char direction, const uint8_t* bytes, int32_t n, int32_t status);
    void Append(const char* text, size_t n);
    bool Open();

    WChar path_[plat::kMaxPath];
    WChar rotated_[plat::kMaxPath];
    char link_[64];
    int64_t maxBytes_;
    int64_t size_;
    plat::FileHandle file_;
    plat::CriticalSection lock_;
};

} // namespace idec
