#include "scanwarden/av_service.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "kitbase/core/authenticode.h"
#include "kitbase/core/files.h"
#include "kitbase/core/folders.h"
#include "kitbase/core/oem_resource.h"
#include "kitbase/core/process.h"
#include "kitbase/core/registry.h"
#include "kitbase/core/strings.h"
#include "kitbase/core/sysinfo.h"
#include "kitbase/core/thread.h"
#include "kitbase/core/trace.h"
#include "kitbase/platform/format.h"
#include "kitbase/platform/pending_renames.h"
#include "kitbase/services/statistics.h"
#include "kitbase/services/stats_db.h"
#include "kitbase/services/wsc_comm.h"
#include "scanwarden/options.h"
#include "scanwarden/update.h"

namespace {

constexpr DWORD kStartPending = 2, kStopPending = 3;
constexpr WORD kInformation = 4;

std::mutex g_nameLock;
std::wstring g_serviceName;
void (*g_exit)(int) = nullptr;

// The pending installation: the setup program an update left for the next start.
class PendingInstallation : public Thread {
public:
    explicit PendingInstallation(std::wstring value)
        : Thread(nullptr, L"PendingInstallation"), value_(std::move(value)) {}
    ~PendingInstallation() override {
        stop();
        join(-1);
    }
    int main() override {
        __trace__.warning(
            L"Found a pending update installation. This process will execute the update and then exit");
        // The path may stand in double quotes (a path with blanks); the parameters follow.
        std::wstring path, parameters;
        std::wstring value = value_;
        ttrim_all(value);
        if (!value.empty() && value[0] == L'"') {
            size_t close = value.find(L'"', 1);
            path = value.substr(1, close == std::wstring::npos ? std::wstring::npos : close - 1);
            if (close != std::wstring::npos)
                parameters = value.substr(close + 1);
        } else {
            size_t blank = value.find(L' ');
            path = value.substr(0, blank);
            if (blank != std::wstring::npos)
                parameters = value.substr(blank + 1);
        }
        ttrim_all(path);
        ttrim_all(parameters);
        int result = -1;
        __trace__.info(L"Checking code signature of %ls", path);
        if (!VerifyCertificate(path)) {
            __trace__.error(
                L"Can not validate the product update file '%ls'. File is corrupt and will be deleted.",
                path);
            // Only a regular file at exactly that path is removed.
            if (isRegularFile(path))
                std::remove(WS2S(path).c_str());
        } else {
            __trace__.debug(L"Executing: '%ls' with parameters '%ls'", path, parameters);
            if (::execute(path, parameters, false, false)) {
                __trace__.info(L"Successfully executed the update program '%ls'", path);
                result = 1;
            } else {
                __trace__.error(L"Could not execute the update program '%ls'. Code: %x", path,
                                GetLastError());
            }
        }
        delRegValue(L"AVPendingSetup");
        delRegValue(L"AVPendingSetupType");
        return result;
    }

private:
    std::wstring value_;
};

// The five action texts of detection notifications, loaded once.
const std::wstring& actionText(unsigned int action) {
    static const std::wstring texts[5] = {getString(1048), getString(1047), getString(1050), getString(1049),
                                          getString(1062)};
    return texts[action];
}

// A notification template must hold exactly four text conversions and nothing else that
// takes an argument; otherwise the built-in one is used.
bool acceptableTemplate(const std::wstring& text) {
    int conversions = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != L'%')
            continue;
        if (i + 1 < text.size() && text[i + 1] == L'%') {
            ++i;
            continue;
        }
        if (text.compare(i, 3, L"%ls") == 0) {
            ++conversions;
            i += 2;
        } else if (text.compare(i, 2, L"%s") == 0) {
            ++conversions;
            i += 1;
        } else {
            return false;
        }
    }
    return conversions == 4;
}

// Fills the four text conversions of an accepted template in order.
std::wstring fillTemplate(const std::wstring& text, const std::wstring (&values)[4]) {
    std::wstring out;
    int next = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != L'%') {
            out += text[i];
        } else if (i + 1 < text.size() && text[i + 1] == L'%') {
            out += L'%';
            ++i;
        } else {
            out += values[next++];
            i += text.compare(i, 3, L"%ls") == 0 ? 2 : 1;
        }
    }
    return out;
}

}  // namespace

