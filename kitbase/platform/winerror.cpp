#include "kitbase/platform/winerror.h"

#include <cerrno>
#include <unordered_map>

namespace {

thread_local DWORD t_lastError = ERROR_SUCCESS;

const std::unordered_map<DWORD, const wchar_t*>& messageTable() {
    static const std::unordered_map<DWORD, const wchar_t*> table = {
        {ERROR_SUCCESS, L"The operation completed successfully."},
        {ERROR_INVALID_FUNCTION, L"Incorrect function."},
        {ERROR_FILE_NOT_FOUND, L"The system cannot find the file specified."},
        {ERROR_PATH_NOT_FOUND, L"The system cannot find the path specified."},
        {ERROR_TOO_MANY_OPEN_FILES, L"The system cannot open the file."},
        {ERROR_ACCESS_DENIED, L"Access is denied."},
        {ERROR_INVALID_HANDLE, L"The handle is invalid."},
        {ERROR_NOT_ENOUGH_MEMORY, L"Not enough memory resources are available to process this command."},
        {ERROR_INVALID_DATA, L"The data is invalid."},
        {ERROR_OUTOFMEMORY, L"Not enough memory resources are available to complete this operation."},
        {ERROR_NOT_SAME_DEVICE, L"The system cannot move the file to a different disk drive."},
        {ERROR_NO_MORE_FILES, L"There are no more files."},
        {ERROR_WRITE_PROTECT, L"The media is write protected."},
        {ERROR_SHARING_VIOLATION,
         L"The process cannot access the file because it is being used by another process."},
        {ERROR_HANDLE_EOF, L"Reached the end of the file."},
        {ERROR_NOT_SUPPORTED, L"The request is not supported."},
        {ERROR_FILE_EXISTS, L"The file exists."},
        {ERROR_INVALID_PARAMETER, L"The parameter is incorrect."},
        {ERROR_BROKEN_PIPE, L"The pipe has been ended."},
        {ERROR_DISK_FULL, L"There is not enough space on the disk."},
        {ERROR_INSUFFICIENT_BUFFER, L"The data area passed to a system call is too small."},
        {ERROR_INVALID_NAME, L"The filename, directory name, or volume label syntax is incorrect."},
        {ERROR_MOD_NOT_FOUND, L"The specified module could not be found."},
        {ERROR_PROC_NOT_FOUND, L"The specified procedure could not be found."},
        {ERROR_DIR_NOT_EMPTY, L"The directory is not empty."},
        {ERROR_BUSY, L"The requested resource is in use."},
        {ERROR_ALREADY_EXISTS, L"Cannot create a file when that file already exists."},
        {ERROR_BAD_EXE_FORMAT, L"%1 is not a valid Win32 application."},
        {ERROR_FILENAME_EXCED_RANGE, L"The filename or extension is too long."},
        {ERROR_MORE_DATA, L"More data is available."},
        {ERROR_WAIT_TIMEOUT, L"The wait operation timed out."},
        {ERROR_NO_MORE_ITEMS, L"No more data is available."},
        {ERROR_DIRECTORY, L"The directory name is invalid."},
        {ERROR_OPERATION_ABORTED,
         L"The I/O operation has been aborted because of either a thread exit or an application request."},
        {ERROR_IO_PENDING, L"Overlapped I/O operation is in progress."},
        {ERROR_INVALID_SERVICE_CONTROL, L"The requested control is not valid for this service."},
        {ERROR_SERVICE_REQUEST_TIMEOUT,
         L"The service did not respond to the start or control request in a timely fashion."},
        {ERROR_SERVICE_ALREADY_RUNNING, L"An instance of the service is already running."},
        {ERROR_SERVICE_DISABLED,
         L"The service cannot be started, either because it is disabled or because it has no enabled "
         L"devices associated with it."},
        {ERROR_SERVICE_DOES_NOT_EXIST, L"The specified service does not exist as an installed service."},
        {ERROR_SERVICE_CANNOT_ACCEPT_CTRL, L"The service cannot accept control messages at this time."},
        {ERROR_SERVICE_NOT_ACTIVE, L"The service has not been started."},
        {ERROR_REGISTRY_IO_FAILED,
         L"An I/O operation initiated by the registry failed unrecoverably. The registry could not read "
         L"in, or write out, or flush, one of the files that contain the system's image of the registry."},
        {ERROR_KEY_DELETED,
         L"Illegal operation attempted on a Registry key that has been marked for deletion."},
        {ERROR_FAILED_SERVICE_CONTROLLER_CONNECT,
         L"The service process could not connect to the service controller."},
        {ERROR_SERVICE_SPECIFIC_ERROR, L"The service has returned a service-specific error code."},
        {ERROR_PROCESS_ABORTED, L"The process terminated unexpectedly."},
        {ERROR_SERVICE_MARKED_FOR_DELETE, L"The specified service has been marked for deletion."},
        {ERROR_SERVICE_EXISTS, L"The specified service already exists."},
        {ERROR_IO_DEVICE, L"The request could not be performed because of an I/O device error."},
        {ERROR_NOT_FOUND, L"Element not found."},
        {ERROR_NOT_ALL_ASSIGNED, L"Not all privileges or groups referenced are assigned to the caller."},
        {ERROR_NO_SUCH_PRIVILEGE, L"A specified privilege does not exist."},
        {0x80010106u, L"Cannot change thread mode after it is set."},
        {ERROR_CANCELLED, L"The operation was canceled by the user."},
        {ERROR_NO_SYSTEM_RESOURCES,
         L"Insufficient system resources exist to complete the requested service."},
        {ERROR_TIMEOUT, L"This operation returned because the timeout period expired."},
        {ERROR_RESOURCE_TYPE_NOT_FOUND, L"The specified resource type cannot be found in the image file."},
        {ERROR_RESOURCE_NAME_NOT_FOUND, L"The specified resource name cannot be found in the image file."},
        {ERROR_CANT_RESOLVE_FILENAME, L"The name of the file cannot be resolved by the system."},
        {TRUST_E_NOSIGNATURE, L"No signature was present in the subject."},
        {TRUST_E_BAD_DIGEST, L"The digital signature of the object did not verify."},
        {CERT_E_EXPIRED,
         L"A required certificate is not within its validity period when verifying against the current "
         L"system clock or the timestamp in the signed file."},
        {CERT_E_UNTRUSTEDROOT,
         L"A certificate chain processed, but terminated in a root certificate which is not trusted by "
         L"the trust provider."},
        {CERT_E_CHAINING, L"A certificate chain could not be built to a trusted root authority."},
        {CERT_E_WRONG_USAGE, L"The certificate is not valid for the requested usage."},
        {WSAEINTR, L"A blocking operation was interrupted by a call to WSACancelBlockingCall."},
        {WSAEACCES, L"An attempt was made to access a socket in a way forbidden by its access permissions."},
        {WSAEFAULT,
         L"The system detected an invalid pointer address in attempting to use a pointer argument in "
         L"a call."},
        {WSAEINVAL, L"An invalid argument was supplied."},
        {WSAEMFILE, L"Too many open sockets."},
        {WSAEWOULDBLOCK, L"A non-blocking socket operation could not be completed immediately."},
        {WSAENOTSOCK, L"An operation was attempted on something that is not a socket."},
        {WSAEMSGSIZE,
         L"A message sent on a datagram socket was larger than the internal message buffer or some other "
         L"network limit, or the buffer used to receive a datagram into was smaller than the datagram "
         L"itself."},
        {WSAEAFNOSUPPORT, L"An address incompatible with the requested protocol was used."},
        {WSAEADDRINUSE,
         L"Only one usage of each socket address (protocol/network address/port) is normally permitted."},
        {WSAEADDRNOTAVAIL, L"The requested address is not valid in its context."},
        {WSAENETDOWN, L"A socket operation encountered a dead network."},
        {WSAENETUNREACH, L"A socket operation was attempted to an unreachable network."},
        {WSAECONNABORTED, L"An established connection was aborted by the software in your host machine."},
        {WSAECONNRESET, L"An existing connection was forcibly closed by the remote host."},
        {WSAENOTCONN,
         L"A request to send or receive data was disallowed because the socket is not connected and (when "
         L"sending on a datagram socket using a sendto call) no address was supplied."},
        {WSAETIMEDOUT,
         L"A connection attempt failed because the connected party did not properly respond after a period "
         L"of time, or established connection failed because connected host has failed to respond."},
        {WSAECONNREFUSED, L"No connection could be made because the target machine actively refused it."},
        {WSAEHOSTUNREACH, L"A socket operation was attempted to an unreachable host."},
        {WSANOTINITIALISED, L"Either the application has not called WSAStartup, or WSAStartup failed."},
        {WSAHOST_NOT_FOUND, L"No such host is known."},
        {WSATRY_AGAIN,
         L"This is usually a temporary error during hostname resolution and means that the local server did "
         L"not receive a response from an authoritative server."},
        {WSANO_DATA, L"The requested name is valid, but no data of the requested type was found."},
    };
    return table;
}

}  // namespace

