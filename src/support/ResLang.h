// Choice of the module that supplies string resources: a translated satellite
// beside the driver module (or in the system folder), else the driver itself.
#pragma once

#include <cstdint>

#include "platform/module.h"
#include "platform/types.h"

class CResLang {
public:
    // The language of the driver module's own string table.
    static constexpr uint16_t kOwnLanguage = 1033;
    static constexpr uint16_t kPrimaryMask = 0x3ff;

    CResLang();
    // Leaves a satellite loaded: at module unload another thread may still
    // be loading a message from it.
    virtual ~CResLang();
    CResLang(const CResLang&) = delete;
    CResLang& operator=(const CResLang&) = delete;

    // Chooses and loads the resource module for the driver module `module`.
    // True when a satellite serves, false when the driver module itself does.
    bool Select(plat::ModuleHandle module);

    // Loads string id into buf (cap units, terminator included): from the
    // resource module, else from the driver module. Units copied; 0 when
    // neither has it. Before any Select the buffer is left untouched.
    int LoadText(uint32_t id, WChar* buf, int cap) const;
    // Frees a satellite and forgets both modules, for an owner that knows no
    // other thread loads texts through it any more.
    void Unselect();

    plat::ModuleHandle BaseModule() const { return base_; }
    plat::ModuleHandle ResourceModule() const { return resource_; }
    uint16_t OwnLanguage() const { return ownLanguage_; }

    // The satellite's path: modulePath with its extension replaced by
    // ".%04X" of lang (appended when the file name has none). False when it
    // does not fit in cap units.
    static bool SatelliteName(const WChar* modulePath, uint16_t lang, WChar* out, uint32_t cap);
    // The language of a satellite file name's extension: optional "0x", then
    // up to eight hexadecimal digits; the low 16 bits. 0 when there is none.
    static uint16_t LanguageOfName(const WChar* fileName);
    // "LanguageID" under HKCU\SOFTWARE\Varnholt\Nimbro, low 16 bits; 0 when absent.
    static uint16_t RegistryLanguage();

private:
    // Loads path when it exists, else the file of the same name in the system
    // folder; nullptr when neither exists or loads.
    static plat::ModuleHandle LoadSatellite(const WChar* path);
    // The satellite of the same primary language as lang that the folder
    // listing prefers (sublanguage 1, else the smallest); 0 when none.
    static uint16_t FindRelatedLanguage(const WChar* modulePath, uint16_t lang);

    plat::ModuleHandle base_;
    plat::ModuleHandle resource_;
    uint16_t ownLanguage_;
};
