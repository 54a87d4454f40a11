// The driver module's entry point. The C runtime has constructed the module's
// static objects before it calls this. No WinSock start-up or clean-up here:
// the socket layer starts WinSock on first use and never cleans it up.
#include <windows.h>

#include "platform/module_entry.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        NimbroModuleAttach(static_cast<plat::ModuleHandle>(instance));
        // Nothing here wants per-thread notifications; skipping them also
        // keeps new threads from queueing on the loader lock for us.
        DisableThreadLibraryCalls(instance);
    } else if (reason == DLL_PROCESS_DETACH && reserved) {
        // The C runtime destroys the static objects after this returns.
        NimbroModuleProcessEnding();
    }
    return TRUE;
}
