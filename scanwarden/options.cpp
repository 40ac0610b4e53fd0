#include "scanwarden/options.h"

#include <exception>
#include <vector>

#include "kitbase/core/folders.h"
#include "kitbase/core/oem_resource.h"
#include "kitbase/core/strings.h"
#include "kitbase/core/sysinfo.h"
#include "kitbase/core/trace.h"
#include "scanwarden/qvapi_scanner.h"
#include "scanwarden/whitelist.h"

namespace {

constexpr unsigned int kLogLevel = 11;
constexpr unsigned int kOAScanThreads = 15;
constexpr unsigned int kOAExceptedFiles = 20;
constexpr unsigned int kExceptedFiles = 33;
constexpr unsigned int kUpdateServer = 61;
constexpr unsigned int kHeartbeatServerURL = 67;
constexpr int kServerOAThreads = 8;
constexpr int32_t kUnsupported = QVAPI_E_NOT_SUPPORTED;

// Instance options an on-access instance does not take from the store: the scan
// time-out and the two cloud time-outs (on access the engine's own on-access time-out
// rules), and the archive switch, which the instance gets from `archivescanoa`.
bool skippedOnAccess(int32_t engineOptionId) {
    return engineOptionId == QVAPI_OPTION_SCAN_TIMEOUT ||
           engineOptionId == QVAPI_OPTION_APC_CONNECTION_TIMEOUT ||
           engineOptionId == QVAPI_OPTION_APC_SCAN_TIMEOUT || engineOptionId == QVAPI_OPTION_ARCHIVE_SCAN;
}

// One option on its way to the engine, copied out of the store.
struct PendingOption {
    std::wstring key;
    int32_t engineOptionId;
    std::wstring text;
    int32_t dependsOn;
    bool deactivated;
};

}  // namespace

_Options::_Options() : ConfigurationOptions() {}

_Options& _Options::instance() {
    static _Options options;
    return options;
}

bool _Options::setNumberInMemory(unsigned int id, int value) {
    AutoCriticalSection guard(lock_);
    auto it = _modifyOption(options_, id);
    if (it == options_.end())
        return false;
    it->number = value;
    it->text = T2WS(value);
    return true;
}

bool _Options::setTextInMemory(unsigned int id, const std::wstring& value) {
    AutoCriticalSection guard(lock_);
    auto it = _modifyOption(options_, id);
    if (it == options_.end())
        return false;
    it->text = value;
    return true;
}

int _Options::readCfg() {
    const int result = ConfigurationOptions::readCfg();
    if (isServer())
        setNumberInMemory(kOAScanThreads, kServerOAThreads);
    __trace__.setTraceLevel(static_cast<TraceLevel>(getOptionNumeric(kLogLevel)));
    if (getOptionString(kUpdateServer).empty())
        setTextInMemory(kUpdateServer, getString(1058));
    if (getOptionString(kHeartbeatServerURL).empty())
        setTextInMemory(kHeartbeatServerURL, getString(1060));
    return result;
}

int _Options::applyEngineOptions(QVAPIScanner* engine, bool global, QVAPI_INSTANCE instance, bool onAccess) {
    std::vector<PendingOption> pending;
    try {
        {
            // Only the copy is made under the store's lock; the engine is called after it
            // is released.
            AutoCriticalSection guard(lock_);
            for (Option& o : options_) {
                if (o.isSection() || o.engineOptionId == -1 || o.isGlobal != global)
                    continue;
                PendingOption item{o.key, o.engineOptionId, std::wstring(), o.dependsOn, false};
                if (o.dependsOn > 0) {
                    auto dep = _findOption(options_, static_cast<unsigned int>(o.dependsOn));
                    const std::wstring depText = dep != options_.end() ? dep->text : std::wstring();
                    if (depText.empty() || depText == L"0") {
                        item.deactivated = true;
                        pending.push_back(item);
                        continue;
                    }
                }
                if (o.key == L"oaexceptedprocesses" && o.text.find(L"csrss.exe") == std::wstring::npos)
                    o.text += L";csrss.exe";
                if (o.text.empty())
                    continue;
                if (!global && onAccess && skippedOnAccess(o.engineOptionId))
                    continue;
                item.text = o.text;
                pending.push_back(item);
            }
        }

        const bool ready = engine != nullptr && engine->engineReady();
        int last = 0;
        for (const PendingOption& item : pending) {
            if (item.deactivated) {
                __trace__.debug(
                    L"Option '%ls' cannot be set because it depends on value %d which is set to "
                    L"'deactivated'",
                    item.key, item.dependsOn);
                continue;
            }
            int r;
            if (!global)
                r = ready && instance != nullptr
                        ? engine->QVAPI_set(instance, static_cast<uint32_t>(item.engineOptionId),
                                            item.text.c_str())
                        : -1;
            else
                r = ready ? engine->QVAPI_global_set(static_cast<uint32_t>(item.engineOptionId),
                                                     item.text.c_str())
                          : -1;
            if (r == 0 || r == kUnsupported)
                continue;
            last = r;
            __trace__.error(
                L"Cannot set up %ls option '%ls'(code:%d) : error code %d: value to be set '%ls':Error "
                L"message:'%ls'",
                global ? L"global" : L"instance", item.key, item.engineOptionId, r, item.text,
                getQvapiErrorText(r));
        }
        return last;
    } catch (...) {
        __trace__.error(L"Unexpected error setting QVAPI options");
        return -1;
    }
}

int _Options::applyGlobalSettings(QVAPIScanner* engine) {
    _Whitelist& whitelist = _Whitelist::instance();
    whitelist.addList(getThisBinaryPath(nullptr));
    whitelist.addList(getOptionString(kExceptedFiles));
    whitelist.addList(getOptionString(kOAExceptedFiles));
    return applyEngineOptions(engine, true, nullptr, false);
}

int _Options::setEngineOption(QVAPIScanner* engine, const std::wstring& key, const std::wstring* value,
                              QVAPI_INSTANCE instance) {
    try {
        Option option;
        if (!getOption(key, option)) {
            __trace__.error(L"Option %ls NOT found", key);
            return -1;
        }
        if (option.engineOptionId == -1) {
            __trace__.debug(L"Ignored option because this is not a QVAPI option:'%ls'", key);
            return 0;
        }
        if (!option.isGlobal && instance == nullptr)
            return 0;
        if (engine == nullptr || !engine->engineReady())
            return -1;
        const std::wstring text = value != nullptr ? *value : option.text;
        const uint32_t id = static_cast<uint32_t>(option.engineOptionId);
        if (option.isGlobal) {
            __trace__.debug(L"Setting QVAPI Global Option '%ls' to %ls.Result: %d", option.name, option.text,
                            0);
            const int r = engine->QVAPI_global_set(id, text.c_str());
            if (r != 0)
                __trace__.error(L"Error setting global QVAPI Option '%ls'. Code:%d", option.name, r);
            return r;
        }
        __trace__.debug(L"Setting QVAPI Option '%ls' to %ls. Result:%d", option.name, option.text, 0);
        const int r = engine->QVAPI_set(instance, id, text.c_str());
        if (r != 0) {
            __trace__.debug(L"instance: %p", static_cast<const void*>(instance));
            __trace__.error(L"Error setting QVAPI Option '%ls'. Code:%d", option.name, r);
        }
        return r;
    } catch (...) {
        __trace__.error(L"Unexpected error setting QVAPI option");
        return -1;
    }
}
