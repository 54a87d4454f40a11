// The in-memory picture of what the driver talks to: the process-wide link
// table, its links (each with a timer and worker), the PLCs of a link, the
// device blocks of a PLC and the items of a device block.
//
// Ownership runs down the tree: table -> links -> PLCs -> device blocks ->
// items (of the name index; the address index refers to the same items).
// Every collection is a CBinArray of pointers in case-insensitive name order.
//
// Locks: the table's own lock (its link array), the link lock (PLC array and
// the passes over it), the PLC's device-array lock, the device lock (item
// indexes and read window). Order: table, link, PLC, device.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <memory>

#include "model/BinArray.h"
#include "model/DeviceTypes.h"
#include "model/LinkChannel.h"
#include "model/OpenParams.h"
#include "model/Timers.h"
#include "platform/alloc.h"
#include "platform/module.h"
#include "platform/sync.h"
#include "platform/types.h"
#include "platform/variant.h"
#include "support/ErrorString.h"

class CResLang;
class CLinkTable;
class CPlcDrvLink;
class CPlc;
class CPlcDevice;

namespace model {

constexpr int kNameCap = 32; // UTF-16 units of every model name, terminator included
constexpr uint32_t kMaxRanges = 100;
constexpr uint32_t kDefaultScanPeriod = 50;
constexpr uint32_t kDefaultReadInterval = 250;
// How a pass groups the units in use into reads: runs as they are, or the
// units fresh items need, joined where a gap costs the link less to read
// than an exchange (the default).
constexpr uint32_t kReadPlanExact = 0;
constexpr uint32_t kReadPlanMerge = 1;
constexpr uint32_t kStopWaitMs = 3000;

// Message ids of the string table that the model raises.
constexpr uint32_t kMsgNoError = 999;
constexpr uint32_t kMsgNoMemory = 1000;
constexpr uint32_t kMsgInvalidDevice = 1010;
constexpr uint32_t kMsgTickFailed = 1014;
constexpr uint32_t kMsgLineSetting = 1015;

// Device status code of a block that has not exchanged anything yet.
constexpr int32_t kStatusNotInitialised = 11;
// ... of a value that no read can bring in whole.
constexpr int32_t kStatusReadSize = 12;
// ... of a block that the PLC did not answer, or that no connection reached.
constexpr int32_t kStatusNoAnswer = 13;

// Unit codes of a device block.
constexpr uint32_t kUnitBit = 0;
constexpr uint32_t kUnitByte = 1;
constexpr uint32_t kUnitWord = 2;
constexpr uint32_t kUnitLongByName = 3; // what a "P..." item makes of the block
constexpr uint32_t kUnitDoubleWord = 4;

constexpr int32_t kRadixDecimalOctal = -1;

// Item data types: Automation variant codes, and the driver's own text layout.
constexpr uint16_t kTypeText = plat::kVtBstr;
constexpr uint16_t kTypeAltText = 4094;

// Spare units after a read window, and the larger spare of text or "A" blocks.
constexpr uint16_t kExtensionDefault = 8;
constexpr uint16_t kExtensionLarge = 1024;

// An item that the host has not read or written for longer than this is no
// longer polled, although its units stay in use.
constexpr uint32_t kFreshMs = 300000;

// Unit flags of the read window.
constexpr uint8_t kUnitReadable = 0x01;
constexpr uint8_t kUnitWritable = 0x02;
constexpr uint8_t kUnitItemInner = 0x40;
constexpr uint8_t kUnitItemLast = 0xC0;
constexpr uint8_t kUnitItemBits = 0xC0;

// Use counts of the read window.
constexpr int32_t kUseNone = 0;
constexpr int32_t kUseInUse = 1;
constexpr int32_t kUseRangeEnd = 2; // in use, and the last unit of an address range

// The image of a device block: one entry per unit, units counted from the
// window start. Every array holds `units` entries (of unit size bytes for the
// data arrays). Guarded by the device lock.
struct ReadWindow {
    int32_t start = 0;  // first unit, counted from the block's lowest unit
    int32_t length = 0; // units that items cover
    uint32_t units = 0; // allocated: length + the spare units at allocation
    // Changes whenever the arrays are reallocated or freed, unit indexes move
    // or an item is released: a pass that let go of the lock for an exchange
    // and finds another generation must not touch the window by its old
    // unit indexes.
    uint32_t generation = 0;
    plat::Buffer<int32_t> useCounts;
    plat::Buffer<uint8_t> current;   // host order: each 16-bit word low byte first
    plat::Buffer<uint8_t> raw;       // PLC order: each 16-bit word high byte first
    plat::Buffer<uint8_t> writeData; // staged writes, PLC order
    plat::Buffer<uint8_t> flags;
    plat::Buffer<uint8_t> writeMask; // one per data byte
    plat::Buffer<uint8_t> writeType; // one per data byte

