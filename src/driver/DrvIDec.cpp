#include "driver/DrvIDec.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "driver/ItemCodec.h"
#include "model/DeviceTypes.h"
#include "model/LinkModel.h"
#include "platform/alloc.h"
#include "platform/ascii.h"
#include "platform/codepage.h"
#include "platform/sync.h"
#include "platform/variant.h"
#include "support/AutoFreeMem.h"
#include "support/LockGuard.h"
#include "support/Strings.h"

static_assert(sizeof(NimbroChar) == sizeof(WChar), "host text is the driver's UTF-16");

CDrvIDec::CDrvIDec(CLinkTable& table) : refs_(0), wordOrder_(0), table_(table) {}

CDrvIDec::~CDrvIDec() {
    try {
        // Bounded: a worker that does not leave its link in time keeps it.
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
        // A reload on another thread must not free the link, its PLC or its
        // blocks while they are walked.
        LockGuard table(&table_.Lock());
        CPlcDrvLink* link = table_.FindLink(linkName.As<WChar>());
        CPlc* plc = link ? link->FirstPlc() : nullptr;
        return plc ? static_cast<NimbroDevice>(plc->FindDevice(typeName)) : nullptr;
    } catch (...) {
        return nullptr;
    }
}

void CDrvIDec::Reserved(int32_t) {}

