// The read window of a device block: its image of the PLC units that items
// cover, their use counts and the staged writes. Everything here runs under
// the device lock; the communication layer reads and writes the window by
// unit index and checks its generation after every exchange.
#include <algorithm>
#include <cstring>

#include "model/LinkModel.h"
#include "model/NameOrder.h"
#include "platform/alloc.h"
#include "support/LockGuard.h"

namespace {

template <class T> plat::Buffer<T> Zeroed(size_t n) {
    return plat::NewBuffer<T>(n == 0 ? 1 : n);
}

// Units per address step of a numbering that names bits: decimal-octal
// names bits 0-7 of each ten addresses, other bit devices eight per unit.
int32_t FloorDiv(int64_t a, int64_t b) {
    int64_t q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0)))
        --q;
    return static_cast<int32_t>(q);
}

} // namespace

// ---- address numbering ----

bool CPlcDevice::UnitOf(int32_t address, int32_t* unit, int32_t* bit) const {
    int64_t u;
    int32_t b;
    if (radix == model::kRadixDecimalOctal) {
        u = FloorDiv(address, 10) - FloorDiv(lowestAddress, 10);
        b = address - FloorDiv(address, 10) * 10;
        if (b > 7)
            return false;
    } else if (bitDevice) {
        u = FloorDiv(address, 8) - FloorDiv(lowestAddress, 8);
        b = address - FloorDiv(address, 8) * 8;
    } else {
        u = static_cast<int64_t>(address) - static_cast<int64_t>(lowestAddress);
        b = 0;
    }
    if (u < INT32_MIN || u > INT32_MAX)
        return false;
    if (unit)
        *unit = static_cast<int32_t>(u);
    if (bit)
        *bit = b;
    return true;
}

int32_t CPlcDevice::AddressOf(int32_t unit, int32_t bit) const {
    int64_t a;
    if (radix == model::kRadixDecimalOctal)
        a = (static_cast<int64_t>(FloorDiv(lowestAddress, 10)) + unit) * 10 + (bit & 7);
    else if (bitDevice)
        a = (static_cast<int64_t>(FloorDiv(lowestAddress, 8)) + unit) * 8 + (bit & 7);
    else
        a = static_cast<int64_t>(lowestAddress) + unit;
    if (a < 0 || a > INT32_MAX)
        return -1;
    return static_cast<int32_t>(a);
}

uint32_t CPlcDevice::ItemBitMask(int32_t address) const {
    if (radix != model::kRadixDecimalOctal && !bitDevice)
        return 0xFFFFFFFFu;
    int32_t bit = 0;
    if (!UnitOf(address, nullptr, &bit))
        return 0; // 8 and 9 of decimal-octal name no bit
    return 1u << bit;
}

bool CPlcDevice::InRange(int64_t address) const {
    uint32_t n = rangeCount > model::kMaxRanges ? model::kMaxRanges : rangeCount;
    for (uint32_t r = 0; r < n; ++r)
        if (rangeStart[r] <= address && address <= rangeEnd[r])
            return true;
    return false;
}

uint32_t CPlcDevice::UnitsInRange(int32_t address) const {
    uint32_t n = rangeCount > model::kMaxRanges ? model::kMaxRanges : rangeCount;
    for (uint32_t r = 0; r < n; ++r) {
        if (address < 0 || rangeStart[r] > static_cast<uint32_t>(address) ||
            static_cast<uint32_t>(address) > rangeEnd[r])
            continue;
        int64_t end = rangeEnd[r];
        // A decimal-octal end of 8 or 9 names no bit: its unit still counts.
        if (radix == model::kRadixDecimalOctal && end % 10 > 7)
            end -= end % 10 - 7;
        int32_t first = 0;
        int32_t last = 0;
        if (end > INT32_MAX || !UnitOf(address, &first, nullptr) ||
            !UnitOf(static_cast<int32_t>(end), &last, nullptr) || last < first)
            return 0;
        return static_cast<uint32_t>(last - first) + 1;
    }
    return 0;
}

// ---- clock and freshness ----

uint32_t CPlcDevice::Now() const {
    CPlcDrvLink* link = plc_ ? plc_->Link() : nullptr;
    CLinkTable* table = link ? link->Owner() : nullptr;
    return table ? table->Now() : plat::TickCount();
}

bool CPlcDevice::ItemFresh(const CDeviceItem* item, uint32_t now) const {
    uint32_t last = item->lastAccess.load();
    return last != 0 && now - last <= model::kFreshMs;
}