    bool Allocated() const { return useCounts != nullptr; }
};

} // namespace model

// One value the host names, for example D0100.
class CDeviceItem {
public:
    CDeviceItem();
    virtual ~CDeviceItem();
    CDeviceItem(const CDeviceItem&) = delete;
    CDeviceItem& operator=(const CDeviceItem&) = delete;

    const WChar* Name() const { return name; }

    WChar name[model::kNameCap];
    std::atomic<int32_t> inUse; // being polled
    int32_t startAddress;
    uint32_t bitMask;      // all ones unless the item is one bit
    uint32_t attribute;    // bit 0 read, bit 1 write: its units' flags
    uint16_t dataType;     // variant type code or kTypeAltText
    uint16_t baseDataType; // before kTypeAltText replaced kTypeText
    uint16_t size;         // units
    uint16_t textSize;     // bytes of text for the text types, else 0
    int32_t lowHiStatus;
    std::atomic<uint32_t> lastAccess; // tick count of the host's last read
    int32_t unitIndex;                // first unit in the read window; -1 none
    CPlcDevice* block;
    // Read window state, under the device lock.
    bool attached;
    // The scan has read the item's units since it came into use.
    bool valid;
    // What the last run over the item's first unit found, under the device
    // lock: the bytes from the item's start that it read whole (0 after a
    // failed run), the connection it went over (the channel's Session) and
    // its status (0 good).
    uint32_t readBytes;
    uint32_t readSession;
    int32_t readStatus;
    // The most bytes from its start that a host's name for it reads (".Long"
    // on a word takes two units); 0 none beyond its own units. Under the
    // device lock.
    uint16_t readWidth;
    // The item came into use again: nothing of it counts as read.
    void Forget() {
        valid = false;
        readBytes = 0;
        readStatus = model::kStatusNotInitialised;
    }
};

// A device block: one device type of a PLC, such as D or M.
class CPlcDevice {
public:
    explicit CPlcDevice(CPlc* plc);
    // Stops the polling, frees every item.
    virtual ~CPlcDevice();
    CPlcDevice(const CPlcDevice&) = delete;
    CPlcDevice& operator=(const CPlcDevice&) = delete;

    const WChar* Name() const { return name_; }
    void SetName(const WChar* name);
    CPlc* Plc() const { return plc_; }
    void SetPlc(CPlc* plc) { plc_ = plc; }
    CErrorString& Status() { return status_; }
    // The device lock. Hold it across FindItem and GetItem when another
    // thread may add or remove items.
    plat::CriticalSection& Lock() { return lock_; }

    // Index in the name index, or -1.
    int32_t FindItem(const WChar* name);
    CDeviceItem* GetItem(uint32_t index);
    CDeviceItem* GetItemByAddress(uint32_t index);
    uint32_t ItemCount();

