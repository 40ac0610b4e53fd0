// The service manager and the framework end to end: a real service process under its
// supervisor, installed, started, controlled and removed from this test.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <thread>

#include "kitbase/platform/event_log.h"
#include "kitbase/platform/registry_store.h"
#include "kitbase/platform/roots.h"
#include "kitbase/platform/service_channel.h"
#include "kitbase/platform/service_host.h"
#include "kitbase/platform/service_manager.h"
#include "kitbase/platform/spawner.h"
#include "kitbase/platform/utf8.h"
#include "kitbase/platform/winerror.h"
#include "kitbase/services/service_base.h"
#include "support/test_root.h"

using namespace kitbase;

namespace {

const std::wstring kName = L"Kitbase Test";

bool waitFor(const std::function<bool()>& condition, int timeoutMs = 10000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return condition();
}

class ServiceControl : public ::testing::Test {
protected:
    const std::string root = testsupport::testRoot();
    const std::string program = executableFolder() + "/kitbase_test_service";

    void SetUp() override {
        // Supervisors are started detached; as their subreaper this test collects them.
        ::prctl(PR_SET_CHILD_SUBREAPER, 1);
        setenv("KITBASE_SERVICE_ADMIN", "1", 1);
        setServiceControlWaits(50, 50);
        settings("");
    }

    // Nothing is left running: no more restarts, the service process killed, and the
    // supervisor gone.
    void TearDown() override {
        setenv("KITBASE_SERVICE_ADMIN", "1", 1);
        ServiceManager::setFailureActions(kName, 0, {});
        SERVICE_STATUS_PROCESS s;
        if (ServiceManager::queryStatus(kName, s) == ERROR_SUCCESS && s.dwProcessId)
            ::kill(static_cast<pid_t>(s.dwProcessId), SIGKILL);
        EXPECT_TRUE(waitFor([] {
            int fd = ServiceChannel::connectTo(ServiceDatabase::runPath(kName, ".sock"));
            if (fd < 0)
                return true;
            ::close(fd);
            return false;
        }));
        // Every supervisor has ended and is collected.
        EXPECT_TRUE(waitFor([] {
            pid_t pid;
            while ((pid = ::waitpid(-1, nullptr, WNOHANG)) > 0) {
            }
            return pid < 0 && errno == ECHILD;
        }));
    }

    void settings(const std::string& extra) {
        testsupport::writeFile(root + "/test_service.ini", "name=Kitbase Test\n" + extra);
    }

    // Runs the service program's own installation.
    void install() {
        ChildProcess child;
        ASSERT_TRUE(child.start("\"" + program + "\" install \"Kitbase Test\" \"A test service\""));
        ASSERT_TRUE(child.wait(30000));
        ASSERT_EQ(child.exitCode(), 0u);
    }

    SERVICE_STATUS_PROCESS query() {
        SERVICE_STATUS_PROCESS s;
        EXPECT_EQ(ServiceManager::queryStatus(kName, s), ERROR_SUCCESS);
        return s;
    }

    bool reaches(DWORD state) {
        return waitFor([&] { return query().dwCurrentState == state; });
    }

    std::string journal() { return testsupport::readFile(root + "/test_service.journal"); }

    static size_t count(const std::string& text, const std::string& what) {
        size_t n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
            ++n;
        return n;
    }
};

}  // namespace

TEST_F(ServiceControl, InstallRecordsServiceAndUninstallRemovesStoppedService) {
    install();
    RegistryStore& store = RegistryStore::machine();
    RegistryKey key;
    ASSERT_EQ(store.openKey(L"SYSTEM\\CurrentControlSet\\Services\\Kitbase Test", KEY_READ, key),
              ERROR_SUCCESS);
    std::wstring text;
    ASSERT_EQ(store.getString(key, L"ImagePath", text), ERROR_SUCCESS);
    char real[4096];
    ASSERT_TRUE(realpath(program.c_str(), real));
    EXPECT_EQ(wideToUtf8(text), real);
    ASSERT_EQ(store.getString(key, L"Description", text), ERROR_SUCCESS);
    EXPECT_EQ(text, L"A test service");

    ServiceConfig config;
    ASSERT_EQ(ServiceManager::queryConfig(kName, config), ERROR_SUCCESS);
    EXPECT_EQ(config.startType, SERVICE_DEMAND_START);
    EXPECT_EQ(config.failureResetSeconds, 86400u);
    ASSERT_EQ(config.failureActions.size(), 3u);
    for (const auto& a : config.failureActions) {
        EXPECT_EQ(a.Type, SC_ACTION_RESTART);
        EXPECT_EQ(a.Delay, 60000u);
    }
    EXPECT_EQ(config.preshutdownTimeoutMs, 180000u);

    // Never started, so no stop messages.
    testing::internal::CaptureStdout();
    UninstallService(kName.c_str());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Kitbase Test is removed.\n");
    EXPECT_EQ(ServiceManager::openService(kName), ERROR_SERVICE_DOES_NOT_EXIST);
    EXPECT_EQ(store.openKey(ServiceDatabase::registryKeyPath(kName), KEY_READ, key), ERROR_FILE_NOT_FOUND);
}

