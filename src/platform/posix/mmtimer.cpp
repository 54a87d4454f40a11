#include "platform/mmtimer.h"

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "module_pin.h"

namespace plat {

namespace {

constexpr uint32_t kPeriodMin = 1;
constexpr uint32_t kPeriodMax = 1000000;

using Clock = std::chrono::steady_clock;

struct Timer {
    std::chrono::milliseconds period{0};
    TimerCallback cb = nullptr;
    void* ctx = nullptr;
    std::mutex m;
    std::condition_variable cv;
    bool stop = false;
    std::thread worker;
};

void Run(std::shared_ptr<Timer> t) {
    Clock::time_point next = Clock::now() + t->period;
    std::unique_lock<std::mutex> lock(t->m);
    for (;;) {
        if (t->cv.wait_until(lock, next, [&t] { return t->stop; }))
            return;
        lock.unlock();
        t->cb(t->ctx);
        lock.lock();
        // Deadlines missed while the callback ran are dropped, keeping the phase.
        Clock::time_point now = Clock::now();
        next += t->period;
        if (next <= now) {
            auto behind = (now - next) / t->period + 1;
            next += t->period * behind;
        }
    }
}

// The running timers by id. It exists only while a timer runs, so that a
// module unloaded with no timer left leaves nothing behind; the lock is a
// plain static with no destructor to run at unload.
struct Registry {
    std::map<uint32_t, std::shared_ptr<Timer>> timers;
};

std::mutex g_registryLock;
Registry* g_registry = nullptr;
uint32_t g_lastId = 0;

} // namespace

bool TimerGetDevCaps(TimerCaps* caps) {
    if (!caps)
        return false;
    caps->periodMin = kPeriodMin;
    caps->periodMax = kPeriodMax;
    return true;
}

bool TimerBeginPeriod(uint32_t resolutionMs) {
    return resolutionMs >= kPeriodMin && resolutionMs <= kPeriodMax;
}

bool TimerEndPeriod(uint32_t resolutionMs) {
    return resolutionMs >= kPeriodMin && resolutionMs <= kPeriodMax;
}

uint32_t TimerSetPeriodic(uint32_t periodMs, uint32_t resolutionMs, TimerCallback cb, void* ctx) {
    (void)resolutionMs; // the thread sleeps to absolute deadlines; nothing to tune
    if (!cb || periodMs < kPeriodMin || periodMs > kPeriodMax)
        return 0;
    // The timer thread runs this module's code, also after a host's dlclose.
    posix::PinThisModule();
    auto t = std::make_shared<Timer>();
    t->period = std::chrono::milliseconds(periodMs);
    t->cb = cb;
    t->ctx = ctx;

    std::lock_guard<std::mutex> lock(g_registryLock);
    try {
        if (!g_registry)
            g_registry = new Registry;
        uint32_t id = g_lastId;
        do {
            ++id;
        } while (id == 0 || g_registry->timers.count(id));
        // Started under the registry lock so that a kill of this id cannot
        // come before the thread object is stored.
        t->worker = std::thread(Run, t);
        g_lastId = id;
        g_registry->timers.emplace(id, t);
        return id;
    } catch (...) {
        if (t->worker.joinable()) {
            {
                std::lock_guard<std::mutex> stop(t->m);
                t->stop = true;
            }
            t->cv.notify_all();
            t->worker.join();
        }
        if (g_registry && g_registry->timers.empty()) {
            delete g_registry;
            g_registry = nullptr;
        }
        return 0;
    }
}

bool TimerKill(uint32_t id) {
    std::shared_ptr<Timer> t;
    {
        std::lock_guard<std::mutex> lock(g_registryLock);
        if (!g_registry)
            return false;
        auto it = g_registry->timers.find(id);
        if (it == g_registry->timers.end())
            return false;
        t = it->second;
        g_registry->timers.erase(it);
        if (g_registry->timers.empty()) {
            delete g_registry;
            g_registry = nullptr;
        }
    }
    {
        std::lock_guard<std::mutex> lock(t->m);
        t->stop = true;
    }
    t->cv.notify_all();
    if (t->worker.get_id() == std::this_thread::get_id())
        t->worker.detach(); // from the callback: it ends when the callback returns
    else
        t->worker.join();
    return true;
}

} // namespace plat