namespace {

const WChar kStatusItem[] = W16("Status");
const WChar kStatusTextItem[] = W16("Status_str");
const WChar kDeviceTypes[] = W16("I,Q,M,R,T,TC,TP,C,CC,CP,D,P");
// The one text of a Status_str item, terminator included.
constexpr int kStatusTextCap = 256;
constexpr uint32_t kFirstEnumerationWaitMs = 10000;
constexpr uint32_t kListWaitMs = 10000;
constexpr uint32_t kListWaitStepMs = 100;

constexpr uint16_t kVtBstr = plat::kVtBstr;
// The String0 suffix: an answer without a value, for its own call only.
constexpr uint16_t kNoText = 65535;

CPlcDrvLink* LinkOf(CPlcDevice* device) {
    CPlc* plc = device->Plc();
    return plc ? plc->Link() : nullptr;
}

// Host calls wait while the link runs its first address-list enumeration,
// which creates blocks and items; a link that stops ends the wait. A stop
// also ends the enumeration, often within the sleep: a call that waited
// fails when the link is stopping once the enumeration is over, too.
// A PLC whose connect hangs holds the first enumeration for as long as the
// system's connect takes: the host waits a bounded time, then its call goes
// on (items are looked up and made under the device lock either way).
bool WaitForFirstEnumeration(CPlcDevice* device) {
    CPlcDrvLink* link = LinkOf(device);
    bool waited = false;
    const uint32_t start = device->Now();
    while (link && link->FirstEnumerationRunning()) {
        if (link->Stopping())
            return false;
        if (device->Now() - start >= kFirstEnumerationWaitMs)
            break;
        waited = true;
        plat::SleepMs(1);
    }
    return !(waited && link->Stopping());
}

struct ListEntry {
    int32_t address;
    uint32_t index; // in the name index
};

// The block's item names, by address, comma-separated. One heap array of
// the block's own size: every item is listed.
NimbroBstr ListDeviceItems(CPlcDevice* device) {
    LockGuard hold(&device->Lock());
    const uint32_t n = device->ItemCount();
    plat::Buffer<ListEntry> entries = plat::NewBuffer<ListEntry>(n == 0 ? 1 : n);
    if (!entries)
        return nullptr;
    size_t chars = 0;
    for (uint32_t i = 0; i < n; ++i) {
        const CDeviceItem* item = device->GetItem(i);
        entries[i] = {item ? model::NumberOfName(item->name) : 0, i};
        chars += (item ? plat::WStrLen(item->name) : 0) + 1;
    }
    // Equal addresses keep their name order.
    std::stable_sort(entries.get(), entries.get() + n,
                     [](const ListEntry& a, const ListEntry& b) { return a.address < b.address; });
    const uint32_t length = n == 0 ? 0 : static_cast<uint32_t>(chars - 1);
    plat::Bstr text = plat::BstrAllocLen(nullptr, length);
    if (!text)
        return nullptr;
    size_t at = 0;
    for (uint32_t i = 0; i < n; ++i) {
        const CDeviceItem* item = device->GetItem(entries[i].index);
        if (i > 0)
            text[at++] = W16(',');
        for (const WChar* c = item ? item->name : W16(""); *c && at < length; ++c)
            text[at++] = *c;
    }
    return text;
}

uint16_t ItemType(const ItemSpec& parsed, const CDeviceItem* item) {
    if (parsed.vt != 0)
        return parsed.vt;
    return item->dataType == model::kTypeAltText ? kVtBstr : item->dataType;
}

int32_t ResultOfStatus(int32_t status) {
    switch (status) {
    case 0:
        return ResultOk;
    case 21:
        return ResultNak;
    case 13:
        return ResultTimeout;
    case 11:
        return ResultNotReady;
    default:
        return ResultFailed;
    }
}

// The shared find-or-create step. The base name is the item's key; one that
// an item name cannot hold would never be found again, so it makes none, and
// neither does a malformed one (wellFormed false): it would read another
// address than it shows.
CDeviceItem* FindOrCreate(CPlcDevice* device, const ItemSpec& parsed, bool wellFormed,
                          bool* created) {
    *created = false;
    if (plat::WStrLen(parsed.baseName) >= static_cast<size_t>(model::kNameCap))
        return nullptr;
    LockGuard hold(&device->Lock());
    // A name that reads a wider value than the item's units (".Long" on a
    // word) makes the scan read that far from now on.
    const uint32_t width =
        parsed.vt != 0 && parsed.vt != kVtBstr ? plat::VariantBytes(parsed.vt) : 0;
    const int32_t at = device->FindItem(parsed.baseName);
    if (at >= 0) {
        CDeviceItem* item = device->GetItem(static_cast<uint32_t>(at));
        if (item && device->ItemIdle(item))
            device->MarkInUse(item);
        if (item && width > item->readWidth)
            item->readWidth = static_cast<uint16_t>(width);
        return item;
    }
    if (!wellFormed || !device->InRange(parsed.address))
        return nullptr;
    CDeviceItem* item =
        device->CreateItem(parsed.baseName, parsed.address, true, 1,
                           parsed.stringLength == kNoText ? 0 : parsed.stringLength);
    if (item) {
        item->readWidth = static_cast<uint16_t>(width);
        *created = true;
        // A new item counts as accessed, so that the next pass reads it.
        device->TouchItem(item);
    }
    return item;
}

bool IsTextItem(const CDeviceItem* item) {
    return item->dataType == model::kTypeText || item->dataType == model::kTypeAltText;
}

// Under the device lock: a call that asks for a longer text than the item
// holds grows it, and nothing it held before counts as read. String0 asks
// for nothing. False without memory.
bool GrowText(CPlcDevice* device, CDeviceItem* item, uint16_t length) {
    if (length == 0 || length == kNoText || (IsTextItem(item) && item->textSize >= length))
        return true;
    if (!device->GrowItemText(item, length))
        return false;
    item->Forget();
    return true;
}

// Under the device lock: the text bytes of this call, the String<n> length
// or the item's own; 0 for none.
uint16_t TextLength(const ItemSpec& parsed, const CDeviceItem* item) {
    return parsed.stringLength != 0 ? parsed.stringLength : item->textSize;
}

// Partial bytes go out as single-bit writes, which only these letters have;
// on other blocks such a write would never be sent.
bool HasBitWrites(const CPlcDevice* device) {
    const char letter = device->BitAccessLetter();
    return letter == 'x' || letter == 'y' || letter == 'a' || letter == 'r' || letter == '.';
}

// Last socket error of the block's link channel, 0 when none.
int ChannelError(CPlcDevice* device, CLinkChannel** channel) {
    CPlcDrvLink* link = LinkOf(device);
    *channel = link ? link->Channel() : nullptr;
    return *channel ? (*channel)->LastSocketError() : 0;
}

} // namespace