TEST_F(ServiceControl, StartPauseContinueReloadStop) {
    // A program path with blanks stays one path.
    const std::string folder = root + "/Program Files/Test Svc";
    ASSERT_TRUE(ensureFolder(folder));
    ASSERT_EQ(::symlink(program.c_str(), (folder + "/test service").c_str()), 0);
    ServiceConfig config;
    config.name = kName;
    config.binaryPath = utf8ToWide(folder + "/test service");
    ASSERT_EQ(ServiceManager::createService(config), ERROR_SUCCESS);
    settings("pause=1\n");
    testsupport::writeFile(root + "/hold-start", "");

    ASSERT_EQ(ServiceManager::startService(kName), ERROR_SUCCESS);
    ASSERT_TRUE(waitFor([&] { return query().dwCheckPoint != 0; }));
    SERVICE_STATUS_PROCESS s = query();
    EXPECT_EQ(s.dwCurrentState, SERVICE_START_PENDING);
    EXPECT_EQ(s.dwCheckPoint, 1u);
    EXPECT_GT(s.dwProcessId, 0u);
    const DWORD pid = s.dwProcessId;
    // Controls wait until the service has started.
    EXPECT_EQ(ServiceManager::controlService(kName, SERVICE_CONTROL_STOP), ERROR_SERVICE_CANNOT_ACCEPT_CTRL);

    ::unlink((root + "/hold-start").c_str());
    ASSERT_TRUE(reaches(SERVICE_RUNNING));
    s = query();
    EXPECT_EQ(s.dwCheckPoint, 0u);
    EXPECT_EQ(s.dwControlsAccepted, SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN |
                                        SERVICE_ACCEPT_PRESHUTDOWN | SERVICE_ACCEPT_PAUSE_CONTINUE |
                                        SERVICE_ACCEPT_PARAMCHANGE);
    EXPECT_EQ(ServiceManager::startService(kName), ERROR_SERVICE_ALREADY_RUNNING);

    const struct {
        DWORD control, result, state;
    } steps[] = {
        {SERVICE_CONTROL_PAUSE, ERROR_SUCCESS, SERVICE_PAUSED},
        {SERVICE_CONTROL_CONTINUE, ERROR_SUCCESS, SERVICE_RUNNING},
        {SERVICE_CONTROL_PARAMCHANGE, ERROR_SUCCESS, SERVICE_RUNNING},  // OnReload, no state change
        {SERVICE_CONTROL_INTERROGATE, ERROR_SUCCESS, SERVICE_RUNNING},
        {200, ERROR_SUCCESS, SERVICE_RUNNING},
        {42, ERROR_INVALID_PARAMETER, SERVICE_RUNNING},
        {SERVICE_CONTROL_STOP, ERROR_SUCCESS, SERVICE_STOPPED},
        {SERVICE_CONTROL_STOP, ERROR_SERVICE_NOT_ACTIVE, SERVICE_STOPPED},
    };
    for (const auto& step : steps) {
        SERVICE_STATUS after;
        EXPECT_EQ(ServiceManager::controlService(kName, step.control, &after), step.result) << step.control;
        EXPECT_EQ(after.dwCurrentState, step.state) << step.control;
    }
    ASSERT_TRUE(waitFor([&] { return query().dwProcessId == 0; }));
    EXPECT_TRUE(waitFor([&] { return ::kill(static_cast<pid_t>(pid), 0) != 0; }));
    EXPECT_EQ(journal(), "OnStart 1 Kitbase Test " + std::to_string(pid) +
                             "\nOnPause\nOnContinue\nOnReload\nOnStop\nRun ended\n");
}

TEST_F(ServiceControl, ControlServiceStartsRestartsAndStops) {
    install();
    EXPECT_EQ(controlService(kName, SERVICE_COMMAND_START), 0u);
    SERVICE_STATUS_PROCESS s = query();
    ASSERT_EQ(s.dwCurrentState, SERVICE_RUNNING);
    const DWORD first = s.dwProcessId;

    EXPECT_EQ(controlService(kName, SERVICE_COMMAND_RESTART), 0u);
    s = query();
    EXPECT_EQ(s.dwCurrentState, SERVICE_RUNNING);
    EXPECT_NE(s.dwProcessId, first);
    EXPECT_EQ(count(journal(), "OnStart"), 2u);
    EXPECT_EQ(count(journal(), "OnStop"), 1u);

    // Pause is not accepted by this service.
    EXPECT_EQ(ServiceManager::controlService(kName, SERVICE_CONTROL_PAUSE), ERROR_INVALID_SERVICE_CONTROL);
    EXPECT_EQ(controlService(kName, SERVICE_CONTROL_PAUSE), 0u);
    EXPECT_EQ(query().dwCurrentState, SERVICE_RUNNING);

    EXPECT_EQ(controlService(kName, SERVICE_CONTROL_STOP), 0u);
    EXPECT_EQ(query().dwCurrentState, SERVICE_STOPPED);

    EXPECT_EQ(controlService(L"No Such Service", SERVICE_CONTROL_STOP), 1u);
}

