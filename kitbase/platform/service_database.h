#pragma once
// The service manager's database: one record per installed service, kept as a small
// text file below the machine-wide data folder, plus the service's registry key
// "SYSTEM\CurrentControlSet\Services\<name>". Names are compared without regard to
// case. Every operation returns a Windows error code.
#include <string>
#include <vector>

#include "kitbase/export.h"
#include "kitbase/platform/service_status.h"
#include "kitbase/platform/wintypes.h"

namespace kitbase {

struct ServiceConfig {
    std::wstring name;
    std::wstring displayName;
    std::wstring binaryPath;  // the program, one path (never split on blanks)
    DWORD serviceType = SERVICE_WIN32_OWN_PROCESS;
    DWORD startType = SERVICE_DEMAND_START;
    DWORD errorControl = SERVICE_ERROR_NORMAL;
    std::vector<std::wstring> dependencies;
    std::wstring account;
    std::wstring description;
    // Failure actions: the n-th unexpected end of the service process within the reset
    // period takes the n-th action (none once the list is used up).
    DWORD failureResetSeconds = 0;
    std::vector<SC_ACTION> failureActions;
    DWORD preshutdownTimeoutMs = 180000;
};

class KITBASE_API ServiceDatabase {
public:
    // The registry key of a service.
    static std::wstring registryKeyPath(const std::wstring& name);
    // A name a record can be kept under: not empty, at most 256 characters, no "/" or "\".
    static bool validName(const std::wstring& name);

    // Records a new service and creates its registry key (values "ImagePath",
    // "DisplayName", "Type", "Start", "ErrorControl", "ObjectName" and, when given,
    // "Description"). ERROR_SERVICE_EXISTS when a service of that name exists,
    // ERROR_INVALID_NAME for a bad name or an empty binary path.
    static DWORD create(const ServiceConfig& config);
    // Reads a record: ERROR_SERVICE_DOES_NOT_EXIST when there is none.
    static DWORD read(const std::wstring& name, ServiceConfig& out);
    // Replaces an existing record (the registry key is left as it is).
    static DWORD update(const ServiceConfig& config);
    // Removes the record and the registry key: ERROR_SERVICE_DOES_NOT_EXIST when there is none.
    static DWORD remove(const std::wstring& name);

    // Files of the manager: the record, and the run-time files of the service's
    // supervisor (control socket, lock, last status).
    static std::string recordPath(const std::wstring& name);
    static std::string runPath(const std::wstring& name, const char* suffix);
};

}  // namespace kitbase
