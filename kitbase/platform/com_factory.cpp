#include "kitbase/platform/com_factory.h"

#include <mutex>
#include <utility>
#include <vector>

#include "kitbase/platform/format.h"
#include "kitbase/platform/security_center.h"
#include "kitbase/platform/winsock_com.h"

namespace {

struct ComClass {
    CLSID clsid;
    kitbase::ComClassMaker maker;
};

std::vector<ComClass> builtInClasses() {
    return {ComClass{CLSID_WscIsv, &kitbase::makeWscIsvObject}};
}

std::mutex& classesLock() {
    static std::mutex lock;
    return lock;
}

std::vector<ComClass>& classes() {
    static std::vector<ComClass> list = builtInClasses();
    return list;
}

}  // namespace

HRESULT CoCreateInstance(const CLSID& clsid, IUnknown* outer, DWORD context, const IID& iid, void** out) {
    if (!out)
        return E_POINTER;
    *out = nullptr;
    if (outer)
        return CLASS_E_NOAGGREGATION;
    if (!(context & CLSCTX_INPROC_SERVER))
        return REGDB_E_CLASSNOTREG;
    if (kitbase::comInitializations() <= 0)
        return CO_E_NOTINITIALIZED;
    kitbase::ComClassMaker maker;
    {
        std::lock_guard<std::mutex> guard(classesLock());
        for (const ComClass& c : classes()) {
            if (c.clsid == clsid) {
                maker = c.maker;
                break;
            }
        }
    }
    if (!maker)
        return REGDB_E_CLASSNOTREG;
    // The maker runs outside the lock: it may take its time or create objects itself.
    HRESULT hr = maker(iid, out);
    if (FAILED(hr))
        *out = nullptr;
    return hr;
}

namespace kitbase {

void registerComClass(const CLSID& clsid, ComClassMaker maker) {
    std::lock_guard<std::mutex> guard(classesLock());
    for (ComClass& c : classes()) {
        if (c.clsid == clsid) {
            c.maker = std::move(maker);
            return;
        }
    }
    classes().push_back(ComClass{clsid, std::move(maker)});
}

bool unregisterComClass(const CLSID& clsid) {
    std::lock_guard<std::mutex> guard(classesLock());
    auto& list = classes();
    for (auto it = list.begin(); it != list.end(); ++it) {
        if (it->clsid == clsid) {
            list.erase(it);
            return true;
        }
    }
    return false;
}

void restoreComClasses() {
    std::lock_guard<std::mutex> guard(classesLock());
    classes() = builtInClasses();
}

std::wstring guidToString(const GUID& g) {
    return wformat(L"{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1, g.Data2, g.Data3,
                   g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6],
                   g.Data4[7]);
}

}  // namespace kitbase
