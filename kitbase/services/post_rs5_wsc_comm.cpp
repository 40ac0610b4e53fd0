#include "kitbase/services/post_rs5_wsc_comm.h"

#include <cstring>

#include "kitbase/core/folders.h"
#include "kitbase/core/strings.h"
#include "kitbase/core/trace.h"
#include "kitbase/platform/module_symbol.h"
#include "kitbase/platform/string_table.h"
#include "kitbase/platform/winerror.h"

namespace {

wchar_t* copyText(const std::wstring& text) {
    wchar_t* copy = new wchar_t[text.size() + 1];
    std::wmemcpy(copy, text.c_str(), text.size() + 1);
    return copy;
}

// Runs one call into the library: what the library throws becomes E_FAIL, after the
// record when one is given.
template <class Call>
HRESULT guarded(const wchar_t* failure, Call call) {
    try {
        return static_cast<HRESULT>(call());
    } catch (...) {
        if (failure)
            __trace__.error(L"%ls", failure);
        return E_FAIL;
    }
}

constexpr const wchar_t* kUpdateFailure = L"Unexpected error update_status.";

}  // namespace

PostRS5WSCComm::PostRS5WSCComm() {
    // The client names itself by the program it runs in.
    record_.path = copyText(getThisBinaryPath(nullptr));
}

PostRS5WSCComm::~PostRS5WSCComm() {
    cleanup();
    libraryPath_.clear();
}

void PostRS5WSCComm::cleanup() {
    if (module_) {
        kitbase::freeModule(module_);
        module_ = nullptr;
    }
    delete[] record_.path;
    record_.path = nullptr;
    setActive(false);
}

void PostRS5WSCComm::logCallback(int level, const wchar_t* text, void* /*context*/) {
    if (!text)
        return;
    switch (level) {
        case 0:
            __trace__.debug(L"PostRS5WSCComm: %ls", text);
            break;
        case 1:
            __trace__.info(L"PostRS5WSCComm: %ls", text);
            break;
        case 2:
            __trace__.error(L"PostRS5WSCComm: %ls", text);
            break;
        default:
            break;
    }
}

HRESULT PostRS5WSCComm::initialize(unsigned int flags) {
    // A second initialisation starts afresh instead of leaking the first load.
    if (module_)
        cleanup();
    libraryPath_ = createPath(getScannerPath(), L"vrnwsccomm.dll");
    module_ = kitbase::loadModule(WS2S(libraryPath_));
    if (!module_) {
        const DWORD code = GetLastError();
        __trace__.error(L"Failed to load library %ls, error: %lu", libraryPath_, code);
        return static_cast<HRESULT>(code);
    }
    struct Entry {
        const char* name;
        void** slot;
        kitbase::WFormat failure;
    };
    const Entry entries[] = {
        {"VRNWSC_set_log_callback", reinterpret_cast<void**>(&setLogCallback_),
         L"Failed to load function \"set_log_callback\", error: %lu"},
        {"VRNWSC_prepare_uninstall", reinterpret_cast<void**>(&prepareUninstall_),
         L"Failed to load function \"VRNWSC_prepare_uninstall\", error: %lu"},
        {"VRNWSC_shutdown_protected_service", reinterpret_cast<void**>(&shutdownProtectedService_),
         L"Failed to load function \"VRNWSC_shutdown_protected_service\", error: %lu"},
        {"VRNWSC_register_remediation", reinterpret_cast<void**>(&registerRemediation_),
         L"Failed to load function \"VRNWSC_register_remediation\", error: %lu"},
        {"VRNWSC_unregister_remediation", reinterpret_cast<void**>(&unregisterRemediation_),
         L"Failed to load function \"VRNWSC_unregister_remediation\", error: %lu"},
        {"VRNWSC_update_status", reinterpret_cast<void**>(&updateStatus_),
         L"Failed to load function \"VRNWSC_update_status\", error: %lu"},
        {"VRNWSC_authenticate", reinterpret_cast<void**>(&authenticate_),
         L"Failed to load function \"VRNWSC_authenticate\", error: %lu"},
        {"VRNWSC_update_protection_update_substatus", reinterpret_cast<void**>(&updateProtectionSubstatus_),
         L"Failed to load function \"VRNWSC_update_protection_update_substatus\", error: %lu\n"},
        {"VRNWSC_update_scan_substatus", reinterpret_cast<void**>(&updateScanSubstatus_),
         L"Failed to load function \"VRNWSC_update_scan_substatus\", error: %lu\n"},
        {"VRNWSC_update_settings_substatus", reinterpret_cast<void**>(&updateSettingsSubstatus_),
         L"Failed to load function \"VRNWSC_update_settings_substatus\", error: %lu\n"},
    };
    for (const Entry& entry : entries) {
        *entry.slot = kitbase::moduleSymbol(module_, entry.name);
        if (!*entry.slot) {
            const DWORD code = GetLastError();
            __trace__.error(entry.failure, code);
            cleanup();
            return static_cast<HRESULT>(code);
        }
    }
    setFlags(flags);
    record_.productId = flags;
    if (!record_.path)
        record_.path = copyText(getThisBinaryPath(nullptr));
    guarded(nullptr, [&] { return setLogCallback_(&PostRS5WSCComm::logCallback, 0, this); });
    HRESULT hr = authenticate();
    if (hr != S_OK) {
        cleanup();
        return hr;
    }
    setActive(true);
    return S_OK;
}

