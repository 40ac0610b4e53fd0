#include "kitbase/platform/service_channel.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "kitbase/platform/winerror.h"

namespace kitbase {

namespace {

bool makeAddress(const std::string& path, sockaddr_un& addr) {
    std::memset(&addr, 0, sizeof(addr));
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof(addr.sun_path)) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    return true;
}

}  // namespace

int ServiceChannel::listenOn(const std::string& path) {
    sockaddr_un addr;
    if (!makeAddress(path, addr))
        return -1;
    int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        setLastErrorFromErrno();
        return -1;
    }
    ::unlink(path.c_str());
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || ::listen(fd, 16) != 0) {
        int err = errno;
        ::close(fd);
        setLastErrorFromErrno(err);
        return -1;
    }
    return fd;
}

int ServiceChannel::connectTo(const std::string& path) {
    sockaddr_un addr;
    if (!makeAddress(path, addr))
        return -1;
    int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        setLastErrorFromErrno();
        return -1;
    }
    int rc;
    do {
        rc = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        int err = errno;
        ::close(fd);
        setLastErrorFromErrno(err);
        return -1;
    }
    return fd;
}

bool ServiceChannel::send(int fd, const std::string& message) {
    if (fd < 0 || message.size() > kMaxMessage) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    ssize_t n;
    do {
        n = ::send(fd, message.data(), message.size(), MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n != static_cast<ssize_t>(message.size())) {
        setLastErrorFromErrno(n < 0 ? errno : EPIPE);
        return false;
    }
    return true;
}

bool ServiceChannel::receive(int fd, std::string& message, int timeoutMs) {
    message.clear();
    if (fd < 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    pollfd p{fd, POLLIN, 0};
    int rc;
    do {
        rc = ::poll(&p, 1, timeoutMs);
    } while (rc < 0 && errno == EINTR);
    if (rc == 0) {
        SetLastError(ERROR_TIMEOUT);
        return false;
    }
    if (rc < 0) {
        setLastErrorFromErrno();
        return false;
    }
    char buffer[kMaxMessage + 1];
    ssize_t n;
    do {
        n = ::recv(fd, buffer, sizeof(buffer), 0);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) {
        SetLastError(n == 0 ? ERROR_BROKEN_PIPE : winErrorFromErrno(errno));
        return false;
    }
    message.assign(buffer, static_cast<size_t>(n));
    return true;
}

bool ServiceChannel::peer(int fd, unsigned& uid, int& pid) {
    ucred cred{};
    socklen_t len = sizeof(cred);
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0)
        return false;
    uid = cred.uid;
    pid = cred.pid;
    return true;
}

std::vector<std::string> ServiceChannel::words(const std::string& message) {
    std::vector<std::string> out;
    std::istringstream in(message);
    std::string w;
    while (in >> w)
        out.push_back(w);
    return out;
}

std::string ServiceChannel::statusText(const SERVICE_STATUS_PROCESS& s) {
    std::ostringstream out;
    out << s.dwServiceType << ' ' << s.dwCurrentState << ' ' << s.dwControlsAccepted << ' '
        << s.dwWin32ExitCode << ' ' << s.dwServiceSpecificExitCode << ' ' << s.dwCheckPoint << ' '
        << s.dwWaitHint << ' ' << s.dwProcessId;
    return out.str();
}

bool ServiceChannel::parseStatus(const std::vector<std::string>& w, size_t first, SERVICE_STATUS_PROCESS& s) {
    if (w.size() < first + 8)
        return false;
    DWORD v[8];
    for (size_t i = 0; i < 8; ++i) {
        const std::string& text = w[first + i];
        char* end = nullptr;
        unsigned long n = std::strtoul(text.c_str(), &end, 10);
        if (text.empty() || *end != 0)
            return false;
        v[i] = static_cast<DWORD>(n);
    }
    s.dwServiceType = v[0];
    s.dwCurrentState = v[1];
    s.dwControlsAccepted = v[2];
    s.dwWin32ExitCode = v[3];
    s.dwServiceSpecificExitCode = v[4];
    s.dwCheckPoint = v[5];
    s.dwWaitHint = v[6];
    s.dwProcessId = v[7];
    return true;
}

}  // namespace kitbase
