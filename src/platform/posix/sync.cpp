#include "platform/sync.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "module_pin.h"

namespace plat {

// ---- CriticalSection ----

namespace {

// Recursion is counted here rather than by a recursive pthread mutex: a
// re-entry by the owner is then a compare and an increment, not a library
// call, and the hot paths re-enter a block's lock several times a call.
struct alignas(64) Section {
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    // Only the owner ever stores its own tag, so a thread that reads its
    // tag here owns the section, whatever other threads store meanwhile.
    std::atomic<const void*> owner{nullptr};
    uint32_t depth = 0; // the owner's alone
};

// A tag per thread: the address of a thread-local byte.
const void* SelfTag() {
    static thread_local char tag;
    return &tag;
}

Section* Sec(void* impl) {
    return static_cast<Section*>(impl);
}

} // namespace

CriticalSection::CriticalSection() : impl_(new Section) {}

CriticalSection::~CriticalSection() {
    Section* s = Sec(impl_);
    pthread_mutex_destroy(&s->mutex);
    delete s;
}

void CriticalSection::Enter() {
    Section* s = Sec(impl_);
    const void* self = SelfTag();
    if (s->owner.load(std::memory_order_relaxed) != self) {
        pthread_mutex_lock(&s->mutex);
        s->owner.store(self, std::memory_order_relaxed);
    }
    ++s->depth;
}

bool CriticalSection::TryEnter() {
    Section* s = Sec(impl_);
    const void* self = SelfTag();
    if (s->owner.load(std::memory_order_relaxed) != self) {
        if (pthread_mutex_trylock(&s->mutex) != 0)
            return false;
        s->owner.store(self, std::memory_order_relaxed);
    }
    ++s->depth;
    return true;
}

void CriticalSection::Leave() {
    Section* s = Sec(impl_);
    // A thread that does not hold it leaves nothing, as a recursive mutex
    // refuses to be unlocked by another thread.
    if (s->owner.load(std::memory_order_relaxed) != SelfTag() || s->depth == 0)
        return;
    if (--s->depth == 0) {
        s->owner.store(nullptr, std::memory_order_relaxed);
        pthread_mutex_unlock(&s->mutex);
    }
}

// ---- Events ----

namespace {

using Clock = std::chrono::steady_clock;

// A WaitAny caller parked on two events; Set pokes it so it re-checks both.
struct MultiWaiter {
    std::mutex m;
    std::condition_variable cv;
    bool poked = false;
};

struct EventImpl {
    std::mutex m;
    std::condition_variable cv;
    bool manual;
    bool set;
    std::vector<MultiWaiter*> multi;
};

EventImpl* Impl(void* p) {
    return static_cast<EventImpl*>(p);
}

// Consumes the signal when there is one; false otherwise.
bool TryTake(EventImpl* e) {
    std::lock_guard<std::mutex> lock(e->m);
    if (!e->set)
        return false;
    if (!e->manual)
        e->set = false;
    return true;
}

void AddWaiter(EventImpl* e, MultiWaiter* w) {
    std::lock_guard<std::mutex> lock(e->m);
    e->multi.push_back(w);
}

void RemoveWaiter(EventImpl* e, MultiWaiter* w) {
    std::lock_guard<std::mutex> lock(e->m);
    e->multi.erase(std::remove(e->multi.begin(), e->multi.end(), w), e->multi.end());
}

} // namespace

Event::Event(bool manualReset, bool initiallySet) : impl_(nullptr) {
    auto* e = new (std::nothrow) EventImpl;
    if (e) {
        e->manual = manualReset;
        e->set = initiallySet;
    }
    impl_ = e;
}

Event::~Event() {
    delete Impl(impl_);
}

bool Event::Set() {
    EventImpl* e = Impl(impl_);
    if (!e)
        return false;
    std::lock_guard<std::mutex> lock(e->m);
    e->set = true;
    // An auto-reset event releases one single waiter; the others re-check and
    // find it taken, so notify_all is only wasted wake-ups, never a double take.
    e->cv.notify_all();
    for (MultiWaiter* w : e->multi) {
        std::lock_guard<std::mutex> wl(w->m);
        w->poked = true;
        w->cv.notify_one();
    }
    return true;
}

bool Event::Reset() {
    EventImpl* e = Impl(impl_);
    if (!e)
        return false;
    std::lock_guard<std::mutex> lock(e->m);
    e->set = false;
    return true;
}

WaitResult Event::Wait(uint32_t ms) {
    EventImpl* e = Impl(impl_);
    if (!e)
        return kWaitFailed;
    std::unique_lock<std::mutex> lock(e->m);
    if (ms == kInfinite) {
        e->cv.wait(lock, [e] { return e->set; });
    } else {
        auto deadline = Clock::now() + std::chrono::milliseconds(ms);
        if (!e->cv.wait_until(lock, deadline, [e] { return e->set; }))
            return kWaitTimeout;
    }
    if (!e->manual)
        e->set = false;
    return kWaitFirst;
}

WaitResult WaitAny(Event& first, Event& second, uint32_t ms) {
    EventImpl* a = Impl(first.impl_);
    EventImpl* b = Impl(second.impl_);
    if (!a || !b)
        return kWaitFailed;
    if (a == b)
        return first.Wait(ms);

    MultiWaiter w;
    // Registered before the first check, so a Set in between is not lost.
    AddWaiter(a, &w);
    AddWaiter(b, &w);
    const bool forever = ms == kInfinite;
    const auto deadline = Clock::now() + std::chrono::milliseconds(forever ? 0 : ms);
    WaitResult result = kWaitTimeout;
    for (;;) {
        if (TryTake(a)) {
            result = kWaitFirst;
            break;
        }
        if (TryTake(b)) {
            result = kWaitSecond;
            break;
        }
        std::unique_lock<std::mutex> lock(w.m);
        if (forever) {
            w.cv.wait(lock, [&w] { return w.poked; });
        } else if (!w.cv.wait_until(lock, deadline, [&w] { return w.poked; })) {
            lock.unlock();
            // A last look: a Set may have raced with the time-out.
            if (TryTake(a))
                result = kWaitFirst;
            else if (TryTake(b))
                result = kWaitSecond;
            break;
        }
        w.poked = false;
    }
    RemoveWaiter(a, &w);
    RemoveWaiter(b, &w);
    return result;
}

// ---- Threads ----

namespace {

struct ThreadImpl {
    pthread_t handle{};
    ThreadProc proc = nullptr;
    void* arg = nullptr;
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    // Written by the thread itself before the procedure runs, so a caller on
    // that thread always finds it.
    bool hasSelf = false;
    pthread_t self{};
};

// Owner and running thread share the state: a detached thread may outlive
// the Thread object.
typedef std::shared_ptr<ThreadImpl> ThreadRef;

void* Trampoline(void* p) {
    std::unique_ptr<ThreadRef> ref(static_cast<ThreadRef*>(p));
    ThreadImpl* t = ref->get();
    {
        std::lock_guard<std::mutex> lock(t->m);
        t->self = pthread_self();
        t->hasSelf = true;
    }
    t->proc(t->arg);
    {
        std::lock_guard<std::mutex> lock(t->m);
        t->done = true;
    }
    t->cv.notify_all();
    return nullptr;
}

ThreadRef* Ref(void* p) {
    return static_cast<ThreadRef*>(p);
}

} // namespace

Thread::Thread() : impl_(nullptr) {}

Thread::~Thread() {
    if (ThreadRef* ref = Ref(impl_)) {
        pthread_detach((*ref)->handle);
        delete ref;
    }
}

bool Thread::Start(ThreadProc proc, void* arg) {
    if (impl_ || !proc)
        return false;
    // The thread runs this module's code, also after a host's dlclose.
    posix::PinThisModule();
    auto* own = new ThreadRef(std::make_shared<ThreadImpl>());
    (*own)->proc = proc;
    (*own)->arg = arg;
    auto* forThread = new ThreadRef(*own);
    pthread_t handle;
    if (pthread_create(&handle, nullptr, Trampoline, forThread) != 0) {
        delete forThread;
        delete own;
        return false;
    }
    (*own)->handle = handle;
    impl_ = own;
    return true;
}

bool Thread::Join(uint32_t ms) {
    ThreadRef* ref = Ref(impl_);
    if (!ref)
        return false;
    ThreadImpl* t = ref->get();
    if (IsCurrent())
        return false; // would wait for itself
    {
        std::unique_lock<std::mutex> lock(t->m);
        if (ms == kInfinite) {
            t->cv.wait(lock, [t] { return t->done; });
        } else {
            auto deadline = Clock::now() + std::chrono::milliseconds(ms);
            if (!t->cv.wait_until(lock, deadline, [t] { return t->done; }))
                return false;
        }
    }
    pthread_join(t->handle, nullptr);
    delete ref;
    impl_ = nullptr;
    return true;
}

bool Thread::IsCurrent() const {
    ThreadRef* ref = Ref(impl_);
    if (!ref)
        return false;
    ThreadImpl* t = ref->get();
    std::lock_guard<std::mutex> lock(t->m);
    return t->hasSelf && pthread_equal(t->self, pthread_self());
}

// ---- Time ----

uint32_t TickCount() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    uint64_t ms =
        static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
}

uint64_t MonotonicMicros() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

void GetLocalTimeNow(LocalTime* out) {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    tm parts{};
    const time_t seconds = ts.tv_sec;
    localtime_r(&seconds, &parts);
    out->year = parts.tm_year + 1900;
    out->month = parts.tm_mon + 1;
    out->day = parts.tm_mday;
    out->hour = parts.tm_hour;
    out->minute = parts.tm_min;
    out->second = parts.tm_sec;
    out->millisecond = static_cast<int>(ts.tv_nsec / 1000000);
}

void SleepMs(uint32_t ms) {
    timespec ts;
    ts.tv_sec = static_cast<time_t>(ms / 1000u);
    ts.tv_nsec = static_cast<long>(ms % 1000u) * 1000000L;
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

uint32_t CurrentThreadId() {
    return static_cast<uint32_t>(syscall(SYS_gettid));
}

bool ComEnterMultithreaded() {
    return false;
}

void ComLeave() {}

} // namespace plat
