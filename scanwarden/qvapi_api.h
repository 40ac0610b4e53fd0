#pragma once
// The binding to the scanning engine library "qvapi.dll": the library is loaded at run
// time from its folder, only after its code signature names the engine vendor, and
// reached through the table of its 29 entries looked up by name.
#include <cstdint>
#include <string>

#include "kitbase/core/authenticode.h"
#include "kitbase/platform/wintypes.h"
#include "scanwarden/qvapi_interface.h"

// Results of QVAPI_API::load besides 0 and the Windows code of a missing entry.
constexpr int QVAPI_LOAD_NOT_SIGNED = 4129;
constexpr int QVAPI_LOAD_NOT_LOADABLE = 1;
constexpr int QVAPI_LOAD_UNEXPECTED = -1;

class QVAPI_API {
public:
    QVAPI_API() = default;
    // Frees the library when loaded and clears the folder.
    virtual ~QVAPI_API();
    QVAPI_API(const QVAPI_API&) = delete;
    QVAPI_API& operator=(const QVAPI_API&) = delete;

    // True when the library is loaded.
    virtual bool isLoaded() const { return library_ != nullptr; }

    // Checks and loads "qvapi.dll" from the library folder and binds its entries:
    // 0 loaded (or already loaded: a library is never loaded twice); 4129 not signed by
    // the engine vendor; 1 not loadable; 127 (ERROR_PROC_NOT_FOUND) a required entry is
    // missing, the library is freed again and every entry cleared; -1 unexpected error.
    int load();

    void setLibraryFolder(const std::wstring& folder) { libraryFolder_ = folder; }
    const std::wstring& libraryFolder() const { return libraryFolder_; }
    // The loaded library (dlopen handle), or null.
    HMODULE libraryHandle() const { return library_; }

    // The entries; null until bound. QVAPI_scan and QVAPI_APC_get_version are optional
    // and may stay null while the library is loaded.
    QVAPI_initialize_t QVAPI_initialize = nullptr;
    QVAPI_uninitialize_t QVAPI_uninitialize = nullptr;
    QVAPI_APC_initialize_t QVAPI_APC_initialize = nullptr;
    QVAPI_APC_uninitialize_t QVAPI_APC_uninitialize = nullptr;
    QVAPI_set_log_callback_t QVAPI_set_log_callback = nullptr;
    QVAPI_create_instance_t QVAPI_create_instance = nullptr;
    QVAPI_release_instance_t QVAPI_release_instance = nullptr;
    QVAPI_set_user_data_t QVAPI_set_user_data = nullptr;
    QVAPI_get_user_data_t QVAPI_get_user_data = nullptr;
    QVAPI_register_callback_t QVAPI_register_callback = nullptr;
    QVAPI_unregister_callback_t QVAPI_unregister_callback = nullptr;
    QVAPI_engine_modules_get_t QVAPI_engine_modules_get = nullptr;
    QVAPI_reload_engine_ex_t QVAPI_reload_engine_ex = nullptr;
    QVAPI_get_t QVAPI_get = nullptr;
    QVAPI_set_t QVAPI_set = nullptr;
    QVAPI_global_set_t QVAPI_global_set = nullptr;
    QVAPI_scan_t QVAPI_scan = nullptr;
    QVAPI_simple_scan_t QVAPI_simple_scan = nullptr;
    QVAPI_get_version_t QVAPI_get_version = nullptr;
    QVAPI_APC_get_version_t QVAPI_APC_get_version = nullptr;
    QVAPI_set_fops_t QVAPI_set_fops = nullptr;
    QVAPI_free_t QVAPI_free = nullptr;
    QVAPI_is_running_ex_t QVAPI_is_running_ex = nullptr;
    QVAPI_OA_initialize_t QVAPI_OA_initialize = nullptr;
    QVAPI_OA_uninitialize_t QVAPI_OA_uninitialize = nullptr;
    QVAPI_OA_create_instances_t QVAPI_OA_create_instances = nullptr;
    QVAPI_OA_start_scan_t QVAPI_OA_start_scan = nullptr;
    QVAPI_OA_stop_scan_t QVAPI_OA_stop_scan = nullptr;
    QVAPI_extract_malware_names_t QVAPI_extract_malware_names = nullptr;

protected:
    // Frees the library and clears every entry.
    void unload();

private:
    void clearEntries();

    HMODULE library_ = nullptr;
    std::wstring libraryFolder_;
};
