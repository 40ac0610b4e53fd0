#include "kitbase/services/pre_rs5_wsc_comm.h"

#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>

#include "kitbase/core/folders.h"
#include "kitbase/core/strings.h"
#include "kitbase/core/sysinfo.h"
#include "kitbase/core/trace.h"
#include "kitbase/platform/module_symbol.h"
#include "kitbase/platform/security_center.h"
#include "kitbase/platform/shell_api.h"
#include "kitbase/platform/string_table.h"

namespace {

std::mutex g_sleepLock;
std::function<void(DWORD)> g_sleep;

void pendingSleep(DWORD ms) {
    std::function<void(DWORD)> sleep;
    {
        std::lock_guard<std::mutex> guard(g_sleepLock);
        sleep = g_sleep;
    }
    if (sleep)
        sleep(ms);
    else
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

std::wstring errorText(HRESULT hr) {
    return tgetErrorString(static_cast<DWORD>(hr));
}

// Releases an interface when the scope ends.
template <class T>
class Held {
public:
    Held() = default;
    ~Held() { reset(); }
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;
    void** out() {
        reset();
        return reinterpret_cast<void**>(&p_);
    }
    T* operator->() const { return p_; }
    T* get() const { return p_; }
    void reset() {
        if (p_)
            p_->Release();
        p_ = nullptr;
    }

private:
    T* p_ = nullptr;
};

HRESULT createIsv(Held<IUnknown>& object) {
    return CoCreateInstance(CLSID_WscIsv, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, object.out());
}

typedef HRESULT (*WDEnableFn)(BOOL enable);

}  // namespace

void PreRS5WSCComm::setSleepFunction(std::function<void(DWORD)> sleep) {
    std::lock_guard<std::mutex> guard(g_sleepLock);
    g_sleep = std::move(sleep);
}

PreRS5WSCComm::~PreRS5WSCComm() {
    cleanup();
}

HRESULT PreRS5WSCComm::initialize(unsigned int flags) {
    setFlags(flags);
    return S_OK;
}

void PreRS5WSCComm::cleanup() {
    setActive(false);
}

HRESULT PreRS5WSCComm::register_remediation(const wchar_t* path, const wchar_t* name, const wchar_t* folder) {
    if (isActive())
        return S_OK;
    storeTexts(path, name, folder);
    const Texts stored = texts();
    Held<IUnknown> object;
    HRESULT hr = createIsv(object);
    if (FAILED(hr)) {
        __trace__.error(L"\nCannot call CoCreateInstance to get an object to WSC to register: %x: %ls", hr,
                        errorText(hr));
        return hr;
    }
    pending_.store(false);
    for (int attempt = 1;; ++attempt) {
        Held<IWscAVStatus> status;
        hr = object->QueryInterface(IID_IWscAVStatus, status.out());
        if (FAILED(hr)) {
            __trace__.debug(L"\nCan not query the WSC interface. Code %x - %ls", hr, errorText(hr));
            pending_.store(false);
            return hr;
        }
        __trace__.debug(L"\nRegistering product '%ls' with path '%ls'", stored.name, stored.path);
        hr = status->Register(stored.path.c_str(), stored.name.c_str(), TRUE, TRUE);
        __trace__.debug(L"\nRegistration result: %x: %ls", hr, errorText(hr));
        if (hr == S_OK)
            break;
        if (hr == E_PENDING) {
            __trace__.info(L"Pending register the remediation program: %x - %ls", hr, errorText(hr));
            pending_.store(true);
            pendingSleep(kPendingWaitMs);
        } else if (FAILED(hr)) {
            __trace__.debug(L"Cannot register the remediation program: %x - %ls", hr, errorText(hr));
            pending_.store(false);
            return hr;
        }
        // The interface is released by the end of this pass (success path too).
        if (hr != E_PENDING || attempt >= kPendingAttempts) {
            pending_.store(false);
            return hr;
        }
    }
    __trace__.info(L"\nRegistration is successfull for %ls", stored.path);
    setActive(true);
    pending_.store(false);
    if (!IsWindows10()) {
        if (IsWindows7()) {
            __trace__.debug(L"Calling WDEnable to disable Defender");
            HRESULT r = MyWDEnable(0);
            __trace__.debug(L"Result from WDEnable to control Defender: %x: %ls", r, errorText(r));
            if (r == 0)
                __trace__.info(L"WDEnable successfully executed");
            else if (r == E_NOTIMPL)
                __trace__.debug(L"Defender not available. Result will be ignored : %x: %ls", r, errorText(r));
            else
                __trace__.debug(L"WDEnable error. Result : %x: '%ls'", r, errorText(r));
        }
        hr = RegisterAntiSpyware(stored.name, stored.path);
        if (hr == 0)
            __trace__.info(L"Setting the Antispyware status successfully set");
        else
            __trace__.error(L"WriteAntiSpywareStatus error. Result : %x: %ls", hr, errorText(hr));
    }
    return hr;
}

HRESULT PreRS5WSCComm::update_status(WSC_SECURITY_PRODUCT_STATE state, int settingsOk) {
    if (!isActive()) {
        if (pending_.load())
            return E_PENDING;
        const Texts stored = texts();
        if (register_remediation(stored.path.c_str(), stored.name.c_str(), stored.folder.c_str()) != S_OK)
            return E_FAIL;
    }
    Held<IUnknown> object;
    HRESULT hr = createIsv(object);
    if (FAILED(hr)) {
        __trace__.debug(L"\nCannot call CoCreateInstance to get an object to WSC to update status: %x: %ls",
                        hr, errorText(hr));
        return hr;
    }
    Held<IWscAVStatus> status;
    hr = object->QueryInterface(IID_IWscAVStatus, status.out());
    if (FAILED(hr)) {
        __trace__.debug(L"\nCan not query the WSC interface. Code %x - %ls", hr, errorText(hr));
        return hr;
    }
    hr = status->UpdateStatus(static_cast<int>(state), settingsOk);
    __trace__.debug(L"UpdateStatus returned %x - %ls", hr, errorText(hr));
    if (hr == 0 && !IsWindows10()) {
        hr = UpdateAntiSpywareStatus(state, settingsOk != 0);
        if (hr == 0)
            __trace__.info(L"Setting the Antispyware status successfully set");
        else
            __trace__.error(L"WriteAntiSpywareStatus error. Result : %x: %ls", hr, errorText(hr));
    }
    return hr;
}

HRESULT PreRS5WSCComm::unregister_remediation() {
    if (!isActive()) {
        const Texts stored = texts();
        if (register_remediation(stored.path.c_str(), stored.name.c_str(), stored.folder.c_str()) != S_OK)
            return E_FAIL;
    }
    Held<IUnknown> object;
    HRESULT hr = createIsv(object);
    if (FAILED(hr)) {
        __trace__.error(L"\nCannot call CoCreateInstance to get an object to WSC to unregister: %x: %ls", hr,
                        errorText(hr));
        return hr;
    }
    Held<IWscAVStatus> status;
    hr = object->QueryInterface(IID_IWscAVStatus, status.out());
    if (FAILED(hr)) {
        __trace__.debug(L"\nCan not query the WSC interface. Code %x - %ls", hr, errorText(hr));
        return hr;
    }
    status->UpdateStatus(WSC_SECURITY_PRODUCT_STATE_OFF, TRUE);
    hr = status->Unregister();
    __trace__.debug(L"Unregister returned %x - %ls", hr, errorText(hr));
    if (!IsWindows10()) {
        if (IsWindows7()) {
            __trace__.debug(L"Calling WDEnable to enable back Defender");
            HRESULT r = MyWDEnable(1);
            __trace__.debug(L"Result from WDEnable to control Defender: %x: %ls", r, errorText(r));
            if (r == E_NOTIMPL)
                __trace__.debug(L"Result will be ignored : %x: %ls", r, errorText(r));
        }
        hr = UninstallAntiSpyware();
        if (FAILED(hr))
            __trace__.debug(L"UninstallAntiSpyware error. Result : %x: %ls", hr, errorText(hr));
    }
    return hr;
}

// which: 0 settings, 1 scan, 2 protection.
HRESULT PreRS5WSCComm::updateSubstatus(int which, WSC_SECURITY_PRODUCT_SUBSTATUS substatus) {
    if (!isActive())
        return E_FAIL;
    Held<IUnknown> object;
    HRESULT hr = createIsv(object);
    if (FAILED(hr)) {
        __trace__.error(
            L"\nCannot call CoCreateInstance to get an object to WSC to update substatus: %x: %ls", hr,
            errorText(hr));
        return hr;
    }
    Held<IWscAVStatus4> status;
    hr = object->QueryInterface(IID_IWscAVStatus4, status.out());
    if (FAILED(hr)) {
        __trace__.debug(L"\nCan not query the WSC interface. Code %x - %ls", hr, errorText(hr));
        return hr;
    }
    const int value = static_cast<int>(substatus);
    switch (which) {
        case 0:
            hr = status->UpdateSettingsSubstatus(value);
            __trace__.debug(L"UpdateSettingsSubstatus returned %x - %ls", hr, errorText(hr));
            break;
        case 1:
            hr = status->UpdateScanSubstatus(value);
            __trace__.debug(L"UpdateScanSubstatus returned %x - %ls", hr, errorText(hr));
            break;
        default:
            hr = status->UpdateProtectionUpdateSubstatus(value);
            __trace__.debug(L"UpdateProtectionUpdateSubstatus returned %x - %ls", hr, errorText(hr));
            break;
    }
    return hr;
}

HRESULT PreRS5WSCComm::update_settings_substatus(WSC_SECURITY_PRODUCT_SUBSTATUS substatus) {
    return updateSubstatus(0, substatus);
}

HRESULT PreRS5WSCComm::update_scan_substatus(WSC_SECURITY_PRODUCT_SUBSTATUS substatus) {
    return updateSubstatus(1, substatus);
}

HRESULT PreRS5WSCComm::update_protection_substatus(WSC_SECURITY_PRODUCT_SUBSTATUS substatus) {
    return updateSubstatus(2, substatus);
}

HRESULT PreRS5WSCComm::RegisterAntiSpyware(const std::wstring& name, const std::wstring& path) {
    __trace__.info(L"RegisterAntiSpyware");
    Held<IUnknown> object;
    HRESULT hr = createIsv(object);
    if (FAILED(hr)) {
        __trace__.error(L"Unable to create WSC ISV instance");
        return hr;
    }
    Held<IWscASStatus> status;
    hr = object->QueryInterface(IID_IWscASStatus, status.out());
    if (FAILED(hr)) {
        __trace__.error(L"Unable to query WSC anti spyware status interface");
        return hr;
    }
    __trace__.info(L"Registering WSC anti spyware status interface");
    hr = status->Register(path.c_str(), name.c_str(), FALSE, FALSE);
    if (FAILED(hr))
        __trace__.error(L"Unable to register the appliction in WSC");
    else
        __trace__.info(L"Registered the Antispyware application in WSC");
    return hr;
}

HRESULT PreRS5WSCComm::UpdateAntiSpywareStatus(WSC_SECURITY_PRODUCT_STATE state, bool upToDate) {
    __trace__.debug(L"UpdateAntiSpywareStatus");
    Held<IUnknown> object;
    HRESULT hr = createIsv(object);
    if (FAILED(hr)) {
        __trace__.error(L"Unable to create WSC ISV instance");
        return hr;
    }
    __trace__.debug(L"Created WSC ISV instance");
    Held<IWscASStatus> status;
    hr = object->QueryInterface(IID_IWscASStatus, status.out());
    if (FAILED(hr)) {
        __trace__.error(L"Unable to query WSC anti spyware status interface");
        return hr;
    }
    __trace__.debug(L"Queried WSC antispyware status interface");
    hr = status->UpdateStatus(static_cast<int>(state), upToDate ? TRUE : FALSE);
    if (FAILED(hr))
        __trace__.error(L"Unable to update WSC status");
    else
        __trace__.debug(L"Updated the application in WSC");
    return hr;
}

HRESULT PreRS5WSCComm::UninstallAntiSpyware() {
    __trace__.debug(L"UninstallAntiSpyware");
    Held<IUnknown> object;
    HRESULT hr = createIsv(object);
    if (FAILED(hr)) {
        __trace__.error(L"Unable to create WSC ISV instance");
        return hr;
    }
    __trace__.debug(L"Created WSC ISV instance");
    Held<IWscASStatus> status;
    hr = object->QueryInterface(IID_IWscASStatus, status.out());
    if (FAILED(hr)) {
        __trace__.error(L"Unable to query WSC anti spyware status interface");
        return hr;
    }
    __trace__.debug(L"Queried WSC antispyware status interface");
    hr = status->Unregister();
    if (FAILED(hr))
        __trace__.error(L"Unable to unregister antispyware");
    else
        __trace__.debug(L"Unregister antispyware success");
    return hr;
}

HRESULT PreRS5WSCComm::MyWDEnable(int enable) {
    wchar_t folder[MAX_PATH];
    std::wmemset(folder, 0, MAX_PATH);
    SHGetSpecialFolderPathW(nullptr, folder, CSIDL_PROGRAM_FILES, FALSE);
    const std::wstring path = createPath(folder, L"Windows Defender") + L"/mpclient.dll";
    HMODULE module = kitbase::loadModule(WS2S(path));
    if (!module) {
        __trace__.error(L"Cannot load mpclient.dll to stop Defender");
        return E_FAIL;
    }
    HRESULT hr = E_FAIL;
    auto function = reinterpret_cast<WDEnableFn>(kitbase::moduleSymbol(module, "WDEnable"));
    if (function)
        hr = function(enable);
    kitbase::freeModule(module);
    return hr;
}
