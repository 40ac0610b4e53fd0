#pragma once
// WSCComm: the one object through which the service tells Security Center that it is
// the machine's anti-malware product and whether its protection is on. It picks the
// back end by the Windows version (PostRS5WSCComm from Windows 10 build 18323 on,
// PreRS5WSCComm before), registers the remediation program, and turns each status
// report into one status call and up to three substatus calls. On a server every
// operation is a logged no-op answering S_OK.
//
// Several threads use the one instance at once (the registration at start, the
// scanner's on-access start and stop, the engine update): the flags are atomic, a
// back end is published before the link counts as initialised and stays alive for
// every call that is using it, and no lock is held across a back-end call, so a
// status report made while a registration waits on pending answers gets E_PENDING.
#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "kitbase/export.h"
#include "kitbase/platform/wintypes.h"
#include "kitbase/services/wsc_comm_base.h"

class KITBASE_API WSCComm {
public:
    WSCComm();
    virtual ~WSCComm();
    WSCComm(const WSCComm&) = delete;
    WSCComm& operator=(const WSCComm&) = delete;

    // The process-wide instance, made on first use (thread-safe) and destroyed at exit.
    static WSCComm& instance();

    HRESULT initialize(unsigned int flags);
    // A null argument keeps the remembered text.
    HRESULT register_remediation(const wchar_t* path, const wchar_t* name, const wchar_t* folder);
    HRESULT unregister_remediation();
    // settingsOk 1: the settings need no action.
    HRESULT update_status(WSC_SECURITY_PRODUCT_STATE state, int settingsOk);
    // Lets the administration tool register (or, for OFF, unregister) the product, once
    // per process; the shell-start result (above 32 when started), or 0 after the first.
    HRESULT update_status_external(WSC_SECURITY_PRODUCT_STATE state);
    HRESULT update_settings_substatus(WSC_SECURITY_PRODUCT_SUBSTATUS substatus);
    HRESULT update_scan_substatus(WSC_SECURITY_PRODUCT_SUBSTATUS substatus);
    HRESULT update_protection_substatus(WSC_SECURITY_PRODUCT_SUBSTATUS substatus);

    virtual std::wstring className();

    // Deletes a "WSCSync" value left by an earlier run, so that the first OFF or
    // SNOOZED report of this run is passed on. The service calls it when it starts.
    static void clearStaleSync();

    bool isInitialized() const { return initialised_.load(); }

private:
    virtual void cleanup();

    std::shared_ptr<WSCCommBase> backEnd() const;
    bool ready(const wchar_t* function, std::shared_ptr<WSCCommBase>& backEnd) const;

    mutable std::mutex textsLock_;
    std::wstring remediationPath_;
    std::wstring remediationName_;
    std::wstring remediationFolder_;
    std::atomic<bool> initialised_{false};
    std::atomic<std::shared_ptr<WSCCommBase>> backEnd_;
};
