#include "scanwarden/scanner_update.h"

#include <signal.h>

#include <cstdio>
#include <ctime>
#include <thread>

#include "kitbase/core/authenticode.h"
#include "kitbase/core/datetime.h"
#include "kitbase/core/files.h"
#include "kitbase/core/folders.h"
#include "kitbase/core/registry.h"
#include "kitbase/core/strings.h"
#include "kitbase/core/trace.h"
#include "kitbase/platform/roots.h"
#include "kitbase/platform/spawner.h"
#include "kitbase/services/statistics.h"
#include "scanwarden/options.h"

namespace {

constexpr unsigned int kUpdated = 0, kNotSigned = 4129, kCopyFailed = 4130, kCannotStart = 4132,
                       kUpdaterFailed = 4133, kNothingNew = 4135;

// The low 32 bits of the seconds since 1970, as the registry keeps time stamps.
void stampLastUpdate() {
    setIRegValue(L"LastUpdate", static_cast<int>(static_cast<uint32_t>(time(nullptr))));
}

// The updater's configuration file below the scanner folder, or empty when the value
// would lead out of it (an absolute path or a ".." step).
std::wstring insideScannerFolder(const std::wstring& scanner, const std::wstring& value) {
    if (value.empty() || value[0] == L'/' || value[0] == L'\\')
        return {};
    for (const auto& part : split(value, L'/'))
        if (part == L".." || part.find(L'\\') != std::wstring::npos)
            return {};
    return createPath(scanner, value);
}

std::wstring quoted(const std::wstring& text) {
    return L"\"" + text + L"\"";
}

}  // namespace

ScannerUpdate::ScannerUpdate(EngineUpdateHooks hooks)
    : ScannerUpdate(std::move(hooks), getScannerPath(), getEnginePath()) {}

ScannerUpdate::ScannerUpdate(EngineUpdateHooks hooks, const std::wstring& scannerFolder,
                             const std::wstring& engineFolder)
    : AVUpdate(0),
      hooks_(std::move(hooks)),
      engineFolder_(engineFolder),
      backupFolder_(createPath(scannerFolder, L"latest")),
      scannerFolder_(scannerFolder),
      updaterPath_(createPath(scannerFolder, L"qvupdate.exe")) {
    std::remove(WS2S(createPath(backupFolder_, L"master.idx")).c_str());
}

void ScannerUpdate::setTimings(std::chrono::milliseconds updaterLimit, std::chrono::milliseconds pauseStep,
                               std::chrono::milliseconds killGrace) {
    updaterLimit_ = updaterLimit;
    pauseStep_ = pauseStep;
    killGrace_ = killGrace;
}

bool ScannerUpdate::waitStep(std::chrono::milliseconds step) const {
    std::this_thread::sleep_for(step);
    return !(hooks_.stopRequested && hooks_.stopRequested());
}

std::vector<std::wstring> ScannerUpdate::proxyArguments(bool useSystemProxy) const {
    std::vector<std::wstring> out;
    if (useSystemProxy)
        out.push_back(L"--system-proxy");
    _Options& options = _Options::instance();
    std::wstring proxy = options.getOptionString(64u);
    if (proxy.empty())
        return out;
    std::wstring scheme, host, port;
    size_t marker = proxy.find(L"://");
    if (marker != std::wstring::npos) {
        scheme = proxy.substr(0, marker + 3);
        proxy = proxy.substr(marker + 3);
    }
    size_t colon = proxy.find(L':');
    if (colon != std::wstring::npos) {
        host = proxy.substr(0, colon);
        port = proxy.substr(colon + 1);
    } else {
        host = proxy;
    }
    out.push_back(L"--proxy-host=" + scheme + host);
    if (colon != std::wstring::npos)
        out.push_back(L"--proxy-port=" + port);
    std::wstring user = options.getOptionString(65u), password = options.getOptionString(66u);
    if (!user.empty())
        out.push_back(L"--proxy-username=" + user);
    if (!password.empty())
        out.push_back(L"--proxy-password=" + password);
    return out;
}

unsigned int ScannerUpdate::update(const std::wstring& server, bool reload) {
    unsigned int result = runUpdater(server, false, reload);
    if (result == kUpdated || result == kNothingNew)
        return result;
    __trace__.debug(L"Using the --system-proxy");
    return runUpdater(server, true, reload);
}

unsigned int ScannerUpdate::failed(unsigned int code, const wchar_t* name) {
    _Statistics::getInstance().inc(UPDATESFAILED);
    if (hooks_.telemetry)
        hooks_.telemetry(L"Error", L"Code " + std::to_wstring(code) + L": " + name);
    return code;
}