TEST_F(ServiceControl, StartThrowingDwordStopsWithThatCode) {
    settings("throwOnStart=5\n");
    install();
    ASSERT_EQ(ServiceManager::startService(kName), ERROR_SUCCESS);
    ASSERT_TRUE(waitFor([&] { return query().dwProcessId == 0; }));
    SERVICE_STATUS_PROCESS s = query();
    EXPECT_EQ(s.dwCurrentState, SERVICE_STOPPED);
    EXPECT_EQ(s.dwWin32ExitCode, 5u);
    EXPECT_NE(testsupport::readFile(EventSource::logFilePath()).find("Service Start failed w/err 0x00000005"),
              std::string::npos);
    // A reported stop is no failure: nothing restarts it.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(count(journal(), "OnStart"), 1u);
}

TEST_F(ServiceControl, ProcessEndedWithoutStopReportIsRestarted) {
    install();
    ASSERT_EQ(
        ServiceManager::setFailureActions(kName, 86400, std::vector<SC_ACTION>(3, {SC_ACTION_RESTART, 100})),
        ERROR_SUCCESS);
    ASSERT_EQ(ServiceManager::startService(kName), ERROR_SUCCESS);
    ASSERT_TRUE(reaches(SERVICE_RUNNING));
    const DWORD first = query().dwProcessId;
    ASSERT_EQ(::kill(static_cast<pid_t>(first), SIGKILL), 0);
    ASSERT_TRUE(waitFor([&] {
        SERVICE_STATUS_PROCESS s = query();
        return s.dwCurrentState == SERVICE_RUNNING && s.dwProcessId != first && s.dwProcessId != 0;
    }));
    EXPECT_EQ(count(journal(), "OnStart"), 2u);
}

TEST_F(ServiceControl, AlertTextWithConversionsDoesNotHarmTheService) {
    settings("alertOnReload=Detected C:\\a%n%s%n.exe (%x%p)\n");
    install();
    ASSERT_EQ(ServiceManager::startService(kName), ERROR_SUCCESS);
    ASSERT_TRUE(reaches(SERVICE_RUNNING));
    const DWORD pid = query().dwProcessId;
    EXPECT_EQ(ServiceManager::controlService(kName, SERVICE_CONTROL_PARAMCHANGE), ERROR_SUCCESS);
    SERVICE_STATUS_PROCESS s = query();
    EXPECT_EQ(s.dwCurrentState, SERVICE_RUNNING);
    EXPECT_EQ(s.dwProcessId, pid);
    EXPECT_NE(testsupport::readFile(EventSource::logFilePath())
                  .find("\tWarning\tKitbase Test\t0\t0\tKitbase Test\tDetected C:\\a%n%s%n.exe (%x%p)"),
              std::string::npos);
    EXPECT_EQ(ServiceManager::controlService(kName, SERVICE_CONTROL_STOP), ERROR_SUCCESS);
    EXPECT_NE(testsupport::readFile(root + "/service-trace.log").find("Detected C:\\a%n%s%n.exe (%x%p)"),
              std::string::npos);
}

TEST_F(ServiceControl, WithoutAdministratorEverythingIsRefused) {
    install();
    setenv("KITBASE_SERVICE_ADMIN", "0", 1);
    EXPECT_EQ(ServiceManager::checkAccess(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(ServiceManager::startService(kName), ERROR_ACCESS_DENIED);
    EXPECT_EQ(controlService(kName, SERVICE_COMMAND_START), 1u);
    testing::internal::CaptureStdout();
    UninstallService(kName.c_str());
    // Anyone may connect to the manager; opening the service to remove it is refused.
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "OpenService failed w/err 0x00000005\n");
    setenv("KITBASE_SERVICE_ADMIN", "1", 1);
    EXPECT_EQ(ServiceManager::openService(kName), ERROR_SUCCESS);
}

TEST_F(ServiceControl, ProgramNotStartedByTheManagerGets1063) {
    unsetenv(kServiceEndpointVariable);
    ChildProcess child;
    ASSERT_TRUE(child.start("\"" + program + "\""));
    ASSERT_TRUE(child.wait(30000));
    EXPECT_EQ(child.exitCode(), 3u);
    EXPECT_EQ(journal(), "Run failed 1063\n");
}
