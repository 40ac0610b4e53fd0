#include "scanwarden/update.h"

#include <cstdlib>
#include <thread>

#include "kitbase/core/folders.h"
#include "kitbase/core/oem_resource.h"
#include "kitbase/core/registry.h"
#include "kitbase/core/strings.h"
#include "kitbase/core/tokenizer.h"
#include "kitbase/core/trace.h"
#include "kitbase/services/statistics.h"
#include "scanwarden/options.h"

namespace {

constexpr unsigned int kNothingNew = 4135, kBusy = 4115, kScanRunning = 4116;

std::tm systemLocalNow() {
    time_t now = time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return local;
}

bool sameMinute(const std::tm& a, const std::tm& b) {
    return a.tm_year == b.tm_year && a.tm_mon == b.tm_mon && a.tm_mday == b.tm_mday &&
           a.tm_hour == b.tm_hour && a.tm_min == b.tm_min;
}

void stampLastUpdate() {
    setIRegValue(L"LastUpdate", static_cast<int>(static_cast<uint32_t>(time(nullptr))));
}

uint32_t configuredInterval() {
    int hours = _Options::instance().getOptionNumeric(60u);
    if (hours < 1 || hours > 24) {
        __trace__.error(L"Invalid update interval. Reset to default %d hours", 2);
        hours = 2;
    }
    __trace__.info(L"Scheduled updates happen every %d hours", hours);
    return static_cast<uint32_t>(hours);
}

// The service's own components behind the hooks.
UpdateHooks serviceHooks() {
    UpdateHooks hooks;
    hooks.engine.stopRequested = [] {
        Update& update = Update::instance();
        return update.getHandle() != nullptr && !update.isRunning();
    };
    return hooks;
}

}  // namespace

Update& Update::instance() {
    static Update update(serviceHooks());
    return update;
}

Update::Update(UpdateHooks hooks) : Update(std::move(hooks), {}) {
    updaters_.push_back(std::make_unique<ScannerUpdate>(hooks_.engine));
}

Update::Update(UpdateHooks hooks, std::vector<std::unique_ptr<AVUpdate>> updaters)
    : Thread(nullptr, L"Update"),
      hooks_(std::move(hooks)),
      updaters_(std::move(updaters)),
      programFolder_(getWorkingPath()),
      interval_(configuredInterval()) {
    if (!hooks_.localNow)
        hooks_.localNow = systemLocalNow;
}

Update::~Update() {
    // The body uses this object's members: it ends before they go.
    stop();
    join(-1);
}

bool Update::pause(std::chrono::milliseconds total) {
    const auto step = std::chrono::milliseconds(100);
    for (auto waited = std::chrono::milliseconds(0); waited < total; waited += step) {
        if (hooks_.engine.stopRequested && hooks_.engine.stopRequested())
            return false;
        std::this_thread::sleep_for(std::min(step, total - waited));
    }
    return true;
}

unsigned int Update::triggerUpdate() {
    if (requested_ || inProgress_) {
        __trace__.warning(L"Update in progress. Request for a new update is denied");
        return kBusy;
    }
    if (hooks_.scanRunning && hooks_.scanRunning()) {
        __trace__.warning(L"Scan in progress. Request for a new update is denied");
        return kScanRunning;
    }
    requested_ = true;
    _Statistics::getInstance().inc(UPDATESREMOTETRIGGERED);
    return 0;
}

unsigned int Update::updateFromServer(const std::wstring& server, bool& enginePartDone, bool& productPartDone,
                                      int) {
    inProgress_ = true;
    enginePartDone = productPartDone = false;
    try {
        if (hooks_.scanRunning && hooks_.scanRunning()) {
            __trace__.warning(L"Scan in progress. Request for a new update is denied");
            inProgress_ = false;
            return kScanRunning;
        }
        unsigned int r = 0;
        for (auto& updater : updaters_) {
            kind_ = updater->getState();
            const bool product = kind_ != 0;
            r = updater->update(server, true);
            if (r == 0) {
                __trace__.debug(L"Update successful");
                if (product)
                    __trace__.info(L"Successful product update requires service restart.");
                (product ? productPartDone : enginePartDone) = true;
            } else if (r == kNothingNew) {
                (product ? productPartDone : enginePartDone) = true;
                __trace__.debug(L"Update: Nothing to update");
            } else {
                __trace__.debug(L"Update unsuccessful");
            }
            __trace__.debug(L"------------------------------------------");
        }
        inProgress_ = false;
        if (!(enginePartDone && productPartDone))
            __trace__.debug(L"Partial success in updating from %ls", server);
        return r;
    } catch (...) {
        __trace__.error(L"Unexpected error performing the update");
        inProgress_ = false;
        return 1;
    }
}