unsigned int ScannerUpdate::runUpdater(const std::wstring& server, bool useSystemProxy, bool reload) {
    kitbase::ensureFolder(WS2S(backupFolder_));
    {
        time_t now = time(nullptr);
        struct tm local {};
        localtime_r(&now, &local);
        __trace__.info(L"Starting the ScannerUpdate process: %d-%d-%d", local.tm_hour, local.tm_min,
                       local.tm_sec);
    }
    const std::wstring logFile = getLogFolder() + L"/qvupdate-" + getTimeDate(0) + L".log";

    // One argument per option, never split again: option values cannot add options.
    _Options& options = _Options::instance();
    std::vector<std::wstring> args{updaterPath_};
    std::wstring shown = quoted(updaterPath_);
    auto add = [&](const std::wstring& argument, const std::wstring& display) {
        args.push_back(argument);
        shown += L" " + display;
    };
    const std::wstring config = options.getOptionString(62u);
    if (!config.empty()) {
        const std::wstring path = insideScannerFolder(scannerFolder_, config);
        if (!path.empty() && fileExists(path)) {
            add(L"-C", L"-C");
            add(path, quoted(path));
            __trace__.info(L"Using provided qvupdate configuration file:'%s'", path);
        } else {
            __trace__.error(
                L"Update configuration file '%s' can not be opened or accessed. Reverting to the default.",
                createPath(scannerFolder_, config));
            add(L"--no-config", L"--no-config");
        }
    } else {
        add(L"--no-config", L"--no-config");
    }
    add(L"--internet-srvs=" + server + L"/update", L"--internet-srvs=" + server + L"/update");
    if (options.getOptionNumeric(63u) != 0) {
        __trace__.debug(L"Warning: no-cert-verify and --no-host-check used");
        add(L"--no-cert-verify", L"--no-cert-verify");
        add(L"--no-host-check", L"--no-host-check");
    }
    for (const wchar_t* fixed :
         {L"--master-file=/idx/master.idx", L"--product-file=/idx/qvapi4lib-win32-en.info.gz",
          L"--update-modules-list=VDF,AVE2"})
        add(fixed, fixed);
    add(L"--temp-dir=" + getTmp(), L"--temp-dir=" + getTmp());
    for (const auto& proxy : proxyArguments(useSystemProxy))
        add(proxy, proxy.rfind(L"--proxy-password=", 0) == 0 ? L"--proxy-password=***" : proxy);
    add(L"--check-product", L"--check-product");
    add(L"--install-dir=" + backupFolder_, L"--install-dir=" + quoted(backupFolder_));
    add(L"--log=" + logFile, L"--log=" + quoted(logFile));
    arguments_ = args;
    commandLine_ = shown;
    __trace__.debug(L"Updating with command line '%ls'", commandLine_);

    if (!VerifyQuorvaneCertificate(updaterPath_)) {
        __trace__.error(
            L"'%ls' has been modified and is no longer signed by Quorvane. The program will not be executed.",
            updaterPath_);
        return failed(kNotSigned, L"OA_ERROR_UPDATE_FAILED_QVUPDATE_MODIFIED");
    }
    if (firstRun_) {
        __trace__.debug(L"This is the first execution. Copying files in the backup folder:%ls",
                        backupFolder_);
        if (synchronizeFolders(engineFolder_, backupFolder_) != 0)
            __trace__.debug(
                L"Non fatal error: cannot copy files in the backup folder. All files will be downloaded");
        firstRun_ = false;
    }

    std::string line;
    for (const auto& a : args)
        line += (line.empty() ? "" : " ") + kitbase::quoteCommandLineArgumentIfNeeded(WS2S(a));
    kitbase::ChildProcess updater;
    if (!updater.start(line)) {
        DWORD code = GetLastError();
        __trace__.error(
            L"Update failed: cannot execute the qvupdate to update files in the '%ls' folder: %ls",
            backupFolder_, tgetErrorString(code));
        return failed(kCannotStart, L"OA_ERROR_UPDATE_FAILED_CANT_START_QVUPDATE");
    }
    // Waited for in steps, so that a stop of the service ends the wait; an updater still
    // running at the limit (or at the stop) is ended, and the run failed.
    const auto limit = std::chrono::steady_clock::now() + updaterLimit_;
    bool ended = false, stopped = false;
    while (!(ended = updater.wait(static_cast<DWORD>(std::min<long long>(pauseStep_.count(), 1000)))) &&
           std::chrono::steady_clock::now() < limit) {
        if (hooks_.stopRequested && hooks_.stopRequested()) {
            stopped = true;
            break;
        }
    }
    if (!ended) {
        if (stopped)
            __trace__.warning(L"Update stopped: the updater is ended");
        else
            __trace__.error(L"Update failed: the updater did not end in time and is ended");
        updater.signal(SIGTERM);
        if (!updater.wait(static_cast<DWORD>(killGrace_.count()))) {
            updater.signal(SIGKILL);
            updater.wait(5000);
        }
        return failed(kUpdaterFailed, L"OA_ERROR_UPDATE_FAILED_QVUPDATE_ERROR");
    }
    const int32_t exitCode = static_cast<int32_t>(updater.exitCode());
    __trace__.debug(L"Scanner Updater returned with error code: %d", exitCode);

    unsigned int result = 0;
    if (exitCode == 1) {
        __trace__.info(L"Scanner Update: Nothing to update in '%ls'", backupFolder_);
        result = kNothingNew;
    } else if (exitCode == -1 || exitCode == 255) {
        // The vendor's -1 arrives as 255 on this platform.
        __trace__.error(
            L"Scanner Update failed in '%ls': qvupdate returned an error. Please check "
            L"logs/qvupdate-*.log for details. Code: %d",
            backupFolder_, exitCode);
        return failed(kUpdaterFailed, L"OA_ERROR_UPDATE_FAILED_QVUPDATE_ERROR");
    } else if (!reload) {
        result = static_cast<unsigned int>(exitCode);
    } else {
        bool seriesFailed = false;
        result = reloadAfterUpdate(seriesFailed);
        if (seriesFailed)
            return result;  // the engine's code; no stamp
        if (result == kCopyFailed)
            failed(kCopyFailed, L"OA_ERROR_UPDATE_FAILED_CANT_COPY_FILES");
    }
    // Only a run that updated or found nothing new counts as the last update.
    if (result == kUpdated || result == kNothingNew)
        stampLastUpdate();
    if (result == kUpdated) {
        failedSeries_ = 0;
        __trace__.debug(L"Detection Update successful");
    } else if (result == kNothingNew) {
        __trace__.debug(L"Detection Update successful");
    } else {
        __trace__.debug(L"Detection Update NOT successful");
    }
    return result;
}

