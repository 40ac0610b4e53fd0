#pragma once
// The engine update: one run of the engine vendor's updater "qvupdate.exe" into the
// backup folder "latest", then the reload of the running engine from that folder, with
// a bounded number of attempts and, after too many failed series, a restart of the
// service with the updated files copied over the engine folder. After a successful
// reload the two folders swap roles.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "scanwarden/av_update.h"
#include "scanwarden/engine_files.h"

// What the engine update needs from the rest of the service. The defaults reach the
// service's own components; tests replace them.
struct EngineUpdateHooks {
    // Reloads the running engine from a folder: 0 reloaded, else the engine's code.
    std::function<unsigned int(const std::wstring& folder)> reloadEngine;
    // True while an engine is loaded (without one there is nothing to reload).
    std::function<bool()> engineLoaded;
    // Restarts the whole service (its own program with "-reload").
    std::function<void()> restartService;
    // Telemetry event of an update (key, value).
    std::function<void(const std::wstring& key, const std::wstring& value)> telemetry;
    // True when a wait should end early (the update thread is stopping).
    std::function<bool()> stopRequested;
};

class ScannerUpdate : public AVUpdate, public QVAPIFiles {
public:
    // The engine folder starts as the product's engine folder, the backup folder as
    // "latest" beside it; the backup folder's "master.idx" is deleted so that the next
    // run fetches the master index again.
    explicit ScannerUpdate(EngineUpdateHooks hooks = {});
    // With other folders (tests): the scanner folder holds the updater and "latest".
    ScannerUpdate(EngineUpdateHooks hooks, const std::wstring& scannerFolder,
                  const std::wstring& engineFolder);

    // runUpdater without the system proxy; unless that gave 0 or 4135, once more with it.
    unsigned int update(const std::wstring& server, bool reload) override;
    unsigned int runUpdater(const std::wstring& server, bool useSystemProxy, bool reload);
    // The proxy part of the command line (each option one argument).
    std::vector<std::wstring> proxyArguments(bool useSystemProxy) const;

    // The updater's command line as it is logged (the proxy password as "***").
    const std::wstring& commandLine() const { return commandLine_; }
    // The argument vector of the last run, the program first.
    const std::vector<std::wstring>& arguments() const { return arguments_; }
    const std::wstring& engineFolder() const { return engineFolder_; }
    const std::wstring& backupFolder() const { return backupFolder_; }
    uint32_t failedReloadSeries() const { return failedSeries_; }

    // Tests shorten the waits: the updater's limit, the pause between reload attempts
    // (ten steps) and the grace time between terminate and kill.
    void setTimings(std::chrono::milliseconds updaterLimit, std::chrono::milliseconds pauseStep,
                    std::chrono::milliseconds killGrace);

private:
    unsigned int reloadAfterUpdate(bool& seriesFailed);
    unsigned int failed(unsigned int code, const wchar_t* name);
    bool waitStep(std::chrono::milliseconds step) const;

    EngineUpdateHooks hooks_;
    bool firstRun_ = true;
    std::wstring commandLine_;
    std::vector<std::wstring> arguments_;
    std::wstring engineFolder_;
    std::wstring backupFolder_;
    std::wstring scannerFolder_;
    std::wstring updaterPath_;
    std::atomic<uint32_t> failedSeries_{0};
    std::chrono::milliseconds updaterLimit_{360000};
    std::chrono::milliseconds pauseStep_{1000};
    std::chrono::milliseconds killGrace_{5000};
};
