// Periodic high-resolution timer in the manner of the Windows multimedia timer.
#pragma once

#include "platform/types.h"

namespace plat {

struct TimerCaps {
    uint32_t periodMin;
    uint32_t periodMax;
};

bool TimerGetDevCaps(TimerCaps* caps);
bool TimerBeginPeriod(uint32_t resolutionMs);
bool TimerEndPeriod(uint32_t resolutionMs);

typedef void (*TimerCallback)(void* ctx);

// Starts a periodic timer; the callback runs on a timer thread. Returns the
// timer id, 0 on failure. Late expiries are not queued up behind a slow callback.
uint32_t TimerSetPeriodic(uint32_t periodMs, uint32_t resolutionMs, TimerCallback cb, void* ctx);

// Stops the timer. Does not return while its callback runs (unless called from
// that callback). True when the id named a running timer.
bool TimerKill(uint32_t id);

} // namespace plat
