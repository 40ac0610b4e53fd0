#pragma once
// The engine wrapper: owns the engine's process-wide state (engine, protection cloud
// and on-access layer), initialises and uninitialises it, reloads it from another
// folder and scans single files under its scan lock. Also the engine's version record
// and the texts of the engine's error codes.
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "kitbase/core/locks.h"
#include "kitbase/services/engine_infos.h"
#include "scanwarden/qvapi_api.h"
#include "scanwarden/scan_record.h"

class Trace;
class _Options;

// The user data of the engine's log callback: the trace its messages go to (the
// global trace when null) and the engine log level in force. Read by the engine's
// threads at any time.
struct EngineLogContext {
    std::atomic<Trace*> trace{nullptr};
    std::atomic<int32_t> level{QVAPI_LOG_ERROR};
};

// The service's functions that initialisation hands to the engine: its log sink and
// the two on-access instance callbacks. Each may be null (the engine then gets null).
struct EngineCallbacks {
    QVAPI_LOG_CALLBACK log = nullptr;
    QVAPI_OA_INSTANCE_CALLBACK instanceCreated = nullptr;
    QVAPI_OA_INSTANCE_CALLBACK instanceDestroyed = nullptr;
};

class QVAPIScanner : public QVAPI_API {
public:
    // A wrapper that reads its options from `options` (the process-wide store by
    // default); folders are set by the owner before initialize().
    explicit QVAPIScanner(_Options* options = nullptr, const EngineCallbacks& callbacks = EngineCallbacks());
    // Uninitialises, removes the malware-name files, drops the on-access log and frees
    // the library.
    ~QVAPIScanner() override;

    // Library loaded and setup finished.
    bool isLoaded() const override;

    // Loads the library (once) and initialises engine, protection cloud and on-access
    // layer. A wrapper that is set up already is uninitialised first. Returns 1 when the
    // library cannot be loaded, the engine's code when the engine cannot be initialised
    // (isLoaded stays false), else the last result of the cloud / on-access steps.
    int initialize();
    // 1 when nothing was initialised, else the engine's uninitialisation result.
    int uninitialize();
    // Reloads the engine from `folder` under the scan lock: the engine's result.
    int reload(const std::wstring& folder);
    // Scans one file under the scan lock; the verdict arrives in `record` through the
    // callbacks. 0 scanned (or aborted), 1 bad arguments, 4002 no engine, 19 the engine
    // has no scan entry, else the engine's code.
    int scan(QVAPI_INSTANCE instance, ScanRecord* record, const std::wstring& path);

    void setEngineFolder(const std::wstring& folder) { engineFolder_ = folder; }
    const std::wstring& engineFolder() const { return engineFolder_; }
    void setScannerFolder(const std::wstring& folder) { scannerFolder_ = folder; }
    const std::wstring& scannerFolder() const { return scannerFolder_; }
    void setCallbacks(const EngineCallbacks& callbacks) { callbacks_ = callbacks; }
    const EngineCallbacks& callbacks() const { return callbacks_; }
    _Options& options() const { return *options_; }

    bool setupFinished() const { return setupFinished_; }
    bool engineInitialized() const { return engineInitialized_ == 1; }
    bool apcInitialized() const { return apcInitialized_ == 1; }
    bool oaInitialized() const { return oaInitialized_ == 1; }
    // The engine entries may be called: library loaded, engine initialised and not
    // uninitialised since (true already while the on-access layer is being set up).
    bool engineReady() const { return QVAPI_API::isLoaded() && engineRunning_; }
    // On-access scanning runs (kept by the scanner facade).
    bool oaStarted() const { return oaStarted_; }
    void setOAStarted(bool started) { oaStarted_ = started; }

    // The on-access log, null until the on-access layer is initialised.
    std::shared_ptr<Trace> onAccessLog() const;
    EngineLogContext& logContext() { return logContext_; }

    // Engine log level for a trace level: 2->3, 3->2, 4->1, 5->0, anything else 4.
    static int32_t engineLogLevel(int traceLevel);
    // On-access scan threads for the configured number, limited to 3..24.
    static uint32_t onAccessThreadCount(int configured);

private:
    void initializeOnAccess(int& result);

    _Options* options_;
    EngineCallbacks callbacks_;
    std::atomic<bool> setupFinished_{false};
    std::wstring engineFolder_;
    std::wstring scannerFolder_;
    CriticalSection scanLock_;
    EngineLogContext logContext_;
    mutable std::mutex oaLogLock_;
    std::shared_ptr<Trace> oaLog_;
    std::atomic<bool> oaStarted_{false};
    std::atomic<int32_t> apcInitialized_{0};
    std::atomic<int32_t> oaInitialized_{0};
    std::atomic<int32_t> engineInitialized_{0};
    std::atomic<bool> engineRunning_{false};
};

// The engine's versions, their text and label map, and the version texts kept with
// quarantine entries. Safe to read from several threads.
class EngineVersions {
public:
    // Queries the versions from an initialised engine (nothing happens, 0, when the
    // wrapper is missing or its engine was never initialised): 0 or the failing code.
    int query(QVAPIScanner* scanner);
    // Rebuilds and returns the info text: one "label:value\n" line each for the QVAPI,
    // engine, VDF and APC versions.
    std::wstring toString();

    QVAPI_VERSION qvapiVersion() const;
    QVAPI_VERSION apcVersion() const;
    std::map<std::wstring, std::wstring> labels() const;
    EngineInfos engineInfos() const;
    std::wstring signatureCount() const;
    std::wstring infoText() const;
    std::wstring vdfDate() const;

private:
    std::wstring buildText();

    mutable std::mutex lock_;
    QVAPI_VERSION qvapi_{};
    QVAPI_VERSION apc_{};
    std::map<std::wstring, std::wstring> labels_;
    EngineInfos infos_;
    std::wstring signatureCount_;
    std::wstring info_;
    std::wstring vdfDate_;
};

// The text of an engine result code ("Error: Unknown error code!" for codes without one).
std::wstring getQvapiErrorText(int32_t code);