void CPlcDevice::TouchItem(CDeviceItem* item) {
    uint32_t now = Now();
    LockGuard hold(&lock_);
    // Not polled for a while (or never): what the window holds is old.
    if (!ItemFresh(item, now))
        item->Forget();
    // Hosts read the same item many times a tick: its line is written only
    // when the stamp changes.
    const uint32_t stamp = now == 0 ? 1 : now;
    if (item->lastAccess.load(std::memory_order_relaxed) != stamp)
        item->lastAccess.store(stamp);
}

uint32_t CPlcDevice::LinkSession() const {
    CPlcDrvLink* link = plc_ ? plc_->Link() : nullptr;
    CLinkChannel* channel = link ? link->Channel() : nullptr;
    return channel && !link->Stopping() ? channel->Session() : 0;
}

int32_t CPlcDevice::ItemReadStatus(const CDeviceItem* item, size_t bytes) const {
    // No connection: the block's status says why once the link turn has
    // marked it; until then (a channel just closed for an enumeration, say)
    // the item simply has not been read on the next connection yet.
    if (LinkSession() == 0) {
        const int32_t block = deviceStatus.load();
        return block != 0 ? block : model::kStatusNotInitialised;
    }
    // A block without its image (a type the definition lacks, no memory)
    // reads nothing: its status says why.
    if (!item->attached || !window_.Allocated()) {
        const int32_t block = deviceStatus.load();
        return block != 0 ? block : model::kStatusNotInitialised;
    }
    // Past the end of its address range no read ever brings the bytes.
    if (bytes > static_cast<size_t>(UnitsInRange(item->startAddress)) * UnitSize())
        return model::kStatusReadSize;
    // The run that read the item decides, not the block's other runs: a
    // range the PLC refuses does not make the rest of the block untrue.
    if (item->readStatus != 0)
        return item->readStatus;
    if (!item->valid || item->readSession != LinkSession() || item->readBytes < bytes)
        return model::kStatusNotInitialised;
    return 0;
}

int32_t CPlcDevice::WriteStatus() const {
    if (LinkSession() != 0)
        return 0;
    const int32_t block = deviceStatus.load();
    return block != 0 ? block : model::kStatusNoAnswer;
}

// ---- window ----

bool CPlcDevice::AllocateWindow(model::ReadWindow* w, uint32_t units) {
    // Built aside, so that nothing half made (an exception included) reaches w.
    model::ReadWindow made;
    const size_t bytes = static_cast<size_t>(units) * UnitSize();
    made.units = units;
    made.useCounts = Zeroed<int32_t>(units);
    made.current = Zeroed<uint8_t>(bytes);
    made.raw = Zeroed<uint8_t>(bytes);
    made.writeData = Zeroed<uint8_t>(bytes);
    made.flags = Zeroed<uint8_t>(units);
    made.writeMask = Zeroed<uint8_t>(bytes);
    made.writeType = Zeroed<uint8_t>(bytes);
    if (!made.useCounts || !made.current || !made.raw || !made.writeData || !made.flags ||
        !made.writeMask || !made.writeType)
        return false;
    made.generation = w->generation;
    *w = std::move(made);
    return true;
}

void CPlcDevice::FreeWindow() {
    uint32_t generation = window_.generation;
    window_ = model::ReadWindow();
    window_.generation = generation + 1;
}

bool CPlcDevice::ItemSpan(int32_t* lo, int32_t* hi) {
    bool any = false;
    int64_t l = 0, h = 0;
    for (uint32_t i = 0; i < itemsByAddress_.Count(); ++i) {
        CDeviceItem* item = model::PointerAt<CDeviceItem>(itemsByAddress_, i);
        int32_t unit = 0;
        // An item outside the block's ranges is never read: it stays out of
        // the window rather than stretch it (or, below the block, void it).
        if (!item || !InRange(item->startAddress) || !UnitOf(item->startAddress, &unit, nullptr) ||
            unit < 0)
            continue;
        int64_t end = static_cast<int64_t>(unit) + (item->size ? item->size : 1);
        if (end > INT32_MAX)
            continue;
        if (!any || unit < l)
            l = unit;
        if (!any || end > h)
            h = end;
        any = true;
    }
    if (!any)
        return false;
    *lo = static_cast<int32_t>(l);
    *hi = static_cast<int32_t>(h);
    return true;
}

