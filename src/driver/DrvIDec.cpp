#include "driver/DrvIDec.h"

#include <new>

#include "model/LinkModel.h"
#include "support/LockGuard.h"

static_assert(sizeof(NimbroChar) == sizeof(WChar), "host text is the driver's UTF-16");

CDrvIDec::CDrvIDec(CLinkTable& table) : refs_(0), wordOrder_(0), table_(table) {}

CDrvIDec::~CDrvIDec() {
    try {
        table_.StopAll();
        table_.RemoveAll();
    } catch (...) {
        // Nothing may leave a destructor; the table is as empty as it got.
    }
}

int32_t CDrvIDec::QueryInterface(const NimbroGuid* iid, void** out) {
    if (!out)
        return NIMBRO_E_INVALIDARG;
    if (iid && (*iid == NimbroIID_IUnknown || *iid == IID_INimbroDriver)) {
        *out = static_cast<INimbroDriver*>(this);
        AddRef();
        return NIMBRO_S_OK;
    }
    *out = nullptr;
    return NIMBRO_E_NOINTERFACE;
}

uint32_t CDrvIDec::AddRef() {
    return static_cast<uint32_t>(refs_.fetch_add(1) + 1);
}

uint32_t CDrvIDec::Release() {
    int32_t count = refs_.load();
    do {
        // An extra Release must not destroy the object a second time.
        if (count <= 0)
            return 0;
    } while (!refs_.compare_exchange_weak(count, count - 1));
    if (count - 1 > 0)
        return static_cast<uint32_t>(count - 1);
    delete this;
    return 0;
}

NimbroDevice CDrvIDec::ResolveDevice(const NimbroChar* deviceName) {
    const WChar* name = reinterpret_cast<const WChar*>(deviceName);
    if (!table_.Started() || !name || !name[0])
        return nullptr;
    try {
        LockGuard hold(&lock_);
        // "link.plc.type": the last full stop ends the PLC part, the first one
        // the link name. The PLC part selects nothing.
        const WChar* lastDot = nullptr;
        const WChar* firstDot = nullptr;
        for (const WChar* p = name; *p; ++p) {
            if (*p == W16('.')) {
                lastDot = p;
                if (!firstDot)
                    firstDot = p;
            }
        }
        CAutoFreeMem linkName(sizeof(WChar),
                              firstDot ? static_cast<size_t>(firstDot - name) + 1 : 1);
        if (!linkName.Data())
            return nullptr;
        const WChar* typeName = name;
        if (lastDot) {
            for (const WChar* p = name; p < firstDot; ++p)
                linkName.As<WChar>()[p - name] = *p;
            typeName = lastDot + 1;
        }
        CPlcDrvLink* link = table_.FindLink(linkName.As<WChar>());
        CPlc* plc = link ? link->FirstPlc() : nullptr;
        return plc ? static_cast<NimbroDevice>(plc->FindDevice(typeName)) : nullptr;
    } catch (...) {
        return nullptr;
    }
}

void CDrvIDec::Reserved(int32_t) {}

int32_t CDrvIDec::RegisterItem(NimbroDevice, const NimbroChar*, int32_t*, int32_t*, int32_t*) {
    // Built with item registration; until then every item is refused.
    return 0;
}

int32_t CDrvIDec::ReadItem(NimbroDevice, const NimbroChar*, int32_t*, void*, int32_t, int32_t*,
                           int32_t) {
    // Built with the read service.
    return ResultFailed;
}

int32_t CDrvIDec::WriteItem(NimbroDevice, const NimbroChar*, int32_t, const void*, int32_t,
                            int32_t*, int32_t) {
    // Built with the write service.
    return ResultFailed;
}

NimbroBstr CDrvIDec::ListItems(const NimbroChar*) {
    // Built with the device listing.
    return nullptr;
}

int32_t CreateDriver(CLinkTable& table, plat::ModuleHandle module, INimbroDriver** out,
                     uint32_t hostPort, int32_t wordOrder) {
    if (!out)
        return NIMBRO_E_INVALIDARG;
    CDrvIDec* driver = nullptr;
    try {
        driver = new (std::nothrow) CDrvIDec(table);
    } catch (...) {
        driver = nullptr;
    }
    if (!driver)
        return NIMBRO_E_OUTOFMEMORY;
    driver->AddRef();
    table.SetHostPort(hostPort);
    driver->SetWordOrder(wordOrder);
    try {
        WChar path[plat::kMaxPath];
        path[0] = 0;
        CLinkTable::FindConfigurationFile(module, path, plat::kMaxPath);
        table.LoadConfiguration(path);
        LockGuard hold(&driver->ObjectLock());
        table.StartAll();
    } catch (...) {
        // A failed load or start shows as an empty or partial table.
    }
    *out = driver;
    return NIMBRO_S_OK;
}
