#include "platform/registry_write.h"

#include <windows.h>

#include <cwchar>

namespace plat {

namespace {

HKEY Root(RegistryHive hive) {
    return hive == kHkeyLocalMachine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
}

} // namespace

bool RegistryWriteText(RegistryHive hive, const WChar* key, const WChar* name, const WChar* text) {
    if (!key || !text)
        return false;
    HKEY h = nullptr;
    if (RegCreateKeyExW(Root(hive), key, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &h, nullptr) !=
        ERROR_SUCCESS)
        return false;
    DWORD bytes = static_cast<DWORD>((std::wcslen(text) + 1) * sizeof(WChar));
    LONG r = RegSetValueExW(h, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), bytes);
    RegCloseKey(h);
    return r == ERROR_SUCCESS;
}

bool RegistryDeleteValue(RegistryHive hive, const WChar* key, const WChar* name) {
    if (!key)
        return false;
    HKEY h = nullptr;
    LONG r = RegOpenKeyExW(Root(hive), key, 0, KEY_SET_VALUE, &h);
    if (r == ERROR_FILE_NOT_FOUND)
        return true;
    if (r != ERROR_SUCCESS)
        return false;
    r = RegDeleteValueW(h, name);
    RegCloseKey(h);
    return r == ERROR_SUCCESS || r == ERROR_FILE_NOT_FOUND;
}

} // namespace plat
