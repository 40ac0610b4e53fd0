#pragma once
// PostRS5WSCComm: the Security Center back end from Windows 10 build 18323 on. A thin
// bridge to the product's Security Center library "vrnwsccomm.dll" in the scanner
// folder, loaded at run time; its ten VRNWSC_* functions are looked up by name, the
// client authenticates with a small record, and every call into the library is
// guarded: whatever it throws becomes E_FAIL.
#include <cstdint>
#include <string>

#include "kitbase/export.h"
#include "kitbase/services/wsc_comm_base.h"

extern "C" {
// The library's side of the boundary: every function answers a 32-bit HRESULT.
typedef void (*VRNWSC_LOG_CALLBACK)(int level, const wchar_t* text, void* context);
typedef int32_t (*VRNWSC_SET_LOG_CALLBACK)(VRNWSC_LOG_CALLBACK callback, int reserved, void* context);
typedef int32_t (*VRNWSC_NO_ARGUMENTS)();
typedef int32_t (*VRNWSC_REGISTER_REMEDIATION)(const wchar_t* path, const wchar_t* name,
                                               const wchar_t* folder);
typedef int32_t (*VRNWSC_UPDATE_STATUS)(int state, int settingsOk);
typedef int32_t (*VRNWSC_UPDATE_SUBSTATUS)(int substatus);

// The authentication record handed by address to VRNWSC_authenticate: natural
// alignment, a pointer-sized path field.
struct VRNWSC_AUTH_RECORD {
    uint32_t version;    // 1
    uint32_t reserved;   // 0
    uint32_t productId;  // the flags given to initialize
    const wchar_t* path;
};
typedef int32_t (*VRNWSC_AUTHENTICATE)(const VRNWSC_AUTH_RECORD* record);
}

class KITBASE_API PostRS5WSCComm : public WSCCommBase {
public:
    PostRS5WSCComm();
    ~PostRS5WSCComm() override;

    HRESULT update_settings_substatus(WSC_SECURITY_PRODUCT_SUBSTATUS substatus) override;
    HRESULT update_scan_substatus(WSC_SECURITY_PRODUCT_SUBSTATUS substatus) override;
    HRESULT update_protection_substatus(WSC_SECURITY_PRODUCT_SUBSTATUS substatus) override;
    HRESULT register_remediation(const wchar_t* path, const wchar_t* name, const wchar_t* folder) override;
    HRESULT unregister_remediation() override;
    HRESULT update_status(WSC_SECURITY_PRODUCT_STATE state, int settingsOk) override;
    HRESULT initialize(unsigned int flags) override;
    void cleanup() override;

    const std::wstring& libraryPath() const { return libraryPath_; }

private:
    HRESULT authenticate();
    HRESULT prepare_uninstall();
    HRESULT shutdown_protected_service();
    static void logCallback(int level, const wchar_t* text, void* context);

    VRNWSC_SET_LOG_CALLBACK setLogCallback_ = nullptr;
    VRNWSC_NO_ARGUMENTS prepareUninstall_ = nullptr;
    VRNWSC_NO_ARGUMENTS shutdownProtectedService_ = nullptr;
    VRNWSC_REGISTER_REMEDIATION registerRemediation_ = nullptr;
    VRNWSC_NO_ARGUMENTS unregisterRemediation_ = nullptr;
    VRNWSC_UPDATE_STATUS updateStatus_ = nullptr;
    VRNWSC_AUTHENTICATE authenticate_ = nullptr;
    VRNWSC_UPDATE_SUBSTATUS updateProtectionSubstatus_ = nullptr;
    VRNWSC_UPDATE_SUBSTATUS updateScanSubstatus_ = nullptr;
    VRNWSC_UPDATE_SUBSTATUS updateSettingsSubstatus_ = nullptr;
    VRNWSC_AUTH_RECORD record_{1, 0, 0, nullptr};
    HMODULE module_ = nullptr;
    std::wstring libraryPath_;
};
