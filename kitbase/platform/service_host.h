#pragma once
// The supervisor of one running service. The service manager starts it detached (the
// program "servicehost" beside the library, with the service name as its argument); it
// runs the service's program as its child, hands it the control endpoint (a local
// socket under the run folder, named in KITBASE_SERVICE_ENDPOINT), keeps the status
// record the service reports, passes controls from the manager to the service one at a
// time, and applies the failure actions when the service process ends without having
// reported SERVICE_STOPPED. It ends when the service process has ended and no restart
// is due.
#include <ctime>
#include <string>

#include "kitbase/export.h"
#include "kitbase/platform/service_database.h"

namespace kitbase {

// Environment variable that carries the control endpoint to the service process.
constexpr const char* kServiceEndpointVariable = "KITBASE_SERVICE_ENDPOINT";

// Counts unexpected ends of a service process and picks the failure action for each:
// the n-th failure takes the n-th action, the last action serves every later failure,
// and the count starts again when the reset period has passed since the last failure
// (a reset period of 0xFFFFFFFF never resets).
class KITBASE_API FailureCounter {
public:
    SC_ACTION next(const ServiceConfig& config, time_t now);
    DWORD count() const { return count_; }

private:
    DWORD count_ = 0;
    time_t last_ = 0;
};

// Runs the supervisor of the named service; returns the supervisor's exit code.
KITBASE_API int runServiceHost(const std::wstring& serviceName);

}  // namespace kitbase
