#pragma once
// The C interface of the scanning engine library "qvapi.dll" (QVAPI).
//
// The service never links against the engine: it loads the library at run time and
// looks the 29 entries up by name (the names below, exactly). This header is the one
// description of that interface, shared by the service's binding and by our own
// engine library in standins/engine.
//
// Conventions:
// - every entry returns a signed 32-bit result, QVAPI_OK (0) for success, otherwise
//   one of the QVAPI_E_* codes;
// - numbers in records are fixed-width; texts, handles and user data are pointers;
//   texts are wide (wchar_t) unless the field says narrow (UTF-8);
// - the engine copies every text it keeps: the caller may free the texts of a record
//   right after the call that received it;
// - texts handed to callbacks are valid only for the duration of the callback.
#include <cstdint>

// ---------------------------------------------------------------------------
// Result codes
// ---------------------------------------------------------------------------
enum : int32_t {
    QVAPI_OK = 0,
    QVAPI_E_INVALID_PARAMETER = 1,
    QVAPI_E_BUFFER_TOO_SMALL = 4,
    QVAPI_E_NO_MEMORY = 7,
    QVAPI_E_VDF_NOT_FOUND = 8,
    QVAPI_E_VDF_READ = 9,
    QVAPI_E_VDF_CRC = 10,
    QVAPI_E_ENGINE_NOT_FOUND = 13,
    QVAPI_E_INTERNAL = 18,
    QVAPI_E_NOT_SUPPORTED = 19,   // known feature or option this engine does not offer
    QVAPI_E_INVALID_OPTION = 21,  // option or item id unknown to the engine
    QVAPI_E_ABORTED = 31,         // also the callback answer "skip / stop"
    QVAPI_E_TIMEOUT = 32,
    QVAPI_E_OPEN = 33,
    QVAPI_E_READ = 34,
    QVAPI_E_WRITE = 35,
    QVAPI_E_NOT_ABSOLUTE = 38,
    QVAPI_E_NOT_INITIALIZED = 50,  // engine (or its on-access layer) not initialised
    QVAPI_E_BUSY = 68,
    QVAPI_E_ALREADY_RUNNING = 2005,  // on-access scanning already runs
};

// ---------------------------------------------------------------------------
// Handles and versions
// ---------------------------------------------------------------------------
struct qvapi_instance;
typedef qvapi_instance* QVAPI_INSTANCE;

struct QVAPI_VERSION {
    uint32_t major;
    uint32_t minor;
    uint32_t build;
    uint32_t revision;
};

// ---------------------------------------------------------------------------
// Initialisation records
// ---------------------------------------------------------------------------
#define QVAPI_API_VERSION_MAJOR 5
#define QVAPI_API_VERSION_MINOR 5

// QVAPI_initialize and QVAPI_reload_engine_ex.
struct QVAPI_GLOBAL_INIT {
    uint32_t api_major;  // QVAPI_API_VERSION_MAJOR
    uint32_t api_minor;  // QVAPI_API_VERSION_MINOR
    uint32_t product_id;
    const wchar_t* engine_folder;  // folder of the engine file
    const wchar_t* vdf_folder;     // folder of the signature files
    uint32_t reserved1;            // 0
    uint32_t reserved2;            // 0
};

// QVAPI_APC_initialize (protection cloud).
struct QVAPI_APC_INIT {
    const wchar_t* product_folder;
    const wchar_t* temp_folder;
    const wchar_t* key_folder;
    uint32_t mode;             // 0 off, 1 check only, 2 full
    uint32_t max_upload_size;  // bytes
    uint32_t cache_enabled;    // 1 = keep a local answer cache
    const wchar_t* cache_file;
    uint32_t connect_timeout;  // seconds
    uint32_t cache_ttl;        // seconds
    const char* proxy;         // narrow (UTF-8) "host:port", or null
};

// QVAPI_OA_initialize.
struct QVAPI_OA_INIT {
    uint32_t scan_threads;
    uint32_t reserved;  // 0
};

// QVAPI_create_instance.
struct QVAPI_INSTANCE_INIT {
    uint32_t flags;     // 0
    uint32_t reserved;  // 0
};

