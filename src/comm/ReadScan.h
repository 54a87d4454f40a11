// The read scan and the write queue of one device block: the link's passes
// over the block's read window, on the link's worker with the link lock held.
//
// The scan groups the units that items in use cover into runs and reads each
// with as few block reads as the rules allow (240 data bytes a frame); the
// queue sends what the host staged, whole units by block writes and single
// bits by bit writes. Both let go of the device lock for every exchange, and
// afterwards touch the window only when its generation has not changed.
#pragma once

#include <cstdint>

#include "comm/RequestEngine.h"
#include "model/LinkModel.h"

namespace idec {

// Longest run of units one read covers: 200 bytes of units, or 1024 units of
// the data registers.
constexpr int32_t kMaxRunBytes = 200;
constexpr int32_t kMaxRunUnitsA = 1024;

// True when at least one run was read. The exchanges go over ex; without
// it, over the link's own channel.
bool ReadScan(CPlcDrvLink& link, CPlcDevice& device, const ExchangeContext& ex);
bool ReadScan(CPlcDrvLink& link, CPlcDevice& device);
// True when the block was processed.
bool WriteQueue(CPlcDrvLink& link, CPlcDevice& device, const ExchangeContext& ex);
bool WriteQueue(CPlcDrvLink& link, CPlcDevice& device);

} // namespace idec
