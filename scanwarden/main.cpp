// The program's entry point: started by the service manager (no arguments) it runs the
// service; started with arguments it is the service's administration tool.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "kitbase/core/files.h"
#include "kitbase/core/folders.h"
#include "kitbase/core/oem_resource.h"
#include "kitbase/core/registry.h"
#include "kitbase/core/strings.h"
#include "kitbase/core/sysinfo.h"
#include "kitbase/core/trace.h"
#include "kitbase/platform/format.h"
#include "kitbase/services/service_base.h"
#include "scanwarden/av_service.h"
#include "scanwarden/options.h"
#include "scanwarden/update.h"

namespace {

std::wstring g_serviceName, g_displayName, g_description;

void print(const std::wstring& text) {
    std::string bytes = WS2S(text);
    fputs(bytes.c_str(), stdout);
    fflush(stdout);
}

// A stop request from the terminal ends the wait for a key like a key would.
void onStopSignal(int) {}

void installStopSignals() {
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no restart: the read for the key returns
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

int runAsService(TraceLevel level) {
    TakeOwnership(getLogFolder().c_str());
    TakeOwnership(getIDXFolder().c_str());
    TakeOwnership(getTmp().c_str());
    TakeOwnership(getQuarantineFolder().c_str());
    inittrace(getLogFile(L""), level, false, true);
    __trace__.debug(L"Starting as a service");
    if (!CServiceBase::Run(CAVService::instance()))
        print(kitbase::wformat(L"Service failed to run w/err 0x%08lx\n", GetLastError()));
    return 0;
}

int runConsole(const std::vector<std::wstring>& words, TraceLevel level) {
    inittrace(getLogFile(L""), level, true, false);
    _Options& options = _Options::instance();
    for (size_t i = 1; i < words.size(); ++i) {
        const std::wstring& word = words[i];
        if (word.empty() || (word[0] != L'-' && word[0] != L'/'))
            continue;
        __trace__.debug(L"Command line parameter %d:%ls", static_cast<int>(i), word);
        const std::wstring key = lower(word.substr(1));
        const bool hasNext = i + 1 < words.size();
        if (key == L"configtest") {
            if (!hasNext) {
                __trace__.error(L"No conf file specified");
                return 1;
            }
            __trace__.info(L"Performing configuration file test for %ls", words[i + 1]);
            options.setConfigFile(words[i + 1]);
            options.verifyConfigFile(words[i + 1]);
            return 0;
        } else if (key == L"qualist") {
            return 0;
        } else if (key == L"heartbeattest") {
            __trace__.info(L"Performing heartbeat test");
            return 0;
        } else if (key == L"version") {
            std::wstring version;
            if (getFileVersionInfo(getThisBinaryPath(nullptr), version) != 0 || version.empty())
                version = L"0.0.0.0";
            print(kitbase::wformat(L"\n%ls\n%ls\nVersion:%ls", getThisBinaryPath(nullptr), g_displayName,
                                   version));
            return 0;
        } else if (key == L"v") {
            std::wstring version;
            if (getFileVersionInfo(getThisBinaryPath(nullptr), version) != 0 || version.empty())
                version = L"0.0.0.0";
            print(kitbase::wformat(L"\n%ls", version));
            return 0;
        } else if (key == L"update") {
            Update::instance().doUpdate(true);
        } else if (key == L"install") {
            InstallService(g_serviceName.c_str(), g_displayName.c_str(), 2, L"", L"LocalSystem", nullptr,
                           g_description.c_str());
            return 0;
        } else if (key == L"remove" || key == L"delete" || key == L"uninstall") {
            UninstallService(g_serviceName.c_str());
            return 0;
        } else if (key == L"config") {
            std::remove(WS2S(getConfigFile()).c_str());
            options.setConfigFile(getConfigFile());
            options.writeCfg();
            return 0;
        } else if (key == L"notelemetry") {
            options.setOptionNumeric(L"telemetry", 0);
            __trace__.debug(L"No telemetry set in cmdline");
        } else if (key == L"noheartbeat") {
            options.setOptionNumeric(L"heartbeat", 0);
            __trace__.debug(L"No heartbeat set in cmdline");
        } else if (key == L"start") {
            controlService(g_serviceName, SERVICE_COMMAND_START);
            return 0;
        } else if (key == L"stop") {
            controlService(g_serviceName, 1);
            return 0;
        } else if (key == L"reload") {
            setIRegValue(L"WSCSync", 0);
            controlService(g_serviceName, static_cast<int>(0xBADBEEF));
            return 0;
        } else if (key == L"console") {
            CAVService& service = CAVService::instance();
            installStopSignals();
            service.OnStart(0, nullptr);
            __trace__.info(L"\nPress any key to stop");
            getchar();
            service.OnStop();
            return 0;
        } else if (key == L"loglevel") {
            if (!hasNext) {
                __trace__.error(L"No loglevel specified");
                return 1;
            }
            const uint32_t value = WS2I(words[i + 1]);
            if (value == 0) {
                __trace__.error(L"Invalid loglevel specified");
                return 1;
            }
            print(kitbase::wformat(L"\nSetting loglevel to %d", value));
            __trace__.setTraceLevel(static_cast<TraceLevel>(value));
            ++i;
        } else if (key == L"help") {
            print(
                L"\nSyntax: "
                L"version|help|install|remove/delete/uninstall|config|console|start|stop|reload|loglevel "
                L"<1-5>|version");
            return 0;
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::wstring> words;
    for (int i = 0; i < argc; ++i)
        words.push_back(S2WS(argv[i]));
    g_serviceName = getString(1029);
    g_displayName = getString(1031);
    g_description = getString(1030);
    CAVService::setServiceName(g_serviceName);
    const TraceLevel level = static_cast<TraceLevel>(_Options::instance().getOptionNumeric(11u));
    const int code = words.size() <= 1 ? runAsService(level) : runConsole(words, level);
    closetrace();
    fflush(stdout);
    // The service's threads are stopped; the process-wide objects go without running
    // their destructors under a library that is being unloaded.
    _exit(code);
}
