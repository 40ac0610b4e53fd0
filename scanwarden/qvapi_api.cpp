#include "scanwarden/qvapi_api.h"

#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <string>

#include <cstring>
#include <exception>
#include <vector>

#include "kitbase/core/authenticode.h"
#include "kitbase/core/folders.h"
#include "kitbase/core/strings.h"
#include "kitbase/core/trace.h"
#include "kitbase/platform/string_table.h"
#include "kitbase/platform/winerror.h"

namespace {

struct EntrySlot {
    const char* name;
    bool required;
};

// The lookup order; every entry but QVAPI_scan and QVAPI_APC_get_version is required.
constexpr EntrySlot kEntries[] = {
    {"QVAPI_initialize", true},
    {"QVAPI_uninitialize", true},
    {"QVAPI_APC_initialize", true},
    {"QVAPI_APC_uninitialize", true},
    {"QVAPI_set_log_callback", true},
    {"QVAPI_create_instance", true},
    {"QVAPI_release_instance", true},
    {"QVAPI_set_user_data", true},
    {"QVAPI_get_user_data", true},
    {"QVAPI_register_callback", true},
    {"QVAPI_unregister_callback", true},
    {"QVAPI_engine_modules_get", true},
    {"QVAPI_reload_engine_ex", true},
    {"QVAPI_get", true},
    {"QVAPI_set", true},
    {"QVAPI_global_set", true},
    {"QVAPI_scan", false},
    {"QVAPI_simple_scan", true},
    {"QVAPI_get_version", true},
    {"QVAPI_APC_get_version", false},
    {"QVAPI_set_fops", true},
    {"QVAPI_free", true},
    {"QVAPI_is_running_ex", true},
    {"QVAPI_OA_initialize", true},
    {"QVAPI_OA_uninitialize", true},
    {"QVAPI_OA_create_instances", true},
    {"QVAPI_OA_start_scan", true},
    {"QVAPI_OA_stop_scan", true},
    {"QVAPI_extract_malware_names", true},
};
static_assert(sizeof(kEntries) / sizeof(kEntries[0]) == 29, "the engine has 29 entries");

template <class F>
void bind(HMODULE library, const char* name, F& slot) {
    slot = reinterpret_cast<F>(dlsym(library, name));
}

}  // namespace

QVAPI_API::~QVAPI_API() {
    unload();
    libraryFolder_.clear();
}

void QVAPI_API::clearEntries() {
    QVAPI_initialize = nullptr;
    QVAPI_uninitialize = nullptr;
    QVAPI_APC_initialize = nullptr;
    QVAPI_APC_uninitialize = nullptr;
    QVAPI_set_log_callback = nullptr;
    QVAPI_create_instance = nullptr;
    QVAPI_release_instance = nullptr;
    QVAPI_set_user_data = nullptr;
    QVAPI_get_user_data = nullptr;
    QVAPI_register_callback = nullptr;
    QVAPI_unregister_callback = nullptr;
    QVAPI_engine_modules_get = nullptr;
    QVAPI_reload_engine_ex = nullptr;
    QVAPI_get = nullptr;
    QVAPI_set = nullptr;
    QVAPI_global_set = nullptr;
    QVAPI_scan = nullptr;
    QVAPI_simple_scan = nullptr;
    QVAPI_get_version = nullptr;
    QVAPI_APC_get_version = nullptr;
    QVAPI_set_fops = nullptr;
    QVAPI_free = nullptr;
    QVAPI_is_running_ex = nullptr;
    QVAPI_OA_initialize = nullptr;
    QVAPI_OA_uninitialize = nullptr;
    QVAPI_OA_create_instances = nullptr;
    QVAPI_OA_start_scan = nullptr;
    QVAPI_OA_stop_scan = nullptr;
    QVAPI_extract_malware_names = nullptr;
}

void QVAPI_API::unload() {
    clearEntries();
    if (library_ != nullptr) {
        kitbase::freeModule(library_);
        library_ = nullptr;
    }
}

