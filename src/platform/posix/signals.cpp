#include "platform/signals.h"

#include <signal.h>

#include <atomic>

namespace plat {

namespace {

// The one process-wide handler: signals have no context argument.
std::atomic<StopHandler> gOnStop{nullptr};

extern "C" void OnStopSignal(int) {
    StopHandler h = gOnStop.load();
    if (h)
        h();
}

} // namespace

bool InstallStopHandler(StopHandler onStop) {
    gOnStop.store(onStop);
    struct sigaction sa;
    sa.sa_handler = onStop ? OnStopSignal : SIG_DFL;
    sigemptyset(&sa.sa_mask);
    // Restart interrupted calls: the owner polls its flag, nothing needs EINTR.
    sa.sa_flags = SA_RESTART;
    return sigaction(SIGINT, &sa, nullptr) == 0 && sigaction(SIGTERM, &sa, nullptr) == 0;
}

bool RaiseStopRequest() {
    return raise(SIGTERM) == 0;
}

} // namespace plat