void CAVService::setServiceName(const std::wstring& name) {
    std::lock_guard<std::mutex> guard(g_nameLock);
    g_serviceName = name;
}

CAVService& CAVService::instance() {
    static CAVService service([] {
        std::lock_guard<std::mutex> guard(g_nameLock);
        return g_serviceName;
    }());
    return service;
}

void CAVService::setProcessExit(void (*exitFunction)(int)) {
    g_exit = exitFunction;
}

CAVService::CAVService(const std::wstring& serviceName)
    : CServiceBase(serviceName.c_str(), TRUE, TRUE, TRUE, FALSE),
      serviceName_(serviceName),
      singleInstance_(L"Global\\Scan-Warden-Unique") {}

CAVService::~CAVService() {
    stopFlag_ = 1;
    if (scannerSetupThread_.joinable())
        scannerSetupThread_.join();
    if (securityCenterThread_.joinable())
        securityCenterThread_.join();
}

void CAVService::endProcess(int code) {
    closetrace();
    if (g_exit)
        g_exit(code);
    // Threads may still run: no static destructors under them.
    _exit(code);
}

bool CAVService::runPendingInstallation() {
    const std::wstring value = getSRegValue(L"AVPendingSetup");
    if (value.empty()) {
        __trace__.debug(L"No pending installation found.");
        return false;
    }
    PendingInstallation installation(value);
    if (installation.execute() != 1)
        return false;
    __trace__.warning(
        L"The update program is going to be executed as Pending Installation. The service will stop now");
    SetServiceStatus(kStopPending);
    WriteEventLogEntry((serviceName_ + L" Stopped").c_str(), kInformation, true);
    return true;
}

void CAVService::OnStart(DWORD, wchar_t**) {
    // The renames left for the next start of the machine are done first.
    std::vector<kitbase::PendingRenameFailure> failures;
    kitbase::applyPendingRenames(&failures);
    for (const auto& f : failures)
        __trace__.error(L"Cannot move '%ls' to '%ls' as planned: %ls", f.rename.first, f.rename.second,
                        tgetErrorString(f.error));

    SetServiceStatus(kStartPending);
    if (!holdsSingleInstance_) {
        if (singleInstance_.checkIfExists() || singleInstance_.Create() != 0) {
            __trace__.error(L"Another instance is running. Exiting");
            endProcess(1);
        }
        holdsSingleInstance_ = true;
    }
    if (runPendingInstallation())
        endProcess(0);

    stopFlag_ = 0;
    _Options& options = _Options::instance();
    options.setConfigFile(getConfigFile());
    options.readCfg();
    WSCComm::clearStaleSync();

    if (securityCenterThread_.joinable())
        securityCenterThread_.join();
    securityCenterThread_ = std::thread([this] { registerWithSecurityCenter(); });
    SetServiceStatus(kStartPending);
    {
        std::lock_guard<std::mutex> guard(setupLock_);
        if (scannerSetupThread_.joinable())
            scannerSetupThread_.join();
        scannerSetupThread_ = std::thread([this] { scannerSetup(); });
    }
    Update::instance().run();
    _Statistics::getInstance();
    static _OEMResource oem;

    statsDB_ = std::make_unique<StatsDB>(getStatsDB());
    if (isServer())
        __trace__.info(L"No Systray supervision is attempted");
    WriteEventLogEntry((serviceName_ + L" Started").c_str(), kInformation, true);
}

