#pragma once
// The engine's process-wide state: the loaded signature database, the log sink, the
// global options, the protection-cloud layer and the on-access layer. The lifecycle
// calls (initialise, reload, uninitialise, on-access set-up) are serialised by one
// lock; scans, options and callbacks never take it.
#include <atomic>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "scanwarden/qvapi_interface.h"
#include "signature_db.h"
#include "verdict_cache.h"

namespace qv {

class OnAccess;

struct GlobalOptions {
    std::vector<std::string> extensions;         // lower-case, with the dot
    std::vector<std::string> exceptedFiles;      // paths; a folder covers what lies below
    std::vector<std::string> exceptedProcesses;  // lower-case program names or full paths
};

class Engine {
public:
    static Engine& get();
    ~Engine();

    int32_t initialize(const QVAPI_GLOBAL_INIT* init);
    int32_t uninitialize();
    int32_t reload(const QVAPI_GLOBAL_INIT* init);
    bool initialized() const { return initialized_.load(); }
    std::shared_ptr<const SignatureDb> db() const;
    std::string engineFolder() const;

    void setLogCallback(QVAPI_LOG_CALLBACK callback, int32_t level, void* context);
    void log(int32_t level, const std::string& message) const;

    int32_t globalSet(uint32_t option, const wchar_t* value);
    std::shared_ptr<const GlobalOptions> globals() const;
    uint32_t oaScanTimeout() const { return oaScanTimeout_.load(); }
    bool scanNetworkDrives() const { return scanNetworkDrives_.load(); }

    int32_t apcInitialize(const QVAPI_APC_INIT* init);
    int32_t apcUninitialize();
    bool apcActive() const { return apcMode_.load() != 0; }

    int32_t oaInitialize(const QVAPI_OA_INIT* init);
    int32_t oaUninitialize();
    int32_t oaCreateInstances(QVAPI_OA_INSTANCE_CALLBACK created, QVAPI_OA_INSTANCE_CALLBACK destroyed);
    int32_t oaStart();
    int32_t oaStop();
    int32_t oaInject(const wchar_t* path, int32_t pid, uint32_t access, int32_t* verdict);

    int32_t extractMalwareNames(const wchar_t* folder) const;
    uint32_t runningState() const;
    VerdictCache& cache() { return cache_; }

private:
    Engine() = default;
    int32_t loadDb(const QVAPI_GLOBAL_INIT* init, const char* what);
    int32_t oaUninitializeLocked();

    std::recursive_mutex lifecycle_;
    std::atomic<bool> initialized_{false};

    mutable std::mutex dbLock_;
    std::shared_ptr<const SignatureDb> db_;
    std::string engineFolder_;

    mutable std::mutex logLock_;
    QVAPI_LOG_CALLBACK logCallback_ = nullptr;
    int32_t logLevel_ = QVAPI_LOG_ERROR;
    void* logContext_ = nullptr;

    mutable std::mutex optionsLock_;
    std::shared_ptr<const GlobalOptions> globals_ = std::make_shared<GlobalOptions>();
    std::atomic<uint32_t> oaScanTimeout_{20};
    std::atomic<bool> scanNetworkDrives_{true};
    std::atomic<bool> scanAtFileChanges_{true};

    std::atomic<uint32_t> apcMode_{0};

    std::unique_ptr<OnAccess> oa_;
    std::shared_mutex oaUse_;  // shared by injections, exclusive to replace oa_
    std::atomic<bool> oaScanning_{false};
    std::atomic<bool> oaInitialized_{false};
    VerdictCache cache_;
};

}  // namespace qv
