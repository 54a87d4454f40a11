// The process-wide objects of the driver module. Declaration order is
// construction order: the link table, then the resource-language selector;
// unload destroys them in reverse.
#include "driver/Module.h"

#include "comm/RequestEngine.h"
#include "model/LinkModel.h"
#include "platform/module_entry.h"
#include "support/ResLang.h"

namespace {

CLinkTable g_linkTable;
CResLang g_resLang;
plat::ModuleHandle g_self = nullptr;

} // namespace

void NimbroModuleAttach(plat::ModuleHandle self) {
    g_self = self;
    // Satellites are loaded as resource data: no code of theirs runs here.
    g_resLang.Select(self);
    g_linkTable.SetResLang(&g_resLang);
    g_linkTable.SetChannelFactory(&CEngineLinkChannel::Create);
}

void NimbroModuleProcessEnding() {
    // Workers were ended mid-tick: a stop would wait for them in vain.
    g_linkTable.AbandonAtProcessEnd();
}

CLinkTable& ModuleLinkTable() {
    return g_linkTable;
}

CResLang& ModuleResLang() {
    return g_resLang;
}

plat::ModuleHandle ModuleSelf() {
    return g_self;
}
