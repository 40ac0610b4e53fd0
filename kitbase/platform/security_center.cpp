#include "kitbase/platform/security_center.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "kitbase/platform/roots.h"
#include "kitbase/platform/utf8.h"

namespace {

constexpr HRESULT kNotRegistered = static_cast<HRESULT>(0x80070490u);  // element not found

std::string stateFolder() {
    return kitbase::programDataFolder() + "/SecurityCenter";
}

// An exclusive lock on the state's lock file for one change (threads and processes).
class StateLock {
public:
    StateLock() {
        kitbase::ensureFolder(stateFolder());
        fd_ = ::open((stateFolder() + "/state.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd_ >= 0 && ::flock(fd_, LOCK_EX) != 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~StateLock() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    StateLock(const StateLock&) = delete;
    StateLock& operator=(const StateLock&) = delete;
    bool held() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

kitbase::SecurityCenterSections parse(const std::string& path) {
    kitbase::SecurityCenterSections sections;
    std::ifstream in(path, std::ios::binary);
    std::string line;
    std::string section;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
            section = line.substr(1, line.size() - 2);
            sections[section];
            continue;
        }
        const size_t eq = line.find('=');
        if (eq == std::string::npos || section.empty())
            continue;
        sections[section][line.substr(0, eq)] = line.substr(eq + 1);
    }
    return sections;
}

// Values hold no line ends: they would start a line of their own.
std::string oneLine(const std::string& text) {
    std::string out = text;
    for (char& c : out) {
        if (c == '\n' || c == '\r')
            c = ' ';
    }
    return out;
}

bool write(const std::string& path, const kitbase::SecurityCenterSections& sections) {
    const std::string temp = path + ".tmp";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        if (!out)
            return false;
        for (const auto& [name, values] : sections) {
            out << '[' << name << "]\n";
            for (const auto& [key, value] : values)
                out << key << '=' << oneLine(value) << '\n';
        }
        out.flush();
        if (!out)
            return false;
    }
    return std::rename(temp.c_str(), path.c_str()) == 0;
}

template <class Change>
bool change(Change apply) {
    StateLock lock;
    if (!lock.held())
        return false;
    const std::string path = kitbase::securityCenterStatePath();
    kitbase::SecurityCenterSections sections = parse(path);
    apply(sections);
    return write(path, sections);
}

std::string utf8(const wchar_t* text) {
    return text ? kitbase::wideToUtf8(text) : std::string();
}

// Security Center's ISV object: the anti-virus part (with the substatus calls) and
// the anti-spyware part share one reference count.
class WscIsv {
public:
    class AntiVirus : public IWscAVStatus4 {
    public:
        explicit AntiVirus(WscIsv& owner) : owner_(owner) {}
        HRESULT QueryInterface(const IID& iid, void** out) override { return owner_.query(iid, out); }
        ULONG AddRef() override { return owner_.addRef(); }
        ULONG Release() override { return owner_.release(); }
        HRESULT Register(const wchar_t* path, const wchar_t* name, BOOL, BOOL) override {
            return registerProduct("antivirus", path, name);
        }
        HRESULT Unregister() override { return unregisterProduct("antivirus"); }
        HRESULT UpdateStatus(int state, BOOL upToDate) override {
            return updateProduct("antivirus", "state", kitbase::securityCenterStateName(state), upToDate);
        }
        HRESULT InitiateOfflineCleaning(const wchar_t*, const wchar_t*) override { return E_NOTIMPL; }
        HRESULT NotifyUserForNearExpiration(DWORD) override { return E_NOTIMPL; }
        HRESULT UpdateThreatStatus(int) override { return E_NOTIMPL; }
        HRESULT UpdateProtectionUpdateTime(ULONGLONG) override { return E_NOTIMPL; }
        HRESULT UpdateScanSubstatus(int substatus) override { return substatusOf("scan", substatus); }
        HRESULT UpdateSettingsSubstatus(int substatus) override { return substatusOf("settings", substatus); }
        HRESULT UpdateProtectionUpdateSubstatus(int substatus) override {
            return substatusOf("protection", substatus);
        }

    private:
        HRESULT substatusOf(const char* key, int substatus) {
            return updateProduct("antivirus", key, kitbase::securityCenterSubstatusName(substatus), -1);
        }
        WscIsv& owner_;
    };

