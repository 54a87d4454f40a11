// Periodic timer on the multimedia timer service (CmmTimer), and the same
// timer waking a worker thread of its own (CCdkTimer), so that the slow work
// of a tick never runs on the system's timer thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/sync.h"
#include "platform/types.h"

class CmmTimer {
public:
    static constexpr int32_t kModeMultimedia = 1;
    static constexpr uint32_t kAutoResolution = 0xFFFFFFFFu;

    CmmTimer();
    // Start: true when a timer runs. Only the multimedia mode starts one.
    virtual bool Start(uint32_t periodMs, int32_t mode);
    // Safe when no timer runs; true when one was stopped.
    virtual bool Stop();
    // On the timer thread, at every expiry.
    virtual void OnTimer();
    virtual ~CmmTimer();
    CmmTimer(const CmmTimer&) = delete;
    CmmTimer& operator=(const CmmTimer&) = delete;

    int32_t Mode() const { return mode_; }
    uint32_t Period() const { return period_; }
    uint32_t Resolution() const { return resolution_; }
    bool Running() const { return timerId_.load() != 0; }

private:
    static void Expired(void* self);

    int32_t mode_;
    uint32_t period_;
    std::atomic<uint32_t> timerId_;
    uint32_t resolution_;
    bool periodBegun_;
};

class CCdkTimer : public CmmTimer {
public:
    CCdkTimer();
    // Stops whatever ran, then starts the worker and the timer; true when
    // both run. useWorker 0 runs OnTick on the timer thread itself.
    bool Start(uint32_t periodMs, int32_t useWorker) override;
    void OnTimer() override;
    // Waits, without a limit, for a worker that a timed-out StopWorker left
    // inside a tick to leave this object.
    ~CCdkTimer() override;
    // Stops the timer and asks the worker to end, waiting at most timeLimitMs
    // (plat::kInfinite: no limit) for it to leave its loop, the last thing
    // it does with this object. Never waits for the thread's end, which
    // under the loader's lock (a host that releases the driver from a static
    // destructor) would not come: the thread is let go and ends on its own.
    // True when the worker has left; false, the worker kept, while it is
    // still inside a tick or when called from the worker itself.
    virtual bool StopWorker(uint32_t timeLimitMs);
    // One tick, on the worker thread.
    virtual void OnTick();

    bool HasWorker() const { return worker_ != nullptr; }
    bool WorkerRunning() const { return running_.load() != 0; }
    // True on the worker thread of this timer.
    bool OnWorkerThread() const { return worker_ && worker_->IsCurrent(); }

private:
    static unsigned WorkerMain(void* self);
    void WorkerLoop();

    int32_t useWorker_;
    std::unique_ptr<plat::Thread> worker_;
    std::unique_ptr<plat::Event> stopEvent_;
    std::unique_ptr<plat::Event> tickEvent_;
    // Waits at most timeLimitMs for loopLeft_.
    bool WaitLoopLeft(uint32_t timeLimitMs) const;

    std::atomic<int32_t> running_;
    // Set by the worker as the last thing it does with this object.
    std::atomic<bool> loopLeft_;
};
