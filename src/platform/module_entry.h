// The load hook of the driver module. The platform's module entry (DllMain on
// Windows, a constructor function on POSIX) calls it once, at process attach,
// after the module's static objects exist. Compiled only into the module.
#pragma once

#include "platform/module.h"

// Defined by the driver module. Runs under the loader's lock on Windows: it
// may not run another module's code nor wait for a thread.
void NimbroModuleAttach(plat::ModuleHandle self);
// Windows only, at process detach before the static objects go: the process
// is ending and its other threads are gone, so nothing may wait for them.
void NimbroModuleProcessEnding();

// Marks the few symbols a module exports by name. Windows modules export
// through their .def file instead.
#if defined(_WIN32)
#define NIMBRO_MODULE_EXPORT
#else
#define NIMBRO_MODULE_EXPORT __attribute__((visibility("default")))
#endif
