#include "support/LockGuard.h"

LockGuard::LockGuard(plat::CriticalSection* section, bool lockNow) : section_(section), count_(0) {
    if (lockNow)
        Lock();
}

LockGuard::~LockGuard() {
    UnlockAll();
}

void LockGuard::Lock() {
    if (++count_ > 0 && section_)
        section_->Enter();
}

void LockGuard::UnlockAll() {
    for (; count_ > 0; --count_)
        if (section_)
            section_->Leave();
}
