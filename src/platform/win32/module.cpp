#include "platform/module.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <windows.h>

namespace plat {

namespace {

// Any address inside this module identifies it.
const char kModuleAnchor = 0;

HMODULE Mod(ModuleHandle m) {
    return static_cast<HMODULE>(m);
}

// The Win32 path calls return the length without terminator when the text fits
// and the size needed (terminator included) when it does not.
uint32_t FitOrZero(DWORD n, uint32_t cap) {
    return n != 0 && n < cap ? n : 0;
}

} // namespace

const char kStringTableSymbol[] = "NimbroStringTable";

ModuleHandle ThisModule() {
    HMODULE h = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&kModuleAnchor), &h))
        return nullptr;
    return h;
}

uint32_t ModulePath(ModuleHandle m, WChar* buf, uint32_t cap) {
    if (!buf || cap == 0)
        return 0;
    DWORD n = GetModuleFileNameW(Mod(m), buf, cap);
    // A path that does not fit comes back cut to cap (terminated or not).
    if (n == 0 || n >= cap) {
        buf[0] = 0;
        return 0;
    }
    return n;
}

uint32_t LongPath(const WChar* path, WChar* buf, uint32_t cap) {
    if (!path || !buf || cap == 0)
        return 0;
    return FitOrZero(GetLongPathNameW(path, buf, cap), cap);
}

uint32_t SystemDirectory(WChar* buf, uint32_t cap) {
    if (!buf || cap == 0)
        return 0;
    return FitOrZero(GetSystemDirectoryW(buf, cap), cap);
}

ModuleHandle ModuleLoad(const WChar* path) {
    return path ? LoadLibraryW(path) : nullptr;
}

ModuleHandle ModuleLoadResources(const WChar* path) {
    if (!path)
        return nullptr;
    return LoadLibraryExW(path, nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
}

void ModuleFree(ModuleHandle m) {
    if (m)
        FreeLibrary(Mod(m));
}

void* ModuleSymbol(ModuleHandle m, const char* name) {
    if (!m || !name)
        return nullptr;
    FARPROC p = GetProcAddress(Mod(m), name);
    void* out = nullptr;
    static_assert(sizeof(p) == sizeof(out), "function and data pointers differ");
    std::memcpy(&out, &p, sizeof(out));
    return out;
}

int LoadStringResource(ModuleHandle m, uint32_t id, WChar* buf, int cap) {
    // cap 0 would make LoadStringW hand out a pointer instead of copying.
    if (!buf || cap <= 0)
        return 0;
    buf[0] = 0;
    int n = LoadStringW(Mod(m), id, buf, cap);
    if (n <= 0) {
        buf[0] = 0;
        return 0;
    }
    return n;
}

uint16_t UserDefaultUILanguage() {
    return GetUserDefaultUILanguage();
}

namespace {

// The whole value, read again while it grows between the size query and the read.
LONG ReadWholeValue(HKEY k, const WChar* name, std::vector<BYTE>* out) {
    for (int tries = 0; tries < 4; ++tries) {
        DWORD n = static_cast<DWORD>(out->size());
        LONG rc =
            RegQueryValueExW(k, name, nullptr, nullptr, out->empty() ? nullptr : out->data(), &n);
        if (rc == ERROR_SUCCESS && n <= out->size()) {
            out->resize(n);
            return rc;
        }
        if (rc != ERROR_SUCCESS && rc != ERROR_MORE_DATA)
            return rc;
        out->resize(n);
    }
    return ERROR_MORE_DATA;
}

} // namespace

bool RegistryReadValue(RegistryHive hive, const WChar* key, const WChar* name, void* data,
                       uint32_t* size) {
    if (!key || !size)
        return false;
    HKEY root;
    if (hive == kHkeyCurrentUser)
        root = HKEY_CURRENT_USER;
    else if (hive == kHkeyLocalMachine)
        root = HKEY_LOCAL_MACHINE;
    else
        return false;
    HKEY k;
    if (RegOpenKeyExW(root, key, 0, KEY_READ, &k) != ERROR_SUCCESS)
        return false;
    // Read into a buffer of our own: RegQueryValueExW leaves the caller's
    // room undefined when the value does not fit, and a cut value is never
    // handed over.
    std::vector<BYTE> whole;
    LONG rc;
    try {
        rc = ReadWholeValue(k, name, &whole);
    } catch (...) {
        rc = ERROR_OUTOFMEMORY;
    }
    RegCloseKey(k);
    if (rc != ERROR_SUCCESS)
        return false;
    const uint32_t need = static_cast<uint32_t>(whole.size());
    if (data && *size < need) {
        *size = need;
        return false;
    }
    if (data && need)
        std::memcpy(data, whole.data(), need);
    *size = need;
    return true;
}

namespace {

bool Utf8ToWide(const char* text, std::wstring* out) {
    int n = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    if (n <= 0)
        return false;
    out->assign(static_cast<size_t>(n), L'\0');
    if (MultiByteToWideChar(CP_UTF8, 0, text, -1, &(*out)[0], n) != n)
        return false;
    out->resize(static_cast<size_t>(n - 1));
    return true;
}

} // namespace

bool SetEnvVar(const char* name, const char* value) {
    if (!name || !*name)
        return false;
    std::wstring wname, wvalue;
    if (!Utf8ToWide(name, &wname) || (value && !Utf8ToWide(value, &wvalue)))
        return false;
    // The Win32 block and the C runtime's copy are separate: set both, so
    // GetEnvironmentVariableW and _wgetenv agree. An empty CRT value removes it.
    if (!SetEnvironmentVariableW(wname.c_str(), value ? wvalue.c_str() : nullptr) && value)
        return false;
    return _wputenv_s(wname.c_str(), value ? wvalue.c_str() : L"") == 0;
}

} // namespace plat
