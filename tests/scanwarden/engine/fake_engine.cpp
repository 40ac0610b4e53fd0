// A fake engine library: every entry records its call in the control block and gives
// the answer configured there. Built in three forms: complete, without one required
// entry (FAKE_OMIT_REQUIRED) and without the two optional entries (FAKE_OMIT_OPTIONAL).
#include <mutex>

#include "fake_engine_control.h"

#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

FakeEngineControl& control() {
    static FakeEngineControl block;
    return block;
}

std::recursive_mutex& lock() {
    static std::recursive_mutex m;
    return m;
}

void note(const char* name) {
    std::lock_guard<std::recursive_mutex> guard(lock());
    control().calls.push_back(name);
}

std::wstring copy(const wchar_t* text) {
    return text != nullptr ? std::wstring(text) : std::wstring();
}

// Distinct handles without meaning.
char handles[64];

int32_t optionAnswer(uint32_t option) {
    if (control().onOptionSet)
        control().onOptionSet(option);
    auto it = control().optionResults.find(option);
    return it == control().optionResults.end() ? 0 : it->second;
}

}  // namespace

FAKE_EXPORT FakeEngineControl* FAKE_engine_control() {
    return &control();
}

FAKE_EXPORT int32_t QVAPI_initialize(const QVAPI_GLOBAL_INIT* init) {
    note("QVAPI_initialize");
    control().lastInit = *init;
    control().initEngineFolder = copy(init->engine_folder);
    control().initVdfFolder = copy(init->vdf_folder);
    return control().initializeResult;
}

FAKE_EXPORT int32_t QVAPI_uninitialize(void) {
    note("QVAPI_uninitialize");
    return 0;
}

FAKE_EXPORT int32_t QVAPI_APC_initialize(const QVAPI_APC_INIT* init) {
    note("QVAPI_APC_initialize");
    FakeEngineControl& c = control();
    c.lastApc = *init;
    c.apcProductFolder = copy(init->product_folder);
    c.apcTempFolder = copy(init->temp_folder);
    c.apcKeyFolder = copy(init->key_folder);
    c.apcCacheFile = copy(init->cache_file);
    c.apcProxyNull = init->proxy == nullptr;
    c.apcProxy = init->proxy != nullptr ? init->proxy : "";
    return c.apcInitializeResult;
}

FAKE_EXPORT int32_t QVAPI_APC_uninitialize(void) {
    note("QVAPI_APC_uninitialize");
    return 0;
}

FAKE_EXPORT int32_t QVAPI_set_log_callback(QVAPI_LOG_CALLBACK callback, int32_t level, void* context) {
    note("QVAPI_set_log_callback");
    control().logCallback = callback;
    control().logLevel = level;
    control().logContext = context;
    return control().setLogCallbackResult;
}

FAKE_EXPORT int32_t QVAPI_create_instance(const QVAPI_INSTANCE_INIT*, QVAPI_INSTANCE* instance) {
    note("QVAPI_create_instance");
    if (control().createInstanceResult != 0)
        return control().createInstanceResult;
    *instance = reinterpret_cast<QVAPI_INSTANCE>(&handles[0]);
    ++control().liveInstances;
    return 0;
}

FAKE_EXPORT int32_t QVAPI_release_instance(QVAPI_INSTANCE* instance) {
    note("QVAPI_release_instance");
    if (instance != nullptr && *instance != nullptr) {
        *instance = nullptr;
        --control().liveInstances;
    }
    return 0;
}

FAKE_EXPORT int32_t QVAPI_set_user_data(QVAPI_INSTANCE, void*) {
    note("QVAPI_set_user_data");
    return 0;
}

FAKE_EXPORT int32_t QVAPI_get_user_data(QVAPI_INSTANCE, void** data) {
    note("QVAPI_get_user_data");
    *data = nullptr;
    return 0;
}

FAKE_EXPORT int32_t QVAPI_register_callback(QVAPI_INSTANCE, uint32_t, QVAPI_CALLBACK) {
    note("QVAPI_register_callback");
    return 0;
}

FAKE_EXPORT int32_t QVAPI_unregister_callback(QVAPI_INSTANCE, uint32_t, QVAPI_CALLBACK) {
    note("QVAPI_unregister_callback");
    return 0;
}

FAKE_EXPORT int32_t QVAPI_engine_modules_get(QVAPI_ENGINE_MODULE*, uint32_t* count) {
    note("QVAPI_engine_modules_get");
    *count = 0;
    return 0;
}

FAKE_EXPORT int32_t QVAPI_reload_engine_ex(const QVAPI_GLOBAL_INIT* init) {
    note("QVAPI_reload_engine_ex");
    control().reloadFolder = copy(init->engine_folder);
    return control().reloadResult;
}

