// Writing registry values, for tests and tools: the driver itself only reads.
#pragma once

#include "platform/module.h"

namespace plat {

// Stores a text value (REG_SZ), creating the key when needed. POSIX: rewrites
// the file that NIMBRO_REGISTRY names (false when the variable is not set).
bool RegistryWriteText(RegistryHive hive, const WChar* key, const WChar* name, const WChar* text);
// Removes a value; true also when there was none.
bool RegistryDeleteValue(RegistryHive hive, const WChar* key, const WChar* name);

} // namespace plat
