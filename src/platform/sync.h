// Critical section, events, threads, tick count and sleep.
#pragma once

#include "platform/types.h"

namespace plat {

// Recursive lock: the owning thread may enter it again.
class CriticalSection {
public:
    CriticalSection();
    ~CriticalSection();
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

    void Enter();
    bool TryEnter();
    void Leave();

private:
    void* impl_;
};

enum WaitResult : int {
    kWaitFirst = 0,  // the (first) event was signalled
    kWaitSecond = 1, // the second event was signalled
    kWaitTimeout = 258,
    kWaitFailed = -1,
};

class Event;
WaitResult WaitAny(Event& first, Event& second, uint32_t ms);

class Event {
public:
    Event(bool manualReset, bool initiallySet);
    ~Event();
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    bool Valid() const { return impl_ != nullptr; }
    bool Set();
    bool Reset();
    // kWaitFirst when signalled, kWaitTimeout after ms (kInfinite: no limit).
    // An auto-reset event is reset by the wait that sees it.
    WaitResult Wait(uint32_t ms);

private:
    friend WaitResult WaitAny(Event& first, Event& second, uint32_t ms);
    void* impl_;
};

// Waits for either event; when both are set the first wins. Only the event
// reported is consumed (auto-reset).
WaitResult WaitAny(Event& first, Event& second, uint32_t ms);

typedef unsigned (*ThreadProc)(void* arg);

class Thread {
public:
    Thread();
    // Detaches a thread that was never joined; it keeps running.
    ~Thread();
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    // The thread keeps the code of the module it was started from in place
    // until it has ended, also when a host unloads the module meanwhile:
    // Windows holds a reference that the thread drops as it ends
    // (FreeLibraryAndExitThread); POSIX pins the module (see
    // posix/module_pin.h).
    bool Start(ThreadProc proc, void* arg);
    // True when the thread has ended within ms (kInfinite: no limit); the
    // thread is forgotten then. False leaves it joinable.
    bool Join(uint32_t ms);
    bool Started() const { return impl_ != nullptr; }
    // True when called on the thread itself.
    bool IsCurrent() const;

private:
    void* impl_;
};

// Milliseconds since some start; wraps after 49.7 days.
uint32_t TickCount();
// Microseconds since some start, never going back: for timing exchanges.
uint64_t MonotonicMicros();

// The local wall-clock time, for time stamps that people read.
struct LocalTime {
    int year, month, day; // month and day from 1
    int hour, minute, second, millisecond;
};
void GetLocalTimeNow(LocalTime* out);
void SleepMs(uint32_t ms);
uint32_t CurrentThreadId();

// Joins the multithreaded COM apartment (Windows); true when it must be left
// again with ComLeave. POSIX: nothing to join, false.
bool ComEnterMultithreaded();
void ComLeave();

} // namespace plat