    // Creates an item for the host or the enumeration; nullptr without
    // memory (nothing changes then). textSize 0 for a non-text item, 65535
    // for a text item of no fixed size. With activate the item is attached to
    // the read window with activationArg as its mark flag.
    CDeviceItem* CreateItem(const WChar* name, int32_t startAddress, bool activate,
                            int32_t activationArg, uint16_t textSize);
    // Takes an item built elsewhere (the configuration) into both indexes;
    // an item of the same name gives way and is freed. False (item not
    // taken) without memory.
    bool InsertItem(CDeviceItem* item);
    // Takes the item out of both indexes and frees it. False when the name
    // index does not hold this item.
    bool RemoveItem(CDeviceItem* item);

    // The status text becomes message id of the string table.
    bool SetMessage(uint32_t id, ...);
    const CResLang* ResLang() const;
    char UnitAccessLetter() const { return model::UnitAccessLetter(name_); }
    char BitAccessLetter() const { return model::BitAccessLetter(name_); }

    // Read window. Rebuilt when items come and go; the communication layer's
    // read scan fills it and its write queue sends the staged writes, both on
    // the link's worker. Every access holds the device lock.
    bool RebuildWindow(CDeviceItem* newItem, bool mark);
    bool AttachItem(CDeviceItem* item, bool mark);
    // Brings the item's units (and the spare ones after it) into the scan.
    void MarkInUse(CDeviceItem* item);
    // True when no unit the item covers has a positive use count.
    bool ItemIdle(const CDeviceItem* item);
    // Releases every item from the window and frees the window.
    void StopPolling();
    model::ReadWindow& Window() { return window_; }
    // A text item of a longer text: grows in place, spare units included,
    // so that nothing another thread holds is freed. False without memory.
    bool GrowItemText(CDeviceItem* item, uint16_t textSize);

    // Address numbering. Units count from the block's lowest unit; a bit
    // device and decimal-octal numbering hold eight bits in a unit. The two
    // conversions are exact inverses: AddressOf(UnitOf(a)) == a for every
    // address a that names a unit and bit.
    bool UnitOf(int32_t address, int32_t* unit, int32_t* bit) const;
    int32_t AddressOf(int32_t unit, int32_t bit) const;
    // The mask of an item's bit within its unit; all ones for whole units.
    uint32_t ItemBitMask(int32_t address) const;
    // True when one of the address ranges holds the address.
    bool InRange(int64_t address) const;
    // Units from the unit of the address to the last unit of the address
    // range that holds it, both counted; 0 when no range holds it. Nothing
    // past them can be read or written for an item at that address.
    uint32_t UnitsInRange(int32_t address) const;
    // Bytes of one unit (1 for bit devices).
    uint32_t UnitSize() const { return bytesPerUnit == 0 ? 1 : bytesPerUnit; }

    // The clock of the link's table (for the host's accesses and the scan).
    uint32_t Now() const;
    // An access by the host: an item not polled for kFreshMs (or never) must
    // be read again before its value counts. Under the device lock.
    void TouchItem(CDeviceItem* item);
    bool ItemFresh(const CDeviceItem* item, uint32_t now) const;

    // The connection of the block's link that is up now, 0 while it is down
    // (CLinkChannel::Session).
    uint32_t LinkSession() const;
    // Under the device lock: the device status a read of the item's first
    // `bytes` bytes answers by. 0 only when the run that last read the item
    // succeeded and read all of them, since the item came into use, over
    // the connection that is up now; else why not (11 not read yet, 12 past
    // its address range, the failed run's status, or while the link has no
    // connection the block's status or 13). The block's own status, which
    // "Status" shows, is the first failure of its last pass.
    int32_t ItemReadStatus(const CDeviceItem* item, size_t bytes) const;
    // The device status a write to the block answers by: 0 while the link
    // has a connection, else the block's status or 13, so that nothing is
    // accepted that cannot be sent. A failure on the wire shows in the
    // block's status.
    int32_t WriteStatus() const;

