#include "kitbase/platform/service_manager.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "kitbase/platform/private_files.h"
#include "kitbase/platform/roots.h"
#include "kitbase/platform/service_channel.h"
#include "kitbase/platform/spawner.h"
#include "kitbase/platform/utf8.h"
#include "kitbase/platform/winerror.h"

namespace kitbase {

namespace {

using Clock = std::chrono::steady_clock;

// The supervisor program lies beside this library.
std::string hostProgram() {
    std::string library = modulePathOf(reinterpret_cast<const void*>(&hostProgram));
    auto slash = library.rfind('/');
    std::string folder = slash == std::string::npos ? executableFolder() : library.substr(0, slash);
    return folder + "/servicehost";
}

// Sends one request to the service's supervisor and reads its answer. False with the
// last error set when there is no supervisor or it did not answer.
bool request(const std::wstring& name, const std::string& message, std::vector<std::string>& answer,
             int timeoutMs) {
    int fd = ServiceChannel::connectTo(ServiceDatabase::runPath(name, ".sock"));
    if (fd < 0)
        return false;
    std::string text;
    bool ok = ServiceChannel::send(fd, message) && ServiceChannel::receive(fd, text, timeoutMs);
    ::close(fd);
    if (ok)
        answer = ServiceChannel::words(text);
    return ok && !answer.empty();
}

// "RESULT error status..." into its parts.
DWORD resultOf(const std::vector<std::string>& answer, SERVICE_STATUS_PROCESS* status) {
    if (answer.size() < 2 || answer[0] != "RESULT")
        return ERROR_INVALID_DATA;
    if (status)
        ServiceChannel::parseStatus(answer, 2, *status);
    return static_cast<DWORD>(std::strtoul(answer[1].c_str(), nullptr, 10));
}

// The status the last supervisor left behind: the service is not running.
SERVICE_STATUS_PROCESS lastStatus(const std::wstring& name) {
    SERVICE_STATUS_PROCESS s;
    std::ifstream in(ServiceDatabase::runPath(name, ".status"));
    std::string line;
    if (in && std::getline(in, line))
        ServiceChannel::parseStatus(ServiceChannel::words(line), 0, s);
    s.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    s.dwCurrentState = SERVICE_STOPPED;
    s.dwControlsAccepted = 0;
    s.dwCheckPoint = 0;
    s.dwWaitHint = 0;
    s.dwProcessId = 0;
    return s;
}

DWORD done(DWORD error) {
    SetLastError(error);
    return error;
}

}  // namespace

DWORD ServiceManager::checkAccess() {
    if (!machineRoot().empty()) {
        std::string forced = testOverride("KITBASE_SERVICE_ADMIN");
        if (!forced.empty())
            return forced == "1" ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
    }
    return ::geteuid() == 0 ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

DWORD ServiceManager::connect() {
    return done(ERROR_SUCCESS);
}

DWORD ServiceManager::createService(const ServiceConfig& config) {
    DWORD rc = checkAccess();
    if (rc == ERROR_SUCCESS)
        rc = ServiceDatabase::create(config);
    return done(rc);
}

DWORD ServiceManager::openService(const std::wstring& name) {
    DWORD rc = checkAccess();
    ServiceConfig config;
    if (rc == ERROR_SUCCESS)
        rc = ServiceDatabase::read(name, config);
    return done(rc);
}

DWORD ServiceManager::queryConfig(const std::wstring& name, ServiceConfig& out) {
    DWORD rc = checkAccess();
    if (rc == ERROR_SUCCESS)
        rc = ServiceDatabase::read(name, out);
    return done(rc);
}

DWORD ServiceManager::setFailureActions(const std::wstring& name, DWORD resetSeconds,
                                        const std::vector<SC_ACTION>& actions) {
    ServiceConfig config;
    DWORD rc = queryConfig(name, config);
    if (rc != ERROR_SUCCESS)
        return rc;
    config.failureResetSeconds = resetSeconds;
    config.failureActions = actions;
    return done(ServiceDatabase::update(config));
}

DWORD ServiceManager::setPreshutdownTimeout(const std::wstring& name, DWORD timeoutMs) {
    ServiceConfig config;
    DWORD rc = queryConfig(name, config);
    if (rc != ERROR_SUCCESS)
        return rc;
    config.preshutdownTimeoutMs = timeoutMs;
    return done(ServiceDatabase::update(config));
}

DWORD ServiceManager::deleteService(const std::wstring& name) {
    DWORD rc = checkAccess();
    if (rc == ERROR_SUCCESS)
        rc = ServiceDatabase::remove(name);
    if (rc == ERROR_SUCCESS)
        ::unlink(ServiceDatabase::runPath(name, ".status").c_str());
    return done(rc);
}

DWORD ServiceManager::startService(const std::wstring& name) {
    ServiceConfig config;
    DWORD rc = queryConfig(name, config);
    if (rc != ERROR_SUCCESS)
        return rc;
    if (config.startType == SERVICE_DISABLED)
        return done(ERROR_SERVICE_DISABLED);

    std::vector<std::string> answer;
    // A supervisor that is still there (waiting to restart the service) starts it anew.
    if (request(name, "START", answer, kRequestTimeoutMs))
        return done(resultOf(answer, nullptr));

    std::string program = wideToUtf8(config.binaryPath);
    if (::access(program.c_str(), X_OK) != 0)
        return done(winErrorFromErrno(errno));
    if (!ensureFolder(runFolder() + "/services", 0700))
        return done(setLastErrorFromErrno());
    std::string host = hostProgram();
    pid_t hostPid = 0;
    if (!spawnDetached(
            quoteCommandLineArgument(host) + " " + quoteCommandLineArgument(wideToUtf8(config.name)), "/",
            &hostPid))
        return done(GetLastError());

    auto deadline = Clock::now() + std::chrono::milliseconds(kRequestTimeoutMs);
    while (Clock::now() < deadline) {
        int fd = ServiceChannel::connectTo(ServiceDatabase::runPath(name, ".sock"));
        if (fd >= 0) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            std::string text;
            bool ok = ServiceChannel::send(fd, "WAITSTART") &&
                      ServiceChannel::receive(fd, text, static_cast<int>(std::max<long long>(left, 1)));
            ::close(fd);
            return done(ok ? resultOf(ServiceChannel::words(text), nullptr) : ERROR_SERVICE_REQUEST_TIMEOUT);
        }
        if (::kill(hostPid, 0) != 0 && errno == ESRCH)
            break;  // the supervisor gave up (another one runs the service, or it could not start)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return done(ERROR_SERVICE_REQUEST_TIMEOUT);
}

DWORD ServiceManager::controlService(const std::wstring& name, DWORD control, SERVICE_STATUS* status) {
    DWORD rc = openService(name);
    if (rc != ERROR_SUCCESS)
        return rc;
    std::vector<std::string> answer;
    if (!request(name, "CONTROL " + std::to_string(control), answer, kRequestTimeoutMs)) {
        rc = GetLastError() == ERROR_TIMEOUT ? ERROR_SERVICE_REQUEST_TIMEOUT : ERROR_SERVICE_NOT_ACTIVE;
        if (status)
            *status = lastStatus(name);
        return done(rc);
    }
    SERVICE_STATUS_PROCESS s;
    rc = resultOf(answer, &s);
    if (status)
        *status = s;
    return done(rc);
}

DWORD ServiceManager::queryStatus(const std::wstring& name, SERVICE_STATUS_PROCESS& out) {
    DWORD rc = openService(name);
    if (rc != ERROR_SUCCESS)
        return rc;
    std::vector<std::string> answer;
    if (request(name, "QUERY", answer, 5000) && answer[0] == "STATUS" &&
        ServiceChannel::parseStatus(answer, 1, out))
        return done(ERROR_SUCCESS);
    out = lastStatus(name);
    return done(ERROR_SUCCESS);
}

}  // namespace kitbase