int32_t CDrvIDec::RegisterItem(NimbroDevice handle, const NimbroChar* itemName, int32_t* valueType,
                               int32_t* size, int32_t* access) {
    auto* device = static_cast<CPlcDevice*>(handle);
    const WChar* name = reinterpret_cast<const WChar*>(itemName);
    if (!device || !name)
        return 0;
    auto store = [&](int32_t type, int32_t n, int32_t flags) {
        if (valueType)
            *valueType = type;
        if (size)
            *size = n;
        if (access)
            *access = flags;
    };
    try {
        if (plat::WStrICmp(name, kStatusItem) == 0) {
            store(TypeU32, 1, 1);
            return 1;
        }
        if (plat::WStrICmp(name, kStatusTextItem) == 0) {
            store(TypeText, kStatusTextCap, 1);
            return 1;
        }
        // The leading letters must be the block's own, case and all.
        const WChar* blockName = device->Name();
        for (size_t i = 0; plat::IsAsciiLetter(name[i]); ++i)
            if (blockName[i] != name[i])
                return 0;
        ItemSpec parsed;
        const bool wellFormed = ParseItemName(name, device->bitDevice != 0, &parsed);
        bool created = false;
        CDeviceItem* item = FindOrCreate(device, parsed, wellFormed, &created);
        if (!item)
            return 0;
        uint16_t vt;
        int32_t n = 1;
        {
            LockGuard hold(&device->Lock());
            // Registering is an access: the item is polled from the next pass.
            device->TouchItem(item);
            // A longer text grows the item in place: another thread may be
            // using it, so it is never freed and made again.
            if (!GrowText(device, item, parsed.stringLength))
                return 0;
            vt = ItemType(parsed, item);
            // A text's size is the host buffer it needs, in UTF-16 units with
            // the terminator: a byte of UTF-8 never makes more than one unit.
            if (vt == kVtBstr) {
                const uint16_t length = TextLength(parsed, item);
                n = (length == kNoText ? 0 : length < 1023 ? length : 1023) + 1;
            }
        }
        uint32_t flags;
        {
            LockGuard hold(&device->Lock());
            flags = device->accessFlags;
        }
        store(HostTypeOfVariant(vt), n, static_cast<int32_t>(flags));
        return 1;
    } catch (...) {
        return 0;
    }
}

int32_t CDrvIDec::ReadItem(NimbroDevice handle, const NimbroChar* itemName, int32_t* valueType,
                           void* buffer, int32_t capacity, int32_t* count, int32_t) {
    auto* device = static_cast<CPlcDevice*>(handle);
    const WChar* name = reinterpret_cast<const WChar*>(itemName);
    if (!device || !name || !valueType || !buffer || !count)
        return ResultFailed;
    try {
        const int32_t requested = *valueType & ~0xC000;
        if (!WaitForFirstEnumeration(device))
            return ResultFailed;

        if (plat::WStrICmp(name, kStatusItem) == 0) {
            if (requested != TypeDefault && requested != TypeU32 && requested != TypeI32)
                return ResultFailed;
            CLinkChannel* channel = nullptr;
            const int error = ChannelError(device, &channel);
            const uint32_t code =
                static_cast<uint32_t>(error != 0 ? error : device->deviceStatus.load());
            std::memcpy(buffer, &code, sizeof code);
            *valueType = TypeU32;
            *count = 1;
            return ResultOk;
        }
        if (plat::WStrICmp(name, kStatusTextItem) == 0) {
            if (requested != TypeText || capacity < 1)
                return ResultFailed;
            WChar text[kStatusTextCap] = {};
            CLinkChannel* channel = nullptr;
            const int error = ChannelError(device, &channel);
            if (error != 0)
                channel->ErrorText(error, text, kStatusTextCap);
            else
                ErrorCodeName(text, device->deviceStatus.load(), kStatusTextCap);
            // Never past the host's buffer: a short one gets the text cut.
            CopyTextW(static_cast<WChar*>(buffer), text, capacity);
            *count = capacity;
            return ResultOk;
        }

        ItemSpec parsed;
        const bool wellFormed = ParseItemName(name, device->bitDevice != 0, &parsed);
        plat::Variant value;
        plat::VariantInit(&value);
        bool decoded = true;
        int32_t status;
        uint16_t vt;
        {
            // One hold of the block's lock finds the item and takes its value.
            LockGuard hold(&device->Lock());
            bool created = false;
            CDeviceItem* item = FindOrCreate(device, parsed, wellFormed, &created);
            if (!item && !wellFormed)
                return ResultFailed;
            if (!item || created)
                return ResultNotReady; // the first read of an item never has a value
            if (parsed.stringLength == kNoText) {
                *count = 0;
                return ResultOk;
            }
            vt = ItemType(parsed, item);
            uint16_t length = 0;
            if (vt == kVtBstr) {
                if (!GrowText(device, item, parsed.stringLength))
                    return ResultFailed;
                length = TextLength(parsed, item);
                if (length == 0) {
                    *count = 0;
                    return ResultOk;
                }
            }
            device->TouchItem(item);
            const model::ReadWindow& w = device->Window();
            const uint32_t us = device->UnitSize();
            const uint8_t* bytes = nullptr;
            size_t available = 0;
            if (item->attached && item->unitIndex >= 0 && w.current &&
                static_cast<uint32_t>(item->unitIndex) < w.units) {
                const size_t at = static_cast<size_t>(item->unitIndex) * us;
                bytes = w.current.get() + at;
                available = static_cast<size_t>(w.units) * us - at;
                decoded = DecodeItem(bytes, available, us, vt, item->bitMask, parsed.bitMask,
                                     wordOrder_, length, &value);
            }
            // Good only when every byte this value depends on was read. An
            // item outside the block's image (a block the definition does
            // not list) is never read: the block's status says why.
            status = device->ItemReadStatus(
                item, ValueBytes(bytes, available, vt, item->bitMask, length));
            if (!bytes && status == model::kStatusNotInitialised &&
                device->deviceStatus.load() != 0)
                status = device->deviceStatus.load();
        }
        // An item whose type cannot be decoded never has a value.
        int32_t result = decoded ? ResultOfStatus(status) : ResultFailed;
        if (result == ResultOk && !DeliverValue(value, vt, requested, buffer, capacity, count))
            result = ResultFailed;
        plat::VariantClear(&value);
        return result;
    } catch (...) {
        return ResultFailed;
    }
}

