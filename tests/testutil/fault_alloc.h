// Scripted allocation faults: replaces plat::AllocOpsTable().alloc so that
// chosen allocations of the driver's objects and buffers fail (nullptr) or
// throw std::bad_alloc. The table is restored when the object goes.
#pragma once

#include <atomic>
#include <climits>
#include <cstdlib>
#include <new>

#include "platform/alloc.h"

namespace testutil {

class FaultAlloc {
public:
    enum Mode { kFail, kThrow };

    // Only one may be alive at a time.
    FaultAlloc() : saved_(plat::AllocOpsTable()) {
        if (active_)
            std::abort(); // two scripts would fight over one table
        active_ = this;
        plat::AllocOpsTable().alloc = &FaultAlloc::Alloc;
    }
    ~FaultAlloc() {
        plat::AllocOpsTable() = saved_;
        active_ = nullptr;
    }
    FaultAlloc(const FaultAlloc&) = delete;
    FaultAlloc& operator=(const FaultAlloc&) = delete;

    // Calls nth .. nth + times - 1 (counted from 1 since this object was
    // made, or since Rearm) fail.
    void FailNth(int nth, int times = 1, Mode mode = kFail) {
        mode_.store(mode);
        last_.store(times > INT_MAX - nth ? INT_MAX : nth + times - 1);
        first_.store(nth);
    }
    // Every call from the next one on fails.
    void FailAll(Mode mode = kFail) { FailNth(calls_.load() + 1, INT_MAX, mode); }
    void Pass() { first_.store(0); }
    // Counting starts again; nothing fails.
    void Rearm() {
        Pass();
        calls_.store(0);
        fired_.store(0);
    }

    int Calls() const { return calls_.load(); }
    int Fired() const { return fired_.load(); }

private:
    static void* Alloc(size_t bytes) {
        FaultAlloc* self = active_;
        const int n = self->calls_.fetch_add(1) + 1;
        const int first = self->first_.load();
        if (first > 0 && n >= first && n <= self->last_.load()) {
            self->fired_.fetch_add(1);
            if (self->mode_.load() == kThrow)
                throw std::bad_alloc();
            return nullptr;
        }
        return self->saved_.alloc(bytes);
    }

    static inline FaultAlloc* active_ = nullptr;
    plat::AllocOps saved_;
    std::atomic<int> calls_{0};
    std::atomic<int> fired_{0};
    std::atomic<int> first_{0};
    std::atomic<int> last_{0};
    std::atomic<int> mode_{kFail};
};

} // namespace testutil
