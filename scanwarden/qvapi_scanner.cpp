#include "scanwarden/qvapi_scanner.h"

#include <exception>
#include <string_view>

#include "kitbase/core/folders.h"
#include "kitbase/core/oem_resource.h"
#include "kitbase/core/strings.h"
#include "kitbase/core/trace.h"
#include "kitbase/platform/format.h"
#include "kitbase/platform/roots.h"
#include "scanwarden/engine_files.h"
#include "scanwarden/options.h"

namespace {

constexpr int kNoEngine = 4002;
constexpr uint32_t kMinOAThreads = 3;
constexpr uint32_t kMaxOAThreads = 24;
constexpr uint32_t kVersionBuffer = 256;

// Clears what a scan leaves in a record about the last detection.
void clearDetection(ScanRecord& record) {
    record.scanAnswer = 0;
    record.warning = 0;
    record.malwareCount = 0;
    record.fileName.clear();
    record.rootFile.clear();
    record.malwareName.clear();
    record.malwareType.clear();
    record.message.clear();
}

std::wstring versionNumbers(const QVAPI_VERSION& v) {
    std::wstring text = kitbase::wformat(L"%d.%d.%d.%d", v.major, v.minor, v.build, v.revision);
    if (text.size() > 255)
        text.resize(255);
    return text;
}

}  // namespace

// ---------------------------------------------------------------------------
// QVAPIScanner
// ---------------------------------------------------------------------------

QVAPIScanner::QVAPIScanner(_Options* options, const EngineCallbacks& callbacks)
    : options_(options != nullptr ? options : &_Options::instance()), callbacks_(callbacks) {}

QVAPIScanner::~QVAPIScanner() {
    try {
        uninitialize();
        cleanMalwareNameFiles();
    } catch (...) {
    }
    logContext_.trace = nullptr;
    std::lock_guard<std::mutex> guard(oaLogLock_);
    oaLog_.reset();
}

bool QVAPIScanner::isLoaded() const {
    return QVAPI_API::isLoaded() && setupFinished_;
}

int32_t QVAPIScanner::engineLogLevel(int traceLevel) {
    switch (traceLevel) {
        case TRACE_ALERT:
            return QVAPI_LOG_ALERT;
        case TRACE_WARNING:
            return QVAPI_LOG_WARNING;
        case TRACE_INFO:
            return QVAPI_LOG_INFO;
        case TRACE_DEBUG:
            return QVAPI_LOG_DEBUG;
        default:
            return QVAPI_LOG_ERROR;
    }
}

uint32_t QVAPIScanner::onAccessThreadCount(int configured) {
    if (configured < static_cast<int>(kMinOAThreads))
        return kMinOAThreads;
    if (configured > static_cast<int>(kMaxOAThreads))
        return kMaxOAThreads;
    return static_cast<uint32_t>(configured);
}

std::shared_ptr<Trace> QVAPIScanner::onAccessLog() const {
    std::lock_guard<std::mutex> guard(oaLogLock_);
    return oaLog_;
}

