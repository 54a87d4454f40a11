#include "platform/sync.h"

#include <new>

#include <windows.h>
#include <objbase.h>
#include <process.h>

namespace plat {

namespace {

CRITICAL_SECTION* Cs(void* p) {
    return static_cast<CRITICAL_SECTION*>(p);
}

WaitResult FromWaitCode(DWORD rc) {
    if (rc == WAIT_OBJECT_0)
        return kWaitFirst;
    if (rc == WAIT_OBJECT_0 + 1)
        return kWaitSecond;
    if (rc == WAIT_TIMEOUT)
        return kWaitTimeout;
    return kWaitFailed;
}

struct ThreadImpl {
    HANDLE handle;
    DWORD id;
};

// Lives on the heap until the new thread has read it, so the Thread object
// may go away (detach) while the thread is starting.
struct StartBlock {
    ThreadProc proc;
    void* arg;
    HMODULE module; // the thread's own reference to this module
};

// Any address inside this module identifies it.
const char kModuleAnchor = 0;

unsigned __stdcall ThreadEntry(void* p) {
    StartBlock block = *static_cast<StartBlock*>(p);
    delete static_cast<StartBlock*>(p);
    unsigned rc = block.proc(block.arg);
    // Ends without returning into the module, which a host may have unloaded
    // meanwhile: the reference dropped here may be its last.
    if (block.module)
        FreeLibraryAndExitThread(block.module, rc);
    return rc;
}

} // namespace

CriticalSection::CriticalSection() : impl_(new CRITICAL_SECTION) {
    InitializeCriticalSection(Cs(impl_));
}

CriticalSection::~CriticalSection() {
    DeleteCriticalSection(Cs(impl_));
    delete Cs(impl_);
}

void CriticalSection::Enter() {
    EnterCriticalSection(Cs(impl_));
}
bool CriticalSection::TryEnter() {
    return TryEnterCriticalSection(Cs(impl_)) != FALSE;
}
void CriticalSection::Leave() {
    LeaveCriticalSection(Cs(impl_));
}

Event::Event(bool manualReset, bool initiallySet)
    : impl_(CreateEventW(nullptr, manualReset ? TRUE : FALSE, initiallySet ? TRUE : FALSE,
                         nullptr)) {}

Event::~Event() {
    if (impl_)
        CloseHandle(impl_);
}

bool Event::Set() {
    return impl_ && SetEvent(impl_) != FALSE;
}
bool Event::Reset() {
    return impl_ && ResetEvent(impl_) != FALSE;
}

WaitResult Event::Wait(uint32_t ms) {
    if (!impl_)
        return kWaitFailed;
    return FromWaitCode(WaitForSingleObject(impl_, ms));
}

WaitResult WaitAny(Event& first, Event& second, uint32_t ms) {
    if (!first.impl_ || !second.impl_)
        return kWaitFailed;
    if (first.impl_ == second.impl_)
        return first.Wait(ms); // Windows refuses the same handle twice
    HANDLE handles[2] = {first.impl_, second.impl_};
    // Windows reports the lowest signalled index and consumes only that one.
    return FromWaitCode(WaitForMultipleObjects(2, handles, FALSE, ms));
}

Thread::Thread() : impl_(nullptr) {}

Thread::~Thread() {
    if (impl_) {
        CloseHandle(static_cast<ThreadImpl*>(impl_)->handle);
        delete static_cast<ThreadImpl*>(impl_);
    }
}

bool Thread::Start(ThreadProc proc, void* arg) {
    if (impl_ || !proc)
        return false;
    StartBlock* block = new (std::nothrow) StartBlock{proc, arg, nullptr};
    ThreadImpl* t = new (std::nothrow) ThreadImpl{nullptr, 0};
    // Taken here, before the thread exists, so that no unload can come between.
    if (!block || !t ||
        !GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<LPCWSTR>(&kModuleAnchor), &block->module)) {
        delete block;
        delete t;
        return false;
    }
    unsigned id = 0;
    uintptr_t h = _beginthreadex(nullptr, 0, ThreadEntry, block, 0, &id);
    if (h == 0) {
        FreeLibrary(block->module);
        delete block;
        delete t;
        return false;
    }
    t->handle = reinterpret_cast<HANDLE>(h);
    t->id = id;
    impl_ = t;
    return true;
}

bool Thread::Join(uint32_t ms) {
    if (!impl_)
        return false;
    ThreadImpl* t = static_cast<ThreadImpl*>(impl_);
    if (t->id == GetCurrentThreadId())
        return false; // waiting for ourselves would never end
    if (WaitForSingleObject(t->handle, ms) != WAIT_OBJECT_0)
        return false;
    CloseHandle(t->handle);
    delete t;
    impl_ = nullptr;
    return true;
}

bool Thread::IsCurrent() const {
    return impl_ && static_cast<ThreadImpl*>(impl_)->id == GetCurrentThreadId();
}

uint32_t TickCount() {
    return GetTickCount();
}
uint64_t MonotonicMicros() {
    LARGE_INTEGER frequency, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    const uint64_t f = static_cast<uint64_t>(frequency.QuadPart);
    const uint64_t n = static_cast<uint64_t>(now.QuadPart);
    return n / f * 1000000u + n % f * 1000000u / f;
}
void GetLocalTimeNow(LocalTime* out) {
    SYSTEMTIME t;
    GetLocalTime(&t);
    out->year = t.wYear;
    out->month = t.wMonth;
    out->day = t.wDay;
    out->hour = t.wHour;
    out->minute = t.wMinute;
    out->second = t.wSecond;
    out->millisecond = t.wMilliseconds;
}

void SleepMs(uint32_t ms) {
    Sleep(ms);
}
uint32_t CurrentThreadId() {
    return GetCurrentThreadId();
}

bool ComEnterMultithreaded() {
    // S_FALSE (already in the apartment) must be balanced by CoUninitialize too.
    HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    return hr == S_OK || hr == S_FALSE;
}

void ComLeave() {
    CoUninitialize();
}

} // namespace plat
