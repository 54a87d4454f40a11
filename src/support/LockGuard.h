// Scoped holder of one critical section.
#pragma once

#include "platform/sync.h"
#include "platform/types.h"

// Holds a critical section for a stretch of code; every exit path, an
// exception included, releases it. An absent section is never entered or left.
class LockGuard {
public:
    explicit LockGuard(plat::CriticalSection* section, bool lockNow = true);
    ~LockGuard();
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;

    // Enters the section (again: it is recursive).
    void Lock();
    // Leaves the section as often as it was entered here.
    void UnlockAll();

    int32_t EntryCount() const { return count_; }

private:
    plat::CriticalSection* section_;
    // A guard lives on one thread's stack: its count is that thread's alone.
    int32_t count_;
};