    class AntiSpyware : public IWscASStatus {
    public:
        explicit AntiSpyware(WscIsv& owner) : owner_(owner) {}
        HRESULT QueryInterface(const IID& iid, void** out) override { return owner_.query(iid, out); }
        ULONG AddRef() override { return owner_.addRef(); }
        ULONG Release() override { return owner_.release(); }
        HRESULT Register(const wchar_t* path, const wchar_t* name, BOOL, BOOL) override {
            return registerProduct("antispyware", path, name);
        }
        HRESULT Unregister() override { return unregisterProduct("antispyware"); }
        HRESULT UpdateStatus(int state, BOOL upToDate) override {
            return updateProduct("antispyware", "state", kitbase::securityCenterStateName(state), upToDate);
        }

    private:
        WscIsv& owner_;
    };

    HRESULT query(const IID& iid, void** out) {
        if (!out)
            return E_POINTER;
        if (iid == IID_IUnknown || iid == IID_IWscAVStatus || iid == IID_IWscAVStatus4)
            *out = static_cast<IWscAVStatus4*>(&antiVirus_);
        else if (iid == IID_IWscASStatus)
            *out = static_cast<IWscASStatus*>(&antiSpyware_);
        else {
            *out = nullptr;
            return E_NOINTERFACE;
        }
        addRef();
        return S_OK;
    }
    ULONG addRef() { return ++refs_; }
    ULONG release() {
        const ULONG left = --refs_;
        if (left == 0)
            delete this;
        return left;
    }

private:
    static HRESULT registerProduct(const char* section, const wchar_t* path, const wchar_t* name) {
        if (!path || !name)
            return E_INVALIDARG;
        const bool ok = change([&](kitbase::SecurityCenterSections& s) {
            auto& v = s[section];
            v["registered"] = "1";
            v["path"] = utf8(path);
            v["name"] = utf8(name);
            v["by"] = "isv";
        });
        return ok ? S_OK : E_FAIL;
    }
    static HRESULT unregisterProduct(const char* section) {
        HRESULT hr = S_OK;
        const bool ok = change([&](kitbase::SecurityCenterSections& s) {
            auto& v = s[section];
            if (v["registered"] != "1") {
                hr = kNotRegistered;
                return;
            }
            v["registered"] = "0";
        });
        return ok ? hr : E_FAIL;
    }
    // upToDate -1: not recorded.
    static HRESULT updateProduct(const char* section, const char* key, const std::string& value,
                                 int upToDate) {
        HRESULT hr = S_OK;
        const bool ok = change([&](kitbase::SecurityCenterSections& s) {
            auto& v = s[section];
            if (v["registered"] != "1") {
                hr = kNotRegistered;
                return;
            }
            v[key] = value;
            if (upToDate >= 0)
                v["uptodate"] = upToDate ? "1" : "0";
        });
        return ok ? hr : E_FAIL;
    }

    std::atomic<ULONG> refs_{0};
    AntiVirus antiVirus_{*this};
    AntiSpyware antiSpyware_{*this};
};

}  // namespace

namespace kitbase {

std::string securityCenterStatePath() {
    return stateFolder() + "/state.ini";
}

bool setSecurityCenterValues(const std::string& section, const SecurityCenterValues& values) {
    return change([&](SecurityCenterSections& s) {
        auto& v = s[section];
        for (const auto& [key, value] : values)
            v[key] = value;
    });
}

long long countSecurityCenterValue(const std::string& section, const std::string& key) {
    long long count = -1;
    const bool ok = change([&](SecurityCenterSections& s) {
        auto& value = s[section][key];
        count = std::atoll(value.c_str()) + 1;
        value = std::to_string(count);
    });
    return ok ? count : -1;
}

SecurityCenterSections readSecurityCenterState() {
    StateLock lock;
    return parse(securityCenterStatePath());
}

std::string securityCenterValue(const std::string& section, const std::string& key) {
    SecurityCenterSections s = readSecurityCenterState();
    auto it = s.find(section);
    if (it == s.end())
        return std::string();
    auto value = it->second.find(key);
    return value == it->second.end() ? std::string() : value->second;
}

std::string securityCenterStateName(int state) {
    switch (state) {
        case 0:
            return "on";
        case 1:
            return "off";
        case 2:
            return "snoozed";
        case 3:
            return "expired";
        default:
            return std::to_string(state);
    }
}

std::string securityCenterSubstatusName(int substatus) {
    switch (substatus) {
        case 0:
            return "not_set";
        case 1:
            return "no_action";
        case 2:
            return "action_recommended";
        case 3:
            return "action_needed";
        default:
            return std::to_string(substatus);
    }
}

HRESULT makeWscIsvObject(const IID& iid, void** out) {
    WscIsv* object = new WscIsv();
    object->addRef();
    HRESULT hr = object->query(iid, out);
    object->release();
    return hr;
}

}  // namespace kitbase
