// The driver module's entry point. The C runtime has constructed the module's
// static objects before it calls this.
#include <windows.h>

#include "platform/module_entry.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        NimbroModuleAttach(static_cast<plat::ModuleHandle>(instance));
        // Nothing here wants per-thread notifications; skipping them also
        // keeps new threads from queueing on the loader lock for us.
        DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}