HRESULT PostRS5WSCComm::authenticate() {
    HRESULT hr = E_FAIL;
    try {
        hr = static_cast<HRESULT>(authenticate_(&record_));
    } catch (...) {
        __trace__.error(L"Unexpected error when initializing");
        return E_FAIL;
    }
    if (hr == 0)
        __trace__.debug(L"Authentication of the client to use WSC was successful");
    else
        __trace__.error(L"Cannot authenticate client to use WSC: Code %x", hr);
    return hr;
}

HRESULT PostRS5WSCComm::register_remediation(const wchar_t* path, const wchar_t* name,
                                             const wchar_t* folder) {
    if (!isActive())
        return E_FAIL;
    return guarded(L"Unexpected error registering remediation.",
                   [&] { return registerRemediation_(path, name, folder); });
}

HRESULT PostRS5WSCComm::update_status(WSC_SECURITY_PRODUCT_STATE state, int settingsOk) {
    if (!isActive())
        return E_FAIL;
    return guarded(kUpdateFailure, [&] { return updateStatus_(static_cast<int>(state), settingsOk); });
}

HRESULT PostRS5WSCComm::update_settings_substatus(WSC_SECURITY_PRODUCT_SUBSTATUS substatus) {
    if (!isActive())
        return E_FAIL;
    return guarded(kUpdateFailure, [&] { return updateSettingsSubstatus_(static_cast<int>(substatus)); });
}

HRESULT PostRS5WSCComm::update_scan_substatus(WSC_SECURITY_PRODUCT_SUBSTATUS substatus) {
    if (!isActive())
        return E_FAIL;
    return guarded(kUpdateFailure, [&] { return updateScanSubstatus_(static_cast<int>(substatus)); });
}

HRESULT PostRS5WSCComm::update_protection_substatus(WSC_SECURITY_PRODUCT_SUBSTATUS substatus) {
    if (!isActive())
        return E_FAIL;
    return guarded(kUpdateFailure, [&] { return updateProtectionSubstatus_(static_cast<int>(substatus)); });
}

HRESULT PostRS5WSCComm::prepare_uninstall() {
    if (!isActive())
        return E_FAIL;
    return guarded(nullptr, [&] { return prepareUninstall_(); });
}

HRESULT PostRS5WSCComm::shutdown_protected_service() {
    if (!isActive())
        return E_FAIL;
    return guarded(nullptr, [&] { return shutdownProtectedService_(); });
}

HRESULT PostRS5WSCComm::unregister_remediation() {
    if (!isActive())
        return E_FAIL;
    HRESULT hr = update_status(WSC_SECURITY_PRODUCT_STATE_OFF, 1);
    if (hr != S_OK)
        __trace__.debug(L"Error PostRS5WSCComm::unregister_remediation returned %x", hr);
    hr = guarded(nullptr, [&] { return unregisterRemediation_(); });
    if (hr != S_OK)
        __trace__.debug(L"Error PostRS5WSCComm::unregister_remediation returned %x", hr);
    hr = prepare_uninstall();
    if (hr != S_OK)
        __trace__.debug(L"Error PostRS5WSCComm::prepare_uninstall returned %x", hr);
    hr = shutdown_protected_service();
    if (hr != S_OK)
        __trace__.debug(L"Error PostRS5WSCComm::shutdown_protected_service returned %x", hr);
    return hr;
}