DWORD GetLastError() {
    return t_lastError;
}

void SetLastError(DWORD code) {
    t_lastError = code;
}

DWORD winErrorFromErrno(int err) {
    switch (err) {
        case 0:
            return ERROR_SUCCESS;
        case ENOENT:
            return ERROR_FILE_NOT_FOUND;
        case ENOTDIR:
            return ERROR_PATH_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EISDIR:
            return ERROR_ACCESS_DENIED;
        case EBADF:
            return ERROR_INVALID_HANDLE;
        case ENOMEM:
            return ERROR_NOT_ENOUGH_MEMORY;
        case EEXIST:
            return ERROR_ALREADY_EXISTS;
        case EINVAL:
            return ERROR_INVALID_PARAMETER;
        case ENOSPC:
        case EDQUOT:
            return ERROR_DISK_FULL;
        case EMFILE:
        case ENFILE:
            return ERROR_TOO_MANY_OPEN_FILES;
        case EXDEV:
            return ERROR_NOT_SAME_DEVICE;
        case EROFS:
            return ERROR_WRITE_PROTECT;
        case ETXTBSY:
            return ERROR_SHARING_VIOLATION;
        case EBUSY:
            return ERROR_BUSY;
        case ENOTEMPTY:
            return ERROR_DIR_NOT_EMPTY;
        case ENAMETOOLONG:
            return ERROR_FILENAME_EXCED_RANGE;
        case ENOEXEC:
            return ERROR_BAD_EXE_FORMAT;
        case EPIPE:
            return ERROR_BROKEN_PIPE;
        case EIO:
            return ERROR_IO_DEVICE;
        case ELOOP:
            return ERROR_CANT_RESOLVE_FILENAME;
        case ETIMEDOUT:
            return ERROR_TIMEOUT;
        case ECANCELED:
        case EINTR:
            return ERROR_OPERATION_ABORTED;
        case ENOSYS:
        case ENOTSUP:
            return ERROR_NOT_SUPPORTED;
        case ESRCH:
            return ERROR_INVALID_PARAMETER;
        case EAGAIN:
            return ERROR_NO_SYSTEM_RESOURCES;
        case ERANGE:
            return ERROR_INSUFFICIENT_BUFFER;
        default:
            return ERROR_INVALID_FUNCTION;
    }
}

