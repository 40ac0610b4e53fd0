#pragma once
// The stand-in for Windows Security Center. The machine's Security Center state is
// one small text file under the machine root (ProgramData/SecurityCenter/state.ini):
// sections of key=value lines, "[antivirus]", "[antispyware]", "[remediation]",
// "[defender]" and one per product tool, written by whoever plays a part of Security
// Center here (the ISV object below, the product's library "vrnwsccomm.dll", the
// Defender client "mpclient.dll", the tools "shieldclerk.exe" and "statusmith.exe").
// Every change is one read-modify-write under an exclusive lock on the file's lock
// file and replaces the file in one rename, so several threads and processes may
// write at once and a reader never sees half a file.
//
// The ISV object (class CLSID_WscIsv) offers the anti-virus status interface, its
// substatus extension and the anti-spyware status interface; each call records the
// registration, the state or the substatus in the state file.
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "kitbase/export.h"
#include "kitbase/platform/com_factory.h"
#include "kitbase/platform/wintypes.h"

// Security Center's ISV object and its interfaces.
constexpr CLSID CLSID_WscIsv = {0xF2102C37, 0x90C3, 0x450C, {0xB3, 0xF6, 0x92, 0xBE, 0x16, 0x93, 0xBD, 0xF2}};
constexpr IID IID_IWscAVStatus = {
    0x3901A765, 0xAB91, 0x4BA9, {0xA5, 0x53, 0x5B, 0x85, 0x38, 0xDE, 0xB8, 0x40}};
constexpr IID IID_IWscAVStatus4 = {
    0x4DCBAFAC, 0x29BA, 0x46B1, {0x80, 0xFC, 0xB8, 0xBD, 0xE3, 0xC0, 0xAE, 0x4D}};
constexpr IID IID_IWscASStatus = {
    0x024E9756, 0xBA6C, 0x4AD1, {0x83, 0x21, 0x87, 0xBA, 0xE7, 0x8F, 0xD0, 0xE3}};

// The anti-virus status interface (slots 3 to 5).
struct IWscAVStatus : IUnknown {
    virtual HRESULT Register(const wchar_t* path, const wchar_t* name, BOOL first, BOOL second) = 0;
    virtual HRESULT Unregister() = 0;
    virtual HRESULT UpdateStatus(int state, BOOL upToDate) = 0;

protected:
    ~IWscAVStatus() = default;
};

// The substatus interface: the anti-virus status calls, four further calls the
// product does not use (slots 6 to 9), then the substatus calls (slots 10 to 12).
struct IWscAVStatus4 : IWscAVStatus {
    virtual HRESULT InitiateOfflineCleaning(const wchar_t* path, const wchar_t* name) = 0;
    virtual HRESULT NotifyUserForNearExpiration(DWORD remainingDays) = 0;
    virtual HRESULT UpdateThreatStatus(int status) = 0;
    virtual HRESULT UpdateProtectionUpdateTime(ULONGLONG time) = 0;
    virtual HRESULT UpdateScanSubstatus(int substatus) = 0;
    virtual HRESULT UpdateSettingsSubstatus(int substatus) = 0;
    virtual HRESULT UpdateProtectionUpdateSubstatus(int substatus) = 0;

protected:
    ~IWscAVStatus4() = default;
};

// The anti-spyware status interface (slots 3 to 5).
struct IWscASStatus : IUnknown {
    virtual HRESULT Register(const wchar_t* path, const wchar_t* name, BOOL first, BOOL second) = 0;
    virtual HRESULT Unregister() = 0;
    virtual HRESULT UpdateStatus(int state, BOOL upToDate) = 0;

protected:
    ~IWscASStatus() = default;
};

namespace kitbase {

using SecurityCenterValues = std::vector<std::pair<std::string, std::string>>;
using SecurityCenterSections = std::map<std::string, std::map<std::string, std::string>>;

// The state file and its lock file.
KITBASE_API std::string securityCenterStatePath();
// Sets the values of one section (creating it); false when the file cannot be written.
KITBASE_API bool setSecurityCenterValues(const std::string& section, const SecurityCenterValues& values);
// Adds 1 to a numeric value of a section (a missing value counts as 0); the new count,
// or -1 when the file cannot be written.
KITBASE_API long long countSecurityCenterValue(const std::string& section, const std::string& key);
// Every section as read now (empty when there is no file).
KITBASE_API SecurityCenterSections readSecurityCenterState();
// One value; empty when missing.
KITBASE_API std::string securityCenterValue(const std::string& section, const std::string& key);

// Texts recorded for states and substates ("on", "off", "snoozed", "expired";
// "not_set", "no_action", "action_recommended", "action_needed"); the number for others.
KITBASE_API std::string securityCenterStateName(int state);
KITBASE_API std::string securityCenterSubstatusName(int substatus);

// Makes a new ISV object (the built-in maker of CLSID_WscIsv).
KITBASE_API HRESULT makeWscIsvObject(const IID& iid, void** out);

}  // namespace kitbase
