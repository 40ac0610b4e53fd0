#pragma once
// A small stand-in for COM object creation: classes are registered in process by
// class identifier with a maker that hands out an interface by its identifier, and
// CoCreateInstance finds them there. As with COM, creation needs COM initialised on
// the calling thread (CoInitializeEx, winsock_com.h), only in-process classes exist,
// and every interface handed out carries a reference that its user releases.
// The built-in classes (Security Center's ISV object, security_center.h) are always
// registered; tests may replace a class and restore the built-ins afterwards.
#include <cstdint>
#include <functional>
#include <string>

#include "kitbase/export.h"
#include "kitbase/platform/wintypes.h"

struct GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};
using IID = GUID;
using CLSID = GUID;

inline bool operator==(const GUID& a, const GUID& b) {
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3)
        return false;
    for (int i = 0; i < 8; ++i) {
        if (a.Data4[i] != b.Data4[i])
            return false;
    }
    return true;
}

// The base of every interface: the three first slots of every interface's table.
struct IUnknown {
    virtual HRESULT QueryInterface(const IID& iid, void** out) = 0;
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;

protected:
    ~IUnknown() = default;
};

constexpr IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

constexpr DWORD CLSCTX_INPROC_SERVER = 0x1;
constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002u);
constexpr HRESULT REGDB_E_CLASSNOTREG = static_cast<HRESULT>(0x80040154u);
constexpr HRESULT CLASS_E_NOAGGREGATION = static_cast<HRESULT>(0x80040110u);
constexpr HRESULT CO_E_NOTINITIALIZED = static_cast<HRESULT>(0x800401F0u);

// Creates an object of the class and hands out the asked interface in *out (null on
// failure). E_POINTER without out, CLASS_E_NOAGGREGATION with an outer object,
// REGDB_E_CLASSNOTREG for an unknown class or a context without in-process servers,
// CO_E_NOTINITIALIZED when the calling thread has not initialised COM, or what the
// class's maker answers (E_NOINTERFACE for an interface it does not offer).
KITBASE_API HRESULT CoCreateInstance(const CLSID& clsid, IUnknown* outer, DWORD context, const IID& iid,
                                     void** out);

namespace kitbase {

// Makes a new object and hands out the interface `iid` (with one reference) in *out.
using ComClassMaker = std::function<HRESULT(const IID& iid, void** out)>;

// Registers (or replaces) a class.
KITBASE_API void registerComClass(const CLSID& clsid, ComClassMaker maker);
// Removes a class; false when it was not registered.
KITBASE_API bool unregisterComClass(const CLSID& clsid);
// Back to the built-in classes alone.
KITBASE_API void restoreComClasses();

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" in upper case.
KITBASE_API std::wstring guidToString(const GUID& guid);

}  // namespace kitbase