// After an updater run that updated files: the reload, the folder swap, and the
// series count that restarts the service.
unsigned int ScannerUpdate::reloadAfterUpdate(bool& seriesFailed) {
    seriesFailed = false;
    // Without a loaded engine there is nothing to reload (the engine start takes the
    // files over) and no series is counted, so a broken engine never loops into restarts.
    if (hooks_.engineLoaded && !hooks_.engineLoaded()) {
        __trace__.warning(L"No engine is loaded: the reload of the updated files in %ls is skipped",
                          backupFolder_);
        return kUpdated;
    }
    __trace__.info(L"Reloading the scanner engine after a successful update in %ls", backupFolder_);
    static const int attempts = [] {
        int n = _Options::instance().getOptionNumeric(74u);
        return n < 1 || n > 20 ? 10 : n;
    }();
    static const int series = [] {
        int n = _Options::instance().getOptionNumeric(73u);
        return n < 1 || n > 10 ? 2 : n;
    }();
    __trace__.debug(L"Maximum no. retries series until service will be forcefully reloaded:%d", series);
    __trace__.debug(L"Maximum no. of reload attempts per serie:%d", attempts);
    unsigned int code = static_cast<unsigned int>(-1);
    for (int attempt = 1; attempt <= attempts; ++attempt) {
        code = hooks_.reloadEngine ? hooks_.reloadEngine(backupFolder_) : 67;
        if (code == 0)
            break;
        __trace__.warning(
            L"Series %d/%d: Attempt %d/%d.Scanner Update failed: cannot reload the engine from the "
            L"folder '%ls' : Code %d",
            failedSeries_.load() + 1, series, attempt, attempts, backupFolder_, code);
        bool goOn = true;
        for (int step = 0; step < 10 && goOn; ++step)
            goOn = waitStep(pauseStep_);
        if (!goOn)
            break;
    }
    if (code != 0) {
        uint32_t failedSeries = ++failedSeries_;
        __trace__.warning(
            L"Reloading the engine failed. It did this %d time already. %d times until forced "
            L"restart of service",
            failedSeries, series);
        if (hooks_.telemetry)
            hooks_.telemetry(L"Error", L"Reload engine failed. Code " + std::to_wstring(code));
        if (failedSeries >= static_cast<uint32_t>(series)) {
            __trace__.warning(
                L"Reloading the engine failed and the limit to forcefull restart was reached. Restarting the "
                L"service.");
            __trace__.debug(L"\nSynchronizing the files between %ls and %ls", engineFolder_, backupFolder_);
            synchronizeFolders(backupFolder_, engineFolder_);
            if (hooks_.restartService)
                hooks_.restartService();
        }
        seriesFailed = true;
        return code;
    }
    if (synchronizeFolders(backupFolder_, engineFolder_) != 0)
        return kCopyFailed;
    __trace__.debug(L"Swapping source '%ls' with destination '%ls'", backupFolder_, engineFolder_);
    std::swap(engineFolder_, backupFolder_);
    return kUpdated;
}