unsigned int Update::doUpdate(bool waitForRunningUpdate) {
    std::unique_lock<std::mutex> run(runLock_, std::defer_lock);
    if (waitForRunningUpdate) {
        run.lock();
    } else if (!run.try_lock()) {
        __trace__.warning(L"Update in progress. Request for a new update is denied");
        return kBusy;
    }
    return doUpdateLocked();
}

unsigned int Update::doUpdateLocked() {
    if (requested_)
        __trace__.info(L"Starting update because of remote trigger");
    lastRunSuccessful_ = false;
    std::vector<std::wstring> servers;
    Explode(_Options::instance().getOptionString(61u), L",", servers);
    for (auto& server : servers)
        ttrim_all(server);
    __trace__.debug(L"Having %d update servers", static_cast<int>(servers.size()));
    _Statistics::getInstance().inc(UPDATESSTARTED);

    bool engineDone = false, productDone = false;
    unsigned int result = 0;
    for (size_t i = 0; i < servers.size(); ++i) {
        __trace__.debug(L"|------------- Start of update process %ls ----------------------|", servers[i]);
        result = updateFromServer(servers[i], engineDone, productDone, 0);
        if (engineDone && productDone)
            break;
        if (i + 1 < servers.size() && !pause(serverPause_))
            break;
    }
    if (engineDone && productDone) {
        lastRunSuccessful_ = true;
        lastSuccessfulUpdate_ = static_cast<long long>(time(nullptr));
        stampLastUpdate();
        __trace__.debug(L"Update successful, next update possible in a few minutes");
        if (hooks_.notify)
            hooks_.notify(getString(1065));
        _Statistics::getInstance().inc(UPDATESSUCCESSFUL);
        _Statistics::getInstance().reset(UPDATESFAILED);
    } else {
        _Statistics::getInstance().inc(UPDATESFAILED);
        if (hooks_.notifyUpdate)
            hooks_.notifyUpdate(getString(productDone ? 32815 : engineDone ? 32817 : 9099));
    }
    requested_ = false;
    return result;
}

int Update::main() {
    __trace__.debug(L"Update thread started");
    requested_ = false;
    std::tm start = hooks_.localNow();
    __trace__.debug(
        L"Configured schedule time is now ignored. The update will be triggered starting with the "
        L"service startup time every %d hours",
        static_cast<int>(interval_));
    const int32_t last = static_cast<int32_t>(getIRegValue(L"LastUpdate"));
    if (last > 0) {
        lastSuccessfulUpdate_ = last;
        time_t t = last;
        localtime_r(&t, &start);
    }
    std::tm lastStarted{};
    bool started = false;
    SLEEP(60);
    while (isRunning()) {
        const std::tm now = hooks_.localNow();
        bool ran = false;
        unsigned int result = 1;
        if (started && sameMinute(now, lastStarted)) {
            // this minute's update has run already
        } else if (requested_) {
            result = doUpdate(true);
            lastStarted = now;
            started = ran = true;
            requested_ = false;
        } else if (now.tm_min == start.tm_min && std::abs(now.tm_hour - start.tm_hour) % interval_ == 0) {
            __trace__.info(L"Starting an update because of scheduling every %d hours starting %d:%d",
                           static_cast<int>(interval_), start.tm_hour, start.tm_min);
            lastStarted = now;
            started = ran = true;
            result = doUpdate(true);
        }
        if (ran && result == 0)
            SLEEP(300);
        SLEEP(10);
    }
    {
        std::lock_guard<std::mutex> run(runLock_);
        updaters_.clear();
    }
    __trace__.debug(L"Update thread finished");
    return 0;
}