// ---------------------------------------------------------------------------
// Callbacks
// ---------------------------------------------------------------------------
enum : uint32_t {
    QVAPI_CALLBACK_REPORT_FILE_STATUS = 0,
    QVAPI_CALLBACK_REPORT_ERROR = 3,
    QVAPI_CALLBACK_PRESCAN = 4,
    QVAPI_CALLBACK_ARCHIVE_OPEN = 5,
    QVAPI_CALLBACK_OA_FILE_STATUS = 9,
    QVAPI_CALLBACK_APC_SCAN = 10,
    QVAPI_CALLBACK_TYPE_COUNT = 11,  // types are 0 .. QVAPI_CALLBACK_TYPE_COUNT - 1
};

// Scan answers of QVAPI_FILE_STATUS_DATA::scan_answer.
enum : int32_t {
    QVAPI_SCAN_ANSWER_CLEAN = 0,
    QVAPI_SCAN_ANSWER_MALWARE = 1,
    QVAPI_SCAN_ANSWER_SUSPICIOUS = 2,
    QVAPI_SCAN_ANSWER_DONE = 4,
};

// Callback answers.
enum : int32_t {
    QVAPI_CALLBACK_CONTINUE = 0,
    QVAPI_CALLBACK_SKIP = 31,  // skip this object / stop the scan
    QVAPI_OA_ALLOW = 0,        // type 9
    QVAPI_OA_DENY = 1,         // type 9
    QVAPI_APC_STOP = 1,        // type 10: no cloud step for this file
};

// Kinds of QVAPI_ERROR_DATA::kind.
enum : int32_t {
    QVAPI_REPORT_ERROR = 0,
    QVAPI_REPORT_WARNING = 1,
    QVAPI_REPORT_INFO = 2,
};

// Archive types of QVAPI_ARCHIVE_OPEN_DATA::archive_type.
enum : uint32_t {
    QVAPI_ARCHIVE_ZIP = 1,
};

// Stages of QVAPI_APC_SCAN_DATA::stage.
enum : uint32_t {
    QVAPI_APC_STAGE_START = 0,
    QVAPI_APC_STAGE_PRE_HASH = 1,
    QVAPI_APC_STAGE_PRE_UPLOAD = 2,
    QVAPI_APC_STAGE_DONE = 3,
};

// Access kinds of QVAPI_OA_FILE_STATUS_DATA::access.
enum : uint32_t {
    QVAPI_OA_ACCESS_OPEN = 0,
    QVAPI_OA_ACCESS_EXEC = 1,
};

// The record every instance callback receives.
struct QVAPI_CALLBACK_DATA {
    uint32_t type;            // QVAPI_CALLBACK_*
    uint32_t reserved;        // 0
    QVAPI_INSTANCE instance;  // instance that runs the scan
    void* user_data;          // QVAPI_set_user_data of that instance
    void* type_data;          // QVAPI_*_DATA of the type
};

// Type 0: a file (or an archive member) has a verdict.
struct QVAPI_FILE_STATUS_DATA {
    int32_t status;                // 0, or 1 when something was found
    int32_t scan_answer;           // QVAPI_SCAN_ANSWER_*
    const wchar_t* filename;       // file, or "archive/member" inside an archive
    const wchar_t* root_filename;  // top-level file being scanned
    uint32_t archive_level;        // 0 = the top-level file
    const wchar_t* malware_name;   // null when nothing was found
    const wchar_t* malware_type;   // null when nothing was found
    const wchar_t* message;        // null or a short text
    const wchar_t* app_flags;      // null or a short text
    int32_t removable;
    int32_t strict;
    int32_t warning;
    int32_t info;
};

// Type 3: an error, warning or information about a file.
struct QVAPI_ERROR_DATA {
    const wchar_t* filename;
    const wchar_t* root_filename;
    uint32_t archive_level;
    uint32_t reserved;
    int32_t kind;  // QVAPI_REPORT_*
    int32_t code;  // error code (kind 0) or flag bits (kinds 1, 2)
};

// Type 4: the engine is about to scan an object.
struct QVAPI_PRESCAN_DATA {
    uint32_t flags;
    const wchar_t* path;
    const wchar_t* root_filename;
    uint32_t archive_level;  // 0 = the top-level file
};

// Type 5: the engine has opened an archive.
struct QVAPI_ARCHIVE_OPEN_DATA {
    uint32_t flags;
    const wchar_t* path;
    uint32_t archive_type;   // QVAPI_ARCHIVE_*
    uint32_t archive_level;  // level of the archive's members
};

// Type 9: an on-access scan is finished; the answer decides the open.
struct QVAPI_OA_FILE_STATUS_DATA {
    const wchar_t* path;
    int32_t pid;      // process that opens the file
    uint32_t access;  // QVAPI_OA_ACCESS_*
};

