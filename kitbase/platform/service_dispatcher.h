#pragma once
// The service program's side of the service manager. A program started by the manager
// runs the dispatcher on its main thread: the dispatcher connects to the control
// endpoint the manager handed over, runs the service main on a thread of its own and
// delivers each control to the registered handler on the calling thread, one control
// handled to its end before the next. It returns once the service has reported
// SERVICE_STOPPED.
#include <cstdint>
#include <string>

#include "kitbase/export.h"
#include "kitbase/platform/service_status.h"
#include "kitbase/platform/wintypes.h"

namespace kitbase {

using ServiceMainFunction = void (*)(DWORD argc, wchar_t** argv);
using ServiceHandlerFunction = DWORD (*)(DWORD control, DWORD eventType, void* eventData, void* context);
// A registered handler's status handle; 0 is no handle.
using ServiceStatusHandle = uintptr_t;

// Runs the dispatcher for the service `name` (the service main gets the name as its
// only argument). TRUE when it ran and the service has stopped; FALSE with the last
// error ERROR_FAILED_SERVICE_CONTROLLER_CONNECT when the program was not started by the
// service manager, ERROR_SERVICE_ALREADY_RUNNING when a dispatcher runs already, and
// ERROR_BROKEN_PIPE when the manager went away before the service stopped.
KITBASE_API BOOL startServiceCtrlDispatcher(const std::wstring& name, ServiceMainFunction serviceMain);

// Registers the handler that receives the controls; returns the handle for status
// reports, or 0 with the last error set (ERROR_FAILED_SERVICE_CONTROLLER_CONNECT
// outside a running dispatcher, ERROR_SERVICE_DOES_NOT_EXIST for another name).
KITBASE_API ServiceStatusHandle registerServiceCtrlHandlerEx(const std::wstring& name,
                                                             ServiceHandlerFunction handler, void* context);

// Reports the service's status record to the manager; FALSE with ERROR_INVALID_HANDLE
// for a handle that is not (or no longer) valid.
KITBASE_API BOOL reportServiceStatus(ServiceStatusHandle handle, const SERVICE_STATUS& status);

}  // namespace kitbase
