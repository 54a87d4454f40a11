// Host-facing interface of the IDEC driver module NimbroDrvIDec.
//
// A host loads the module (NimbroDrvIDec.dll / NimbroDrvIDec.so), looks up
// the one export NimbroInterface and drives everything through the
// INimbroDriver pointer it hands out. This header needs nothing but the C++
// standard library.
#pragma once

#include <cstdint>

#if defined(_WIN32)
// COM calling convention for the interface, C convention for the export.
#define NIMBRO_COMCALL __stdcall
#define NIMBRO_CDECL __cdecl
typedef wchar_t NimbroChar;
#else
#define NIMBRO_COMCALL
#define NIMBRO_CDECL
typedef char16_t NimbroChar;
#endif

static_assert(sizeof(NimbroChar) == 2, "NimbroChar is one UTF-16 unit");

// OLE Automation string: UTF-16, length-prefixed, owned by whoever receives it
// (SysFreeString on Windows).
typedef NimbroChar* NimbroBstr;

// Opaque handle of a device block, valid until the configuration is reloaded
// or the driver object is released.
typedef void* NimbroDevice;

// Same layout as the Windows GUID.
struct NimbroGuid {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};

inline bool operator==(const NimbroGuid& a, const NimbroGuid& b) {
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3)
        return false;
    for (int i = 0; i < 8; ++i)
        if (a.Data4[i] != b.Data4[i])
            return false;
    return true;
}
inline bool operator!=(const NimbroGuid& a, const NimbroGuid& b) {
    return !(a == b);
}

// {00000000-0000-0000-C000-000000000046}
constexpr NimbroGuid NimbroIID_IUnknown = {
    0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
// {1FF0CE8B-E1A1-472C-A76B-BB5D636EC54A}
constexpr NimbroGuid IID_INimbroDriver = {
    0x1FF0CE8B, 0xE1A1, 0x472C, {0xA7, 0x6B, 0xBB, 0x5D, 0x63, 0x6E, 0xC5, 0x4A}};

// HRESULTs of NimbroInterface and QueryInterface.
constexpr int32_t NIMBRO_S_OK = 0;
constexpr int32_t NIMBRO_E_NOINTERFACE = static_cast<int32_t>(0x80004002u);
constexpr int32_t NIMBRO_E_OUTOFMEMORY = static_cast<int32_t>(0x8007000Eu);
constexpr int32_t NIMBRO_E_INVALIDARG = static_cast<int32_t>(0x80070057u);

// Results of ReadItem and WriteItem.
enum NimbroResult : int32_t {
    ResultOk = 0,
    ResultFailed = 1,
    ResultNak = 4,      // last device status: NAK (21)
    ResultTimeout = 5,  // last device status: receive time-out (13)
    ResultNotReady = 6, // last device status: not initialised (11), or item just created
};

// How the host lays out a value it reads or writes.
enum ValueType : int32_t {
    TypeDefault = 0, // laid out as TypeU32
    TypeBool,        // one byte, 0 or 1
    TypeU8,
    TypeU16,
    TypeU32,
    TypeU64,
    TypeI8,
    TypeI16,
    TypeI32,
    TypeI64,
    TypeF32,
    TypeF64,
    TypeText // NUL-terminated UTF-16
};

// Access flags reported by RegisterItem.
constexpr int32_t NimbroAccessRead = 1;
constexpr int32_t NimbroAccessWrite = 2;

// IUnknown in COM layout.
struct INimbroUnknown {
    virtual int32_t NIMBRO_COMCALL QueryInterface(const NimbroGuid* iid, void** out) = 0;
    virtual uint32_t NIMBRO_COMCALL AddRef() = 0;
    virtual uint32_t NIMBRO_COMCALL Release() = 0;
};

// The driver interface, operations in slot order after IUnknown's three.
struct INimbroDriver : INimbroUnknown {
    // Device name: "D", or link, PLC and device type separated by full stops
    // (".PLC1.D"). Null when the name resolves to nothing.
    virtual NimbroDevice NIMBRO_COMCALL ResolveDevice(const NimbroChar* deviceName) = 0;
    virtual void NIMBRO_COMCALL Reserved(int32_t value) = 0;
    // 1 registered, 0 refused. Each out pointer may be null.
    virtual int32_t NIMBRO_COMCALL RegisterItem(NimbroDevice device, const NimbroChar* itemName,
                                                int32_t* valueType, int32_t* size,
                                                int32_t* access) = 0;
    // A NimbroResult. valueType is in and out; capacity counts characters for
    // TypeText.
    virtual int32_t NIMBRO_COMCALL ReadItem(NimbroDevice device, const NimbroChar* itemName,
                                            int32_t* valueType, void* buffer, int32_t capacity,
                                            int32_t* count, int32_t unused) = 0;
    virtual int32_t NIMBRO_COMCALL WriteItem(NimbroDevice device, const NimbroChar* itemName,
                                             int32_t valueType, const void* value, int32_t length,
                                             int32_t* count, int32_t unused) = 0;
    // The device types, or the items of one device block; the caller frees it.
    virtual NimbroBstr NIMBRO_COMCALL ListItems(const NimbroChar* deviceName) = 0;
};

// The export. out receives the driver object with one reference;
// hostPort != 0 replaces the port of every link's address; wordOrder 1 puts
// the low 16 bits of 32-bit values first on the wire (0, the default, the high).
extern "C" int32_t NIMBRO_CDECL NimbroInterface(INimbroDriver** out, uint32_t hostPort,
                                                int32_t wordOrder);
typedef int32_t(NIMBRO_CDECL* NimbroInterfaceFn)(INimbroDriver** out, uint32_t hostPort,
                                                 int32_t wordOrder);
