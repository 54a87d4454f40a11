// The module's one export.
#include "NimbroDriver.h"
#include "driver/DrvIDec.h"
#include "driver/Module.h"
#include "platform/module_entry.h"

extern "C" NIMBRO_MODULE_EXPORT int32_t NIMBRO_CDECL NimbroInterface(INimbroDriver** out,
                                                                     uint32_t hostPort,
                                                                     int32_t wordOrder) {
    return CreateDriver(ModuleLinkTable(), ModuleSelf(), out, hostPort, wordOrder);
}
