#include "platform/signals.h"

#include <atomic>

#include <windows.h>

namespace plat {

namespace {

// The one process-wide handler: console routines have no context argument.
std::atomic<StopHandler> gOnStop{nullptr};
std::atomic<bool> gRegistered{false};

BOOL WINAPI OnConsoleEvent(DWORD type) {
    switch (type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        break;
    default:
        return FALSE;
    }
    StopHandler h = gOnStop.load();
    if (!h)
        return FALSE;
    h();
    // The system ends the process as soon as this returns for these events:
    // give the main thread time to shut down; its exit ends the wait.
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT)
        Sleep(3000);
    return TRUE;
}

} // namespace

bool InstallStopHandler(StopHandler onStop) {
    gOnStop.store(onStop);
    if (onStop && !gRegistered.exchange(true)) {
        if (!SetConsoleCtrlHandler(OnConsoleEvent, TRUE)) {
            gRegistered.store(false);
            return false;
        }
    } else if (!onStop && gRegistered.exchange(false)) {
        return SetConsoleCtrlHandler(OnConsoleEvent, FALSE) != FALSE;
    }
    return true;
}

bool RaiseStopRequest() {
    return OnConsoleEvent(CTRL_C_EVENT) != FALSE;
}

} // namespace plat
