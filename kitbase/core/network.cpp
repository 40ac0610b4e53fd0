#include "kitbase/core/network.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "kitbase/core/strings.h"
#include "kitbase/core/trace.h"
#include "kitbase/platform/format.h"
#include "kitbase/platform/netinfo.h"

namespace {

constexpr size_t kReplyBytes = 512;

struct PublicIPService {
    std::mutex lock;
    std::string host = "api.ipify.org";
    std::string port = "http";
    unsigned int timeoutMs = 10000;
};

PublicIPService& publicIPService() {
    static PublicIPService service;
    return service;
}

using Clock = std::chrono::steady_clock;

int remainingMs(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(left > 0x7FFFFFFF ? 0x7FFFFFFF : left);
}

// Waits for the socket to become ready; false on time-out or error.
bool waitFor(int socket, short events, Clock::time_point deadline) {
    for (;;) {
        pollfd p{socket, events, 0};
        int rc = poll(&p, 1, remainingMs(deadline));
        if (rc > 0)
            return true;
        if (rc == 0 || errno != EINTR)
            return false;
    }
}

bool connectBounded(int socket, const sockaddr* address, socklen_t length, Clock::time_point deadline) {
    int flags = fcntl(socket, F_GETFL);
    if (flags < 0 || fcntl(socket, F_SETFL, flags | O_NONBLOCK) != 0)
        return false;
    if (connect(socket, address, length) != 0) {
        if (errno != EINPROGRESS || !waitFor(socket, POLLOUT, deadline))
            return false;
        int error = 0;
        socklen_t size = sizeof error;
        if (getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0)
            return false;
    }
    return fcntl(socket, F_SETFL, flags) == 0;
}

bool sendAll(int socket, const std::string& data) {
    size_t sent = 0;
    while (sent < data.size()) {
        ssize_t n = send(socket, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

// The reply up to the peer's close, at most kReplyBytes; false on error or time-out.
bool receiveReply(int socket, std::string& reply, Clock::time_point deadline) {
    char buffer[kReplyBytes];
    reply.clear();
    while (reply.size() < kReplyBytes) {
        if (!waitFor(socket, POLLIN, deadline))
            return false;
        ssize_t n = recv(socket, buffer, kReplyBytes - reply.size(), 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            break;
        reply.append(buffer, static_cast<size_t>(n));
    }
    return true;
}

std::string hostWithoutPort(const std::string& host) {
    size_t colon = host.find(':');
    if (colon == std::string::npos || colon + 1 >= host.size() ||
        host.find(':', colon + 1) != std::string::npos)
        return host;
    for (size_t i = colon + 1; i < host.size(); ++i)
        if (host[i] < '0' || host[i] > '9')
            return host;
    return host.substr(0, colon);
}

void appendJSONString(std::wstring& out, const std::wstring& text) {
    out += L'"';
    for (wchar_t c : text) {
        switch (c) {
            case L'"':
                out += L"\\\"";
                break;
            case L'\\':
                out += L"\\\\";
                break;
            case L'\b':
                out += L"\\b";
                break;
            case L'\f':
                out += L"\\f";
                break;
            case L'\n':
                out += L"\\n";
                break;
            case L'\r':
                out += L"\\r";
                break;
            case L'\t':
                out += L"\\t";
                break;
            default:
                if (static_cast<uint32_t>(c) < 0x20)
                    out += kitbase::wformat(L"\\u%04x", static_cast<unsigned int>(c));
                else
                    out += c;
        }
    }
    out += L'"';
}

}  // namespace

std::wstring getMainIPAddress() {
    std::vector<kitbase::AdapterInfo> adapters;
    if (!kitbase::getAdapters(adapters))
        return std::wstring();
    for (const auto& adapter : adapters)
        if (adapter.gateway != "0.0.0.0")
            return S2WS(adapter.ipAddress);
    return std::wstring();
}

std::wstring getIPAddress() {
    return getMainIPAddress();
}

std::wstring getDomain(const std::wstring& url) {
    __trace__.debug(L"Getting domain of %s", url);
    std::wstring host = url;
    size_t scheme = host.find(L"://");
    if (scheme != std::wstring::npos)
        host.erase(0, scheme + 3);
    size_t slash = host.find(L'/');
    if (slash != std::wstring::npos)
        host.erase(slash);
    return host;
}

std::wstring getIPAddress(const std::wstring& url) {
    const std::wstring host = getDomain(url);
    __trace__.debug(L"Getting IP of %s", host);
    // The name is resolved without a port the URL may carry.
    std::string address;
    if (!kitbase::resolveIpv4(hostWithoutPort(WS2S(host)), address)) {
        __trace__.error(L"Cannot get hostent structure for %s", host);
        return host;
    }
    __trace__.debug(L"Host entry: %s", address);
    return S2WS(address);
}

std::wstring getHostname() {
    char name[1024] = {};
    if (gethostname(name, sizeof name - 1) != 0)
        return std::wstring();
    return S2WS(name);
}

void setPublicIPService(const std::string& host, const std::string& port) {
    PublicIPService& service = publicIPService();
    std::lock_guard<std::mutex> guard(service.lock);
    service.host = host;
    service.port = port;
}

void setPublicIPTimeout(unsigned int milliseconds) {
    PublicIPService& service = publicIPService();
    std::lock_guard<std::mutex> guard(service.lock);
    service.timeoutMs = milliseconds;
}

int ipify(char* out, unsigned int len) {
    if (!out || len == 0)
        return -1;
    std::string host, port;
    unsigned int timeoutMs;
    {
        PublicIPService& service = publicIPService();
        std::lock_guard<std::mutex> guard(service.lock);
        host = service.host;
        port = service.port;
        timeoutMs = service.timeoutMs;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);

    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return -1;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_ALL;
    addrinfo* result = nullptr;
    if (getaddrinfo(host.c_str(), port.c_str(), &hints, &result) != 0 || !result) {
        close(s);
        return -1;
    }
    bool connected = connectBounded(s, result->ai_addr, result->ai_addrlen, deadline);
    freeaddrinfo(result);
    if (!connected) {
        close(s);
        return -1;
    }
    const std::string request = "GET / HTTP/1.0\r\nHost: " + host + "\r\n\r\n";
    std::string reply;
    bool received = sendAll(s, request) && receiveReply(s, reply, deadline);
    close(s);
    if (!received)
        return -1;

    size_t status = reply.find("200 OK");
    if (status == std::string::npos)
        return -1;
    size_t blank = reply.find("\r\n\r\n", status);
    if (blank == std::string::npos)
        return -1;
    const std::string body = reply.substr(blank + 4);
    if (body.find('\0') != std::string::npos)
        return -1;
    unsigned char address[sizeof(in6_addr)] = {};
    int family = AF_INET;
    if (inet_pton(AF_INET, body.c_str(), address) != 1) {
        family = AF_INET6;
        if (inet_pton(AF_INET6, body.c_str(), address) != 1)
            return -1;
    }
    if (!inet_ntop(family, address, out, static_cast<socklen_t>(len)))
        return -1;
    return 0;
}

std::wstring ipify() {
    char buffer[244] = {};
    if (ipify(buffer, 243) != 0) {
        __trace__.error(L"Cannot get external IP address of this machine");
        return std::wstring();
    }
    return S2WS(buffer);
}

std::wstring getExternalIPAddress() {
    return ipify();
}

namespace {

std::mutex& identityLock() {
    static std::mutex lock;
    return lock;
}

const std::string& emptyNarrow() {
    static const std::string empty;
    return empty;
}

const std::wstring& emptyWide() {
    static const std::wstring empty;
    return empty;
}

}  // namespace

// The caches are written once, under the lock, from empty to their final value; a
// reader only ever gets a reference to a filled cache (or to a constant empty text),
// so no reader sees a text being written.
const std::string& getMACA() {
    static std::string cache;
    static std::atomic<bool> filled{false};
    if (filled.load(std::memory_order_acquire))
        return cache;
    std::lock_guard<std::mutex> guard(identityLock());
    if (filled.load(std::memory_order_relaxed))
        return cache;
    try {
        std::vector<kitbase::AdapterInfo> adapters;
        if (!kitbase::getAdapters(adapters) || adapters.empty())
            return emptyNarrow();
        const auto& mac = adapters.front().mac;
        cache =
            kitbase::nformat("%02X:%02X:%02X:%02X:%02X:%02X", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
    } catch (const std::bad_alloc&) {
        __trace__.error(L"Error allocating memory needed to call GetAdaptersinfo");
        return emptyNarrow();
    }
    filled.store(true, std::memory_order_release);
    return cache;
}

const std::wstring& getMAC() {
    static std::wstring cache;
    static std::atomic<bool> filled{false};
    if (filled.load(std::memory_order_acquire))
        return cache;
    const std::string& mac = getMACA();
    std::lock_guard<std::mutex> guard(identityLock());
    if (filled.load(std::memory_order_relaxed))
        return cache;
    if (mac.empty())
        return emptyWide();
    cache = S2WS(mac);
    filled.store(true, std::memory_order_release);
    return cache;
}

const std::wstring& getComputerName() {
    static std::wstring cache;
    static std::atomic<bool> filled{false};
    if (filled.load(std::memory_order_acquire))
        return cache;
    std::lock_guard<std::mutex> guard(identityLock());
    if (filled.load(std::memory_order_relaxed))
        return cache;
    char name[1025] = {};
    if (gethostname(name, 1024) != 0 || name[0] == '\0')
        return emptyWide();
    std::string text = name;
    size_t dot = text.find('.');
    if (dot != std::string::npos && dot > 0)
        text.erase(dot);
    cache = S2WS(text);
    filled.store(true, std::memory_order_release);
    return cache;
}

std::wstring convertToJSON(const std::wstring& text) {
    std::wstring json = L"{";
    bool first = true;
    for (const std::wstring& line : split(text, L'\n')) {
        size_t colon = line.find(L':');
        if (colon == std::wstring::npos)
            continue;
        if (!first)
            json += L',';
        first = false;
        appendJSONString(json, line.substr(0, colon));
        json += L':';
        appendJSONString(json, line.substr(colon + 1));
    }
    json += L'}';
    return json;
}
