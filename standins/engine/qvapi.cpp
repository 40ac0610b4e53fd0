// The exported entries of qvapi.dll: argument checks, then the engine's state.
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>

#include "engine.h"
#include "file_scanner.h"
#include "instance.h"
#include "scanwarden/qvapi_interface.h"
#include "signature_db.h"
#include "text.h"

using qv::Engine;

namespace {

constexpr QVAPI_VERSION kApiVersion{QVAPI_API_VERSION_MAJOR, QVAPI_API_VERSION_MINOR, 1, 0};
constexpr QVAPI_VERSION kApcVersion{0, 0, 1, 0};

int32_t copyOut(const std::wstring& text, wchar_t* buffer, uint32_t* length) {
    if (!buffer || !length)
        return QVAPI_E_INVALID_PARAMETER;
    if (text.size() > *length) {
        *length = static_cast<uint32_t>(text.size());
        return QVAPI_E_BUFFER_TOO_SMALL;
    }
    std::wmemcpy(buffer, text.c_str(), text.size() + 1);
    *length = static_cast<uint32_t>(text.size());
    return QVAPI_OK;
}

}  // namespace

extern "C" {

int32_t QVAPI_initialize(const QVAPI_GLOBAL_INIT* init) {
    return Engine::get().initialize(init);
}

int32_t QVAPI_uninitialize(void) {
    return Engine::get().uninitialize();
}

int32_t QVAPI_APC_initialize(const QVAPI_APC_INIT* init) {
    return Engine::get().apcInitialize(init);
}

int32_t QVAPI_APC_uninitialize(void) {
    return Engine::get().apcUninitialize();
}

int32_t QVAPI_set_log_callback(QVAPI_LOG_CALLBACK callback, int32_t level, void* context) {
    if (level < QVAPI_LOG_DEBUG || level > QVAPI_LOG_ERROR)
        return QVAPI_E_INVALID_PARAMETER;
    Engine::get().setLogCallback(callback, level, context);
    return QVAPI_OK;
}

int32_t QVAPI_create_instance(const QVAPI_INSTANCE_INIT* init, QVAPI_INSTANCE* instance) {
    if (!init || !instance)
        return QVAPI_E_INVALID_PARAMETER;
    if (!Engine::get().initialized())
        return QVAPI_E_NOT_INITIALIZED;
    *instance = new (std::nothrow) qvapi_instance(false);
    return *instance ? QVAPI_OK : QVAPI_E_NO_MEMORY;
}

int32_t QVAPI_release_instance(QVAPI_INSTANCE* instance) {
    if (!instance || !qv::isValidInstance(*instance) || (*instance)->onAccess)
        return QVAPI_E_INVALID_PARAMETER;
    (*instance)->magic = 0;
    delete *instance;
    *instance = nullptr;
    return QVAPI_OK;
}

int32_t QVAPI_set_user_data(QVAPI_INSTANCE instance, void* userData) {
    if (!qv::isValidInstance(instance))
        return QVAPI_E_INVALID_PARAMETER;
    instance->userData.store(userData, std::memory_order_release);
    return QVAPI_OK;
}

int32_t QVAPI_get_user_data(QVAPI_INSTANCE instance, void** userData) {
    if (!qv::isValidInstance(instance) || !userData)
        return QVAPI_E_INVALID_PARAMETER;
    *userData = instance->userData.load(std::memory_order_acquire);
    return QVAPI_OK;
}

int32_t QVAPI_register_callback(QVAPI_INSTANCE instance, uint32_t type, QVAPI_CALLBACK callback) {
    if (!qv::isValidInstance(instance) || !callback || type >= QVAPI_CALLBACK_TYPE_COUNT)
        return QVAPI_E_INVALID_PARAMETER;
    switch (type) {
        case QVAPI_CALLBACK_REPORT_FILE_STATUS:
        case QVAPI_CALLBACK_REPORT_ERROR:
        case QVAPI_CALLBACK_PRESCAN:
        case QVAPI_CALLBACK_ARCHIVE_OPEN:
        case QVAPI_CALLBACK_OA_FILE_STATUS:
        case QVAPI_CALLBACK_APC_SCAN:
            instance->callbacks[type].store(callback, std::memory_order_release);
            return QVAPI_OK;
        default:
            return QVAPI_E_NOT_SUPPORTED;
    }
}

int32_t QVAPI_unregister_callback(QVAPI_INSTANCE instance, uint32_t type, QVAPI_CALLBACK callback) {
    if (!qv::isValidInstance(instance) || type >= QVAPI_CALLBACK_TYPE_COUNT)
        return QVAPI_E_INVALID_PARAMETER;
    QVAPI_CALLBACK expected = callback;
    // Only the registered function is removed; another one stays.
    if (!instance->callbacks[type].compare_exchange_strong(expected, nullptr))
        return QVAPI_E_INVALID_PARAMETER;
    return QVAPI_OK;
}

int32_t QVAPI_engine_modules_get(QVAPI_ENGINE_MODULE* modules, uint32_t* count) {
    if (!count)
        return QVAPI_E_INVALID_PARAMETER;
    auto db = Engine::get().db();
    if (!db)
        return QVAPI_E_NOT_INITIALIZED;
    struct Module {
        const wchar_t* name;
        const std::wstring& version;
    } list[] = {{L"engine", db->engineVersion()}, {L"vdf", db->vdfVersion()}};
    uint32_t room = *count;
    *count = 2;
    if (!modules || room < 2)
        return QVAPI_E_BUFFER_TOO_SMALL;
    for (uint32_t i = 0; i < 2; ++i) {
        std::memset(&modules[i], 0, sizeof modules[i]);
        std::wcsncpy(modules[i].name, list[i].name, 63);
        auto parts = qv::splitList(qv::toUtf8(list[i].version), '.');
        uint32_t* fields[4] = {&modules[i].version.major, &modules[i].version.minor,
                               &modules[i].version.build, &modules[i].version.revision};
        for (size_t k = 0; k < parts.size() && k < 4; ++k)
            *fields[k] = static_cast<uint32_t>(std::strtoul(parts[k].c_str(), nullptr, 10));
    }
    return QVAPI_OK;
}

int32_t QVAPI_reload_engine_ex(const QVAPI_GLOBAL_INIT* init) {
    return Engine::get().reload(init);
}

int32_t QVAPI_get(QVAPI_INSTANCE instance, uint32_t item, wchar_t* buffer, uint32_t* length) {
    if (!qv::isValidInstance(instance))
        return QVAPI_E_INVALID_PARAMETER;
    auto db = Engine::get().db();
    if (!db)
        return QVAPI_E_NOT_INITIALIZED;
    switch (item) {
        case QVAPI_ITEM_ENGINE_VERSION:
            return copyOut(db->engineVersion(), buffer, length);
        case QVAPI_ITEM_VDF_VERSION:
            return copyOut(db->vdfVersion(), buffer, length);
        case QVAPI_ITEM_SIGNATURE_COUNT:
            return copyOut(std::to_wstring(db->signatures().size()), buffer, length);
        case QVAPI_ITEM_VDF_DATE:
            return copyOut(db->vdfDate(), buffer, length);
        default:
            return QVAPI_E_INVALID_OPTION;
    }
}

int32_t QVAPI_set(QVAPI_INSTANCE instance, uint32_t option, const wchar_t* value) {
    return qv::setInstanceOption(instance, option, value);
}

int32_t QVAPI_global_set(uint32_t option, const wchar_t* value) {
    return Engine::get().globalSet(option, value);
}

int32_t QVAPI_scan(QVAPI_INSTANCE instance, const wchar_t* path) {
    if (!qv::isValidInstance(instance) || !path)
        return QVAPI_E_INVALID_PARAMETER;
    Engine& engine = Engine::get();
    if (!engine.initialized())
        return QVAPI_E_NOT_INITIALIZED;
    return qv::scanFile(engine, instance, path, -1, qv::deadlineIn(instance->scanTimeout.load())).result;
}

namespace {
struct SimpleResult {
    int32_t answer = QVAPI_SCAN_ANSWER_CLEAN;
    std::wstring name;
};
int32_t collectStatus(QVAPI_CALLBACK_DATA* data) {
    auto* status = static_cast<QVAPI_FILE_STATUS_DATA*>(data->type_data);
    auto* result = static_cast<SimpleResult*>(data->user_data);
    if ((status->scan_answer == QVAPI_SCAN_ANSWER_MALWARE ||
         status->scan_answer == QVAPI_SCAN_ANSWER_SUSPICIOUS) &&
        result->name.empty()) {
        result->answer = status->scan_answer;
        result->name = status->malware_name ? status->malware_name : L"";
    }
    return 0;
}
}  // namespace

int32_t QVAPI_simple_scan(QVAPI_INSTANCE instance, const wchar_t* path, int32_t* scanAnswer,
                          wchar_t** malwareName) {
    if (!qv::isValidInstance(instance) || !path || !scanAnswer || !malwareName)
        return QVAPI_E_INVALID_PARAMETER;
    Engine& engine = Engine::get();
    if (!engine.initialized())
        return QVAPI_E_NOT_INITIALIZED;
    // A private instance with the caller's options, so the caller's callbacks stay out.
    qvapi_instance scratch(false);
    scratch.scanTimeout = instance->scanTimeout.load();
    scratch.scanMode = instance->scanMode.load();
    scratch.archiveScan = instance->archiveScan.load();
    scratch.archiveMaxSize = instance->archiveMaxSize.load();
    scratch.archiveMaxCount = instance->archiveMaxCount.load();
    SimpleResult result;
    scratch.userData = &result;
    scratch.callbacks[QVAPI_CALLBACK_REPORT_FILE_STATUS] = &collectStatus;
    int32_t r = qv::scanFile(engine, &scratch, path, -1, qv::deadlineIn(scratch.scanTimeout.load())).result;
    *scanAnswer = result.answer;
    *malwareName = nullptr;
    if (!result.name.empty()) {
        auto* copy = static_cast<wchar_t*>(std::malloc((result.name.size() + 1) * sizeof(wchar_t)));
        if (!copy)
            return QVAPI_E_NO_MEMORY;
        std::wmemcpy(copy, result.name.c_str(), result.name.size() + 1);
        *malwareName = copy;
    }
    return r;
}

int32_t QVAPI_get_version(QVAPI_VERSION* version) {
    if (!version)
        return QVAPI_E_INVALID_PARAMETER;
    *version = kApiVersion;
    return QVAPI_OK;
}

int32_t QVAPI_APC_get_version(QVAPI_VERSION* version) {
    if (!version)
        return QVAPI_E_INVALID_PARAMETER;
    *version = kApcVersion;
    return QVAPI_OK;
}

int32_t QVAPI_set_fops(const QVAPI_FOPS* fops) {
    // The engine reads files itself; only "no replacement" is accepted.
    return fops ? QVAPI_E_NOT_SUPPORTED : QVAPI_OK;
}

int32_t QVAPI_free(void* memory) {
    std::free(memory);
    return QVAPI_OK;
}

int32_t QVAPI_is_running_ex(uint32_t* state) {
    if (!state)
        return QVAPI_E_INVALID_PARAMETER;
    *state = Engine::get().runningState();
    return QVAPI_OK;
}

int32_t QVAPI_OA_initialize(const QVAPI_OA_INIT* init) {
    return Engine::get().oaInitialize(init);
}

int32_t QVAPI_OA_uninitialize(void) {
    return Engine::get().oaUninitialize();
}

int32_t QVAPI_OA_create_instances(QVAPI_OA_INSTANCE_CALLBACK created, QVAPI_OA_INSTANCE_CALLBACK destroyed) {
    return Engine::get().oaCreateInstances(created, destroyed);
}

int32_t QVAPI_OA_start_scan(void) {
    return Engine::get().oaStart();
}

int32_t QVAPI_OA_stop_scan(void) {
    return Engine::get().oaStop();
}

int32_t QVAPI_extract_malware_names(const wchar_t* folder) {
    return Engine::get().extractMalwareNames(folder);
}

int32_t QVAPI_OA_inject_access(const wchar_t* path, int32_t pid, uint32_t access, int32_t* verdict) {
    return Engine::get().oaInject(path, pid, access, verdict);
}

}  // extern "C"
