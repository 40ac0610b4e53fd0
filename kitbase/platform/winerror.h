#pragma once
// The thread-local last error in Windows numbering, the map from errno to it, and
// the message texts of the codes the system shows in its logs.
#include <string>

#include "kitbase/export.h"
#include "kitbase/platform/wintypes.h"

// Windows error codes used across the system.
constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD NO_ERROR = 0;
constexpr DWORD ERROR_INVALID_FUNCTION = 1;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
constexpr DWORD ERROR_TOO_MANY_OPEN_FILES = 4;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_INVALID_DATA = 13;
constexpr DWORD ERROR_OUTOFMEMORY = 14;
constexpr DWORD ERROR_NOT_SAME_DEVICE = 17;
constexpr DWORD ERROR_NO_MORE_FILES = 18;
constexpr DWORD ERROR_WRITE_PROTECT = 19;
constexpr DWORD ERROR_SHARING_VIOLATION = 32;
constexpr DWORD ERROR_HANDLE_EOF = 38;
constexpr DWORD ERROR_NOT_SUPPORTED = 50;
constexpr DWORD ERROR_FILE_EXISTS = 80;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_BROKEN_PIPE = 109;
constexpr DWORD ERROR_DISK_FULL = 112;
constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
constexpr DWORD ERROR_INVALID_NAME = 123;
constexpr DWORD ERROR_MOD_NOT_FOUND = 126;
constexpr DWORD ERROR_PROC_NOT_FOUND = 127;
constexpr DWORD ERROR_DIR_NOT_EMPTY = 145;
constexpr DWORD ERROR_BUSY = 170;
constexpr DWORD ERROR_ALREADY_EXISTS = 183;
constexpr DWORD ERROR_BAD_EXE_FORMAT = 193;
constexpr DWORD ERROR_FILENAME_EXCED_RANGE = 206;
constexpr DWORD ERROR_MORE_DATA = 234;
constexpr DWORD ERROR_WAIT_TIMEOUT = 258;
constexpr DWORD ERROR_NO_MORE_ITEMS = 259;
constexpr DWORD ERROR_DIRECTORY = 267;
constexpr DWORD ERROR_OPERATION_ABORTED = 995;
constexpr DWORD ERROR_IO_PENDING = 997;
constexpr DWORD ERROR_SERVICE_REQUEST_TIMEOUT = 1053;
constexpr DWORD ERROR_INVALID_SERVICE_CONTROL = 1052;
constexpr DWORD ERROR_SERVICE_ALREADY_RUNNING = 1056;
constexpr DWORD ERROR_SERVICE_DISABLED = 1058;
constexpr DWORD ERROR_SERVICE_DOES_NOT_EXIST = 1060;
constexpr DWORD ERROR_SERVICE_CANNOT_ACCEPT_CTRL = 1061;
constexpr DWORD ERROR_SERVICE_NOT_ACTIVE = 1062;
constexpr DWORD ERROR_FAILED_SERVICE_CONTROLLER_CONNECT = 1063;
constexpr DWORD ERROR_SERVICE_SPECIFIC_ERROR = 1066;
constexpr DWORD ERROR_PROCESS_ABORTED = 1067;
constexpr DWORD ERROR_SERVICE_MARKED_FOR_DELETE = 1072;
constexpr DWORD ERROR_SERVICE_EXISTS = 1073;
constexpr DWORD ERROR_REGISTRY_IO_FAILED = 1016;
constexpr DWORD ERROR_KEY_DELETED = 1018;
constexpr DWORD ERROR_IO_DEVICE = 1117;
constexpr DWORD ERROR_NOT_FOUND = 1168;
constexpr DWORD ERROR_NOT_ALL_ASSIGNED = 1300;
constexpr DWORD ERROR_NO_SUCH_PRIVILEGE = 1313;
constexpr DWORD ERROR_CANCELLED = 1223;
constexpr DWORD ERROR_NO_SYSTEM_RESOURCES = 1450;
constexpr DWORD ERROR_TIMEOUT = 1460;
constexpr DWORD ERROR_RESOURCE_TYPE_NOT_FOUND = 1813;
constexpr DWORD ERROR_RESOURCE_NAME_NOT_FOUND = 1814;
constexpr DWORD ERROR_CANT_RESOLVE_FILENAME = 1921;
constexpr DWORD TRUST_E_NOSIGNATURE = 0x800B0100u;
constexpr DWORD TRUST_E_BAD_DIGEST = 0x80096010u;
constexpr DWORD CERT_E_EXPIRED = 0x800B0101u;
constexpr DWORD CERT_E_UNTRUSTEDROOT = 0x800B0109u;
constexpr DWORD CERT_E_CHAINING = 0x800B010Au;
constexpr DWORD CERT_E_WRONG_USAGE = 0x800B0110u;
constexpr DWORD WSAEINTR = 10004;
constexpr DWORD WSAEACCES = 10013;
constexpr DWORD WSAEFAULT = 10014;
constexpr DWORD WSAEINVAL = 10022;
constexpr DWORD WSAEMFILE = 10024;
constexpr DWORD WSAEWOULDBLOCK = 10035;
constexpr DWORD WSAENOTSOCK = 10038;
constexpr DWORD WSAEMSGSIZE = 10040;
constexpr DWORD WSAEAFNOSUPPORT = 10047;
constexpr DWORD WSAEADDRINUSE = 10048;
constexpr DWORD WSAEADDRNOTAVAIL = 10049;
constexpr DWORD WSAENETDOWN = 10050;
constexpr DWORD WSAENETUNREACH = 10051;
constexpr DWORD WSAECONNABORTED = 10053;
constexpr DWORD WSAECONNRESET = 10054;
constexpr DWORD WSAENOTCONN = 10057;
constexpr DWORD WSAETIMEDOUT = 10060;
constexpr DWORD WSAECONNREFUSED = 10061;
constexpr DWORD WSAEHOSTUNREACH = 10065;
constexpr DWORD WSANOTINITIALISED = 10093;
constexpr DWORD WSAHOST_NOT_FOUND = 11001;
constexpr DWORD WSATRY_AGAIN = 11002;
constexpr DWORD WSANO_DATA = 11004;

// The calling thread's last error.
KITBASE_API DWORD GetLastError();
KITBASE_API void SetLastError(DWORD code);

// The Windows code for an errno value (unknown values map to ERROR_INVALID_FUNCTION
// except 0, which maps to ERROR_SUCCESS).
KITBASE_API DWORD winErrorFromErrno(int err);
// Same for socket errors (ECONNREFUSED -> WSAECONNREFUSED, ...); other values as above.
KITBASE_API DWORD wsaErrorFromErrno(int err);
// Sets the last error from errno (or the given errno value) and returns the code.
KITBASE_API DWORD setLastErrorFromErrno();
KITBASE_API DWORD setLastErrorFromErrno(int err);

// The system message text of a Windows error code, as FormatMessage gives it
// (ending in CR LF); false when the system has no text for the code.
KITBASE_API bool winErrorMessage(DWORD code, std::wstring& text);