bool CPlcDevice::RebuildWindow(CDeviceItem* newItem, bool mark) {
    LockGuard hold(&lock_);
    if (itemsByName_.Count() == 0)
        return true;
    if (!listed) {
        deviceStatus.store(static_cast<int32_t>(model::kMsgInvalidDevice));
        CPlc* plc = plc_;
        CPlcDrvLink* link = plc ? plc->Link() : nullptr;
        SetMessage(model::kMsgInvalidDevice, link ? link->Name() : W16(""),
                   plc ? plc->Name() : W16(""), name_);
        return false;
    }
    SetMessage(model::kMsgNoError);

    int32_t lo = 0, hi = 0;
    if (!ItemSpan(&lo, &hi) || hi <= lo) {
        FreeWindow();
        window_.start = lo;
        window_.length = 0;
        return false;
    }

    model::ReadWindow& w = window_;
    if (newItem && w.Allocated()) {
        int32_t unit = 0;
        bool inside = UnitOf(newItem->startAddress, &unit, nullptr) && unit >= w.start &&
                      unit + (newItem->size ? newItem->size : 1) <= w.start + w.length;
        if (inside && static_cast<uint32_t>(w.length) + extension <= w.units) {
            AttachItem(newItem, mark);
            return true;
        }
        // Grow at either end, keeping what the window holds.
        const int32_t newStart = lo < w.start ? lo : w.start;
        const int32_t oldEnd = w.start + w.length;
        const int32_t newEnd = hi > oldEnd ? hi : oldEnd;
        const uint32_t newLength = static_cast<uint32_t>(newEnd - newStart);
        model::ReadWindow grown;
        if (!AllocateWindow(&grown, newLength + extension)) {
            SetMessage(model::kMsgNoMemory);
            return false;
        }
        const uint32_t shift = static_cast<uint32_t>(w.start - newStart);
        const uint32_t keep = w.units < grown.units - shift ? w.units : grown.units - shift;
        const size_t us = UnitSize();
        std::memcpy(grown.useCounts.get() + shift, w.useCounts.get(), keep * sizeof(int32_t));
        std::memcpy(grown.flags.get() + shift, w.flags.get(), keep);
        std::memcpy(grown.current.get() + shift * us, w.current.get(), keep * us);
        std::memcpy(grown.raw.get() + shift * us, w.raw.get(), keep * us);
        std::memcpy(grown.writeData.get() + shift * us, w.writeData.get(), keep * us);
        std::memcpy(grown.writeMask.get() + shift * us, w.writeMask.get(), keep * us);
        std::memcpy(grown.writeType.get() + shift * us, w.writeType.get(), keep * us);
        grown.start = newStart;
        grown.length = static_cast<int32_t>(newLength);
        grown.generation = w.generation + 1;
        w = std::move(grown);
        if (shift != 0) {
            // Every unit index moved.
            for (uint32_t i = 0; i < itemsByAddress_.Count(); ++i) {
                CDeviceItem* item = model::PointerAt<CDeviceItem>(itemsByAddress_, i);
                if (item && item != newItem && item->attached)
                    AttachItem(item, false);
            }
        }
        AttachItem(newItem, mark);
        return true;
    }

    // Full rebuild: the window starts empty and every item is attached anew.
    // Writes the host staged and no write pass has taken yet stay staged:
    // the host was told they were accepted.
    const model::ReadWindow staged = std::move(w);
    FreeWindow();
    const uint32_t generation = w.generation;
    if (!AllocateWindow(&w, static_cast<uint32_t>(hi - lo) + extension)) {
        w.generation = generation;
        SetMessage(model::kMsgNoMemory);
        return false;
    }
    w.generation = generation;
    w.start = lo;
    w.length = hi - lo;
    // Items the host uses stay polled across a rebuild (the enumeration
    // rebuilds while the host reads).
    const uint32_t now = Now();
    for (uint32_t i = 0; i < itemsByAddress_.Count(); ++i) {
        CDeviceItem* item = model::PointerAt<CDeviceItem>(itemsByAddress_, i);
        if (!item)
            continue;
        item->block = this;
        item->Forget();
        AttachItem(item, mark || ItemFresh(item, now));
    }
    if (staged.Allocated()) {
        const int64_t from = std::max<int64_t>(staged.start, w.start);
        const int64_t to =
            std::min<int64_t>(int64_t{staged.start} + staged.units, int64_t{w.start} + w.units);
        const size_t us = UnitSize();
        for (int64_t u = from; u < to; ++u) {
            const size_t a = static_cast<size_t>(u - staged.start) * us;
            const size_t b = static_cast<size_t>(u - w.start) * us;
            std::memcpy(w.writeData.get() + b, staged.writeData.get() + a, us);
            std::memcpy(w.writeMask.get() + b, staged.writeMask.get() + a, us);
            std::memcpy(w.writeType.get() + b, staged.writeType.get() + a, us);
        }
    }
    return true;
}