int QVAPIScanner::initialize() {
    // An engine that is set up already is taken down first, so that it is never
    // initialised twice on top of itself.
    if (setupFinished_)
        uninitialize();

    apcInitialized_ = 0;
    oaInitialized_ = 0;
    engineInitialized_ = 0;

    if (load() != 0) {
        __trace__.error(L"Cannot load the engine library.");
        return 1;
    }

    _Options& options = *options_;
    logContext_.trace = nullptr;
    const int32_t engineLevel = engineLogLevel(options.getOptionNumeric(L"loglevel"));
    logContext_.level = engineLevel;

    const std::wstring apiVersion = kitbase::wformat(L"'%ls' %d.%d", L"QVAPI compiled with API version",
                                                     QVAPI_API_VERSION_MAJOR, QVAPI_API_VERSION_MINOR);
    __trace__.info(L"API Version: %ls", apiVersion);

    int r = QVAPI_set_log_callback(callbacks_.log, engineLevel, &logContext_);
    if (r != 0)
        __trace__.warning(L"Cannot set logging callbacks: code %d", r);

    {
        // The record's texts live only for the call that reads them.
        const std::wstring engineFolder = engineFolder_;
        const std::wstring vdfFolder = engineFolder_;
        QVAPI_GLOBAL_INIT record{};
        record.api_major = QVAPI_API_VERSION_MAJOR;
        record.api_minor = QVAPI_API_VERSION_MINOR;
        record.product_id = static_cast<uint32_t>(options.getOptionNumeric(L"scannerproductid"));
        record.engine_folder = engineFolder.c_str();
        record.vdf_folder = vdfFolder.c_str();
        __trace__.debug(L"Loading the engine from %ls", engineFolder_);
        __trace__.debug(L"\nInitializing QVAPI Library from %ls", engineFolder_);
        r = QVAPI_initialize(&record);
    }
    if (r != 0) {
        __trace__.error(L"Cannot initialize QVAPI engine from folder %ls: error %d:%ls", engineFolder_, r,
                        getQvapiErrorText(r));
        return r;
    }
    engineInitialized_ = 1;
    engineRunning_ = true;
    QVAPI_extract_malware_names(getTmp().c_str());

    int result = 0;
    const int apcMode = options.getOptionNumeric(L"apcmode");
    if (apcMode != 0) {
        __trace__.debug(L"\nPreparing APC global initialization");
        const std::wstring productFolder = scannerFolder_;
        const std::wstring tempFolder = getTmp();
        const std::wstring keyFolder = scannerFolder_;
        const std::wstring cacheFile = createPath(getTmp(), L"apc_cache.dat");
        const std::string proxy = WS2S(options.getOptionString(L"proxyserver"));
        QVAPI_APC_INIT record{};
        record.product_folder = productFolder.c_str();
        record.temp_folder = tempFolder.c_str();
        record.key_folder = keyFolder.c_str();
        record.mode = static_cast<uint32_t>(apcMode);
        record.max_upload_size = 52428800;
        record.cache_enabled = 1;
        record.cache_file = cacheFile.c_str();
        record.connect_timeout = 5;
        record.cache_ttl = 300;
        record.proxy = proxy.empty() ? nullptr : proxy.c_str();
        __trace__.info(L"\nInitializing APC Library");
        result = QVAPI_APC_initialize(&record);
        if (result == 0)
            apcInitialized_ = 1;
        else
            __trace__.warning(L"Cannot initialize APC: error %d", result);
        __trace__.debug(L"\nReleasing APC Library global initialization data");
    } else {
        __trace__.warning(L"APC is configured disabled");
    }

    oaStarted_ = false;

    if (options.getOptionNumeric(L"onaccess") == 1)
        initializeOnAccess(result);
    else
        __trace__.warning(L"OnAccess scanning is configured disabled");

    setupFinished_ = true;
    __trace__.info(L"\nEngine Setup finished : code %d", result);
    return result;
}

void QVAPIScanner::initializeOnAccess(int& result) {
    _Options& options = *options_;
    __trace__.info(L"\n----------------------------------------------------------------");
    __trace__.info(L"\nPreparing OnAccess global initialization");
    __trace__.info(L"\nInitializing QVAPI OnAccess Library");

    QVAPI_OA_INIT record{};
    const uint32_t threads = onAccessThreadCount(options.getOptionNumeric(L"oascanthreads"));
    __trace__.info(L"Starting OA Scan with %d threads", threads);
    record.scan_threads = threads;
    record.reserved = 0;

    result = QVAPI_OA_initialize(&record);
    if (result != 0) {
        __trace__.error(L"Cannot initialize OA scanning: error %d", result);
    } else {
        oaInitialized_ = 1;
        __trace__.info(L"ON Access scanning initialized");

        const int level = options.getOptionNumeric(L"loglevel");
        auto log = std::make_shared<Trace>();
        log->_inittrace(createPath(getLogFolder(), L"OA-Scan.log"), static_cast<TraceLevel>(level),
                        __trace__.getConsoleMode(), false, true);
        std::shared_ptr<Trace> previous;
        {
            std::lock_guard<std::mutex> guard(oaLogLock_);
            previous = oaLog_;
            oaLog_ = log;
        }
        // The engine's log sink moves to the new log before the old one goes.
        logContext_.trace = log.get();
        logContext_.level = engineLogLevel(log->getTraceLevel());
        previous.reset();

        __trace__.info(L"\nCreating OnAccess instances");
        result = QVAPI_OA_create_instances(callbacks_.instanceCreated, callbacks_.instanceDestroyed);
        if (result == 0) {
            __trace__.info(L"OnAccess scanning initialized");
            std::wstring systemFolder = S2WS(kitbase::systemFolder());
            if (systemFolder.size() > 255)
                systemFolder.resize(255);
            const std::wstring excepted =
                getThisBinaryPath(nullptr) + L";" + createPath(systemFolder, L"csrss.exe");
            options.setEngineOption(this, L"oaexceptedfiles", &excepted, nullptr);
            return;
        }
    }

    __trace__.error(L"Cannot initialize OA scanning instances: error %d", result);
    options.setNumberInMemory(14, 0);
    oaInitialized_ = 0;
}