void CAVService::scannerSetup() {
    if (_Options::instance().getOptionNumeric(7u) == 0) {
        __trace__.warning(L"Antimalware is deactivate in the configuration file (option 'antimalware').");
    } else {
        __trace__.warning(L"\nCannot setup the AVScanner");
    }
    if (securityCenterThread_.joinable())
        securityCenterThread_.join();
    while (stopFlag_ == 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

void CAVService::registerWithSecurityCenter() {
    const std::wstring path = getStatusmith();
    const std::wstring name = getString(1002);
    const std::wstring folder = createPath(getScannerPath(), L"elam_ppl");
    WSCComm& wsc = WSCComm::instance();
    if (IsWindows10RS5AndAbove())
        wsc.initialize(static_cast<unsigned int>(_Options::instance().getOptionNumeric(L"scannerproductid")));
    else
        wsc.initialize(0xFFFFFFFFu);
    if (wsc.register_remediation(path.c_str(), name.c_str(), folder.c_str()) != 0)
        __trace__.error(L"Cannot register the remediation program");
}

void CAVService::OnStop() {
    stopFlag_ = 1;
    SetServiceStatus(kStopPending);
    _Statistics::getInstance().flush(statsDB_.get());
    {
        // The scanner set-up ends (bounded by its own steps) before the scanner goes.
        std::lock_guard<std::mutex> guard(setupLock_);
        if (scannerSetupThread_.joinable())
            scannerSetupThread_.join();
    }
    Update::instance().stop();
    __trace__.info(L"\n\n\nAntivirus Service uninitialization complete\n\n");
    WriteEventLogEntry((serviceName_ + L" Stopped").c_str(), kInformation, true);
}

void CAVService::OnReload() {
    __trace__.info(L"Reloading the product with a new configuration");
    __trace__.info(L"-----------------------\nReloading started\n");
    OnStop();
    OnStart(0, nullptr);
}

void CAVService::OnShutdown() {
    __trace__.debug(L"Computer is shutting down");
}

void CAVService::OnPreShutdown() {
    __trace__.debug(L"Computer is pre-shutting down");
    if (getSRegValue(L"AVPendingSetupType") != L"program") {
        __trace__.debug(L"No OnPreShutdown program to execute");
        return;
    }
    FILE* log = fopen(WS2S(getLogFolder() + L"/preshutdown.log").c_str(), "we");
    FILE* out = log ? log : stderr;
    auto note = [&](const std::wstring& text) {
        std::string bytes = WS2S(L"\n" + text);
        fputs(bytes.c_str(), out);
    };
    __trace__.info(L"Uninstalling the drivers");
    note(L"Uninstalling the drivers");
    const std::wstring setupLog = getScannerPath() + L"/vrn_setup.log";
    std::remove(WS2S(setupLog + L".old").c_str());
    std::rename(WS2S(setupLog).c_str(), WS2S(setupLog + L".old").c_str());
    if (execute(getScannerPath() + L"/vrn_setup.exe", L"uninstall silent", false, false)) {
        __trace__.info(L"Successfully executed the drivers uninstallation program");
        note(L"Successfully executed the drivers uninstallation program");
    } else {
        __trace__.error(L"Could not execute the drivers setup program");
        note(L"Could not execute the drivers setup program");
    }
    if (log)
        fclose(log);
}

void CAVService::notify(const std::wstring& text) {
    if (_Options::instance().getOptionNumeric(12u) == 0) {
        __trace__.warning(L"Notification suppressed: %ls", text);
        return;
    }
    std::lock_guard<std::mutex> guard(notificationLock_);
    lastNotification_ = text;
}

void CAVService::notifyUpdate(const std::wstring& text) {
    notify(L"<" + text + L">");
}

std::wstring CAVService::lastNotification() const {
    std::lock_guard<std::mutex> guard(notificationLock_);
    return lastNotification_;
}

std::wstring CAVService::shortenPathForDisplay(const std::wstring& path) {
    if (path.size() < 16)
        return path;
    const std::wstring name = getFilename(path);
    if (name.size() < 16)
        return name;
    return name.substr(0, 7) + L".." + name.substr(name.size() - 7);
}

void CAVService::notifyOnAccessDetection(unsigned int kind, const std::wstring& path,
                                         const std::wstring& detection, const std::wstring& type,
                                         unsigned int action) {
    if (kind > 1 || action > 4)
        return;
    std::wstring pattern = getString(kind == 0 ? 1045 : 1046);
    if (!acceptableTemplate(pattern)) {
        if (!pattern.empty())
            __trace__.error(L"The notification template %d is not usable; the built-in one is used",
                            kind == 0 ? 1045 : 1046);
        pattern =
            kind == 0 ? L"Malware %ls (%ls, %ls) found: %ls" : L"Suspicious file %ls (%ls, %ls) found: %ls";
    }
    const std::wstring values[4] = {shortenPathForDisplay(path), detection, type, actionText(action)};
    std::wstring text = fillTemplate(pattern, values);
    if (text.size() > 253)
        text.resize(253);
    if (_Options::instance().getOptionNumeric(17u) != 0)
        notify(L"(" + text + L")");
    else
        __trace__.warning(L"OA Notification suppressed: %ls", text);
}