bool CPlcDevice::AttachItem(CDeviceItem* item, bool mark) {
    LockGuard hold(&lock_);
    model::ReadWindow& w = window_;
    int32_t unit = 0;
    if (!item || !w.Allocated() || !InRange(item->startAddress) ||
        !UnitOf(item->startAddress, &unit, nullptr))
        return false;
    const int64_t index = static_cast<int64_t>(unit) - w.start;
    if (index < 0 || index >= w.units)
        return false;
    item->unitIndex = static_cast<int32_t>(index);
    const uint8_t access =
        static_cast<uint8_t>(item->attribute & (model::kUnitReadable | model::kUnitWritable));
    for (uint32_t k = 0; k < (item->size ? item->size : 1u); ++k) {
        const int64_t u = index + k;
        if (u >= w.units)
            break;
        w.flags[u] |= access;
    }
    if (mark)
        MarkInUse(item);
    item->attached = true;
    return true;
}

void CPlcDevice::MarkInUse(CDeviceItem* item) {
    LockGuard hold(&lock_);
    model::ReadWindow& w = window_;
    if (!item || item->block != this || item->unitIndex < 0 || !w.Allocated())
        return;
    const uint32_t size = item->size ? item->size : 1u;
    uint32_t n;
    if (bitDevice)
        n = 1;
    else if (item->dataType == model::kTypeText || item->dataType == model::kTypeAltText)
        n = static_cast<uint32_t>(extension) + size;
    else
        n = size + 8;
    const int64_t first = item->unitIndex;
    for (uint32_t k = 0; k < size; ++k) {
        const int64_t u = first + k;
        if (u >= w.units)
            break;
        if (k + 1 < size)
            w.flags[u] =
                static_cast<uint8_t>((w.flags[u] & ~model::kUnitItemBits) | model::kUnitItemInner);
        else if ((w.flags[u] & model::kUnitItemBits) == 0)
            w.flags[u] |= model::kUnitItemLast;
    }
    for (uint32_t k = 0; k < n; ++k) {
        const int64_t u = first + k;
        if (u >= w.units)
            break;
        // A bit device's one unit is named by the item's own address; the
        // units after an item by the first address they hold.
        const int64_t a =
            k == 0 ? item->startAddress : AddressOf(w.start + static_cast<int32_t>(u), 0);
        if (a < 0 || w.useCounts[u] != model::kUseNone)
            continue;
        uint32_t nr = rangeCount > model::kMaxRanges ? model::kMaxRanges : rangeCount;
        for (uint32_t r = 0; r < nr; ++r) {
            if (rangeStart[r] <= a && a <= rangeEnd[r]) {
                w.useCounts[u] = a == rangeEnd[r] ? model::kUseRangeEnd : model::kUseInUse;
                break;
            }
        }
    }
}

bool CPlcDevice::ItemIdle(const CDeviceItem* item) {
    LockGuard hold(&lock_);
    const model::ReadWindow& w = window_;
    if (!item || item->unitIndex < 0 || !w.Allocated())
        return true;
    for (uint32_t k = 0; k < (item->size ? item->size : 1u); ++k) {
        const int64_t u = static_cast<int64_t>(item->unitIndex) + k;
        if (u >= w.units)
            break;
        if (w.useCounts[u] > 0)
            return false;
    }
    return true;
}

void CPlcDevice::ReleaseItem(CDeviceItem* item) {
    item->unitIndex = -1;
    item->attached = false;
    item->Forget();
    ++window_.generation;
}

void CPlcDevice::StopPolling() {
    LockGuard hold(&lock_);
    for (uint32_t i = 0; i < itemsByName_.Count(); ++i) {
        CDeviceItem* item = model::PointerAt<CDeviceItem>(itemsByName_, i);
        if (item) {
            item->attached = false;
            item->Forget();
            item->unitIndex = -1;
        }
    }
    FreeWindow();
}

bool CPlcDevice::GrowItemText(CDeviceItem* item, uint16_t textSize) {
    LockGuard hold(&lock_);
    if (!item)
        return false;
    item->dataType = model::kTypeText;
    item->baseDataType = model::kTypeText;
    item->textSize = textSize == 65535 ? 0 : textSize;
    if (extension < model::kExtensionLarge) {
        extension = model::kExtensionLarge;
        // Room for the text after the last unit: the window grows in place.
        if (window_.Allocated() &&
            window_.units < static_cast<uint32_t>(window_.length) + extension)
            return RebuildWindow(item, true);
    }
    MarkInUse(item);
    return true;
}
