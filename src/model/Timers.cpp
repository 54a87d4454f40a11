#include "model/Timers.h"

#include "platform/alloc.h"
#include "platform/mmtimer.h"

namespace {

uint32_t Clamp(uint32_t v, uint32_t lo, uint32_t hi) {
    if (v < lo)
        return lo;
    if (v > hi)
        return hi;
    return v;
}

} // namespace

CmmTimer::CmmTimer()
    : mode_(0), period_(1000), timerId_(0), resolution_(kAutoResolution), periodBegun_(false) {}

CmmTimer::~CmmTimer() {
    CmmTimer::Stop();
}

void CmmTimer::Expired(void* self) {
    static_cast<CmmTimer*>(self)->OnTimer();
}

bool CmmTimer::Start(uint32_t periodMs, int32_t mode) {
    CmmTimer::Stop();
    mode_ = mode;
    if (mode != kModeMultimedia)
        return false;
    plat::TimerCaps caps;
    if (!plat::TimerGetDevCaps(&caps))
        return false;
    period_ = Clamp(periodMs, caps.periodMin, caps.periodMax);
    // A tenth of the period: the system resolution is raised only as far as
    // the period needs. Kept for later starts.
    if (resolution_ == kAutoResolution) {
        resolution_ = periodMs / 10;
        if (resolution_ < 2)
            resolution_ = 1;
    }
    resolution_ = Clamp(resolution_, caps.periodMin, caps.periodMax);
    if (plat::TimerBeginPeriod(resolution_)) {
        periodBegun_ = true;
        timerId_.store(plat::TimerSetPeriodic(period_, resolution_, &CmmTimer::Expired, this));
    }
    return timerId_.load() != 0;
}

bool CmmTimer::Stop() {
    bool stopped = false;
    uint32_t id = timerId_.exchange(0);
    if (id != 0)
        stopped = plat::TimerKill(id);
    if (periodBegun_) {
        plat::TimerEndPeriod(resolution_);
        periodBegun_ = false;
    }
    return stopped;
}

void CmmTimer::OnTimer() {}

CCdkTimer::CCdkTimer() : useWorker_(1), running_(0), loopLeft_(true) {}

CCdkTimer::~CCdkTimer() {
    running_.store(0);
    CmmTimer::Stop();
    if (worker_) {
        if (stopEvent_)
            stopEvent_->Set();
        // The worker uses this object: it must have left before the memory goes.
        if (!worker_->IsCurrent())
            WaitLoopLeft(plat::kInfinite);
        worker_.reset();
    }
}

bool CCdkTimer::Start(uint32_t periodMs, int32_t useWorker) {
    StopWorker(plat::kInfinite);
    useWorker_ = useWorker;
    if (!tickEvent_ || !tickEvent_->Valid())
        tickEvent_.reset(plat::NewObject<plat::Event>(false, false));
    if (!stopEvent_ || !stopEvent_->Valid())
        stopEvent_.reset(plat::NewObject<plat::Event>(true, false));
    if (!tickEvent_ || !tickEvent_->Valid() || !stopEvent_ || !stopEvent_->Valid())
        return false;
    // A stop of an earlier run left the stop event set.
    stopEvent_->Reset();
    tickEvent_->Reset();
    if (useWorker_) {
        running_.store(1);
        loopLeft_.store(false);
        std::unique_ptr<plat::Thread> thread(plat::NewObject<plat::Thread>());
        if (!thread || !thread->Start(&CCdkTimer::WorkerMain, this)) {
            running_.store(0);
            loopLeft_.store(true);
            return false;
        }
        worker_ = std::move(thread);
    }
    if (!CmmTimer::Start(periodMs, kModeMultimedia)) {
        // No timer: no worker left waiting for ticks that never come.
        StopWorker(plat::kInfinite);
        return false;
    }
    return true;
}

void CCdkTimer::OnTimer() {
    if (useWorker_ && tickEvent_) {
        // Auto-reset: expiries during a long tick fold into one pending tick.
        tickEvent_->Set();
        return;
    }
    OnTick();
}

void CCdkTimer::OnTick() {}

unsigned CCdkTimer::WorkerMain(void* self) {
    static_cast<CCdkTimer*>(self)->WorkerLoop();
    return 0;
}

void CCdkTimer::WorkerLoop() {
    bool com = plat::ComEnterMultithreaded();
    while (running_.load()) {
        plat::WaitResult r = plat::WaitAny(*tickEvent_, *stopEvent_, plat::kInfinite);
        if (r != plat::kWaitFirst) {
            running_.store(0);
            break;
        }
        // A tick that raced with a stop is not run.
        if (!running_.load())
            break;
        try {
            OnTick();
        } catch (...) {
            // A tick's failure must not end the worker; the next tick retries.
        }
    }
    // Before ComLeave, which may need the loader's lock: a stop waits for this.
    loopLeft_.store(true);
    if (com)
        plat::ComLeave();
}

bool CCdkTimer::WaitLoopLeft(uint32_t timeLimitMs) const {
    const uint32_t start = plat::TickCount();
    while (!loopLeft_.load()) {
        if (timeLimitMs != plat::kInfinite && plat::TickCount() - start >= timeLimitMs)
            return false;
        plat::SleepMs(1);
    }
    return true;
}

bool CCdkTimer::StopWorker(uint32_t timeLimitMs) {
    running_.store(0);
    CmmTimer::Stop();
    if (!worker_)
        return true;
    if (stopEvent_)
        stopEvent_->Set();
    if (worker_->IsCurrent() || !WaitLoopLeft(timeLimitMs))
        return false;
    // Let go: the thread holds the module (plat::Thread) until it has ended.
    worker_.reset();
    return true;
}