int32_t CDrvIDec::WriteItem(NimbroDevice handle, const NimbroChar* itemName, int32_t valueType,
                            const void* value, int32_t length, int32_t* count, int32_t) {
    auto* device = static_cast<CPlcDevice*>(handle);
    const WChar* name = reinterpret_cast<const WChar*>(itemName);
    if (!device || !name || !value || !count)
        return ResultFailed;
    try {
        const int32_t hostType = valueType & ~0xC000;
        if (!WaitForFirstEnumeration(device))
            return ResultFailed;
        if (plat::WStrICmp(name, kStatusItem) == 0 || plat::WStrICmp(name, kStatusTextItem) == 0)
            return ResultFailed;
        ItemSpec parsed;
        const bool wellFormed = ParseItemName(name, device->bitDevice != 0, &parsed);
        bool created = false;
        CDeviceItem* item = FindOrCreate(device, parsed, wellFormed, &created);
        if (!item)
            return ResultFailed;
        uint16_t vt;
        {
            LockGuard hold(&device->Lock());
            if (!(device->accessFlags & 2))
                return ResultFailed;
            vt = ItemType(parsed, item);
        }
        if (parsed.stringLength == kNoText) {
            *count = 0;
            return ResultOk;
        }
        // Nothing is accepted that the link cannot send now.
        const int32_t status = ResultOfStatus(device->WriteStatus());
        if (status != ResultOk)
            return status;
        *count = 1;
        plat::Variant converted;
        plat::VariantInit(&converted);
        if (!ConvertHostValue(hostType, value, length, vt, &converted, count)) {
            plat::VariantClear(&converted);
            return ResultFailed;
        }
        // A value that could not be staged (no window, an item that is not
        // writable) would never be sent: that is no acceptance.
        int32_t units = 0;
        const bool staged = Stage(device, item, converted, vt, parsed, &units);
        plat::VariantClear(&converted);
        if (staged && vt == kVtBstr)
            *count = units; // what was staged, not what the host gave
        return staged ? ResultOk : ResultFailed;
    } catch (...) {
        return ResultFailed;
    }
}

