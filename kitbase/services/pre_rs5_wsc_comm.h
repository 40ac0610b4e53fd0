#pragma once
// PreRS5WSCComm: the Security Center back end before Windows 10 build 18323. Talks to
// Security Center's ISV object through the platform's object factory, creating it
// anew for every operation; registers the product as anti-virus and, before Windows
// 10, as anti-spyware; on Windows 7 switches Defender off at registration and on
// again at unregistration. A registration answered "pending" is retried up to 60
// times, 5 seconds apart; status reports made meanwhile answer E_PENDING.
#include <atomic>
#include <functional>
#include <string>

#include "kitbase/export.h"
#include "kitbase/platform/wintypes.h"
#include "kitbase/services/wsc_comm_base.h"

class KITBASE_API PreRS5WSCComm : public WSCCommBase {
public:
    PreRS5WSCComm() = default;
    ~PreRS5WSCComm() override;

    HRESULT update_settings_substatus(WSC_SECURITY_PRODUCT_SUBSTATUS substatus) override;
    HRESULT update_scan_substatus(WSC_SECURITY_PRODUCT_SUBSTATUS substatus) override;
    HRESULT update_protection_substatus(WSC_SECURITY_PRODUCT_SUBSTATUS substatus) override;
    HRESULT register_remediation(const wchar_t* path, const wchar_t* name, const wchar_t* folder) override;
    HRESULT unregister_remediation() override;
    HRESULT update_status(WSC_SECURITY_PRODUCT_STATE state, int settingsOk) override;
    HRESULT initialize(unsigned int flags) override;
    void cleanup() override;

    bool isPending() const { return pending_.load(); }

    // Attempts at a pending registration and the wait after each pending answer.
    static constexpr int kPendingAttempts = 60;
    static constexpr DWORD kPendingWaitMs = 5000;
    // Tests only: replaces the wait between pending attempts (empty: the real sleep).
    static void setSleepFunction(std::function<void(DWORD)> sleep);

private:
    HRESULT RegisterAntiSpyware(const std::wstring& name, const std::wstring& path);
    HRESULT UpdateAntiSpywareStatus(WSC_SECURITY_PRODUCT_STATE state, bool upToDate);
    HRESULT UninstallAntiSpyware();
    HRESULT MyWDEnable(int enable);
    HRESULT updateSubstatus(int which, WSC_SECURITY_PRODUCT_SUBSTATUS substatus);

    std::atomic<bool> pending_{false};
};
