#include "kitbase/services/wsc_comm.h"

#include "kitbase/core/folders.h"
#include "kitbase/core/registry.h"
#include "kitbase/core/sysinfo.h"
#include "kitbase/core/trace.h"
#include "kitbase/core/wsa_com.h"
#include "kitbase/platform/shell_api.h"
#include "kitbase/services/post_rs5_wsc_comm.h"
#include "kitbase/services/pre_rs5_wsc_comm.h"

namespace {

constexpr const wchar_t* kSyncValue = L"WSCSync";

// Set by the first update_status_external of the process and never cleared.
std::atomic<bool> g_externalStatusSent{false};

// Texts that may be null are never handed to a text conversion as null.
const wchar_t* printable(const wchar_t* text) {
    return text ? text : L"(null)";
}

std::wstring errorText(HRESULT hr) {
    return tgetErrorString(static_cast<DWORD>(hr));
}

bool onServer(const wchar_t* function) {
    if (!isServer())
        return false;
    __trace__.debug(L"%ls: WSC doesn't work on Server OS", function);
    return true;
}

}  // namespace

WSCComm::WSCComm() = default;

WSCComm::~WSCComm() {
    cleanup();
}

WSCComm& WSCComm::instance() {
    static WSCComm comm;
    return comm;
}

std::wstring WSCComm::className() {
    return L"WSC";
}

std::shared_ptr<WSCCommBase> WSCComm::backEnd() const {
    return backEnd_.load();
}

bool WSCComm::ready(const wchar_t* /*function*/, std::shared_ptr<WSCCommBase>& backEnd) const {
    backEnd = backEnd_.load();
    if (!backEnd || !initialised_.load()) {
        __trace__.error(L"WSC communication is not initialized");
        return false;
    }
    return true;
}

void WSCComm::clearStaleSync() {
    if (getIRegValue(kSyncValue) != -1)
        delRegValue(kSyncValue);
}

HRESULT WSCComm::initialize(unsigned int flags) {
    if (onServer(L"WSCComm::initialize"))
        return S_OK;
    if (initialised_.load())
        return S_OK;
    std::shared_ptr<WSCCommBase> made;
    if (IsWindows10RS5AndAbove()) {
        __trace__.info(L"Initializing system for versions newer than Windows 10 RS6");
        backEnd_.store(nullptr);
        made = std::make_shared<PostRS5WSCComm>();
    } else {
        __trace__.info(L"Initializing system for versions before Windows 10 RS6");
        backEnd_.store(nullptr);
        made = std::make_shared<PreRS5WSCComm>();
    }
    if (!made)
        return E_FAIL;
    // Any result but S_OK is a failure: a raw system error code (126, 127, ...) is positive.
    HRESULT hr = made->initialize(flags);
    if (hr != S_OK) {
        __trace__.error(L"Error initializing WSCComm: %x - %ls", hr, errorText(hr));
        return hr;
    }
    __trace__.debug(L"Successfully initialized WSCComm");
    // The back end is published before the link counts as initialised.
    backEnd_.store(made);
    initialised_.store(true);
    return S_OK;
}

HRESULT WSCComm::register_remediation(const wchar_t* path, const wchar_t* name, const wchar_t* folder) {
    if (onServer(L"WSCComm::register_remediation"))
        return S_OK;
    std::shared_ptr<WSCCommBase> back;
    if (!ready(L"WSCComm::register_remediation", back))
        return E_FAIL;
    std::wstring rPath, rName, rFolder;
    {
        std::lock_guard<std::mutex> guard(textsLock_);
        if (path)
            remediationPath_ = path;
        if (name)
            remediationName_ = name;
        if (folder)
            remediationFolder_ = folder;
        rPath = remediationPath_;
        rName = remediationName_;
        rFolder = remediationFolder_;
    }
    __trace__.info(L"Registering remediation program:\n\tPath:%ls\n\tName:%ls\n\tFolder:%ls", rPath, rName,
                   rFolder);
    COMInit com;
    HRESULT hr = back->register_remediation(rPath.c_str(), rName.c_str(), rFolder.c_str());
    if (hr == S_OK) {
        __trace__.info(L"\nRegistration is successfull for %ls", printable(path));
        __trace__.debug(L"Successfully registered remediation program. Now setting status ON");
        hr = back->update_status(WSC_SECURITY_PRODUCT_STATE_ON, 1);
        if (hr != S_OK)
            return hr;
        if (IsWindows7() || com.shouldNotRun)
            return S_OK;
        __trace__.debug(L"Successfully updated status. Now setting substatus to NO_ACTION");
        back->update_settings_substatus(WSC_SECURITY_PRODUCT_SUBSTATUS_NO_ACTION);
        back->update_scan_substatus(WSC_SECURITY_PRODUCT_SUBSTATUS_NO_ACTION);
        back->update_protection_substatus(WSC_SECURITY_PRODUCT_SUBSTATUS_NO_ACTION);
        return S_OK;
    }
    if (hr == E_PENDING)
        __trace__.warning(L"Still Pending register the remediation program: %x - %ls", hr, errorText(hr));
    else if (FAILED(hr))
        __trace__.error(L"Cannot register the remediation program: %x - %ls", hr, errorText(hr));
    __trace__.error(L"Register remediation returned an error: %x - %ls", hr, errorText(hr));
    initialised_.store(false);
    return hr;
}

HRESULT WSCComm::unregister_remediation() {
    if (onServer(L"WSCComm::unregister_remediation"))
        return S_OK;
    std::shared_ptr<WSCCommBase> back;
    if (!ready(L"WSCComm::unregister_remediation", back))
        return E_FAIL;
    COMInit com;
    HRESULT hr = back->unregister_remediation();
    if (hr == S_OK)
        return S_OK;
    __trace__.error(L"UnRegister remediation returned: %x - %ls", hr, errorText(hr));
    return E_FAIL;
}

