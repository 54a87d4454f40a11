// The driver module's process-wide objects.
#pragma once

#include "platform/module.h"

class CLinkTable;
class CResLang;

CLinkTable& ModuleLinkTable();
CResLang& ModuleResLang();
// The driver module itself, kept at load: its folder holds the settings.
plat::ModuleHandle ModuleSelf();
