// The driver module's load hook on POSIX. Initialisers run in link order, so
// this file is linked after the one that defines the module's process-wide
// objects (see src/driver/CMakeLists.txt), which therefore exist already.
#include "platform/module_entry.h"

namespace {

__attribute__((constructor)) void NimbroModuleLoaded() {
    NimbroModuleAttach(plat::ThisModule());
}

} // namespace
