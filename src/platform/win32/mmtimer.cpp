#include "platform/mmtimer.h"

#include <new>
#include <unordered_map>

#include <windows.h>
#include <mmsystem.h>

namespace plat {

namespace {

// Per-timer state. The callback runs inside lock, so a kill that takes the lock
// after setting killed cannot return while the callback still runs, whatever
// the system's own TIME_KILL_SYNCHRONOUS does.
struct TimerState {
    CRITICAL_SECTION lock;
    TimerCallback cb;
    void* ctx;
    volatile LONG killed;
    volatile LONG callbackThread; // thread inside cb, 0 when none
    bool freeOnReturn;            // killed from its own callback
    LONGLONG lastStart;           // performance counter at the last callback start
    LONGLONG minGap;              // closer expiries are a catch-up burst
};

// Timer ids are all the caller keeps, so the states are found through this
// table. It exists only while a timer runs, so that a module unloaded with no
// timer left leaves nothing behind; the lock is a plain static with no
// destructor, usable from static destructors that run after ours.
struct Registry {
    std::unordered_map<UINT, TimerState*> timers;
};

SRWLOCK g_registryLock = SRWLOCK_INIT;
Registry* g_registry = nullptr;

void CALLBACK Trampoline(UINT, UINT, DWORD_PTR user, DWORD_PTR, DWORD_PTR) {
    TimerState* s = reinterpret_cast<TimerState*>(user);
    if (InterlockedCompareExchange(&s->killed, 0, 0))
        return;
    EnterCriticalSection(&s->lock);
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    // After a slow callback the system may deliver the missed expiries back to
    // back; one late tick is enough.
    bool burst = s->lastStart != 0 && now.QuadPart - s->lastStart < s->minGap;
    if (!burst && !InterlockedCompareExchange(&s->killed, 0, 0)) {
        s->lastStart = now.QuadPart;
        InterlockedExchange(&s->callbackThread, static_cast<LONG>(GetCurrentThreadId()));
        s->cb(s->ctx);
        InterlockedExchange(&s->callbackThread, 0);
    }
    bool release = s->freeOnReturn;
    LeaveCriticalSection(&s->lock);
    if (release) {
        DeleteCriticalSection(&s->lock);
        delete s;
    }
}

} // namespace

bool TimerGetDevCaps(TimerCaps* caps) {
    if (!caps)
        return false;
    TIMECAPS tc;
    if (timeGetDevCaps(&tc, sizeof(tc)) != MMSYSERR_NOERROR)
        return false;
    caps->periodMin = tc.wPeriodMin;
    caps->periodMax = tc.wPeriodMax;
    return true;
}

bool TimerBeginPeriod(uint32_t resolutionMs) {
    return timeBeginPeriod(resolutionMs) == TIMERR_NOERROR;
}

bool TimerEndPeriod(uint32_t resolutionMs) {
    return timeEndPeriod(resolutionMs) == TIMERR_NOERROR;
}

uint32_t TimerSetPeriodic(uint32_t periodMs, uint32_t resolutionMs, TimerCallback cb, void* ctx) {
    if (!cb || periodMs == 0)
        return 0;
    TimerState* s = new (std::nothrow) TimerState;
    if (!s)
        return 0;
    InitializeCriticalSection(&s->lock);
    s->cb = cb;
    s->ctx = ctx;
    s->killed = 0;
    s->callbackThread = 0;
    s->freeOnReturn = false;
    s->lastStart = 0;
    LARGE_INTEGER freq;
    QueryPerformanceFrequency(&freq);
    s->minGap = freq.QuadPart * periodMs / 4000;

    UINT id = timeSetEvent(periodMs, resolutionMs, Trampoline, reinterpret_cast<DWORD_PTR>(s),
                           TIME_PERIODIC | TIME_KILL_SYNCHRONOUS);
    bool stored = false;
    if (id != 0) {
        AcquireSRWLockExclusive(&g_registryLock);
        try {
            if (!g_registry)
                g_registry = new Registry;
            g_registry->timers[id] = s;
            stored = true;
        } catch (...) {
            if (g_registry && g_registry->timers.empty()) {
                delete g_registry;
                g_registry = nullptr;
            }
        }
        ReleaseSRWLockExclusive(&g_registryLock);
    }
    if (id != 0 && !stored) {
        InterlockedExchange(&s->killed, 1);
        timeKillEvent(id);
        id = 0;
    }
    if (id == 0) {
        EnterCriticalSection(&s->lock);
        LeaveCriticalSection(&s->lock);
        DeleteCriticalSection(&s->lock);
        delete s;
    }
    return id;
}

bool TimerKill(uint32_t id) {
    TimerState* s = nullptr;
    AcquireSRWLockExclusive(&g_registryLock);
    if (g_registry) {
        auto it = g_registry->timers.find(id);
        if (it != g_registry->timers.end()) {
            s = it->second;
            g_registry->timers.erase(it);
        }
        if (g_registry->timers.empty()) {
            delete g_registry;
            g_registry = nullptr;
        }
    }
    ReleaseSRWLockExclusive(&g_registryLock);
    if (!s)
        return false;

    InterlockedExchange(&s->killed, 1);
    bool fromCallback = InterlockedCompareExchange(&s->callbackThread, 0, 0) ==
                        static_cast<LONG>(GetCurrentThreadId());
    MMRESULT rc = timeKillEvent(id);
    if (fromCallback) {
        // The trampoline below us still uses the state; it frees it on return.
        s->freeOnReturn = true;
        return rc == TIMERR_NOERROR;
    }
    // Waits out a callback that is running now; later ones see killed.
    EnterCriticalSection(&s->lock);
    LeaveCriticalSection(&s->lock);
    DeleteCriticalSection(&s->lock);
    delete s;
    return rc == TIMERR_NOERROR;
}

} // namespace plat
