#include "kitbase/platform/winsock_com.h"

#include <signal.h>

#include <mutex>

#include "kitbase/platform/winerror.h"

namespace {

constexpr WORD kHighVersion = MAKEWORD(2, 2);

std::mutex g_winsockLock;
int g_winsockStartups = 0;
int g_failCount = 0;
int g_failError = 0;

struct Apartment {
    int count = 0;
    DWORD model = 0;
};
thread_local Apartment t_apartment;

DWORD threadingModel(DWORD coInit) {
    return coInit & COINIT_APARTMENTTHREADED;
}

}  // namespace

int WSAStartup(WORD versionRequested, WSADATA* data) {
    static std::once_flag sigpipeOnce;
    std::call_once(sigpipeOnce, [] { signal(SIGPIPE, SIG_IGN); });
    std::lock_guard<std::mutex> guard(g_winsockLock);
    if (g_failCount > 0) {
        --g_failCount;
        return g_failError;
    }
    if (!data)
        return static_cast<int>(WSAEFAULT);
    const BYTE major = static_cast<BYTE>(versionRequested & 0xFF);
    if (major < 1)
        return 10092;  // WSAVERNOTSUPPORTED
    data->wVersion = versionRequested > kHighVersion && major >= 2 ? kHighVersion : versionRequested;
    data->wHighVersion = kHighVersion;
    data->iMaxSockets = 0;
    data->iMaxUdpDg = 0;
    data->szDescription = "WinSock 2.0";
    data->szSystemStatus = "Running";
    ++g_winsockStartups;
    return 0;
}

int WSACleanup() {
    std::lock_guard<std::mutex> guard(g_winsockLock);
    if (g_winsockStartups == 0) {
        SetLastError(WSANOTINITIALISED);
        return -1;
    }
    --g_winsockStartups;
    return 0;
}

HRESULT CoInitializeEx(void*, DWORD coInit) {
    Apartment& a = t_apartment;
    if (a.count > 0) {
        if (a.model != threadingModel(coInit))
            return RPC_E_CHANGED_MODE;
        ++a.count;
        return S_FALSE;
    }
    a.model = threadingModel(coInit);
    a.count = 1;
    return S_OK;
}

void CoUninitialize() {
    Apartment& a = t_apartment;
    if (a.count > 0)
        --a.count;
}

namespace kitbase {

int winsockStartups() {
    std::lock_guard<std::mutex> guard(g_winsockLock);
    return g_winsockStartups;
}

int comInitializations() {
    return t_apartment.count;
}

void failNextWinsockStartups(int count, int error) {
    std::lock_guard<std::mutex> guard(g_winsockLock);
    g_failCount = count;
    g_failError = error;
}

}  // namespace kitbase
