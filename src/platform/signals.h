// Stop requests from the user or the system: Ctrl+C and SIGTERM on POSIX,
// the console control events on Windows.
#pragma once

#include "platform/types.h"

namespace plat {

typedef void (*StopHandler)();

// Calls onStop on SIGINT and SIGTERM (POSIX), or on the console's Ctrl+C,
// Ctrl+Break, close, logoff and shutdown events (Windows). onStop runs inside
// a signal handler or on a system thread, so it may only set an atomic flag.
// nullptr restores the default handling. True on success.
bool InstallStopHandler(StopHandler onStop);

// Delivers a stop request to this process as the user would: SIGTERM to
// itself on POSIX, the Ctrl+C routine on Windows. True when it was delivered
// to an installed handler (POSIX: when the signal was raised).
bool RaiseStopRequest();

} // namespace plat