int QVAPIScanner::uninitialize() {
    if (!setupFinished_ || engineInitialized_ != 1)
        return 1;

    if (oaInitialized_ == 1) {
        __trace__.info(L"Uninitializing QVAPI OnAccess Library");
        const int r = QVAPI_OA_uninitialize();
        if (r != 0)
            __trace__.error(L"Uninitializing QVAPI OnAccess Failed with error code: '%d'", r);
        oaInitialized_ = 0;
    }
    if (apcInitialized_ == 1) {
        __trace__.info(L"Uninitializing APC Library");
        const int r = QVAPI_APC_uninitialize();
        if (r != 0)
            __trace__.info(L"Failed with error code: '%d'", r);
        apcInitialized_ = 0;
    }
    __trace__.info(L"Uninitializing QVAPI Library");
    const int r = QVAPI_uninitialize();
    if (r != 0)
        __trace__.info(L"Failed with error code: '%d'\n", r);
    engineRunning_ = false;
    setupFinished_ = false;
    return r;
}

int QVAPIScanner::reload(const std::wstring& folder) {
    __trace__.info(L"Reloading the engine. New path:%ls", folder);
    AutoCriticalSection guard(scanLock_);
    if (!engineReady()) {
        __trace__.error(L"Failed to reload the new engine from %ls:Code %d", folder, kNoEngine);
        return kNoEngine;
    }
    const std::wstring engineFolder = folder;
    const std::wstring vdfFolder = folder;
    QVAPI_GLOBAL_INIT record{};
    record.api_major = QVAPI_API_VERSION_MAJOR;
    record.api_minor = QVAPI_API_VERSION_MINOR;
    record.product_id = static_cast<uint32_t>(options_->getOptionNumeric(L"scannerproductid"));
    record.engine_folder = engineFolder.c_str();
    record.vdf_folder = vdfFolder.c_str();
    __trace__.debug(L"About to reload the engine from: %ls", folder);
    const int r = QVAPI_reload_engine_ex(&record);
    if (r == 0) {
        QVAPI_extract_malware_names(getTmp().c_str());
        __trace__.info(L"Successfully reloaded the engine from %ls", folder);
    } else {
        __trace__.error(L"Failed to reload the new engine from %ls:Code %d", folder, r);
    }
    return r;
}

int QVAPIScanner::scan(QVAPI_INSTANCE instance, ScanRecord* record, const std::wstring& path) {
    if (instance == nullptr || record == nullptr || path.empty())
        return 1;
    if (record->abort) {
        if (record->trace != nullptr)
            record->trace->warning(L"Scanning for the file '%ls' was aborted due to external signal", path);
        clearDetection(*record);
        return 0;
    }
    if (record->trace != nullptr)
        record->trace->info(L"Scanning: '%ls'", path);

    if (!isLoaded()) {
        ++record->errors;
        return kNoEngine;
    }
    // The scan entry is optional: an engine without it cannot scan, and a missing
    // entry is never called.
    if (QVAPI_scan == nullptr) {
        ++record->errors;
        return QVAPI_E_NOT_SUPPORTED;
    }
    int r;
    {
        AutoCriticalSection guard(scanLock_);
        r = QVAPI_scan(instance, path.c_str());
    }
    if (r == 0)
        return 0;
    ++record->errors;
    return r;
}

// ---------------------------------------------------------------------------
// EngineVersions
// ---------------------------------------------------------------------------

