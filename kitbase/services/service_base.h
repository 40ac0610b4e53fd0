#pragma once
// The service framework: the base class of a service program's service object and
// the console functions that install, remove and control the service.
//
// CServiceBase::Run hands the program's main thread to the service manager's
// dispatcher. The service main (on a thread of its own) registers the control handler
// and runs Start; every other control runs its whole sequence, virtual operation
// included, on the dispatcher's thread. Each sequence reports the service's state
// around one virtual operation; what a virtual operation throws is logged as an error
// event and answered by a recovery report.
#include <atomic>
#include <mutex>
#include <string>

#include "kitbase/export.h"
#include "kitbase/platform/event_log.h"
#include "kitbase/platform/service_dispatcher.h"
#include "kitbase/platform/service_status.h"
#include "kitbase/platform/winerror.h"
#include "kitbase/platform/wintypes.h"

class KITBASE_API CServiceBase {
public:
    // Runs the service under the service manager; blocks for the service's whole life.
    // Non-zero once the service has stopped; zero when the dispatcher could not run (for
    // instance when the program was not started by the service manager).
    static BOOL Run(CServiceBase& service);

    CServiceBase(const wchar_t* serviceName, BOOL canStop, BOOL canShutdown, BOOL canPreShutdown,
                 BOOL canPauseContinue);
    virtual ~CServiceBase();
    CServiceBase(const CServiceBase&) = delete;
    CServiceBase& operator=(const CServiceBase&) = delete;

    void Stop();

    // Writes an event log entry (the service name and the message) under the service's
    // name and, when toTrace is set, the message to the trace log.
    void WriteEventLogEntry(const wchar_t* message, WORD type, bool toTrace);
    // A warning entry, mirrored to the trace log.
    void AlertEventLogEntry(const wchar_t* message);
    // An error entry "<function> failed w/err 0x<error>", mirrored to the trace log.
    void WriteErrorLogEntry(const wchar_t* function, DWORD error);

    const std::wstring& serviceName() const { return m_name; }
    // A copy of the status record.
    SERVICE_STATUS status() const;

protected:
    virtual void OnStart(DWORD argc, wchar_t** argv);
    virtual void OnStop();
    virtual void OnPause();
    virtual void OnContinue();
    virtual void OnReload();
    virtual void OnShutdown();
    virtual void OnPreShutdown();

    // Reports a state: the check point is 0 for SERVICE_RUNNING and SERVICE_STOPPED,
    // otherwise the next value of the check-point counter.
    void SetServiceStatus(DWORD currentState, DWORD win32ExitCode = NO_ERROR, DWORD waitHint = 0);

private:
    static void ServiceMain(DWORD argc, wchar_t** argv);
    static DWORD ServiceCtrlHandlerEx(DWORD control, DWORD eventType, void* eventData, void* context);

    void Start(DWORD argc, wchar_t** argv);
    void Pause();
    void Continue();
    void Reload();
    void Shutdown();
    void PreShutdown();

    // Stores one report in the status record and sends it; `pending` takes the next
    // check point, otherwise the check point is 0.
    void report(DWORD state, DWORD win32ExitCode, bool pending);

    static CServiceBase* s_service;
    // Shared by every report of the process that needs a check point; starts at 1.
    static std::atomic<DWORD> s_checkPoint;

    std::wstring m_name;
    SERVICE_STATUS m_status;
    kitbase::ServiceStatusHandle m_statusHandle = 0;
    // Reports come from the service-main thread and the dispatcher thread at once.
    mutable std::mutex m_statusLock;
};

// Installs this program as the service `serviceName` with failure restarts and a
// pre-shutdown time-out; progress and errors go to the trace log.
KITBASE_API void InstallService(const wchar_t* serviceName, const wchar_t* displayName, DWORD startType,
                                const wchar_t* dependencies, const wchar_t* account, const wchar_t* password,
                                const wchar_t* description);
// Stops (when it runs) and removes the service; progress goes to the console.
KITBASE_API void UninstallService(const wchar_t* serviceName);

// Commands of controlService besides control codes.
constexpr int SERVICE_COMMAND_START = static_cast<int>(0xDEADBEEF);
constexpr int SERVICE_COMMAND_RESTART = 0x0BADBEEF;

// Stops (1), starts (0xDEADBEEF), restarts (0x0BADBEEF) the service or sends it another
// control code. 1 when the service manager or the service cannot be opened, else 0.
KITBASE_API DWORD controlService(const std::wstring& serviceName, int command);

// The waits of controlService: after a start or stop request, and between two status
// queries (2000 and 1000 milliseconds). Tests shorten them.
KITBASE_API void setServiceControlWaits(DWORD settleMs, DWORD pollMs);