bool CDrvIDec::Stage(CPlcDevice* device, CDeviceItem* item, const plat::Variant& value, uint16_t vt,
                     const ItemSpec& parsed, int32_t* textUnits) {
    LockGuard hold(&device->Lock());
    // Growing may move the window: first, before anything of it is taken.
    if (vt == kVtBstr && !GrowText(device, item, parsed.stringLength))
        return false;
    model::ReadWindow& w = device->Window();
    if (!w.writeData || !(item->attribute & 2) || item->unitIndex < 0 ||
        static_cast<uint32_t>(item->unitIndex) >= w.units)
        return false;
    device->TouchItem(item);
    const uint32_t us = device->UnitSize();
    StagedBytes staged;
    if (!BuildStaging(value, vt, item->bitMask, parsed.bitMask, wordOrder_,
                      vt == kVtBstr ? TextLength(parsed, item) : 0, &staged, us))
        return false;
    // Refused unless the write pass will send it whole: some bit to send
    // (a named bit outside the value has none), partial bytes only where
    // single bits can be written, nothing past the item's address range.
    bool any = false;
    bool partial = false;
    for (int32_t i = 0; i < staged.count; ++i) {
        any = any || staged.mask[i] != 0;
        partial = partial || staged.mask[i] != 0xFF;
    }
    const size_t at = static_cast<size_t>(item->unitIndex) * us;
    const size_t room = static_cast<size_t>(w.units) * us - at;
    const size_t inRange = static_cast<size_t>(device->UnitsInRange(item->startAddress)) * us;
    const size_t span = static_cast<size_t>(staged.count);
    if (!any || (partial && vt != kVtBstr && !HasBitWrites(device)) || span > inRange ||
        span > room)
        return false;
    MergeStaged(staged, w.writeData.get() + at, w.writeMask.get() + at, w.writeType.get() + at,
                static_cast<int32_t>(room));
    *textUnits = staged.textUnits;
    return true;
}

NimbroBstr CDrvIDec::ListItems(const NimbroChar* deviceName) {
    const WChar* name = reinterpret_cast<const WChar*>(deviceName);
    try {
        LockGuard table(&table_.Lock());
        CPlcDrvLink* link = table_.GetLink(0);
        if (!link)
            return plat::BstrAlloc(W16("NOT LINK"));
        CPlc* plc = link->FirstPlc();
        if (!plc)
            return plat::BstrAlloc(W16("NOT DEVICE"));
        if (!name || !name[0]) {
            // The wait must not hold the table: a reload would wait on it.
            // So a reload may destroy the link meanwhile: each look at it
            // holds the table again and first finds it there, by address
            // and serial, as a new link may take the freed one's address.
            const uint32_t ticket = link->RequestEnumeration();
            const uint32_t serial = link->Serial();
            table.UnlockAll();
            auto listed = [&](auto test) {
                LockGuard again(&table_.Lock());
                for (uint32_t i = 0; i < table_.LinkCount(); ++i)
                    if (table_.GetLink(i) == link && link->Serial() == serial)
                        return test(*link);
                return false;
            };
            // On the table's clock, as the first enumeration's wait.
            const uint32_t start = table_.Now();
            while (table_.Now() - start < kListWaitMs) {
                if (!listed([](const CPlcDrvLink& l) { return !l.Stopping(); }))
                    break;
                plat::SleepMs(kListWaitStepMs);
                if (!listed([ticket](const CPlcDrvLink& l) { return !l.EnumeratedSince(ticket); }))
                    break;
            }
            return plat::BstrAlloc(kDeviceTypes);
        }
        CPlcDevice* device = plc->FindDevice(name);
        if (!device)
            return plat::BstrAlloc(W16("NOT DEVICE"));
        return ListDeviceItems(device);
    } catch (...) {
        return nullptr;
    }
}

int32_t CreateDriver(CLinkTable& table, plat::ModuleHandle module, INimbroDriver** out,
                     uint32_t hostPort, int32_t wordOrder) {
    if (!out)
        return NIMBRO_E_INVALIDARG;
    CDrvIDec* driver = nullptr;
    try {
        driver = plat::NewObject<CDrvIDec>(table);
    } catch (...) {
        driver = nullptr;
    }
    if (!driver)
        return NIMBRO_E_OUTOFMEMORY;
    driver->AddRef();
    table.SetHostPort(hostPort);
    driver->SetWordOrder(wordOrder);
    // A load that fails shows as a partial table; one cut short by an
    // exception as an empty one. Either way the table is started, so that
    // the host's calls get answers.
    bool whole = false;
    try {
        WChar path[plat::kMaxPath];
        path[0] = 0;
        CLinkTable::FindConfigurationFile(module, path, plat::kMaxPath);
        table.ReadTraceSetting(module);
        table.LoadConfiguration(path);
        whole = true;
    } catch (...) {
    }
    LockGuard hold(&driver->ObjectLock());
    try {
        if (!whole)
            table.RemoveAll();
        table.StartAll();
    } catch (...) {
        // A start cut short: no link then. Neither call can throw without one.
        table.RemoveAll();
        table.StartAll();
    }
    *out = driver;
    return NIMBRO_S_OK;
}