int EngineVersions::query(QVAPIScanner* scanner) {
    if (scanner == nullptr || !scanner->engineInitialized() || !scanner->engineReady())
        return 0;

    QVAPI_INSTANCE instance = nullptr;
    const QVAPI_INSTANCE_INIT init{};
    int r = scanner->QVAPI_create_instance(&init, &instance);
    if (r != 0) {
        __trace__.error(L"Cannot create an OnDemand QVAPI Instance");
        return r;
    }

    auto getItem = [&](uint32_t item, std::wstring& out) {
        wchar_t buffer[kVersionBuffer] = {};
        uint32_t length = kVersionBuffer - 1;
        const int code = scanner->QVAPI_get(instance, item, buffer, &length);
        if (code == 0) {
            buffer[kVersionBuffer - 1] = L'\0';
            out = buffer;
        }
        return code;
    };
    auto fail = [&](int code) {
        scanner->QVAPI_release_instance(&instance);
        return code;
    };

    QVAPI_VERSION version{};
    r = scanner->QVAPI_get_version(&version);
    if (r != 0) {
        __trace__.error(L"Cannot get QVAPI version");
        return fail(r);
    }
    {
        std::lock_guard<std::mutex> guard(lock_);
        qvapi_ = version;
    }

    std::wstring text;
    r = getItem(QVAPI_ITEM_ENGINE_VERSION, text);
    if (r != 0) {
        __trace__.error(L"Cannot get QVAPI Engine version");
        return fail(r);
    }
    {
        std::lock_guard<std::mutex> guard(lock_);
        infos_.ave_ver = text;
    }
    r = getItem(QVAPI_ITEM_VDF_VERSION, text);
    if (r != 0) {
        __trace__.error(L"Cannot get QVAPI VDF version");
        return fail(r);
    }
    {
        std::lock_guard<std::mutex> guard(lock_);
        infos_.vdf_ver = text;
    }
    r = getItem(QVAPI_ITEM_SIGNATURE_COUNT, text);
    if (r != 0) {
        __trace__.error(L"Cannot get QVAPI signature count");
        return fail(r);
    }
    {
        std::lock_guard<std::mutex> guard(lock_);
        signatureCount_ = text;
    }

    if (scanner->apcInitialized()) {
        // The cloud's version entry is optional; without it the version stays as it is.
        if (scanner->QVAPI_APC_get_version != nullptr) {
            QVAPI_VERSION apc{};
            r = scanner->QVAPI_APC_get_version(&apc);
            if (r != 0) {
                __trace__.error(L"Cannot get APC version. Code %d", r);
                return fail(r);
            }
            __trace__.info(L"APC version:'%d.%d'", apc.build, apc.revision);
            std::lock_guard<std::mutex> guard(lock_);
            apc_ = apc;
        }
    }

    if (getItem(QVAPI_ITEM_VDF_DATE, text) == 0) {
        __trace__.info(L"VDF Date: %ls", text);
        std::lock_guard<std::mutex> guard(lock_);
        vdfDate_ = text;
    }

    {
        std::lock_guard<std::mutex> guard(lock_);
        buildText();
    }
    scanner->QVAPI_release_instance(&instance);
    return 0;
}

std::wstring EngineVersions::buildText() {
    info_.clear();
    labels_.clear();
    auto add = [this](const std::wstring& label, const std::wstring& value) {
        info_ += label + L":" + value + L"\n";
        labels_[label] = value;
    };
    infos_.engine_ver = versionNumbers(qvapi_);
    add(getString(1027), infos_.engine_ver);
    add(getString(1024), infos_.ave_ver);
    add(getString(1025), infos_.vdf_ver);
    infos_.apc_ver = versionNumbers(apc_);
    add(getString(1026), infos_.apc_ver);
    return info_;
}

std::wstring EngineVersions::toString() {
    std::lock_guard<std::mutex> guard(lock_);
    return buildText();
}

QVAPI_VERSION EngineVersions::qvapiVersion() const {
    std::lock_guard<std::mutex> guard(lock_);
    return qvapi_;
}

QVAPI_VERSION EngineVersions::apcVersion() const {
    std::lock_guard<std::mutex> guard(lock_);
    return apc_;
}

std::map<std::wstring, std::wstring> EngineVersions::labels() const {
    std::lock_guard<std::mutex> guard(lock_);
    return labels_;
}

EngineInfos EngineVersions::engineInfos() const {
    std::lock_guard<std::mutex> guard(lock_);
    return infos_;
}

std::wstring EngineVersions::signatureCount() const {
    std::lock_guard<std::mutex> guard(lock_);
    return signatureCount_;
}

std::wstring EngineVersions::infoText() const {
    std::lock_guard<std::mutex> guard(lock_);
    return info_;
}