int QVAPI_API::load() {
    // A loaded library stays as it is: loading it again would map a second copy
    // beside the one the engine's threads and callbacks run in.
    if (library_ != nullptr)
        return 0;

    const std::wstring path = createPath(libraryFolder_, L"qvapi.dll");
    try {
        // The check and the load use the same sealed bytes, so the library loaded is
        // the one whose signature was checked.
        VerifiedFile checked;
        if (!VerifyQuorvaneCertificate(path, checked)) {
            __trace__.error(
                L"%ls has been modified and is no longer signed by Quorvane. The program will not be "
                L"executed.",
                path);
            return QVAPI_LOAD_NOT_SIGNED;
        }

        // The very bytes checked are loaded (never a library loaded before).
        std::string why;
        library_ = kitbase::loadModuleFromDescriptor(checked.fd(), &why);
        if (library_ == nullptr) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            __trace__.debug(L"%s", why);
            __trace__.error(L"Cannot load engine library : '%ls'. Code: %d", path,
                            static_cast<int>(GetLastError()));
            return QVAPI_LOAD_NOT_LOADABLE;
        }

        bool missing = false;
        for (const EntrySlot& entry : kEntries) {
            void* address = dlsym(library_, entry.name);
            if (address == nullptr && entry.required) {
                __trace__.debug(L"Missing engine entry: %s", entry.name);
                missing = true;
            }
        }
        if (missing) {
            // Always a failure code, whatever the last lookup left behind.
            SetLastError(ERROR_PROC_NOT_FOUND);
            __trace__.error(
                L"Cannot load one or more symbols from the engine library from folder: '%ls'. Code: %d",
                libraryFolder_, static_cast<int>(ERROR_PROC_NOT_FOUND));
            unload();
            return static_cast<int>(ERROR_PROC_NOT_FOUND);
        }

        bind(library_, "QVAPI_initialize", QVAPI_initialize);
        bind(library_, "QVAPI_uninitialize", QVAPI_uninitialize);
        bind(library_, "QVAPI_APC_initialize", QVAPI_APC_initialize);
        bind(library_, "QVAPI_APC_uninitialize", QVAPI_APC_uninitialize);
        bind(library_, "QVAPI_set_log_callback", QVAPI_set_log_callback);
        bind(library_, "QVAPI_create_instance", QVAPI_create_instance);
        bind(library_, "QVAPI_release_instance", QVAPI_release_instance);
        bind(library_, "QVAPI_set_user_data", QVAPI_set_user_data);
        bind(library_, "QVAPI_get_user_data", QVAPI_get_user_data);
        bind(library_, "QVAPI_register_callback", QVAPI_register_callback);
        bind(library_, "QVAPI_unregister_callback", QVAPI_unregister_callback);
        bind(library_, "QVAPI_engine_modules_get", QVAPI_engine_modules_get);
        bind(library_, "QVAPI_reload_engine_ex", QVAPI_reload_engine_ex);
        bind(library_, "QVAPI_get", QVAPI_get);
        bind(library_, "QVAPI_set", QVAPI_set);
        bind(library_, "QVAPI_global_set", QVAPI_global_set);
        bind(library_, "QVAPI_scan", QVAPI_scan);
        bind(library_, "QVAPI_simple_scan", QVAPI_simple_scan);
        bind(library_, "QVAPI_get_version", QVAPI_get_version);
        bind(library_, "QVAPI_APC_get_version", QVAPI_APC_get_version);
        bind(library_, "QVAPI_set_fops", QVAPI_set_fops);
        bind(library_, "QVAPI_free", QVAPI_free);
        bind(library_, "QVAPI_is_running_ex", QVAPI_is_running_ex);
        bind(library_, "QVAPI_OA_initialize", QVAPI_OA_initialize);
        bind(library_, "QVAPI_OA_uninitialize", QVAPI_OA_uninitialize);
        bind(library_, "QVAPI_OA_create_instances", QVAPI_OA_create_instances);
        bind(library_, "QVAPI_OA_start_scan", QVAPI_OA_start_scan);
        bind(library_, "QVAPI_OA_stop_scan", QVAPI_OA_stop_scan);
        bind(library_, "QVAPI_extract_malware_names", QVAPI_extract_malware_names);
        return 0;
    } catch (...) {
        __trace__.error(L"Unexpected error loading the engine library: '%ls'", path);
        unload();
        return QVAPI_LOAD_UNEXPECTED;
    }
}
