// The names of device status codes.
#include "comm/Frames.h"
#include "driver/ItemCodec.h"
#include "support/Strings.h"

int ErrorCodeName(WChar* buf, int32_t code, int cap) {
    return CopyTextW(buf, idec::StatusNameW(code), cap);
}
