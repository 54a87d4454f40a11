#include "support/LockGuard.h"

LockGuard::LockGuard(plat::CriticalSection* section, bool lockNow) : section_(section), count_(0) {
    if (lockNow)
        Lock();
}

LockGuard::~LockGuard() {
    UnlockAll();
}

void LockGuard::Lock() {
    if (count_.fetch_add(1) + 1 > 0 && section_)
        section_->Enter();
}

void LockGuard::UnlockAll() {
    int32_t c = count_.load();
    while (c > 0) {
        if (count_.compare_exchange_weak(c, c - 1)) {
            if (section_)
                section_->Leave();
            c = c - 1;
        }
    }
}