std::wstring EngineVersions::vdfDate() const {
    std::lock_guard<std::mutex> guard(lock_);
    return vdfDate_;
}

// ---------------------------------------------------------------------------
// Engine error texts
// ---------------------------------------------------------------------------

std::wstring getQvapiErrorText(int32_t code) {
    switch (code) {
        case 1:
            return L"Error: Invalid parameter";
        case 4:
            return L"Error: Buffer too small";
        case 7:
            return L"Error: Out of memory";
        case 8:
            return L"Error: One or more VDF files not found";
        case 9:
            return L"Error: Failed to read VDF file";
        case 10:
            return L"Error: Failed to check VDF file signature";
        case 13:
            return L"Error: One or more engine files not found";
        case 18:
            return L"Error: Internal error";
        case 19:
            return L"Error: Unsupported feature";
        case 21:
            return L"Error: Unsupported option";
        case 22:
            return L"Error: Maximum archive recursion reached!";
        case 23:
            return L"Error: Maximum archive size reached!";
        case 24:
            return L"Error: Maximum archive ratio reached!";
        case 25:
        case 69:
            return L"Error: Encrypted content found!";
        case 26:
            return L"Error: Archive type unsupported!";
        case 27:
            return L"Error: Error while processing file!";
        case 28:
            return L"Error: Not all file contents could be scanned!";
        case 29:
            return L"Error: File is part of a multi-volume archive!";
        case 30:
            return L"Error: Maximum archive number of files in archive reached!";
        case 31:
            return L"Error: Scan aborted (requested by user)!";
        case 32:
            return L"Error: Scan aborted (timeout reached)!";
        case 33:
            return L"Error: File open error";
        case 34:
            return L"Error: File read error";
        case 35:
            return L"Error: File write error";
        case 38:
            return L"Error: Not an absolute path";
        case 40:
            return L"Error: matched!";
        case 41:
            return L"Error: Conversion failed";
        case 46:
            return L"Error: Failed to repair file!";
        case 47:
            return L"Error: Failed to create file";
        case 48:
            return L"Error: Failed to delete file";
        case 49:
            return L"Error: Failed to close file";
        case 50:
            return L"Error: Unknown engine error occurred";
        case 68:
            return L"Error: Operation could not be performed (resource is busy)";
        case 70:
            return L"Error: Memory area not addressable";
        case 71:
            return L"Error: Internal memory limit reached";
        case 72:
            return L"Error: Read block unexpected end!";
        case 73:
            return L"Error: Invalid archive header!";
        case 74:
            return L"Error: Invalid compressed data!";
        case 75:
            return L"Error: Obsolete information!";
        case 76:
            return L"Error: Invalid specified format!";
        case 77:
            return L"Error: Invalid header signature!";
        case 78:
            return L"Error: Invalid data signature!";
        case 79:
            return L"Error: Invalid file signature!";
        case 80:
            return L"Error: Invalid decompression table!";
        case 81:
            return L"Error: Unexpected end of file reached!";
        case 82:
            return L"Error: Archive handle not initialized!";
        case 83:
            return L"Error: Archive invalid or corrupted!";
        case 84:
            return L"Error: Callback invalid or causes an error!";
        case 85:
            return L"Error: Archive contents cannot be extracted!";
        case 86:
            return L"Error: APC error occurred";
        case 87:
            return L"Error: Communication with cloud server failed";
        case 88:
            return L"Error: APC protocol is not supported";
        case 89:
            return L"Error: APC timeout occurred";
        case 90:
            return L"Error: APC declared unreachable (too many failed scans with APC)";
        case 91:
            return L"Error: Not all objects could be scanned with APC";
        case 93:
            return L"Error: APC authentication failed";
        case 94:
            return L"Error: APC authentication was not successful. Retry later";
        case 95:
            return L"Error: APC random id is invalid, not accesible or not computable based on the MAC "
                   L"address";
        case 98:
            return L"Error: APC is permanently disabled";
        case 99:
            return L"Error: APC timeout restrictions not met: APCConnectionTimeout < APCScanTimeout < "
                   L"ScanTimeout";
        case 100:
            return L"Error: Could not determine category for object scanned with APC";
        case 101:
            return L"Error: APC quota limit reached";
        case 1000:
            return L"Error: Compression method unsupported!";
        default:
            return L"Error: Unknown error code!";
    }
}
