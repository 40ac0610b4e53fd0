#pragma once
// The update thread ("Update"): runs the engine update and the product update for each
// configured update server, every few hours from the service start and on request.
// Updates and on-demand scans exclude each other: an update is refused while a scan
// runs, a scan start is refused while an update is in progress.
#include <atomic>
#include <chrono>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "kitbase/core/thread.h"
#include "scanwarden/av_update.h"
#include "scanwarden/scanner_update.h"

// What the update thread needs from the rest of the service; the defaults reach the
// service's own components, tests replace them.
struct UpdateHooks {
    // True while an on-demand scan runs.
    std::function<bool()> scanRunning;
    // Hands a text to the service's notification store, plain or in its marked form.
    std::function<void(const std::wstring& text)> notify;
    std::function<void(const std::wstring& text)> notifyUpdate;
    // The local time now.
    std::function<std::tm()> localNow;
    // The engine update's own needs.
    EngineUpdateHooks engine;
};

class Update : public Thread {
public:
    // The process-wide update thread, built on first use with the service's own hooks
    // and updaters (the engine update, then the product update).
    static Update& instance();

    explicit Update(UpdateHooks hooks);
    // With the updaters to run, in order (tests).
    Update(UpdateHooks hooks, std::vector<std::unique_ptr<AVUpdate>> updaters);
    ~Update() override;

    int main() override;
    virtual std::wstring className() const { return L"Updater"; }

    // A remote request: 0 accepted, 4115 an update is requested or running, 4116 a scan runs.
    unsigned int triggerUpdate();
    // One update over all configured servers; the result of the last server tried.
    // Update runs never overlap: a second caller gets 4115, unless it asks to wait
    // (the start-up update).
    unsigned int doUpdate(bool waitForRunningUpdate = false);
    // Both updaters against one server.
    unsigned int updateFromServer(const std::wstring& server, bool& enginePartDone, bool& productPartDone,
                                  int);

    bool isUpdateInProgress() const { return inProgress_.load(); }
    bool isUpdateRequested() const { return requested_.load(); }
    bool lastRunSuccessful() const { return lastRunSuccessful_.load(); }
    long long lastSuccessfulUpdate() const { return lastSuccessfulUpdate_.load(); }
    // The configured interval in hours (1 to 24; anything else counts as 2).
    uint32_t interval() const { return interval_; }

    // Tests shorten the waits between servers and the thread's sleeps.
    void setServerPause(std::chrono::milliseconds pause) { serverPause_ = pause; }
    using Thread::setStepTime;

private:
    unsigned int doUpdateLocked();
    bool pause(std::chrono::milliseconds total);

    UpdateHooks hooks_;
    std::atomic<bool> requested_{false};
    std::atomic<bool> inProgress_{false};
    std::vector<std::unique_ptr<AVUpdate>> updaters_;
    std::wstring programFolder_;
    uint32_t interval_ = 2;
    std::atomic<int32_t> kind_{0};
    std::atomic<bool> lastRunSuccessful_{false};
    std::atomic<long long> lastSuccessfulUpdate_{0};
    std::mutex runLock_;
    std::chrono::milliseconds serverPause_{5000};
};