    // Properties; the PLC definition file sets those marked (def).
    // (def) bit 0 read, bit 1 write. Items never change it: the host's take
    // it as theirs, configured ones keep their own for their units.
    uint32_t accessFlags;
    // Spare units after the window: kExtensionLarge once the block holds a
    // text item or reads by the "A" letter.
    uint16_t extension;
    std::atomic<int32_t> deviceStatus;      // status code of the last exchange
    int32_t listed;                         // the PLC definition file lists this block
    int32_t defined;                        // (def) properties come from the file
    uint32_t rangeStart[model::kMaxRanges]; // (def)
    uint32_t rangeEnd[model::kMaxRanges];   // (def)
    int32_t bitDevice;                      // (def) addresses name single bits
    int32_t radix;                          // (def) 8, 10, 16 or kRadixDecimalOctal
    uint32_t unitCode;                      // (def) kUnit...
    uint32_t bytesPerUnit;                  // (def) 1, 2 or 4
    uint32_t lowestAddress;                 // (def)
    uint32_t highestAddress;                // (def)
    uint32_t rangeCount;                    // (def) 1 to kMaxRanges

private:
    // Both indexes; called with the device lock held.
    bool AddItemLocked(CDeviceItem* item);
    void ReleaseItem(CDeviceItem* item);
    void FreeItems();
    void FreeWindow();
    // Allocates a window of units entries; the old one stays on failure.
    bool AllocateWindow(model::ReadWindow* w, uint32_t units);
    // The lowest and one past the highest unit that items within the
    // block's ranges cover; false when there is none.
    bool ItemSpan(int32_t* lo, int32_t* hi);

    model::ReadWindow window_;

    CBinArray itemsByName_;
    CBinArray itemsByAddress_;
    WChar name_[model::kNameCap];
    CErrorString status_;
    CPlc* plc_;
    plat::CriticalSection lock_;
};

// A PLC reached through a link.
class CPlc {
public:
    explicit CPlc(CPlcDrvLink* link);
    // Stops the polling of its blocks and destroys them.
    virtual ~CPlc();
    CPlc(const CPlc&) = delete;
    CPlc& operator=(const CPlc&) = delete;

    const WChar* Name() const { return name_; }
    void SetName(const WChar* name);
    CPlcDrvLink* Link() const { return link_; }
    void SetLink(CPlcDrvLink* link) { link_ = link; }
    CErrorString& Status() { return status_; }

    CPlcDevice* FindDevice(const WChar* name) const;
    CPlcDevice* GetDevice(uint32_t index) const;
    uint32_t DeviceCount() const;
    // Takes ownership. A block of the same name gives way and is destroyed.
    // Returns false (the block destroyed) without memory.
    bool InsertDevice(CPlcDevice* device);
    void RemoveDevices();
    void StopPolling();

    bool SetMessage(uint32_t id, ...);
    const CResLang* ResLang() const;

    // Settings kept with the PLC.
    char plcFile[255];
    char stationNumber[49];
    int32_t timeout;
    uint16_t retryNumber;

private:
    CBinArray devices_;
    WChar name_[model::kNameCap];
    CErrorString status_;
    CPlcDrvLink* link_;
    // Host lookups meet the enumeration adding blocks on the worker.
    mutable plat::CriticalSection devicesLock_;
};

// A link: one channel to a PLC endpoint, its PLCs, and the timer and worker
// that run the link turn.
class CPlcDrvLink : public CCdkTimer {
public:
    explicit CPlcDrvLink(CLinkTable* owner);
    // Stops, waits (without a limit) for a worker still in a tick to leave,
    // destroys PLCs and channel.
    ~CPlcDrvLink() override;
    // The link turn, on the worker thread.
    void OnTick() override;

    // Rebuilds the read windows and starts timer and worker with the owner's
    // scan period. True when running.
    bool StartLink();
    // Stop flag, channel closed, worker stopped (at most kStopWaitMs for it
    // to leave the link, never a wait for its thread's end), polling of every
    // block stopped. True when the worker has left the link: only then may
    // the link be freed. False, the polling left as it is, while a tick
    // still runs.
    bool StopLink();
    void RemovePlcs();