// Type 10: a step of the protection-cloud check of a file.
struct QVAPI_APC_SCAN_DATA {
    const wchar_t* path;
    const char* sha256;  // narrow hex digest, null before it is known
    uint32_t reserved;
    uint32_t stage;  // QVAPI_APC_STAGE_*
};

typedef int32_t (*QVAPI_CALLBACK)(QVAPI_CALLBACK_DATA* data);

// Engine log levels: 0 debug, 1 info, 2 warning, 3 alert, 4 error. Messages at or
// above the level set with QVAPI_set_log_callback are delivered.
enum : int32_t {
    QVAPI_LOG_DEBUG = 0,
    QVAPI_LOG_INFO = 1,
    QVAPI_LOG_WARNING = 2,
    QVAPI_LOG_ALERT = 3,
    QVAPI_LOG_ERROR = 4,
};
typedef int32_t (*QVAPI_LOG_CALLBACK)(int32_t level, const wchar_t* message, void* context);

// On-access instance created / about to be destroyed (called on the engine's thread).
typedef int32_t (*QVAPI_OA_INSTANCE_CALLBACK)(QVAPI_INSTANCE instance);

// ---------------------------------------------------------------------------
// Items (QVAPI_get) and options (QVAPI_set, QVAPI_global_set)
// ---------------------------------------------------------------------------
enum : uint32_t {
    QVAPI_ITEM_ENGINE_VERSION = 2001,
    QVAPI_ITEM_VDF_VERSION = 2002,
    QVAPI_ITEM_SIGNATURE_COUNT = 2005,
    QVAPI_ITEM_VDF_DATE = 2017,
};

// Instance options (values are decimal texts unless said).
enum : uint32_t {
    QVAPI_OPTION_ARCHIVE_SCAN = 3,
    QVAPI_OPTION_ARCHIVE_MAX_SIZE = 4,
    QVAPI_OPTION_ARCHIVE_MAX_RECURSION = 5,
    QVAPI_OPTION_ARCHIVE_MAX_RATIO = 6,
    QVAPI_OPTION_ARCHIVE_MAX_COUNT = 7,
    QVAPI_OPTION_MAILBOX_SCAN = 8,
    QVAPI_OPTION_HEURISTIC_LEVEL = 10,
    QVAPI_OPTION_SCAN_TIMEOUT = 12,  // seconds, 0 = none
    QVAPI_OPTION_DETECT_PHISHING = 26,
    QVAPI_OPTION_DETECT_SPR = 27,
    QVAPI_OPTION_SCAN_MODE = 30,  // "ALL", "SMART" or "EXTLIST"
    QVAPI_OPTION_MIME_SCAN = 31,
    QVAPI_OPTION_DETECT_PFS = 35,
    QVAPI_OPTION_APC_CONNECTION_TIMEOUT = 38,
    QVAPI_OPTION_APC_SCAN_TIMEOUT = 39,
    QVAPI_OPTION_APC_CHECK_RISK_LEVEL = 40,
    QVAPI_OPTION_APC_UPLOAD_RISK_LEVEL = 41,
    QVAPI_OPTION_DETECT_PUA = 43,
    QVAPI_OPTION_FPC = 45,
    QVAPI_OPTION_APC_PE_MODE = 47,
    QVAPI_OPTION_DETECT_ALL_TYPES = 1001,
};

// Global options.
enum : uint32_t {
    QVAPI_GLOBAL_OA_EXTENSION_LIST = 3000,      // ";"-separated, e.g. ".exe;.dll"
    QVAPI_GLOBAL_OA_EXCEPTED_FILES = 3001,      // ";"-separated paths (or folders)
    QVAPI_GLOBAL_OA_EXCEPTED_PROCESSES = 3002,  // ";"-separated program names or paths
    QVAPI_GLOBAL_OA_SCAN_AT_FILE_CHANGES = 3003,
    QVAPI_GLOBAL_OA_SCAN_NETWORK_DRIVES = 3004,
    QVAPI_GLOBAL_OA_SCAN_TIMEOUT = 3006,  // seconds, 0 = none
    QVAPI_GLOBAL_PROXY = 4002,
};

// ---------------------------------------------------------------------------
// Records of the entries the service does not call
// ---------------------------------------------------------------------------
struct QVAPI_ENGINE_MODULE {
    wchar_t name[64];
    QVAPI_VERSION version;
};

// File operations the engine may use instead of its own (QVAPI_set_fops).
struct QVAPI_FOPS {
    void* (*open)(const wchar_t* path);
    int64_t (*read)(void* file, void* buffer, uint64_t size);
    int32_t (*close)(void* file);
};

