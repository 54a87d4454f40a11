// Modules (DLL / shared object), their paths and string resources, the
// registry, and the system folder and UI language.
#pragma once

#include "platform/types.h"

namespace plat {

typedef void* ModuleHandle;

// The module this code is linked into (the driver DLL, or the executable).
ModuleHandle ThisModule();

// Full path of a module; nullptr names the host executable. Characters written
// (no terminator counted), 0 on failure or when the path does not fit.
uint32_t ModulePath(ModuleHandle m, WChar* buf, uint32_t cap);
// Long form of a path (Windows 8.3 names expanded); 0 on failure.
uint32_t LongPath(const WChar* path, WChar* buf, uint32_t cap);
// The Windows system folder. POSIX: NIMBRO_SYSTEM_DIR, else /usr/lib/nimbro.
uint32_t SystemDirectory(WChar* buf, uint32_t cap);

// Loads a code module (its initialisers run).
ModuleHandle ModuleLoad(const WChar* path);
// Loads a module for its string resources only: no code of it runs.
ModuleHandle ModuleLoadResources(const WChar* path);
void ModuleFree(ModuleHandle m);
void* ModuleSymbol(ModuleHandle m, const char* name);

// POSIX string resources: a module exports this table under the name
// kStringTableSymbol, ended by an entry with id 0.
struct StringTableEntry {
    uint32_t id;
    const WChar* text;
};
extern const char kStringTableSymbol[];

// Loads string id of a module into buf (at most cap - 1 units, terminated).
// Returns the units copied; 0 when the module has no such string.
int LoadStringResource(ModuleHandle m, uint32_t id, WChar* buf, int cap);

// The user's UI language. POSIX: NIMBRO_UI_LANGUAGE (hex), else 0x0409.
uint16_t UserDefaultUILanguage();

enum RegistryHive : int { kHkeyCurrentUser = 1, kHkeyLocalMachine = 2 };

// Reads a whole registry value into data (room for *size bytes); *size
// becomes the bytes stored. False when the key or the value is missing, and
// when the value does not fit: then *size tells the bytes needed and data is
// left as it was (a value is never handed over cut). data nullptr asks for
// the size only.
// POSIX: the text file that NIMBRO_REGISTRY names, lines of the form
//   HKCU\SOFTWARE\Varnholt\Nimbro\LanguageID=dword:00000411
//   HKLM\SOFTWARE\Varnholt\Ondrel\PLCDir=/opt/plc
// (a dword value is stored as 4 little-endian bytes, text as UTF-16 with its
// terminator).
bool RegistryReadValue(RegistryHive hive, const WChar* key, const WChar* name, void* data,
                       uint32_t* size);

// Sets (value non-null) or removes (value null) a variable of this process's
// environment, seen by getenv-style readers on every platform. Names and
// values are UTF-8. True on success. Tests use it to point NIMBRO_REGISTRY,
// NIMBRO_SYSTEM_DIR and NIMBRO_UI_LANGUAGE somewhere.
bool SetEnvVar(const char* name, const char* value);

} // namespace plat
