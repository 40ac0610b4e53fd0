// vrnwsccomm.dll: the product's Security Center library. Every entry point answers a
// 32-bit HRESULT. The client must authenticate first (VRNWSC_authenticate); until then
// every other call but the log-callback setter is refused with E_ACCESSDENIED. What the
// library does is recorded in the machine's Security Center state file: the client in
// "[client]", the product's registration, state and substates in "[antivirus]"
// (marked "by=vrnwsccomm"). It reports through the client's log callback: level 0
// debug, 1 information, 2 error.
#include <sys/stat.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "kitbase/platform/security_center.h"
#include "kitbase/platform/utf8.h"
#include "kitbase/platform/wintypes.h"

#define VRNWSC_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

typedef void (*LogCallback)(int level, const wchar_t* text, void* context);

struct AuthRecord {
    uint32_t version;
    uint32_t reserved;
    uint32_t productId;
    const wchar_t* path;
};

constexpr HRESULT kNotRegistered = static_cast<HRESULT>(0x80070490u);

std::mutex g_logLock;
LogCallback g_log = nullptr;
void* g_logContext = nullptr;
std::atomic<bool> g_authenticated{false};

void log(int level, const std::wstring& text) {
    LogCallback callback;
    void* context;
    {
        std::lock_guard<std::mutex> guard(g_logLock);
        callback = g_log;
        context = g_logContext;
    }
    if (callback)
        callback(level, text.c_str(), context);
}

std::string utf8(const wchar_t* text) {
    return text ? kitbase::wideToUtf8(text) : std::string();
}

bool isFile(const wchar_t* path) {
    struct stat st {};
    return path && *path && ::stat(utf8(path).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool registered() {
    return kitbase::securityCenterValue("antivirus", "registered") == "1";
}

HRESULT record(const std::string& section, const kitbase::SecurityCenterValues& values) {
    return kitbase::setSecurityCenterValues(section, values) ? S_OK : E_FAIL;
}

HRESULT substatus(const char* key, int value) {
    if (!g_authenticated.load())
        return E_ACCESSDENIED;
    if (value < 0 || value > 3)
        return E_INVALIDARG;
    if (!registered())
        return kNotRegistered;
    log(0, L"substatus " + kitbase::utf8ToWide(key) + L" set to " +
               kitbase::utf8ToWide(kitbase::securityCenterSubstatusName(value)));
    return record("antivirus", {{key, kitbase::securityCenterSubstatusName(value)}});
}

}  // namespace

VRNWSC_EXPORT int32_t VRNWSC_set_log_callback(LogCallback callback, int /*reserved*/, void* context) {
    std::lock_guard<std::mutex> guard(g_logLock);
    g_log = callback;
    g_logContext = context;
    return S_OK;
}

VRNWSC_EXPORT int32_t VRNWSC_authenticate(const AuthRecord* auth) {
    if (!auth)
        return E_POINTER;
    if (auth->version != 1 || auth->reserved != 0) {
        log(2, L"authentication refused: unknown record");
        return E_INVALIDARG;
    }
    // The client names an existing program file and a product.
    if (!isFile(auth->path) || auth->productId == 0) {
        log(2, L"authentication refused for " + std::wstring(auth->path ? auth->path : L"(null)"));
        return E_ACCESSDENIED;
    }
    g_authenticated.store(true);
    log(0, L"client authenticated: " + std::wstring(auth->path));
    return record(
        "client",
        {{"authenticated", "1"}, {"product", std::to_string(auth->productId)}, {"path", utf8(auth->path)}});
}

VRNWSC_EXPORT int32_t VRNWSC_register_remediation(const wchar_t* path, const wchar_t* name,
                                                  const wchar_t* folder) {
    if (!g_authenticated.load())
        return E_ACCESSDENIED;
    if (!path || !name)
        return E_INVALIDARG;
    log(1, L"remediation program registered: " + std::wstring(name));
    return record("antivirus", {{"registered", "1"},
                                {"path", utf8(path)},
                                {"name", utf8(name)},
                                {"folder", utf8(folder)},
                                {"by", "vrnwsccomm"}});
}

VRNWSC_EXPORT int32_t VRNWSC_unregister_remediation() {
    if (!g_authenticated.load())
        return E_ACCESSDENIED;
    if (!registered())
        return kNotRegistered;
    log(1, L"remediation program unregistered");
    return record("antivirus", {{"registered", "0"}});
}

VRNWSC_EXPORT int32_t VRNWSC_update_status(int state, int settingsOk) {
    if (!g_authenticated.load())
        return E_ACCESSDENIED;
    if (state < 0 || state > 3)
        return E_INVALIDARG;
    if (!registered())
        return kNotRegistered;
    log(0, L"status set to " + kitbase::utf8ToWide(kitbase::securityCenterStateName(state)));
    return record("antivirus",
                  {{"state", kitbase::securityCenterStateName(state)}, {"uptodate", settingsOk ? "1" : "0"}});
}

VRNWSC_EXPORT int32_t VRNWSC_update_settings_substatus(int value) {
    return substatus("settings", value);
}

VRNWSC_EXPORT int32_t VRNWSC_update_scan_substatus(int value) {
    return substatus("scan", value);
}

VRNWSC_EXPORT int32_t VRNWSC_update_protection_update_substatus(int value) {
    return substatus("protection", value);
}

VRNWSC_EXPORT int32_t VRNWSC_prepare_uninstall() {
    if (!g_authenticated.load())
        return E_ACCESSDENIED;
    log(0, L"prepared for uninstallation");
    return record("client", {{"uninstall", "prepared"}});
}

VRNWSC_EXPORT int32_t VRNWSC_shutdown_protected_service() {
    if (!g_authenticated.load())
        return E_ACCESSDENIED;
    log(0, L"protected service shut down");
    return record("client", {{"protected_service", "stopped"}});
}