// Engine state bits of QVAPI_is_running_ex.
enum : uint32_t {
    QVAPI_RUNNING_ENGINE = 1,
    QVAPI_RUNNING_APC = 2,
    QVAPI_RUNNING_OA_INITIALIZED = 4,
    QVAPI_RUNNING_OA_SCANNING = 8,
};

// ---------------------------------------------------------------------------
// The entries: function-pointer types, in the service's lookup order
// ---------------------------------------------------------------------------
typedef int32_t (*QVAPI_initialize_t)(const QVAPI_GLOBAL_INIT* init);
typedef int32_t (*QVAPI_uninitialize_t)(void);
typedef int32_t (*QVAPI_APC_initialize_t)(const QVAPI_APC_INIT* init);
typedef int32_t (*QVAPI_APC_uninitialize_t)(void);
typedef int32_t (*QVAPI_set_log_callback_t)(QVAPI_LOG_CALLBACK callback, int32_t level, void* context);
typedef int32_t (*QVAPI_create_instance_t)(const QVAPI_INSTANCE_INIT* init, QVAPI_INSTANCE* instance);
typedef int32_t (*QVAPI_release_instance_t)(QVAPI_INSTANCE* instance);  // clears *instance
typedef int32_t (*QVAPI_set_user_data_t)(QVAPI_INSTANCE instance, void* user_data);
typedef int32_t (*QVAPI_get_user_data_t)(QVAPI_INSTANCE instance, void** user_data);
typedef int32_t (*QVAPI_register_callback_t)(QVAPI_INSTANCE instance, uint32_t type, QVAPI_CALLBACK callback);
typedef int32_t (*QVAPI_unregister_callback_t)(QVAPI_INSTANCE instance, uint32_t type,
                                               QVAPI_CALLBACK callback);
// Fills up to *count module records and sets *count to the number of modules;
// QVAPI_E_BUFFER_TOO_SMALL when there are more than fit.
typedef int32_t (*QVAPI_engine_modules_get_t)(QVAPI_ENGINE_MODULE* modules, uint32_t* count);
typedef int32_t (*QVAPI_reload_engine_ex_t)(const QVAPI_GLOBAL_INIT* init);
// *length: in = room in characters without the terminating zero; out = text length.
typedef int32_t (*QVAPI_get_t)(QVAPI_INSTANCE instance, uint32_t item, wchar_t* buffer, uint32_t* length);
typedef int32_t (*QVAPI_set_t)(QVAPI_INSTANCE instance, uint32_t option, const wchar_t* value);
typedef int32_t (*QVAPI_global_set_t)(uint32_t option, const wchar_t* value);
typedef int32_t (*QVAPI_scan_t)(QVAPI_INSTANCE instance, const wchar_t* path);
// A scan without callbacks: *scan_answer = QVAPI_SCAN_ANSWER_*; *malware_name is null
// or a text the caller frees with QVAPI_free.
typedef int32_t (*QVAPI_simple_scan_t)(QVAPI_INSTANCE instance, const wchar_t* path, int32_t* scan_answer,
                                       wchar_t** malware_name);
typedef int32_t (*QVAPI_get_version_t)(QVAPI_VERSION* version);
typedef int32_t (*QVAPI_APC_get_version_t)(QVAPI_VERSION* version);
typedef int32_t (*QVAPI_set_fops_t)(const QVAPI_FOPS* fops);
typedef int32_t (*QVAPI_free_t)(void* memory);
typedef int32_t (*QVAPI_is_running_ex_t)(uint32_t* state);  // QVAPI_RUNNING_* bits
typedef int32_t (*QVAPI_OA_initialize_t)(const QVAPI_OA_INIT* init);
typedef int32_t (*QVAPI_OA_uninitialize_t)(void);
typedef int32_t (*QVAPI_OA_create_instances_t)(QVAPI_OA_INSTANCE_CALLBACK created,
                                               QVAPI_OA_INSTANCE_CALLBACK destroyed);
typedef int32_t (*QVAPI_OA_start_scan_t)(void);
typedef int32_t (*QVAPI_OA_stop_scan_t)(void);
typedef int32_t (*QVAPI_extract_malware_names_t)(const wchar_t* folder);

