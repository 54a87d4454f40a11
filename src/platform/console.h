// The console the program writes to.
#pragma once

#include "platform/types.h"

namespace plat {

// True when standard output is a terminal that moves its cursor on ANSI
// escape sequences; false for a file or a pipe. On Windows it switches
// virtual-terminal processing on for the console (false when that fails).
bool StdoutIsTerminal();

} // namespace plat
