#include "engine.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <set>

#include "onaccess.h"
#include "text.h"

namespace qv {

Engine& Engine::get() {
    static Engine engine;
    return engine;
}

Engine::~Engine() {
    // Nothing may keep running once the library goes away.
    std::lock_guard<std::recursive_mutex> guard(lifecycle_);
    oa_.reset();
}

std::shared_ptr<const SignatureDb> Engine::db() const {
    std::lock_guard<std::mutex> guard(dbLock_);
    return db_;
}

std::string Engine::engineFolder() const {
    std::lock_guard<std::mutex> guard(dbLock_);
    return engineFolder_;
}

void Engine::setLogCallback(QVAPI_LOG_CALLBACK callback, int32_t level, void* context) {
    std::lock_guard<std::mutex> guard(logLock_);
    logCallback_ = callback;
    logLevel_ = level;
    logContext_ = context;
}

void Engine::log(int32_t level, const std::string& message) const {
    QVAPI_LOG_CALLBACK callback;
    int32_t threshold;
    void* context;
    {
        std::lock_guard<std::mutex> guard(logLock_);
        callback = logCallback_;
        threshold = logLevel_;
        context = logContext_;
    }
    if (!callback || level < threshold)
        return;
    std::wstring text = fromUtf8(message);
    try {
        callback(level, text.c_str(), context);
    } catch (...) {
    }
}

int32_t Engine::loadDb(const QVAPI_GLOBAL_INIT* init, const char* what) {
    if (!init || !init->engine_folder || init->api_major != QVAPI_API_VERSION_MAJOR)
        return QVAPI_E_INVALID_PARAMETER;
    std::string engineFolder = toUtf8(init->engine_folder);
    std::string vdfFolder = init->vdf_folder ? toUtf8(init->vdf_folder) : engineFolder;
    std::shared_ptr<const SignatureDb> db;
    std::string error;
    int32_t r = SignatureDb::load(engineFolder, vdfFolder, db, error);
    if (r != 0) {
        log(QVAPI_LOG_ERROR, std::string(what) + " failed: " + error);
        return r;
    }
    {
        std::lock_guard<std::mutex> guard(dbLock_);
        db_ = db;
        engineFolder_ = engineFolder;
    }
    cache_.clear();
    if (oa_)
        oa_->forgetCleanFiles();
    log(QVAPI_LOG_INFO, std::string(what) + ": engine " + toUtf8(db->engineVersion()) + ", signatures " +
                            toUtf8(db->vdfVersion()) + " (" + std::to_string(db->signatures().size()) +
                            ") from " + vdfFolder);
    return QVAPI_OK;
}

int32_t Engine::initialize(const QVAPI_GLOBAL_INIT* init) {
    if (OnAccess::onWorkerThread())
        return QVAPI_E_BUSY;
    std::lock_guard<std::recursive_mutex> guard(lifecycle_);
    int32_t r = loadDb(init, initialized_ ? "reinitialisation" : "initialisation");
    if (r == 0)
        initialized_ = true;
    return r;
}

int32_t Engine::reload(const QVAPI_GLOBAL_INIT* init) {
    if (OnAccess::onWorkerThread())
        return QVAPI_E_BUSY;
    std::lock_guard<std::recursive_mutex> guard(lifecycle_);
    if (!initialized_)
        return QVAPI_E_NOT_INITIALIZED;
    return loadDb(init, "reload");
}

int32_t Engine::uninitialize() {
    if (OnAccess::onWorkerThread())
        return QVAPI_E_BUSY;
    std::lock_guard<std::recursive_mutex> guard(lifecycle_);
    if (!initialized_)
        return QVAPI_E_NOT_INITIALIZED;
    oaUninitializeLocked();
    apcMode_ = 0;
    {
        std::lock_guard<std::mutex> dbGuard(dbLock_);
        db_.reset();
    }
    cache_.clear();
    // A later initialisation starts from the default global options.
    {
        std::lock_guard<std::mutex> options(optionsLock_);
        globals_ = std::make_shared<GlobalOptions>();
    }
    oaScanTimeout_ = 20;
    scanNetworkDrives_ = true;
    scanAtFileChanges_ = true;
    initialized_ = false;
    log(QVAPI_LOG_INFO, "engine uninitialised");
    return QVAPI_OK;
}

int32_t Engine::globalSet(uint32_t option, const wchar_t* value) {
    if (!value)
        return QVAPI_E_INVALID_PARAMETER;
    std::string text = toUtf8(value);
    uint64_t n = 0;
    switch (option) {
        case QVAPI_GLOBAL_OA_EXTENSION_LIST:
        case QVAPI_GLOBAL_OA_EXCEPTED_FILES:
        case QVAPI_GLOBAL_OA_EXCEPTED_PROCESSES: {
            std::lock_guard<std::mutex> guard(optionsLock_);
            auto updated = std::make_shared<GlobalOptions>(*globals_);
            std::vector<std::string> parts = splitList(text, ';');
            if (option == QVAPI_GLOBAL_OA_EXTENSION_LIST) {
                for (auto& part : parts) {
                    part = lowerAscii(part);
                    if (part[0] != '.')
                        part = "." + part;
                }
                updated->extensions = std::move(parts);
            } else if (option == QVAPI_GLOBAL_OA_EXCEPTED_FILES) {
                for (auto& part : parts)
                    while (part.size() > 1 && part.back() == '/')
                        part.pop_back();
                updated->exceptedFiles = std::move(parts);
            } else {
                for (auto& part : parts)
                    part = lowerAscii(part);
                updated->exceptedProcesses = std::move(parts);
            }
            globals_ = std::move(updated);
            return QVAPI_OK;
        }
        case QVAPI_GLOBAL_OA_SCAN_AT_FILE_CHANGES:
        case QVAPI_GLOBAL_OA_SCAN_NETWORK_DRIVES:
            if (!parseNumber(text, n) || n > 1)
                return QVAPI_E_INVALID_PARAMETER;
            (option == QVAPI_GLOBAL_OA_SCAN_AT_FILE_CHANGES ? scanAtFileChanges_ : scanNetworkDrives_) =
                n != 0;
            return QVAPI_OK;
        case QVAPI_GLOBAL_OA_SCAN_TIMEOUT:
            if (!parseNumber(text, n) || n > 3600)
                return QVAPI_E_INVALID_PARAMETER;
            oaScanTimeout_ = static_cast<uint32_t>(n);
            return QVAPI_OK;
        case QVAPI_GLOBAL_PROXY:
            return QVAPI_OK;  // the engine never connects anywhere
        default:
            return QVAPI_E_INVALID_OPTION;
    }
}

std::shared_ptr<const GlobalOptions> Engine::globals() const {
    std::lock_guard<std::mutex> guard(optionsLock_);
    return globals_;
}

int32_t Engine::apcInitialize(const QVAPI_APC_INIT* init) {
    if (!init || init->mode > 2)
        return QVAPI_E_INVALID_PARAMETER;
    if (!initialized_)
        return QVAPI_E_NOT_INITIALIZED;
    apcMode_ = init->mode;
    log(QVAPI_LOG_INFO, "protection cloud: local mode " + std::to_string(init->mode) + " (no connections)");
    return QVAPI_OK;
}

int32_t Engine::apcUninitialize() {
    if (apcMode_.exchange(0) == 0)
        return QVAPI_E_NOT_INITIALIZED;
    return QVAPI_OK;
}

int32_t Engine::oaInitialize(const QVAPI_OA_INIT* init) {
    if (OnAccess::onWorkerThread())
        return QVAPI_E_BUSY;
    if (!init || init->scan_threads == 0 || init->scan_threads > 64)
        return QVAPI_E_INVALID_PARAMETER;
    std::lock_guard<std::recursive_mutex> guard(lifecycle_);
    if (!initialized_)
        return QVAPI_E_NOT_INITIALIZED;
    if (oa_ && oa_->running())
        return QVAPI_E_BUSY;
    std::unique_lock<std::shared_mutex> use(oaUse_);
    oa_.reset();
    oa_ = std::make_unique<OnAccess>(*this, init->scan_threads);
    oaInitialized_ = true;
    log(QVAPI_LOG_INFO, "on-access: " + std::to_string(init->scan_threads) + " scan threads");
    return QVAPI_OK;
}

int32_t Engine::oaUninitializeLocked() {
    if (!oa_)
        return QVAPI_E_NOT_INITIALIZED;
    oa_->stop();
    oaScanning_ = false;
    std::unique_lock<std::shared_mutex> use(oaUse_);
    oa_.reset();  // calls the instance-destroyed callback per instance
    oaInitialized_ = false;
    return QVAPI_OK;
}

int32_t Engine::oaUninitialize() {
    if (OnAccess::onWorkerThread())
        return QVAPI_E_BUSY;
    std::lock_guard<std::recursive_mutex> guard(lifecycle_);
    return oaUninitializeLocked();
}

int32_t Engine::oaCreateInstances(QVAPI_OA_INSTANCE_CALLBACK created, QVAPI_OA_INSTANCE_CALLBACK destroyed) {
    if (OnAccess::onWorkerThread())
        return QVAPI_E_BUSY;
    std::lock_guard<std::recursive_mutex> guard(lifecycle_);
    if (!oa_)
        return QVAPI_E_NOT_INITIALIZED;
    return oa_->createInstances(created, destroyed);
}

int32_t Engine::oaStart() {
    if (OnAccess::onWorkerThread())
        return QVAPI_E_BUSY;
    std::lock_guard<std::recursive_mutex> guard(lifecycle_);
    if (!oa_)
        return QVAPI_E_NOT_INITIALIZED;
    int32_t r = oa_->start();
    oaScanning_ = oa_->running();
    return r;
}

int32_t Engine::oaStop() {
    if (OnAccess::onWorkerThread())
        return QVAPI_E_BUSY;
    std::lock_guard<std::recursive_mutex> guard(lifecycle_);
    if (!oa_)
        return QVAPI_E_NOT_INITIALIZED;
    int32_t r = oa_->stop();
    oaScanning_ = oa_->running();
    return r;
}

int32_t Engine::oaInject(const wchar_t* path, int32_t pid, uint32_t access, int32_t* verdict) {
    // The layer is not replaced while an injection waits for its verdict.
    std::shared_lock<std::shared_mutex> use(oaUse_);
    if (!oa_) {
        if (verdict)
            *verdict = QVAPI_OA_ALLOW;
        return QVAPI_E_NOT_INITIALIZED;
    }
    return oa_->inject(path, pid, access, verdict);
}

int32_t Engine::extractMalwareNames(const wchar_t* folder) const {
    if (!folder || !*folder)
        return QVAPI_E_INVALID_PARAMETER;
    auto database = db();
    if (!database)
        return QVAPI_E_NOT_INITIALIZED;
    std::set<std::wstring> names;
    for (const auto& sig : database->signatures())
        names.insert(sig.name);
    std::string target = toUtf8(folder) + "/AV-malware-names-" + toUtf8(database->vdfVersion()) + ".txt";
    std::string temporary = target + ".part";
    {
        // Made new (a stale file or a link planted at the name is removed, never
        // followed), then renamed into place.
        std::string text;
        for (const auto& name : names)
            text += toUtf8(name) + '\n';
        bool ok = false;
        for (int attempt = 0; attempt < 2 && !ok; ++attempt) {
            int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
            if (fd < 0) {
                if (errno != EEXIST || unlink(temporary.c_str()) != 0)
                    break;
                continue;
            }
            size_t done = 0;
            while (done < text.size()) {
                ssize_t n = write(fd, text.data() + done, text.size() - done);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n <= 0)
                    break;
                done += static_cast<size_t>(n);
            }
            ok = done == text.size();
            ok = close(fd) == 0 && ok;
        }
        if (!ok) {
            std::remove(temporary.c_str());
            return QVAPI_E_WRITE;
        }
    }
    if (std::rename(temporary.c_str(), target.c_str()) != 0) {
        std::remove(temporary.c_str());
        return QVAPI_E_WRITE;
    }
    return QVAPI_OK;
}

uint32_t Engine::runningState() const {
    uint32_t state = 0;
    if (initialized_)
        state |= QVAPI_RUNNING_ENGINE;
    if (apcMode_ != 0)
        state |= QVAPI_RUNNING_APC;
    if (oaInitialized_)
        state |= QVAPI_RUNNING_OA_INITIALIZED;
    if (oaScanning_)
        state |= QVAPI_RUNNING_OA_SCANNING;
    return state;
}

}  // namespace qv