// Extra entry of our engine (not part of the 29): hands the on-access layer one file
// access as if the kernel had reported it, waits for the verdict and stores it in
// *verdict (QVAPI_OA_ALLOW or QVAPI_OA_DENY). Result QVAPI_OK, QVAPI_E_TIMEOUT when
// the on-access scan time-out passed (the verdict is then QVAPI_OA_ALLOW), or
// QVAPI_E_NOT_INITIALIZED when on-access scanning is not started.
typedef int32_t (*QVAPI_OA_inject_access_t)(const wchar_t* path, int32_t pid, uint32_t access,
                                            int32_t* verdict);

// The entry names, in the service's lookup order.
#define QVAPI_ENTRY_NAMES                                                                                   \
    "QVAPI_initialize", "QVAPI_uninitialize", "QVAPI_APC_initialize", "QVAPI_APC_uninitialize",             \
        "QVAPI_set_log_callback", "QVAPI_create_instance", "QVAPI_release_instance", "QVAPI_set_user_data", \
        "QVAPI_get_user_data", "QVAPI_register_callback", "QVAPI_unregister_callback",                      \
        "QVAPI_engine_modules_get", "QVAPI_reload_engine_ex", "QVAPI_get", "QVAPI_set", "QVAPI_global_set", \
        "QVAPI_scan", "QVAPI_simple_scan", "QVAPI_get_version", "QVAPI_APC_get_version", "QVAPI_set_fops",  \
        "QVAPI_free", "QVAPI_is_running_ex", "QVAPI_OA_initialize", "QVAPI_OA_uninitialize",                \
        "QVAPI_OA_create_instances", "QVAPI_OA_start_scan", "QVAPI_OA_stop_scan",                           \
        "QVAPI_extract_malware_names"

// Prototypes of the entries as the engine library exports them (extern "C").
extern "C" {
int32_t QVAPI_initialize(const QVAPI_GLOBAL_INIT* init);
int32_t QVAPI_uninitialize(void);
int32_t QVAPI_APC_initialize(const QVAPI_APC_INIT* init);
int32_t QVAPI_APC_uninitialize(void);
int32_t QVAPI_set_log_callback(QVAPI_LOG_CALLBACK callback, int32_t level, void* context);
int32_t QVAPI_create_instance(const QVAPI_INSTANCE_INIT* init, QVAPI_INSTANCE* instance);
int32_t QVAPI_release_instance(QVAPI_INSTANCE* instance);
int32_t QVAPI_set_user_data(QVAPI_INSTANCE instance, void* user_data);
int32_t QVAPI_get_user_data(QVAPI_INSTANCE instance, void** user_data);
int32_t QVAPI_register_callback(QVAPI_INSTANCE instance, uint32_t type, QVAPI_CALLBACK callback);
int32_t QVAPI_unregister_callback(QVAPI_INSTANCE instance, uint32_t type, QVAPI_CALLBACK callback);
int32_t QVAPI_engine_modules_get(QVAPI_ENGINE_MODULE* modules, uint32_t* count);
int32_t QVAPI_reload_engine_ex(const QVAPI_GLOBAL_INIT* init);
int32_t QVAPI_get(QVAPI_INSTANCE instance, uint32_t item, wchar_t* buffer, uint32_t* length);
int32_t QVAPI_set(QVAPI_INSTANCE instance, uint32_t option, const wchar_t* value);
int32_t QVAPI_global_set(uint32_t option, const wchar_t* value);
int32_t QVAPI_scan(QVAPI_INSTANCE instance, const wchar_t* path);
int32_t QVAPI_simple_scan(QVAPI_INSTANCE instance, const wchar_t* path, int32_t* scan_answer,
                          wchar_t** malware_name);
int32_t QVAPI_get_version(QVAPI_VERSION* version);
int32_t QVAPI_APC_get_version(QVAPI_VERSION* version);
int32_t QVAPI_set_fops(const QVAPI_FOPS* fops);
int32_t QVAPI_free(void* memory);
int32_t QVAPI_is_running_ex(uint32_t* state);
int32_t QVAPI_OA_initialize(const QVAPI_OA_INIT* init);
int32_t QVAPI_OA_uninitialize(void);
int32_t QVAPI_OA_create_instances(QVAPI_OA_INSTANCE_CALLBACK created, QVAPI_OA_INSTANCE_CALLBACK destroyed);
int32_t QVAPI_OA_start_scan(void);
int32_t QVAPI_OA_stop_scan(void);
int32_t QVAPI_extract_malware_names(const wchar_t* folder);
int32_t QVAPI_OA_inject_access(const wchar_t* path, int32_t pid, uint32_t access, int32_t* verdict);
}
