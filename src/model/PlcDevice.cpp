#include "model/LinkModel.h"
#include "model/NameOrder.h"
#include "platform/alloc.h"
#include "platform/variant.h"
#include "support/LockGuard.h"
#include "support/Strings.h"

namespace {

// Address index: start address (difference taken as signed 32-bit), then name.
int CompareItemAddresses(const void* key, const void* element) {
    const CDeviceItem* a = *static_cast<CDeviceItem* const*>(key);
    const CDeviceItem* b = *static_cast<CDeviceItem* const*>(element);
    int32_t d = static_cast<int32_t>(static_cast<uint32_t>(a->startAddress) -
                                     static_cast<uint32_t>(b->startAddress));
    if (d != 0)
        return d < 0 ? -1 : 1;
    return plat::WStrICmp(a->name, b->name);
}

// Removes exactly this item (not another of equal key) from the address index.
void RemoveFromAddressIndex(CBinArray& index, CDeviceItem* item) {
    int last = -1;
    uint32_t at = index.Bisect(&item, &last);
    if (last == 0 && model::PointerAt<CDeviceItem>(index, at) == item)
        index.RemoveAt(at);
}

} // namespace

// ---- CDeviceItem ----

CDeviceItem::CDeviceItem()
    : inUse(0), startAddress(0), bitMask(0xFFFFFFFFu), attribute(0), dataType(18), baseDataType(18),
      size(1), textSize(0), lowHiStatus(0), lastAccess(0), unitIndex(-1), block(nullptr),
      attached(false), valid(false), readBytes(0), readSession(0),
      readStatus(model::kStatusNotInitialised), readWidth(0) {
    name[0] = 0;
}

CDeviceItem::~CDeviceItem() = default;

// ---- CPlcDevice ----

CPlcDevice::CPlcDevice(CPlc* plc)
    : accessFlags(3), extension(model::kExtensionDefault),
      deviceStatus(model::kStatusNotInitialised), listed(0), defined(0), bitDevice(0), radix(16),
      unitCode(model::kUnitWord), bytesPerUnit(2), lowestAddress(0), highestAddress(128),
      rangeCount(1), plc_(plc) {
    name_[0] = 0;
    for (uint32_t i = 0; i < model::kMaxRanges; ++i) {
        rangeStart[i] = 0;
        rangeEnd[i] = 0;
    }
    rangeEnd[0] = 128;
    itemsByName_.Configure(&model::CompareNames<CDeviceItem>, sizeof(void*));
    itemsByAddress_.Configure(&CompareItemAddresses, sizeof(void*));
}

CPlcDevice::~CPlcDevice() {
    StopPolling();
    LockGuard hold(&lock_);
    FreeItems();
}

void CPlcDevice::FreeItems() {
    for (uint32_t i = 0; i < itemsByName_.Count(); ++i)
        delete model::PointerAt<CDeviceItem>(itemsByName_, i);
    itemsByName_.Clear();
    itemsByAddress_.Clear();
}

void CPlcDevice::SetName(const WChar* name) {
    CopyTextW(name_, name, model::kNameCap);
}

int32_t CPlcDevice::FindItem(const WChar* name) {
    LockGuard hold(&lock_);
    return model::IndexOfName<CDeviceItem>(itemsByName_, name);
}

CDeviceItem* CPlcDevice::GetItem(uint32_t index) {
    LockGuard hold(&lock_);
    return model::PointerAt<CDeviceItem>(itemsByName_, index);
}

CDeviceItem* CPlcDevice::GetItemByAddress(uint32_t index) {
    LockGuard hold(&lock_);
    return model::PointerAt<CDeviceItem>(itemsByAddress_, index);
}

uint32_t CPlcDevice::ItemCount() {
    LockGuard hold(&lock_);
    return itemsByName_.Count();
}

bool CPlcDevice::AddItemLocked(CDeviceItem* item) {
    CDeviceItem* displaced = nullptr;
    if (!model::InsertByName(itemsByName_, item, &displaced))
        return false;
    if (itemsByAddress_.Insert(&item) == CBinArray::kInsertFailed) {
        // Undo, so that a failure changes nothing.
        if (displaced)
            itemsByName_.Insert(&displaced);
        else
            itemsByName_.Remove(&item, false);
        return false;
    }
    if (displaced) {
        // Nothing refers to an item that lost its name any more: were it
        // left in the address index, it would be scanned but never freed.
        RemoveFromAddressIndex(itemsByAddress_, displaced);
        ReleaseItem(displaced);
        delete displaced;
    }
    item->block = this;
    // A text is written whole from the spare units after the window, and
    // "A" reads run long: configured items need the room as much as the
    // host's.
    const bool text = item->dataType == model::kTypeText || item->dataType == model::kTypeAltText;
    if (text || UnitAccessLetter() == 'A')
        extension = model::kExtensionLarge;
    return true;
}

CDeviceItem* CPlcDevice::CreateItem(const WChar* name, int32_t startAddress, bool activate,
                                    int32_t activationArg, uint16_t textSize) {
    if (!name)
        return nullptr;
    CDeviceItem* item = plat::NewObject<CDeviceItem>();
    if (!item)
        return nullptr;
    LockGuard hold(&lock_);
    item->startAddress = startAddress;
    // The item's bit within its unit, the bit that its frames address.
    item->bitMask = ItemBitMask(startAddress);
    item->size = 1;
    uint32_t newUnitCode = name[0] == W16('P') ? model::kUnitLongByName : unitCode;
    switch (newUnitCode) {
    case model::kUnitBit:
        item->dataType = plat::kVtBool;
        break;
    case model::kUnitByte:
        item->dataType = plat::kVtUi1;
        break;
    case model::kUnitLongByName:
    case model::kUnitDoubleWord:
        // A double-word unit holds 32 bits.
        item->dataType = plat::kVtUi4;
        break;
    default:
        item->dataType = plat::kVtUi2;
        break;
    }
    if (textSize != 0) {
        item->dataType = model::kTypeText;
        item->textSize = textSize == 65535 ? 0 : textSize;
    }
    // The block's access is its definition's: configured items change only
    // their own units, never what the host's items may do.
    item->attribute = accessFlags;
    item->baseDataType = item->dataType;
    item->lowHiStatus = 0;
    CopyTextW(item->name, name, model::kNameCap);
    if (!AddItemLocked(item)) {
        delete item;
        return nullptr;
    }
    unitCode = newUnitCode;
    if (activate)
        RebuildWindow(item, activationArg != 0);
    return item;
}

bool CPlcDevice::InsertItem(CDeviceItem* item) {
    if (!item)
        return false;
    LockGuard hold(&lock_);
    return AddItemLocked(item);
}

bool CPlcDevice::RemoveItem(CDeviceItem* item) {
    if (!item)
        return false;
    // Searched under the lock too: the indexes change under host threads.
    LockGuard hold(&lock_);
    int32_t at = model::IndexOfName<CDeviceItem>(itemsByName_, item->name);
    if (at < 0 || model::PointerAt<CDeviceItem>(itemsByName_, static_cast<uint32_t>(at)) != item)
        return false;
    itemsByName_.RemoveAt(static_cast<uint32_t>(at));
    RemoveFromAddressIndex(itemsByAddress_, item);
    ReleaseItem(item);
    delete item;
    return true;
}

const CResLang* CPlcDevice::ResLang() const {
    return plc_ ? plc_->ResLang() : nullptr;
}

bool CPlcDevice::SetMessage(uint32_t id, ...) {
    va_list args;
    va_start(args, id);
    bool changed = status_.SetTextFromIdV(ResLang(), id, args);
    va_end(args);
    return changed;
}