DWORD wsaErrorFromErrno(int err) {
    switch (err) {
        case EINTR:
            return WSAEINTR;
        case EACCES:
            return WSAEACCES;
        case EFAULT:
            return WSAEFAULT;
        case EINVAL:
            return WSAEINVAL;
        case EMFILE:
            return WSAEMFILE;
        case EWOULDBLOCK:
            return WSAEWOULDBLOCK;
        case ENOTSOCK:
            return WSAENOTSOCK;
        case EMSGSIZE:
            return WSAEMSGSIZE;
        case EAFNOSUPPORT:
            return WSAEAFNOSUPPORT;
        case EADDRINUSE:
            return WSAEADDRINUSE;
        case EADDRNOTAVAIL:
            return WSAEADDRNOTAVAIL;
        case ENETDOWN:
            return WSAENETDOWN;
        case ENETUNREACH:
            return WSAENETUNREACH;
        case ECONNABORTED:
            return WSAECONNABORTED;
        case ECONNRESET:
        case EPIPE:
            return WSAECONNRESET;
        case ENOTCONN:
            return WSAENOTCONN;
        case ETIMEDOUT:
            return WSAETIMEDOUT;
        case ECONNREFUSED:
            return WSAECONNREFUSED;
        case EHOSTUNREACH:
            return WSAEHOSTUNREACH;
        default:
            return winErrorFromErrno(err);
    }
}

DWORD setLastErrorFromErrno() {
    return setLastErrorFromErrno(errno);
}

DWORD setLastErrorFromErrno(int err) {
    DWORD code = winErrorFromErrno(err);
    SetLastError(code);
    return code;
}

bool winErrorMessage(DWORD code, std::wstring& text) {
    const auto& table = messageTable();
    auto it = table.find(code);
    if (it == table.end())
        return false;
    text = it->second;
    text += L"\r\n";
    return true;
}
