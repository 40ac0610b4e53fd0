#pragma once
// The service manager as the console side sees it: install and remove services,
// change their failure actions, start them, send them controls and read their status.
// Managing services needs the administrator (root); anyone else gets
// ERROR_ACCESS_DENIED. Every operation returns a Windows error code.
//
// For tests, the administrator check can be decided by the environment variable
// KITBASE_SERVICE_ADMIN ("1" or "0"), which is honoured only when KITBASE_ROOT is set.
#include <string>
#include <vector>

#include "kitbase/export.h"
#include "kitbase/platform/service_database.h"
#include "kitbase/platform/service_status.h"

namespace kitbase {

class KITBASE_API ServiceManager {
public:
    // ERROR_SUCCESS when the caller may manage services, else ERROR_ACCESS_DENIED.
    static DWORD checkAccess();
    // Connecting to the manager only (to look a service up) is open to everyone:
    // ERROR_SUCCESS. What is done with a service afterwards needs checkAccess.
    static DWORD connect();

    // Installs a service (see ServiceDatabase::create).
    static DWORD createService(const ServiceConfig& config);
    // ERROR_SUCCESS when the service is installed, else ERROR_SERVICE_DOES_NOT_EXIST.
    static DWORD openService(const std::wstring& name);
    static DWORD queryConfig(const std::wstring& name, ServiceConfig& out);
    static DWORD setFailureActions(const std::wstring& name, DWORD resetSeconds,
                                   const std::vector<SC_ACTION>& actions);
    static DWORD setPreshutdownTimeout(const std::wstring& name, DWORD timeoutMs);
    // Removes the service's record and registry key. A service that still runs keeps
    // running until it stops, and is not restarted any more.
    static DWORD deleteService(const std::wstring& name);

    // Starts the service's program under its supervisor and returns once the program
    // has connected to its control endpoint: ERROR_SERVICE_ALREADY_RUNNING when it
    // runs, ERROR_SERVICE_DISABLED for a disabled service, ERROR_SERVICE_REQUEST_TIMEOUT
    // when the program did not connect in time.
    static DWORD startService(const std::wstring& name);
    // Delivers a control and returns when the service has handled it, with the status
    // record afterwards: ERROR_SERVICE_NOT_ACTIVE when it does not run,
    // ERROR_INVALID_SERVICE_CONTROL when it does not accept the control,
    // ERROR_SERVICE_CANNOT_ACCEPT_CTRL while it starts or stops.
    static DWORD controlService(const std::wstring& name, DWORD control, SERVICE_STATUS* status = nullptr);
    // The last status the service reported and its process id; a service whose process
    // is gone is SERVICE_STOPPED.
    static DWORD queryStatus(const std::wstring& name, SERVICE_STATUS_PROCESS& out);

    // How long a start or a control may take before ERROR_SERVICE_REQUEST_TIMEOUT.
    static constexpr int kRequestTimeoutMs = 30000;
};

}  // namespace kitbase