HRESULT WSCComm::update_status(WSC_SECURITY_PRODUCT_STATE state, int settingsOk) {
    if (onServer(L"WSCComm::update_status"))
        return S_OK;
    std::shared_ptr<WSCCommBase> back = backEnd_.load();
    if (!back || !initialised_.load()) {
        __trace__.error(
            L"WSC communication is not initialized. Will retry again to register with the previous values");
        return register_remediation(nullptr, nullptr, nullptr);
    }
    COMInit com;
    if ((state == WSC_SECURITY_PRODUCT_STATE_OFF || state == WSC_SECURITY_PRODUCT_STATE_SNOOZED) &&
        getIRegValue(kSyncValue) == 0) {
        __trace__.debug(L"WSC Sync not required due to restart.");
        delRegValue(kSyncValue);
        return S_OK;
    }
    __trace__.debug(L"Updating WSC status to %d", static_cast<int>(state));
    HRESULT hr = back->update_status(state, settingsOk);
    if (hr == S_OK && IsWindows7())
        return S_OK;
    if (hr == S_OK) {
        __trace__.debug(L"Successfully updated WSC status. Now setting substatus to NO_ACTION");
        const WSC_SECURITY_PRODUCT_SUBSTATUS settings = settingsOk == 1
                                                            ? WSC_SECURITY_PRODUCT_SUBSTATUS_NO_ACTION
                                                            : WSC_SECURITY_PRODUCT_SUBSTATUS_ACTION_NEEDED;
        if (back->update_settings_substatus(settings) != S_OK)
            return S_OK;
        __trace__.debug(L"Successfully updated substatus to %d", static_cast<int>(settings));
        if (back->update_scan_substatus(WSC_SECURITY_PRODUCT_SUBSTATUS_NO_ACTION) == S_OK)
            __trace__.debug(L"Successfully updated scan_substatus to NO_ACTION");
        if (back->update_protection_substatus(WSC_SECURITY_PRODUCT_SUBSTATUS_NO_ACTION) == S_OK)
            __trace__.debug(L"Successfully updated protection_substatus to NO_ACTION");
        return S_OK;
    }
    __trace__.error(L"Update WSC Status returned: %x - %ls", hr, errorText(hr));
    return hr;
}

HRESULT WSCComm::update_status_external(WSC_SECURITY_PRODUCT_STATE state) {
    COMInit com;
    if (onServer(L"WSCComm::update_status_external"))
        return S_OK;
    // exchange: exactly one caller of the process starts the tool.
    if (g_externalStatusSent.exchange(true))
        return S_OK;
    __trace__.debug(L"Updating status to %d", static_cast<int>(state));
    const wchar_t* parameters = state == WSC_SECURITY_PRODUCT_STATE_OFF ? L"unregister" : L"register";
    HINSTANCE started = ShellExecuteW(nullptr, L"open", getShieldclerk().c_str(), parameters,
                                      getWorkingPath().c_str(), SW_HIDE);
    const HRESULT result = static_cast<HRESULT>(reinterpret_cast<intptr_t>(started));
    if (result < 32)
        __trace__.debug(L"Error code : %d", result);
    __trace__.debug(L"update_status returned: %x - %ls", result, errorText(result));
    return result;
}

HRESULT WSCComm::update_settings_substatus(WSC_SECURITY_PRODUCT_SUBSTATUS substatus) {
    if (onServer(L"WSCComm::update_settings_substatus"))
        return S_OK;
    std::shared_ptr<WSCCommBase> back;
    if (!ready(L"WSCComm::update_settings_substatus", back))
        return E_FAIL;
    __trace__.debug(L"Updating substatus to %d", static_cast<int>(substatus));
    HRESULT hr = back->update_settings_substatus(substatus);
    if (hr != S_OK)
        __trace__.error(L"update_settings_substatus returned: %x - %ls", hr, errorText(hr));
    return hr;
}

HRESULT WSCComm::update_scan_substatus(WSC_SECURITY_PRODUCT_SUBSTATUS substatus) {
    if (onServer(L"WSCComm::update_scan_substatus"))
        return S_OK;
    std::shared_ptr<WSCCommBase> back;
    if (!ready(L"WSCComm::update_scan_substatus", back))
        return E_FAIL;
    __trace__.debug(L"Updating substatus to %d", static_cast<int>(substatus));
    HRESULT hr = back->update_scan_substatus(substatus);
    if (hr != S_OK)
        __trace__.error(L"update_scan_substatus returned: %x - %ls", hr, errorText(hr));
    return hr;
}

HRESULT WSCComm::update_protection_substatus(WSC_SECURITY_PRODUCT_SUBSTATUS substatus) {
    if (onServer(L"WSCComm::update_protection_substatus"))
        return S_OK;
    std::shared_ptr<WSCCommBase> back;
    if (!ready(L"WSCComm::update_protection_substatus", back))
        return E_FAIL;
    __trace__.debug(L"Updating substatus to %d", static_cast<int>(substatus));
    HRESULT hr = back->update_protection_substatus(substatus);
    if (hr != S_OK)
        __trace__.error(L"update_protection_substatus returned: %x - %ls", hr, errorText(hr));
    return hr;
}

void WSCComm::cleanup() {
    std::shared_ptr<WSCCommBase> back = backEnd_.load();
    if (initialised_.load() && back) {
        __trace__.debug(L"WSCComm : Cleaning up");
        backEnd_.store(nullptr);
        initialised_.store(false);
    }
}
