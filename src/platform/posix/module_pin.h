// Keeping the module's code mapped while its own threads run, on POSIX.
#pragma once

namespace plat {
namespace posix {

// Windows threads hold a reference to the module and drop it with
// FreeLibraryAndExitThread, which ends the thread without returning into
// the module. POSIX has no such call: a dlclose as a thread's last act would
// return into code it may just have unmapped. So the first thread that runs
// the module's code pins the module (RTLD_NODELETE) instead: a host's
// dlclose then leaves it mapped, its static objects alive, until the
// process ends. Nothing for the main program.
void PinThisModule();

} // namespace posix
} // namespace plat