FAKE_EXPORT int32_t QVAPI_get(QVAPI_INSTANCE, uint32_t item, wchar_t* buffer, uint32_t* length) {
    note("QVAPI_get");
    FakeEngineControl& c = control();
    auto result = c.itemResults.find(item);
    if (result != c.itemResults.end() && result->second != 0)
        return result->second;
    auto it = c.items.find(item);
    if (it == c.items.end())
        return QVAPI_E_INVALID_OPTION;
    const std::wstring& text = it->second;
    if (text.size() > *length)
        return QVAPI_E_BUFFER_TOO_SMALL;
    text.copy(buffer, text.size());
    buffer[text.size()] = L'\0';
    *length = static_cast<uint32_t>(text.size());
    return 0;
}

FAKE_EXPORT int32_t QVAPI_set(QVAPI_INSTANCE instance, uint32_t option, const wchar_t* value) {
    note("QVAPI_set");
    {
        std::lock_guard<std::recursive_mutex> guard(lock());
        control().optionSets.push_back({instance, option, copy(value)});
    }
    return optionAnswer(option);
}

FAKE_EXPORT int32_t QVAPI_global_set(uint32_t option, const wchar_t* value) {
    note("QVAPI_global_set");
    {
        std::lock_guard<std::recursive_mutex> guard(lock());
        control().optionSets.push_back({nullptr, option, copy(value)});
    }
    return optionAnswer(option);
}

#ifndef FAKE_OMIT_OPTIONAL
FAKE_EXPORT int32_t QVAPI_scan(QVAPI_INSTANCE, const wchar_t* path) {
    note("QVAPI_scan");
    control().scans.push_back(copy(path));
    return control().scanResult;
}
#endif

FAKE_EXPORT int32_t QVAPI_simple_scan(QVAPI_INSTANCE, const wchar_t*, int32_t* answer, wchar_t** name) {
    note("QVAPI_simple_scan");
    *answer = QVAPI_SCAN_ANSWER_CLEAN;
    *name = nullptr;
    return 0;
}

FAKE_EXPORT int32_t QVAPI_get_version(QVAPI_VERSION* version) {
    note("QVAPI_get_version");
    if (control().getVersionResult != 0)
        return control().getVersionResult;
    *version = control().version;
    return 0;
}

#ifndef FAKE_OMIT_OPTIONAL
FAKE_EXPORT int32_t QVAPI_APC_get_version(QVAPI_VERSION* version) {
    note("QVAPI_APC_get_version");
    if (control().apcGetVersionResult != 0)
        return control().apcGetVersionResult;
    *version = control().apcVersion;
    return 0;
}
#endif

#ifndef FAKE_OMIT_REQUIRED
FAKE_EXPORT int32_t QVAPI_set_fops(const QVAPI_FOPS*) {
    note("QVAPI_set_fops");
    return 0;
}
#endif

FAKE_EXPORT int32_t QVAPI_free(void*) {
    note("QVAPI_free");
    return 0;
}

FAKE_EXPORT int32_t QVAPI_is_running_ex(uint32_t* state) {
    note("QVAPI_is_running_ex");
    *state = 0;
    return 0;
}

FAKE_EXPORT int32_t QVAPI_OA_initialize(const QVAPI_OA_INIT* init) {
    note("QVAPI_OA_initialize");
    control().lastOA = *init;
    return control().oaInitializeResult;
}

FAKE_EXPORT int32_t QVAPI_OA_uninitialize(void) {
    note("QVAPI_OA_uninitialize");
    FakeEngineControl& c = control();
    for (QVAPI_INSTANCE instance : c.oaInstances)
        if (c.destroyed != nullptr)
            c.destroyed(instance);
    c.oaInstances.clear();
    return 0;
}

FAKE_EXPORT int32_t QVAPI_OA_create_instances(QVAPI_OA_INSTANCE_CALLBACK created,
                                              QVAPI_OA_INSTANCE_CALLBACK destroyed) {
    note("QVAPI_OA_create_instances");
    FakeEngineControl& c = control();
    c.created = created;
    c.destroyed = destroyed;
    if (c.oaCreateResult != 0)
        return c.oaCreateResult;
    for (uint32_t i = 0; i < c.oaInstanceCount && i + 1 < sizeof(handles); ++i) {
        QVAPI_INSTANCE instance = reinterpret_cast<QVAPI_INSTANCE>(&handles[i + 1]);
        c.oaInstances.push_back(instance);
        if (created != nullptr)
            created(instance);
    }
    return 0;
}

FAKE_EXPORT int32_t QVAPI_OA_start_scan(void) {
    note("QVAPI_OA_start_scan");
    return 0;
}

FAKE_EXPORT int32_t QVAPI_OA_stop_scan(void) {
    note("QVAPI_OA_stop_scan");
    return 0;
}

FAKE_EXPORT int32_t QVAPI_extract_malware_names(const wchar_t* folder) {
    note("QVAPI_extract_malware_names");
    control().extractFolder = copy(folder);
    return 0;
}
