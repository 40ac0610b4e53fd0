// Variants of the Security Center library for the bridge's tests, built from this one
// file: FAKE_OMIT=n leaves out the n-th of the ten entry points (in the order the
// bridge looks them up, 1 to 10), FAKE_THROWS makes registration and status calls
// throw. Every call is counted in the "[fake]" section of the Security Center state
// file; authentication records the record it was handed; the status call also sends
// log records of every level, and a null text, through the client's callback.
#include <cstdint>
#include <stdexcept>
#include <string>

#include "kitbase/platform/security_center.h"
#include "kitbase/platform/utf8.h"

#ifndef FAKE_OMIT
#define FAKE_OMIT 0
#endif

#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

typedef void (*LogCallback)(int level, const wchar_t* text, void* context);
LogCallback g_log = nullptr;
void* g_context = nullptr;

struct AuthRecord {
    uint32_t version;
    uint32_t reserved;
    uint32_t productId;
    const wchar_t* path;
};

int32_t called(const char* name) {
    kitbase::countSecurityCenterValue("fake", name);
    return 0;
}

[[maybe_unused]] void mayThrow() {
#ifdef FAKE_THROWS
    throw std::runtime_error("fault inside the library");
#endif
}

}  // namespace

#if FAKE_OMIT != 1
FAKE_EXPORT int32_t VRNWSC_set_log_callback(LogCallback callback, int reserved, void* context) {
    g_log = callback;
    g_context = context;
    kitbase::setSecurityCenterValues("fake", {{"log_reserved", std::to_string(reserved)}});
    return called("set_log_callback");
}
#endif
#if FAKE_OMIT != 2
FAKE_EXPORT int32_t VRNWSC_prepare_uninstall() {
    return called("prepare_uninstall");
}
#endif
#if FAKE_OMIT != 3
FAKE_EXPORT int32_t VRNWSC_shutdown_protected_service() {
    called("shutdown_protected_service");
    return static_cast<int32_t>(0x80070005u);
}
#endif
#if FAKE_OMIT != 4
FAKE_EXPORT int32_t VRNWSC_register_remediation(const wchar_t*, const wchar_t*, const wchar_t*) {
    called("register_remediation");
    mayThrow();
    return 0;
}
#endif
#if FAKE_OMIT != 5
FAKE_EXPORT int32_t VRNWSC_unregister_remediation() {
    return called("unregister_remediation");
}
#endif
#if FAKE_OMIT != 6
FAKE_EXPORT int32_t VRNWSC_update_status(int, int) {
    called("update_status");
    if (g_log) {
        g_log(0, L"debug record", g_context);
        g_log(1, L"info record", g_context);
        g_log(2, L"error record", g_context);
        g_log(3, L"level three record", g_context);
        g_log(1, nullptr, g_context);
    }
    mayThrow();
    return 0;
}
#endif
#if FAKE_OMIT != 7
FAKE_EXPORT int32_t VRNWSC_authenticate(const AuthRecord* record) {
    called("authenticate");
    kitbase::setSecurityCenterValues("fake", {{"version", std::to_string(record->version)},
                                              {"reserved", std::to_string(record->reserved)},
                                              {"product", std::to_string(record->productId)},
                                              {"path", kitbase::wideToUtf8(record->path)}});
    return 0;
}
#endif
#if FAKE_OMIT != 8
FAKE_EXPORT int32_t VRNWSC_update_protection_update_substatus(int) {
    mayThrow();
    return called("update_protection_update_substatus");
}
#endif
#if FAKE_OMIT != 9
FAKE_EXPORT int32_t VRNWSC_update_scan_substatus(int) {
    return called("update_scan_substatus");
}
#endif
#if FAKE_OMIT != 10
FAKE_EXPORT int32_t VRNWSC_update_settings_substatus(int) {
    return called("update_settings_substatus");
}
#endif
