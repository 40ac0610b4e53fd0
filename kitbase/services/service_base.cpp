#include "kitbase/services/service_base.h"

#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "kitbase/core/trace.h"
#include "kitbase/platform/format.h"
#include "kitbase/platform/registry_store.h"
#include "kitbase/platform/roots.h"
#include "kitbase/platform/service_database.h"
#include "kitbase/platform/service_manager.h"
#include "kitbase/platform/utf8.h"
#include "kitbase/platform/winerror.h"

using namespace kitbase;

CServiceBase* CServiceBase::s_service = nullptr;
std::atomic<DWORD> CServiceBase::s_checkPoint{1};

namespace {

std::atomic<DWORD> g_settleMs{2000};
std::atomic<DWORD> g_pollMs{1000};

void sleepMs(DWORD ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// Console output of the uninstaller (UTF-8).
template <class... A>
void print(WFormat format, const A&... args) {
    std::fputs(wideToUtf8(wformat(format, args...)).c_str(), stdout);
    std::fflush(stdout);
}

}  // namespace

void setServiceControlWaits(DWORD settleMs, DWORD pollMs) {
    g_settleMs = settleMs;
    g_pollMs = pollMs;
}

CServiceBase::CServiceBase(const wchar_t* serviceName, BOOL canStop, BOOL canShutdown, BOOL canPreShutdown,
                           BOOL canPauseContinue)
    : m_name(serviceName ? serviceName : L"") {
    m_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    m_status.dwCurrentState = SERVICE_START_PENDING;
    DWORD accepted = 0;
    if (canStop)
        accepted |= SERVICE_ACCEPT_STOP;
    if (canShutdown)
        accepted |= SERVICE_ACCEPT_SHUTDOWN;
    if (canPreShutdown)
        accepted |= SERVICE_ACCEPT_PRESHUTDOWN;
    if (canPauseContinue)
        accepted |= SERVICE_ACCEPT_PAUSE_CONTINUE;
    accepted |= SERVICE_ACCEPT_PARAMCHANGE;
    m_status.dwControlsAccepted = accepted;
    m_status.dwWin32ExitCode = 0;
    m_status.dwServiceSpecificExitCode = 0;
    m_status.dwCheckPoint = 0;
    m_status.dwWaitHint = 0;
}

CServiceBase::~CServiceBase() {
    if (s_service == this)
        s_service = nullptr;
}

BOOL CServiceBase::Run(CServiceBase& service) {
    s_service = &service;
    return startServiceCtrlDispatcher(service.m_name, &CServiceBase::ServiceMain);
}

SERVICE_STATUS CServiceBase::status() const {
    std::lock_guard<std::mutex> guard(m_statusLock);
    return m_status;
}

void CServiceBase::ServiceMain(DWORD argc, wchar_t** argv) {
    CServiceBase* service = s_service;
    if (!service)
        return;
    ServiceStatusHandle handle =
        registerServiceCtrlHandlerEx(service->m_name, &CServiceBase::ServiceCtrlHandlerEx, nullptr);
    if (!handle) {
        DWORD error = GetLastError();
        __trace__.error(
            L"Can not register for service update operations. Product updates will not be possible.Code %x: "
            L"'%ls'",
            error, tgetErrorString(error));
    } else {
        __trace__.debug(L"Successfully registered the control handler for product updates operations.");
    }
    {
        std::lock_guard<std::mutex> guard(service->m_statusLock);
        service->m_statusHandle = handle;
    }
    service->Start(argc, argv);
}

DWORD CServiceBase::ServiceCtrlHandlerEx(DWORD control, DWORD eventType, void*, void*) {
    __trace__.debug(L"ServiceCtrlHandlerEx: control: %x  EventType:%x", control, eventType);
    CServiceBase* service = s_service;
    if (!service)
        return NO_ERROR;
    switch (control) {
        case SERVICE_CONTROL_STOP:
            service->Stop();
            break;
        case SERVICE_CONTROL_PAUSE:
            service->Pause();
            break;
        case SERVICE_CONTROL_CONTINUE:
            service->Continue();
            break;
        case SERVICE_CONTROL_SHUTDOWN:
            service->Shutdown();
            break;
        case SERVICE_CONTROL_PARAMCHANGE:
            service->Reload();
            break;
        case SERVICE_CONTROL_PRESHUTDOWN:
            service->PreShutdown();
            break;
        default:
            break;  // interrogate and everything else: nothing to do
    }
    return NO_ERROR;
}

void CServiceBase::report(DWORD state, DWORD win32ExitCode, bool pending) {
    std::lock_guard<std::mutex> guard(m_statusLock);
    m_status.dwCurrentState = state;
    m_status.dwWin32ExitCode = win32ExitCode;
    m_status.dwWaitHint = 0;
    m_status.dwCheckPoint = pending ? s_checkPoint.fetch_add(1) : 0;
    reportServiceStatus(m_statusHandle, m_status);
}

void CServiceBase::SetServiceStatus(DWORD currentState, DWORD win32ExitCode, DWORD waitHint) {
    std::lock_guard<std::mutex> guard(m_statusLock);
    m_status.dwCurrentState = currentState;
    m_status.dwWin32ExitCode = win32ExitCode;
    m_status.dwWaitHint = waitHint;
    m_status.dwCheckPoint =
        (currentState == SERVICE_RUNNING || currentState == SERVICE_STOPPED) ? 0 : s_checkPoint.fetch_add(1);
    reportServiceStatus(m_statusHandle, m_status);
}

// A thrown DWORD is the error code. A Windows `unsigned long` is the same 32-bit code,
// which is wider here: it is taken as the code as well.
#define SERVICE_OPERATION(label, otherText, body, onCode, onOther) \
    try {                                                          \
        body;                                                      \
    } catch (DWORD code) {                                         \
        WriteErrorLogEntry(label, code);                           \
        onCode;                                                    \
    } catch (unsigned long wide) {                                 \
        DWORD code = static_cast<DWORD>(wide);                     \
        WriteErrorLogEntry(label, code);                           \
        onCode;                                                    \
    } catch (...) {                                                \
        WriteEventLogEntry(otherText, EVENTLOG_ERROR_TYPE, true);  \
        onOther;                                                   \
    }

void CServiceBase::Start(DWORD argc, wchar_t** argv) {
    SERVICE_OPERATION(
        L"Service Start", L"Service failed to start.",
        {
            report(SERVICE_START_PENDING, 0, true);
            OnStart(argc, argv);
            report(SERVICE_RUNNING, 0, false);
        },
        report(SERVICE_STOPPED, code, false), report(SERVICE_STOPPED, 0, false))
}

void CServiceBase::Stop() {
    DWORD originalState;
    {
        std::lock_guard<std::mutex> guard(m_statusLock);
        originalState = m_status.dwCurrentState;
    }
    SERVICE_OPERATION(
        L"Service Stop", L"Service failed to stop.",
        {
            report(SERVICE_STOP_PENDING, 0, true);
            OnStop();
            report(SERVICE_STOPPED, 0, false);
        },
        SetServiceStatus(originalState), SetServiceStatus(originalState))
}

void CServiceBase::Pause() {
    SERVICE_OPERATION(
        L"Service Pause", L"Service failed to pause.",
        {
            report(SERVICE_PAUSE_PENDING, 0, true);
            OnPause();
            report(SERVICE_PAUSED, 0, true);
        },
        report(SERVICE_RUNNING, 0, false), report(SERVICE_RUNNING, 0, false))
}

void CServiceBase::Continue() {
    SERVICE_OPERATION(
        L"Service Continue", L"Service failed to resume.",
        {
            report(SERVICE_CONTINUE_PENDING, 0, true);
            OnContinue();
            report(SERVICE_RUNNING, 0, false);
        },
        report(SERVICE_PAUSED, 0, true), report(SERVICE_PAUSED, 0, true))
}

void CServiceBase::Shutdown() {
    SERVICE_OPERATION(
        L"Service Shutdown", L"Service failed to shut down.",
        {
            OnShutdown();
            report(SERVICE_STOPPED, 0, false);
        },
        (void)0, (void)0)
}

void CServiceBase::PreShutdown() {
    SERVICE_OPERATION(
        L"Service PreShutdown", L"Service failed to pre shut down.",
        {
            OnPreShutdown();
            report(SERVICE_STOP_PENDING, 0, true);
        },
        (void)0, (void)0)
}

void CServiceBase::Reload() {
    SERVICE_OPERATION(
        L"Service Reload error", L"Service failed to reload.", { OnReload(); }, (void)0, (void)0)
}

#undef SERVICE_OPERATION

void CServiceBase::OnStart(DWORD, wchar_t**) {}
void CServiceBase::OnStop() {}
void CServiceBase::OnPause() {}
void CServiceBase::OnContinue() {}
void CServiceBase::OnReload() {}
void CServiceBase::OnShutdown() {}
void CServiceBase::OnPreShutdown() {}

void CServiceBase::WriteEventLogEntry(const wchar_t* message, WORD type, bool toTrace) {
    if (!message || m_name.empty())
        return;
    auto source = EventSource::open(m_name);
    if (!source)
        return;
    source->report(type, 0, 0, {m_name, message});
    if (toTrace) {
        // The message is outside text (file and detection names): an argument, never the format.
        switch (type) {
            case EVENTLOG_SUCCESS:
            case EVENTLOG_INFORMATION_TYPE:
            case EVENTLOG_AUDIT_SUCCESS:
                __trace__.info(L"%ls", message);
                break;
            case EVENTLOG_ERROR_TYPE:
            case EVENTLOG_AUDIT_FAILURE:
                __trace__.error(L"%ls", message);
                break;
            case EVENTLOG_WARNING_TYPE:
                __trace__.warning(L"%ls", message);
                break;
            default:
                __trace__.debug(L"%ls", message);
                break;
        }
    }
}

void CServiceBase::AlertEventLogEntry(const wchar_t* message) {
    WriteEventLogEntry(message, EVENTLOG_WARNING_TYPE, true);
}

void CServiceBase::WriteErrorLogEntry(const wchar_t* function, DWORD error) {
    // The text fits a buffer of 260 characters, terminator included.
    std::wstring text = wformat(L"%s failed w/err 0x%08lx", function, error);
    if (text.size() > 259)
        text.resize(259);
    WriteEventLogEntry(text.c_str(), EVENTLOG_ERROR_TYPE, true);
}

void InstallService(const wchar_t* serviceName, const wchar_t* displayName, DWORD startType,
                    const wchar_t* dependencies, const wchar_t* account, const wchar_t* /*password*/,
                    const wchar_t* description) {
    const std::wstring name = serviceName ? serviceName : L"";
    const std::string path = executablePath();
    if (path.empty()) {
        __trace__.error(L"GetModuleFileName failed w/err 0x%08lx\n", GetLastError());
    } else {
        DWORD rc = ServiceManager::checkAccess();
        if (rc != ERROR_SUCCESS) {
            __trace__.error(L"OpenSCManager failed w/err 0x%08lx: %ls\n", rc, tgetErrorString(rc));
            return;
        }
        ServiceConfig config;
        config.name = name;
        config.displayName = displayName ? displayName : L"";
        config.binaryPath = utf8ToWide(path);
        config.serviceType = SERVICE_WIN32_OWN_PROCESS;
        config.startType = startType;
        config.errorControl = SERVICE_ERROR_NORMAL;
        // The dependencies are a list of texts, each ended by a zero, the list by another.
        for (const wchar_t* d = dependencies; d && *d; d += std::wcslen(d) + 1)
            config.dependencies.emplace_back(d);
        config.account = account ? account : L"";
        config.description = description ? description : L"";
        rc = ServiceManager::createService(config);
        if (rc != ERROR_SUCCESS) {
            __trace__.error(L"CreateService failed w/err 0x%08lx: %ls\n", rc, tgetErrorString(rc));
            return;
        }
        __trace__.info(L"%s is installed.\n", name);

        rc = ServiceManager::openService(name);
        if (rc != ERROR_SUCCESS) {
            __trace__.error(L"Cannot set the service to restart: Error:%ls", tgetErrorString(rc));
        } else {
            const std::vector<SC_ACTION> actions(3, SC_ACTION{SC_ACTION_RESTART, 60000});
            rc = ServiceManager::setFailureActions(name, 86400, actions);
            if (rc == ERROR_SUCCESS)
                __trace__.info(L"Set the service to restart");
            else
                __trace__.error(L"Cannot set the service to restart: Error:%ls", tgetErrorString(rc));
            rc = ServiceManager::setPreshutdownTimeout(name, 180000);
            if (rc == ERROR_SUCCESS)
                __trace__.info(L"Set the service to get preshutdown");
            else
                __trace__.error(L"Cannot set the preshutdownto timeout: Error:%ls", tgetErrorString(rc));
        }
    }

    RegistryStore& store = RegistryStore::machine();
    RegistryKey key;
    if (store.openKey(ServiceDatabase::registryKeyPath(name), KEY_WRITE, key) != ERROR_SUCCESS) {
        __trace__.error(L"Cannot find/open the service registry entry");
        return;
    }
    const std::wstring text = description ? description : L"";
    if (store.setString(key, L"Description", text) == ERROR_SUCCESS)
        __trace__.debug(L"Set description to: '%s'", text);
    else
        __trace__.error(L"Cannot set service description");
}

void UninstallService(const wchar_t* serviceName) {
    const std::wstring name = serviceName ? serviceName : L"";
    // Connecting needs no rights; stopping and deleting the service does.
    DWORD rc = ServiceManager::connect();
    if (rc != ERROR_SUCCESS) {
        print(L"OpenSCManager failed w/err 0x%08lx\n", rc);
        return;
    }
    rc = ServiceManager::openService(name);
    if (rc != ERROR_SUCCESS) {
        print(L"OpenService failed w/err 0x%08lx\n", rc);
        return;
    }
    SERVICE_STATUS status;
    if (ServiceManager::controlService(name, SERVICE_CONTROL_STOP, &status) == ERROR_SUCCESS) {
        print(L"Stopping %s.", name);
        sleepMs(1000);
        SERVICE_STATUS_PROCESS now;
        while (ServiceManager::queryStatus(name, now) == ERROR_SUCCESS) {
            status = now;
            if (now.dwCurrentState != SERVICE_STOP_PENDING)
                break;
            sleepMs(1000);
        }
        if (status.dwCurrentState == SERVICE_STOPPED)
            print(L"\n%s is stopped.\n", name);
        else
            print(L"\n%s failed to stop.\n", name);
    }
    rc = ServiceManager::deleteService(name);
    if (rc == ERROR_SUCCESS)
        print(L"%s is removed.\n", name);
    else
        print(L"DeleteService failed w/err 0x%08lx\n", rc);
}

DWORD controlService(const std::wstring& serviceName, int command) {
    if (ServiceManager::checkAccess() != ERROR_SUCCESS) {
        __trace__.error(L"Cannot open SCManager. Not enough rights?");
        return 1;
    }
    if (ServiceManager::openService(serviceName) != ERROR_SUCCESS) {
        __trace__.error(L"Cannot open Service. Not existing or not enough rights?");
        return 1;
    }
    SERVICE_STATUS_PROCESS status;
    if (ServiceManager::queryStatus(serviceName, status) != ERROR_SUCCESS) {
        __trace__.error(L"Cannot query service status");
        return 0;
    }

    switch (static_cast<DWORD>(command)) {
        case SERVICE_CONTROL_STOP: {
            __trace__.info(L"Stoping service %ls", serviceName);
            if (ServiceManager::controlService(serviceName, SERVICE_CONTROL_STOP) != ERROR_SUCCESS) {
                __trace__.info(L"Service failed to stop.");
                return 0;
            }
            __trace__.debug(L"Waiting for the service to finish");
            sleepMs(g_settleMs);
            for (int round = 0; round < 10; ++round) {
                if (ServiceManager::queryStatus(serviceName, status) != ERROR_SUCCESS) {
                    __trace__.error(L"Cannot query service status");
                    return 0;
                }
                if (status.dwCurrentState != SERVICE_RUNNING && status.dwCurrentState != SERVICE_STOP_PENDING)
                    break;
                __trace__.debug(L".... Service is stopping");
                sleepMs(g_pollMs);
            }
            __trace__.info(L"Service stopped.");
            return 0;
        }
        case static_cast<DWORD>(SERVICE_COMMAND_START): {
            __trace__.info(L"Starting service %ls", serviceName);
            if (ServiceManager::startService(serviceName) != ERROR_SUCCESS) {
                __trace__.info(L"Service failed to start.");
                return 0;
            }
            __trace__.debug(L"Service is starting");
            sleepMs(g_settleMs);
            for (int round = 0; round < 10; ++round) {
                if (ServiceManager::queryStatus(serviceName, status) != ERROR_SUCCESS) {
                    __trace__.error(L"Cannot query service status");
                    return 0;
                }
                if (status.dwCurrentState != SERVICE_STOPPED &&
                    status.dwCurrentState != SERVICE_START_PENDING)
                    break;
                __trace__.debug(L"... Service is starting");
                sleepMs(g_pollMs);
            }
            __trace__.info(L"Service started.");
            return 0;
        }
        case static_cast<DWORD>(SERVICE_COMMAND_RESTART):
            controlService(serviceName, SERVICE_CONTROL_STOP);
            return controlService(serviceName, SERVICE_COMMAND_START);
        default:
            __trace__.info(L"Sending command %d to the service %ls", command, serviceName);
            if (ServiceManager::controlService(serviceName, static_cast<DWORD>(command)) == ERROR_SUCCESS)
                __trace__.info(L"Success.");
            else
                __trace__.info(L"Failed.");
            return 0;
    }
}