    const WChar* Name() const { return name_; }
    void SetName(const WChar* name);
    CLinkTable* Owner() const { return owner_; }
    // Given by the table on insertion and never reused by it: a link found
    // at the address of one that a reload freed is told apart by it.
    uint32_t Serial() const { return serial_; }
    void SetSerial(uint32_t serial) { serial_ = serial; }
    CErrorString& Status() { return status_; }
    plat::CriticalSection& Lock() { return lock_; }
    bool SetMessage(uint32_t id, ...);
    const CResLang* ResLang() const;

    CPlc* GetPlc(uint32_t index) const;
    CPlc* FirstPlc() const { return GetPlc(0); }
    CPlc* FindPlc(const WChar* name) const;
    uint32_t PlcCount() const { return plcs_.Count(); }
    // Takes ownership. A PLC of the same name gives way and is destroyed.
    // False (the PLC destroyed) without memory.
    bool InsertPlc(CPlc* plc);

    // Two uppercase hexadecimal digits placed in every frame.
    const char* StationText() const { return station_; }
    void SetStationText(const char* text);
    // "host:port"; part of the open parameters handed to the channel.
    const char* AddressText() const { return openParams_.openName; }
    void SetAddressText(const char* text);
    const IDecOpenParams& OpenParams() const { return openParams_; }
    void SetChannelKind(uint16_t kind) { openParams_.channelKind = kind; }
    // The line of a serial link. A setting that the configuration gave out
    // of range is named in note ("BaudRate=1234"): the link's message says
    // so from its start, instead of "No Error.".
    void SetLine(uint32_t baud, uint8_t dataBits, char parity, uint8_t stopBits, const char* note);
    const char* LineNote() const { return lineNote_; }
    uint32_t PortOverride() const { return portOverride_; }
    // Keeps port and, when it is not 0, puts it after the first ':' of the
    // address text.
    void ApplyPortOverride(uint32_t port);

    CLinkChannel* Channel() const { return channel_.load(); }
    bool Stopping() const { return stop_.load() != 0; }
    // Asks and passes are counted, so that an ask made while a pass runs
    // gets a pass of its own.
    bool EnumerationDone() const { return enumerationServed_.load() == enumerationWanted_.load(); }
    // The next tick runs the address-list enumeration again; the ticket
    // tells EnumeratedSince when it has.
    uint32_t RequestEnumeration() { return enumerationWanted_.fetch_add(1) + 1; }
    bool EnumeratedSince(uint32_t ticket) const {
        return static_cast<int32_t>(enumerationServed_.load() - ticket) >= 0;
    }
    bool FirstEnumerationRunning() const { return firstEnumerationRunning_.load() != 0; }
    bool EnumeratedOnce() const { return enumeratedOnce_.load() != 0; }

protected:
    // Steps of the link turn.
    void EnumerationPass();
    // The address-list enumeration of one PLC.
    void EnumeratePlc(CPlc* plc);
    // Creates the channel when there is none and reopens it when closed.
    void ConnectStep();
    bool ChannelConnected();
    // Every block whose last exchange succeeded shows that no connection
    // reaches it now (status 13).
    void MarkLinkDown();
    void Pass(bool (CLinkChannel::*step)(CPlcDrvLink&, CPlcDevice&));

private:
    CBinArray plcs_;
    WChar name_[model::kNameCap];
    char station_[32];
    IDecOpenParams openParams_;
    char lineNote_[96];
    CErrorString status_;
    uint32_t portOverride_;
    std::atomic<uint32_t> enumerationWanted_;
    std::atomic<uint32_t> enumerationServed_;
    std::atomic<int32_t> firstEnumerationRunning_;
    std::atomic<int32_t> enumeratedOnce_;
    CLinkTable* owner_;
    uint32_t lastReadTime_;
    std::atomic<CLinkChannel*> channel_;
    plat::CriticalSection lock_;
    std::atomic<int32_t> stop_;
    uint32_t serial_ = 0;
};

// All links of the process.
class CLinkTable {
public:
    // Makes the channel of a link from its open parameters; nullptr without
    // memory.
    typedef CLinkChannel* (*ChannelFactory)(const IDecOpenParams* params);
    // The millisecond clock of host accesses and of the scan's freshness
    // rule; tests put a clock of their own here.
    typedef uint32_t (*TickSource)();

