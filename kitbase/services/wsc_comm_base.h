#pragma once
// The Security Center back ends' common base: the product states and substates that
// Security Center knows, the remembered registration texts and the interface that
// WSCComm drives. Back ends are made and deleted only by WSCComm.
#include <atomic>
#include <mutex>
#include <string>

#include "kitbase/export.h"
#include "kitbase/platform/wintypes.h"

enum WSC_SECURITY_PRODUCT_STATE : int {
    WSC_SECURITY_PRODUCT_STATE_ON = 0,
    WSC_SECURITY_PRODUCT_STATE_OFF = 1,
    WSC_SECURITY_PRODUCT_STATE_SNOOZED = 2,
    WSC_SECURITY_PRODUCT_STATE_EXPIRED = 3,
};

enum WSC_SECURITY_PRODUCT_SUBSTATUS : int {
    WSC_SECURITY_PRODUCT_SUBSTATUS_NOT_SET = 0,
    WSC_SECURITY_PRODUCT_SUBSTATUS_NO_ACTION = 1,
    WSC_SECURITY_PRODUCT_SUBSTATUS_ACTION_RECOMMENDED = 2,
    WSC_SECURITY_PRODUCT_SUBSTATUS_ACTION_NEEDED = 3,
};

class KITBASE_API WSCCommBase {
public:
    WSCCommBase() = default;
    virtual ~WSCCommBase() = default;
    WSCCommBase(const WSCCommBase&) = delete;
    WSCCommBase& operator=(const WSCCommBase&) = delete;

    virtual HRESULT update_settings_substatus(WSC_SECURITY_PRODUCT_SUBSTATUS substatus) = 0;
    virtual HRESULT update_scan_substatus(WSC_SECURITY_PRODUCT_SUBSTATUS substatus) = 0;
    virtual HRESULT update_protection_substatus(WSC_SECURITY_PRODUCT_SUBSTATUS substatus) = 0;
    virtual HRESULT register_remediation(const wchar_t* path, const wchar_t* name, const wchar_t* folder) = 0;
    virtual HRESULT unregister_remediation() = 0;
    virtual HRESULT update_status(WSC_SECURITY_PRODUCT_STATE state, int settingsOk) = 0;
    virtual HRESULT initialize(unsigned int flags) = 0;
    virtual void cleanup() = 0;

    bool isActive() const { return active_.load(); }
    uint32_t flags() const { return flags_.load(); }

protected:
    struct Texts {
        std::wstring path;
        std::wstring name;
        std::wstring folder;
    };
    // The remembered texts are written by the registering thread and read by threads
    // reporting a status meanwhile: they are copied in and out under their own lock.
    void storeTexts(const wchar_t* path, const wchar_t* name, const wchar_t* folder);
    Texts texts() const;
    void setActive(bool active) { active_.store(active); }
    void setFlags(uint32_t flags) { flags_.store(flags); }

private:
    mutable std::mutex textsLock_;
    std::wstring remediationPath_;
    std::wstring remediationName_;
    std::wstring remediationFolder_;
    std::atomic<bool> active_{false};
    std::atomic<uint32_t> flags_{0};
};