    CLinkTable();
    // Module unload: RemoveAll.
    virtual ~CLinkTable();
    CLinkTable(const CLinkTable&) = delete;
    CLinkTable& operator=(const CLinkTable&) = delete;

    // Port override from the host for the next configuration load; 0 none.
    void SetHostPort(uint32_t port) { hostPort_.store(port); }
    uint32_t HostPort() const { return hostPort_.load(); }
    uint32_t ScanPeriod() const { return scanPeriod_.load(); }
    void SetScanPeriod(uint32_t ms) { scanPeriod_.store(ms); }
    uint32_t ReadInterval() const { return readInterval_.load(); }
    void SetReadInterval(uint32_t ms) { readInterval_.store(ms); }
    uint32_t ReadPlan() const { return readPlan_.load(); }
    void SetReadPlan(uint32_t plan) { readPlan_.store(plan); }
    bool Started() const { return started_.load() != 0; }

    // Starts every link (results ignored) and marks the table started, also
    // with no link. Nothing when already started.
    bool StartAll();
    // Stops every link; clears started.
    bool StopAll();
    // Stops and destroys every link; clears started. A link whose worker is
    // still inside a tick after the stop's bound is taken out of the table
    // but not freed under its worker: it is left to the worker, leaked.
    void RemoveAll();
    // The process is ending and its other threads are gone: the links are
    // forgotten, neither stopped nor freed.
    void AbandonAtProcessEnd();

    // The table lock: a host lookup that walks from a link to its blocks
    // holds it across the walk, so that a reload cannot free them meanwhile.
    plat::CriticalSection& Lock() const { return lock_; }
    CPlcDrvLink* FindLink(const WChar* name) const;
    CPlcDrvLink* GetLink(uint32_t index) const;
    uint32_t LinkCount() const;
    // Takes ownership. A link of the same name gives way and is destroyed.
    // False (the link destroyed) without memory.
    bool InsertLink(CPlcDrvLink* link);

    // Settings-file discovery: the path of the driver configuration file
    // (out, cap units). True when the host settings file was read.
    static bool FindConfigurationFile(plat::ModuleHandle module, WChar* path, uint32_t cap);
    // The frame trace setting of the host settings file beside the module;
    // true when a trace file is named.
    bool ReadTraceSetting(plat::ModuleHandle module);
    // Removes every link, then builds the model from the file. True when
    // everything loaded.
    bool LoadConfiguration(const WChar* path);

    void SetResLang(const CResLang* lang) { resLang_.store(lang); }
    const CResLang* ResLang() const { return resLang_.load(); }
    void SetChannelFactory(ChannelFactory factory) { channelFactory_.store(factory); }
    ChannelFactory GetChannelFactory() const { return channelFactory_.load(); }
    void SetTickSource(TickSource source) { tickSource_.store(source); }
    // The frame trace file from the host settings; empty for none. Read by
    // each link's channel when it starts, on its worker under the link lock:
    // so it has a lock of its own, never held with another, and a worker
    // never waits on the table lock that a stop holds while it waits for
    // the worker.
    void SetTraceFile(const WChar* path);
    bool TraceFile(WChar* out, uint32_t cap) const;
    uint32_t Now() const;

private:
    mutable plat::CriticalSection lock_;
    CBinArray links_;
    std::atomic<uint32_t> scanPeriod_;
    std::atomic<uint32_t> readInterval_;
    std::atomic<uint32_t> readPlan_{model::kReadPlanMerge};
    std::atomic<int32_t> started_;
    std::atomic<uint32_t> hostPort_;
    std::atomic<const CResLang*> resLang_;
    std::atomic<ChannelFactory> channelFactory_;
    std::atomic<TickSource> tickSource_;
    uint32_t nextSerial_ = 0; // under the table lock
    mutable plat::CriticalSection traceLock_;
    WChar traceFile_[plat::kMaxPath];
};
